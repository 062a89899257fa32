#pragma once
// The feeder threads of the sound-device managers: one per open device, each polls every 1 ms
// and moves blocks between the device's ring and the card while no engine cycle is open.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace kv {

struct FeederThread {
    std::thread thread;
    std::atomic<bool> finished{false}; // its loop has ended: joining will not wait
};

/// The body of a feeder thread. Runs `start` (read under `mutex`) first, then every 1 ms one
/// `turn` with `mutex` held, until a turn returns false (its device was closed); then marks
/// `feeder` finished.
template <class Turn>
void runFeeder(std::mutex& mutex, const std::function<void()>& start, FeederThread& feeder,
               Turn turn) {
    std::function<void()> first;
    {
        std::lock_guard lock(mutex);
        first = start;
    }
    if (first) first();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard lock(mutex);
        if (!turn()) break;
    }
    feeder.finished.store(true, std::memory_order_release);
}

} // namespace kv

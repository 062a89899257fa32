#pragma once
// A thread that does a piece of work every 50 ms until it is stopped: the writer threads of a
// gesture tape, which take what the engine queued and put it into files, so that a crash loses
// at most that much of a take.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kv {

class PeriodicThread {
  public:
    PeriodicThread() = default;
    ~PeriodicThread() { stop(); }
    PeriodicThread(const PeriodicThread&) = delete;
    PeriodicThread& operator=(const PeriodicThread&) = delete;

    /// Starts calling `work` every 50 ms on a thread of its own. Owner's thread, not running.
    void start(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = false;
        }
        thread_ = std::thread([this, work = std::move(work)] {
            std::unique_lock lock(mutex_);
            while (!stopping_) {
                wake_.wait_for(lock, std::chrono::milliseconds(50));
                lock.unlock();
                work();
                lock.lock();
            }
        });
    }
    /// Wakes the thread and waits until it has ended (after one last piece of work). Owner's
    /// thread; nothing when not running.
    void stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    bool running() const { return thread_.joinable(); }

  private:
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false; // guarded by mutex_
};

} // namespace kv

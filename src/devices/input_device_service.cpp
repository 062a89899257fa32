#include "devices/input_device_service.h"

#include <chrono>

namespace kv {

InputDeviceService::InputDeviceService(bool threaded, std::function<void()> work)
    : threaded_(threaded), work_(std::move(work)) {
    if (threaded_) thread_ = std::thread([this] { loop(); });
}

InputDeviceService::~InputDeviceService() {
    stop();
}

void InputDeviceService::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wakeUp_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void InputDeviceService::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wakeUp_.wait_for(lock, std::chrono::milliseconds(2), [this] { return stopping_; });
        if (stopping_) return;
        lock.unlock();
        work_();
        lock.lock();
    }
}

} // namespace kv

#include "devices/input_device_service.h"

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

void InputDeviceService::wake() {
    if (!threaded_) return;
    {
        std::lock_guard lock(mutex_);
        pending_ = true;
    }
    wakeUp_.notify_one();
}

void InputDeviceService::runNow() {
    if (!threaded_) work_();
}

void InputDeviceService::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wakeUp_.wait(lock, [this] { return pending_ || stopping_; });
        if (stopping_) return;
        pending_ = false;
        lock.unlock();
        work_();
        lock.lock();
    }
}

} // namespace kv

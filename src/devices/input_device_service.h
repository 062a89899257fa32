#pragma once
// The thread that opens and closes input devices for a device manager, so that the engine cycle
// never waits for a driver: the engine asks (wake) and carries on; the manager's `work` runs on
// this thread. In manual mode there is no thread and the caller runs the work (a simulated clock).
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kv {

class InputDeviceService {
  public:
    /// `work` runs on the service thread after every wake (several wakes may share one run).
    InputDeviceService(bool threaded, std::function<void()> work);
    ~InputDeviceService(); // stops and joins the thread
    InputDeviceService(const InputDeviceService&) = delete;
    InputDeviceService& operator=(const InputDeviceService&) = delete;

    /// Any thread: asks for a run of the work. Never blocks for long.
    void wake();
    /// Manual mode: runs the work now on the calling thread. Threaded mode: does nothing.
    void runNow();
    bool threaded() const { return threaded_; }
    /// Stops the thread (the work is not run again). User-interface thread.
    void stop();

  private:
    void loop();

    const bool threaded_;
    std::function<void()> work_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool pending_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace kv

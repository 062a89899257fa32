#pragma once
// The thread that opens and closes devices for a device manager (inputs and outputs), so that the
// engine cycle never waits for a driver: the engine only sets flags and carries on (it never takes
// a lock or wakes a thread); this thread looks every 2 ms, about one cycle, and runs the manager's
// `work`, which does nothing when nothing was asked for. In manual mode there is no thread and the
// caller runs the work (a simulated clock).
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kv {

class InputDeviceService {
  public:
    /// `work` runs on the service thread every 2 ms.
    InputDeviceService(bool threaded, std::function<void()> work);
    ~InputDeviceService(); // stops and joins the thread
    InputDeviceService(const InputDeviceService&) = delete;
    InputDeviceService& operator=(const InputDeviceService&) = delete;

    bool threaded() const { return threaded_; }
    /// Stops the thread (the work is not run again). User-interface thread.
    void stop();

  private:
    void loop();

    const bool threaded_;
    std::function<void()> work_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace kv

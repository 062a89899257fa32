#pragma once
// The global mouse read from the input devices, for Wayland desktops where the display server
// shows the pointer to X11 clients only over X11 windows: libinput in path mode on the mice and
// touchpads udev lists (never grabbed: the desktop keeps its mouse), on a thread of its own, with
// udev's monitor for mice plugged in or out later. Motion is summed into a cursor estimate that
// the X pointer re-anchors whenever it is current; buttons and wheels reach the hook as the X11
// backend gives them.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mouse/backend_choice.h"
#include "mouse/device_mouse.h"
#include "mouse/mouse_backend.h"
#include "platform/input_devices.h"

namespace kv::platform {

/// Whether this build can read the input devices (libinput and libudev were found).
bool deviceMouseSupported();

class DeviceMouse final : public MouseBackend {
  public:
    /// `pointer` (may be null): the X display's backend, for the desktop rectangle, the true
    /// position over X11 windows and warping. `folder`: where the event nodes are.
    DeviceMouse(std::unique_ptr<MouseBackend> pointer, std::string folder = "/dev/input");
    ~DeviceMouse() override;

    /// Starts the device thread (opening every readable mouse and touchpad). False with `error`
    /// when libinput or udev cannot be started. User-interface thread.
    bool installHook(MouseHookState& hook, std::string& error) override;
    void removeHook() override;
    /// The estimate, re-anchored first when the X pointer is current. Mouse status thread.
    bool cursorPosition(long& x, long& y) override;
    void warpCursor(long x, long y) override;
    DesktopRect desktop() override;

    /// The mice and touchpads known now, with whether each is open. Any thread.
    struct Device {
        InputDeviceInfo info;
        bool open = false;
    };
    std::vector<Device> devices() const;
    /// Tries every mouse and touchpad not open yet again (after access was granted). Any thread.
    void reopen();
    /// Events the device thread has handled since the hook was installed. Any thread.
    uint64_t events() const { return events_.load(std::memory_order_relaxed); }

  private:
    struct Context;
    void loop(MouseHookState& hook, Context& c);
    void wake(char why);

    std::unique_ptr<MouseBackend> pointer_;
    std::string folder_;
    std::string hyprland_; // Hyprland's request socket, when the session has one
    DeviceMouseFeed feed_;
    PolledAnchor anchor_; // mouse status thread
    mutable std::mutex devicesMutex_;
    std::vector<Device> devices_;
    std::unique_ptr<Context> context_;
    int wakePipe_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> events_{0};
    std::thread thread_;
};

/// What mouse-check and the notice report about this session's mouse.
struct MouseSessionReport {
    SessionType session = SessionType::Unknown;
    bool haveXDisplay = false;
    std::vector<InputDeviceInfo> devices; // the mice and touchpads under /dev/input
    MouseBackendChoice choice;
};

/// The session, the devices and the choice for a `Preferences.MouseBackend` value. Any thread.
MouseSessionReport diagnoseMouseSession(std::string_view setting,
                                        const std::string& folder = "/dev/input");

} // namespace kv::platform

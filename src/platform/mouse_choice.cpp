// The mouse backend of this session: the choice made from the session, the preference and the
// readable mice, and the backend built for it.
#include <cstdlib>

#include "platform/mouse_libinput.h"
#include "platform/mouse_x11.h"

namespace kv::platform {

namespace {

// No display: the hook receives nothing and the cursor cannot be read. The reason was given
// once when the backend was made, so installing the hook does not repeat it.
class NoMouse final : public MouseBackend {
  public:
    bool installHook(MouseHookState&, std::string&) override { return true; }
    void removeHook() override {}
    bool cursorPosition(long&, long&) override { return false; }
    void warpCursor(long, long) override {}
    DesktopRect desktop() override { return {}; }
};

MouseSessionReport report(std::string_view setting, const std::string& folder, bool haveX) {
    MouseSessionReport r;
    r.session = sessionType(std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY"),
                            std::getenv("DISPLAY"));
    r.haveXDisplay = haveX;
    r.devices = scanInputDevices(folder, udevInputNodeProperties);
    r.choice = chooseMouseBackend(r.session, setting, r.haveXDisplay, readableCount(r.devices),
                                  deviceMouseSupported());
    return r;
}

} // namespace

MouseSessionReport diagnoseMouseSession(std::string_view setting, const std::string& folder) {
    std::string error;
    return report(setting, folder, X11Mouse::open(error) != nullptr);
}

std::unique_ptr<MouseBackend> makeMouseBackend(std::string& unavailable, std::string_view setting) {
    std::string reason;
    std::unique_ptr<X11Mouse> x11 = X11Mouse::open(reason);
    const MouseSessionReport r = report(setting, "/dev/input", x11 != nullptr);
    switch (r.choice.kind) {
    case MouseBackendKind::Devices:
        return std::make_unique<DeviceMouse>(std::move(x11));
    case MouseBackendKind::X11:
        if (x11) return x11;
        break;
    case MouseBackendKind::None:
        break;
    }
    unavailable = "Global mouse input is unavailable: " + reason + ".";
    return std::make_unique<NoMouse>();
}

} // namespace kv::platform

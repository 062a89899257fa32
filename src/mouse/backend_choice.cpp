#include "mouse/backend_choice.h"

#include "persistence/text.h"

namespace kv {

namespace {

bool set(const char* v) {
    return v && *v;
}

} // namespace

SessionType sessionType(const char* xdgSessionType, const char* waylandDisplay,
                        const char* display) {
    if (set(waylandDisplay)) return SessionType::Wayland;
    if (set(xdgSessionType)) {
        if (equalsIgnoreCase(xdgSessionType, "wayland")) return SessionType::Wayland;
        if (equalsIgnoreCase(xdgSessionType, "x11")) return SessionType::X11;
    }
    return set(display) ? SessionType::X11 : SessionType::Unknown;
}

const char* sessionTypeName(SessionType s) {
    switch (s) {
    case SessionType::X11:
        return "x11";
    case SessionType::Wayland:
        return "wayland";
    case SessionType::Unknown:
        break;
    }
    return "unknown";
}

const char* mouseBackendKindName(MouseBackendKind k) {
    switch (k) {
    case MouseBackendKind::X11:
        return "x11";
    case MouseBackendKind::Devices:
        return "devices";
    case MouseBackendKind::None:
        break;
    }
    return "none";
}

MouseBackendChoice chooseMouseBackend(SessionType session, std::string_view setting,
                                      bool haveXDisplay, int readableMice, bool haveDeviceSupport) {
    using K = MouseBackendKind;
    const std::string mice = std::to_string(readableMice) +
                             (readableMice == 1 ? " mouse or touchpad" : " mice or touchpads");
    MouseBackendChoice c;
    if (equalsIgnoreCase(trim(setting), "devices")) {
        if (haveDeviceSupport) {
            c.kind = K::Devices;
            c.why = "the input devices, as the preferences ask (" + mice + " readable now)";
            return c;
        }
        c.why = "the preferences ask for the input devices, but this build cannot read them; ";
    } else if (equalsIgnoreCase(trim(setting), "x11")) {
        c.why = "the preferences ask for X11; ";
    } else if (session == SessionType::Wayland && haveDeviceSupport && readableMice > 0) {
        c.kind = K::Devices;
        c.why = "a Wayland session with " + mice + " readable";
        return c;
    }
    if (!haveXDisplay) {
        c.kind = K::None;
        c.why += "no X display, so no global mouse input";
        return c;
    }
    c.kind = K::X11;
    if (session == SessionType::Wayland) {
        c.xwaylandOnly = true;
        if (c.why.empty())
            c.why = haveDeviceSupport ? "a Wayland session, but no mouse is readable: XWayland "
                                        "only (the pointer over X11 windows)"
                                      : "a Wayland session, and this build cannot read the input "
                                        "devices: XWayland only (the pointer over X11 windows)";
        else
            c.why += "XWayland only (the pointer over X11 windows)";
    } else if (c.why.empty()) {
        c.why = session == SessionType::X11 ? "an X11 session" : "an X display";
    } else {
        c.why += "XInput2 on the X display";
    }
    return c;
}

} // namespace kv

#pragma once
// Which backend hears the desktop's mouse: XInput2 in an X11 session, the input devices in a
// Wayland one when a mouse can be read, XWayland alone otherwise; or the one the user forced.
#include <string>
#include <string_view>

namespace kv {

enum class SessionType { X11, Wayland, Unknown };

/// The session type from XDG_SESSION_TYPE, WAYLAND_DISPLAY and DISPLAY (null or empty when
/// unset): a Wayland display wins over a stated "x11" (a nested session), then the stated type,
/// then DISPLAY alone means X11.
SessionType sessionType(const char* xdgSessionType, const char* waylandDisplay,
                        const char* display);
const char* sessionTypeName(SessionType s);

enum class MouseBackendKind {
    X11,     // XInput2 buttons and wheels, the X pointer (under Wayland: over X11 windows only)
    Devices, // the input devices through libinput, the X pointer to re-anchor
    None,    // nothing to read: no global mouse input
};
const char* mouseBackendKindName(MouseBackendKind k);

struct MouseBackendChoice {
    MouseBackendKind kind = MouseBackendKind::None;
    /// Under Wayland without readable mice: the instrument hears the pointer only over X11
    /// windows (the notice says so and how to allow reading the mice).
    bool xwaylandOnly = false;
    std::string why; // one sentence, in English, for mouse-check and the message list
};

/// The choice for a session, the `Preferences.MouseBackend` value ("auto", "x11", "devices"),
/// whether an X display can be opened, and how many mice or touchpads this user can read.
MouseBackendChoice chooseMouseBackend(SessionType session, std::string_view setting,
                                      bool haveXDisplay, int readableMice, bool haveDeviceSupport);

} // namespace kv

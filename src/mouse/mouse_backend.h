#pragma once
// The global mouse as the mouse layer sees it: a hook that reports button and wheel events of the
// whole desktop, and the pointer and screen (read the cursor, move it, the desktop rectangle).
// Core code includes this header, so it uses the standard library only.
#include <memory>
#include <string>
#include <string_view>

namespace kv {
struct MouseHookState;
}

namespace kv::platform {

/// A screen rectangle in pixels, edges inclusive.
struct DesktopRect {
    long left = 0, top = 0, right = 1919, bottom = 1079;
    bool operator==(const DesktopRect&) const = default;
};

class MouseBackend {
  public:
    virtual ~MouseBackend() = default;

    /// Starts delivering the desktop's button and wheel events to `hook` (on a thread of the
    /// backend's own, or on the caller of a scripted backend). A hook installed before is removed
    /// first. False with `error` (a reason in English) when the events cannot be had. `hook` must
    /// outlive the installation (until removeHook or the backend's end). User-interface thread.
    virtual bool installHook(MouseHookState& hook, std::string& error) = 0;
    /// Stops the events; nothing reaches the hook state after it returns. User-interface thread.
    virtual void removeHook() = 0;

    /// The cursor position in screen pixels; false when it cannot be read. Mouse status thread.
    virtual bool cursorPosition(long& x, long& y) = 0;
    /// Moves the cursor to (x, y) in screen pixels. Mouse status thread.
    virtual void warpCursor(long x, long y) = 0;
    /// The desktop rectangle: the one monitor's, or the bounding box of several. Mouse status
    /// thread.
    virtual DesktopRect desktop() = 0;
};

/// The backend of this session for a `Preferences.MouseBackend` value ("auto", "x11",
/// "devices"): X11 in an X11 session; in a Wayland session the input devices when a mouse can be
/// read, else X11 through XWayland. Without either, a backend whose hook receives nothing and
/// whose cursor cannot be read, and `unavailable` says why (the caller shows it once; the program
/// runs on without global mouse input). Any thread.
std::unique_ptr<MouseBackend> makeMouseBackend(std::string& unavailable,
                                               std::string_view setting = "auto");

} // namespace kv::platform

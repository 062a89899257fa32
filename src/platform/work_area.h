#pragma once
// The desktop's work area: the part of the screen that panels and docks leave free, as the
// window manager publishes it on the root window.

namespace kv::platform {

/// A screen rectangle in pixels.
struct ScreenArea {
    int x = 0, y = 0, width = 0, height = 0;
};

/// Reads the current desktop's work area from the X server (the root window's _NET_WORKAREA).
/// False when there is no X display or the window manager publishes none; the caller then uses
/// the screen's available geometry. User-interface thread.
bool readWorkArea(ScreenArea& area);

} // namespace kv::platform

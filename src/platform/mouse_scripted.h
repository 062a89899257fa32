#pragma once
// A mouse that scripts drive: the headless tool's stand-in for the desktop's pointer. The cursor,
// desktop, buttons and wheels change only when told; everything runs on the caller's thread.
#include <string>

#include "mouse/mouse_backend.h"
#include "mouse/mouse_hook.h"

namespace kv::platform {

class ScriptedMouse final : public MouseBackend {
  public:
    bool installHook(MouseHookState& hook, std::string&) override {
        hook_ = &hook;
        return true;
    }
    void removeHook() override { hook_ = nullptr; }
    bool cursorPosition(long& x, long& y) override {
        x = x_;
        y = y_;
        return true;
    }
    void warpCursor(long x, long y) override { moveCursor(x, y); }
    DesktopRect desktop() override { return desktop_; }

    /// Puts the cursor at (x, y), kept inside the desktop as a real pointer is.
    void moveCursor(long x, long y);
    /// A new desktop rectangle; the cursor is brought inside it.
    void setDesktop(const DesktopRect& r);
    /// A button press or release through the hook (nothing while no hook is installed).
    void button(int index, bool down);
    /// A wheel event of `delta` (120 per notch) through the hook.
    void wheel(bool horizontal, int delta);

  private:
    MouseHookState* hook_ = nullptr;
    DesktopRect desktop_;
    long x_ = (desktop_.left + desktop_.right) / 2;
    long y_ = (desktop_.top + desktop_.bottom) / 2;
};

} // namespace kv::platform

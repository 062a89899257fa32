#pragma once
// The global mouse on an X11 desktop: XInput2 raw button events on the root window (on a thread
// of the backend's own) for buttons and wheels, XQueryPointer and XWarpPointer for the cursor,
// XRandR monitors for the desktop rectangle.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mouse/mouse_backend.h"

namespace kv::platform {

class X11Mouse final : public MouseBackend {
  public:
    /// Connects to the display named by DISPLAY; null with `error` when there is none.
    static std::unique_ptr<X11Mouse> open(std::string& error);
    ~X11Mouse() override;

    bool installHook(MouseHookState& hook, std::string& error) override;
    void removeHook() override;
    bool cursorPosition(long& x, long& y) override;
    void warpCursor(long x, long y) override;
    DesktopRect desktop() override;

  private:
    struct Connection;
    X11Mouse() = default;
    void hookLoop(MouseHookState& hook);

    std::string displayName_;
    std::mutex pointerMutex_;             // guards pointer_ (the sampler's connection)
    std::unique_ptr<Connection> pointer_; // cursor and desktop queries
    std::unique_ptr<Connection> events_;  // the hook thread's connection
    int wakePipe_[2] = {-1, -1};
    std::atomic<bool> stopHook_{false};
    std::thread hookThread_;
};

} // namespace kv::platform

#pragma once
// A cursor that a test's performer thread moves: x is `position` modulo `width`, y is `top`
// plus `position` modulo `height` (0: y stays at `top`).
#include <atomic>
#include <string>

#include "mouse/mouse_backend.h"

namespace kv {

struct MovingPointer final : platform::MouseBackend {
    MovingPointer(long start, long width, long top, long height)
        : x(start), width_(width), top_(top), height_(height) {}
    std::atomic<long> x;
    bool installHook(MouseHookState&, std::string&) override { return true; }
    void removeHook() override {}
    bool cursorPosition(long& cx, long& cy) override {
        const long p = x.load();
        cx = p % width_;
        cy = top_ + (height_ > 0 ? p % height_ : 0);
        return true;
    }
    void warpCursor(long, long) override {}
    platform::DesktopRect desktop() override { return {}; }

  private:
    const long width_, top_, height_;
};

} // namespace kv

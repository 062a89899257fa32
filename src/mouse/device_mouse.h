#pragma once
// The mouse read from the input devices themselves (where the display server hides the pointer):
// the relative motion summed into a cursor estimate inside the desktop rectangle, drawn back to the
// true position whenever that is known, and the devices' buttons and wheels fed to the hook state
// exactly as the X11 backend feeds it. No device library here: the events come decoded.
#include <cstdint>
#include <mutex>

#include "mouse/mouse_backend.h"
#include "mouse/mouse_hook.h"

namespace kv {

/// The largest correction a re-anchoring pass applies, in pixels (on top of the pass's motion).
/// A pass closes half of the remaining distance, at most this much, so the estimate reaches the
/// true position within a few passes and never jumps there at once.
constexpr double kAnchorStepMax = 48.0;
/// Below this distance (pixels) a re-anchoring pass lands exactly on the true position.
constexpr double kAnchorSnap = 1.0;

/// The cursor as the device motion says it is. Not thread-safe on its own (DeviceMouseFeed locks).
class CursorEstimate {
  public:
    /// The rectangle the estimate stays inside (edges inclusive); the estimate is brought inside.
    void setDesktop(const platform::DesktopRect& r);
    const platform::DesktopRect& desktop() const { return desktop_; }
    /// Relative motion in pixels (accelerated, as the pointer moves); stops at the desktop's edges
    /// as the real pointer does, so motion back from an edge starts at the edge.
    void move(double dx, double dy);
    /// Puts the estimate at (x, y) at once (the cursor was warped on purpose), inside the desktop.
    void place(double x, double y);
    /// One sampler pass of re-anchoring towards the true position (x, y): half the remaining
    /// distance, at most kAnchorStepMax pixels; exact once within kAnchorSnap.
    void anchorStep(double x, double y);
    double x() const { return x_; }
    double y() const { return y_; }
    /// The estimate in whole pixels (rounded to the nearest).
    long pixelX() const;
    long pixelY() const;

  private:
    void clamp();
    platform::DesktopRect desktop_;
    double x_ = 960, y_ = 540;
};

/// Whole wheel notches from libinput's 120-per-notch values: a high-resolution wheel's small steps
/// sum to the same notches as a plain wheel's. Rolling back cancels what is not a notch yet.
class WheelNotches {
  public:
    /// Adds one value (120 per notch, signed); returns the whole notches it completes (signed).
    int add(double v120);
    void reset() { sum_ = 0; }

  private:
    double sum_ = 0;
};

/// The X server's number for a Linux input button code (BTN_LEFT 1, BTN_MIDDLE 2, BTN_RIGHT 3,
/// BTN_SIDE 8, BTN_EXTRA 9), so that the hook hears the devices as the X11 backend hears them.
/// Mice that report their thumb buttons as BTN_BACK / BTN_FORWARD give 8 / 9 too (X1 / X2); other
/// buttons give 0 (not heard).
int xButtonForInputCode(uint32_t code);

/// Linux input button codes (the kernel's values), so that this layer needs no kernel header.
namespace input_code {
constexpr uint32_t kLeft = 0x110, kRight = 0x111, kMiddle = 0x112, kSide = 0x113, kExtra = 0x114,
                   kForward = 0x115, kBack = 0x116, kTask = 0x117;
}

/// One decoded device event.
struct DeviceEvent {
    enum Kind : uint8_t { Motion, Button, VerticalWheel, HorizontalWheel } kind = Motion;
    uint64_t timeUs = 0;   // device time, microseconds
    double dx = 0, dy = 0; // Motion: accelerated pixels
    uint32_t code = 0;     // Button: Linux input code
    bool pressed = false;  // Button
    double v120 = 0;       // wheels: 120 per notch; vertical positive towards the user, horizontal
                           // positive to the right (libinput's signs)
};

/// The device thread's feed: motion into the estimate, buttons and wheel notches into the hook
/// state (one hook event per notch, 120 each, as the X11 backend gives them). The sampler thread
/// reads the estimate and re-anchors it through the same object; a mutex guards the estimate.
class DeviceMouseFeed {
  public:
    /// Device thread; constant work per event.
    void feed(const DeviceEvent& e, MouseHookState& hook);
    /// Sampler thread: one pass's re-anchoring (when `known`), then the estimate in pixels.
    void samplerPass(bool known, long trueX, long trueY, long& x, long& y);
    /// Whether motion arrived since the last call. Sampler thread.
    bool takeMoved();
    /// Any thread.
    void setDesktop(const platform::DesktopRect& r);
    void place(long x, long y);
    platform::DesktopRect desktop() const;
    /// Forgets partial wheel notches (a device went away, the hook was reinstalled). Device thread.
    void resetWheels();

  private:
    mutable std::mutex mutex_; // guards estimate_
    CursorEstimate estimate_;
    bool moved_ = false;
    WheelNotches vertical_, horizontal_; // device thread only
};

/// Whether a polled true position (XQueryPointer through XWayland) is current. XWayland keeps its
/// last position while the pointer is over other applications, so the position counts when it
/// moved since the previous poll, and stays current while it rests as long as the devices rest
/// too; device motion it does not follow makes it stale until it moves again. Sampler thread.
class PolledAnchor {
  public:
    /// `devicesMoved`: the devices reported motion since the previous poll.
    bool fresh(long x, long y, bool devicesMoved);

  private:
    bool have_ = false, fresh_ = false;
    long x_ = 0, y_ = 0;
};

} // namespace kv

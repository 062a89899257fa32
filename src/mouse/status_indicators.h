#pragma once
// What the mouse status display shows besides its texts: the positions of the sixteen old-style
// indicator controls, the compass picture, and the hand-shake with which the window resizes the
// display while the mouse status thread runs. No user-interface toolkit here.
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "mouse/mouse_backend.h"

namespace kv {

struct MouseMetrics;

/// The old-style indicator controls, in the order the display lays them out.
enum OldStyleControl : int {
    kIndicatorTurnInertia,
    kIndicatorTurnInertiaChange,
    kIndicatorSpeed, // a progress bar
    kIndicatorAcceleration,
    kIndicatorHorizontalPosition,
    kIndicatorVerticalPosition,
    kIndicatorHorizontalVelocity,
    kIndicatorVerticalVelocity,
    kIndicatorHorizontalAcceleration,
    kIndicatorVerticalAcceleration,
    kIndicatorVerticalWheelPosition,
    kIndicatorVerticalWheelVelocity,
    kIndicatorVerticalWheelAcceleration,
    kIndicatorHorizontalWheelPosition,
    kIndicatorHorizontalWheelVelocity,
    kIndicatorHorizontalWheelAcceleration,
    kOldStyleControls, // 16
};

struct IndicatorRange {
    int minimum, maximum;
};

/// The range of each control; the two position sliders span the desktop.
std::array<IndicatorRange, kOldStyleControls> oldStyleRanges(const platform::DesktopRect& desktop);

/// The position of each control for the current metrics (integers, truncated toward zero):
/// turning × 180 ÷ 1000, speed ÷ 5, the position sliders in desktop pixels around the origin
/// (wrapped into the desktop), everything else ÷ 10. Mouse status thread.
std::array<int, kOldStyleControls> oldStylePositions(const MouseMetrics& m,
                                                     const platform::DesktopRect& desktop);

/// The compass picture: `w` × `h` pixels, rows top first, 0xAARRGGBB words (alpha 0xFF).
struct CompassPicture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;
};

/// Draws the compass for the direction of travel `theta` (radians, clockwise on screen from
/// rightward): background, a thin line from the centre to the tip, a thick half-tone tail and two
/// thick barbs. Colours are 0xRRGGBB. Resizes `picture` only when its size differs.
void drawCompass(CompassPicture& picture, int w, int h, double theta, std::uint32_t background,
                 std::uint32_t text);

/// The resize hand-shake between the window (user-interface thread) and the mouse status thread.
/// The window asks; the thread, at the end of a pass, lets go of its surfaces, acknowledges and
/// waits; the window, on seeing the acknowledgement, stores the new size and clears both flags;
/// the thread then builds its surfaces again at that size.
class StatusRebuild {
  public:
    /// User-interface thread: the display changed size.
    void request() { request_.store(true, std::memory_order_release); }
    /// User-interface thread (10 ms timer): when acknowledged, stores the size and releases the
    /// thread. True when it did.
    bool complete(int width, int height);
    /// Mouse status thread, end of a pass: when a rebuild was asked for, acknowledges and waits
    /// (1 ms sleeps) until the window completes it or `stop` is set. True when it rebuilt.
    bool acknowledgeAndWait(const std::atomic<bool>& stop);
    bool requested() const { return request_.load(std::memory_order_acquire); }
    int width() const { return width_.load(std::memory_order_acquire); }
    int height() const { return height_.load(std::memory_order_acquire); }

  private:
    std::atomic<bool> request_{false}, acknowledged_{false};
    std::atomic<int> width_{0}, height_{0};
};

} // namespace kv

#pragma once
// The mouse metrics: what the sampler computes from the cursor positions it polls and from the
// hook's wheel positions (sources 0..21 of the mouse rows), and the pure computation of one pass.
#include <atomic>
#include <cstdint>
#include <limits>

#include "mouse/mouse_backend.h"

namespace kv {

struct MouseHookState;

/// The mouse sources, in the order of the mouse rows (row 128 + source).
enum MouseSource : int {
    kSourceDirection,                      // direction of travel, −500..1500
    kSourceTurnInertia,                    // smoothed turning rate
    kSourceTurnInertiaChange,              // smoothed change of the turning rate
    kSourceSpeed,                          // smoothed distance per pass × 5
    kSourceAcceleration,                   // smoothed change of the speed × 200
    kSourceHorizontalPosition,             // −1000..1000 around the origin
    kSourceVerticalPosition,               // −1000..1000 around the origin
    kSourceHorizontalVelocity,             // smoothed horizontal step × 10
    kSourceVerticalVelocity,               // smoothed vertical step × 10
    kSourceHorizontalAcceleration,         // × 200
    kSourceVerticalAcceleration,           // × 200
    kSourceSpeedRaw,                       // distance of this pass × 5
    kSourceDirectionHorizontalUnsigned,    // 0 leftward .. 1000 rightward
    kSourceDirectionHorizontalSigned,      // −1000 leftward .. 1000 rightward
    kSourceDirectionVerticalUnsigned,      // 0 downward .. 1000 upward
    kSourceDirectionVerticalSigned,        // −1000 downward .. 1000 upward
    kSourceVerticalScrollPosition,         // −1000..1000, wrapping
    kSourceVerticalScrollVelocity,         // × 100
    kSourceVerticalScrollAcceleration,     // × 600
    kSourceHorizontalScrollPosition,       // −1000..1000, wrapping
    kSourceHorizontalScrollVelocity,       // × 100
    kSourceHorizontalScrollAcceleration,   // × 600
    kMetricSources,                        // 22 metrics; the five buttons follow them
    kSourceButtonLeft = kMetricSources,    // 0 or 1000 (from the hook state)
    kMouseSources = kSourceButtonLeft + 5, // 27
};

/// Raw values of the metric sources, written by the sampler (mouse status thread) and read by the
/// engine and the status display at their own pace (a value read mid-pass is the previous or the
/// current pass's). All start at 0. A value is stored with release, so that a reader who takes it
/// with acquire (valueOfPass) also sees that its pass had begun.
struct MouseMetrics {
    std::atomic<double> raw[kMetricSources] = {};
    std::atomic<double> theta{0}; // direction angle, radians 0 ≤ θ < 2π, clockwise on screen
    std::atomic<double> totalDistance{0}; // pixels travelled; restarts at 0 beyond 10⁹

    double value(int source) const { return raw[source].load(std::memory_order_relaxed); }
    /// The value with acquire: a read of a pass's metrics between two reads of its sequence.
    double valueOfPass(int source) const { return raw[source].load(std::memory_order_acquire); }
    void set(int source, double v) { raw[source].store(v, std::memory_order_release); }
};

/// Preferences the sampler reads at every pass (written by the user-interface thread).
struct MouseSettings {
    std::atomic<bool> wrapAtScreenEdges{true}; // move the cursor across at the desktop's edges
    std::atomic<bool> showMouseStatus{false};  // shortens the pause between passes to 9 ms
    std::atomic<long> originX{0}, originY{0};  // mouse origin: offset from the desktop's centre, px
};

/// The sampler's own state (mouse status thread only); survives a rebuild of the status display.
struct SamplerState {
    platform::DesktopRect scale; // desktop taken at start, for the position scaling
    long prevX = 0, prevY = 0;   // previous cursor position
    long prevVelX = 0, prevVelY = 0;
    double path = 0, sumX = 0, sumY = 0; // since the last direction update
    int moves = 0;
    // θ of the last direction update; none yet at start, so that a first movement straight to
    // the right (θ = 0) still sets the direction sources.
    double prevTheta = std::numeric_limits<double>::quiet_NaN();
    double prevPhi = 0;
    double ti = 0, tiChange = 0, prevTi = 0;    // turning rate (degrees per pass) and its change
    double speed = 0, prevSpeed = 0, accel = 0; // pixels per pass
    double hv = 0, vv = 0, prevHv = 0, prevVv = 0, ha = 0, va = 0;
    double vsv = 0, vsa = 0, prevVsv = 0, hsv = 0, hsa = 0, prevHsv = 0;
    double statusDistance = 0; // pixels, for the status text (its owner resets it)
};

/// What one pass reads from the world.
struct SamplerInput {
    bool cursorRead = true;        // false: the cursor could not be read (counts as not moved)
    long x = 0, y = 0;             // cursor, screen pixels
    platform::DesktopRect desktop; // taken now, for the cursor wrap
    long originX = 0, originY = 0;
    bool wrap = true;
    /// The wheel positions, taken by the caller together with the hook's delta sums; without
    /// them the pass reads the hook's.
    bool wheelTaken = false;
    double vertical = 0, horizontal = 0;
};

/// Where the pass moved the cursor, if it did.
struct SamplerWarp {
    bool moved = false;
    long x = 0, y = 0;
};

/// Start of the sampler: the desktop for the position scaling and the cursor as the previous
/// position.
void startSampler(SamplerState& s, const platform::DesktopRect& desktop, long x, long y);

/// One pass: cursor metrics, turning, speed, velocities, wheel sources and the cursor wrap.
/// Writes the metrics and the hook's previous wheel values. Constant work. Mouse status thread.
SamplerWarp samplerPass(SamplerState& s, const SamplerInput& in, MouseHookState& hook,
                        MouseMetrics& m);

/// Change of heading from `previous` to `current` (degrees 0..360, counter-clockwise), taking the
/// short way across 0/360 when one lies in the first quarter and the other in the last.
double headingChange(double previous, double current);

/// Direction, and its horizontal and vertical components, of the angle θ (radians).
struct DirectionSources {
    double direction, horizontalSigned, horizontalUnsigned, verticalSigned, verticalUnsigned;
};
DirectionSources directionSources(double theta);

} // namespace kv

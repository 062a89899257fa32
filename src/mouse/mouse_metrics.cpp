#include "mouse/mouse_metrics.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "mouse/mouse_hook.h"

namespace kv {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kPathForDirection = 20.0; // pixels of travel before the direction is updated
constexpr int kMovesForDirection = 10;     // or this many moving passes
constexpr double kTurnLimit = 100000.0;
constexpr double kDistanceLimit = 1e9;

// Angular distance between two angles in radians, the shorter way round (0..π).
double angularDistance(double a, double b) {
    const double d = std::fabs(a - b);
    return std::min(d, 2 * kPi - d);
}

// A wheel's velocity and acceleration sources from its position (hook units).
void wheelSources(double position, std::atomic<double>& previousAtomic, double& velocity,
                  double& acceleration, double& previousVelocity, MouseMetrics& m,
                  int positionSource) {
    constexpr auto rlx = std::memory_order_relaxed;
    m.set(positionSource, position * 10);
    velocity = 0.8 * velocity + 0.2 * (position - previousAtomic.load(rlx));
    m.set(positionSource + 1, velocity * 10 * 10);
    previousAtomic.store(position, rlx);
    acceleration = 0.8 * acceleration + 0.2 * (velocity - previousVelocity);
    m.set(positionSource + 2, acceleration * 60 * 10);
    previousVelocity = velocity;
}

} // namespace

double headingChange(double previous, double current) {
    if (previous >= 270 && current <= 90) return (360 - previous) + current;
    if (previous <= 90 && current >= 270) return -((360 - current) + previous);
    return current - previous;
}

DirectionSources directionSources(double theta) {
    DirectionSources d;
    d.direction = (theta - kPi / 2) * 1000 / kPi;
    d.horizontalSigned = -1000 * (1 - 2 * angularDistance(theta, kPi) / kPi);
    d.horizontalUnsigned = (d.horizontalSigned + 1000) * 0.5;
    d.verticalSigned = -1000 * (1 - 2 * angularDistance(theta, kPi / 2) / kPi);
    d.verticalUnsigned = (d.verticalSigned + 1000) * 0.5;
    return d;
}

void startSampler(SamplerState& s, const platform::DesktopRect& desktop, long x, long y) {
    s.scale = desktop;
    s.prevX = s.prevVelX = x;
    s.prevY = s.prevVelY = y;
}

SamplerWarp samplerPass(SamplerState& s, const SamplerInput& in, MouseHookState& hook,
                        MouseMetrics& m) {
    long x = in.cursorRead ? in.x : s.prevX;
    long y = in.cursorRead ? in.y : s.prevY;
    double d = 0;
    if (x != s.prevX || y != s.prevY) {
        // Position around the origin, wrapped into the desktop so that it runs around the screen.
        const platform::DesktopRect& r = s.scale;
        double rx = static_cast<double>(x - in.originX);
        double ry = static_cast<double>(y - in.originY);
        if (rx < r.left) rx += r.right - r.left;
        if (ry < r.top) ry += r.bottom - r.top;
        if (rx > r.right) rx += r.left - r.right;
        if (ry > r.bottom) ry += r.top - r.bottom;
        // −1000 at the left (top) edge, 1000 at the right (bottom) edge of the desktop.
        const double width = static_cast<double>(std::max(1L, r.right - r.left));
        const double height = static_cast<double>(std::max(1L, r.bottom - r.top));
        m.set(kSourceHorizontalPosition, 2000.0 * (rx - r.left) / width - 1000);
        m.set(kSourceVerticalPosition, 2000.0 * (ry - r.top) / height - 1000);

        const double dx = static_cast<double>(x - s.prevX), dy = static_cast<double>(y - s.prevY);
        d = std::sqrt(dx * dx + dy * dy);
        double total = m.totalDistance.load(std::memory_order_relaxed) + d;
        if (total > kDistanceLimit) total = 0;
        m.totalDistance.store(total, std::memory_order_relaxed);
        s.statusDistance += d;

        s.path += d;
        s.sumX += dx;
        s.sumY += dy;
        ++s.moves;
        if (s.path >= kPathForDirection || s.moves >= kMovesForDirection) {
            double theta = std::atan2(s.sumY, s.sumX);
            while (theta < 0)
                theta += 2 * kPi;
            s.path = s.sumX = s.sumY = 0;
            s.moves = 0;
            m.theta.store(theta, std::memory_order_relaxed);
            if (theta != s.prevTheta) {
                s.prevTheta = theta;
                const DirectionSources ds = directionSources(theta);
                m.set(kSourceDirection, ds.direction);
                m.set(kSourceDirectionHorizontalSigned, ds.horizontalSigned);
                m.set(kSourceDirectionHorizontalUnsigned, ds.horizontalUnsigned);
                m.set(kSourceDirectionVerticalSigned, ds.verticalSigned);
                m.set(kSourceDirectionVerticalUnsigned, ds.verticalUnsigned);
            }
        }
        s.prevX = x;
        s.prevY = y;
    }

    // Turning: heading in degrees counter-clockwise on screen.
    const double theta = m.theta.load(std::memory_order_relaxed);
    const double phi = theta > 0 ? 360 - theta * 180 / kPi : 0;
    s.ti = std::clamp(0.9 * s.ti + 0.1 * headingChange(s.prevPhi, phi), -kTurnLimit, kTurnLimit);
    m.set(kSourceTurnInertia, s.ti * 8 * 1000 / 180);
    s.tiChange = 0.9 * s.tiChange + 0.1 * (s.ti - s.prevTi);
    m.set(kSourceTurnInertiaChange, s.tiChange * 120 * 1000 / 180);
    s.prevPhi = phi;
    s.prevTi = s.ti;

    // Speed and acceleration.
    s.speed = 0.7 * s.speed + 0.3 * d;
    m.set(kSourceSpeed, s.speed * 5);
    m.set(kSourceSpeedRaw, d * 5);
    s.accel = 0.8 * s.accel + 0.2 * (s.speed - s.prevSpeed);
    m.set(kSourceAcceleration, s.accel * 20 * 10);
    s.prevSpeed = s.speed;

    // Velocities from the raw cursor.
    s.hv = 0.8 * s.hv + 0.2 * static_cast<double>(x - s.prevVelX);
    s.vv = 0.8 * s.vv + 0.2 * static_cast<double>(y - s.prevVelY);
    m.set(kSourceHorizontalVelocity, s.hv * 10);
    m.set(kSourceVerticalVelocity, s.vv * 10);
    s.ha = 0.8 * s.ha + 0.2 * (s.hv - s.prevHv);
    s.va = 0.8 * s.va + 0.2 * (s.vv - s.prevVv);
    m.set(kSourceHorizontalAcceleration, s.ha * 20 * 10);
    m.set(kSourceVerticalAcceleration, s.va * 20 * 10);
    s.prevVelX = x;
    s.prevVelY = y;
    s.prevHv = s.hv;
    s.prevVv = s.vv;

    const double vertical =
        in.wheelTaken ? in.vertical : hook.vertical.load(std::memory_order_relaxed);
    const double horizontal =
        in.wheelTaken ? in.horizontal : hook.horizontal.load(std::memory_order_relaxed);
    wheelSources(vertical, hook.verticalPrevious, s.vsv, s.vsa, s.prevVsv, m,
                 kSourceVerticalScrollPosition);
    wheelSources(horizontal, hook.horizontalPrevious, s.hsv, s.hsa, s.prevHsv, m,
                 kSourceHorizontalScrollPosition);

    // Cursor wrap at the desktop's edges; the jump counts as no movement.
    SamplerWarp warp;
    if (in.wrap && in.cursorRead) {
        const platform::DesktopRect& r = in.desktop;
        long nx = x, ny = y;
        if (x == r.left)
            nx = r.right - 1;
        else if (x == r.right)
            nx = r.left + 1;
        if (y == r.top)
            ny = r.bottom - 1;
        else if (y == r.bottom)
            ny = r.top + 1;
        if (nx != x || ny != y) {
            warp = {true, nx, ny};
            s.prevX = s.prevVelX = nx;
            s.prevY = s.prevVelY = ny;
        }
    }
    return warp;
}

} // namespace kv

#include "mouse/status_indicators.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "mouse/mouse_metrics.h"

namespace kv {

std::array<IndicatorRange, kOldStyleControls> oldStyleRanges(const platform::DesktopRect& desktop) {
    std::array<IndicatorRange, kOldStyleControls> r;
    r.fill({-100, 100});
    r[kIndicatorTurnInertia] = r[kIndicatorTurnInertiaChange] = {-180, 180};
    r[kIndicatorSpeed] = {0, 300};
    r[kIndicatorHorizontalPosition] = {int(desktop.left), int(desktop.right)};
    r[kIndicatorVerticalPosition] = {int(desktop.top), int(desktop.bottom)};
    return r;
}

namespace {

// Truncation toward zero that cannot overflow an int (not-a-number reads 0).
int position(double v) {
    if (!(v == v)) return 0;
    return int(std::clamp(v, -2.0e9, 2.0e9));
}

} // namespace

std::array<int, kOldStyleControls> oldStylePositions(const MouseMetrics& m,
                                                     const platform::DesktopRect& desktop) {
    // Each control shows one metric; all but the turning, speed and position ones at a tenth.
    static constexpr int kTenths[][2] = {
        {kIndicatorAcceleration, kSourceAcceleration},
        {kIndicatorHorizontalVelocity, kSourceHorizontalVelocity},
        {kIndicatorVerticalVelocity, kSourceVerticalVelocity},
        {kIndicatorHorizontalAcceleration, kSourceHorizontalAcceleration},
        {kIndicatorVerticalAcceleration, kSourceVerticalAcceleration},
        {kIndicatorVerticalWheelPosition, kSourceVerticalScrollPosition},
        {kIndicatorVerticalWheelVelocity, kSourceVerticalScrollVelocity},
        {kIndicatorVerticalWheelAcceleration, kSourceVerticalScrollAcceleration},
        {kIndicatorHorizontalWheelPosition, kSourceHorizontalScrollPosition},
        {kIndicatorHorizontalWheelVelocity, kSourceHorizontalScrollVelocity},
        {kIndicatorHorizontalWheelAcceleration, kSourceHorizontalScrollAcceleration},
    };
    std::array<int, kOldStyleControls> p{};
    for (const auto& [control, source] : kTenths)
        p[control] = position(m.value(source) / 10);
    p[kIndicatorTurnInertia] = position(m.value(kSourceTurnInertia) * 180 / 1000);
    p[kIndicatorTurnInertiaChange] = position(m.value(kSourceTurnInertiaChange) * 180 / 1000);
    p[kIndicatorSpeed] = position(m.value(kSourceSpeed) / 5);
    // The position metrics run −1000..1000 across the desktop: back to desktop pixels.
    const double width = double(std::max(1L, desktop.right - desktop.left));
    const double height = double(std::max(1L, desktop.bottom - desktop.top));
    p[kIndicatorHorizontalPosition] =
        position(double(desktop.left) + (m.value(kSourceHorizontalPosition) + 1000) * width / 2000);
    p[kIndicatorVerticalPosition] =
        position(double(desktop.top) + (m.value(kSourceVerticalPosition) + 1000) * height / 2000);
    return p;
}

namespace {

struct Canvas {
    CompassPicture& picture;
    std::uint32_t colour;

    // Spreads the point over the four nearest pixels, weighted by its distance from their
    // centres; pixels outside the picture are skipped.
    void plot(double x, double y) const {
        const double fx = x - std::floor(x), fy = y - std::floor(y);
        const int cx = int(std::floor(x)), cy = int(std::floor(y));
        const int cols[2] = {cx, fx < 0.5 ? cx - 1 : cx + 1};
        const int rows[2] = {cy, fy < 0.5 ? cy - 1 : cy + 1};
        const double colW[2] = {1 - std::abs(fx - 0.5), std::abs(fx - 0.5)};
        const double rowW[2] = {1 - std::abs(fy - 0.5), std::abs(fy - 0.5)};
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j)
                blend(cols[i], rows[j], colW[i] * rowW[j]);
    }

    void blend(int x, int y, double w) const {
        if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) return;
        std::uint32_t& p = picture.pixels[std::size_t(y) * std::size_t(picture.width) + x];
        std::uint32_t out = 0xFF000000u;
        for (int shift = 0; shift < 24; shift += 8) {
            const double c = double((colour >> shift) & 0xFF), old = double((p >> shift) & 0xFF);
            out |= std::uint32_t(c * w + old * (1 - w)) << shift;
        }
        p = out;
    }

    void plotThick(double x, double y, bool thick) const {
        plot(x, y);
        if (!thick) return;
        plot(x + 1, y);
        plot(x, y + 1);
        plot(x + 1, y + 1);
    }

    // Steps one pixel at a time from the start toward the end, plotting as it goes.
    void line(double x0, double y0, double x1, double y1, bool thick) const {
        double x = x0, y = y0;
        for (;;) {
            plotThick(x, y, thick);
            const double dx = x1 - x, dy = y1 - y;
            const double remaining = std::sqrt(dx * dx + dy * dy);
            if (!(remaining >= 1)) break;
            x += dx / remaining;
            y += dy / remaining;
        }
        plotThick(x1, y1, thick);
    }
};

} // namespace

void drawCompass(CompassPicture& picture, int w, int h, double theta, std::uint32_t background,
                 std::uint32_t text) {
    w = std::max(w, 0);
    h = std::max(h, 0);
    if (picture.width != w || picture.height != h) {
        picture.width = w;
        picture.height = h;
        picture.pixels.assign(std::size_t(w) * std::size_t(h), 0);
    }
    std::fill(picture.pixels.begin(), picture.pixels.end(), 0xFF000000u | background);
    if (!std::isfinite(theta)) theta = 0;
    const int cx = w / 2, cy = h / 2;
    auto at = [&](double a, int rx, int ry, double& x, double& y) {
        x = cx + rx * std::cos(a);
        y = cy + ry * std::sin(a);
    };
    constexpr double kPi = 3.14159265358979323846;
    double tipX, tipY, tailX, tailY, leftX, leftY, rightX, rightY;
    at(theta, w / 2, h / 2, tipX, tipY);
    at(theta + kPi, w / 2, h / 2, tailX, tailY);
    at(theta + kPi / 2, w / 20, h / 20, leftX, leftY);
    at(theta - kPi / 2, w / 20, h / 20, rightX, rightY);
    // The tail in the half-tone between text and background, per channel.
    std::uint32_t half = 0;
    for (int shift = 0; shift < 24; shift += 8)
        half |= ((((text >> shift) & 0xFF) + ((background >> shift) & 0xFF)) / 2) << shift;
    Canvas{picture, text}.line(cx, cy, tipX, tipY, false);
    Canvas{picture, half}.line(tailX, tailY, cx, cy, true);
    Canvas{picture, text}.line(leftX, leftY, tipX, tipY, true);
    Canvas{picture, text}.line(rightX, rightY, tipX, tipY, true);
}

bool StatusRebuild::complete(int width, int height) {
    if (!acknowledged_.load(std::memory_order_acquire)) return false;
    width_.store(width, std::memory_order_relaxed);
    height_.store(height, std::memory_order_relaxed);
    request_.store(false, std::memory_order_relaxed);
    acknowledged_.store(false, std::memory_order_release);
    return true;
}

bool StatusRebuild::acknowledgeAndWait(const std::atomic<bool>& stop) {
    if (!request_.load(std::memory_order_acquire)) return false;
    acknowledged_.store(true, std::memory_order_release);
    while (acknowledged_.load(std::memory_order_acquire)) {
        if (stop.load(std::memory_order_relaxed)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace kv

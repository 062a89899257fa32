#include "mouse/device_mouse.h"

#include <algorithm>
#include <cmath>

namespace kv {

void CursorEstimate::setDesktop(const platform::DesktopRect& r) {
    desktop_ = r;
    clamp();
}

void CursorEstimate::clamp() {
    x_ = std::clamp(x_, double(desktop_.left), double(std::max(desktop_.left, desktop_.right)));
    y_ = std::clamp(y_, double(desktop_.top), double(std::max(desktop_.top, desktop_.bottom)));
}

void CursorEstimate::move(double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) return;
    x_ += dx;
    y_ += dy;
    clamp();
}

void CursorEstimate::place(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    x_ = x;
    y_ = y;
    clamp();
}

void CursorEstimate::anchorStep(double x, double y) {
    const double ex = x - x_, ey = y - y_;
    const double distance = std::hypot(ex, ey);
    if (!std::isfinite(distance)) return;
    if (distance <= kAnchorSnap) {
        x_ = x;
        y_ = y;
    } else {
        const double step = std::min(distance / 2, kAnchorStepMax) / distance;
        x_ += ex * step;
        y_ += ey * step;
    }
    clamp();
}

long CursorEstimate::pixelX() const {
    return std::lround(x_);
}

long CursorEstimate::pixelY() const {
    return std::lround(y_);
}

int WheelNotches::add(double v120) {
    if (!std::isfinite(v120)) return 0;
    // Rolling the other way drops the part of a notch not yet completed, as a detent wheel would.
    if ((sum_ > 0 && v120 < 0) || (sum_ < 0 && v120 > 0)) sum_ = 0;
    // (At most 256 notches at once: a device cannot turn further between two reads.)
    sum_ = std::clamp(sum_ + v120, -256 * 120.0, 256 * 120.0);
    const int notches = static_cast<int>(std::trunc(sum_ / 120.0));
    sum_ -= notches * 120.0;
    return notches;
}

int xButtonForInputCode(uint32_t code) {
    using namespace input_code;
    switch (code) {
    case kLeft:
        return 1;
    case kMiddle:
        return 2;
    case kRight:
        return 3;
    case kSide:
    case kBack:
        return 8;
    case kExtra:
    case kForward:
        return 9;
    default:
        return 0;
    }
}

void DeviceMouseFeed::feed(const DeviceEvent& e, MouseHookState& hook) {
    switch (e.kind) {
    case DeviceEvent::Motion: {
        std::lock_guard lock(mutex_);
        estimate_.move(e.dx, e.dy);
        moved_ = moved_ || e.dx != 0 || e.dy != 0;
        return;
    }
    case DeviceEvent::Button: {
        HookMessage message;
        int16_t data = 0;
        const int button = xButtonForInputCode(e.code);
        if (button && hookEventForXButton(button, e.pressed, message, data))
            hook.onEvent(message, data);
        return;
    }
    case DeviceEvent::VerticalWheel:
    case DeviceEvent::HorizontalWheel: {
        const bool vertical = e.kind == DeviceEvent::VerticalWheel;
        int notches = (vertical ? vertical_ : horizontal_).add(e.v120);
        // The hook's vertical delta is positive away from the user, libinput's towards the user;
        // both horizontal ones are positive to the right. One hook event per notch, as X11 gives.
        const int16_t delta = (vertical ? -1 : 1) * (notches > 0 ? 120 : -120);
        for (notches = std::abs(notches); notches > 0; --notches)
            hook.onEvent(vertical ? HookMessage::Wheel : HookMessage::HWheel, delta);
        return;
    }
    }
}

void DeviceMouseFeed::samplerPass(bool known, long trueX, long trueY, long& x, long& y) {
    std::lock_guard lock(mutex_);
    if (known) estimate_.anchorStep(double(trueX), double(trueY));
    x = estimate_.pixelX();
    y = estimate_.pixelY();
}

void DeviceMouseFeed::setDesktop(const platform::DesktopRect& r) {
    std::lock_guard lock(mutex_);
    if (!(estimate_.desktop() == r)) estimate_.setDesktop(r);
}

void DeviceMouseFeed::place(long x, long y) {
    std::lock_guard lock(mutex_);
    estimate_.place(double(x), double(y));
}

platform::DesktopRect DeviceMouseFeed::desktop() const {
    std::lock_guard lock(mutex_);
    return estimate_.desktop();
}

void DeviceMouseFeed::resetWheels() {
    vertical_.reset();
    horizontal_.reset();
}

bool DeviceMouseFeed::takeMoved() {
    std::lock_guard lock(mutex_);
    const bool moved = moved_;
    moved_ = false;
    return moved;
}

bool PolledAnchor::fresh(long x, long y, bool devicesMoved) {
    const bool moved = have_ && (x != x_ || y != y_);
    fresh_ = moved || (fresh_ && !devicesMoved);
    have_ = true;
    x_ = x;
    y_ = y;
    return fresh_;
}

} // namespace kv

#include "mouse/mouse_hook.h"

#include "mouse/mouse_backend.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;

void press(MouseHookState& s, int button) {
    s.pressCount[button].store(s.pressCount[button].load(rlx) + 1, rlx);
    s.down[button].store(1, rlx);
}

void release(MouseHookState& s, int button) {
    s.down[button].store(0, rlx);
}

// Moves a wheel position by `step` units and brings it back into −100..100 by whole turns of 200,
// shifting its previous value by the same amount so that the wheel's velocity stays continuous.
// A single event of up to 25 notches needs one turn; larger deltas (the platform allows up to
// 273 notches in one event) need more, and would otherwise leave the position out of range.
void turnWheel(std::atomic<double>& position, std::atomic<double>& previous, double step) {
    double v = position.load(rlx) + step;
    double shift = 0;
    while (v > kWheelWrap) {
        v -= 2 * kWheelWrap;
        shift -= 2 * kWheelWrap;
    }
    while (v < -kWheelWrap) {
        v += 2 * kWheelWrap;
        shift += 2 * kWheelWrap;
    }
    position.store(v, std::memory_order_release);
    if (shift != 0) previous.store(previous.load(rlx) + shift, rlx);
}

} // namespace

void MouseHookState::clearButtons() {
    for (int b = 0; b < kMouseButtons; ++b) {
        down[b].store(0, rlx);
        pressCount[b].store(0, rlx);
    }
}

void MouseHookState::applyEvent(HookMessage message, int16_t data) {
    switch (message) {
    case HookMessage::LeftDown:
        return press(*this, kButtonLeft);
    case HookMessage::LeftUp:
        return release(*this, kButtonLeft);
    case HookMessage::MiddleDown:
        return press(*this, kButtonMiddle);
    case HookMessage::MiddleUp:
        return release(*this, kButtonMiddle);
    case HookMessage::RightDown:
        return press(*this, kButtonRight);
    case HookMessage::RightUp:
        return release(*this, kButtonRight);
    case HookMessage::XDown:
        if (data == 1 || data == 2) press(*this, data == 1 ? kButtonX1 : kButtonX2);
        return;
    case HookMessage::XUp:
        if (data == 1 || data == 2) release(*this, data == 1 ? kButtonX1 : kButtonX2);
        return;
    case HookMessage::Wheel:
    case HookMessage::HWheel: {
        const bool v = message == HookMessage::Wheel;
        // Odd while the fields change. They are stored with release, so that a sampler which
        // takes one of them with acquire also sees the odd count and tries again.
        const uint32_t change = wheelChange.load(std::memory_order_relaxed);
        wheelChange.store(change + 1, std::memory_order_relaxed);
        std::atomic<int64_t>& deltas = v ? verticalDeltas : horizontalDeltas;
        deltas.store(deltas.load(std::memory_order_relaxed) + data, std::memory_order_release);
        // Rolling away from the user (positive delta) lowers the vertical position.
        if (v)
            turnWheel(vertical, verticalPrevious, -data / 120.0 * kWheelUnitsPerNotch);
        else
            turnWheel(horizontal, horizontalPrevious, data / 120.0 * kWheelUnitsPerNotch);
        wheelChange.store(change + 2, std::memory_order_release);
        return;
    }
    case HookMessage::Other:
        return;
    }
}

bool hookEventForXButton(int button, bool press, HookMessage& message, int16_t& data) {
    data = 0;
    switch (button) {
    case 1:
        message = press ? HookMessage::LeftDown : HookMessage::LeftUp;
        return true;
    case 2:
        message = press ? HookMessage::MiddleDown : HookMessage::MiddleUp;
        return true;
    case 3:
        message = press ? HookMessage::RightDown : HookMessage::RightUp;
        return true;
    case 4:
    case 5:
    case 6:
    case 7:
        if (!press) return false;
        message = button <= 5 ? HookMessage::Wheel : HookMessage::HWheel;
        data = (button == 4 || button == 7) ? 120 : -120;
        return true;
    case 8:
    case 9:
        message = press ? HookMessage::XDown : HookMessage::XUp;
        data = static_cast<int16_t>(button - 7);
        return true;
    default:
        return false;
    }
}

bool installMouseHook(MouseHookState& hook, platform::MouseBackend& backend, std::string& message) {
    backend.removeHook();
    hook.clearButtons();
    std::string error;
    if (backend.installHook(hook, error)) return true;
    message = "Error hooking mouse: " + error;
    return false;
}

} // namespace kv

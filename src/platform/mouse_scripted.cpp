#include "platform/mouse_scripted.h"

#include <algorithm>

namespace kv::platform {

void ScriptedMouse::moveCursor(long x, long y) {
    x_ = std::clamp(x, desktop_.left, desktop_.right);
    y_ = std::clamp(y, desktop_.top, desktop_.bottom);
}

void ScriptedMouse::setDesktop(const DesktopRect& r) {
    desktop_ = r;
    moveCursor(x_, y_);
}

void ScriptedMouse::button(int index, bool down) {
    if (!hook_ || index < 0 || index >= kMouseButtons) return;
    static constexpr HookMessage kDown[] = {HookMessage::LeftDown, HookMessage::MiddleDown,
                                            HookMessage::RightDown, HookMessage::XDown,
                                            HookMessage::XDown};
    static constexpr HookMessage kUp[] = {HookMessage::LeftUp, HookMessage::MiddleUp,
                                          HookMessage::RightUp, HookMessage::XUp, HookMessage::XUp};
    const int16_t number = index == kButtonX1 ? 1 : index == kButtonX2 ? 2 : 0;
    hook_->onEvent(down ? kDown[index] : kUp[index], number);
}

void ScriptedMouse::wheel(bool horizontal, int delta) {
    if (!hook_) return;
    hook_->onEvent(horizontal ? HookMessage::HWheel : HookMessage::Wheel,
                   static_cast<int16_t>(std::clamp(delta, -32768, 32767)));
}

} // namespace kv::platform

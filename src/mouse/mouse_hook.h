#pragma once
// The mouse hook's state: the five buttons and the two scroll wheels, written by the hook as the
// desktop's mouse events arrive and read by the sampler, the engine and the status display.
#include <atomic>
#include <cstdint>
#include <string>

namespace kv {

namespace platform {
class MouseBackend;
}

/// The five buttons, in the order of their mouse rows.
enum MouseButtonIndex : int {
    kButtonLeft,
    kButtonMiddle,
    kButtonRight,
    kButtonX1,
    kButtonX2,
    kMouseButtons
};

/// The hook's events, whatever the platform calls them.
enum class HookMessage : uint8_t {
    LeftDown,
    LeftUp,
    MiddleDown,
    MiddleUp,
    RightDown,
    RightUp,
    XDown, // data: the X button number, 1 or 2
    XUp,
    Wheel,  // data: signed wheel delta, 120 per notch, positive away from the user
    HWheel, // data: signed wheel delta, 120 per notch, positive to the right
    Other,  // moves and everything else: no effect
};

/// Units of wheel position per notch (a delta of 120), and the wrapping range −100..100.
constexpr double kWheelUnitsPerNotch = 8.0;
constexpr double kWheelWrap = 100.0;

/// Written by the hook thread (and, for the previous wheel values, by the sampler); read by the
/// sampler, the engine and the status display. Every field is a relaxed atomic but the wheel
/// fields that wheelChange guards (stored with release, taken with acquire): no locks.
struct MouseHookState {
    std::atomic<uint8_t> down[kMouseButtons] = {};        // 1 while held
    std::atomic<uint64_t> pressCount[kMouseButtons] = {}; // presses since the hook was installed
    std::atomic<double> vertical{0}, verticalPrevious{0}; // wheel units, −100..100
    std::atomic<double> horizontal{0}, horizontalPrevious{0}; // wheel units, −100..100
    /// Sums of the raw wheel deltas received (120 per notch), for a gesture tape.
    std::atomic<int64_t> verticalDeltas{0}, horizontalDeltas{0};
    /// Odd while a wheel event changes the wheel fields (stored with release): a sampler pass
    /// takes the positions and the delta sums of one moment (with acquire), so that a tape logs
    /// a notch at the pass that heard it.
    std::atomic<uint32_t> wheelChange{0};

    /// Every button released and its press count 0. User-interface thread, hook removed.
    void clearButtons();
    /// One event from the hook; `data` is the high word of the event's mouse data (wheel delta
    /// or X button number). Ignored while muted. Hook thread; constant work.
    void onEvent(HookMessage message, int16_t data) {
        if (!muted.load(std::memory_order_relaxed)) applyEvent(message, data);
    }
    /// The event's effect, muted or not (a gesture tape replaying). One thread at a time.
    void applyEvent(HookMessage message, int16_t data);
    /// While set, the desktop's mouse events have no effect (a gesture tape plays instead).
    std::atomic<bool> muted{false};

    bool isDown(int button) const { return down[button].load(std::memory_order_relaxed) != 0; }
    uint64_t presses(int button) const {
        return pressCount[button].load(std::memory_order_relaxed);
    }
};

/// The hook event of an X server button number: 1/2/3 left/middle/right, 4/5 vertical wheel away
/// / towards the user, 6/7 horizontal wheel left / right, 8/9 X1/X2. False for other numbers and
/// for the release of a wheel button (a notch is one event).
bool hookEventForXButton(int button, bool press, HookMessage& message, int16_t& data);

/// Removes the previous hook, clears the buttons and installs the hook on `backend`. On failure
/// `message` is the line for the message list ("Error hooking mouse: " and the reason); buttons
/// and wheels then stay at rest. User-interface thread (at start-up and every engine start).
bool installMouseHook(MouseHookState& hook, platform::MouseBackend& backend, std::string& message);

} // namespace kv

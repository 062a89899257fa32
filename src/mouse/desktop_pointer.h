#pragma once
// The desktop's own mouse acceleration setting, read from the text its settings tools give, so that
// the mouse read from the devices moves as the desktop's pointer does.
#include <optional>
#include <string>
#include <string_view>

namespace kv {

enum class AccelProfile { Default, Flat, Adaptive };

/// A pointer acceleration setting: a profile and a speed −1 … 1 (libinput's); unset parts keep
/// the device's default.
struct PointerAccel {
    AccelProfile profile = AccelProfile::Default;
    std::optional<double> speed;
    bool operator==(const PointerAccel&) const = default;
};

/// GNOME: the output of `gsettings get org.gnome.desktop.peripherals.mouse accel-profile`
/// ('default', 'flat' or 'adaptive') and of `... speed` (a number −1 … 1). Text that is not such
/// an answer (an error message, nothing) leaves that part unset.
PointerAccel gnomePointerAccel(std::string_view profileOutput, std::string_view speedOutput);

/// Identifies a device in Plasma's per-device groups: [Libinput][vendor][product][name].
struct PointerDeviceId {
    unsigned vendor = 0, product = 0; // USB ids, decimal in the file
    std::string name;
};

/// Plasma: the text of kcminputrc. A per-device group of `device` wins over the [Mouse] group; in
/// either, PointerAcceleration (speed) and PointerAccelerationProfile (1 flat, 2 adaptive), or the
/// X11 session's XLbInptPointerAcceleration and XLbInptAccelProfileFlat.
PointerAccel plasmaPointerAccel(std::string_view kcminputrc, const PointerDeviceId& device);

/// Hyprland's answer to `cursorpos` on its request socket ("1234, 567"): the pointer's position
/// in desktop pixels. False for anything else (an error text, nothing).
bool parseHyprlandCursorPos(std::string_view reply, long& x, long& y);

} // namespace kv

#pragma once
// Slider positions to parameter values and back, per kind of slider, and the texts a moved slider
// shows in place of its caption. Pure computation.
#include <string>

#include "modules/catalogue.h"

namespace kv::ui {

/// A slider's range of integer positions and its value per position: value = p × num / den.
struct SliderScale {
    int minimum = 0;
    int maximum = 1000;
    int num = 1;
    int den = 1;

    double value(int position) const { return static_cast<double>(position) * num / den; }
    /// Truncated toward zero (a value just below a step because of binary fractions, such as
    /// 0.29 × 100, still lands on its step).
    int position(double value) const;
};

/// The value slider of an InputSlider; `longMode`: its option box exists and is checked.
SliderScale inputValueScale(const ControlDef& c, bool longMode);
/// The sensitivity slider of an InputSlider (−1000..1000 when signed) or a Frequency (0..1000).
SliderScale sensitivityScale(const ControlDef& c);
/// Velocity sensitivity, 0..1000 percent.
SliderScale velocityScale();
/// SimpleSlider and both ProportionFlipper sliders: min × 10 .. max × 10 in tenths.
SliderScale tenthsScale(const ControlDef& c);
/// Frequency base (Hz) and multiplier, fine or coarse.
SliderScale frequencyBaseScale(const ControlDef& c);
SliderScale frequencyMultiplierScale(const ControlDef& c);

/// The option box ("Long interval mode") switched: the value slider's new position for value `v`.
/// Switching on rounds v / x half up; switching off gives v × 10 / x (x = 1 with decimals, else
/// 10).
int optionSwitchPosition(const ControlDef& c, double v, bool nowOn);

/// "%.<d>f %s": the value with `decimals` decimals, a space and the unit.
std::string valueDisplay(double value, int decimals, const std::string& unit);
/// A language string with one "%ld" (or "%.3f" / "%.0f") filled in.
std::string formatLong(const std::string& format, long value);
std::string formatDouble(const std::string& format, double value);

} // namespace kv::ui

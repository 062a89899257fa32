#pragma once
// How audio modules read their input and parameters and write their sample. Engine thread.
#include <atomic>

#include "engine/params.h"

namespace kv {

/// Voice 0 of the smoothed primary value of the row `slot` names; 0 when it names none.
inline double audioInput(const ControlInputSlot& slot, const ControlTable& t) {
    return sourceValue(t, slot.source.load(std::memory_order_relaxed), true);
}

/// A parameter as an audio module reads it: the manual value as stored, or sensitivity/100 ×
/// voice 0 of the source row's smoothed primary value (0 when no source is selected).
struct AudioParam {
    bool manual;
    double value;
};

inline AudioParam audioParam(const InputSliderSlot& s, const ControlTable& t) {
    const SliderReading v = readSlider(s);
    if (v.isManual()) return {true, v.manual};
    return {false, v.sensitivity / 100.0 * sourceValue(t, v.source, true)};
}

/// Writes `value` into voice 0 of the primary and smoothed primary value of `row` (ignored for a
/// module without a row).
inline void writeAudioOutput(ControlTable& t, int row, double value) {
    if (row < 0 || row >= kModuleRows) return;
    t.rows[row].primary[0] = value;
    t.rows[row].primarySmoothed[0] = value;
}

} // namespace kv

#pragma once
// Reading parameters and inputs from the control table. Engine thread.
#include <atomic>

#include "modules/control_table.h"
#include "modules/module.h"

namespace kv {

/// Voice 0 of a source row (smoothed or raw primary), 0 for none, manual or a bad selector.
inline double sourceValue(const ControlTable& t, int selector, bool smoothed) {
    if (selector < 0 || selector >= kRowCount) return 0.0;
    const ControlRow& row = t.rows[selector];
    return smoothed ? row.primarySmoothed[0] : row.primary[0];
}

inline bool isRowSelector(int selector) {
    return selector >= 0 && selector < kRowCount;
}

/// Live values of an InputSlider, read once (relaxed).
struct SliderReading {
    int source;
    double manual;
    double sensitivity; // percent
    bool isManual() const { return source == kSourceManual; }
};

inline SliderReading readSlider(const InputSliderSlot& s) {
    constexpr auto r = std::memory_order_relaxed;
    return {s.source.load(r), s.manual.load(r), s.sensitivity.load(r)};
}

/// The common parameter rule: manual → manualScale × manual value; a source →
/// sensitivity/100 × voice 0 × sourceScale; none → sensitivity/100 × 0 × sourceScale.
inline double effectiveValue(const InputSliderSlot& s, const ControlTable& t, double manualScale,
                             double sourceScale, bool smoothed) {
    const SliderReading v = readSlider(s);
    if (v.isManual()) return v.manual * manualScale;
    return v.sensitivity / 100.0 * sourceValue(t, v.source, smoothed) * sourceScale;
}

} // namespace kv

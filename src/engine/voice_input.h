#pragma once
// The main input of a control module, read voice by voice at a control sample. Engine thread.
#include <atomic>
#include <cstdint>

#include "modules/control_table.h"
#include "modules/module.h"

namespace kv {

/// An input selector resolved once per control sample: none (no voices), manual (one voice) or a
/// row (its voices). Primary values per mille, velocities 0..127.
struct VoiceInput {
    const ControlRow* row = nullptr; // the source row; null for manual and none
    int count = 0;                   // voices: 0 none, 1 manual, else the row's voice count
    bool manual = false;
    double manualPrimary = 0; // the manual voice's primary value (per mille)
    double scale = 1;         // applied to a row's primary values (sensitivity / 100)

    bool none() const { return !manual && !row; }
    /// Primary of voice k, the row's raw value times the scale.
    double primary(int k) const { return row ? scale * row->primary[k] : manualPrimary; }
    /// Raw primary of voice k without the scale (manual: the manual voice's value).
    double rawPrimary(int k) const { return row ? row->primary[k] : manualPrimary; }
    double velocity(int k) const { return row ? row->velocity[k] : 127.0; }
    uint8_t noteId(int k) const { return row ? row->noteId[k] : 0; }
};

namespace detail {
inline VoiceInput voiceInputFrom(int selector, const ControlTable& t) {
    VoiceInput in;
    if (selector == kSourceManual) {
        in.manual = true;
        in.count = 1;
    } else if (selector >= 0 && selector < kRowCount) {
        in.row = &t.rows[selector];
        in.count = in.row->voiceCount > kVoices ? kVoices : in.row->voiceCount;
    }
    return in;
}
} // namespace detail

/// A slider input: manual gives its value × 10, a row its raw primaries × sensitivity / 100.
inline VoiceInput readVoiceInput(const InputSliderSlot& s, const ControlTable& t) {
    constexpr auto r = std::memory_order_relaxed;
    VoiceInput in = detail::voiceInputFrom(s.source.load(r), t);
    if (in.manual) in.manualPrimary = s.manual.load(r) * 10.0;
    if (in.row) in.scale = s.sensitivity.load(r) / 100.0;
    return in;
}

/// A plain source list (no manual value, no sensitivity). The window offers no manual entry, but a
/// patch may still select it: that voice then carries the signal 0 at velocity 127, note id 0.
inline VoiceInput readVoiceInput(const ControlInputSlot& s, const ControlTable& t) {
    return detail::voiceInputFrom(s.source.load(std::memory_order_relaxed), t);
}

/// The count rule: the module's row takes the input's voice count before anything else is
/// written. Returns false when the input is none (the module does nothing more this time).
inline bool applyCountRule(ControlRow& out, const VoiceInput& in) {
    out.voiceCount = static_cast<uint8_t>(in.count);
    return !in.none();
}

/// The module's output row, or null when it has none (not registered yet).
inline ControlRow* outputRowOf(const Module& m, ControlTable& t) {
    return m.outputRow >= 0 && m.outputRow < kModuleRows ? &t.rows[m.outputRow] : nullptr;
}

} // namespace kv

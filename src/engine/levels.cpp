#include "engine/levels.h"

#include <algorithm>
#include <cmath>

#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;

int voicesOf(const ControlRow& row) {
    return std::min<int>(row.voiceCount, kVoices);
}

bool isModuleRow(int r) {
    return r >= 0 && r < kModuleRows;
}

// The mean |primary value| over the voices of row `source` (0 without voices or source).
double meanAbsPrimary(const ControlTable& table, int source) {
    if (source < 0 || source >= kRowCount) return 0;
    const ControlRow& row = table.rows[source];
    const int n = voicesOf(row);
    if (n == 0) return 0;
    double sum = 0;
    for (int k = 0; k < n; ++k)
        sum += std::fabs(row.primary[k]);
    return sum / n;
}

// The frequency an oscillator or muted pluck is set to play (Hz): its manual value, or its
// source's mean scaled by the sensitivity.
double playedFrequency(Module& m, const ControlTable& table) {
    if (m.type() == Module_AudioOsc) {
        const FrequencySlot& f = AudioOscControls{m}.frequency();
        const int source = f.source.load(rlx);
        if (source == kSourceManual) return f.base.load(rlx) * f.multiplier.load(rlx);
        return meanAbsPrimary(table, source) * f.sensitivity.load(rlx) / 100.0;
    }
    const InputSliderSlot& note = AudioMutedPluckControls{m}.note();
    const int source = note.source.load(rlx);
    if (source == kSourceManual) return note.manual.load(rlx);
    return meanAbsPrimary(table, source) * note.sensitivity.load(rlx) / 100.0;
}

// Folds an audio row's peak meter into the module's accumulators and restarts the meter.
void takeMeter(PublishedLevels& out, ControlRow& row) {
    const int n = voicesOf(row);
    for (int k = 0; k < n; ++k) {
        out.raise(k, row.meterPeak[k]);
        row.meterPeak[k] = 0;
    }
}

} // namespace

void publishLevels(Module& m, ControlTable& table) {
    if (m.outputKind() != kOutputKindRow || !isModuleRow(m.outputRow)) return;
    PublishedLevels& out = m.levels;
    ControlRow& first = table.rows[m.outputRow];
    const int n = voicesOf(first);
    if (m.info().audio) {
        takeMeter(out, first);
        if (isModuleRow(m.secondOutputRow)) takeMeter(out, table.rows[m.secondOutputRow]);
        if (m.type() == Module_AudioOsc || m.type() == Module_AudioMutedPluck)
            out.frequency.store(playedFrequency(m, table), rlx);
    } else {
        for (int k = 0; k < n; ++k) {
            out.primary[k].store(first.primary[k], rlx);
            out.velocity[k].store(first.velocity[k], rlx);
        }
        if (m.type() == Module_ControlSensor && isModuleRow(m.secondOutputRow))
            out.secondRowPrimary.store(table.rows[m.secondOutputRow].primary[0], rlx);
    }
    out.voices.store(n, rlx);
    out.published.store(true, rlx);
}

} // namespace kv

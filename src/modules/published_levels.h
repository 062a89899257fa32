#pragma once
// What the engine publishes for a module window's compact level bars. Allocated with the module;
// the engine writes it at the end of each cycle while the window is compact, the user-interface
// thread reads it from its level timer. Every field is a relaxed atomic: a display may mix values
// of neighbouring cycles, but never sees a torn value and no side waits for the other.
#include <atomic>

#include "modules/control_table.h"

namespace kv {

struct PublishedLevels {
    /// Set by the engine at its first publication; until then there is nothing to show.
    std::atomic<bool> published{false};
    /// Voice count of the first output row (0..128).
    std::atomic<int> voices{0};
    /// Control modules: primary value (per mille or Hz) and velocity (0..127) per voice of the
    /// first output row.
    std::atomic<double> primary[kVoices] = {};
    std::atomic<double> velocity[kVoices] = {};
    /// Control sensor: primary value of voice 0 of its second output row (per mille).
    std::atomic<double> secondRowPrimary{0.0};
    /// Oscillator and muted pluck: the frequency they are set to play (Hz).
    std::atomic<double> frequency{0.0};
    /// Audio modules: per voice, the largest |sample| (engine units, 1024 = full scale) since the
    /// window last took it. The engine raises it, the window takes it and leaves 0.
    std::atomic<double> accumulator[kVoices] = {};

    /// Engine thread: raises accumulator `k` to `level` unless it already holds more.
    void raise(int k, double level) {
        std::atomic<double>& a = accumulator[k];
        double current = a.load(std::memory_order_relaxed);
        while (level > current &&
               !a.compare_exchange_weak(current, level, std::memory_order_relaxed))
            ;
    }
    /// User-interface thread: the accumulated level of voice `k`, which starts again from 0.
    double take(int k) { return accumulator[k].exchange(0.0, std::memory_order_relaxed); }
};

} // namespace kv

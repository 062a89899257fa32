#pragma once
// The process-wide engine state: flags, counters, settings shared with the user interface, and the
// control table.
#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/rand15.h"
#include "modules/control_table.h"

namespace kv {

/// Scalars the user-interface thread writes and the engine reads at its own pace (relaxed atomics).
struct EngineSettings {
    std::atomic<double> controlRate{4000.0};   // control samples per second; 0 = none
    std::atomic<int> desiredOutputLatency{36}; // ms, 0..512
    std::atomic<int> desiredInputLatency{20};  // ms, 2..512
    std::atomic<bool> realtimePriority{false};
    std::atomic<bool> makeNoSound{false}; // the output stage sends 0.0 instead of samples
    std::atomic<bool> legacyPatch{false}; // set by loading an old-style patch
    std::atomic<double> oscillatorFrequencyMinimum{5.0}; // Hz, lowest oscillator voice frequency
};

struct EngineState {
    EngineState();

    // Flags and counters.
    std::atomic<bool> stopFlag{true};     // true while stopped or asked to stop
    std::atomic<bool> runningFlag{false}; // true while the engine thread is inside its loop
    std::atomic<int64_t> cycleCounter{0}; // cycles since the engine thread started
    std::atomic<double> millisecondsPerChunk{2.0}; // measured average cycle duration, ms
    std::atomic<int8_t> chunkAdjustment{0};        // next cycle computes 96 + this samples
    std::atomic<double> smoothedLatency{0.0};      // ms, shown to the user
    std::atomic<bool> dragging{false}; // the main window is being dragged (user-interface thread)

    EngineSettings settings;

    /// Selectable control rates: 0, then the divisors of 48000 ascending (65 entries).
    std::vector<uint32_t> controlRates;

    /// Written by the engine thread while it runs; by the user-interface thread only while
    /// the engine is stopped.
    ControlTable table;

    /// The engine's 15-bit generator (engine thread).
    Rand15 rand;
};

/// Builds the selectable control-rate list into `rates` (at most 4096 entries) and returns the
/// index of `configuredRate` in it, or −1.
int buildControlRates(std::vector<uint32_t>& rates, double configuredRate);

} // namespace kv

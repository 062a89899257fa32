#pragma once
// The audio oscillator: one voice per note of its frequency controller, each with its own phase,
// anti-click envelope and frequency jitter, drawn from the morphing waveform.
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "engine/engine.h"
#include "modules/module_controls.h"

namespace kv {

struct OscillatorVoice {
    uint8_t noteId = 0;
    double frequency = 0;       // Hz
    double velocity = 0;        // 0..127
    double releaseVelocity = 0; // velocity last seen while the note was present
    bool present = false;
    double phase = 0;        // radians, 0..2π
    int64_t envelope = 0;    // samples: ≥ 0 while held, negative while releasing
    double jitter = 0;       // −1..1
    double jitterTarget = 0; // −1..1
};

struct OscillatorState final : ModuleState {
    static constexpr int kMaxVoices = 128;
    OscillatorVoice voices[kMaxVoices];
    int count = 0;
    /// Entry of the live voice of each note id, −1 when none (note ids are unique among voices).
    int16_t entryOfNote[256];

    OscillatorState() { std::fill(std::begin(entryOfNote), std::end(entryOfNote), -1); }
};

/// One sample of one oscillator. Engine thread.
void evaluateOscillator(Module& m, EngineContext& ctx);

} // namespace kv

#pragma once
// The audio oscillator: one voice per note of its frequency controller, each with its own phase,
// anti-click envelope and frequency jitter, drawn from the morphing waveform.
#include <cstdint>

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
};

/// One sample of one oscillator. Engine thread.
void evaluateOscillator(Module& m, EngineContext& ctx);

} // namespace kv

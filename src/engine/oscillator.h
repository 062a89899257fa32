#pragma once
// The audio oscillator: one voice per note of its frequency controller, each with its own phase,
// anti-click envelope and frequency jitter, drawn from the morphing waveform.
#include <cstdint>

#include "engine/engine.h"
#include "modules/module.h"

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

/// Typed access to an oscillator's controls.
struct OscillatorControls {
    Module& m;
    InputSliderSlot& amplitude() { return m.inputSliders[0]; }
    FrequencySlot& frequency() { return m.frequencies[0]; }
    InputSliderSlot& noise() { return m.inputSliders[1]; }
    InputSliderSlot& waveform() { return m.inputSliders[2]; }
    InputSliderSlot& ramp() { return m.inputSliders[3]; }
    InputSliderSlot& phase() { return m.inputSliders[4]; }
    InputSliderSlot& stepSize() { return m.inputSliders[5]; }
    DeviceSlot& output() { return m.soundOutputs[0]; }
};

/// One sample of one oscillator. Engine thread.
void evaluateOscillator(Module& m, EngineContext& ctx);

} // namespace kv

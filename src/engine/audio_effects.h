#pragma once
// Audio effects: echo, multi-delay, pitch shift, distortion, low-pass, high-pass and step
// function. Each reads the audio sample of the module its `InputModule` names, one sample at a
// time, and writes one sample into voice 0 of its output row (engine units, ±1024 = full scale).
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "modules/module.h"
#include "modules/zeroed_array.h"

namespace kv {

/// Echo and multi-delay: a ring of 480000 samples (10 s) and a position.
struct DelayRingState final : ModuleState {
    static constexpr int kSamples = 480000;
    ZeroedArray<double> ring = ZeroedArray<double>(kSamples);
    int32_t position = 0;
};

/// Pitch shift: an input block of 192 samples and an output block of up to 1920.
struct PitchShiftState final : ModuleState {
    static constexpr int kInput = 192;
    static constexpr int kOutput = 1920;
    double input[kInput] = {};
    int32_t inputFill = 0;
    double output[kOutput] = {};
    int32_t outputLength = 0;
    int32_t playPosition = 0;
    bool blockPlayed = true; // the first input block starts at once
};

/// Low-pass and high-pass: a history ring of 2400 samples (50 ms) and a position.
struct FilterHistoryState final : ModuleState {
    static constexpr int kSamples = 2400;
    double ring[kSamples] = {};
    int32_t position = 0;
    // Sum of the window of `windowCells` + 1 cells ending at the position, carried from sample to
    // sample for long windows (−1: none carried); re-added from the cells once per ring turn.
    double windowSum = 0;
    int32_t windowCells = -1;
    int32_t sinceExact = 0;
};

/// A value wandering towards random targets in −1..1 at `rate` Hz (step rate / 24000 per
/// sample); a new target is drawn from the engine's 15-bit rand when it is reached.
struct RandomWalk {
    double value = 0;
    double target = 0;
    /// One sample. A rate of 0 keeps the value. Engine thread.
    void advance(double rate, Rand15& rand);
};

/// Distortion: the noise walk (A) and the three walks that modulate the input (B, C, D).
struct DistortionState final : ModuleState {
    RandomWalk walks[4];
};

std::unique_ptr<ModuleState> makeAudioEffectState(int type);

/// One sample of one module of each effect type. Engine thread.
void evaluateAudioEcho(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateAudioMultiDelay(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateAudioPitchShift(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateAudioDistortion(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateAudioLowPass(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateAudioHighPass(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateAudioStepFunction(Module& m, EngineContext& ctx) KV_NONBLOCKING;

} // namespace kv

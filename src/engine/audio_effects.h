#pragma once
// Audio effects (echo, multi-delay, pitch shift, distortion, low-pass, high-pass, step function):
// working storage. Their evaluation arrives with the audio-effect algorithms.
#include <cstdint>
#include <memory>
#include <vector>

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
};

std::unique_ptr<ModuleState> makeAudioEffectState(int type);

} // namespace kv

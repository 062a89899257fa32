#pragma once
// The audio oscillator: one voice per note of its frequency controller, each with its own phase,
// anti-click envelope and frequency jitter, drawn from the morphing waveform.
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "engine/engine.h"
#include "modules/module_controls.h"

namespace kv {

/// The voice table, one array per field (entries 0..count−1 are live) so that the voice loop
/// works on several voices per instruction.
struct OscillatorState final : ModuleState {
    static constexpr int kMaxVoices = 128;

    alignas(64) double frequency[kMaxVoices] = {}; // Hz
    alignas(64) double velocity[kMaxVoices] = {};  // 0..127
    /// Velocity last seen while the note was present, 0..127.
    alignas(64) double releaseVelocity[kMaxVoices] = {};
    /// 1 when the controller carried the note in this sample, else 0.
    alignas(64) double present[kMaxVoices] = {};
    alignas(64) double phase[kMaxVoices] = {}; // radians, 0..2π
    /// Samples, a whole number: ≥ 0 while held, negative while releasing.
    alignas(64) double envelope[kMaxVoices] = {};
    alignas(64) double jitter[kMaxVoices] = {};       // −1..1
    alignas(64) double jitterTarget[kMaxVoices] = {}; // −1..1
    /// Derived from the frequency whenever it changes: attack time in ms, jitter step per sample.
    alignas(64) double attack[kMaxVoices] = {};
    alignas(64) double jitterStep[kMaxVoices] = {};
    uint8_t noteId[kMaxVoices] = {};
    int count = 0;
    /// Entry of the live voice of each note id, −1 when none (note ids are unique among voices).
    int16_t entryOfNote[256];
    /// Set when a voice may hold a non-finite frequency, phase or jitter: the fast voice loop
    /// checks before it runs and leaves such samples to the reference loop.
    bool unsettled = false;

    OscillatorState() { std::fill(std::begin(entryOfNote), std::end(entryOfNote), -1); }
};

/// One sample of one oscillator. Engine thread.
void evaluateOscillator(Module& m, EngineContext& ctx) KV_NONBLOCKING;

/// The same sample computed voice by voice in the plainest way, with the library sine: the
/// reference the fast loop is held to, and the path for samples it does not cover (non-finite
/// values). Engine thread.
void evaluateOscillatorReference(Module& m, EngineContext& ctx) KV_NONBLOCKING;

} // namespace kv

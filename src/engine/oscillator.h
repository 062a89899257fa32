#pragma once
// The audio oscillator: one voice per note of its frequency controller, each with its own phase,
// anti-click envelope and frequency jitter, drawn from the morphing waveform.
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "engine/engine.h"
#include "engine/stretch_draws.h"
#include "modules/module_controls.h"

namespace kv {

/// The module's parameters for one sample.
struct OscillatorParams {
    double A; // amplitude, engine units
    double N; // noise, 0..1
    double W; // waveform position, 0..300
    double R; // ramp, −1..1
    double P; // phase offset, radians
    double S; // step size, 0..1
};

/// The voice table (entries 0..count−1 are live), laid out for the voice loop: voices in blocks
/// of four, each block holding every field of its four voices, one field's four values side by
/// side. The loop reads four voices' field with one load, and a lone voice's fields lie on five
/// neighbouring cache lines instead of one line per field.
struct OscillatorState final : ModuleState {
    static constexpr int kMaxVoices = 128;
    static constexpr int kLanes = 4; // the accessors below divide by shifting

    int count = 0;
    /// Set when a voice may hold a non-finite frequency, phase or jitter: the fast voice loop
    /// checks before it runs and leaves such samples to the reference loop.
    bool unsettled = false;
    uint8_t noteId[kMaxVoices] = {};

    struct alignas(64) Block {
        double frequency[kLanes] = {}; // Hz
        double velocity[kLanes] = {};  // 0..127
        /// Velocity last seen while the note was present, 0..127.
        double releaseVelocity[kLanes] = {};
        /// 1 when the controller carried the note in this sample, else 0.
        double present[kLanes] = {};
        double phase[kLanes] = {}; // radians, 0..2π
        /// Samples, a whole number: ≥ 0 while held, negative while releasing.
        double envelope[kLanes] = {};
        double jitter[kLanes] = {};       // −1..1
        double jitterTarget[kLanes] = {}; // −1..1
        /// Derived from the frequency whenever it changes: attack time in ms, jitter step per
        /// sample.
        double attack[kLanes] = {};
        double jitterStep[kLanes] = {};
    };
    Block blocks[kMaxVoices / kLanes];

    /// Over a stretch evaluated module by module: the parameters read at its start, and each
    /// voice's jitter as far as its next draw (the stretch's sample of that draw in
    /// shadowNext, the stretch's length when none).
    OscillatorParams stretchParams{};
    bool stretchSine = false;
    double shadowJitter[kMaxVoices] = {};
    double shadowTarget[kMaxVoices] = {};
    int16_t shadowNext[kMaxVoices] = {};

    /// Entry of the live voice of each note id, −1 when none (note ids are unique among voices).
    int16_t entryOfNote[256];

#define KV_OSC_FIELD(name)                                                                         \
    double& name(int i) {                                                                          \
        return blocks[i >> 2].name[i & 3];                                                         \
    }                                                                                              \
    double name(int i) const {                                                                     \
        return blocks[i >> 2].name[i & 3];                                                         \
    }
    KV_OSC_FIELD(frequency)
    KV_OSC_FIELD(velocity)
    KV_OSC_FIELD(releaseVelocity)
    KV_OSC_FIELD(present)
    KV_OSC_FIELD(phase)
    KV_OSC_FIELD(envelope)
    KV_OSC_FIELD(jitter)
    KV_OSC_FIELD(jitterTarget)
    KV_OSC_FIELD(attack)
    KV_OSC_FIELD(jitterStep)
#undef KV_OSC_FIELD

    OscillatorState() {
        std::fill(std::begin(entryOfNote), std::end(entryOfNote), -1);
    }
};

/// One sample of one oscillator. Engine thread.
void evaluateOscillator(Module& m, EngineContext& ctx) KV_NONBLOCKING;

/// The same sample computed voice by voice in the plainest way, with the library sine: the
/// reference the fast loop is held to, and the path for samples it does not cover (non-finite
/// values). Engine thread.
void evaluateOscillatorReference(Module& m, EngineContext& ctx) KV_NONBLOCKING;

/// Over a stretch of `count` samples in which nothing the module reads changes (the engine has
/// checked its inputs): takes its voices and parameters once and says whether the stretch can
/// be evaluated module by module, with the same samples as sample by sample; `firstDraw` is the
/// stretch's sample of its first jitter draw (`count`: none). When it says no, the per-sample
/// evaluation finds the same voices. Engine thread, before the stretch's samples.
bool prepareOscillatorStretch(Module& m, EngineContext& ctx, int count,
                              int& firstDraw) KV_NONBLOCKING;

/// The jitter draws a prepared oscillator makes at the stretch's sample `s`, drawn from `rand`
/// now and queued in `slot` of `draws`; returns the stretch's sample of its next draw (`count`:
/// none). Engine thread, at the module's place in the per-sample order.
int takeOscillatorDraws(Module& m, Rand15& rand, StretchDraws& draws, int slot, int s,
                        int count) KV_NONBLOCKING;

/// Whether a prepared oscillator plays one plain sine (evaluateLoneSinesStretch takes it).
bool oscillatorStretchIsLoneSine(Module& m) KV_NONBLOCKING;

/// evaluateOscillatorStretch for `n` (1..4) prepared lone-sine oscillators at once.
void evaluateLoneSinesStretch(Module* const* modules, const int* slots, int n, EngineContext& ctx,
                              StretchDraws& draws, double* const* out, int count) KV_NONBLOCKING;

/// The `count` samples of a prepared oscillator's stretch into out[0..count−1], taking its
/// draws from `slot`; its output row is left holding the last. Engine thread.
void evaluateOscillatorStretch(Module& m, EngineContext& ctx, StretchDraws& draws, int slot,
                               double* out, int count) KV_NONBLOCKING;

} // namespace kv

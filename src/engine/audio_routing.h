#pragma once
// Audio routing and instruments: the output splitter, the input combiner and the muted pluck
// (a plucked-string instrument driven by notes); the audio input's working storage. The output
// analyser lives in engine/analyser.h.
#include <cstdint>
#include <memory>

#include "engine/engine.h"
#include "modules/module.h"

namespace kv {

/// The audio input's FIFO of 1920 samples between the capture side and the sample loop.
struct AudioInputState final : ModuleState {
    static constexpr int kSamples = 1920;
    double fifo[kSamples] = {};
    int32_t writeIndex = 0;
    int32_t readIndex = 0;
    int64_t written = 0;
    int64_t read = 0;
    double lastOutput = 0;
    uint64_t readCursor = 0; // blocks of the capture device read so far
};

struct PluckVoice {
    uint8_t noteId = 0;
    double frequency = 0; // Hz
    double velocity = 0;  // 0..127, taken when the voice starts; sets the damping
    double phase = 0;     // radians, not wrapped
    double age = 0;       // samples since the voice started
    bool present = false;
    bool finished = false;
    // Kept so that a held voice does not redo work whose result is known:
    double step = 0;     // phase advance per sample (radians), frequency / 96000 × 2π
    bool silent = false; // past its length at the module's `silentLength`: its envelope stays 0
    // This sample's part of the sum, when it sounds.
    bool sounding = false;
    double contribution = 0;
};

struct MutedPluckState final : ModuleState {
    static constexpr int kMaxVoices = 128;
    PluckVoice voices[kMaxVoices];
    int count = 0;
    // Index in `voices` of the voice of each note id, checked against the voice before use (a
    // stale entry counts as no voice).
    uint8_t voiceOfNote[256] = {};
    // The note length (ms, bit pattern) the voices' `silent` flags were found at; a new length
    // clears them, as it may bring a voice back.
    uint64_t silentLength = 0;
    // One sample's work on the voices that are not silent, all at once (see pluckVoices).
    struct Lanes {
        double age[kMaxVoices], phase[kMaxVoices], velocity[kMaxVoices];
        double part[kMaxVoices], e[kMaxVoices], tms[kMaxVoices], r[kMaxVoices];
        uint8_t of[kMaxVoices];
    };
    Lanes lanes;
};

/// Fader weights of the first and second channel for fader `f` (percent): both 1 at 0, all to
/// the second at 100, all to the first at −100, and beyond ±100 a gain of |f|/100 on that side.
double firstFaderWeight(double f);
double secondFaderWeight(double f);

/// The muted pluck's envelope at `ms` milliseconds into a note of velocity `velocity` (0..127)
/// and length `length` ms: a 10 ms rise to the velocity, then a decay to 0 at length + 20 ms.
double pluckEnvelope(double ms, double velocity, double length);

/// The muted pluck's nine partials at `phase` (radians) with damping `d` (0..1], unscaled.
double pluckPartials(double phase, double d);

std::unique_ptr<ModuleState> makeAudioRoutingState(int type);

/// One sample of one module. Engine thread.
void evaluateAudioOutputSplit(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateAudioInputCombine(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateAudioMutedPluck(Module& m, EngineContext& ctx) KV_NONBLOCKING;

} // namespace kv

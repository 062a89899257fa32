#pragma once
// Control shaping modules: sensitiser, modulator, control echo, combine, range, offset and gain.
// Each reads one or more rows of the control table and writes its own row at every control
// sample. Working storage lives with the module and starts at zero.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "modules/module.h"
#include "modules/zeroed_array.h"

namespace kv {

/// Sensitiser voices, held densely (entries 0..count−1 live), one per input note id.
struct SensitiserState final : ModuleState {
    static constexpr int kMaxVoices = 128;
    struct Voice {
        uint8_t noteId = 0;
        double signal = 0;         // current signal, per mille
        double velocity = 0;       // current velocity, 0..127
        double targetSignal = 0;   // what the input carried at this control sample
        double targetVelocity = 0; //
        bool present = false;      // the input carried the note at this control sample
    };
    Voice voices[kMaxVoices];
    int count = 0;
    /// Entry of the live voice of each note id, −1 when none (note ids are unique among voices).
    int16_t entryOfNote[256];

    SensitiserState();
};

/// Modulator: phase and jitter per voice position (not per note).
struct ModulatorState final : ModuleState {
    static constexpr int kMaxVoices = 128;
    double phase[kMaxVoices] = {};        // radians, 0..2π
    double jitter[kMaxVoices] = {};       // −1..1
    double jitterTarget[kMaxVoices] = {}; // −1..1
};

/// The control echo's store: one line of 24000 cells per note 0..127 and one write position shared
/// by all lines; per note the last signal and velocity seen.
struct ControlEchoState final : ModuleState {
    static constexpr int kNotes = 128;
    static constexpr int kCells = 24000;
    ZeroedArray<double> store = ZeroedArray<double>(std::size_t{kNotes} * kCells);
    int32_t position = 0;
    double lastSignal[kNotes] = {};
    double lastVelocity[kNotes] = {};

    double* line(int note) { return store.data() + std::size_t(note) * kCells; }
};

/// Combine: the voice table rebuilt at every control sample.
struct CombineState final : ModuleState {
    static constexpr int kMaxVoices = 128;
    uint8_t noteId[kMaxVoices] = {};
    double signal[kMaxVoices] = {};   // sum of the inputs' signals, per mille
    double velocity[kMaxVoices] = {}; // running mean-of-two of the inputs' velocities
    int count = 0;
    int16_t entryOfNote[256];
};

// Evaluation at a control sample, one module at a time. Engine thread.
void evaluateSensitiser(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateModulator(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateControlEcho(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateCombine(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateRange(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateOffset(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateGain(Module& m, EngineContext& ctx) KV_NONBLOCKING;

std::unique_ptr<ModuleState> makeControlShapingState(int type);

} // namespace kv

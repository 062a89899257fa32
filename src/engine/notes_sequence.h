#pragma once
// Note and sequence control modules: the note envelope, closest note, low cut, note retard, note
// combine, control step function, polyphonicator and the step sequencer. All run at control
// samples on the engine thread; their rows carry frequencies (Hz) or per-mille values, and
// velocities 0..127.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "modules/module.h"
#include "modules/zeroed_array.h"

namespace kv {

/// Frequency (Hz) of note number `n` (semitones above C0; fractions allowed).
double noteFrequency(double n);

struct NoteEnvelopeVoice {
    uint8_t noteId = 0;
    double signal = 0;   // input primary value
    double velocity = 0; // input velocity, 0..127
    bool present = false;
    bool previousPresent = false;
    double elapsedMs = 0; // time within the current phase's timeline
    double level = 0;     // 0..1, up to the attack peak
};

struct NoteEnvelopeState final : ModuleState {
    NoteEnvelopeVoice voices[kVoices];
    int count = 0;
};

struct NoteRetardVoice {
    uint8_t noteId = 0;
    double current = 0; // Hz
    double velocity = 0;
    double target = 0; // Hz
    bool present = false;
};

struct NoteRetardState final : ModuleState {
    NoteRetardVoice voices[kVoices];
    int count = 0;
    double latestFrequency = 0; // Hz: the start of a note when no whence source is chosen
};

struct NoteCombineState final : ModuleState {
    double lastSignal = 0; // the pair held while "Sustain" is on and no voice sounds
    double lastVelocity = 0;
};

struct PolyphonicatorVoice {
    uint8_t noteId = 0;
    double signal = 0;
    double velocity = 0;
};

struct PolyphonicatorState final : ModuleState {
    PolyphonicatorVoice voices[kVoices];
    int count = 0;
};

/// The control sequence's parsed steps (note 0..127, or 128 and above for a blank step) and its
/// playing and recording state.
struct SequenceState final : ModuleState {
    static constexpr int kMaxSteps = 360000;
    /// Bytes of recorded note names the engine keeps while the hand-over is busy.
    static constexpr std::size_t kRecordCapacity = 4096;
    ZeroedArray<uint8_t> steps = ZeroedArray<uint8_t>(kMaxSteps);
    int32_t stepCount = 0;
    uint64_t parsedVersion = 0; // text version the steps were parsed from
    int32_t position = 0;       // current step
    double velocity[128] = {};  // per note number
    double lengthMs[128] = {};
    double elapsedMs[128] = {};
    std::string pendingRecord;           // notes recorded, waiting for the user-interface thread
    uint8_t previousNotes[16][128] = {}; // the recording device's note table, per channel
    uint8_t currentNotes[16][128] = {};  // scratch for the table read at this control sample
    bool previousTaken = false;
};

/// Rebuilds the step list from a sequence text: upper case, only "ABCDEFG0123456789 #" count;
/// a letter (or a space, a blank step) with an optional "#" and an optional octave digit makes
/// one step. Parsing stops when the step list is full. Allocates nothing.
void parseSequenceText(std::string_view text, SequenceState& st);

void evaluateNoteEnvelope(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateClosestNote(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateLowCut(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateNoteRetard(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateNoteCombine(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateControlStepFunction(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluatePolyphonicator(Module& m, EngineContext& ctx) KV_NONBLOCKING;
void evaluateSequence(Module& m, EngineContext& ctx) KV_NONBLOCKING;

std::unique_ptr<ModuleState> makeNotesSequenceState(int type);

} // namespace kv

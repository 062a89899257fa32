#pragma once
// The MIDI source modules: the MIDI input module (held keys as a polyphonic note signal) and the
// MIDI controller input module (each learned controller a slider with an output row of its own).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "modules/module.h"

namespace kv {

/// MIDI input module: the keys held at the last poll, velocity per note index (0 = not held).
struct MidiInputState final : ModuleState {
    uint8_t keyVelocity[128] = {};
    uint8_t notes[16 * 128] = {}; // the device's note table as last copied
};

/// MIDI controller input module: learning and the slot rows. The slots themselves (controller,
/// signed flag, value) are the module's `midiControllers`.
struct MidiControllerState final : ModuleState {
    /// Learn mode; written by the user-interface thread (toggleLearn), read by the engine.
    std::atomic<bool> learning{false};
    /// The controller index learned last, −1 when learning starts. Engine thread while learning.
    std::atomic<int> lastLearned{-1};
    /// Set by the engine when learning gave a slot a controller: the module window's refresh
    /// registers the slot's row (user-interface thread clears it). Until then the slot is silent.
    std::atomic<bool> refreshWanted{false};
    // Engine thread: each slot's output row in the view `rowsOfView` (−1 = none yet).
    uint64_t rowsOfView = UINT64_MAX;
    int16_t slotRow[128] = {};
};

/// The sign given to a newly learned slider: the one the user chose last for any slider
/// (true = signed). Written by the user-interface thread and the settings file.
std::atomic<bool>& sliderSignLast();

/// Language string shown when learning is refused because the engine is stopped.
constexpr int kLearnRefusedString = 235;

/// The module window's learn button. User-interface thread. Refused while the engine's stop flag
/// is set: returns kLearnRefusedString for the message box. Otherwise flips learn mode (entering
/// it forgets the controller learned last) and returns 0.
int toggleLearn(Module& module, const EngineState& state);

/// Whether the MIDI devices are polled at this control sample: every control sample up to
/// 1000 Hz, above that every trunc(rate/1000)th, about 1000 polls per second.
bool midiPollDue(double controlRate, uint64_t controlSampleCounter);

/// Primary value (per mille) of a slot holding controller value `v` (0..127): unsigned
/// 0..127 → 0..1000; signed 0 → −1000, 64 → 0, 127 → 1000.
double midiSliderOutput(double v, bool isSigned);

/// A sequence's recording from a MIDI device, once per control sample. `current` is the device's
/// note table just copied (16 × 128 velocities). The first table after the module was created is
/// only kept (keys already held are not recorded); afterwards every key that went from 0 to held,
/// channel 0..15 then key 0..127, appends its name ("A4" for key 57: pitch class, then octave) to
/// `text`. `previous` then takes the current table. Engine thread; appends to `text` only.
void recordNewNotes(const uint8_t* current, uint8_t (&previous)[16][128], bool& previousTaken,
                    std::string& text);

void registerMidiSources(Evaluators& e);
std::unique_ptr<ModuleState> makeMidiSourceState(int type);

} // namespace kv

#pragma once
// Note and sequence control modules: working storage. Their evaluation arrives with the note and
// sequence algorithms.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "modules/module.h"
#include "modules/zeroed_array.h"

namespace kv {

/// The control sequence's parsed steps (note 0..127, or 128 and above for a blank step) and its
/// playing and recording state.
struct SequenceState final : ModuleState {
    static constexpr int kMaxSteps = 360000;
    ZeroedArray<uint8_t> steps = ZeroedArray<uint8_t>(kMaxSteps);
    int32_t stepCount = 0;
    uint64_t parsedVersion = 0; // text version the steps were parsed from
    int32_t position = 0;       // current step
    double velocity[128] = {};  // per note number
    double lengthMs[128] = {};
    double elapsedMs[128] = {};
    std::string pendingRecord;           // notes recorded, waiting for the user-interface thread
    uint8_t previousNotes[16][128] = {}; // the recording device's note table, per channel
    bool previousTaken = false;
};

std::unique_ptr<ModuleState> makeNotesSequenceState(int type);

} // namespace kv

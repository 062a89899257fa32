#pragma once
// The sound-card input a gesture tape recorded, turned back into the engine's reads. Any thread;
// nothing shared.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/gesture_tape.h"
#include "instrument/script.h"

namespace kv {

/// The WAV files that a gesture tape's recorded input lines name, by the name the lines give.
using TapeInputFiles = std::map<std::string, std::shared_ptr<std::vector<int16_t>>>;

/// Turns a tape's recorded input lines into the reads they stand for, device by device, in time
/// order: a line's read, then one every STEP samples, as many as the device's next line counts.
/// False with `error` naming the line when the lines and the files do not agree (a truncated
/// file). The deliveries point into `files`.
bool scheduleTapeInput(const Script& script, const TapeInputFiles& files,
                       std::vector<TapeInputDelivery>& deliveries, std::string& error);
/// The same for the recorded input lines alone (in time order).
bool scheduleTapeInput(const std::vector<ScriptEvent>& lines, const TapeInputFiles& files,
                       std::vector<TapeInputDelivery>& deliveries, std::string& error);

} // namespace kv

#pragma once
// Putting a patch into the instrument: reading a patch file or a built-in preset, what the
// device lists offer the modules, the wave writers following their recording flags, and the
// rows a probe can name. User-interface thread (or the offline run's only thread).
#include <functional>
#include <string>
#include <string_view>

#include "modules/config_file.h"

namespace kv {

class ModuleRegistry;
class OutputDeviceManager;
class WaveInputManager;
class MidiInputManager;
class WaveWriterList;

/// Where a patch comes from: a file, or a built-in preset by number or name.
struct PatchSource {
    std::string file;
    std::string preset;
};

/// Reads a patch file's text as the program does, refusing first what is not a regular file (a
/// device would never end, a pipe never start); false with `reason` saying why.
bool readPatchFile(const std::string& path, std::string& text, std::string& reason);

/// Loads a patch file or preset into `target`; false with `error` naming the problem (unreadable
/// file, unknown or absent preset), the modules untouched then. `report`, when given, receives
/// what loading a file did (modules created, modules left out for want of rows).
bool loadPatchInto(const LoadTarget& target, const PatchSource& source, std::string& error,
                   LoadReport* report = nullptr);

/// Lets the refresh after loading keep only the devices that the managers' lists offer, as the
/// program's module windows do. The input managers may be null (their codes are kept then).
void offerDevices(ModuleRegistry& registry, const OutputDeviceManager& output,
                  const WaveInputManager* waveInput, const MidiInputManager* midiInput,
                  bool allowMouseAsAudio = false);

/// Wave writers follow their recording flags, as their windows do when shown: a flag set starts
/// the recording (problems go to `say`), a flag cleared stops it.
void syncWaveWriters(ModuleRegistry& registry, WaveWriterList& writers,
                     const std::function<void(const std::string&)>& say);

/// The row a probe names: a number 0..154, or a module name with an optional "@SUBTYPE",
/// resolved as a patch file's source name. −1 when it names no row.
int resolveProbeRow(std::string_view text, const ModuleRegistry& registry);

} // namespace kv

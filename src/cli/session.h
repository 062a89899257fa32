#pragma once
// A headless run of a patch on a simulated clock: the engine core, the module code, the output
// device manager on the capture backend and the patch reader, without display or sound card.
// Each engine cycle advances the clock by 2 ms and the capture device plays 96 frames, so the
// output latency controller behaves as on a card. The mouse is the scripted one: the sampler
// passes at 0, 10, 20 ms ... of the simulated clock. Everything runs on the calling thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "cli/script.h"
#include "devices/audio_out_capture.h"
#include "devices/device_input_stage.h"
#include "devices/device_output_stage.h"
#include "devices/gesture_tape.h"
#include "devices/midi_input_manager.h"
#include "devices/output_device_manager.h"
#include "devices/wav_writer.h"
#include "devices/wave_input_manager.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "modules/module_registry.h"
#include "mouse/mouse_input.h"
#include "persistence/config_file.h"
#include "platform/audio_in_scripted.h"
#include "platform/midi_in_scripted.h"
#include "platform/mouse_scripted.h"

namespace kv::cli {

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

class OfflineSession {
  public:
    /// Output devices of the capture backend besides the default one (device numbers 0..8: the
    /// buses reach no further).
    static constexpr int kCaptureDevices = 9;
    static constexpr int kFramesPerCycle = 96;            // 2 ms at 48000 frames per second
    static constexpr uint64_t kSamplesPerMousePass = 480; // 10 ms

    OfflineSession();
    ~OfflineSession();
    OfflineSession(const OfflineSession&) = delete;
    OfflineSession& operator=(const OfflineSession&) = delete;

    /// Loads the patch; false with `error` naming the problem (unreadable file, unknown preset).
    bool loadPatch(const PatchSource& source, std::string& error, LoadReport* report = nullptr);
    /// Takes a parsed script for the run; false with `error` naming the line when a command is
    /// not supported yet or a "set" names no module or key of the loaded patch. A gesture tape's
    /// cursor lines are the sampler's passes (there are no others then).
    bool useScript(const Script& script, std::string& error);
    /// The same for a script kept as its text. `runSamples`, when known, is how far the run will
    /// go: sound files are read only as far as it can take from them.
    bool useScript(ScriptEvents script, std::string& error, uint64_t runSamples = UINT64_MAX);

    /// Runs engine cycles until `done` (asked before each cycle) returns true.
    void run(const std::function<bool()>& done);
    /// Called after the per-sample part of every sample, before the script events due at the
    /// next sample are applied.
    std::function<void(uint64_t sample)> onSample;

    ModuleRegistry& registry() { return *registry_; }
    EngineState& state() { return state_; }
    Engine& engine() { return *engine_; }
    CaptureAudioOut& capture() { return capture_; }
    MouseInput& mouse() { return mouse_; }
    MouseSampler& sampler() { return sampler_; }
    DeviceInputStage& inputStage() { return inputStage_; }
    platform::ScriptedMouse& pointer() { return pointer_; }
    WaveWriterList& waveWriters() { return waveWriters_; }
    MidiInputManager& midiInput() { return midiManager_; }
    /// Receives the messages a user would see (a recording that cannot start). Default: standard
    /// error.
    std::function<void(const std::string&)> onMessage;

  private:
    /// The simulated clock: 2 ms per engine cycle.
    struct SimulatedClock final : Clock {
        double ms = 0;
        double nowMs() override { return ms; }
    };

    void applyEventsUpTo(uint64_t sample);
    /// Script events due at `sample`, then the mouse sampler's pass when one falls on it.
    void beforeSample(uint64_t sample);
    void noteCursor();
    /// Wave writers follow their recording flags, as their windows do when shown.
    void syncRecordings();
    void message(const std::string& text);
    void apply(const ScriptEvent& event);

    EngineState state_;
    MouseInput mouse_;
    platform::ScriptedMouse pointer_;
    MouseSampler sampler_{mouse_};
    uint64_t nextPass_ = 0; // sample of the next sampler pass
    CaptureAudioOut capture_{kCaptureDevices};
    OutputDeviceManager manager_{capture_, OutputDeviceManager::Feeding::Manual};
    DeviceOutputStage stage_{manager_};
    platform::ScriptedMidiIn midiIn_;
    MidiInputManager midiManager_{midiIn_, MidiInputManager::Servicing::Manual};
    platform::ScriptedAudioIn audioIn_;
    WaveInputManager waveManager_{audioIn_, WaveInputManager::Servicing::Manual};
    DeviceInputStage inputStage_{&midiManager_, &waveManager_};
    WaveWriterList waveWriters_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<ModuleRegistry> registry_;
    SimulatedClock clock_;

    ScriptEvents script_;
    std::size_t nextEvent_ = 0;
    /// The set events by index, in order, with the module each names.
    std::vector<std::pair<std::size_t, Module*>> setModules_;
    std::size_t nextSet_ = 0;
    uint64_t runSamples_ = UINT64_MAX;

    bool scheduleRecordedInput(const std::vector<ScriptEvent>& lines, std::string& error);
    void deliverRecordedInput(uint64_t sample);
    std::vector<TapeInputDelivery> deliveries_;
    std::size_t nextDelivery_ = 0;
    TapeInputFiles recordings_;
    bool started_ = false;
    /// The script is a gesture tape: the sampler passes at its cursor lines, not every 10 ms.
    bool tapePasses_ = false;
};

/// Wave writers follow their recording flags, as their windows do when shown: a flag set starts
/// the recording (problems go to `say`), a flag cleared stops it.
void syncWaveWriters(ModuleRegistry& registry, WaveWriterList& writers,
                     const std::function<void(const std::string&)>& say);

/// The row a probe names: a number 0..154, or a module name with an optional "@SUBTYPE",
/// resolved as a patch file's source name. −1 when it names no row.
int resolveProbeRow(std::string_view text, const ModuleRegistry& registry);

} // namespace kv::cli

#pragma once
// A headless run of a patch on a simulated clock: the instrument on the capture backend and the
// scripted inputs, without display or sound card, driven by an event script.
// Each engine cycle advances the clock by 2 ms and the capture device plays 96 frames, so the
// output latency controller behaves as on a card. The mouse is the scripted one: the sampler
// passes at 0, 10, 20 ms ... of the simulated clock. Everything runs on the calling thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

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
#include "instrument/instrument.h"
#include "instrument/patch_loading.h"
#include "instrument/script.h"
#include "instrument/tape_input.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "mouse/mouse_input.h"
#include "platform/audio_in_scripted.h"
#include "platform/midi_in_scripted.h"
#include "platform/mouse_scripted.h"

namespace kv::cli {

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
    /// onSample does something only at multiples of this (0: at every sample); the samples in
    /// between may be computed in blocks.
    uint64_t onSampleEvery = 0;

    ModuleRegistry& registry() { return instrument_->registry(); }
    EngineState& state() { return instrument_->state(); }
    Engine& engine() { return instrument_->engine(); }
    CaptureAudioOut& capture() { return *capture_; }
    MouseInput& mouse() { return instrument_->mouse(); }
    MouseSampler& sampler() { return instrument_->sampler(); }
    DeviceInputStage& inputStage() { return instrument_->inputStage(); }
    platform::ScriptedMouse& pointer() { return *pointer_; }
    WaveWriterList& waveWriters() { return instrument_->waveWriters(); }
    MidiInputManager& midiInput() { return instrument_->midiInputs(); }
    /// The instrument this session plays.
    Instrument& instrument() { return *instrument_; }
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
    /// The first sample from `sample` on before which something must happen: a script event, a
    /// sampler pass, a recorded input's delivery or a probe.
    uint64_t nextDueSample(uint64_t sample) const;
    void noteCursor();
    void message(const std::string& text);
    void apply(const ScriptEvent& event);

    SimulatedClock clock_;
    // The scripted devices, owned by the instrument; the script drives them.
    CaptureAudioOut* capture_ = nullptr;
    platform::ScriptedMidiIn* midiIn_ = nullptr;
    platform::ScriptedAudioIn* audioIn_ = nullptr;
    platform::ScriptedMouse* pointer_ = nullptr;
    std::unique_ptr<Instrument> instrument_;
    uint64_t nextPass_ = 0; // sample of the next sampler pass

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

} // namespace kv::cli

#pragma once
// The engine's input stage: at the end of every cycle the audio inputs read their sound cards,
// then the MIDI and sound-card devices that modules name are kept open; in between, the MIDI
// modules read the MIDI tables.
#include "devices/midi_input_manager.h"
#include "devices/wave_input_manager.h"
#include "engine/io.h"

namespace kv {

class ModuleRegistry;

class DeviceInputStage final : public InputStage {
  public:
    /// Either manager may be null (that kind of input is absent).
    DeviceInputStage(MidiInputManager* midi, WaveInputManager* wave) : midi_(midi), wave_(wave) {}

    void endOfCycle(EngineState& state, const EngineView& view) override;
    /// Opens the MIDI devices that the registry's modules name now, so that the engine reads
    /// them from its first sample: a gesture tape's take and its replays start so. User-interface
    /// (or offline) thread, engine stopped.
    void openBeforeStart(const ModuleRegistry& registry);
    void closeAll() override;
    bool copyNotes(int device, uint8_t* out2048) override;
    float getController(int device, int index) override;
    int getLastControllerIndex(int device) override;

  private:
    MidiInputManager* midi_;
    WaveInputManager* wave_;
    int16_t newer_[WaveInputManager::kBlockSamples] = {};
    int16_t older_[WaveInputManager::kBlockSamples] = {};
};

} // namespace kv

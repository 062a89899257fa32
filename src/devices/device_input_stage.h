#pragma once
// The engine's input stage: at the end of every cycle the audio inputs read their sound cards,
// then the MIDI and sound-card devices that modules name are kept open; in between, the MIDI
// modules read the MIDI tables.
#include <atomic>

#include "devices/midi_input_manager.h"
#include "devices/wave_input_manager.h"
#include "engine/io.h"

namespace kv {

class ModuleRegistry;

/// Sees what the sound-card inputs hand the audio-input modules at the end of every cycle (a
/// gesture tape records it). Engine thread; must not allocate, lock or wait.
class CapturedAudioTap {
  public:
    virtual ~CapturedAudioTap() = default;
    /// A module reading `device` took `older` then `newer` (96 samples each) into its FIFO, or
    /// (`took` false, blocks null) took nothing in this cycle.
    virtual void moduleRead(int device, bool took, const int16_t* older,
                            const int16_t* newer) noexcept = 0;
    /// After the reads of every cycle, whether or not any module read.
    virtual void cycleEnd() noexcept = 0;
};

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

    /// Attaches (or, with null, detaches) the tap. Any thread; the tap must outlive its use:
    /// detach it and let a cycle pass (or stop the engine) before destroying it.
    void setCapturedAudioTap(CapturedAudioTap* tap) { tap_.store(tap, std::memory_order_release); }
    /// Modules naming `device` no longer read the sound card: their input is handed to them from
    /// a recording instead. Any thread (a live replay sets it with the engine stopped and
    /// clears it while the engine runs).
    void setReplayedInput(int device, bool replayed);

  private:
    MidiInputManager* midi_;
    WaveInputManager* wave_;
    int16_t newer_[WaveInputManager::kBlockSamples] = {};
    int16_t older_[WaveInputManager::kBlockSamples] = {};
    std::atomic<CapturedAudioTap*> tap_{nullptr};
    std::atomic<bool> replayed_[WaveInputManager::kDeviceSlots] = {}; // by device + 1
};

} // namespace kv

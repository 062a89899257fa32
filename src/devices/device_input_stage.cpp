#include "devices/device_input_stage.h"

#include <vector>

#include "engine/audio_input.h"
#include "engine/engine_state.h"
#include "modules/engine_view.h"
#include "modules/module.h"
#include "modules/module_controls.h"
#include "modules/module_registry.h"
#include "modules/output_device_id.h"

namespace kv {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
constexpr int kMidiReaders[] = {Module_ControlMIDIInput, Module_ControlMIDIControllerInput,
                                Module_ControlSequence};

// The MIDI device a MIDI-reading module names.
int midiDeviceOf(Module& m) {
    switch (m.type()) {
    case Module_ControlMIDIInput:
        return ControlMIDIInputControls{m}.inputDeviceId().code.load(rlx);
    case Module_ControlMIDIControllerInput:
        return ControlMIDIControllerInputControls{m}.inputDeviceId().code.load(rlx);
    case Module_ControlSequence:
        return ControlSequenceControls{m}.recordingSourceId().code.load(rlx);
    default:
        return kNoDevice;
    }
}

int waveDeviceOf(Module& m) {
    return AudioInputControls{m}.inputDeviceId().code.load(rlx);
}
} // namespace

void DeviceInputStage::endOfCycle(EngineState& state, const EngineView& view) {
    const auto& audioInputs = view.byType[Module_AudioInput];
    CapturedAudioTap* tap = tap_.load(std::memory_order_acquire);
    if (wave_) {
        const int latency = state.settings.desiredInputLatency.load(rlx);
        for (Module* m : audioInputs) {
            const int device = waveDeviceOf(*m);
            if (device == kNoDevice || !m->state) continue;
            if (device >= -1 && device < WaveInputManager::kDeviceSlots - 1 &&
                replayed_[device + 1].load(rlx))
                continue;
            auto& st = m->stateAs<AudioInputState>();
            const bool took = wave_->read(device, st.readCursor, newer_, older_, latency);
            if (took) appendCapturedAudio(st, older_, newer_); // heard in the next cycle
            if (tap)
                tap->moduleRead(device, took, took ? older_ : nullptr, took ? newer_ : nullptr);
        }
    }
    if (tap) tap->cycleEnd();
    if (midi_) {
        bool any = false;
        for (int type : kMidiReaders)
            any = any || !view.byType[type].empty();
        if (any) {
            // Messages still held from a gesture tape that has stopped take effect now.
            if (!midi_->deferred()) midi_->applyHeld(nullptr, nullptr);
            midi_->beginCycle();
            for (int type : kMidiReaders)
                for (Module* m : view.byType[type]) {
                    const int device = midiDeviceOf(*m);
                    if (device != kNoDevice) midi_->use(device);
                }
            midi_->endCycle();
        }
    }
    if (wave_ && !audioInputs.empty()) {
        wave_->beginCycle();
        for (Module* m : audioInputs) {
            const int device = waveDeviceOf(*m);
            if (device != kNoDevice) wave_->use(device);
        }
        wave_->endCycle();
    }
}

void DeviceInputStage::setReplayedInput(int device, bool replayed) {
    if (device >= -1 && device < WaveInputManager::kDeviceSlots - 1)
        replayed_[device + 1].store(replayed, rlx);
}

void DeviceInputStage::openBeforeStart(const ModuleRegistry& registry) {
    if (!midi_) return;
    std::vector<int> devices;
    for (int type : kMidiReaders)
        for (Module* m : registry.modules(type)) {
            const int device = midiDeviceOf(*m);
            if (device != kNoDevice) devices.push_back(device);
        }
    if (!devices.empty()) midi_->openBeforeStart(devices);
}

void DeviceInputStage::closeAll() {
    if (midi_) midi_->closeAll();
    if (wave_) wave_->closeAll();
}

bool DeviceInputStage::copyNotes(int device, uint8_t* out2048) {
    return midi_ && midi_->copyNotes(device, out2048);
}

float DeviceInputStage::getController(int device, int index) {
    return midi_ ? midi_->getController(device, index) : 0.0f;
}

int DeviceInputStage::getLastControllerIndex(int device) {
    return midi_ ? midi_->getLastControllerIndex(device) : -1;
}

} // namespace kv

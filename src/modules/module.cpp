#include "modules/module.h"

#include "persistence/language.h"
#include "persistence/text.h"

namespace kv {

namespace {

bool validSlot(int slot) {
    return slot >= 0 && slot < kSlotsPerKind;
}

// Option boxes of these types start cleared for a new module; their definition's value applies
// only when a configuration section is read.
bool optionsStartCleared(int type) {
    return type == Module_ControlNoteEnvelope || type == Module_ControlSequence;
}

} // namespace

std::string resolveText(const IdOrText& t) {
    if (t.id < 0) return t.text;
    return std::string(languageString(t.id));
}

Module::Module(int type)
    : type_(type >= 0 && type < kTypeCount ? type : 0), outputKind_(typeInfo(type_).outputKind),
      controls_(&typeControls(type_)) {
    for (const ControlDef& c : *controls_) {
        if (c.kind == ControlKind::MIDISliders) {
            hasMidiSliders = true;
            midiSlidersDeviceSlot = c.linkedSlot;
            continue;
        }
        if (c.kind == ControlKind::Sequence) {
            hasSequence = true;
            sequenceDeviceSlot = c.linkedSlot;
            sequence.pendingRecord.reserve(4096); // the engine appends recorded notes here
            continue;
        }
        if (!validSlot(c.slot)) continue;
        const int s = c.slot;
        switch (c.kind) {
        case ControlKind::InputSlider:
            inputSliders[s].def = &c;
            inputSliders[s].unitText = resolveText(c.unit);
            inputSliders[s].noneText = resolveText(c.noneText);
            break;
        case ControlKind::SimpleSlider:
            simpleSliders[s].def = &c;
            break;
        case ControlKind::SoundOutput:
            soundOutputs[s].def = &c;
            break;
        case ControlKind::SoundInput:
            soundInputs[s].def = &c;
            break;
        case ControlKind::ControlInput:
            controlInputs[s].def = &c;
            break;
        case ControlKind::Frequency:
            frequencies[s].def = &c;
            break;
        case ControlKind::CheckBox:
            checkBoxes[s].def = &c;
            break;
        case ControlKind::MIDIInput:
            midiInputs[s].def = &c;
            break;
        case ControlKind::WaveWriter:
            waveWriters[s].def = &c;
            break;
        case ControlKind::Analyser:
            analysers[s].def = &c;
            break;
        case ControlKind::Sensor:
            sensors[s].def = &c;
            break;
        case ControlKind::ProportionFlipper:
            flippers[s].def = &c;
            break;
        case ControlKind::ModulationEffect:
            modulationEffects[s].def = &c;
            break;
        case ControlKind::OutputMode:
            outputModes[s].def = &c;
            break;
        case ControlKind::MIDISliders:
        case ControlKind::Sequence:
            break;
        }
    }
    resetValues(false);
    state = makeModuleState(type_);
}

Module::~Module() = default;

void Module::resetValues(bool forLoading) {
    constexpr auto r = std::memory_order_relaxed;
    const bool clearOptions = !forLoading && optionsStartCleared(type_);
    for (auto& s : inputSliders) {
        if (!s.def) continue;
        s.source.store(s.def->initialSource, r);
        s.manual.store(s.def->defaultValue, r);
        s.sensitivity.store(100.0, r);
        s.velocitySensitivity.store(100.0, r);
        s.option.store(clearOptions ? false : s.def->optionDefault, r);
    }
    for (auto& s : simpleSliders)
        if (s.def) s.value.store(s.def->defaultValue, r);
    for (auto* arr : {&soundOutputs, &soundInputs, &midiInputs})
        for (auto& s : *arr)
            if (s.def) s.code.store(s.def->deviceCode, r);
    for (auto& s : controlInputs)
        if (s.def) s.source.store(s.def->initialSource, r);
    for (auto& s : frequencies) {
        if (!s.def) continue;
        s.source.store(s.def->initialSource, r);
        s.base.store(s.def->defaultValue, r);
        s.multiplier.store(s.def->secondDefault, r);
        s.sensitivity.store(100.0, r);
    }
    for (auto& s : checkBoxes)
        if (s.def) s.state.store(s.def->initialState, r);
    for (auto& s : waveWriters) {
        if (!s.def) continue;
        s.path = s.def->defaultText;
        s.append.store(s.def->initialState, r);
        s.recording.store(s.def->optionDefault, r);
    }
    for (auto& s : analysers)
        if (s.def)
            s.mode.store(
                s.def->initialChoice < 0 ? 255 : static_cast<uint8_t>(s.def->initialChoice), r);
    for (auto& s : sensors)
        if (s.def) s.value.store(s.def->defaultValue, r);
    for (auto& s : flippers) {
        if (!s.def) continue;
        s.upper.store(s.def->defaultValue, r);
        s.lower.store(s.def->secondDefault, r);
    }
    for (auto* arr : {&modulationEffects, &outputModes})
        for (auto& s : *arr)
            if (s.def)
                s.choice.store(
                    s.def->initialChoice < 0 ? 255 : static_cast<uint8_t>(s.def->initialChoice), r);
    for (auto& e : midiControllers) {
        e.controller.store(-1, r);
        e.reversed.store(false, r);
    }
}

const ControlDef* Module::findControlByKey(std::string_view key) const {
    for (const ControlDef& c : *controls_)
        for (const std::string* k : {&c.sourceKey, &c.valueKey, &c.secondKey, &c.sensitivityKey,
                                     &c.velocityKey, &c.optionKey})
            if (!k->empty() && equalsIgnoreCase(*k, key)) return &c;
    return nullptr;
}

} // namespace kv

#include "engine/midi_sources.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/params.h"
#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;
constexpr double kC0 = 16.35; // Hz of note 0
constexpr int kNoDeviceCode = -555;

void evaluateMidiInput(Module& m, EngineContext& ctx) KV_NONBLOCKING {
    ControlMIDIInputControls c{m};
    const int device = c.inputDeviceId().code.load(rlx);
    if (device == kNoDeviceCode) return; // the row keeps what it held
    const ControlTable& t = ctx.table;
    const double tuningCents = effectiveValue(c.tuning(), t, 1.0, 1.0 / 20.0, false);
    const double transpose = effectiveValue(c.transpose(), t, 1.0, 48.0 / 1000.0, false);
    auto& st = m.stateAs<MidiInputState>();
    if (midiPollDue(ctx.controlRate, ctx.controlSampleCounter)) {
        if (!ctx.input || !ctx.input->copyNotes(device, st.notes)) return;
        const bool reversed = c.doReversedNoteOrientation().state.load(rlx);
        std::fill(std::begin(st.keyVelocity), std::end(st.keyVelocity), uint8_t{0});
        for (int channel = 0; channel < 16; ++channel)
            for (int key = 0; key < 128; ++key)
                if (const uint8_t v = st.notes[channel * 128 + key])
                    st.keyVelocity[reversed ? 127 - key : key] = v;
    }
    if (m.outputRow < 0 || m.outputRow >= kModuleRows) return;
    ControlRow& out = ctx.table.rows[m.outputRow];
    int count = 0;
    for (int n = 0; n < 128; ++n) {
        if (st.keyVelocity[n] == 0) continue;
        out.primary[count] = kC0 * std::exp2((n + tuningCents / 100.0 + transpose) / 12.0);
        out.velocity[count] = st.keyVelocity[n];
        out.noteId[count] = static_cast<uint8_t>(n);
        ++count;
    }
    out.voiceCount = static_cast<uint8_t>(count);
}

// Each slot's output row in the current view: a row this module registered with the slot
// number as its sub-index.
void findSlotRows(Module& m, MidiControllerState& st, const EngineView& view) {
    if (st.rowsOfView == view.sequence) return;
    st.rowsOfView = view.sequence;
    std::fill(std::begin(st.slotRow), std::end(st.slotRow), int16_t{-1});
    for (int r = 0; r < kModuleRows; ++r) {
        const EngineView::RowInfo& info = view.rows[static_cast<std::size_t>(r)];
        if (info.owner == &m && info.type == Module_ControlMIDIControllerInput)
            st.slotRow[info.subIndex & 127] = static_cast<int16_t>(r);
    }
}

void learn(Module& m, MidiControllerState& st, int controller) {
    if (controller < 0 || controller == st.lastLearned.load(rlx)) return;
    st.lastLearned.store(controller, rlx);
    int unused = -1;
    for (int k = 0; k < 128; ++k) {
        const int slotController = m.midiControllers[k].controller.load(rlx);
        if (slotController == controller) break;
        if (slotController == -1 && unused < 0) unused = k;
    }
    if (unused < 0) return; // already learned, or every slot in use
    MidiControllerEntry& slot = m.midiControllers[unused];
    slot.value.store(0.0, rlx);
    slot.reversed.store(sliderSignLast().load(rlx), rlx);
    slot.controller.store(controller, rlx);
    st.refreshWanted.store(true, rlx);
}

void evaluateMidiControllerInput(Module& m, EngineContext& ctx) KV_NONBLOCKING {
    ControlMIDIControllerInputControls c{m};
    const int device = c.inputDeviceId().code.load(rlx);
    if (device == kNoDeviceCode) return;
    auto& st = m.stateAs<MidiControllerState>();
    if (midiPollDue(ctx.controlRate, ctx.controlSampleCounter)) {
        for (auto& slot : m.midiControllers) {
            const int controller = slot.controller.load(rlx);
            if (controller < 0) continue;
            slot.value.store(
                ctx.input ? ctx.input->getController(device, controller & 0xFFFF) : 0.0, rlx);
        }
        if (st.learning.load(rlx))
            learn(m, st, ctx.input ? ctx.input->getLastControllerIndex(device) : -1);
    }
    findSlotRows(m, st, ctx.view);
    for (int k = 0; k < 128; ++k) {
        const MidiControllerEntry& slot = m.midiControllers[k];
        if (slot.controller.load(rlx) < 0 || st.slotRow[k] < 0) continue;
        ctx.table.rows[st.slotRow[k]].primary[0] =
            midiSliderOutput(slot.value.load(rlx), slot.reversed.load(rlx));
    }
}

} // namespace

void recordNewNotes(const uint8_t* current, uint8_t (&previous)[16][128], bool& previousTaken,
                    std::string& text) {
    static constexpr const char* kPitchClass[12] = {"C",  "C#", "D",  "D#", "E",  "F",
                                                    "F#", "G",  "G#", "A",  "A#", "B"};
    if (previousTaken) {
        for (int channel = 0; channel < 16; ++channel)
            for (int key = 0; key < 128; ++key)
                if (previous[channel][key] == 0 && current[channel * 128 + key] != 0) {
                    char name[8];
                    std::snprintf(name, sizeof name, "%s%ld", kPitchClass[key % 12],
                                  static_cast<long>(key / 12));
                    text += name;
                }
    }
    std::memcpy(previous, current, sizeof previous);
    previousTaken = true;
}

std::atomic<bool>& sliderSignLast() {
    static std::atomic<bool> sign{false};
    return sign;
}

int toggleLearn(Module& module, const EngineState& state) {
    if (state.stopFlag.load(rlx)) return kLearnRefusedString;
    auto& st = module.stateAs<MidiControllerState>();
    const bool entering = !st.learning.load(rlx);
    if (entering) st.lastLearned.store(-1, rlx);
    st.learning.store(entering, rlx);
    return 0;
}

bool midiPollDue(double controlRate, uint64_t controlSampleCounter) {
    if (controlRate <= 1000.0) return true;
    const auto every = static_cast<uint64_t>(controlRate / 1000.0);
    return controlSampleCounter % every == 0;
}

double midiSliderOutput(double v, bool isSigned) {
    if (isSigned) {
        v = (v - 64.0) * 2.0;
        v *= v < 0 ? 127.0 / 128.0 : 127.0 / 126.0;
    }
    return v / 127.0 * 1000.0;
}

void registerMidiSources(Evaluators& e) {
    e.control[Module_ControlMIDIInput] = &evaluateMidiInput;
    e.control[Module_ControlMIDIControllerInput] = &evaluateMidiControllerInput;
}

std::unique_ptr<ModuleState> makeMidiSourceState(int type) {
    if (type == Module_ControlMIDIInput) return std::make_unique<MidiInputState>();
    if (type == Module_ControlMIDIControllerInput) return std::make_unique<MidiControllerState>();
    return nullptr;
}

} // namespace kv

// MIDI input: the tables the data callback keeps, the manager's open-on-use and close-without-use,
// and the two MIDI modules reading them at control samples.
#include <gtest/gtest.h>

#include <cmath>

#include "devices/device_input_stage.h"
#include "devices/midi_input_manager.h"
#include "engine/midi_sources.h"
#include "modules/module_controls.h"
#include "persistence/language.h"
#include "platform/midi_in_scripted.h"

namespace kv {
namespace {

using platform::ScriptedMidiIn;
using Servicing = MidiInputManager::Servicing;

TEST(MidiInputTables, NotesAndControllersFollowTheMessages) {
    MidiInputTables t;
    auto controller = [&](int index) { return t.controllers[index].load(); };
    EXPECT_EQ(t.lastControllerIndex.load(), -1);
    EXPECT_EQ(controller(0x90 * 128 + 60), 0.0f); // never received

    t.apply(0x90, 60, 100); // note on, channel 1
    EXPECT_EQ(t.notes[60].load(), 100);
    EXPECT_EQ(controller(0x90 * 128 + 60), 100.0f);
    t.apply(0x90, 60, 0); // velocity 0 ends the note
    EXPECT_EQ(t.notes[60].load(), 0);
    EXPECT_EQ(controller(0x90 * 128 + 60), 0.0f);
    EXPECT_EQ(t.lastControllerIndex.load(), 0x90 * 128 + 60);

    t.apply(0x93, 61, 90); // channel 4
    t.apply(0x83, 61, 33); // note off there
    EXPECT_EQ(t.notes[3 * 128 + 61].load(), 0);
    EXPECT_EQ(controller(0x83 * 128 + 61), 33.0f);

    t.apply(0xE2, 0x00, 0x40); // pitch bend, channel 3: the most significant byte
    EXPECT_EQ(controller(0xE2 * 128), 64.0f);
    t.apply(0xC5, 7, 99); // program change: first data byte, no key in the index
    EXPECT_EQ(controller(0xC5 * 128), 7.0f);
    t.apply(0xB0, 7, 127); // control change
    EXPECT_EQ(controller(0xB0 * 128 + 7), 127.0f);
    EXPECT_EQ(t.lastControllerIndex.load(), 0xB0 * 128 + 7);

    t.apply(0xF8, 1, 2); // system messages leave everything as it was
    t.apply(0xFF, 0, 0);
    EXPECT_EQ(t.lastControllerIndex.load(), 0xB0 * 128 + 7);
    EXPECT_EQ(controller(0xF8 * 128 + 1), 0.0f);
}

class MidiManagerTest : public ::testing::Test {
  protected:
    ScriptedMidiIn midi{4};
    MidiInputManager manager{midi, Servicing::Manual};

    // One end-of-cycle pass naming `devices`; the results of Use.
    std::vector<bool> cycle(std::initializer_list<int> devices) {
        std::vector<bool> used;
        manager.beginCycle();
        for (int d : devices)
            used.push_back(manager.use(d));
        manager.endCycle();
        manager.service();
        return used;
    }
};

TEST_F(MidiManagerTest, OpensOnUseAndClosesAfterACycleWithoutUse) {
    uint8_t notes[MidiInputTables::kNotes];
    EXPECT_FALSE(manager.copyNotes(1, notes));
    EXPECT_EQ(manager.getLastControllerIndex(1), -1);
    EXPECT_FALSE(manager.use(1)); // no cycle open

    EXPECT_EQ(cycle({1}), std::vector<bool>{false}); // asked for; opened between cycles
    EXPECT_EQ(manager.openDevices(), std::vector<int>{1});
    EXPECT_EQ(cycle({1, 1}), (std::vector<bool>{true, true}));

    midi.send(1, 0x91, 64, 80);
    midi.send(1, 0xB1, 1, 5);
    ASSERT_TRUE(manager.copyNotes(1, notes));
    EXPECT_EQ(notes[128 + 64], 80);
    EXPECT_EQ(manager.getController(1, 0xB1 * 128 + 1), 5.0f);
    EXPECT_EQ(manager.getController(1, 0xB1 * 128 + 1 + 65536), 5.0f); // index mod 65536
    EXPECT_EQ(manager.getLastControllerIndex(1), 0xB1 * 128 + 1);

    cycle({}); // not named: closed
    EXPECT_TRUE(manager.openDevices().empty());
    EXPECT_FALSE(manager.copyNotes(1, notes));
    EXPECT_EQ(manager.getController(1, 0xB1 * 128 + 1), 0.0f);

    cycle({1}); // reopened with fresh tables
    ASSERT_TRUE(manager.copyNotes(1, notes));
    EXPECT_EQ(notes[128 + 64], 0);
    EXPECT_EQ(manager.getLastControllerIndex(1), -1);
}

TEST_F(MidiManagerTest, ADeviceThatCannotOpenIsRetriedSilently) {
    midi.setFailing(2, true);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(cycle({2, 9}), (std::vector<bool>{false, false}));
    EXPECT_EQ(midi.opens(), 6); // one attempt per cycle each
    EXPECT_TRUE(manager.openDevices().empty());
    midi.setFailing(2, false);
    cycle({2});
    EXPECT_EQ(cycle({2}), std::vector<bool>{true});
}

TEST_F(MidiManagerTest, DeviceListOffersNoneThenEveryPort) {
    const auto list = manager.deviceList(2);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].text, "");
    EXPECT_EQ(list[0].value, -555);
    EXPECT_EQ(list[3].text, "Scripted MIDI 2");
    EXPECT_TRUE(list[3].selected);
    EXPECT_TRUE(manager.deviceList(-555)[0].selected);
}

// The MIDI modules evaluated as the engine does at a control sample, against a manager whose
// device 0 is open.
class MidiModuleTest : public ::testing::Test {
  protected:
    EngineState state;
    ScriptedMidiIn midi{2};
    MidiInputManager manager{midi, Servicing::Manual};
    DeviceInputStage stage{&manager, nullptr};
    EngineView view;
    uint64_t controlSample = 0;

    void SetUp() override {
        state.table.initialise();
        for (int i = 0; i < 2; ++i) {
            manager.beginCycle();
            manager.use(0);
            manager.endCycle();
            manager.service();
        }
    }
    void evaluate(Module& m, double rate = 1000.0) {
        EngineContext ctx{state, state.table, state.rand, view};
        ctx.input = &stage;
        ctx.controlRate = rate;
        ctx.controlSampleCounter = controlSample++;
        moduleEvaluators().control[m.type()](m, ctx);
    }
    static std::unique_ptr<Module> make(int type, int row) {
        auto m = std::make_unique<Module>(type);
        m->state = makeModuleState(type);
        m->outputRow = row;
        m->midiInputs[0].code = 0;
        return m;
    }
};

TEST_F(MidiModuleTest, HeldKeysBecomeVoicesInAscendingNoteOrder) {
    auto m = make(Module_ControlMIDIInput, 3);
    ControlMIDIInputControls c{*m};
    const ControlRow& row = state.table.rows[3];
    midi.send(0, 0x90, 64, 30);
    midi.send(0, 0x91, 57, 100); // another channel
    midi.send(0, 0x90, 60, 50);
    evaluate(*m);
    ASSERT_EQ(row.voiceCount, 3);
    EXPECT_NEAR(row.primary[0], 440.0, 0.05); // key 57 is A4
    EXPECT_NEAR(row.primary[1], 523.2, 0.1);
    const int notes[] = {57, 60, 64}, velocities[] = {100, 50, 30};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(row.noteId[k], notes[k]);
        EXPECT_EQ(row.velocity[k], velocities[k]);
    }

    midi.send(0, 0x90, 64, 0);
    midi.send(0, 0x90, 60, 0);
    c.transpose().manual = 12; // an octave up
    evaluate(*m);
    ASSERT_EQ(row.voiceCount, 1);
    EXPECT_NEAR(row.primary[0], 880.0, 0.1);
    c.transpose().manual = 0;
    c.tuning().manual = 50; // a quarter tone
    evaluate(*m);
    EXPECT_NEAR(row.primary[0], 440.0 * std::exp2(0.5 / 12), 0.05);

    c.tuning().manual = 0;
    c.doReversedNoteOrientation().state = true;
    midi.send(0, 0x91, 57, 0);
    midi.send(0, 0x90, 0, 10);
    evaluate(*m);
    ASSERT_EQ(row.voiceCount, 1);
    EXPECT_EQ(row.noteId[0], 127); // key 0 sounds as note 127
    EXPECT_NEAR(row.primary[0], 16.35 * std::exp2(127 / 12.0), 0.01);
}

TEST_F(MidiModuleTest, PollsAboutAThousandTimesASecondAndKeepsNotesWhenNotPolled) {
    auto m = make(Module_ControlMIDIInput, 3);
    const ControlRow& row = state.table.rows[3];
    midi.send(0, 0x90, 60, 50);
    controlSample = 1; // at 4000 Hz only every 4th control sample polls
    evaluate(*m, 4000.0);
    EXPECT_EQ(row.voiceCount, 0);
    controlSample = 4;
    evaluate(*m, 4000.0);
    EXPECT_EQ(row.voiceCount, 1);

    // A device that is not open (or none) leaves the row as it was.
    m->midiInputs[0].code = 1;
    evaluate(*m);
    m->midiInputs[0].code = -555;
    evaluate(*m);
    EXPECT_EQ(row.voiceCount, 1);
    EXPECT_TRUE(midiPollDue(1000.0, 7));
    EXPECT_FALSE(midiPollDue(48000.0, 47));
    EXPECT_TRUE(midiPollDue(48000.0, 48));
}

TEST_F(MidiModuleTest, SlidersMapControllerValuesToTheirRows) {
    auto m = make(Module_ControlMIDIControllerInput, -1);
    view.sequence = 1;
    view.rows[5] = {m.get(), Module_ControlMIDIControllerInput, 0, false, 1}; // slot 0's row
    view.rows[6] = {m.get(), Module_ControlMIDIControllerInput, 1, false, 1}; // slot 1's row
    m->midiControllers[0].controller = 0xB0 * 128 + 7;
    m->midiControllers[0].reversed = true; // signed
    m->midiControllers[1].controller = 0xB0 * 128 + 8;
    const std::pair<int, double> signedValues[] = {{0, -1000.0}, {64, 0.0}, {127, 1000.0}};
    for (auto [value, expected] : signedValues) {
        midi.send(0, 0xB0, 7, static_cast<uint8_t>(value));
        midi.send(0, 0xB0, 8, 127);
        evaluate(*m);
        EXPECT_NEAR(state.table.rows[5].primary[0], expected, 1e-9) << value;
        EXPECT_NEAR(state.table.rows[6].primary[0], 1000.0, 1e-9);
    }
    // The device closes: values read 0.0, so a signed slider falls to −1000.
    manager.closeAll();
    evaluate(*m);
    EXPECT_NEAR(state.table.rows[5].primary[0], -1000.0, 1e-9);
    EXPECT_NEAR(state.table.rows[6].primary[0], 0.0, 1e-9);
}

TEST_F(MidiModuleTest, LearningAddsEachControllerOnceAndWaitsForItsRow) {
    auto m = make(Module_ControlMIDIControllerInput, -1);
    auto& st = m->stateAs<MidiControllerState>();
    state.stopFlag = true;
    EXPECT_EQ(languageString(toggleLearn(*m, state)).substr(0, 42),
              "You can add sliders only while the audio s");
    EXPECT_FALSE(st.learning.load());
    state.stopFlag = false;
    sliderSignLast() = true;
    EXPECT_EQ(toggleLearn(*m, state), 0);

    const int cc7 = 0xB0 * 128 + 7, cc8 = 0xB0 * 128 + 8;
    midi.send(0, 0xB0, 7, 100);
    evaluate(*m);
    EXPECT_EQ(m->midiControllers[0].controller.load(), cc7);
    EXPECT_TRUE(m->midiControllers[0].reversed.load()); // the sign chosen last
    EXPECT_TRUE(st.refreshWanted.exchange(false));
    // No row yet: the slot writes nowhere.
    for (int r = 0; r < kModuleRows; ++r)
        EXPECT_EQ(state.table.rows[r].primary[0], 0.0);

    midi.send(0, 0xB0, 8, 1);
    evaluate(*m);
    midi.send(0, 0xB0, 7, 101); // the same controller again: found in its slot
    evaluate(*m);
    EXPECT_EQ(m->midiControllers[1].controller.load(), cc8);
    EXPECT_EQ(m->midiControllers[2].controller.load(), -1);

    // Its row arrives with the window's refresh.
    view.sequence = 2;
    view.rows[9] = {m.get(), Module_ControlMIDIControllerInput, 0, false, 1};
    evaluate(*m);
    EXPECT_NEAR(state.table.rows[9].primary[0], midiSliderOutput(101, true), 1e-9);

    EXPECT_EQ(toggleLearn(*m, state), 0); // leaving learn mode
    midi.send(0, 0xB0, 9, 1);
    evaluate(*m);
    EXPECT_EQ(m->midiControllers[2].controller.load(), -1);
    sliderSignLast() = false;
}

TEST(SequenceRecording, RecordsKeysPressedSinceTheLastLookInChannelThenKeyOrder) {
    uint8_t previous[16][128] = {};
    bool taken = false;
    std::string text;
    MidiInputTables t;
    uint8_t notes[MidiInputTables::kNotes];
    auto look = [&] {
        for (int i = 0; i < MidiInputTables::kNotes; ++i)
            notes[i] = t.notes[static_cast<std::size_t>(i)].load();
        recordNewNotes(notes, previous, taken, text);
    };
    t.apply(0x90, 40, 90); // held before the first look: not recorded
    look();
    EXPECT_TRUE(taken);
    EXPECT_EQ(text, "");
    t.apply(0x91, 57, 80); // channel 2, A4
    t.apply(0x90, 61, 80); // channel 1, C#5: channel 1 comes first
    look();
    EXPECT_EQ(text, "C#5A4");
    look(); // still held: nothing new
    t.apply(0x90, 61, 0);
    look();
    t.apply(0x90, 61, 70); // pressed again
    t.apply(0x9F, 0, 1);
    look();
    EXPECT_EQ(text, "C#5A4C#5C0");
}

} // namespace
} // namespace kv

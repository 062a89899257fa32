// Module lists, numbering, output rows, the terminal table and source routing.
#include <gtest/gtest.h>

#include "engine/audio_effects.h"
#include "engine/audio_routing.h"
#include "engine/control_shaping.h"
#include "engine/engine.h"
#include "engine/notes_sequence.h"
#include "modules/module_controls.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

struct Registry : ::testing::Test {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
};

TEST_F(Registry, NumbersFollowTheLargestNumberInNames) {
    Module* a = registry.addModule(Module_ControlEcho);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(registry.nextModuleNumber(Module_ControlEcho), 2);
    registry.renameModule(a, "Control-Echo Module 7");
    EXPECT_EQ(registry.nextModuleNumber(Module_ControlEcho), 8);
    Module* b = registry.addModule(Module_ControlEcho);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->name, "Control-Echo Module 8");
    registry.renameModule(b, "Echo 12 b3");
    EXPECT_GE(registry.nextModuleNumber(Module_ControlEcho), 124);
    // A list without numbers in its names counts from its size.
    registry.renameModule(a, "alpha");
    registry.renameModule(b, "beta");
    EXPECT_EQ(registry.nextModuleNumber(Module_ControlEcho), 3);
}

TEST_F(Registry, RowsTerminalEntriesAndTheirInitialValues) {
    Module* osc = registry.addModule(Module_AudioOsc);
    Module* seq = registry.addModule(Module_ControlSequence);
    Module* out = registry.addModule(Module_AudioOutput);
    ASSERT_TRUE(osc && seq && out);
    EXPECT_EQ(osc->outputRow, 0);
    EXPECT_EQ(seq->outputRow, 1);
    EXPECT_EQ(out->outputRow, 0); // terminal entry 0
    EXPECT_EQ(registry.terminal(0), out);
    EXPECT_EQ(registry.row(0).owner, osc);
    EXPECT_TRUE(registry.row(0).audio);
    EXPECT_EQ(state.table.rows[0].voiceCount, 1);
    EXPECT_EQ(state.table.rows[0].velocity[0], 127.0);
    EXPECT_EQ(state.table.rows[1].voiceCount, 0); // sequences start without voices
    EXPECT_EQ(state.table.rows[1].velocity[0], 0.0);
    EXPECT_EQ(state.table.rows[131].velocity[5], 127.0);
    EXPECT_EQ(state.table.rows[131].noteId[5], 131);

    // A freed row is cleared and taken by the next module.
    state.table.rows[0].primary[0] = 42.0;
    EXPECT_TRUE(registry.removeModule(osc));
    EXPECT_EQ(state.table.rows[0].primary[0], 0.0);
    EXPECT_EQ(registry.row(0).type, 255);
    EXPECT_FALSE(registry.removeModule(osc)); // already gone
    Module* again = registry.addModule(Module_ControlGain);
    EXPECT_EQ(again->outputRow, 0);
}

TEST_F(Registry, NoFreeRowOrTerminalEntryRefusesTheNewModuleOnly) {
    for (int i = 0; i < 128; ++i)
        ASSERT_NE(registry.addModule(Module_ControlGain), nullptr);
    EXPECT_EQ(registry.addModule(Module_AudioOsc), nullptr);
    // A splitter needs two rows; with one free row it is refused and the row stays free.
    registry.removeModule(registry.modules(Module_ControlGain).back());
    EXPECT_EQ(registry.addModule(Module_AudioOutputSplit), nullptr);
    EXPECT_EQ(registry.row(127).owner, nullptr);
    EXPECT_EQ(registry.count(Module_AudioOutputSplit), 0);
    EXPECT_EQ(registry.count(Module_ControlGain), 127);
    // Terminal modules do not need rows.
    for (int i = 0; i < 128; ++i)
        ASSERT_NE(registry.addModule(Module_AudioOutput), nullptr);
    EXPECT_EQ(registry.addModule(Module_AudioWaveWriter), nullptr);
    EXPECT_EQ(registry.count(Module_AudioOutput), 128);
    registry.clearAll();
    EXPECT_EQ(registry.totalCount(), 0);
    EXPECT_EQ(registry.terminal(5), nullptr);
}

TEST_F(Registry, ResolvesNamesMouseRowsAndSubTypes) {
    Module* a = registry.addModule(Module_ControlGain);
    Module* b = registry.addModule(Module_ControlGain);
    registry.renameModule(a, "Twin");
    registry.renameModule(b, "Twin");
    EXPECT_EQ(registry.resolveSource("twin", 0), a->outputRow); // the lower row wins
    EXPECT_EQ(registry.resolveSource("speed", 0), 131);
    EXPECT_EQ(registry.resolveSource("Direction", 0), 128);
    EXPECT_EQ(registry.resolveSource("MOUSE BUTTON X2", 0), 154);
    EXPECT_EQ(registry.resolveSource("-[manual]-", 0), kSourceManual);
    EXPECT_EQ(registry.resolveSource("", 0), kSourceNone);
    EXPECT_EQ(registry.resolveSource("-[Invalid]-", 0), kSourceNone);
    EXPECT_EQ(registry.resolveSource("Nobody", 0), kSourceNone);

    Module* water = registry.createModule(Module_ControlSensor, "Water",
                                          ModuleRegistry::outputLabels(Module_ControlSensor), "");
    ASSERT_NE(water, nullptr);
    ASSERT_GE(water->secondOutputRow, 0);
    EXPECT_EQ(registry.resolveSource("Water", 1), water->secondOutputRow);
    EXPECT_EQ(registry.resolveSource("Water", 0), water->outputRow);
    EXPECT_EQ(registry.sourceSubType(water->secondOutputRow), 1);

    EXPECT_EQ(registry.sourceName(kSourceManual), "-[Manual]-");
    EXPECT_EQ(registry.sourceName(kSourceNone), "");
    EXPECT_EQ(registry.sourceName(131), "Speed");
    EXPECT_EQ(registry.sourceName(water->secondOutputRow), "Water");
    EXPECT_EQ(registry.sourceName(100), "-[Invalid]-");
    EXPECT_EQ(registry.sourceSubType(100), 0);
}

TEST_F(Registry, SourceListsOfferEntriesInOrder) {
    Module* water = registry.createModule(Module_ControlSensor, "Water",
                                          ModuleRegistry::outputLabels(Module_ControlSensor), "");
    Module* osc = registry.addModule(Module_AudioOsc);
    ASSERT_TRUE(water && osc);
    const ControlDef& amplitude = *osc->inputSliders[0].def;
    const auto entries = registry.sourceListEntries(amplitude, false);
    // none and manual (the amplitude offers both), 26 mouse rows, then the three module rows.
    ASSERT_EQ(entries.size(), 2u + 26u + 3u);
    EXPECT_EQ(entries[0].value, kSourceNone);
    EXPECT_EQ(entries[1].value, kSourceManual);
    EXPECT_EQ(entries[2].value, 140);
    EXPECT_EQ(entries[27].value, 154);
    for (const auto& e : entries)
        EXPECT_NE(e.value, 128); // "Direction" is never offered
    EXPECT_EQ(entries[28].value, water->outputRow);
    EXPECT_NE(entries[28].text.find("Water - ( "), std::string::npos);
    EXPECT_EQ(entries[30].value, osc->outputRow);
    EXPECT_EQ(entries[30].text, osc->name);

    // An output module's input list offers the none entry and no mouse rows unless allowed.
    Module* out = registry.addModule(Module_AudioOutput);
    const ControlDef& input = *out->controlInputs[0].def;
    EXPECT_EQ(registry.sourceListEntries(input, false).size(), 1u + 3u);
    EXPECT_EQ(registry.sourceListEntries(input, true).size(), 1u + 26u + 3u);
}

TEST_F(Registry, DeletedSourceBecomesNoneAtRefresh) {
    Module* src = registry.addModule(Module_ControlGain);
    Module* osc = registry.addModule(Module_AudioOsc);
    osc->inputSliders[0].source = src->outputRow;
    osc->inputSliders[1].source = 131;
    registry.removeModule(src);
    EXPECT_EQ(osc->inputSliders[0].source.load(), 0); // unchanged until the refresh
    registry.refreshSelectors();
    EXPECT_EQ(osc->inputSliders[0].source.load(), kSourceNone);
    EXPECT_EQ(osc->inputSliders[1].source.load(), 131);
    EXPECT_EQ(registry.sourceName(osc->inputSliders[0].source), "");
}

TEST_F(Registry, RefreshKeepsOnlyWhatTheListsOffer) {
    Module* echo = registry.addModule(Module_AudioEcho);         // input list: none + modules
    Module* gain = registry.addModule(Module_ControlGain);       // input slider: no none entry
    Module* writer = registry.addModule(Module_AudioWaveWriter); // records its output 0
    Module* osc = registry.addModule(Module_AudioOsc);
    echo->controlInputs[0].source = 131;          // a mouse row the list does not offer
    gain->inputSliders[0].source = kMouseRowBase; // "Direction": kept
    osc->inputSliders[1].source = 140;            // a mouse row an input slider offers
    echo->soundOutputs[0].code = 5;
    osc->soundOutputs[0].code = 102;   // device 2, left channel
    writer->soundOutputs[0].code = 99; // a channel code where only whole devices are listed
    DeviceOffers offers;
    offers.output = [](int code, bool whole) {
        for (int n = -1; n <= 2; ++n)
            if (code == n || (!whole && (code == n + 100 || code == n + 200))) return true;
        return false;
    };
    registry.setSelectionContext(false, offers);
    registry.refreshSelectors();
    EXPECT_EQ(echo->controlInputs[0].source.load(), kSourceNone);
    EXPECT_EQ(gain->inputSliders[0].source.load(), kMouseRowBase);
    EXPECT_EQ(osc->inputSliders[1].source.load(), 140);
    EXPECT_EQ(echo->soundOutputs[0].code.load(), -555);
    EXPECT_EQ(osc->soundOutputs[0].code.load(), 102);
    EXPECT_EQ(writer->soundOutputs[0].code.load(), -555);

    // With the mouse-as-audio setting the mouse row stays; unknown device kinds are kept.
    echo->controlInputs[0].source = 131;
    registry.setSelectionContext(true, offers);
    Module* in = registry.addModule(Module_AudioInput);
    in->soundInputs[0].code = 7;
    registry.refreshSelectors();
    EXPECT_EQ(echo->controlInputs[0].source.load(), 131);
    EXPECT_EQ(in->soundInputs[0].code.load(), 7);
}

TEST_F(Registry, NewModulesTakeDefinitionDefaults) {
    Module* osc = registry.addModule(Module_AudioOsc);
    EXPECT_EQ(osc->name, "Oscillator module 1");
    EXPECT_EQ(osc->inputSliders[0].source.load(), kSourceManual);
    EXPECT_EQ(osc->inputSliders[0].manual.load(), 50.0);
    EXPECT_EQ(osc->frequencies[0].base.load(), 4.4);
    EXPECT_EQ(osc->frequencies[0].multiplier.load(), 100.0);
    EXPECT_EQ(osc->soundOutputs[0].code.load(), -1);
    EXPECT_EQ(osc->showState.load(), 10);
    Module* env = registry.addModule(Module_ControlNoteEnvelope);
    for (const auto& s : env->inputSliders) {
        if (s.def && !s.def->optionKey.empty()) {
            EXPECT_FALSE(s.option.load()) << s.def->optionKey;
        }
    }
}

} // namespace
} // namespace kv

namespace kv {
namespace {

TEST(ModuleControls, TypedAccessorsReachTheControlsOfTheirKeys) {
    for (int type = 0; type < kTypeCount; ++type) {
        Module m(type);
        // Every control of the definition lands in its slot.
        for (const ControlDef& c : m.controls())
            if (c.kind != ControlKind::MIDISliders && c.kind != ControlKind::Sequence) {
                EXPECT_NE(m.findControlByKey(c.hasSource() ? c.sourceKey : c.valueKey), nullptr)
                    << "type " << type;
            }
    }
    Module osc(Module_AudioOsc);
    const AudioOscControls o{osc};
    EXPECT_EQ(o.amplitude().def->sourceKey, "AmplitudeControl");
    EXPECT_EQ(o.stepSize().def->valueKey, "StepSizeValue");
    EXPECT_EQ(o.frequency().def->valueKey, "BaseFrequencyValue");
    EXPECT_EQ(o.outputDeviceId().def->valueKey, "OutputDeviceID");
    Module split(Module_AudioOutputSplit);
    const AudioOutputSplitControls s{split};
    EXPECT_EQ(s.outputDeviceId2().def->valueKey, "OutputDeviceID2");
    EXPECT_EQ(s.inputModule().def->sourceKey, "InputModule");
    Module sensor(Module_ControlSensor);
    EXPECT_NE(ControlSensorControls{sensor}.angle().def, nullptr);
}

} // namespace
} // namespace kv

namespace kv {
namespace {

TEST(WorkingStorage, AllocatedWithTheModuleAtTheStatedSizes) {
    Module echo(Module_ControlEcho);
    ASSERT_NE(echo.state, nullptr);
    auto& store = echo.stateAs<ControlEchoState>();
    EXPECT_EQ(store.store.size(), 128u * 24000u);
    EXPECT_EQ(store.line(127)[23999], 0.0);

    Module seq(Module_ControlSequence);
    EXPECT_EQ(seq.stateAs<SequenceState>().steps.size(), 360000u);

    for (int type : {Module_AudioEcho, Module_AudioMultiDelay}) {
        Module m(type);
        EXPECT_EQ(m.stateAs<DelayRingState>().ring.size(), 480000u);
    }
    Module pitch(Module_AudioPitchShift);
    EXPECT_TRUE(pitch.stateAs<PitchShiftState>().blockPlayed);
    for (int type : {Module_AudioLowPass, Module_AudioHighPass}) {
        Module m(type);
        EXPECT_EQ(std::size(m.stateAs<FilterHistoryState>().ring), 2400u);
    }
    Module input(Module_AudioInput);
    EXPECT_EQ(std::size(input.stateAs<AudioInputState>().fifo), 1920u);

    // Types without working storage have none.
    EXPECT_EQ(Module(Module_ControlGain).state, nullptr);
    EXPECT_EQ(Module(Module_AudioOutput).state, nullptr);
    EXPECT_NE(Module(Module_AudioOsc).state, nullptr);
}

} // namespace
} // namespace kv

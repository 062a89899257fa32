#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <set>
#include <string>

#include "modules/catalogue.h"

namespace kv {
namespace {

const ControlDef* findControl(int type, ControlKind kind, int slot) {
    for (const ControlDef& c : typeControls(type))
        if (c.kind == kind && c.slot == slot) return &c;
    return nullptr;
}

const ControlDef& parseOne(std::string_view text) {
    static std::vector<ControlDef> keep;
    keep = parseDefinition(text);
    EXPECT_EQ(keep.size(), 1u) << text;
    if (keep.empty()) keep.emplace_back();
    return keep.front();
}

TEST(Definitions, EveryControlTextIsAKnownKindWithValidIdsAndUniqueSlots) {
    int largestSlot = 0;
    for (int t = 0; t < kTypeCount; ++t) {
        const std::string_view text = definitionString(t);
        ASSERT_FALSE(text.empty()) << t;
        const size_t texts = static_cast<size_t>(std::count(text.begin(), text.end(), '|')) + 1;
        const std::vector<ControlDef>& controls = typeControls(t);
        EXPECT_EQ(controls.size(), texts) << "type " << t << " has a control of unknown kind";
        std::set<std::pair<ControlKind, int>> slots;
        for (const ControlDef& c : controls) {
            EXPECT_TRUE(slots.insert({c.kind, c.slot}).second)
                << "type " << t << " slot " << c.slot;
            EXPECT_GE(c.slot, 0);
            EXPECT_LT(c.slot, kSlotsPerKind);
            EXPECT_GE(c.captionId, 0);
            EXPECT_LE(c.captionId, 1023);
            EXPECT_GE(c.helpId, 0);
            EXPECT_LE(c.helpId, 1023);
            EXPECT_LE(c.minimum, c.maximum) << "type " << t;
            EXPECT_GE(c.decimals, 0);
            EXPECT_LE(c.decimals, 9);
            largestSlot = std::max(largestSlot, c.slot);
        }
    }
    EXPECT_EQ(largestSlot, 9);
    EXPECT_TRUE(definitionString(-1).empty());
    EXPECT_TRUE(definitionString(35).empty());
    EXPECT_TRUE(typeControls(35).empty());
}

// Configuration keys name a module's values in patch files: two controls of one type must never
// write under the same key.
TEST(Definitions, KeysAreUniqueWithinEachType) {
    for (int t = 0; t < kTypeCount; ++t) {
        std::map<std::string, int> seen;
        for (const ControlDef& c : typeControls(t)) {
            for (const std::string& key : {c.sourceKey, c.valueKey, c.secondKey, c.sensitivityKey,
                                           c.velocityKey, c.optionKey})
                if (!key.empty()) ++seen[key];
            if (c.hasSource()) ++seen[c.sourceKey + "SubType"];
        }
        for (const auto& [key, count] : seen)
            EXPECT_EQ(count, 1) << "type " << t << " " << key;
    }
}

TEST(Definitions, CachedControlsAreStable) {
    const std::vector<ControlDef>* first = &typeControls(Module_AudioOsc);
    EXPECT_EQ(first, &typeControls(Module_AudioOsc));
    EXPECT_EQ(first->data(), typeControls(Module_AudioOsc).data());
}

TEST(Definitions, DevicesAndLinkedSlotsUseTheirTokens) {
    const ControlDef* midi = findControl(Module_ControlMIDIInput, ControlKind::MIDIInput, 0);
    ASSERT_NE(midi, nullptr);
    EXPECT_EQ(midi->deviceCode, -555);
    EXPECT_EQ(midi->valueKey, "InputDeviceID");
    const ControlDef* sliders = findControl(2, ControlKind::MIDIInput, 0);
    ASSERT_NE(sliders, nullptr);
    EXPECT_EQ(sliders->deviceCode, 0);
    const ControlDef* out = findControl(Module_AudioOsc, ControlKind::SoundOutput, 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->deviceCode, -1);
    const ControlDef* in = findControl(Module_AudioInput, ControlKind::SoundInput, 0);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->deviceCode, -1);

    const ControlDef* writer = findControl(Module_AudioWaveWriter, ControlKind::WaveWriter, 0);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(writer->linkedSlot, 0);
    EXPECT_EQ(writer->valueKey, "FilePath");
    EXPECT_EQ(writer->defaultText, "");
    EXPECT_EQ(writer->secondKey, "DoAppend");
    EXPECT_TRUE(writer->initialState);
    EXPECT_EQ(writer->optionKey, "IsRecording");
    EXPECT_FALSE(writer->optionDefault);

    const ControlDef* analyser = findControl(Module_AudioOutputAnalyser, ControlKind::Analyser, 0);
    ASSERT_NE(analyser, nullptr);
    EXPECT_EQ(analyser->valueKey, "Mode");
    EXPECT_EQ(analyser->initialChoice, 1);
}

TEST(Definitions, SlidersChoicesAndBoxesOfBuiltInTypes) {
    const ControlDef* attack = findControl(Module_ControlSensitiser, ControlKind::SimpleSlider, 0);
    const ControlDef* decay = findControl(Module_ControlSensitiser, ControlKind::SimpleSlider, 1);
    ASSERT_TRUE(attack && decay);
    EXPECT_EQ(attack->valueKey, "Attack");
    EXPECT_EQ(decay->valueKey, "Decay");
    EXPECT_EQ(attack->captionId, 55);
    EXPECT_EQ(decay->captionId, 56);
    EXPECT_EQ(attack->maximum, 1000);
    EXPECT_EQ(decay->maximum, 1000);
    EXPECT_EQ(attack->unit.id, -1);
    EXPECT_EQ(attack->unit.text, "");

    const ControlDef* effect =
        findControl(Module_ControlModulator, ControlKind::ModulationEffect, 0);
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->initialChoice, 1); // "FM"
    const ControlDef* mode = findControl(Module_ControlNoteEnvelope, ControlKind::OutputMode, 0);
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->initialChoice, 0);

    const ControlDef* osc = findControl(Module_AudioOsc, ControlKind::Frequency, 0);
    ASSERT_NE(osc, nullptr);
    EXPECT_EQ(osc->sourceKey, "FrequencyControl");
    EXPECT_EQ(osc->initialSource, -1000);
    EXPECT_DOUBLE_EQ(osc->defaultValue, 4.4);
    EXPECT_DOUBLE_EQ(osc->secondDefault, 100);
    EXPECT_EQ(osc->sensitivityKey, "FrequencyControlSensitivity");
    EXPECT_TRUE(osc->offersNone);
    EXPECT_FALSE(osc->fineMode);
    EXPECT_TRUE(osc->offersManual);

    const ControlDef* waveform = findControl(Module_AudioOsc, ControlKind::InputSlider, 2);
    ASSERT_NE(waveform, nullptr);
    EXPECT_EQ(waveform->unit.id, -1);
    EXPECT_EQ(waveform->unit.text, "Sine-Triangle-Square-3Phase");
    EXPECT_EQ(waveform->maximum, 300);
    EXPECT_EQ(waveform->decimals, 1);

    // The odd fields of the note envelope's decay slider: words where flags belong read false.
    const ControlDef* envDecay =
        findControl(Module_ControlNoteEnvelope, ControlKind::InputSlider, 3);
    ASSERT_NE(envDecay, nullptr);
    EXPECT_FALSE(envDecay->hasVelocity); // "DoVelocity"
    EXPECT_EQ(envDecay->velocityKey, "VelocityKVCName");
    EXPECT_FALSE(envDecay->signedSensitivity); // "DoReversibleGain"
    EXPECT_EQ(envDecay->optionKey, "DoLongDecay");
    EXPECT_TRUE(envDecay->optionDefault);
    EXPECT_EQ(envDecay->unit.id, 236);
    const ControlDef* envInput =
        findControl(Module_ControlNoteEnvelope, ControlKind::InputSlider, 0);
    ASSERT_NE(envInput, nullptr);
    EXPECT_TRUE(envInput->hasVelocity);
    EXPECT_EQ(envInput->velocityKey, "Control_Velocity_Input");

    const ControlDef* retard = findControl(Module_ControlNoteRetard, ControlKind::InputSlider, 2);
    ASSERT_NE(retard, nullptr);
    EXPECT_EQ(retard->noneText.id, 285);
    EXPECT_EQ(retard->initialSource, -1);

    const ControlDef* dendrite = findControl(Module_ControlNeuron, ControlKind::InputSlider, 9);
    ASSERT_NE(dendrite, nullptr);
    EXPECT_TRUE(dendrite->signedSensitivity);
    EXPECT_EQ(dendrite->minimum, -200);

    const ControlDef* neuronBox = findControl(Module_ControlNeuron, ControlKind::CheckBox, 0);
    ASSERT_NE(neuronBox, nullptr);
    EXPECT_TRUE(neuronBox->initialState);
    EXPECT_EQ(neuronBox->helpId, 1023);

    const ControlDef* range = findControl(Module_ControlRange, ControlKind::ProportionFlipper, 1);
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->valueKey, "OutputUpperLimit");
    EXPECT_DOUBLE_EQ(range->defaultValue, 100);
    EXPECT_EQ(range->secondKey, "OutputLowerLimit");
    EXPECT_DOUBLE_EQ(range->secondDefault, -100);
    EXPECT_EQ(range->minimum, -200);
    EXPECT_EQ(range->maximum, 200);
    EXPECT_EQ(range->unit.text, "%");

    const ControlDef* combine = findControl(Module_AudioInputCombine, ControlKind::ControlInput, 1);
    ASSERT_NE(combine, nullptr);
    EXPECT_EQ(combine->captionId, 139);
    EXPECT_EQ(combine->sourceKey, "InputModule2");
    EXPECT_TRUE(combine->offersNone);
    EXPECT_FALSE(combine->offersManual);
    EXPECT_FALSE(combine->offersMouse);
    const ControlDef* echoIn = findControl(Module_ControlEcho, ControlKind::ControlInput, 0);
    ASSERT_NE(echoIn, nullptr);
    EXPECT_TRUE(echoIn->offersMouse);
}

TEST(DefinitionParser, CheckBoxWithHelp) {
    const ControlDef& c = parseOne("CheckBox,116,0,DoFreqMode,0,499");
    EXPECT_EQ(c.kind, ControlKind::CheckBox);
    EXPECT_EQ(c.captionId, 116);
    EXPECT_EQ(c.slot, 0);
    EXPECT_EQ(c.valueKey, "DoFreqMode");
    EXPECT_FALSE(c.initialState);
    EXPECT_EQ(c.helpId, 499);
}

TEST(DefinitionParser, InputSliderWithEmptyFieldsTakesDefaults) {
    const ControlDef& c =
        parseOne("InputSlider,267,0,NoteControl,CB_ERR,,,,,,,NoteControlSensitivity,1,0,,,,,");
    EXPECT_EQ(c.sourceKey, "NoteControl");
    EXPECT_EQ(c.initialSource, -1);
    EXPECT_EQ(c.valueKey, "");
    EXPECT_DOUBLE_EQ(c.defaultValue, 0);
    EXPECT_EQ(c.minimum, 0);
    EXPECT_EQ(c.maximum, 1000);
    EXPECT_EQ(c.unit.id, 1023);
    EXPECT_EQ(c.sensitivityKey, "NoteControlSensitivity");
    EXPECT_TRUE(c.offersNone);
    EXPECT_FALSE(c.offersManual);
    EXPECT_TRUE(c.offersMouse);
    EXPECT_EQ(c.noneText.id, 1023);
}

TEST(DefinitionParser, FrequencyWithoutSourceInFineMode) {
    const ControlDef& c =
        parseOne("Frequency,77,0,78,,,BaseFrequencyValue,2,FrequencyMultiplierValue,1,,,,True");
    EXPECT_EQ(c.kind, ControlKind::Frequency);
    EXPECT_EQ(c.multiplierCaptionId, 78);
    EXPECT_FALSE(c.hasSource());
    EXPECT_EQ(c.sensitivityKey, "");
    EXPECT_EQ(c.valueKey, "BaseFrequencyValue");
    EXPECT_DOUBLE_EQ(c.defaultValue, 2);
    EXPECT_EQ(c.secondKey, "FrequencyMultiplierValue");
    EXPECT_DOUBLE_EQ(c.secondDefault, 1);
    EXPECT_TRUE(c.fineMode);
}

TEST(DefinitionParser, KindNamesAndTokens) {
    EXPECT_EQ(parseOne("  ANALYSER ,1,2,3").kind, ControlKind::Analyser);
    EXPECT_TRUE(parseDefinition("Analyzer,1,2,3").empty());
    EXPECT_EQ(parseOne("inputslider,1,2,,-ms_offset").initialSource, -1000);
    EXPECT_EQ(parseOne("InputSlider,1,2,,MS_Offset").initialSource, 1000);
    EXPECT_EQ(parseOne("InputSlider,1,2,,,,,ms_gmax,ms_gmax").minimum, 0);
    EXPECT_EQ(parseOne("InputSlider,1,2,,,,,ms_gmax,ms_gmax").maximum, 1000);
    EXPECT_EQ(parseOne("SimpleSlider,1,2,,,-MS_GMax,MS_GMax").minimum, -1000);
    EXPECT_EQ(parseOne("SoundOutput,1,2,K,wave_mapper").deviceCode, -1);
    EXPECT_EQ(parseOne("SoundOutput,1,2,K,CB_ERR").deviceCode, 0); // not a device token
    EXPECT_EQ(parseOne("Sequence,1,2,MS_GenericNoSelCode").linkedSlot, -555);
    EXPECT_EQ(parseOne("Analyser,1,2,WAVE_MAPPER").linkedSlot, -1);
    EXPECT_EQ(parseOne("Analyser,1,2,0").initialChoice, 0);
    EXPECT_EQ(parseOne("Sensor,1,0,K,abc-12x").defaultValue, -12);
    EXPECT_EQ(parseOne("OutputMode,1,0,K,envelope as signal with full velocity").initialChoice, 7);
    EXPECT_EQ(parseOne("ModulationEffect,1,0,K,PM").initialChoice, -1);
    EXPECT_EQ(parseOne("InputSlider,1,0,,,,,,,BPM,42").unit.text, "BPM");
    EXPECT_EQ(parseOne("InputSlider,1,0,,,,,,,BPM,42").decimals, 9);
    EXPECT_EQ(parseOne("InputSlider,1,0,,,,,,,-5,-3").unit.text, "-5"); // not digits only: text
    EXPECT_EQ(parseOne("InputSlider,1,0,,,,,,,-5,-3").decimals, 0);
}

TEST(DefinitionParser, ShortAndUnknownControlsTakeDefaultsOrAreSkipped) {
    const ControlDef& bare = parseOne("CheckBox");
    EXPECT_EQ(bare.captionId, 1023);
    EXPECT_EQ(bare.slot, 15);
    EXPECT_EQ(bare.helpId, 1023);
    EXPECT_EQ(parseOne("MIDIInput,x,y,Key,zz").deviceCode, 0);
    EXPECT_EQ(parseOne("MIDIInput,x,y,Key,zz").captionId, 1023);

    const std::vector<ControlDef> mixed =
        parseDefinition("Knob,1,2|CheckBox,5,1,A,yes|||Nonsense|SimpleSlider,6,0,B,2.5,,,mm,3|");
    ASSERT_EQ(mixed.size(), 2u);
    EXPECT_EQ(mixed[0].kind, ControlKind::CheckBox);
    EXPECT_TRUE(mixed[0].initialState);
    EXPECT_EQ(mixed[1].kind, ControlKind::SimpleSlider);
    EXPECT_EQ(mixed[1].unit.text, "mm");
    EXPECT_EQ(mixed[1].decimals, 3);
    EXPECT_TRUE(parseDefinition("").empty());
    EXPECT_TRUE(parseDefinition("|||,,,").empty());
}

TEST(DefinitionParser, OutOfRangeIdsAndSlotsAreKeptForCallersToReject) {
    const ControlDef& c = parseOne("CheckBox,5000,99,K,1,-7");
    EXPECT_EQ(c.captionId, 5000);
    EXPECT_EQ(c.slot, 99);
    EXPECT_EQ(c.helpId, -7);
    const ControlDef& huge = parseOne("CheckBox,99999999999999999999,-99999999999999999999");
    EXPECT_EQ(huge.captionId, INT_MAX);
    EXPECT_EQ(huge.slot, INT_MIN);
}

TEST(DefinitionParser, BinaryAndHugeInputIsSafe) {
    std::string binary;
    for (int i = 0; i < 65536; ++i)
        binary.push_back(static_cast<char>((i * 131 + 7) % 256));
    (void)parseDefinition(binary);
    (void)parseDefinition("InputSlider," + binary);

    const std::string bigField(3'000'000, '7');
    const ControlDef& big = parseOne("InputSlider," + bigField + ",1," + bigField + "," + bigField);
    EXPECT_EQ(big.captionId, INT_MAX);
    EXPECT_EQ(big.sourceKey.size(), bigField.size());
    EXPECT_EQ(big.initialSource, INT_MAX);

    std::string many;
    for (int i = 0; i < 20000; ++i)
        many += "CheckBox,1,2,K|";
    EXPECT_EQ(parseDefinition(many).size(), 20000u);
    EXPECT_TRUE(parseDefinition(std::string(2'000'000, '|')).empty());
}

} // namespace
} // namespace kv

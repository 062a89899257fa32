#include <gtest/gtest.h>

#include <set>
#include <string>

#include "modules/catalogue.h"

namespace kv {
namespace {

TEST(Catalogue, RowsAreNumberedByTypeAndListPositionsArePermutation) {
    std::set<int> positions;
    for (int t = 0; t < kTypeCount; ++t) {
        const ModuleTypeInfo& info = typeInfo(t);
        EXPECT_EQ(info.type, t);
        positions.insert(info.listPosition);
        EXPECT_EQ(typeAtListPosition(info.listPosition), t);
        // Every type's names end with a comma: the section-name rule depends on it.
        const std::string names = info.sectionNames;
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.back(), ',') << t;
        // Control types come before the audio types.
        EXPECT_EQ(info.audio, t >= Module_AudioInput) << t;
    }
    EXPECT_EQ(positions.size(), static_cast<size_t>(kTypeCount));
    EXPECT_EQ(*positions.begin(), 0);
    EXPECT_EQ(*positions.rbegin(), kTypeCount - 1);
    EXPECT_EQ(typeAtListPosition(0), Module_ControlSensitiser);
    EXPECT_EQ(typeAtListPosition(34), Module_ControlMIDIControllerInput);
    EXPECT_EQ(typeAtListPosition(-1), kNoType);
    EXPECT_EQ(typeAtListPosition(35), kNoType);
}

TEST(Catalogue, ColumnsOfDistinctiveRows) {
    const ModuleTypeInfo& sensor = typeInfo(Module_ControlSensor);
    EXPECT_EQ(sensor.width, 90);
    EXPECT_EQ(sensor.namePatternId, 271);
    EXPECT_EQ(typeInfo(Module_AudioOutputAnalyser).width, 240);
    EXPECT_EQ(typeInfo(Module_AudioOsc).menuStringId, 88);
    EXPECT_EQ(typeInfo(Module_AudioOsc).namePatternId, 81);
    EXPECT_EQ(typeInfo(Module_ControlSensitiser).group, MenuGroup::ControlEffect);
    EXPECT_EQ(typeInfo(Module_ControlModulator).group, MenuGroup::ControlSource);
    EXPECT_EQ(typeInfo(Module_AudioInput).group, MenuGroup::AudioSource);
    EXPECT_EQ(typeInfo(Module_AudioEcho).group, MenuGroup::AudioEffect);
    EXPECT_EQ(typeInfo(Module_AudioOutput).group, MenuGroup::AudioOther);

    for (int t : {10, 17, 18}) {
        EXPECT_EQ(typeInfo(t).voices, 0) << t;
        EXPECT_EQ(typeInfo(t).velocity, 0) << t;
    }
    EXPECT_EQ(typeInfo(0).voices, 1);
    EXPECT_EQ(typeInfo(0).velocity, 127);

    int rows = 0;
    for (int t = 0; t < kTypeCount; ++t)
        rows += typeInfo(t).outputKind == kOutputKindRow;
    EXPECT_EQ(rows, 31);
    EXPECT_EQ(typeInfo(Module_AudioOutput).outputKind, kTerminalAudioOutput);
    EXPECT_EQ(typeInfo(Module_AudioWaveWriter).outputKind, kTerminalWaveWriter);
    EXPECT_EQ(typeInfo(Module_AudioOutputAnalyser).outputKind, kTerminalAnalyser);
    EXPECT_EQ(typeInfo(Module_ControlMIDIControllerInput).outputKind, kTerminalMidiControllerInput);
}

TEST(Catalogue, TypeInfoOutOfRangeIsBoundsChecked) {
    EXPECT_EQ(typeInfo(-1).type, 0);
    EXPECT_EQ(typeInfo(35).type, 0);
    EXPECT_EQ(typeInfo(1 << 30).type, 0);
}

TEST(CatalogueSectionNames, FirstNameIsWrittenAndEveryNameIsReadBack) {
    EXPECT_EQ(firstSectionName(Module_ControlSensitiser), "Module_ControlSensitiser");
    EXPECT_EQ(firstSectionName(Module_AudioMutedPluck), "Module_AudioMutedPluck");
    EXPECT_EQ(firstSectionName(Module_AudioOutputAnalyser), "Module_AudioOutputAnalyser");
    EXPECT_EQ(firstSectionName(Module_AudioOsc), "Module_AudioOsc");
    EXPECT_EQ(firstSectionName(-1), "");
    EXPECT_EQ(firstSectionName(35), "");
    for (int t = 0; t < kTypeCount; ++t)
        EXPECT_EQ(typeForSectionName(firstSectionName(t)), t) << firstSectionName(t);
}

TEST(CatalogueSectionNames, BothSpellingsAndAnyCase) {
    EXPECT_EQ(typeForSectionName("Module_ControlSensitizer"), 3);
    EXPECT_EQ(typeForSectionName("module_controlsensitizer"), 3);
    EXPECT_EQ(typeForSectionName("MODULE_CONTROLSENSITISER"), 3);
    EXPECT_EQ(typeForSectionName("Module_AudioOutputAnalyzer"), 34);
    EXPECT_EQ(typeForSectionName("Module_AudioDingDong"), 29);
}

TEST(CatalogueSectionNames, CommaKeepsLongerNamesApart) {
    EXPECT_EQ(typeForSectionName("Module_AudioInput"), Module_AudioInput);
    EXPECT_EQ(typeForSectionName("Module_AudioInputCombine"), Module_AudioInputCombine);
    EXPECT_EQ(typeForSectionName("Module_AudioOutput"), Module_AudioOutput);
    EXPECT_EQ(typeForSectionName("Module_AudioOutputSplit"), Module_AudioOutputSplit);
    EXPECT_EQ(typeForSectionName("Module_ControlInput"), Module_ControlInput);
    EXPECT_EQ(typeForSectionName("Module_ControlMIDIInput"), Module_ControlMIDIInput);
    EXPECT_EQ(typeForSectionName("Module_AudioStepFunction"), Module_AudioStepFunction);
    EXPECT_EQ(typeForSectionName("Module_ControlStepFunction"), Module_ControlStepFunction);
    // A prefix of a name is not followed by the comma: no match.
    EXPECT_EQ(typeForSectionName("Module_Audio"), kNoType);
    EXPECT_EQ(typeForSectionName("Module_AudioInputComb"), kNoType);
}

TEST(CatalogueSectionNames, ShortenedNamesFollowTheTryOrder) {
    EXPECT_EQ(typeForSectionName("AudioInput"), Module_AudioInput);
    EXPECT_EQ(typeForSectionName("Input"), Module_AudioInput); // tried before types 0 and 1
    EXPECT_EQ(typeForSectionName("Echo"), Module_AudioEcho);   // before the control echo
    EXPECT_EQ(typeForSectionName("ControlEcho"), Module_ControlEcho);
    EXPECT_EQ(typeForSectionName("Combine"), Module_AudioInputCombine);
    EXPECT_EQ(typeForSectionName("Output"), Module_AudioOutput);
    EXPECT_EQ(typeForSectionName("StepFunction"), Module_AudioStepFunction);
    EXPECT_EQ(typeForSectionName("NoteCombine"), Module_ControlNoteCombine);
    EXPECT_EQ(typeForSectionName("Osc"), Module_AudioOsc);
    EXPECT_EQ(typeForSectionName("Analyzer"), Module_AudioOutputAnalyser);
    EXPECT_EQ(typeForSectionName("ControlInput"), Module_ControlInput);
    EXPECT_EQ(typeForSectionName("MIDIControllerInput"), Module_ControlMIDIControllerInput);
}

TEST(CatalogueSectionNames, NamesThatMatchNothing) {
    EXPECT_EQ(typeForSectionName(""), kNoType);
    EXPECT_EQ(typeForSectionName(","), kNoType);
    EXPECT_EQ(typeForSectionName("Module_Unknown"), kNoType);
    EXPECT_EQ(typeForSectionName("Module_AudioOsc "), kNoType);
    EXPECT_EQ(typeForSectionName(std::string(1'000'000, 'M')), kNoType);
    EXPECT_EQ(typeForSectionName(std::string("Module_AudioOsc\0", 16)), kNoType);
}

} // namespace
} // namespace kv

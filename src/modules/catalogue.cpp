#include "modules/catalogue.h"

#include "persistence/text.h"

namespace kv {
namespace {

// clang-format off
constexpr ModuleTypeInfo kCatalogue[kTypeCount] = {
    {0, "Module_ControlInput,", 19, MenuGroup::ControlSource, 257, 258, false, 1, 127, kOutputKindRow, 160},
    {1, "Module_ControlMIDIInput,", 7, MenuGroup::ControlSource, 113, 114, false, 1, 127, kOutputKindRow, 160},
    {2, "Module_ControlMIDIControllerInput,", 34, MenuGroup::ControlSource, 484, 485, false, 1, 127, kTerminalMidiControllerInput, 160},
    {3, "Module_ControlSensitiser,Module_ControlSensitizer,", 0, MenuGroup::ControlEffect, 8, 74, false, 1, 127, kOutputKindRow, 160},
    {4, "Module_ControlModulator,", 1, MenuGroup::ControlSource, 10, 75, false, 1, 127, kOutputKindRow, 160},
    {5, "Module_ControlEcho,", 4, MenuGroup::ControlEffect, 97, 98, false, 1, 127, kOutputKindRow, 160},
    {6, "Module_ControlCombine,", 5, MenuGroup::ControlEffect, 102, 103, false, 1, 127, kOutputKindRow, 160},
    {7, "Module_ControlRange,", 6, MenuGroup::ControlEffect, 107, 108, false, 1, 127, kOutputKindRow, 160},
    {8, "Module_ControlOffset,", 17, MenuGroup::ControlEffect, 251, 252, false, 1, 127, kOutputKindRow, 160},
    {9, "Module_ControlGain,", 18, MenuGroup::ControlEffect, 254, 255, false, 1, 127, kOutputKindRow, 160},
    {10, "Module_ControlSequence,", 20, MenuGroup::ControlSource, 265, 266, false, 0, 0, kOutputKindRow, 160},
    {11, "Module_ControlSensor,", 22, MenuGroup::ControlSource, 270, 271, false, 1, 127, kOutputKindRow, 90},
    {12, "Module_ControlNoteCombine,", 23, MenuGroup::ControlEffect, 275, 276, false, 1, 127, kOutputKindRow, 160},
    {13, "Module_ControlLowCut,", 24, MenuGroup::ControlEffect, 279, 280, false, 1, 127, kOutputKindRow, 160},
    {14, "Module_ControlNoteRetard,", 25, MenuGroup::ControlEffect, 282, 283, false, 1, 127, kOutputKindRow, 160},
    {15, "Module_ControlNeuron,", 29, MenuGroup::ControlSource, 407, 408, false, 1, 127, kOutputKindRow, 160},
    {16, "Module_ControlStepFunction,", 31, MenuGroup::ControlEffect, 414, 415, false, 1, 127, kOutputKindRow, 160},
    {17, "Module_ControlPolyphonicator,", 32, MenuGroup::ControlEffect, 422, 423, false, 0, 0, kOutputKindRow, 160},
    {18, "Module_ControlNoteEnvelope,", 33, MenuGroup::ControlEffect, 437, 438, false, 0, 0, kOutputKindRow, 160},
    {19, "Module_ControlClosestNote,", 8, MenuGroup::ControlEffect, 119, 120, false, 1, 127, kOutputKindRow, 160},
    {20, "Module_AudioInput,", 10, MenuGroup::AudioSource, 124, 125, true, 1, 127, kOutputKindRow, 160},
    {21, "Module_AudioOutput,", 3, MenuGroup::AudioOther, 90, 91, true, 1, 127, kTerminalAudioOutput, 160},
    {22, "Module_AudioOsc,", 2, MenuGroup::AudioSource, 88, 81, true, 1, 127, kOutputKindRow, 160},
    {23, "Module_AudioEcho,", 9, MenuGroup::AudioEffect, 121, 122, true, 1, 127, kOutputKindRow, 160},
    {24, "Module_AudioPitchShift,", 11, MenuGroup::AudioEffect, 128, 129, true, 1, 127, kOutputKindRow, 160},
    {25, "Module_AudioOutputSplit,", 12, MenuGroup::AudioEffect, 134, 135, true, 1, 127, kOutputKindRow, 160},
    {26, "Module_AudioInputCombine,", 13, MenuGroup::AudioEffect, 137, 138, true, 1, 127, kOutputKindRow, 160},
    {27, "Module_AudioMultiDelay,", 14, MenuGroup::AudioEffect, 141, 142, true, 1, 127, kOutputKindRow, 160},
    {28, "Module_AudioDistortion,", 16, MenuGroup::AudioEffect, 166, 167, true, 1, 127, kOutputKindRow, 160},
    {29, "Module_AudioMutedPluck,Module_AudioDingDong,", 21, MenuGroup::AudioSource, 268, 269, true, 1, 127, kOutputKindRow, 160},
    {30, "Module_AudioLowPass,", 27, MenuGroup::AudioEffect, 296, 297, true, 1, 127, kOutputKindRow, 160},
    {31, "Module_AudioHighPass,", 28, MenuGroup::AudioEffect, 299, 300, true, 1, 127, kOutputKindRow, 160},
    {32, "Module_AudioStepFunction,", 30, MenuGroup::AudioEffect, 412, 413, true, 1, 127, kOutputKindRow, 160},
    {33, "Module_AudioWaveWriter,", 15, MenuGroup::AudioOther, 147, 148, true, 1, 127, kTerminalWaveWriter, 160},
    {34, "Module_AudioOutputAnalyser,Module_AudioOutputAnalyzer,", 26, MenuGroup::AudioOther, 286, 287, true, 1, 127, kTerminalAnalyser, 240},
};
// clang-format on

// Order in which section names are tried against the types; the first match wins. Types whose
// names occur inside other types' names come first, so that a shortened name such as "Input"
// finds the audio input rather than a control input.
constexpr int kSectionTryOrder[kTypeCount] = {20, 23, 26, 27, 22, 25, 24, 19, 6,  5,  4,  3,
                                              7,  1,  21, 33, 28, 8,  9,  0,  10, 29, 11, 12,
                                              13, 14, 34, 30, 31, 15, 32, 16, 17, 18, 2};

/// Whether `needle` followed by "," occurs in `haystack`, without regard to ASCII case.
bool containsWithComma(std::string_view haystack, std::string_view needle) {
    const size_t length = needle.size() + 1;
    if (length > haystack.size()) return false;
    for (size_t start = 0; start + length <= haystack.size(); ++start) {
        size_t i = 0;
        while (i < needle.size() && asciiLower(haystack[start + i]) == asciiLower(needle[i]))
            ++i;
        if (i == needle.size() && haystack[start + i] == ',') return true;
    }
    return false;
}

} // namespace

const ModuleTypeInfo& typeInfo(int type) {
    if (type < 0 || type >= kTypeCount) return kCatalogue[0];
    return kCatalogue[type];
}

int typeAtListPosition(int listPosition) {
    for (const ModuleTypeInfo& info : kCatalogue)
        if (info.listPosition == listPosition) return info.type;
    return kNoType;
}

std::string_view firstSectionName(int type) {
    if (type < 0 || type >= kTypeCount) return {};
    const std::string_view names = kCatalogue[type].sectionNames;
    return names.substr(0, names.find(','));
}

int typeForSectionName(std::string_view sectionName) {
    // An empty name would match every type through the bare comma; it names none.
    if (sectionName.empty()) return kNoType;
    for (int type : kSectionTryOrder)
        if (containsWithComma(kCatalogue[type].sectionNames, sectionName)) return type;
    return kNoType;
}

} // namespace kv

#pragma once
// The 35 module types, their definition strings and the definition-string parser.
// Constant data; every function here may be called from any thread.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

constexpr int kTypeCount = 35;
constexpr int kSlotsPerKind = 16;
constexpr int kNoType = -1;

/// Module type numbers (the index into every per-type table).
enum ModuleType : int {
    Module_ControlInput = 0,
    Module_ControlMIDIInput = 1,
    Module_ControlMIDIControllerInput = 2,
    Module_ControlSensitiser = 3,
    Module_ControlModulator = 4,
    Module_ControlEcho = 5,
    Module_ControlCombine = 6,
    Module_ControlRange = 7,
    Module_ControlOffset = 8,
    Module_ControlGain = 9,
    Module_ControlSequence = 10,
    Module_ControlSensor = 11,
    Module_ControlNoteCombine = 12,
    Module_ControlLowCut = 13,
    Module_ControlNoteRetard = 14,
    Module_ControlNeuron = 15,
    Module_ControlStepFunction = 16,
    Module_ControlPolyphonicator = 17,
    Module_ControlNoteEnvelope = 18,
    Module_ControlClosestNote = 19,
    Module_AudioInput = 20,
    Module_AudioOutput = 21,
    Module_AudioOsc = 22,
    Module_AudioEcho = 23,
    Module_AudioPitchShift = 24,
    Module_AudioOutputSplit = 25,
    Module_AudioInputCombine = 26,
    Module_AudioMultiDelay = 27,
    Module_AudioDistortion = 28,
    Module_AudioMutedPluck = 29,
    Module_AudioLowPass = 30,
    Module_AudioHighPass = 31,
    Module_AudioStepFunction = 32,
    Module_AudioWaveWriter = 33,
    Module_AudioOutputAnalyser = 34,
};

/// Submenus of the add-module menu.
enum class MenuGroup : uint8_t {
    ControlSource,
    ControlEffect,
    AudioSource,
    AudioEffect,
    AudioOther
};

/// OutputKind: 255 = one output row of the control table; 0..3 = a terminal-table entry.
constexpr uint8_t kOutputKindRow = 255;
constexpr uint8_t kTerminalAudioOutput = 0;
constexpr uint8_t kTerminalWaveWriter = 1;
constexpr uint8_t kTerminalAnalyser = 2;
constexpr uint8_t kTerminalMidiControllerInput = 3;

/// One row of the module type catalogue.
struct ModuleTypeInfo {
    int type;
    const char* sectionNames; // every accepted name followed by ",", the written one first
    int listPosition;         // position of the type's module list among the 35 lists
    MenuGroup group;
    int menuStringId;   // language string of the add-module menu item
    int namePatternId;  // language string of the name format ("... %ld")
    bool audio;         // audio type: its row is not smoothed by the engine
    uint8_t voices;     // initial voice count of the output row
    uint8_t velocity;   // initial velocity of voice 0
    uint8_t outputKind; // kOutputKindRow or a terminal kind
    int width;          // window width in dialog units
};

/// Row `type` of the catalogue; `type` must be 0..34 (checked: out of range gives type 0's row).
const ModuleTypeInfo& typeInfo(int type);

/// The type whose list is at `listPosition` (0..34), or kNoType.
int typeAtListPosition(int listPosition);

/// Name written into configuration files: the first of the type's section names.
std::string_view firstSectionName(int type);

/// Type for a configuration-file section name (substring rule with the trailing comma, fixed try
/// order), or kNoType.
int typeForSectionName(std::string_view sectionName);

/// The built-in definition string of `type` (0..34), character for character; empty otherwise.
std::string_view definitionString(int type);

enum class ControlKind : uint8_t {
    InputSlider,
    SimpleSlider,
    SoundOutput,
    SoundInput,
    ControlInput,
    Frequency,
    CheckBox,
    MIDIInput,
    MIDISliders,
    Sequence,
    WaveWriter,
    Analyser,
    Sensor,
    ProportionFlipper,
    ModulationEffect,
    OutputMode,
};
constexpr int kKindCount = 16;

/// A text given in a definition either as a language string id (id >= 0) or literally (id == -1).
struct IdOrText {
    int id = 1023;
    std::string text;
};

/// One control of a definition string, decoded. Fields unused by a kind keep their defaults.
/// Field numbers refer to the comma-separated fields of the control text.
struct ControlDef {
    ControlKind kind = ControlKind::InputSlider;
    int captionId = 1023; // field 1; 1023 = no caption; may be out of 0..1023 in bad input
    int slot = 15;        // field 2; may be out of 0..15 in bad input (callers bounds-check)

    // Keys (empty = absent).
    std::string sourceKey;      // InputSlider 3, ControlInput 3, Frequency 4
    std::string valueKey;       // InputSlider 5, SimpleSlider 3, Sensor 3, Frequency 6 (base),
                                // ProportionFlipper 3 (upper), CheckBox 3, device key of
                                // SoundOutput/SoundInput/MIDIInput 3, WaveWriter 4 (path),
                                // Analyser 4 (mode), ModulationEffect 3, OutputMode 3
    std::string secondKey;      // Frequency 8 (multiplier), ProportionFlipper 5 (lower),
                                // WaveWriter 6 (append)
    std::string sensitivityKey; // InputSlider 11, Frequency 10
    std::string velocityKey;    // InputSlider 16
    std::string optionKey;      // InputSlider 18, WaveWriter 8 (recording)

    int initialSource = 0;    // SourceSelector: InputSlider 4, ControlInput 4, Frequency 5
    double defaultValue = 0;  // InputSlider 6, SimpleSlider 4, Frequency 7 (base),
                              // ProportionFlipper 4 (upper), Sensor 4 (integer parse)
    double secondDefault = 0; // Frequency 9 (multiplier), ProportionFlipper 6 (lower)
    long minimum = 0;         // InputSlider 7, SimpleSlider 5, ProportionFlipper 7
    long maximum = 1000;      // InputSlider 8, SimpleSlider 6, ProportionFlipper 8
    IdOrText unit{1023, {}};  // InputSlider 9 (id or text); SimpleSlider 7 and
                              // ProportionFlipper 9 are literal (id -1, empty by default)
    int decimals = 0;         // InputSlider 10, SimpleSlider 8, ProportionFlipper 10; 0..9

    bool offersNone = false;        // InputSlider 12, ControlInput 5, Frequency 11
    bool offersManual = false;      // InputSlider 13, ControlInput 6 (Frequency: always true)
    bool offersMouse = false;       // ControlInput 8 (InputSlider, Frequency: always true)
    IdOrText noneText{1023, {}};    // InputSlider 14 (id or text); ControlInput 7 and Frequency 12
                                    // are literal
    bool hasVelocity = false;       // InputSlider 15
    bool signedSensitivity = false; // InputSlider 17
    bool optionDefault = false;     // InputSlider 19; WaveWriter 9 (recording default)

    int multiplierCaptionId = 1023; // Frequency 3
    bool fineMode = false;          // Frequency 13

    bool initialState = false; // CheckBox 4; WaveWriter 7 (append default)
    int helpId = 1023;         // CheckBox 5

    int deviceCode = 0;      // SoundOutput 4, SoundInput 4, MIDIInput 4 (tokens allowed)
    int linkedSlot = 0;      // MIDISliders 3, Sequence 3, WaveWriter 3, Analyser 3
    std::string defaultText; // WaveWriter 5 (default path)
    int initialChoice = -1;  // Analyser 5 (0 analyser, 1 oscilloscope), ModulationEffect 4,
                             // OutputMode 4 (by name; -1 = no choice)

    bool hasSource() const { return !sourceKey.empty(); }
};

/// Parses one definition string into its controls, in definition order. Unknown kinds are skipped.
std::vector<ControlDef> parseDefinition(std::string_view definition);

/// The controls of a built-in type (parsed once, cached; the references stay valid for the whole
/// run). Out of 0..34 gives an empty list.
const std::vector<ControlDef>& typeControls(int type);

/// Names of the choice lists used by ModulationEffect and OutputMode.
inline constexpr const char* kModulationEffectNames[] = {"AM", "FM"};
inline constexpr const char* kOutputModeNames[] = {
    "Modify Velocity",
    "Replace Velocity",
    "Modify Signal",
    "Replace Signal",
    "Modify Velocity and Signal",
    "Replace Velocity and Signal",
    "Envelope as Velocity with Null Signal",
    "Envelope as Signal with Full Velocity",
};

} // namespace kv

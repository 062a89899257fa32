#include "modules/presets.h"

#include <charconv>

#include "persistence/resources.h"
#include "persistence/text.h"

namespace kv {

namespace {

// clang-format off
constexpr PresetInfo kPresets[] = {
    {226, 458, "Simple Pitch and Echo", kPresetsMicrophone},
    {241, 494, "Basically Robotic", kPresetsMicrophone},

    {205, 459, "Air Saw", kPresetsMidiKeyboard},
    {228, 460, "Air Synth", kPresetsMidiKeyboard},
    {208, 461, "Distorted Air", kPresetsMidiKeyboard},
    {207, 462, "Distorted Air ( Breathable )", kPresetsMidiKeyboard},
    {209, 463, "Simple Organ Thing", kPresetsMidiKeyboard},
    {263, 35, "Warm and Smooth", kPresetsMidiKeyboard},
    {210, 464, "Space-Circus Gets Flushed Down Note-Drain", kPresetsMidiKeyboard},
    {211, 465, "Space-Circus of Confused Tonality", kPresetsMidiKeyboard},
    {212, 466, "With Modulation", kPresetsMidiKeyboard},

    {213, 467, "Animalistic 1", kPresetsModulation},
    {214, 468, "Animalistic 2", kPresetsModulation},
    {215, 469, "Distant Signal", kPresetsModulation},
    {216, 470, "Dizziness", kPresetsModulation},
    {217, 471, "Plastic Hand-Saw", kPresetsModulation},
    {218, 472, "Twisted", kPresetsModulation},

    {219, 473, "Digital Modulation", kPresetsMouse},
    {220, 474, "Drainpipe Dreams of Rain", kPresetsMouse},
    {221, 475, "Powerful Electric Motor", kPresetsMouse},
    {222, 476, "Vacuum Cleaner from Outer Space", kPresetsMouse},
    {255, 33, "The Four Elements", kPresetsMouse},
    {258, 209, "Button Tones and Scroll Squeals", kPresetsMouse},

    {223, 477, "Neuronic Beat", kPresetsNeuron},
    {251, 513, "Neuronic Beat 2", kPresetsNeuron},
    {250, 512, "Almost ready for liftoff", kPresetsNeuron},

    {224, 478, "ABCs Can Bump", kPresetsSequence},
    {225, 479, "Micro-Mechanics", kPresetsSequence},
    {265, 45, "Basic Bumps", kPresetsSequence},

    {253, 0, "Demonstration Mouse 1", kPresetsDemonstration},
    {264, 0, "Demonstration Mouse 2", kPresetsDemonstration},
    {259, 0, "Demonstration Modulation 1", kPresetsDemonstration},
    {254, 0, "Demonstration Modulation 2", kPresetsDemonstration},
    {260, 0, "Demonstration Modulation 3", kPresetsDemonstration},
    {257, 0, "Demonstration MIDI 1", kPresetsDemonstration},

    {900, 0, "Tone 440 Hz", kPresetsExamples},
    {901, 0, "Stereo Fifth", kPresetsExamples},
    {902, 0, "Major Chord", kPresetsExamples},
};
// clang-format on

} // namespace

std::span<const PresetInfo> presetTable() {
    return kPresets;
}

std::string presetFileName(int resource) {
    return "preset_" + std::to_string(resource) + ".kvc";
}

bool presetAvailable(const PresetInfo& preset) {
    return !findResource(presetFileName(preset.resource)).empty();
}

const PresetInfo* findPreset(int resource) {
    for (const PresetInfo& p : kPresets)
        if (p.resource == resource) return &p;
    return nullptr;
}

const PresetInfo* findPreset(std::string_view query) {
    query = trim(query, " \t");
    int number = 0;
    const auto [end, error] = std::from_chars(query.data(), query.data() + query.size(), number);
    if (!query.empty() && error == std::errc() && end == query.data() + query.size())
        return findPreset(number);
    for (const PresetInfo& p : kPresets)
        if (equalsIgnoreCase(p.name, query)) return &p;
    return nullptr;
}

std::optional<std::string> presetText(const PresetInfo& preset) {
    const auto bytes = findResource(presetFileName(preset.resource));
    if (bytes.empty()) return std::nullopt;
    // A preset is loaded without its last UTF-16 unit, the final line feed.
    std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (raw.size() >= 4) raw.remove_suffix(2);
    return decodeText(raw);
}

std::optional<LoadReport> loadPreset(const LoadTarget& target, const PresetInfo& preset) {
    const auto text = presetText(preset);
    if (!text) return std::nullopt;
    return loadConfiguration(target, *text);
}

} // namespace kv

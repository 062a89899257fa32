#pragma once
// The built-in presets: patch files compiled into the program (resources/presets/preset_N.kvc,
// N being the preset's resource number), the presets menu and loading a preset.
// Constant data and pure functions; loading runs on the user-interface thread.
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "modules/config_file.h"

namespace kv {

/// Submenus of the presets menu (language string ids).
constexpr int kPresetsMicrophone = 452;
constexpr int kPresetsMidiKeyboard = 453;
constexpr int kPresetsModulation = 454;
constexpr int kPresetsMouse = 455;
constexpr int kPresetsNeuron = 456;
constexpr int kPresetsSequence = 457;
/// Not in the menu: loaded only by the first-run demonstration.
constexpr int kPresetsDemonstration = 0;
/// Not in the menu: small presets for the headless tool and tests.
constexpr int kPresetsExamples = -1;

/// The menu's last item, "Get and share configurations Online".
constexpr int kPresetsOnlineStringId = 509;

struct PresetInfo {
    int resource;     // resource number; the file is "preset_<resource>.kvc"
    int stringId;     // language string of the menu item (0: none, the English name is used)
    const char* name; // English name
    int submenu;      // submenu string id, kPresetsDemonstration or kPresetsExamples
};

/// Every preset the program knows, in menu order (submenu by submenu), then the demonstration
/// and example presets. Some may not be built in yet (presetAvailable).
std::span<const PresetInfo> presetTable();

/// Resource file name of a preset ("preset_226.kvc").
std::string presetFileName(int resource);

/// Whether the preset's file is compiled into the program.
bool presetAvailable(const PresetInfo& preset);

/// The preset with this resource number, or null.
const PresetInfo* findPreset(int resource);
/// The preset named `query`: its resource number in decimal or its English name (without
/// regard to case, surrounding spaces ignored). Null when none matches.
const PresetInfo* findPreset(std::string_view query);

/// The preset's configuration text as loading reads it: the file decoded, without its last UTF-16
/// unit (the final line feed). Nothing when the preset is not built in.
std::optional<std::string> presetText(const PresetInfo& preset);

/// Loads the preset as a configuration text (see loadConfiguration). Nothing when the preset is
/// not built in (the modules are not touched then).
std::optional<LoadReport> loadPreset(const LoadTarget& target, const PresetInfo& preset);

/// The resources of the first-run demonstration buttons, each cycled from its first entry.
inline constexpr int kDemoMouse[] = {253, 264};
inline constexpr int kDemoModulation[] = {259, 254, 260};
inline constexpr int kDemoMidi[] = {257, 263};

} // namespace kv

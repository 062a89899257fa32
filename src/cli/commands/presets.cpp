// kalvitrope-cli presets: the built-in presets in menu order.
#include "modules/presets.h"
#include "cli/commands/command_line.h"
#include "cli/commands/commands.h"
#include "persistence/language.h"

namespace kv::cli {

int presetsCommand(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parseOptions("presets", argc, argv, {}, 0, o, error)) {
        complainUsage("presets", error);
        return kExitUsage;
    }
    // One line each, in menu order: the number, the English name (both work with --preset) and,
    // in brackets, the submenu in the current language or where the preset is used instead.
    for (const PresetInfo& p : presetTable()) {
        if (!presetAvailable(p)) continue;
        const std::string where = p.submenu > 0                        ? languages().main(p.submenu)
                                  : p.submenu == kPresetsDemonstration ? "first-run demonstration"
                                                                       : "example";
        printOut("%d %s (%s)\n", p.resource, p.name, where.c_str());
    }
    return 0;
}

} // namespace kv::cli

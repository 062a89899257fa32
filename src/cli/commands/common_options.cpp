// The options every command takes: --language CODE|FILE and --settings FILE.
#include <filesystem>

#include "cli/commands/command_line.h"
#include "engine/engine_settings.h"
#include "persistence/language.h"

namespace kv::cli {

namespace {
const Settings* givenSettings = nullptr;
} // namespace

const Settings* commandSettings() {
    return givenSettings;
}

int takeCommonOptions(int& argc, char** argv, std::string& error) {
    static Settings settings;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--language" && arg != "--settings") {
            argv[kept++] = argv[i];
            continue;
        }
        if (i + 1 >= argc) {
            error = "option '" + arg + "' needs a value";
            return kExitUsage;
        }
        const std::string value = argv[++i];
        std::error_code ec;
        if (arg == "--language") {
            if (value.size() <= 2 && languageIndex(value) < 0) {
                error = "unknown language '" + value +
                        "' (a code such as de, en, es, fr, ja, ru, "
                        "or a strings file)";
                return kExitUsage;
            }
            if (value.size() > 2 && !std::filesystem::is_regular_file(value, ec)) {
                error = "cannot read strings file '" + value + "'";
                return kExitFailure;
            }
            const std::string chosen =
                value.size() > 2 ? std::filesystem::absolute(value, ec).string() : value;
            const std::string args[] = {"Language", chosen};
            languages().applyCommandLine(args);
            continue;
        }
        SettingsMessages messages;
        messages.inform = [&](std::string_view text, std::string_view) {
            error = "settings file '" + value + "': " + std::string(text);
        };
        messages.ask = [](std::string_view, std::string_view) { return true; }; // named explicitly
        const SettingsLoadStatus status = loadSettings(value, settings, messages, true).status;
        if (status == SettingsLoadStatus::Missing)
            error = "cannot read settings file '" + value + "'";
        if (status != SettingsLoadStatus::Loaded) return kExitFailure;
        givenSettings = &settings;
    }
    argc = kept;
    return 0;
}

void applyCommandSettings(const Settings& s, EngineState& state, MouseSettings& mouse) {
    applySettings(s, state);
    mouse.originX.store(s.mouseOriginX, std::memory_order_relaxed);
    mouse.originY.store(s.mouseOriginY, std::memory_order_relaxed);
    mouse.wrapAtScreenEdges.store(s.wrapMouseCursorAtScreenEdges, std::memory_order_relaxed);
}

} // namespace kv::cli

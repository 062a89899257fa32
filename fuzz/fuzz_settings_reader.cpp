// Settings files of any content, in either form: reading never crashes or hangs, and what a read
// file writes reads back into settings that write the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "persistence/language.h"
#include "persistence/paths.h"
#include "persistence/settings.h"

namespace {

struct World {
    kv::PathEnvironment env;
    kv::SettingsMessages quiet;
    World() {
        kv::languages().initLanguages({});
        env.programFolder = "/opt/kalvitrope";
        env.variables = {{"HOME", "/home/user"}, {"XDG_CONFIG_HOME", "/home/user/.config"}};
        quiet.inform = [](std::string_view, std::string_view) {};
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World* world = new World;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Both answers to the newer-version question, chosen by the input.
    world->quiet.ask = [size](std::string_view, std::string_view) { return size % 2 == 0; };
    kv::Settings first;
    kv::readSettings(bytes, first, world->quiet, false, world->env);
    const std::string written = kv::settingsBytes(first);
    kv::Settings second;
    const kv::SettingsLoadResult r =
        kv::readSettings(written, second, world->quiet, true, world->env);
    if (r.status != kv::SettingsLoadStatus::Loaded || kv::settingsBytes(second) != written) {
        std::fprintf(stderr, "settings do not read back as written\n");
        std::abort();
    }
    return 0;
}

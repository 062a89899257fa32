// Patch files of any content: loading never crashes or hangs, and what a loaded patch saves
// loads back into a patch that saves the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "persistence/language.h"
#include "persistence/text.h"

namespace {

struct World {
    kv::EngineState state;
    kv::Engine engine{state};
    kv::ModuleRegistry registry{&engine};
    World() { kv::languages().initLanguages({}); }

    void load(std::string_view text) {
        kv::LoadTarget t;
        t.registry = &registry;
        t.engine = &engine;
        t.legacyFlag = &state.settings.legacyPatch;
        kv::loadConfiguration(t, text);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World* world = new World;
    // Both ways a file reaches the reader: decoded by its mark, and as plain text.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = kv::decodeText(bytes);
    world->load(text);
    const std::string first = kv::configurationText(world->registry);
    world->load(first);
    const std::string second = kv::configurationText(world->registry);
    if (first != second) {
        std::fprintf(stderr, "saved text changed on reloading:\n--- first\n%s\n--- second\n%s\n",
                     first.c_str(), second.c_str());
        std::abort();
    }
    world->load(bytes);
    return 0;
}

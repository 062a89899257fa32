// The built-in presets: the menu table, the files compiled in, and loading them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "engine/engine.h"
#include "modules/module_registry.h"
#include "persistence/language.h"
#include "persistence/presets.h"
#include "persistence/resources.h"
#include "persistence/text.h"

namespace kv {
namespace {

struct Preset : ::testing::Test {
    static void SetUpTestSuite() { languages().initLanguages({}); }
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    LoadTarget target() {
        LoadTarget t;
        t.registry = &registry;
        t.engine = &engine;
        t.legacyFlag = &state.settings.legacyPatch;
        return t;
    }
};

TEST_F(Preset, TableHoldsEveryResourceOnceWithTheMenuLayout) {
    std::set<int> resources;
    int menuItems = 0;
    for (const PresetInfo& p : presetTable()) {
        EXPECT_TRUE(resources.insert(p.resource).second) << p.resource;
        if (p.submenu > 0) ++menuItems;
    }
    EXPECT_EQ(menuItems, 29);
    for (int r :
         {226, 241, 205, 263, 213, 219, 258, 223, 250, 224, 265, 253, 254, 257, 259, 260, 264})
        EXPECT_NE(findPreset(r), nullptr) << r;
    for (int r : kDemoMouse)
        EXPECT_NE(findPreset(r), nullptr);
    EXPECT_STREQ(findPreset(263)->name, "Warm and Smooth");
    EXPECT_EQ(findPreset(263)->stringId, 35);
    EXPECT_EQ(findPreset(" air SAW "), findPreset(205));
    EXPECT_EQ(findPreset("900"), findPreset(900));
    EXPECT_EQ(findPreset("no such preset"), nullptr);
    EXPECT_EQ(findPreset(""), nullptr);
}

// The writer's text as an older program wrote it: no revision mark in the header and every
// amplitude ten times larger.
std::string asLegacyText(const std::string& written) {
    std::string out;
    std::size_t at = 0;
    while (at < written.size()) {
        std::size_t end = written.find("\r\n", at);
        end = end == std::string::npos ? written.size() : end + 2;
        std::string line = written.substr(at, end - at);
        const std::string amplitude = "AmplitudeValue=";
        if (at == 0) {
            const std::size_t mark = line.find(" [revision B]");
            if (mark != std::string::npos) line.erase(mark, 13);
        } else if (line.compare(0, amplitude.size(), amplitude) == 0) {
            char value[64];
            std::snprintf(value, sizeof value, "%lg",
                          std::atof(line.c_str() + amplitude.size()) * 10);
            line = amplitude + value + "\r\n";
        }
        out += line;
        at = end;
    }
    return out;
}

TEST_F(Preset, BuiltInFilesAreThoseTheWriterMakes) {
    int available = 0;
    for (const PresetInfo& p : presetTable()) {
        if (!presetAvailable(p)) continue;
        ++available;
        const auto text = presetText(p);
        ASSERT_TRUE(text);
        // The final line feed is not part of the loaded text.
        ASSERT_GE(text->size(), 2u);
        EXPECT_EQ(text->back(), '\r') << p.name;
        ASSERT_TRUE(loadPreset(target(), p));
        EXPECT_GT(registry.totalCount(), 0) << p.name;
        // Resources up to 241 are files of the older form, the later ones carry the revision mark.
        const bool legacy = p.resource < 250;
        EXPECT_EQ(state.settings.legacyPatch.load(), legacy) << p.name;
        // Written back, the modules give the file byte for byte (the older form after the
        // reader's rewrite of its header and amplitudes).
        const auto bytes = findResource(presetFileName(p.resource));
        const std::string written = decodeText(configurationBytes(registry));
        EXPECT_EQ(legacy ? asLegacyText(written) : written, decodeText(bytes)) << p.name;
    }
    EXPECT_GE(available, 3);
}

TEST_F(Preset, ToneIsOneOscillatorAt440HertzOnTheDefaultOutput) {
    ASSERT_TRUE(loadPreset(target(), *findPreset(900)));
    const auto oscs = registry.modules(Module_AudioOsc);
    ASSERT_EQ(oscs.size(), 1u);
    const Module& osc = *oscs.front();
    EXPECT_DOUBLE_EQ(osc.frequencies[0].base.load() * osc.frequencies[0].multiplier.load(), 440.0);
    EXPECT_EQ(osc.soundOutputs[0].code.load(), -1);
    EXPECT_FALSE(state.settings.legacyPatch.load());
}

TEST_F(Preset, AnAbsentPresetLeavesTheModulesAlone) {
    registry.addModule(Module_AudioOsc);
    for (const PresetInfo& p : presetTable())
        if (!presetAvailable(p)) {
            EXPECT_FALSE(presetText(p));
            EXPECT_FALSE(loadPreset(target(), p));
            EXPECT_EQ(registry.totalCount(), 1);
            return;
        }
}

} // namespace
} // namespace kv

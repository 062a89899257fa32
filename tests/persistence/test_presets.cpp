// The built-in presets: the menu table, the files compiled in, and loading them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include "engine/engine.h"
#include "modules/module_registry.h"
#include "modules/presets.h"
#include "persistence/language.h"
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

// What the reader makes of an old-style file: the revision mark in the header, and every
// amplitude in the scale of revision-B files (a tenth of the stored value).
std::string revisionBForm(const std::string& legacy) {
    std::istringstream in(legacy);
    std::string out, line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {
            const std::size_t close = line.rfind(" ##");
            if (close != std::string::npos) line.insert(close, " [revision B]");
            header = false;
        } else if (line.rfind("AmplitudeValue=", 0) == 0) {
            char value[64];
            std::snprintf(value, sizeof value, "%g", std::atof(line.c_str() + 15) / 10);
            line = "AmplitudeValue=" + std::string(value) + "\r";
        }
        out += line + "\n";
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
        const auto report = loadPreset(target(), p);
        ASSERT_TRUE(report);
        EXPECT_GT(registry.totalCount(), 0) << p.name;
        EXPECT_EQ(report->skipped, 0) << p.name;
        // The menu's older presets are old-style files, read with their amplitudes rescaled.
        const bool legacy = p.resource >= 205 && p.resource <= 241;
        EXPECT_EQ(report->legacy, legacy) << p.name;
        EXPECT_EQ(state.settings.legacyPatch.load(), legacy) << p.name;
        // Written back, the modules give the file byte for byte (in its revision-B form).
        const std::string written = configurationText(registry);
        if (legacy) {
            EXPECT_EQ(written, revisionBForm(*text + "\n")) << p.name;
            ASSERT_TRUE(loadPreset(target(), p)); // the next round trip starts from the file
            loadConfiguration(target(), written);
            EXPECT_EQ(configurationText(registry), written) << p.name;
        } else {
            const auto bytes = findResource(presetFileName(p.resource));
            EXPECT_EQ(configurationBytes(registry),
                      std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()))
                << p.name;
        }
    }
    EXPECT_GE(available, 3);
}

// Needs every preset branch merged: the menu's 29 presets and the demonstration's 6 are built in,
// and between them they use every module type.
TEST_F(Preset, EveryMenuAndDemonstrationPresetIsBuiltInAndEveryModuleTypeIsUsed) {
    std::set<int> missing, types;
    for (const PresetInfo& p : presetTable()) {
        if (p.submenu == kPresetsExamples) continue;
        if (!presetAvailable(p)) {
            missing.insert(p.resource);
            continue;
        }
        ASSERT_TRUE(loadPreset(target(), p));
        for (int t = 0; t < kTypeCount; ++t)
            if (!registry.modules(t).empty()) types.insert(t);
    }
    EXPECT_EQ(missing, std::set<int>{}) << "presets not built in";
    for (int t = 0; t < kTypeCount; ++t)
        EXPECT_TRUE(types.count(t)) << firstSectionName(t) << " is in no preset";
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
    const PresetInfo absent{999, 0, "Not built in", kPresetsExamples};
    ASSERT_FALSE(presetAvailable(absent));
    EXPECT_FALSE(presetText(absent));
    EXPECT_FALSE(loadPreset(target(), absent));
    EXPECT_EQ(registry.totalCount(), 1);
}

} // namespace
} // namespace kv

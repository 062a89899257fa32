// Every built-in preset played for 30 s with a gesture that suits its kind: it must make sound,
// never hold a sample at full scale for more than 1 ms, and leave no broken value in the control
// table. A preset whose menu kind needs a particular gesture can bring its own script in
// tests/data/presets/preset_<N>.script.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "cli/preset_gestures.h"
#include "cli/session.h"
#include "cli/wav_file.h"
#include "instrument/script.h"
#include "modules/presets.h"
#include "persistence/language.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using namespace test;

struct Listened {
    double rms = 0, lastRms = 0; // whole render; its last 5 s (fractions of full scale)
    int longestFullScale = 0;    // frames in a row at full scale on one channel
};

class PresetRender : public ::testing::TestWithParam<int> {
  protected:
    static void SetUpTestSuite() { languages().initLanguages({}); }
    fs::path dir =
        fs::temp_directory_path() / ("kv_render_" + std::to_string(std::random_device{}()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    std::string scriptFor(const PresetInfo& p) { return presetScript(p, dir); }
};

TEST_P(PresetRender, SoundsCleanlyWithItsGesture) {
    const PresetInfo* preset = findPreset(GetParam());
    ASSERT_NE(preset, nullptr);
    if (!presetAvailable(*preset)) GTEST_SKIP() << "not built in: " << preset->name;

    cli::OfflineSession session;
    std::string error;
    Script script;
    ASSERT_TRUE(parseScript(scriptFor(*preset), script, error)) << error;
    // A preset's own script names its sound as "voice.wav": the test's voice stands in.
    writeVoiceWav((dir / "voice.wav").string());
    findSoundFilesBeside(script, dir.string());
    ASSERT_TRUE(session.loadPatch({"", std::to_string(preset->resource)}, error)) << error;
    ASSERT_TRUE(session.useScript(script, error)) << error;

    Listened heard;
    double sum = 0, lastSum = 0;
    int64_t played = 0;
    int run[2] = {0, 0};
    session.capture().setSink([&](int device, const int16_t* frames, int64_t count) {
        if (device != -1) return;
        for (int64_t f = 0; f < count && played < kFrames; ++f, ++played)
            for (int c = 0; c < 2; ++c) {
                const int s = frames[2 * f + c];
                const double v = s / 32768.0;
                sum += v * v;
                if (played >= kFrames - 5 * 48000) lastSum += v * v;
                run[c] = (s >= 32767 || s <= -32767) ? run[c] + 1 : 0;
                heard.longestFullScale = std::max(heard.longestFullScale, run[c]);
            }
    });
    session.run([&] { return session.capture().clock() >= kFrames; });
    session.capture().setSink(nullptr);
    ASSERT_EQ(played, kFrames) << preset->name;
    heard.rms = std::sqrt(sum / (2.0 * kFrames));
    heard.lastRms = std::sqrt(lastSum / (2.0 * 5 * 48000));

    EXPECT_GT(heard.rms, 0.005) << preset->name << ": silent";
    EXPECT_LE(heard.longestFullScale, 48) << preset->name << ": clipped";
    EXPECT_LT(heard.lastRms, 0.5) << preset->name << ": runaway level";
    const ControlTable& table = session.state().table;
    for (int r = 0; r < kModuleRows; ++r)
        for (int k = 0; k < table.rows[r].voiceCount; ++k)
            ASSERT_TRUE(std::isfinite(table.rows[r].primary[k]) &&
                        std::isfinite(table.rows[r].velocity[k]))
                << preset->name << ": row " << r << " voice " << k;
}

std::vector<int> allPresets() {
    std::vector<int> out;
    for (const PresetInfo& p : presetTable())
        out.push_back(p.resource);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Table, PresetRender, ::testing::ValuesIn(allPresets()),
                         [](const auto& info) { return "preset_" + std::to_string(info.param); });

} // namespace
} // namespace kv

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

#include "cli/session.h"
#include "cli/wav_file.h"
#include "instrument/script.h"
#include "modules/presets.h"
#include "persistence/language.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

constexpr int kSeconds = 30;
constexpr int kFrames = kSeconds * 48000;

enum class Gesture { Mouse, Midi, Microphone };

Gesture gestureFor(const PresetInfo& p) {
    if (p.submenu == kPresetsMicrophone) return Gesture::Microphone;
    if (p.submenu == kPresetsMidiKeyboard ||
        std::find(std::begin(kDemoMidi), std::end(kDemoMidi), p.resource) != std::end(kDemoMidi))
        return Gesture::Midi;
    return Gesture::Mouse;
}

// Circles around the desktop's centre (one turn per 2 s, the radius halving every other 5 s),
// the left button held for 0.5 s every 2 s, the right and middle ones now and then, four wheel
// notches a second (changing direction every 6 s) and a tilt of the wheel every second.
std::string mouseGesture() {
    std::ostringstream s;
    for (int i = 0; i < kSeconds * 100; ++i) {
        const double t = i / 100.0;
        const double a = 2 * M_PI * t / 2.0;
        const double r = (static_cast<int>(t) / 5) % 2 == 0 ? 300 : 150;
        s << i * 10 << "ms cursor " << static_cast<int>(960 + r * std::cos(a)) << ' '
          << static_cast<int>(540 + r * std::sin(a)) << '\n';
    }
    for (int k = 0; k < kSeconds; ++k) {
        const int ms = k * 1000;
        if (k % 2 == 0) s << ms << "ms button left down\n" << ms + 500 << "ms button left up\n";
        if (k % 5 == 1) s << ms << "ms button right down\n" << ms + 1000 << "ms button right up\n";
        if (k % 7 == 3) s << ms << "ms button middle down\n" << ms + 400 << "ms button middle up\n";
        for (int q = 0; q < 4; ++q)
            s << ms + q * 250 + 125 << "ms wheel vertical " << ((k / 6) % 2 == 0 ? 120 : -120)
              << '\n';
        s << ms + 600 << "ms wheel horizontal 120\n";
    }
    return s.str();
}

// Chords of four keys on MIDI input 0, held 1.5 s of every 2 s, moving up a tone twice and back.
std::string midiGesture() {
    std::ostringstream s;
    s << std::hex << std::uppercase;
    for (int k = 0; k < kSeconds / 2; ++k)
        for (int key : {0x3C, 0x40, 0x43, 0x48}) {
            const int note = key + (k % 3) * 2;
            s << std::dec << k * 2000 << "ms midi 0 90 " << std::hex << note << " 64\n";
            s << std::dec << k * 2000 + 1500 << "ms midi 0 80 " << std::hex << note << " 00\n";
        }
    return s.str();
}

// A voice-like test input: a 150 Hz buzz with a slow vibrato, spoken in syllables of 0.4 s.
void writeVoiceWav(const std::string& path) {
    std::vector<int16_t> frames(2 * kFrames);
    double phase = 0;
    for (int i = 0; i < kFrames; ++i) {
        const double t = i / 48000.0;
        phase += 2 * M_PI * (150 + 8 * std::sin(2 * M_PI * 5 * t)) / 48000.0;
        const double syllable = std::max(0.0, std::sin(2 * M_PI * t / 0.8));
        double v = 0;
        for (int h = 1; h <= 6; ++h)
            v += std::sin(h * phase) / h;
        const auto s = static_cast<int16_t>(9000 * syllable * v);
        frames[2 * i] = frames[2 * i + 1] = s;
    }
    cli::WavFileWriter wav;
    std::string error;
    ASSERT_TRUE(wav.open(path, error)) << error;
    wav.write(frames.data(), kFrames);
    ASSERT_TRUE(wav.finish(error)) << error;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

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

    std::string scriptFor(const PresetInfo& p) {
        const fs::path own = fs::path(KV_SOURCE_DIR) / "tests/data/presets" /
                             ("preset_" + std::to_string(p.resource) + ".script");
        if (fs::exists(own)) return slurp(own);
        switch (gestureFor(p)) {
        case Gesture::Midi:
            return midiGesture();
        case Gesture::Microphone: {
            const std::string wav = (dir / "voice.wav").string();
            writeVoiceWav(wav);
            // The default input and input 0 both hear it.
            return "0 audioin -1 " + wav + "\n0 audioin 0 " + wav + "\n";
        }
        case Gesture::Mouse:
            break;
        }
        return mouseGesture();
    }
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

// The headless tool as its users run it: rendered sound, probe output, patch conversion, presets
// and how it answers bad options, patches and scripts.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "persistence/presets.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int code = -1;
    std::string out, err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Cli : public ::testing::Test {
  protected:
    fs::path dir = fs::temp_directory_path() / ("kv_cli_" + std::to_string(std::random_device{}()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary) << text;
        return path(name);
    }
    // Runs the tool with `args` (shell words).
    Result run(const std::string& args) const {
        const std::string cmd = std::string("'") + KV_CLI_PATH + "' " + args + " >'" +
                                path("stdout") + "' 2>'" + path("stderr") + "'";
        const int status = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(dir / "stdout");
        r.err = slurp(dir / "stderr");
        return r;
    }
};

struct Wav {
    int channels = 0, rate = 0, bits = 0;
    std::vector<int16_t> samples; // interleaved
};

Wav readWav(const std::string& file) {
    const std::string b = slurp(file);
    Wav w;
    if (b.size() < 44 || b.compare(0, 4, "RIFF") || b.compare(8, 8, "WAVEfmt ") ||
        b.compare(36, 4, "data"))
        return w;
    auto u16 = [&](std::size_t i) { return uint8_t(b[i]) | uint8_t(b[i + 1]) << 8; };
    auto u32 = [&](std::size_t i) { return uint32_t(u16(i)) | uint32_t(u16(i + 2)) << 16; };
    EXPECT_EQ(u16(20), 1); // PCM
    EXPECT_EQ(u32(4), b.size() - 8);
    EXPECT_EQ(u32(40), b.size() - 44);
    w.channels = u16(22);
    w.rate = static_cast<int>(u32(24));
    w.bits = u16(34);
    for (std::size_t i = 44; i + 1 < b.size(); i += 2)
        w.samples.push_back(static_cast<int16_t>(u16(i)));
    return w;
}

// Frequency (rising zero crossings per second) and RMS of one channel over [first, first + n).
std::pair<double, double> measure(const Wav& w, int channel, std::size_t first, std::size_t n) {
    int crossings = 0;
    double sum = 0;
    for (std::size_t f = first; f < first + n; ++f) {
        const double v = w.samples[2 * f + channel];
        sum += v * v;
        if (f > first && w.samples[2 * (f - 1) + channel] < 0 && v >= 0) ++crossings;
    }
    return {crossings * 48000.0 / n, std::sqrt(sum / n)};
}

TEST_F(Cli, PresetsListsTheBuiltInOnes) {
    const Result r = run("presets");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("900 Tone 440 Hz\n"), std::string::npos);
    EXPECT_NE(r.out.find("901 Stereo Fifth\n"), std::string::npos);
    EXPECT_NE(r.out.find("902 Major Chord\n"), std::string::npos);
}

TEST_F(Cli, RendersThe440HertzPresetAtItsLevel) {
    const Result r = run("render --preset 900 --seconds 2 --out '" + path("a.wav") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("rendered 2\\.000 s: peak 0\\.48[0-9]+ \\(-6\\.[0-9] dBFS\\), RMS "
                          "0\\.3[0-9]+ \\(-9\\.[0-9] dBFS\\), real-time factor [0-9.]+\n")))
        << r.out;
    const Wav w = readWav(path("a.wav"));
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.rate, 48000);
    EXPECT_EQ(w.bits, 16);
    ASSERT_EQ(w.samples.size(), 2u * 96000);
    // Amplitude 50 % of an oscillator's full scale: 500 engine units, 16000 in the file.
    for (int channel : {0, 1}) {
        const auto [hz, rms] = measure(w, channel, 48000, 48000);
        EXPECT_NEAR(hz, 440.0, 1.0);
        EXPECT_NEAR(rms, 16000 / std::sqrt(2.0), 200);
    }
}

TEST_F(Cli, StereoPresetAndOtherDevices) {
    Result r = run("render --preset 'stereo fifth' --seconds 1.5 --out '" + path("s.wav") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    const Wav w = readWav(path("s.wav"));
    ASSERT_EQ(w.samples.size(), 2u * 72000);
    EXPECT_NEAR(measure(w, 0, 24000, 48000).first, 220.0, 1.0);
    EXPECT_NEAR(measure(w, 1, 24000, 48000).first, 330.0, 1.0);
    // Device 0 plays nothing of this patch: a silent file of the full length.
    r = run("render --preset 901 --seconds 0.5 --device 0 --out '" + path("d.wav") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("peak 0.0000 (-inf dBFS)"), std::string::npos) << r.out;
    EXPECT_EQ(readWav(path("d.wav")).samples.size(), 2u * 24000);
}

TEST_F(Cli, ScriptSetsKeysAtTheirTimes) {
    const std::string script = write("s.txt", "# double the pitch after one second\n"
                                              "0 rate 4000\n"
                                              "0 desktop 0 0 1279 1023   # a smaller screen\n"
                                              "0 origin 10 20\n"
                                              "1s set \"tone 440 hz\" BaseFrequencyValue 8.8\n"
                                              "1500ms set \"Tone 440 Hz\" OutputDeviceID -1 (l)\n");
    const Result r = run("render --preset 900 --seconds 2 --script '" + script + "' --out '" +
                         path("b.wav") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    const Wav w = readWav(path("b.wav"));
    ASSERT_EQ(w.samples.size(), 2u * 96000);
    EXPECT_NEAR(measure(w, 0, 12000, 24000).first, 440.0, 2.0);
    EXPECT_NEAR(measure(w, 0, 60000, 12000).first, 880.0, 4.0);
    EXPECT_GT(measure(w, 1, 60000, 12000).second, 5000); // both sides until 1.5 s
    EXPECT_LT(measure(w, 1, 84000, 12000).second, 1.0);  // then the left one only
    EXPECT_GT(measure(w, 0, 84000, 12000).second, 5000);
}

TEST_F(Cli, ProbePrintsTheRowsAsCsv) {
    const Result r = run("probe --preset 900 --samples 10 --every 5 --row 0 'Tone 440 Hz' 5");
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "sample,row,voices,k,note,primary,primarySmoothed,velocity,velocitySmoothed");
    std::vector<std::string> body;
    while (std::getline(lines, line))
        body.push_back(line);
    ASSERT_EQ(body.size(), 6u);
    const std::regex voice("(0|5),0,1,0,0,-?[0-9.e+-]+,-?[0-9.e+-]+,[0-9.e+-]+,[0-9.e+-]+");
    for (int i : {0, 1, 3, 4})
        EXPECT_TRUE(std::regex_match(body[i], voice)) << body[i];
    EXPECT_EQ(body[0].substr(body[0].find(",0,1,")), body[1].substr(body[1].find(",0,1,")));
    EXPECT_EQ(body[2], "0,5,0,,,,,,"); // a free row has no voices
    EXPECT_EQ(body[5], "5,5,0,,,,,,");
    // Row names that name nothing are refused.
    const Result bad = run("probe --preset 900 --samples 10 --row 'Nobody'");
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.err.find("'Nobody' names no row"), std::string::npos) << bad.err;
}

TEST_F(Cli, PlaysInRealTimeOnTheSilentBackend) {
    const Result r = run("play --preset 900 --seconds 0.3 --api null");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^played 0\\.[0-9] s: [0-9]+ cycles")))
        << r.out;
}

TEST_F(Cli, SettingsFileChoosesTheSoundSystemAndLatency) {
    const std::string settings =
        write("s.KVS", "\r\nProgramName    \tKalvitrope\r\n"
                       "Preferences.DesiredOutputLatency         \t80\r\n"
                       "Preferences.AudioApi                     \tnull\r\n");
    const Result r = run("play --preset 900 --seconds 0.2 --settings '" + settings + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("(desired 80 ms)"), std::string::npos) << r.out;

    // A file of another program fails with the message of the strings file asked for.
    const std::string strings =
        write("mine.txt", "[Zone_External]\r\n[27]\tNot one of ours.\r\n[28]\tx\r\n");
    const std::string other = write("o.KVS", "\r\nProgramName    \tSomethingElse\r\n");
    const Result bad =
        run("--language '" + strings + "' play --preset 900 --settings '" + other + "'");
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.err.find("settings file '" + other + "': Not one of ours."), std::string::npos)
        << bad.err;
    EXPECT_EQ(run("play --preset 900 --language zz").code, 2);
}

TEST_F(Cli, KvcConvertsAnyEncodingToTheFileFormat) {
    const std::string in =
        write("in.kvc", "## Kalvitrope Configuration (KVC) [revision B] ##\r\n"
                        "\r\n[Module_AudioOsc]\r\nName=Solo\r\nAmplitudeValue=30\r\n");
    ASSERT_EQ(run("kvc '" + in + "' --out '" + path("out.kvc") + "'").code, 0);
    const std::string out = slurp(dir / "out.kvc");
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out.substr(0, 4), std::string("\xFF\xFE#\0", 4));
    EXPECT_NE(out.find(std::string("S\0o\0l\0o\0", 8)), std::string::npos);
    ASSERT_EQ(run("kvc '" + path("out.kvc") + "' --out '" + path("again.kvc") + "'").code, 0);
    EXPECT_EQ(slurp(dir / "again.kvc"), out);
}

TEST_F(Cli, BadOptionsAreUsageErrors) {
    const std::string out = " --out '" + path("x.wav") + "'";
    const std::pair<std::string, std::string> cases[] = {
        {"", "usage"},
        {"dance", "unknown command 'dance'"},
        {"render --preset 900 --colour red" + out, "unknown option '--colour'"},
        {"render --preset 900", "render needs --out"},
        {"render --preset 900 --patch p.kvc" + out, "either --patch FILE or --preset NAME"},
        {"render" + out, "either --patch FILE or --preset NAME"},
        {"render --preset 900 --seconds -1" + out, "bad value '-1' for --seconds"},
        {"render --preset 900 --seconds abc" + out, "bad value 'abc' for --seconds"},
        {"render --preset 900 --device 9" + out, "bad value '9' for --device"},
        {"render --preset 900 --seconds 1 --seconds 2" + out, "given twice"},
        {"render --preset" + out, "'--preset' needs a value"},
        {"probe --preset 900 --row 0", "probe needs --samples"},
        {"probe --preset 900 --samples 0 --row 0", "bad value '0' for --samples"},
        {"kvc --out x.kvc", "kvc needs IN.kvc"},
        {"presets extra", "unexpected argument 'extra'"},
    };
    for (const auto& [args, message] : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << " -> " << r.err;
    }
    EXPECT_FALSE(fs::exists(path("x.wav")));
}

TEST_F(Cli, UnreadablePatchesAndBrokenScriptsFailWithTheReason) {
    const std::string out = " --out '" + path("x.wav") + "'";
    int scripts = 0;
    auto script = [&](const std::string& text) {
        return " --script '" + write("s" + std::to_string(++scripts) + ".txt", text) + "'";
    };
    const std::pair<std::string, std::string> cases[] = {
        {"render --patch '" + path("missing.kvc") + "'" + out, "cannot read patch"},
        {"render --patch '" + dir.string() + "'" + out, "cannot read patch"},
        {"kvc '" + path("missing.kvc") + "' --out '" + path("o.kvc") + "'", "cannot read patch"},
        {"render --preset 'No Such Thing'" + out, "no built-in preset 'No Such Thing'"},
        {"render --preset 900" + script("0 rate 4000\n10 jump 3\n") + out,
         "line 2: unknown command 'jump'"},
        {"render --preset 900" + script("1x rate 4000\n") + out, "line 1: bad time '1x'"},
        {"render --preset 900" + script("0 rate 7\n") + out, "not a selectable control rate"},
        {"render --preset 900" + script("0 set \"Tone 440 Hz BaseFrequencyValue 1\n") + out,
         "line 1: unterminated quoted text"},
        {"render --preset 900" + script("\n\n0 cursor 10 10\n") + out,
         "line 3: 'cursor' is not supported yet"},
        {"render --preset 900" + script("0 button left down\n") + out, "not supported yet"},
        {"render --preset 900" + script("0 midi 0 90 3C 7F\n") + out,
         "'midi' is not supported yet"},
        {"render --preset 900" + script("0 audioin 0 in.wav\n") + out, "not supported yet"},
        {"render --preset 900" + script("0 set Nobody AmplitudeValue 1\n") + out,
         "line 1: no module named 'Nobody'"},
        {"render --preset 900" + script("0 set \"Tone 440 Hz\" Volume 1\n") + out,
         "has no key 'Volume'"},
        {"render --preset 900 --script '" + path("none.txt") + "'" + out, "cannot read script"},
        {"render --preset 900 --out '" + path("no/folder/x.wav") + "'", "cannot write"},
    };
    for (const auto& [args, message] : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.code, 1) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << " -> " << r.err;
    }
    EXPECT_FALSE(fs::exists(path("x.wav")));
    // A preset of the menu whose file is not built in yet.
    for (const kv::PresetInfo& p : kv::presetTable())
        if (!kv::presetAvailable(p)) {
            const Result r = run("render --preset " + std::to_string(p.resource) + out);
            EXPECT_EQ(r.code, 1);
            EXPECT_NE(r.err.find("not built into this program yet"), std::string::npos) << r.err;
            break;
        }
    // Binary junk is a patch without modules: it renders silence.
    std::string junk(4096, '\0');
    std::mt19937 gen(3);
    for (char& c : junk)
        c = static_cast<char>(gen());
    const Result r = run("render --patch '" + write("junk.kvc", junk) + "' --seconds 0.1" + out);
    EXPECT_EQ(r.code, 0) << r.err;
}

} // namespace

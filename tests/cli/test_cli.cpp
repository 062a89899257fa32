// The headless tool as its users run it: rendered sound, probe output, patch conversion, presets
// and how it answers bad options, patches and scripts.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <vector>

#include "modules/presets.h"

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

TEST_F(Cli, PresetsListsTheBuiltInOnesInMenuOrderWithTheirSubmenus) {
    const Result r = run("presets");
    EXPECT_EQ(r.code, 0);
    // One line per built-in preset, in the table's order.
    std::string expected;
    for (const kv::PresetInfo& p : kv::presetTable())
        if (kv::presetAvailable(p)) expected += std::to_string(p.resource) + " " + p.name + " (";
    std::string numbersAndNames;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        numbersAndNames += line.substr(0, line.rfind(" (") + 2); // a name may hold " (" too
    EXPECT_EQ(numbersAndNames, expected);
    EXPECT_NE(r.out.find("900 Tone 440 Hz (example)\n"), std::string::npos);
    const std::pair<int, const char*> wanted[] = {
        {219, "219 Digital Modulation (Mouse based)\n"},
        {253, "253 Demonstration Mouse 1 (first-run demonstration)\n"},
        {226, "226 Simple Pitch and Echo (Microphone based)\n"},
    };
    for (const auto& [resource, line] : wanted) {
        if (kv::presetAvailable(*kv::findPreset(resource))) {
            EXPECT_NE(r.out.find(line), std::string::npos) << line;
        }
    }
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

TEST_F(Cli, RendersAnEffectOfAnotherModule) {
    // A silent full-scale 440 Hz tone quantised by a step function at 50 %, on the left only.
    const std::string patch =
        write("steps.kvc", "## Kalvitrope Configuration (KVC) [revision B] ##\r\n\r\n"
                           "[Module_AudioOsc]\r\nName=Tone\r\nAmplitudeControl=-[Manual]-\r\n"
                           "AmplitudeValue=100\r\nOutputDeviceID=-555 (L+R)\r\n"
                           "FrequencyControl=-[Manual]-\r\nBaseFrequencyValue=4.4\r\n"
                           "FrequencyMultiplierValue=100\r\nFrequencyControlSensitivity=100\r\n"
                           "\r\n[Module_AudioStepFunction]\r\nName=Steps\r\nInputModule=Tone\r\n"
                           "StepSizeControl=-[Manual]-\r\nStepSizeValue=50\r\n"
                           "OutputDeviceID=-1 (L)\r\n");
    const Result r =
        run("render --patch '" + patch + "' --seconds 1 --out '" + path("s.wav") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    const Wav w = readWav(path("s.wav"));
    ASSERT_EQ(w.samples.size(), 2u * 48000);
    // Steps of 500 engine units (16000 in PCM); the crest at exactly 1000 is soft-clipped.
    std::map<int, int> levels;
    for (std::size_t f = 4800; f < 48000; ++f) {
        ++levels[w.samples[2 * f]];
        ASSERT_EQ(w.samples[2 * f + 1], 0);
    }
    for (const auto& [level, count] : levels)
        EXPECT_TRUE(level == 0 || std::abs(level) == 16000 || std::abs(level) == 26289) << level;
    EXPECT_GT(levels[16000], 12000);
    EXPECT_GT(levels[-16000], 12000);
    EXPECT_NEAR(measure(w, 0, 4800, 43200).first, 440.0, 2.0);
}

TEST_F(Cli, LoadingDropsWhatTheListsDoNotOffer) {
    // An output's input list offers no mouse rows; device 42 is not among the capture devices.
    const std::string patch =
        write("drop.kvc", "## Kalvitrope Configuration (KVC) [revision B] ##\r\n\r\n"
                          "[Module_AudioOutput]\r\nName=Out\r\nInputModule=Speed\r\n"
                          "OutputDeviceID=-1 (L+R)\r\n\r\n"
                          "[Module_AudioOsc]\r\nName=Far\r\nOutputDeviceID=42 (L)\r\n"
                          "AmplitudeControl=Direction\r\n");
    const Result r = run("kvc '" + patch + "' --out '" + path("back.kvc") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    std::string text;
    for (char c : slurp(dir / "back.kvc"))
        if (c != 0) text += c; // the ASCII of the UTF-16 text
    EXPECT_NE(text.find("\r\nInputModule=\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nOutputDeviceID=-1 (L+R)\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nOutputDeviceID=-555 (L+R)\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nAmplitudeControl=Direction\r\n"), std::string::npos);
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

TEST_F(Cli, ProbesControlModulesByNameInTheirOrder) {
    // The gain runs before the control input at each control sample, so it lags it by one.
    const std::string patch =
        write("ctl.kvc", "## Kalvitrope Configuration (KVC) [revision B] ##\r\n"
                         "[Module_ControlGain]\r\nName=Double\r\n"
                         "InputSource=Level\r\nInputControlSensitivity=100\r\n"
                         "GainControl=-[Manual]-\r\nGainValue=200\r\n"
                         "[Module_ControlInput]\r\nName=Level\r\n"
                         "InputSource=-[Manual]-\r\nInputValue=50\r\n");
    const Result r =
        run("probe --patch '" + patch + "' --samples 13 --every 12 --row Double Level");
    ASSERT_EQ(r.code, 0) << r.err;
    // sample,row,voices,k,note,primary,primarySmoothed,velocity,velocitySmoothed
    const std::regex expected(".*\n"
                              "0,0,1,0,0,0,[^,]+,127,[^,]+\n"
                              "0,1,1,0,0,500,[^,]+,127,[^,]+\n"
                              "12,0,1,0,0,1000,[^,]+,127,[^,]+\n"
                              "12,1,1,0,0,500,[^,]+,127,[^,]+\n");
    EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
}

TEST_F(Cli, ProbeFollowsAScriptedMouse) {
    const std::string script = write("mouse.txt", "0 cursor 500 500\n"
                                                  "10ms cursor 510 500\n"
                                                  "20ms cursor 520 500\n"
                                                  "30ms cursor 530 500\n"
                                                  "40ms button left down\n"
                                                  "60ms wheel vertical 120\n");
    const Result r = run("probe --preset 900 --script '" + script +
                         "' --samples 4801 --every 480 --row Direction Speed 'Mouse Button Left' "
                         "'Vertical Scrollwheel Position'");
    ASSERT_EQ(r.code, 0) << r.err;
    // (sample, row) -> voices and primary value
    std::map<std::pair<int, int>, std::pair<int, double>> rows;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        int sample = 0, row = 0, voices = 0;
        double primary = 0;
        if (std::sscanf(line.c_str(), "%d,%d,%d,%*d,%*d,%lf", &sample, &row, &voices, &primary) >=
            3)
            rows[{sample, row}] = {voices, voices ? primary : 0.0};
    }
    ASSERT_EQ(rows.size(), 11u * 4);
    auto at = [&](int sample, int row) { return rows[std::make_pair(sample, row)]; };
    // Still at first; moving right from 10 ms on; the direction is set once 20 pixels are done.
    EXPECT_EQ(at(0, 131).second, 0);
    EXPECT_GT(at(480, 131).second, 0);
    EXPECT_EQ(at(480, 128).second, 0);
    EXPECT_NEAR(at(4800, 128).second, -500, 1);
    // The button is a gate from the moment it is pressed; the wheel notch lowers its row.
    EXPECT_EQ(at(1440, 150), std::make_pair(0, 0.0));
    EXPECT_EQ(at(1920, 150), std::make_pair(1, 1000.0));
    EXPECT_EQ(at(2400, 144).second, 0);
    EXPECT_LT(at(4800, 144).second, -70);
    EXPECT_GT(at(4800, 144).second, -80);
}

TEST_F(Cli, ProbesASequenceByNameAndItsTextFromAScript) {
    const std::string patch =
        write("seq.kvc", "## Kalvitrope Configuration (KVC) [revision B] ##\r\n\r\n"
                         "[Module_ControlSequence]\r\nName=Steps\r\n"
                         "BPMControl=-[Manual]-\r\nBPMValue=60\r\n"
                         "NoteLengthControl=-[Manual]-\r\nNoteLengthValue=500\r\n"
                         "NoteVelocityControl=-[Manual]-\r\nNoteVelocityValue=127\r\n"
                         "TransposeControl=-[Manual]-\r\nTuningControl=-[Manual]-\r\n"
                         "SequenceValue=a4\r\nRecordingSourceID=-555\r\n");
    const std::string script = write("seq.txt", "1s set \"Steps\" SequenceValue C5\n");
    const Result r = run("probe --patch '" + patch + "' --script '" + script +
                         "' --samples 96001 --every 12000 --row Steps");
    ASSERT_EQ(r.code, 0) << r.err;
    // One step per second, on control sample 4000 (sample 47988); each note lasts 500 ms.
    const std::string number = "[0-9.e+-]+";
    auto line = [&](const std::string& head) {
        std::smatch m;
        return std::regex_search(r.out, m, std::regex("\n(" + head + "[^\n]*)")) ? m.str(1) : "";
    };
    EXPECT_TRUE(std::regex_match(line("36000,"), std::regex("36000,[0-9]+,0,,,,,,")));
    EXPECT_TRUE(std::regex_match(
        line("48000,"), std::regex("48000,[0-9]+,1,0,57,439\\.9[0-9]+," + number + ",127,.*")))
        << r.out;
    EXPECT_TRUE(std::regex_match(line("72000,"), std::regex("72000,[0-9]+,0,,,,,,")));
    EXPECT_TRUE(std::regex_match(line("96000,"), std::regex("96000,[0-9]+,1,0,60,.*"))) << r.out;
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
                       "MillisecondsPerChunk      \t1e308\r\n"
                       "Preferences.AudioApi                     \tnull\r\n");
    const Result r = run("play --preset 900 --seconds 0.2 --settings '" + settings + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("(desired 80 ms)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 1000.000 ms per cycle"), std::string::npos) << r.out; // limited

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
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
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
        {"render --preset 900" + script("\n\n0 cursor 1920 10\n") + out,
         "line 3: cursor 1920 10 lies outside the desktop 0 0 1919 1079"},
        {"render --preset 900" + script("0 desktop 0 0 99 99\n1 cursor 100 0\n") + out,
         "line 2: cursor 100 0 lies outside the desktop 0 0 99 99"},
        {"render --preset 900" + script("0 wheel vertical 40000\n") + out,
         "wheel delta 40000 is out of range"},
        {"render --preset 900" + script("0 midi 99 90 3C 7F\n") + out, "line 1: no MIDI input 99"},
        {"render --preset 900" + script("0 audioin 0 \"" + path("none.wav") + "\"\n") + out,
         "line 1: cannot open"},
        {"render --preset 900" + script("0 audioin 0 \"" + write("t.wav", "RIFF") + "\"\n") + out,
         "not a WAV file"},
        {"render --preset 900" + script("0 set Nobody AmplitudeValue 1\n") + out,
         "line 1: no module named 'Nobody'"},
        {"render --preset 900" + script("0 set \"Tone 440 Hz\" Volume 1\n") + out,
         "has no key 'Volume'"},
        {"render --preset 900 --script '" + path("none.txt") + "'" + out, "cannot read script"},
        // Devices and pipes never end (or never start): refused before they are read.
        {"render --preset 900 --script /dev/zero" + out, "/dev/zero': not a regular file"},
        {"render --preset 900 --script '" + fifo + "'" + out, "not a regular file"},
        {"render --patch '" + fifo + "'" + out, "cannot read patch '" + fifo + "': not a regular"},
        {"kvc /dev/zero --out '" + path("o.kvc") + "'", "not a regular file"},
        {"render --preset 900" + script("0 audioin 0 /dev/zero\n") + out,
         "line 1: '/dev/zero': not a regular file"},
        // An end line sets the length only within the limit of --seconds.
        {"render --preset 900" + script("68719476736 end\n") + out, "beyond the 86400 seconds"},
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

// A full disk under standard output is a failure, not a success.
TEST_F(Cli, AFailedWriteToStandardOutputFails) {
    for (const std::string args : {"presets", "probe --preset 900 --samples 20000 --row 0",
                                   "--help", "render --preset 900 --seconds 0.1 --out -"}) {
        const std::string cmd =
            std::string("'") + KV_CLI_PATH + "' " + args + " >/dev/full 2>'" + path("stderr") + "'";
        const int status = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << args;
        EXPECT_NE(slurp(dir / "stderr").find("No space left on device"), std::string::npos)
            << args << " -> " << slurp(dir / "stderr");
    }
}

// 24-bit and float WAVs hold the same samples as the 16-bit one, in files or streamed.
TEST_F(Cli, RendersWiderSampleFormats) {
    ASSERT_EQ(run("render --preset 900 --seconds 0.2 --out '" + path("16.wav") + "'").code, 0);
    const Wav w16 = readWav(path("16.wav"));
    ASSERT_EQ(w16.samples.size(), 2u * 9600);
    auto u16 = [](const std::string& b, std::size_t i) {
        return uint32_t(uint8_t(b[i]) | uint8_t(b[i + 1]) << 8);
    };
    auto u32 = [&](const std::string& b, std::size_t i) { return u16(b, i) | u16(b, i + 2) << 16; };
    struct Case {
        const char* format;
        uint32_t tag, fmtSize, width, dataAt;
    };
    for (const Case c : {Case{"s24", 1, 16, 3, 44}, Case{"f32", 3, 18, 4, 58}}) {
        const std::string file = path(std::string(c.format) + ".wav");
        const Result r = run("render --preset 900 --seconds 0.2 --format " + std::string(c.format) +
                             " --out '" + file + "'");
        ASSERT_EQ(r.code, 0) << r.err;
        const std::string b = slurp(file);
        const uint32_t frames = 9600, data = frames * 2 * c.width;
        ASSERT_EQ(b.size(), c.dataAt + data) << c.format;
        EXPECT_EQ(b.substr(0, 4) + b.substr(8, 8), "RIFFWAVEfmt ");
        EXPECT_EQ(u32(b, 4), b.size() - 8);
        EXPECT_EQ(u32(b, 16), c.fmtSize);
        EXPECT_EQ(u16(b, 20), c.tag);
        EXPECT_EQ(u16(b, 22), 2u);
        EXPECT_EQ(u32(b, 24), 48000u);
        EXPECT_EQ(u32(b, 28), 48000u * 2 * c.width);
        EXPECT_EQ(u16(b, 32), 2 * c.width);
        EXPECT_EQ(u16(b, 34), 8 * c.width);
        if (c.tag == 3) { // no extension bytes; the fact chunk counts the frames
            EXPECT_EQ(u16(b, 36), 0u);
            EXPECT_EQ(b.substr(38, 4), "fact");
            EXPECT_EQ(u32(b, 42), 4u);
            EXPECT_EQ(u32(b, 46), frames);
        }
        EXPECT_EQ(b.substr(c.dataAt - 8, 4), "data");
        EXPECT_EQ(u32(b, c.dataAt - 4), data);
        for (std::size_t i = 0; i < w16.samples.size(); ++i) {
            const std::size_t at = c.dataAt + i * c.width;
            if (c.tag == 1) {
                const int32_t v = int32_t((u16(b, at) | uint32_t(uint8_t(b[at + 2])) << 16) << 8);
                ASSERT_EQ(v >> 8, w16.samples[i] * 256) << i;
            } else {
                ASSERT_EQ(std::bit_cast<float>(u32(b, at)), w16.samples[i] / 32768.0f) << i;
            }
        }
        EXPECT_EQ(
            run("render --preset 900 --seconds 0.2 --format " + std::string(c.format) + " --out -")
                .out,
            b);
    }
    EXPECT_EQ(run("render --preset 900 --format u8 --out '" + path("8.wav") + "'").code, 2);
}

// A settings file's mouse origin places the positions around it, and its oscillator minimum
// holds a voice up, as in the program.
TEST_F(Cli, SettingsFileMovesTheMouseOriginAndRaisesTheOscillatorMinimum) {
    const std::string settings =
        write("o.KVS", "\r\nProgramName    \tKalvitrope\r\n"
                       "Preferences.MouseOrigin.x                \t300\r\n"
                       "Preferences.MouseOrigin.y                \t-200\r\n"
                       "Preferences.OscillatorFrequencyMinimum   \t1000\r\n");
    const Result r = run("render --preset 900 --seconds 0.5 --settings '" + settings + "' --out '" +
                         path("m.wav") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NEAR(measure(readWav(path("m.wav")), 0, 0, 24000).first, 1000.0, 4.0); // not 440
    // From the corner to the desktop's centre moved by the origin (the file holds -y).
    const std::string script = write("m.txt", "0 cursor 0 0\n10ms cursor 1260 740\n");
    auto positions = [&](const std::string& extra) {
        const Result r = run("probe --preset 900 --script '" + script +
                             "' --samples 961 --every 960 --row 'Horizontal Position' "
                             "'Vertical Position'" +
                             extra);
        EXPECT_EQ(r.code, 0) << r.err;
        double x = 1e9, y = 1e9;
        std::sscanf(r.out.c_str() + r.out.find("\n960,"), "\n960,%*d,1,0,%*d,%lf", &x);
        std::sscanf(r.out.c_str() + r.out.rfind("\n960,"), "\n960,%*d,1,0,%*d,%lf", &y);
        return std::make_pair(x, y);
    };
    const auto [x, y] = positions(" --settings '" + settings + "'");
    EXPECT_NEAR(x, 0, 2);
    EXPECT_NEAR(y, 0, 2);
    EXPECT_GT(positions("").first, 100); // without the settings, right of the centre
}

// Help, version, API names, messages about empty and overfull patches, and where a WAV goes.
TEST_F(Cli, Manners) {
    std::string many = "## Kalvitrope Configuration (KVC) [revision B] ##\r\n";
    for (int i = 0; i < 130; ++i)
        many += "[Module_AudioOsc]\r\nName=Osc " + std::to_string(i) + "\r\n";
    const std::string manyIn = write("many.kvc", many);
    const std::string emptyIn = write("empty.kvc", "## just a header ##\r\nKey=1\r\n");
    struct Case {
        std::string args;
        int code;
        std::vector<std::string> out, err;
    };
    const Case cases[] = {
        {"--version", 0, {"Kalvitrope v1.1"}, {}},
        {"--help",
         0,
         {"render", "probe", "default 10", "-1 the default device", "jack", "0..154",
          "Preferences.MouseOrigin.x"},
         {}},
        {"render --preset 900 --help",
         0,
         {"usage: kalvitrope-cli render", "default 10", "s24", "Preferences.ControlDataSampleRate"},
         {}},
        {"help play", 0, {"auto", "pulse", "alsa", "null"}, {}},
        {"probe --help", 0, {"0..154", "@SUBTYPE"}, {}},
        {"kvc --help", 0, {"usage: kalvitrope-cli kvc"}, {}},
        {"play --preset 900 --api Bogus",
         2,
         {},
         {"one of: auto, jack, pulse, alsa, null", "--help"}},
        {"play --preset 900 --api NULL --seconds 0.2", 0, {"start-up", "late"}, {}},
        {"kvc '" + emptyIn + "' --out '" + path("e.kvc") + "'", 1, {}, {"no modules found"}},
        {"kvc '" + manyIn + "' --out '" + path("m.kvc") + "'", 0, {}, {"2 modules were left out"}},
        {"render --preset 900 --seconds 0.1 --out -", 0, {"RIFF"}, {"rendered 0.100 s"}},
        {"render --preset 900 --seconds 0.1 --out /dev/null", 1, {}, {"not a regular file"}},
    };
    for (const Case& c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args << " -> " << r.err;
        for (const std::string& text : c.out)
            EXPECT_NE(r.out.find(text), std::string::npos) << c.args << " lacks " << text;
        for (const std::string& text : c.err)
            EXPECT_NE(r.err.find(text), std::string::npos) << c.args << " -> " << r.err;
    }
    EXPECT_FALSE(fs::exists(path("e.kvc")));
    EXPECT_EQ(run("kvc '" + manyIn + "' --out '" + path("m.kvc") + "'").err.find("left out"),
              run("kvc '" + manyIn + "' --out '" + path("m.kvc") + "'").err.rfind("left out"));
    // The streamed WAV is the same as the file.
    ASSERT_EQ(run("render --preset 900 --seconds 0.1 --out '" + path("f.wav") + "'").code, 0);
    EXPECT_EQ(run("render --preset 900 --seconds 0.1 --out -").out, slurp(dir / "f.wav"));
}

// Every command the program's usage lists answers --help, and the program's help holds it.
TEST_F(Cli, EveryListedCommandHasItsHelp) {
    const std::string usage = run("").err;
    const std::string all = run("help").out;
    std::istringstream lines(usage.substr(usage.find("commands:\n") + 10));
    int commands = 0;
    for (std::string line; std::getline(lines, line) && !line.empty(); ++commands) {
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        const Result r = run(name + " --help");
        EXPECT_EQ(r.code, 0) << name;
        const std::string head = "usage: kalvitrope-cli " + name;
        EXPECT_EQ(r.out.rfind(head, 0), 0u) << name << ": " << r.out;
        EXPECT_NE(all.find(r.out.substr(0, r.out.find("  --language"))), std::string::npos) << name;
    }
    EXPECT_EQ(commands, 6);
}

// Sound-card and MIDI inputs driven by the script, and a wave writer recording what a device plays.
class CliInputs : public Cli {
  protected:
    const std::string kHeader = "## Kalvitrope Configuration (KVC) [revision B] ##\n";
    // 16-bit mono 48000 Hz WAV of a sine at `hz`, amplitude `level`.
    std::string sineWav(const std::string& name, double hz, double level, double seconds) const {
        const auto frames = static_cast<uint32_t>(seconds * 48000);
        std::string b = "RIFF....WAVEfmt ";
        auto put = [&](uint32_t v, int bytes) {
            for (int i = 0; i < bytes; ++i)
                b.push_back(static_cast<char>(v >> (8 * i)));
        };
        put(16, 4), put(1, 2), put(1, 2), put(48000, 4), put(96000, 4), put(2, 2), put(16, 2);
        b += "data";
        put(2 * frames, 4);
        for (uint32_t f = 0; f < frames; ++f)
            put(static_cast<uint16_t>(std::lround(level * std::sin(2 * M_PI * hz * f / 48000))), 2);
        return write(name, b);
    }
};

TEST_F(CliInputs, MidiKeysPlayAnOscillator) {
    const std::string patch = write(
        "m.kvc",
        kHeader + "[Module_ControlMIDIInput]\nName=Keys\nInputDeviceID=0\n"
                  "[Module_AudioOsc]\nName=Voice\nAmplitudeControl=-[Manual]-\nAmplitudeValue=50\n"
                  "FrequencyControl=Keys\nFrequencyControlSensitivity=100\n"
                  "OutputDeviceID=-1 (L+R)\n");
    // Key 57 (A4) from 0 to 1 s, then key 69 an octave up on another channel.
    const std::string script = write("m.txt", "0 midi 0 90 39 64\n1s midi 0 80 39 00\n"
                                              "1s midi 0 93 45 64\n");
    const Result r = run("render --patch '" + patch + "' --seconds 2 --script '" + script +
                         "' --out '" + path("m.wav") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    const Wav w = readWav(path("m.wav"));
    ASSERT_EQ(w.samples.size(), 2u * 96000);
    EXPECT_NEAR(measure(w, 0, 12000, 24000).first, 440.0, 2.0);
    EXPECT_NEAR(measure(w, 1, 60000, 24000).first, 880.0, 4.0);
}

// The script names its sound file by a bare name: the file lies beside the script.
TEST_F(CliInputs, AudioInputPlaysTheFileAndAWaveWriterRecordsIt) {
    sineWav("in.wav", 1000.0, 16000.0, 2.0);
    const std::string take = path("take.wav");
    const std::string patch =
        write("a.kvc",
              kHeader +
                  "[Module_AudioInput]\nName=Line "
                  "In\nInputDeviceID=2\nGainControl=-[Manual]-\nGainValue=100\n"
                  "[Module_AudioOutput]\nName=Out\nInputModule=Line In\nOutputDeviceID=-1 (L+R)\n"
                  "[Module_AudioWaveWriter]\nName=Tape\nOutputDeviceID=-1 (L+R)\nDoAppend=0\n"
                  "IsRecording=1\nFilePath=" +
                  take + "\n");
    const Result r =
        run("render --patch '" + patch + "' --seconds 1.5 --script '" +
            write("a.txt", "0 audioin 2 in.wav\n") + "' --out '" + path("a.wav") + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    for (const std::string& file : {path("a.wav"), take}) {
        const Wav w = readWav(file); // also checks the two sizes in the header
        ASSERT_GE(w.samples.size(), 2u * 60000) << file;
        const auto [hz, rms] = measure(w, 0, 24000, 24000);
        EXPECT_NEAR(hz, 1000.0, 5.0) << file;
        EXPECT_NEAR(rms, 16000.0 / 32767 * 1000 * 32 / std::sqrt(2.0), 300.0) << file;
    }
}

} // namespace

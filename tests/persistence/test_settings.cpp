// The settings file: its exact bytes, every value form, the name and version checks, the older
// binary form, where the file lies, and a failed save leaving the old file.
#include <gtest/gtest.h>

#include "common/bound_user.h"
#include "engine/engine_settings.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "engine/engine_state.h"
#include "persistence/language.h"
#include "persistence/paths.h"
#include "persistence/settings.h"
#include "persistence/text.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct TempDir {
    fs::path path =
        fs::temp_directory_path() / ("kv_settings_" + std::to_string(std::random_device{}()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

// Records what the settings component tells and asks; answers questions with `answer`.
struct Dialogue {
    std::vector<std::string> told, asked;
    bool answer = false;
    SettingsMessages messages() {
        SettingsMessages m;
        m.inform = [this](std::string_view text, std::string_view) { told.emplace_back(text); };
        m.ask = [this](std::string_view text, std::string_view) {
            asked.emplace_back(text);
            return answer;
        };
        return m;
    }
};

PathEnvironment testEnvironment() {
    PathEnvironment env;
    env.programFolder = "/home/user/kalvitrope";
    env.variables = {{"HOME", "/home/user"}};
    return env;
}

// A settings text file: the header, then the given lines, as UTF-16 with its mark.
std::string textFile(const std::string& lines, const std::string& version = "1.1") {
    return encodeUtf16Le("\r\nProgramName    \tKalvitrope\r\nProgramVersion \t" + version + "\r\n" +
                         lines);
}

struct SettingsFile : ::testing::Test {
    Dialogue dialogue;
    Settings s;
    SettingsLoadResult read(std::string_view bytes, bool explicitPath = false) {
        return readSettings(bytes, s, dialogue.messages(), explicitPath, testEnvironment());
    }
};

TEST_F(SettingsFile, WritesTheDefaultsByteForByte) {
    const std::string fixture = readBytes(KV_SOURCE_DIR "/tests/data/settings_defaults.KVS");
    ASSERT_FALSE(fixture.empty());
    EXPECT_EQ(settingsBytes(Settings{}), fixture);
    // And the fixture reads back as the defaults.
    EXPECT_EQ(read(fixture).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(s, Settings{});
}

TEST_F(SettingsFile, ReadsEveryValueForm) {
    const std::string lines = "Preferences.ShowMouseStatus              \tEnabled\r\n"
                              "Preferences.Use3DMouseStatus             \tyes please\r\n"
                              "Preferences.CheckVersionOnStartup        \t  nO  \r\n"
                              "Preferences.StartSoundingOnStartup       \t+\r\n"
                              "preferences.makenosound                  =yes\r\n"
                              "Preferences.WrapMouseCursorAtScreenEdges\tno padding\r\n"
                              "WindowPosition.Top   \t12px\r\n"
                              "WindowPosition.Left  \t-3.9 units\r\n"
                              "WindowPosition.Right \t1.5e3\r\n"
                              "WindowState          \tnone\r\n"
                              "Preferences.DesiredInputLatency          \t   \r\n"
                              "Preferences.MouseOrigin.y                \t7\r\n"
                              "Preferences.Colours.DialogBackground        \t #00ff80 \r\n"
                              "Preferences.Colours.DialogText              \t10A0C0\r\n"
                              "Preferences.Colours.ModuleBackground        \tpink\r\n"
                              "Preferences.OscillatorFrequencyMinimum   \t2.5 Hz\r\n"
                              "Preferences.ControlDataSampleRate        \t1500.75\r\n"
                              "MillisecondsPerChunk      \t2.25\r\n"
                              "Defaults.SliderSignLast\t-\r\n"
                              "Language.Choice         \tde\r\n"
                              "Preferences.AudioApi                     \tJACK\r\n";
    ASSERT_EQ(read(textFile(lines)).status, SettingsLoadStatus::Loaded);
    EXPECT_TRUE(dialogue.told.empty());
    EXPECT_TRUE(s.showMouseStatus);
    EXPECT_FALSE(s.use3DMouseStatus); // two words are no yes word
    EXPECT_FALSE(s.checkVersionOnStartup);
    EXPECT_TRUE(s.startSoundingOnStartup);
    EXPECT_TRUE(s.makeNoSound);                  // padded key, "=" separator, any case
    EXPECT_TRUE(s.wrapMouseCursorAtScreenEdges); // key without its padding is not found
    EXPECT_EQ(s.windowTop, 12);
    EXPECT_EQ(s.windowLeft, -3);
    EXPECT_EQ(s.windowRight, 1500);
    EXPECT_EQ(s.windowState, 0);          // present without digits reads as 0
    EXPECT_EQ(s.desiredInputLatency, 20); // only blanks: absent, the default stays
    EXPECT_EQ(s.mouseOriginY, -7);        // stored negated
    EXPECT_EQ(s.colour(UiColour::DialogBackground), (Colour{0, 255, 128}));
    EXPECT_EQ(s.colour(UiColour::DialogText), (Colour{0x10, 0xA0, 0xC0}));
    EXPECT_EQ(s.colour(UiColour::ModuleBackground), (Colour{0, 0, 0}));
    EXPECT_EQ(s.oscillatorFrequencyMinimum, 2.5);
    EXPECT_EQ(s.controlDataSampleRate, 1500.75); // written whole, read as a real
    EXPECT_EQ(s.millisecondsPerChunk, 2.25);
    EXPECT_TRUE(s.sliderSignNegative);
    EXPECT_EQ(s.languageChoice, "de");
    EXPECT_EQ(s.audioApi, "jack");

    // Big-endian UTF-16 reads by its mark.
    std::string big = textFile("Preferences.MouseOrigin.x                \t-9");
    for (std::size_t i = 0; i + 1 < big.size(); i += 2)
        std::swap(big[i], big[i + 1]);
    ASSERT_EQ(read(big).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(s.mouseOriginX, -9);

    // The same keys in a UTF-8 file; unknown sound systems read as auto.
    ASSERT_EQ(read("\r\nProgramName    \tKalvitrope\r\nPreferences.AudioApi                     "
                   "\tcoreaudio\r\nDefaults.SliderSignLast\tyes")
                  .status,
              SettingsLoadStatus::Loaded);
    EXPECT_EQ(s.audioApi, "auto");
    EXPECT_FALSE(s.sliderSignNegative);

    // A tab wins over an earlier "=", the first of two lines wins, keys match only at a line start.
    ASSERT_EQ(read(textFile("Preferences.MouseOrigin.x                =1\r\n"
                            "Preferences.MouseOrigin.x                \t2\r\n"
                            "Preferences.MouseOrigin.x                \t3\r\n"
                            " WindowState          \t4\r\n"
                            "xWindowState          \t5"))
                  .status,
              SettingsLoadStatus::Loaded);
    EXPECT_EQ(s.mouseOriginX, 2);
    EXPECT_EQ(s.windowState, 0);
}

TEST_F(SettingsFile, WhatIsWrittenReadsBackAndPathsStayPortable) {
    Settings w;
    w.languageChoice = "Other";
    w.languageStringsFilePath = "lang\\mine.txt";
    w.windowTop = -20;
    w.windowRight = 1920;
    w.windowState = 3;
    w.programHasRunPreviously = true;
    w.millisecondsPerChunk = 3;
    w.sliderSignNegative = true;
    w.kvcPath = "%HOME%\\patches\\a.kvc";
    w.minimiseOnEsc = true;
    w.colour(UiColour::ProgressBarForeground) = {1, 2, 3};
    w.mouseOriginX = 5;
    w.mouseOriginY = -40;
    w.desiredOutputLatency = 80;
    w.controlDataSampleRate = 2000;
    w.oscillatorFrequencyMinimum = 0.25;
    w.realtimePriorityForMainThread = true;
    w.systemTrayOnlyWhenMinimised = false;
    w.audioApi = "pulse";
    ASSERT_EQ(read(settingsBytes(w)).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(s, w);

    // A full native path read from a file is kept in the portable form and expands back.
    const std::string full = "/home/user/music/take.wav";
    read(textFile("Defaults.WaveWriterPath\t" + full));
    EXPECT_EQ(s.waveWriterPath.find('/'), std::string::npos) << s.waveWriterPath;
    EXPECT_EQ(fs::path(expandPath(s.waveWriterPath, testEnvironment())).lexically_normal(), full);
}

TEST_F(SettingsFile, NameAndVersionChecks) {
    const std::string notOurs(libraryString(27));
    // Too short, another program's, a wrong letter case: defaults and the message.
    for (const std::string& bytes :
         {std::string("\xFF\xFE\r\0\n\0", 6),
          encodeUtf16Le("\r\nProgramName    \tOtherSynth\r\n"
                        "Preferences.MakeNoSound                  \tYes"),
          encodeUtf16Le("\r\nProgramName    \tkalvitrope\r\n")}) {
        dialogue.told.clear();
        EXPECT_EQ(read(bytes).status, SettingsLoadStatus::NotSettingsFile);
        EXPECT_TRUE(read(bytes).wantsLanguageChoice());
        EXPECT_EQ(dialogue.told, std::vector<std::string>(2, notOurs));
        EXPECT_EQ(s, Settings{});
    }

    const std::string line = "Preferences.MakeNoSound                  \tYes";
    // 1.1 with a third number loads without a question.
    EXPECT_EQ(read(textFile(line, "1.1.7")).status, SettingsLoadStatus::Loaded);
    EXPECT_TRUE(dialogue.asked.empty());
    EXPECT_TRUE(s.makeNoSound);
    // 1.2 asks; No keeps the defaults, Yes loads.
    EXPECT_EQ(read(textFile(line, "1.2")).status, SettingsLoadStatus::NewerDeclined);
    EXPECT_EQ(dialogue.asked, std::vector<std::string>{std::string(libraryString(26))});
    EXPECT_FALSE(s.makeNoSound);
    EXPECT_FALSE(read(textFile(line, "1.2")).wantsLanguageChoice());
    dialogue.answer = true;
    EXPECT_EQ(read(textFile(line, "1.2")).status, SettingsLoadStatus::Loaded);
    EXPECT_TRUE(s.makeNoSound);
}

// The older binary form, written field by field.
struct LegacyBytes {
    std::string b =
        std::string("\x7C\x55\xD3\x92\x6E\x94\x45\x48\xA5\x51\xF5\xF1\xD0\xAF\xE4\x69", 16);
    LegacyBytes& u8(int v) { return b += char(v), *this; }
    LegacyBytes& i32(int32_t v) {
        for (int i = 0; i < 4; ++i)
            b += char(uint32_t(v) >> (8 * i));
        return *this;
    }
    LegacyBytes& real(double v) {
        uint64_t u = std::bit_cast<uint64_t>(v);
        for (int i = 0; i < 8; ++i)
            b += char(u >> (8 * i));
        return *this;
    }
    LegacyBytes& text(const std::string& t) {
        const std::string units = t.empty() ? std::string(2, '\0') : encodeUtf16Le(t, false);
        i32(int32_t(units.size()));
        return b += units, *this;
    }
    LegacyBytes& rgb(int r, int g, int bl) { return u8(r).u8(g).u8(bl).u8(0); }
};

LegacyBytes legacyFile(int major, int minor) {
    LegacyBytes l;
    l.text("Kalvitrope").i32(major).i32(minor);
    l.b += std::string(16, 'x');
    l.u8(1).text("kept").u8(3).u8(0);            // unnamed byte and text, language 3
    l.u8(1).u8(0).u8(1).u8(1).u8(0).u8(9).u8(1); // tray flags, skipped byte, Windows colours
    l.i32(10).i32(20).i32(30).i32(40).i32(2);    // left, top, right, bottom, state
    l.u8(1).u8(1).u8(0).u8(0).u8(0).u8(0).u8(1);
    l.text("C:\\lang.txt");
    l.u8(0).u8(0).u8(1).u8(0);
    l.i32(70).i32(15);
    l.text("w.wav").text("c.kvc").text("");
    for (int i = 0; i < 18; ++i)
        l.rgb(i, i, i);
    l.real(8000).real(2.5).u8(0).u8(0).u8(1).u8(1);
    l.rgb(200, 201, 202).rgb(250, 251, 252).text("auto.kvc").u8(0).u8(0).u8(1);
    return l;
}

TEST_F(SettingsFile, ReadsTheOlderBinaryForm) {
    const std::string whole = legacyFile(1, 1).b;
    SettingsLoadResult r = read(whole);
    ASSERT_EQ(r.status, SettingsLoadStatus::Loaded);
    EXPECT_TRUE(r.legacy);
    EXPECT_EQ(languageFromChoice(s.languageChoice), 3);
    EXPECT_TRUE(s.systemTrayIconEnabled);
    EXPECT_FALSE(s.systemTrayOnlyWhenMinimised);
    EXPECT_TRUE(s.useWindowsColours);
    EXPECT_EQ(s.windowLeft, 10);
    EXPECT_EQ(s.windowTop, 20);
    EXPECT_EQ(s.windowState, 2);
    EXPECT_TRUE(s.minimiseOnEsc);
    EXPECT_TRUE(s.startSoundingOnStartup);
    EXPECT_EQ(s.languageStringsFilePath, "C:\\lang.txt");
    EXPECT_TRUE(s.makeNoSound);
    EXPECT_FALSE(s.showMouseStatus);
    EXPECT_EQ(s.desiredOutputLatency, 70);
    EXPECT_EQ(s.desiredInputLatency, 15);
    EXPECT_EQ(s.kvcPath, "c.kvc");
    EXPECT_EQ(s.kvcFolderPath, ""); // one NUL reads as empty
    // The pair after the disabled colours replaces the focused ones.
    EXPECT_EQ(s.colour(UiColour::ButtonFocusedBackground), (Colour{12, 12, 12}));
    EXPECT_EQ(s.colour(UiColour::ButtonInactiveText), (Colour{15, 15, 15}));
    EXPECT_EQ(s.colour(UiColour::ModuleDropdownText), (Colour{17, 17, 17}));
    EXPECT_EQ(s.controlDataSampleRate, 8000);
    EXPECT_EQ(s.millisecondsPerChunk, 2.5);
    EXPECT_TRUE(s.realtimePriorityForMainThread);
    EXPECT_TRUE(s.sliderSignNegative);
    EXPECT_EQ(s.colour(UiColour::ProgressBarForeground), (Colour{250, 251, 252}));
    EXPECT_EQ(s.autoSavePath, "auto.kvc");
    EXPECT_TRUE(s.doNotAskAboutInstallation);
    EXPECT_FALSE(s.doFastMouseStatus);

    // Cut inside the latencies: what came before is kept, the rest keeps its defaults.
    const std::size_t cut = whole.find(std::string("\x46\0\0\0", 4)) + 6;
    ASSERT_EQ(read(whole.substr(0, cut)).status, SettingsLoadStatus::Loaded);
    EXPECT_TRUE(s.makeNoSound);
    EXPECT_EQ(s.desiredOutputLatency, 70);
    EXPECT_EQ(s.desiredInputLatency, 20);
    EXPECT_EQ(s.kvcPath, "");

    // A newer version asks (main strings) unless the file was named explicitly.
    EXPECT_EQ(read(legacyFile(1, 2).b).status, SettingsLoadStatus::NewerDeclined);
    EXPECT_EQ(dialogue.asked, std::vector<std::string>{std::string(languageString(196))});
    EXPECT_EQ(s, Settings{});
    EXPECT_EQ(read(legacyFile(2, 0).b, true).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(dialogue.asked.size(), 1u);

    // A text keeps its first line without end blanks, so it is written as it was read.
    LegacyBytes broken;
    broken.text("Kalvitrope").i32(1).i32(1).b += std::string(16, 'x');
    broken.u8(0).text("").u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0);
    broken.i32(0).i32(0).i32(0).i32(0).i32(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0);
    broken.text("lang.txt \t\r\nmore");
    ASSERT_EQ(read(broken.b).status, SettingsLoadStatus::Loaded);
    const Settings first = s;
    EXPECT_EQ(first.languageStringsFilePath, "lang.txt");
    read(settingsBytes(first));
    EXPECT_EQ(s, first);

    // Another program's name, or a length beyond the limit.
    LegacyBytes other;
    other.text("Purlwheel");
    EXPECT_EQ(read(other.b).status, SettingsLoadStatus::NotSettingsFile);
    LegacyBytes huge;
    huge.i32(2000000).b += std::string(64, 'K');
    EXPECT_EQ(read(huge.b).status, SettingsLoadStatus::NotSettingsFile);
}

// Figures far out of range (a hand-edited or damaged file) are limited where they are read, so
// that the engine never converts an out-of-range rate to an integer.
TEST_F(SettingsFile, LimitsTheRateAndChunkFiguresInBothForms) {
    const struct {
        double rate, chunk, wantRate, wantChunk;
    } cases[] = {{1e308, 1e308, 48000, 1000},
                 {18446744073709551616.0, -3, 48000, 2},
                 {-5, 0, 4000, 2},
                 {250, 2.5, 250, 2.5}};
    for (const auto& c : cases) {
        char lines[160];
        std::snprintf(lines, sizeof lines,
                      "MillisecondsPerChunk      \t%.17g\r\nPreferences.ControlDataSampleRate"
                      "        \t%.17g\r\n",
                      c.chunk, c.rate);
        ASSERT_EQ(read(textFile(lines)).status, SettingsLoadStatus::Loaded);
        EXPECT_EQ(s.controlDataSampleRate, c.wantRate) << c.rate;
        EXPECT_EQ(s.millisecondsPerChunk, c.wantChunk) << c.chunk;

        std::string legacy = legacyFile(1, 1).b;
        const std::size_t at = legacy.find(LegacyBytes{}.real(8000).b.substr(16));
        ASSERT_NE(at, std::string::npos);
        legacy.replace(at, 16, LegacyBytes{}.real(c.rate).real(c.chunk).b.substr(16));
        ASSERT_EQ(read(legacy).status, SettingsLoadStatus::Loaded);
        EXPECT_EQ(s.controlDataSampleRate, c.wantRate) << c.rate;
        EXPECT_EQ(s.millisecondsPerChunk, c.wantChunk) << c.chunk;
    }
}

TEST(SettingsPlace, FolderRule) {
    PathEnvironment env;
    env.programFolder = "/unused";
    env.variables = {{"HOME", "/home/ann"}};
    EXPECT_EQ(settingsFolder("/home/ann/kv/kalvitrope", "", env), "/home/ann/kv");
    EXPECT_EQ(settingsFolder("/usr/bin/kalvitrope", "", env), "/home/ann/.config/Kalvitrope");
    EXPECT_EQ(settingsFolder("/opt/kv/kalvitrope", "/srv/conf/", env), "/srv/conf");
    EXPECT_EQ(settingsFolder("/home/ann/kv/kalvitrope", "/usr/local/etc", env),
              "/home/ann/.config/Kalvitrope");
    EXPECT_EQ(settingsFolder("/usrlocal/kalvitrope", "", env), "/usrlocal");
    env.variables.push_back({"XDG_CONFIG_HOME", "/cfg/"});
    EXPECT_EQ(settingsFolder("/opt/kv/kalvitrope", "", env), "/cfg/Kalvitrope");
    env.variables.back().second = "relative/cfg"; // not absolute: ignored
    EXPECT_EQ(userSettingsFolder(env), "/home/ann/.config/Kalvitrope");

    EXPECT_EQ(settingsFileName("kalvitrope"), "kalvitrope.KVS");
    EXPECT_EQ(settingsFileName("Kalvitropev1.1.exe"), "Kalvitropev1.1.KVS");
    EXPECT_EQ(settingsFileName("kalvitrope-1.1"), "kalvitrope-1.1.KVS");
    EXPECT_EQ(settingsFilePath("/usr/bin/kalvitrope", "", env),
              "/home/ann/.config/Kalvitrope/kalvitrope.KVS");

    const std::vector<std::string> args = {"-settingsfolderpath", "/a/b", "SettingsFolderPath",
                                           "xy", "SETTINGSFOLDERPATH"};
    EXPECT_EQ(settingsFolderFromCommandLine(args), "/a/b");
    EXPECT_EQ(settingsFolderFromCommandLine(std::vector<std::string>{"SettingsFolderPath", "rel"}),
              (fs::current_path() / "rel").string());
}

TEST(SettingsPlace, AProgramFolderThisUserCannotWriteKeepsSettingsPerUser) {
    TempDir dir;
    fs::permissions(dir.path, fs::perms(0755));
    const fs::path locked = dir.path / "locked", open = dir.path / "open";
    fs::create_directories(locked);
    fs::create_directories(open);
    fs::permissions(locked, fs::perms(0555));
    fs::permissions(open, fs::perms(0777));
    PathEnvironment env;
    env.variables = {{"HOME", "/home/ann"}, {"XDG_CONFIG_HOME", "/cfg"}};
    const std::string failures = test::asBoundUser([&] {
        std::string out;
        auto expect = [&](const std::string& program, const std::string& folder) {
            const std::string got = settingsFolder(program, "", env);
            if (got != folder) out += program + " gave " + got + "; ";
        };
        expect((locked / "kalvitrope").string(), "/cfg/Kalvitrope");
        expect((open / "kalvitrope").string(), open.string());
        expect((dir.path / "missing" / "kalvitrope").string(), (dir.path / "missing").string());
        expect("/usr/local/bin/kalvitrope", "/cfg/Kalvitrope");
        if (!isSystemCopy((locked / "kalvitrope").string())) out += "locked is no system copy; ";
        if (isSystemCopy((open / "kalvitrope").string())) out += "open is a system copy; ";
        return out;
    });
    fs::permissions(locked, fs::perms(0755));
    EXPECT_EQ(failures, "");
}

TEST(SettingsSave, LoadSaveAndAFailedWriteKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("new/folder/kalvitrope.KVS");
    Dialogue d;
    Settings s;
    EXPECT_EQ(loadSettings(path, s, d.messages()).status, SettingsLoadStatus::Missing);
    EXPECT_FALSE(fs::exists(dir.file("new"))); // loading creates nothing
    s.desiredOutputLatency = 99;
    ASSERT_TRUE(saveSettings(path, s, d.messages()));
    Settings back;
    EXPECT_EQ(loadSettings(path, back, d.messages()).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(back, s);
    EXPECT_EQ(loadSettings(dir.path.string(), back, d.messages()).status,
              SettingsLoadStatus::Missing);
    EXPECT_TRUE(d.told.empty());
    const std::string huge = dir.file("huge.KVS");
    std::ofstream(huge) << "x";
    fs::resize_file(huge, 17u << 20); // sparse: no disk space used
    EXPECT_EQ(loadSettings(huge, back, d.messages()).status, SettingsLoadStatus::NotSettingsFile);
    EXPECT_EQ(d.told.size(), 1u);
    fs::remove(huge);

    // A write that fails half-way (file size limit) leaves the old file and says why.
    const std::string before = readBytes(path);
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        Dialogue cd;
        const SaveResult r = saveSettings(path, Settings{}, cd.messages());
        const bool told = cd.told.size() == 1 && cd.told[0].starts_with(languageString(156)) &&
                          cd.told[0].find(r.reason) != std::string::npos;
        _exit(r.status == SaveStatus::WriteFailed && told ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(
        std::distance(fs::directory_iterator(dir.file("new/folder")), fs::directory_iterator()), 1);
}

TEST(SettingsShare, EngineAndLanguageValues) {
    EngineState state;
    Settings s;
    EXPECT_FALSE(state.settings.realtimePriority.load());
    EXPECT_EQ(state.settings.desiredInputLatency.load(), s.desiredInputLatency);
    s.desiredOutputLatency = 9000;
    s.desiredInputLatency = 0;
    s.controlDataSampleRate = 2000;
    s.realtimePriorityForMainThread = true;
    s.oscillatorFrequencyMinimum = std::nan("");
    applySettings(s, state);
    EXPECT_EQ(state.settings.desiredOutputLatency.load(), 512);
    EXPECT_EQ(state.settings.desiredInputLatency.load(), 2);
    EXPECT_EQ(state.settings.controlRate.load(), 2000);
    EXPECT_TRUE(state.settings.realtimePriority.load());
    EXPECT_EQ(state.settings.oscillatorFrequencyMinimum.load(), 5.0);
    Settings back;
    captureSettings(state, back);
    EXPECT_EQ(back.desiredOutputLatency, 512);
    EXPECT_EQ(back.controlDataSampleRate, 2000);

    const std::pair<const char*, int> choices[] = {{"de", 3},  {"RU", 13}, {"Other", 1000},
                                                   {"14", 14}, {"16", -1}, {"xx", -1},
                                                   {"", -1},   {"-1", -1}};
    for (const auto& [text, language] : choices)
        EXPECT_EQ(languageFromChoice(text), language) << text;
    EXPECT_EQ(languageChoiceText(5), "fr");
    EXPECT_EQ(languageChoiceText(1000), "Other");
}

} // namespace
} // namespace kv

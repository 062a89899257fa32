// Patch files: the exact file layout, loading (sections, names, keys, sources, devices, old-style
// files), crash-safe saving, round trips, hostile input and the autosave rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <sys/stat.h>

#include "engine/engine.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "persistence/language.h"
#include "persistence/text.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
constexpr auto rlx = std::memory_order_relaxed;

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("kv_config_" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct ConfigFile : ::testing::Test {
    static void SetUpTestSuite() { languages().initLanguages({}); }

    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};

    LoadReport load(std::string_view text) {
        LoadTarget t;
        t.registry = &registry;
        t.engine = &engine;
        t.legacyFlag = &state.settings.legacyPatch;
        return loadConfiguration(t, text);
    }
    Module* only(int type) {
        auto list = registry.modules(type);
        return list.size() == 1 ? list.front() : nullptr;
    }
};

constexpr std::string_view kHeader = "## Kalvitrope Configuration (KVC) [revision B] ##\r\n";

TEST_F(ConfigFile, WritesTheExactLayoutOfAnOscillator) {
    registry.addModule(Module_AudioOsc);
    const std::string expected =
        std::string(kHeader) +
        "\r\n[Module_AudioOsc]\r\nName=Oscillator module 1\r\nPosition=0,0\r\nShowState=10"
        "\r\nAmplitudeControl=-[Manual]-\r\nAmplitudeControlSubType=0"
        "\r\nNoiseControl=-[Manual]-\r\nNoiseControlSubType=0"
        "\r\nWaveformControl=-[Manual]-\r\nWaveformControlSubType=0"
        "\r\nRampControl=-[Manual]-\r\nRampControlSubType=0"
        "\r\nPhaseControl=-[Manual]-\r\nPhaseControlSubType=0"
        "\r\nStepSizeControl=-[Manual]-\r\nStepSizeControlSubType=0"
        "\r\nAmplitudeValue=50\r\nNoiseValue=0\r\nWaveformValue=0\r\nRampValue=0\r\nPhaseValue=0"
        "\r\nStepSizeValue=0"
        "\r\nAmplitudeControlSensitivity=100\r\nNoiseControlSensitivity=100"
        "\r\nWaveformControlSensitivity=100\r\nRampControlSensitivity=100"
        "\r\nPhaseControlSensitivity=100\r\nStepSizeControlSensitivity=100"
        "\r\nOutputDeviceID=-1 (L+R)"
        "\r\nFrequencyControl=-[Manual]-\r\nFrequencyControlSubType=0"
        "\r\nBaseFrequencyValue=4.4\r\nFrequencyMultiplierValue=100"
        "\r\nFrequencyControlSensitivity=100\r\n";
    EXPECT_EQ(configurationText(registry), expected);
    // The file itself: FF FE, then the same text in UTF-16 little-endian.
    const std::string bytes = configurationBytes(registry);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE#\0", 4));
    EXPECT_EQ(decodeText(bytes), expected);
}

TEST_F(ConfigFile, KeysFollowTheTableRowByRow) {
    // All sources of a module come before all manual values, and so on: the modulator's lines
    // appear in the order of a saved preset.
    registry.addModule(Module_ControlModulator)->modulationEffects[0].choice.store(1);
    const std::string text = configurationText(registry);
    std::size_t at = 0;
    for (const char* line : {"\r\nInputSource=-[Manual]-\r\nInputSourceSubType=0\r\n",
                             "\r\nPhaseControl=", "\r\nRampValue=", "\r\nBaseFrequencyValue=",
                             "\r\nDoSignedOutput=", "\r\nEffect=FM\r\n"}) {
        const std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found + 1;
    }
}

TEST_F(ConfigFile, SaveClearLoadSaveGivesTheSameBytes) {
    Module* input = registry.addModule(Module_ControlInput);
    Module* osc = registry.addModule(Module_AudioOsc);
    Module* mod = registry.addModule(Module_ControlModulator);
    Module* sensor = registry.addModule(Module_ControlSensor);
    Module* split = registry.addModule(Module_AudioOutputSplit);
    Module* sliders = registry.addModule(Module_ControlMIDIControllerInput);
    Module* seq = registry.addModule(Module_ControlSequence);
    Module* writer = registry.addModule(Module_AudioWaveWriter);
    Module* env = registry.addModule(Module_ControlNoteEnvelope);
    ASSERT_TRUE(input && osc && mod && sensor && split && sliders && seq && writer && env);
    registry.renameModule(sensor, "Water");
    osc->positionX = 576;
    osc->positionY = -588;
    osc->showState.store(5);
    osc->inputSliders[0].source.store(input->outputRow);
    osc->inputSliders[0].sensitivity.store(-37.5);
    osc->frequencies[0].source.store(131); // Speed
    osc->soundOutputs[0].code.store(203);  // right channel of device 3
    mod->inputSliders[4].source.store(sensor->secondOutputRow);
    mod->modulationEffects[0].choice.store(0);
    split->soundOutputs[1].code.store(-555);
    sliders->midiControllers[2].controller.store(21);
    sliders->midiControllers[2].reversed.store(true);
    sliders->midiControllers[127].controller.store(7);
    {
        std::lock_guard lock(seq->sequence.mutex);
        seq->sequence.text = "C4 E4\r\nG4\t100% \\n done";
    }
    writer->waveWriters[0].path = "Recordings\\take 1.wav";
    env->outputModes[0].choice.store(6);

    const std::string first = configurationText(registry);
    load(first);
    EXPECT_EQ(configurationText(registry), first);
    EXPECT_EQ(registry.totalCount(), 9);

    Module* osc2 = only(Module_AudioOsc);
    ASSERT_NE(osc2, nullptr);
    EXPECT_EQ(osc2->positionX, 576);
    EXPECT_EQ(osc2->positionY, -588);
    EXPECT_EQ(osc2->showState.load(), 5);
    EXPECT_EQ(osc2->inputSliders[0].source.load(), only(Module_ControlInput)->outputRow);
    EXPECT_EQ(osc2->inputSliders[0].sensitivity.load(), -37.5);
    EXPECT_EQ(osc2->frequencies[0].source.load(), 131);
    EXPECT_EQ(osc2->soundOutputs[0].code.load(), 203);
    EXPECT_EQ(only(Module_ControlModulator)->inputSliders[4].source.load(),
              only(Module_ControlSensor)->secondOutputRow);
    Module* seq2 = only(Module_ControlSequence);
    std::lock_guard lock(seq2->sequence.mutex);
    EXPECT_EQ(seq2->sequence.text, "C4 E4\r\nG4\t100% \\n done");
}

TEST_F(ConfigFile, AnotherLanguagesHeaderLoadsTheSame) {
    registry.addModule(Module_AudioOsc)->inputSliders[0].manual.store(70);
    const std::string english = configurationText(registry);
    const std::string german = configurationText(registry, "Kalvitrope-Konfiguration (KVC)");
    EXPECT_EQ(german.substr(0, german.find("\r\n")),
              "## Kalvitrope-Konfiguration (KVC) [revision B] ##");
    const LoadReport r = load(german);
    EXPECT_FALSE(r.legacy);
    EXPECT_EQ(configurationText(registry), english);
}

TEST_F(ConfigFile, OldStyleFilesRescaleTheAmplitudeAndSetTheLegacyFlag) {
    const std::string section = "\r\n[Module_AudioOsc]\r\nName=O\r\nAmplitudeValue=500\r\n";
    LoadReport r = load("## Kalvitrope Configuration (KVC) ##\r\n" + section);
    EXPECT_TRUE(r.legacy);
    EXPECT_TRUE(state.settings.legacyPatch.load());
    EXPECT_EQ(only(Module_AudioOsc)->inputSliders[0].manual.load(), 50.0);

    r = load(std::string(kHeader) + section);
    EXPECT_FALSE(r.legacy);
    EXPECT_FALSE(state.settings.legacyPatch.load());
    EXPECT_EQ(only(Module_AudioOsc)->inputSliders[0].manual.load(), 500.0);

    // A tag inside a section is not the header's.
    load("## old ##\r\n[Module_AudioOsc]\r\nName=[revision B]\r\nAmplitudeValue=300\r\n");
    EXPECT_TRUE(state.settings.legacyPatch.load());
    EXPECT_EQ(only(Module_AudioOsc)->inputSliders[0].manual.load(), 30.0);
}

TEST_F(ConfigFile, SourcesResolveAfterEveryModuleExists) {
    load(std::string(kHeader) +
         "\r\n[Module_ControlModulator]\r\nName=Control-Modulator Module 1\r\nPhaseControl="
         "Control-Neuron Module 2\r\nInputSource=speed\r\nRampControl=Water\r\n"
         "RampControlSubType=1\r\nNoiseControl=nobody\r\nWaveformControl=-[manual]-\r\n"
         "StepSizeControl=Direction\r\n"
         "\r\n[Module_ControlSensor]\r\nName=Water\r\n"
         "\r\n[Module_ControlNeuron]\r\nName=Control-Neuron Module 2\r\n");
    Module* mod = only(Module_ControlModulator);
    ASSERT_NE(mod, nullptr);
    EXPECT_EQ(mod->inputSliders[4].source.load(), only(Module_ControlNeuron)->outputRow);
    EXPECT_EQ(mod->inputSliders[0].source.load(), 131);
    EXPECT_EQ(mod->inputSliders[3].source.load(), only(Module_ControlSensor)->secondOutputRow);
    EXPECT_EQ(mod->inputSliders[1].source.load(), kSourceNone);
    EXPECT_EQ(mod->inputSliders[2].source.load(), kSourceManual);
    EXPECT_EQ(mod->inputSliders[5].source.load(), 128);
}

TEST_F(ConfigFile, SectionsStartOnlyAtALineStartAndUnknownOnesAreSkipped) {
    const LoadReport r =
        load(std::string(kHeader) +
             "[Module_AudioOsc]\r\nName=first [Module_AudioInput]\r\nAmplitudeValue=20\r\n"
             "[x\r\nAmplitudeValue=90\r\n"
             "\r\n[ ( AudioInput ) ]\r\nName=mic\r\nGainValue=80\r\n"
             "\r\n[Module_Nothing]\r\nName=ghost\r\n"
             "\r\n[module_controlsensitizer]\r\nName=sens\r\n"
             "\r\n[Module_AudioOutputAnalyzer]\r\nName=scope\r\nMode=analyzer\r\n");
    EXPECT_EQ(r.sections, 6);
    EXPECT_EQ(r.created, 4);
    EXPECT_EQ(r.skipped, 2);
    Module* osc = only(Module_AudioOsc);
    ASSERT_NE(osc, nullptr);
    EXPECT_EQ(osc->name, "first [Module_AudioInput]");
    EXPECT_EQ(osc->inputSliders[0].manual.load(), 20.0); // the "[x" section holds the 90
    ASSERT_NE(only(Module_AudioInput), nullptr);
    EXPECT_EQ(only(Module_AudioInput)->inputSliders[0].manual.load(), 80.0);
    EXPECT_NE(only(Module_ControlSensitiser), nullptr);
    EXPECT_EQ(only(Module_AudioOutputAnalyser)->analysers[0].mode.load(), 0);
    EXPECT_TRUE(registry.modules(Module_ControlInput).empty());
}

TEST_F(ConfigFile, DeviceTextsChoicesAndDefaultsOfMissingKeys) {
    load("[Module_AudioOsc]\r\nOutputDeviceID=-1 (l)\r\n"
         "[Module_AudioEcho]\r\nOutputDeviceID=5\r\n"
         "[Module_AudioPitchShift]\r\nOutputDeviceID=-555 (L+R)\r\n"
         "[Module_AudioInput]\r\nInputDeviceID=3\r\n"
         "[Module_ControlModulator]\r\nEffect=am\r\n"
         "[Module_ControlNoteEnvelope]\r\nOutputMode=nonsense\r\nDoLongRelease=no\r\n"
         "[Module_AudioOutputAnalyser]\r\nMode=Oscilloscope\r\n");
    Module* osc = only(Module_AudioOsc);
    EXPECT_EQ(osc->soundOutputs[0].code.load(), 99);
    EXPECT_EQ(only(Module_AudioEcho)->soundOutputs[0].code.load(), -555);
    EXPECT_EQ(only(Module_AudioPitchShift)->soundOutputs[0].code.load(), -555);
    EXPECT_EQ(only(Module_AudioInput)->soundInputs[0].code.load(), 3);
    EXPECT_EQ(only(Module_ControlModulator)->modulationEffects[0].choice.load(), 0);
    Module* env = only(Module_ControlNoteEnvelope);
    EXPECT_EQ(env->outputModes[0].choice.load(), 255);
    // Option boxes without a value keep the definition's state; a value decides otherwise.
    EXPECT_TRUE(env->inputSliders[1].option.load());  // DoLongAttack, missing
    EXPECT_FALSE(env->inputSliders[5].option.load()); // DoLongRelease=no
    EXPECT_EQ(only(Module_AudioOutputAnalyser)->analysers[0].mode.load(), 1);
    // Missing values read as 0, not as the definition's defaults; the show state as 10.
    EXPECT_EQ(osc->inputSliders[0].manual.load(), 0.0);
    EXPECT_EQ(osc->inputSliders[0].sensitivity.load(), 0.0);
    EXPECT_EQ(osc->frequencies[0].base.load(), 0.0);
    EXPECT_EQ(osc->showState.load(), 10);
    EXPECT_EQ(osc->name, "");
    const std::string saved = configurationText(registry);
    EXPECT_NE(saved.find("\r\nOutputMode=\r\n"), std::string::npos);
    EXPECT_NE(saved.find("\r\nEffect=AM\r\n"), std::string::npos);
}

TEST_F(ConfigFile, EmptyKeyControllersAndSequenceEscaping) {
    Module* pluck = registry.addModule(Module_AudioMutedPluck);
    pluck->inputSliders[0].manual.store(7);
    Module* sliders = registry.addModule(Module_ControlMIDIControllerInput);
    Module* seq = registry.addModule(Module_ControlSequence);
    {
        std::lock_guard lock(seq->sequence.mutex);
        seq->sequence.text = "A B\r\n";
    }
    std::string text = configurationText(registry);
    EXPECT_NE(text.find("\r\n=7\r\n"), std::string::npos); // the note source has no value key
    EXPECT_NE(text.find("\r\nSequenceValue=A%20B\\n\r\n"), std::string::npos);
    EXPECT_EQ(text.find("\r\nController"), std::string::npos); // none assigned
    (void)sliders;

    text += "\r\n[Module_ControlMIDIControllerInput]\r\nName=S\r\nController3=-21\r\n"
            "Controller4=70000x\r\nController5=abc\r\n";
    load(text);
    EXPECT_EQ(only(Module_AudioMutedPluck)->inputSliders[0].manual.load(), 7.0);
    Module* learnt = registry.modules(Module_ControlMIDIControllerInput).back();
    EXPECT_EQ(learnt->midiControllers[2].controller.load(), 21);
    EXPECT_TRUE(learnt->midiControllers[2].reversed.load());
    EXPECT_EQ(learnt->midiControllers[3].controller.load(), 70000 & 0xFFFF);
    EXPECT_EQ(learnt->midiControllers[4].controller.load(), -1);
    // Learned sliders own rows (sub-index = slot) that other modules' sources name.
    for (int slot : {2, 3}) {
        const int row = registry.resolveSource("S", slot);
        ASSERT_GE(row, 0) << slot;
        EXPECT_EQ(registry.row(row).owner, learnt);
    }
    EXPECT_LT(registry.resolveSource("S", 4), 0);
    const std::string again = configurationText(registry);
    EXPECT_NE(again.find("\r\nController3=-21\r\n"), std::string::npos);
    Module* seq2 = only(Module_ControlSequence);
    std::lock_guard lock(seq2->sequence.mutex);
    EXPECT_EQ(seq2->sequence.text, "A B\r\n");
}

TEST_F(ConfigFile, LoadingDropsSourcesAndDevicesTheListsDoNotOffer) {
    DeviceOffers offers;
    offers.output = [](int code, bool) { return code == -1 || code == 99 || code == 199; };
    registry.setSelectionContext(false, offers);
    load("[Module_AudioEcho]\r\nInputModule=Speed\r\nOutputDeviceID=4 (L+R)\r\n"
         "[Module_AudioOsc]\r\nWaveformControl=Direction\r\nOutputDeviceID=-1 (R)\r\n");
    Module* echo = only(Module_AudioEcho);
    EXPECT_EQ(echo->controlInputs[0].source.load(), kSourceNone);
    EXPECT_EQ(echo->soundOutputs[0].code.load(), -555);
    Module* osc = only(Module_AudioOsc);
    EXPECT_EQ(osc->inputSliders[2].source.load(), kMouseRowBase);
    EXPECT_EQ(osc->soundOutputs[0].code.load(), 199);
}

TEST(ConfigSequenceText, EscapesReadBackUnchanged) {
    for (std::string_view text : {"", "A B\r\nC", "50% %41 \\n\ttab", "\x01\x1F", "caf\xC3\xA9"})
        EXPECT_EQ(unescapeSequence(escapeSequence(text)), text);
    // Every kind of line break is stored alike and reads back as CR LF.
    EXPECT_EQ(escapeSequence("a\rb\nc\r\nd"), "a\\nb\\nc\\nd");
    EXPECT_EQ(unescapeSequence(escapeSequence("a\rb\n")), "a\r\nb\r\n");
    // Text written by older programs: "%%", hexadecimal codes and a lone "%".
    EXPECT_EQ(unescapeSequence("100%%%20%41%e9%4"), "100% A\xC3\xA9%4");
}

// Engine stand-in that records the quiesce around a load.
struct RecordingSink : ViewSink {
    bool running = true;
    std::vector<std::string> calls;
    void publish(const EngineView*) override {}
    bool waitUntilAdopted(uint64_t, int) override { return true; }
    bool quiesce() override {
        calls.push_back("quiesce");
        const bool was = running;
        running = false;
        return was;
    }
    void resume(bool wasRunning) override {
        calls.push_back(wasRunning ? "resume running" : "resume stopped");
        running = wasRunning;
    }
    void clearLegacyPatch() override { calls.push_back("clear legacy"); }
};

TEST(ConfigLoad, StopsTheEngineAroundTheChangeAndRestartsItAsItWas) {
    languages().initLanguages({});
    RecordingSink sink;
    ModuleRegistry registry(&sink);
    registry.addModule(Module_AudioOsc);
    LoadTarget t;
    t.registry = &registry;
    t.engine = &sink;
    int modulesSeenAfterLoad = -1;
    t.afterLoad = [&] {
        modulesSeenAfterLoad = registry.totalCount();
        sink.calls.push_back("after load");
    };
    loadConfiguration(t, "[Module_AudioEcho]\r\n");
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"quiesce", "clear legacy", "after load",
                                                    "resume running"}));
    EXPECT_EQ(modulesSeenAfterLoad, 1);
    EXPECT_TRUE(sink.running);
    sink.calls.clear();
    sink.running = false;
    loadConfiguration(t, "");
    EXPECT_EQ(sink.calls.back(), "resume stopped");
    EXPECT_FALSE(sink.running);
    EXPECT_EQ(registry.totalCount(), 0);
}

TEST_F(ConfigFile, HostileInputNeverCrashesAndKeepsWhatWasCreated) {
    // More modules than output rows: the first 128 are created, the rest left out.
    std::string many(kHeader);
    for (int i = 0; i < 200; ++i)
        many += "\r\n[Module_AudioOsc]\r\nName=osc " + std::to_string(i) + "\r\n";
    LoadReport r = load(many);
    EXPECT_EQ(r.created, 128);
    EXPECT_EQ(r.skipped, 72);
    EXPECT_EQ(registry.modules(Module_AudioOsc).back()->name, "osc 127");

    // Every prefix of a real file loads the modules whose sections began.
    registry.clearAll();
    registry.addModule(Module_ControlInput);
    registry.addModule(Module_AudioOsc);
    registry.addModule(Module_ControlSequence);
    const std::string full = configurationText(registry);
    for (std::size_t cut = 0; cut <= full.size(); cut += 37)
        load(full.substr(0, cut));

    // Random bytes, NULs, lone brackets, a file of nothing but section starts.
    std::mt19937 gen(7);
    for (int round = 0; round < 200; ++round) {
        std::string junk(gen() % 600, '\0');
        for (char& c : junk)
            c = "[]\r\n=AmplitudeValue,Module_AudioOsc\x00\xFF"[gen() % 36];
        load(junk);
    }
    load(std::string(100000, '['));
    r = load(std::string(200000, '\n') + "[Module_AudioOsc]");
    EXPECT_EQ(r.created, 1);
}

TEST(ConfigRead, FilesInEveryEncodingReadAlike) {
    TempDir dir;
    const std::string text = "## h ##\r\n[Module_AudioOsc]\r\nName=\xC3\xA9\r\n";
    auto put = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir.file(name), std::ios::binary) << bytes;
        return dir.file(name);
    };
    const std::string le = encodeUtf16Le(text, false);
    std::string be;
    for (std::size_t i = 0; i + 1 < le.size(); i += 2)
        be += std::string{le[i + 1], le[i]};
    for (const std::string& bytes :
         {"\xFF\xFE" + le, le, "\xFE\xFF" + be, text, "\xEF\xBB\xBF" + text}) {
        std::string got, reason;
        ASSERT_TRUE(readConfigurationFile(put("p.kvc", bytes), got, reason)) << reason;
        EXPECT_EQ(got, text);
    }
    std::string got, reason;
    EXPECT_FALSE(readConfigurationFile(dir.file("missing.kvc"), got, reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(readConfigurationFile(dir.path.string(), got, reason));
    // A pipe with no writer would block the read for ever; a device never ends.
    ASSERT_EQ(::mkfifo(dir.file("pipe.kvc").c_str(), 0600), 0);
    for (const std::string& path : {dir.file("pipe.kvc"), std::string("/dev/zero")}) {
        EXPECT_FALSE(readConfigurationFile(path, got, reason)) << path;
        EXPECT_EQ(reason, "not a regular file") << path;
    }
}

TEST_F(ConfigFile, SavingReplacesTheFileWholeOrNotAtAll) {
    TempDir dir;
    const std::string path = dir.file("patch.kvc");
    registry.addModule(Module_AudioOsc);
    ASSERT_TRUE(writeConfiguration(registry, path));
    EXPECT_EQ(readBytes(path), configurationBytes(registry));
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    registry.addModule(Module_AudioEcho);
    ASSERT_TRUE(writeConfiguration(registry, path));
    EXPECT_EQ(readBytes(path), configurationBytes(registry));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // Failures say why and leave no temporary file behind.
    SaveResult r = writeConfiguration(registry, dir.file("no/such/folder/p.kvc"));
    EXPECT_EQ(r.status, SaveStatus::CannotCreate);
    EXPECT_FALSE(r.reason.empty());
    r = writeConfiguration(registry, dir.path.string());
    EXPECT_EQ(r.status, SaveStatus::CannotCreate);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);

    // A link is followed: the file it names gets the new contents.
    fs::create_symlink(path, dir.file("link.kvc"));
    registry.addModule(Module_AudioLowPass);
    ASSERT_TRUE(writeConfiguration(registry, dir.file("link.kvc")));
    EXPECT_TRUE(fs::is_symlink(dir.file("link.kvc")));
    EXPECT_EQ(readBytes(path), configurationBytes(registry));
}

TEST_F(ConfigFile, SetModuleKeyChangesOneValueOnly) {
    Module* input = registry.addModule(Module_ControlInput);
    Module* osc = registry.addModule(Module_AudioOsc);
    EXPECT_TRUE(setModuleKey(*osc, registry, "basefrequencyvalue", " 8.8 "));
    EXPECT_EQ(osc->frequencies[0].base.load(), 8.8);
    EXPECT_EQ(osc->frequencies[0].multiplier.load(), 100.0);
    EXPECT_EQ(osc->inputSliders[0].manual.load(), 50.0);
    EXPECT_TRUE(setModuleKey(*osc, registry, "AmplitudeControl", input->name));
    EXPECT_EQ(osc->inputSliders[0].source.load(), input->outputRow);
    EXPECT_TRUE(setModuleKey(*osc, registry, "OutputDeviceID", "2 (r)"));
    EXPECT_EQ(osc->soundOutputs[0].code.load(), 202);
    EXPECT_TRUE(setModuleKey(*osc, registry, "Position", "10,-20"));
    EXPECT_EQ(osc->positionY, -20);
    EXPECT_TRUE(setModuleKey(*osc, registry, "Name", "Lead"));
    EXPECT_EQ(registry.row(osc->outputRow).name, "Lead");
    EXPECT_FALSE(setModuleKey(*osc, registry, "NoSuchKey", "1"));
    EXPECT_FALSE(hasModuleKey(*osc, "AmplitudeControlSub"));
    EXPECT_TRUE(hasModuleKey(*osc, "AmplitudeControlSubType"));
}

TEST(ConfigAutosave, PathRuleAndLoadAtStartDecision) {
    // A stored setting is expanded against the program folder, never the current folder.
    PathEnvironment env;
    env.programFolder = "/opt/kv";
    env.variables = {{"HOME", "/home/ann"}};
    const struct {
        const char* setting;
        const char* settingsFile;
        const char* expected;
    } cases[] = {
        {"kalvitrope_AutoSave.KVC", "/cfg/kalvitrope.KVS", "/opt/kv/kalvitrope_AutoSave.KVC"},
        {"..\\patches\\a.kvc", "/cfg/kalvitrope.KVS", "/opt/kv/../patches/a.kvc"},
        {"%HOME%\\a.kvc", "/cfg/kalvitrope.KVS", "/home/ann/a.kvc"},
        {" \\a\\mine.kvc ", "/x/kalvitrope.KVS", "/a/mine.kvc"},
        {"", "/x/kalvitrope.KVS", "/x/kalvitrope_AutoSave.KVC"},
        {" \t", "/x.y/kalvitrope.v1.KVS", "/x.y/kalvitrope.v1_AutoSave.KVC"},
        {"", "/x.y/settings", ""},
        {"", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(autosavePath(c.setting, c.settingsFile, env), c.expected) << c.setting;

    TempDir dir;
    const std::string file = dir.file("a.kvc");
    EXPECT_FALSE(shouldLoadAutosaveAtStart(file, true)); // missing
    std::ofstream(file, std::ios::binary).flush();
    EXPECT_FALSE(shouldLoadAutosaveAtStart(file, true)); // empty
    std::ofstream(file, std::ios::binary) << "x";
    EXPECT_TRUE(shouldLoadAutosaveAtStart(file, true));
    EXPECT_FALSE(shouldLoadAutosaveAtStart(file, false));
    EXPECT_FALSE(shouldLoadAutosaveAtStart("", true));
    EXPECT_FALSE(shouldLoadAutosaveAtStart(dir.path.string(), true)); // a folder
}

} // namespace
} // namespace kv

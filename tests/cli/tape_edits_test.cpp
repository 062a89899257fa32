// Module edits and control-rate changes on gesture tapes: a take with edits at odd times renders
// offline (and plays live) to the same samples; every set line reads back to the same value.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "cli/session.h"
#include "devices/gesture_tape.h"
#include "devices/tape_edits.h"
#include "engine/engine.h"
#include "instrument/script.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "mouse/mouse_input.h"

#include "tape_support.h"

namespace kv::cli {
namespace {

namespace fs = std::filesystem;

// A sensor's view of the cursor drives a modulator, which shapes the lead's waveform at control
// samples, and the lead's ramp; the lead plays on the default device. The splitter has two rows and
// the sliders rows for slots 1 and 3 only, so sources with sub-types can be chosen.
const std::string kPatch =
    "## Kalvitrope Configuration (KVC) [revision B] ##\r\n"
    "[Module_ControlSensor]\r\nName=Eye\r\nPosition=300,200\r\n"
    "[Module_ControlModulator]\r\nName=Mod\r\nInputSource=Eye\r\n"
    "BaseFrequencyValue=3\r\n"
    "FrequencyMultiplierValue=1\r\nInputValue=800\r\n"
    "[Module_AudioOsc]\r\nName=Lead \"1\" #2\r\nAmplitudeControl=-[Manual]-\r\n"
    "AmplitudeValue=400\r\nFrequencyControl=-[Manual]-\r\n"
    "BaseFrequencyValue=220\r\nFrequencyMultiplierValue=1\r\n"
    "WaveformControl=Mod\r\nWaveformControlSensitivity=50\r\n"
    "RampControl=Eye\r\nRampControlSensitivity=100\r\nOutputDeviceID=-1 (L+R)\r\n"
    "[Module_AudioOutputSplit]\r\nName=Split\r\n"
    "[Module_ControlMIDIControllerInput]\r\nName=Sliders\r\n"
    "Controller1=7\r\nController3=-9\r\n"
    "[Module_AudioOutputAnalyser]\r\nName=Scope\r\n"
    "[Module_ControlSequence]\r\nName=Seq\r\n";

Module* named(ModuleRegistry& registry, std::string_view name) {
    Module* found = nullptr;
    registry.forEachInListOrder([&](Module& m) {
        if (!found && m.name == name) found = &m;
    });
    return found;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(TapeEdits, EverySetLineReadsBackToTheSameLiveValue) {
    OfflineSession s;
    std::string error;
    const fs::path dir = tapeTestFolder("tapeedits");
    std::ofstream(dir / "kinds.kvc", std::ios::binary) << kPatch;
    ASSERT_TRUE(s.loadPatch({(dir / "kinds.kvc").string(), {}}, error)) << error;
    ModuleRegistry& r = s.registry();
    Module* lead = named(r, "Lead \"1\" #2");
    Module* mod = named(r, "Mod");
    Module* split = named(r, "Split");
    Module* sliders = named(r, "Sliders");
    Module* scope = named(r, "Scope");
    ASSERT_TRUE(lead && mod && split && sliders && scope);
    auto rowOf = [&](std::string_view name, int sub) { return r.resolveSource(name, sub); };
    ASSERT_GE(rowOf("Split", 1), 0);
    ASSERT_GE(rowOf("Sliders", 2), 0);
    ASSERT_LT(rowOf("Sliders", 1), 0); // Controller2 is not assigned

    using T = LiveValueRef;
    InputSliderSlot& amp = lead->inputSliders[0];
    MidiControllerEntry& slot3 = sliders->midiControllers[2];
    const struct {
        Module* module;
        LiveValueRef ref;
        double value;
    } cases[] = {
        {lead, {T::Real, &amp.manual}, 0.1},
        {lead, {T::Real, &amp.manual}, 1.0 / 3},
        {lead, {T::Real, &amp.manual}, -1e-300},
        {lead, {T::Real, &amp.manual}, 5.000000000000001e+20},
        {lead, {T::Real, &amp.sensitivity}, 12345.678901234567},
        {lead, {T::Real, &lead->frequencies[0].base}, 440.0000001},
        {lead, {T::Real, &lead->frequencies[0].multiplier}, 1.0 / 7},
        {lead, {T::Integer, &lead->soundOutputs[0].code}, -555},
        {lead, {T::Integer, &lead->soundOutputs[0].code}, 103},
        {lead, {T::Integer, &lead->soundOutputs[0].code}, 205},
        {lead, {T::Integer, &lead->soundOutputs[0].code}, -1},
        {sliders, {T::Integer, &sliders->midiInputs[0].code}, 3},
        {scope, {T::Byte, &scope->analysers[0].mode}, 1},
        {scope, {T::Byte, &scope->analysers[0].mode}, 255},
        {mod, {T::Byte, &mod->modulationEffects[0].choice}, 1},
        {mod, {T::Byte, &mod->modulationEffects[0].choice}, 255},
        {mod, {T::Flag, &mod->checkBoxes[0].state}, 1},
        {mod, {T::Flag, &mod->checkBoxes[0].state}, 0},
        {sliders, {T::Flag, &slot3.reversed}, 0},
        {sliders, {T::Integer, &slot3.controller}, 64},
        {sliders, {T::Flag, &slot3.reversed}, 1},
        // Sources, from one sub-type to another.
        {lead, {T::Integer, &amp.source}, double(rowOf("Split", 1))},
        {lead, {T::Integer, &amp.source}, double(rowOf("Sliders", 2))},
        {lead, {T::Integer, &amp.source}, double(rowOf("Split", 1))},
        {lead, {T::Integer, &amp.source}, double(rowOf("Split", 0))},
        {lead, {T::Integer, &amp.source}, double(kMouseRowBase + 3)},
        {lead, {T::Integer, &amp.source}, double(kSourceManual)},
        {lead, {T::Integer, &amp.source}, double(rowOf("Sliders", 2))},
        {lead, {T::Integer, &amp.source}, double(kSourceNone)},
        {sliders, {T::Integer, &slot3.controller}, -1}, // forgotten
    };
    for (const auto& c : cases) {
        bool exact = false;
        const auto settings = keySettingsFor(*c.module, r, c.ref.address, c.value, exact);
        ASSERT_FALSE(settings.empty());
        EXPECT_TRUE(exact) << settings[0].key << " " << c.value;
        // Each setting as a tape line, through the script parser, into the module.
        std::string text;
        for (const KeySetting& k : settings)
            text += "0 set " + quotedWord(c.module->name) + " " + k.key + " " +
                    quotedWord(k.value) + "\n";
        Script script;
        ASSERT_TRUE(parseScript(text, script, error)) << error << "\n" << text;
        for (const ScriptEvent& e : script.events) {
            EXPECT_EQ(e.module, c.module->name);
            EXPECT_TRUE(setModuleKey(*c.module, r, e.key, e.value)) << text;
        }
        EXPECT_TRUE(sameBits(loadLive(c.ref), c.value))
            << text << " read back " << loadLive(c.ref) << ", not " << c.value;
    }
    EXPECT_FALSE(slot3.reversed.load()); // a forgotten controller loses its sign too
    fs::remove_all(dir);
}

// Collects what the engine sends to the default device, sample by sample, and varies the cycle
// lengths as a latency controller does, so that the take's cycles are not the replay's.
// Engine thread.
struct Collector final : OutputStage {
    std::vector<double> samples;
    std::size_t cycleStart = 0, cycleLength = 0;
    int cycles = 0;
    void engineStarted() override {}
    void startCycle(int8_t) override { cycleLength = 0; }
    void addToBus(int index, int code, double value) override {
        const std::size_t at = cycleStart + static_cast<std::size_t>(index);
        if (code != -1 || at >= samples.size()) return;
        samples[at] = value;
        cycleLength = std::max(cycleLength, static_cast<std::size_t>(index) + 1);
    }
    void beginCycleAndFlush(EngineState& state) override {
        static constexpr int8_t kAdjustments[] = {-7, 5, 13, -11};
        cycleStart += cycleLength;
        state.chunkAdjustment.store(kAdjustments[cycles++ % 4]);
    }
    bool readBack(int, SampleChunk&) override { return false; }
    void endCycle() override {}
    void closeAll() override {}
};

TEST(TapeEdits, ATakeWithEditsAndRateChangesReplaysSampleForSample) {
    // The take runs on the real-time engine while a user-interface thread moves sliders, picks
    // sources (of other sub-types too), renames a module, moves the sensor's window and changes
    // the control rate (to 0 as well) whenever it likes.
    const fs::path dir = tapeTestFolder("tapeedits");
    const fs::path patch = dir / "edits.kvc";
    std::ofstream(patch, std::ios::binary) << kPatch;
    const fs::path tape = dir / "edits.kvtape";
    constexpr std::size_t kSamples = 48000;
    Collector collector;
    collector.samples.assign(kSamples, 0.0);
    std::string error;
    uint64_t inexact = 1;
    {
        EngineState state;
        MouseInput mouse;
        Engine engine{state, &collector, &mouse, nullptr};
        ModuleRegistry registry{&engine};
        LoadTarget target;
        target.registry = &registry;
        target.engine = &engine;
        loadConfiguration(target, kPatch);
        Module* lead = named(registry, "Lead \"1\" #2");
        Module* mod = named(registry, "Mod");
        Module* eye = named(registry, "Eye");
        ASSERT_TRUE(lead && mod && eye);
        mouse.noteCursor(959, 539); // where the offline pointer starts
        GestureTapeWriter writer;
        ModuleEdits edits;
        GestureTapeRecorder recorder{mouse, nullptr, writer};
        TapeHeader header;
        header.patchFile = "edits.kvc";
        header.checksum = patchChecksum(kPatch);
        header.rate = 4000;
        ASSERT_TRUE(writer.start(tape.string(), tapeHeaderText(header), error)) << error;
        edits.beginTake(registry, writer);
        recorder.setEdits(&edits);
        recorder.setStartRate(4000);
        recorder.begin();
        engine.setControlSampleTap(&recorder);
        engine.start();
        std::thread ui([&] {
            const int rows[] = {registry.resolveSource("Split", 1),
                                registry.resolveSource("Mod", 0), kSourceManual,
                                registry.resolveSource("Sliders", 2), kMouseRowBase + 5};
            const double rates[] = {2000, 0, 750, 4000, 48000};
            for (int i = 0; state.cycleCounter.load() < static_cast<int64_t>(kSamples / 96 + 20);
                 ++i) {
                edits.store(*lead, lead->inputSliders[0].manual, 100 + (i * 37) % 900 + 0.123);
                edits.store(*lead, lead->frequencies[0].base, 110 + (i % 300) / 3.0);
                if (i % 3 == 0) edits.store(*mod, mod->frequencies[0].base, 1 + i % 17 * 0.7);
                if (i % 5 == 0) edits.store(*lead, lead->inputSliders[2].source, rows[i / 5 % 5]);
                if (i % 7 == 0)
                    edits.store(*lead, lead->frequencies[0].multiplier, 1 + (i % 4) / 10.0);
                if (i % 11 == 0) {
                    const std::string old = mod->name;
                    registry.renameModule(mod, old == "Mod" ? "Mod 2" : "Mod");
                    edits.renamed(old, mod->name);
                }
                if (i % 13 == 0) state.settings.controlRate.store(rates[i / 13 % 5]);
                if (i % 4 == 1)
                    edits.storeSensorPoint(*eye, 100 + i * 29 % 1500, 50 + i * 13 % 900);
                std::this_thread::sleep_for(std::chrono::microseconds(300 + (i * 7919) % 1400));
            }
        });
        ui.join();
        engine.setControlSampleTap(nullptr);
        engine.stopAndWait();
        recorder.end();
        edits.endTake();
        inexact = edits.inexact();
        ASSERT_TRUE(writer.stop(recorder.endSample(), error)) << error;
        EXPECT_EQ(writer.lost(), 0u);
    }
    EXPECT_EQ(inexact, 0u);
    const std::string text = slurp(tape);
    for (const char* word :
         {" set \"Lead \\\"1\\\" #2\" AmplitudeValue \"", " rate 0\n", " set \"Eye\" Position \"",
          " set \"Mod\" Name \"Mod 2\"\n", " rate 48000\n"})
        EXPECT_NE(text.find(word), std::string::npos) << word;

    // Offline, and through the desktop program's player: the same samples.
    auto render = [&](bool player) {
        OfflineSession offline;
        Script script;
        std::string why;
        EXPECT_TRUE(parseScript(text, script, why)) << why;
        EXPECT_TRUE(offline.loadPatch({patch.string(), {}}, why)) << why;
        GestureTapePlayer play(offline.mouse(), offline.sampler(), nullptr);
        if (player) {
            // The player gets the set and rate lines; the session only the header.
            std::vector<TapeEvent> events;
            std::vector<TapeSetLine> sets;
            for (const ScriptEvent& e : script.events) {
                if (e.command == ScriptCommand::Set)
                    sets.push_back({e.line, e.sample, e.module, e.key, e.value});
                if (e.command == ScriptCommand::Rate)
                    events.push_back({e.sample, TapeEvent::Rate, int32_t(e.rate)});
            }
            std::vector<LiveStore> stores;
            EXPECT_TRUE(resolveTapeSets(offline.registry(), sets, events, stores, why)) << why;
            play.load(std::move(events), script.endSample, {0, 0, 1919, 1079}, std::move(stores),
                      &offline.state().settings.controlRate);
            offline.engine().setControlSampleTap(&play);
            Script header;
            EXPECT_TRUE(
                parseScript(text.substr(0, text.find("\n0 rate")) + "\n1000000 end\n", header, why))
                << why;
            script = header;
        }
        EXPECT_TRUE(offline.useScript(script, why)) << why;
        const int row = resolveProbeRow("Lead \"1\" #2", offline.registry());
        std::vector<double> out(kSamples);
        offline.onSample = [&](uint64_t sample) {
            if (sample < kSamples) out[sample] = offline.state().table.rows[row].primarySmoothed[0];
        };
        offline.run([&] { return offline.engine().sampleCounter() >= kSamples; });
        offline.engine().setControlSampleTap(nullptr);
        return out;
    };
    for (bool player : {false, true}) {
        const std::vector<double> rendered = render(player);
        std::size_t same = 0;
        while (same < kSamples && sameBits(collector.samples[same], rendered[same]))
            ++same;
        EXPECT_EQ(same, kSamples) << (player ? "player" : "offline") << ": first difference at "
                                  << same;
    }
    double peak = 0;
    for (double v : collector.samples)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 10.0); // the take made sound
    fs::remove_all(dir);
}

TEST(TapeEdits, NoEditIsLostAndThoseATapeCannotNameAreCounted) {
    // The engine takes no edits (stopped): the user's edits still all arrive, in order.
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    Module* osc = registry.addModule(Module_AudioOsc);
    ASSERT_NE(osc, nullptr);
    const fs::path dir = tapeTestFolder("tapeedits");
    GestureTapeWriter writer;
    std::string error;
    ASSERT_TRUE(writer.start((dir / "full.kvtape").string(), "", error)) << error;
    ModuleEdits edits;
    edits.beginTake(registry, writer);
    constexpr int kEdits = ModuleEdits::kCapacity + 10;
    for (int i = 1; i <= kEdits; ++i)
        edits.store(*osc, osc->inputSliders[0].manual, double(i));
    EXPECT_EQ(osc->inputSliders[0].manual.load(), double(ModuleEdits::kCapacity + 1));
    EXPECT_EQ(edits.inexact(), ModuleEdits::kCapacity + 1u);
    edits.endTake();
    EXPECT_EQ(osc->inputSliders[0].manual.load(), double(kEdits));
    edits.store(*osc, osc->inputSliders[0].manual, 0.5); // after the take: at once
    EXPECT_EQ(osc->inputSliders[0].manual.load(), 0.5);

    // Edits that no set line can name are counted: a module whose name an earlier one has, a
    // name with blanks that a patch file would trim.
    Module* twin = registry.addModule(Module_AudioOsc);
    ASSERT_NE(twin, nullptr);
    registry.renameModule(twin, osc->name);
    edits.beginTake(registry, writer);
    edits.store(*osc, osc->inputSliders[0].manual, 1.0);
    EXPECT_EQ(edits.inexact(), 0u);
    edits.store(*twin, twin->inputSliders[0].manual, 1.0);
    EXPECT_EQ(edits.inexact(), 1u);
    registry.renameModule(twin, "Twin ");
    edits.renamed(osc->name, "Twin ");
    EXPECT_EQ(edits.inexact(), 2u);
    edits.endTake();
    ASSERT_TRUE(writer.stop(0, error)) << error;
    fs::remove_all(dir);
}

TEST(TapeEdits, ThePlayerRefusesLinesItCannotPlaceNamingThem) {
    OfflineSession s;
    std::string error;
    const fs::path dir = tapeTestFolder("tapeedits");
    std::ofstream(dir / "p.kvc", std::ios::binary) << kPatch;
    ASSERT_TRUE(s.loadPatch({(dir / "p.kvc").string(), {}}, error)) << error;
    Module* mod = named(s.registry(), "Mod");
    const double before = mod->frequencies[0].base.load();
    const struct {
        std::vector<TapeSetLine> lines;
        std::string message;
    } cases[] = {
        {{{7, 10, "Mod", "BaseFrequencyValue", "9"},
          {8, 10, "Scope", "Mode", "Analyser"},
          {9, 20, "Nobody", "Mode", "Analyser"}},
         "line 9: no module named 'Nobody' in the patch"},
        {{{4, 10, "Mod", "Name", "Other"}, {5, 10, "Other", "Bogus", "1"}},
         "line 5: module 'Other' has no key 'Bogus'"},
        {{{2, 0, "Split", "OutputDeviceID1", "3 (L)"}, {3, 5, "Seq", "SequenceValue", "C4"}},
         "line 3: 'SequenceValue' edits are not played live; render the tape with kalvitrope-cli"},
        {{{3, 10, "Mod", "BaseFrequencyValue", "9"},
          {6, 10, "Split", "FaderValue", "1"},
          {12, 30, "Sliders", "Controller1", "8"}},
         ""},
    };
    for (const auto& c : cases) {
        std::vector<TapeEvent> events;
        std::vector<LiveStore> stores;
        error.clear();
        EXPECT_EQ(resolveTapeSets(s.registry(), c.lines, events, stores, error), c.message.empty());
        EXPECT_EQ(error, c.message);
        // Nothing stays changed: the player makes the stores at their samples.
        EXPECT_EQ(mod->frequencies[0].base.load(), before);
        EXPECT_EQ(mod->name, "Mod");
    }
    fs::remove_all(dir);
}

} // namespace
} // namespace kv::cli

// The instrument assembled on the simulated clock with the capture and scripted devices: patch
// changes tell the views around them, and a take made on it plays back from its tape.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "devices/audio_out_capture.h"
#include "devices/output_device_manager.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "instrument/instrument.h"
#include "modules/module_registry.h"
#include "mouse/mouse_input.h"
#include "platform/audio_in_scripted.h"
#include "platform/audio_out_null.h"
#include "platform/midi_in_scripted.h"
#include "platform/mouse_scripted.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

// A tone gated by the left button.
const std::string kPatch =
    "## Kalvitrope Configuration (KVC) [revision B] ##\r\n"
    "[Module_AudioOsc]\r\nName=Gate\r\nAmplitudeControl=Mouse Button Left\r\n"
    "AmplitudeControlSensitivity=100\r\nFrequencyControl=-[Manual]-\r\n"
    "BaseFrequencyValue=4.4\r\nFrequencyMultiplierValue=100\r\n"
    "FrequencyControlSensitivity=100\r\nOutputDeviceID=-1 (L+R)\r\n";

struct SimulatedClock final : Clock {
    double ms = 0;
    double nowMs() override { return ms; }
};

// An instrument on the simulated clock, driven as the offline session drives it.
struct Offline {
    SimulatedClock clock;
    CaptureAudioOut* capture = nullptr;
    platform::ScriptedMouse* pointer = nullptr;
    std::unique_ptr<Instrument> instrument;
    std::vector<std::string> messages;

    Offline() {
        InstrumentBackends b;
        auto out = std::make_unique<CaptureAudioOut>(2);
        auto mouse = std::make_unique<platform::ScriptedMouse>();
        capture = out.get();
        pointer = mouse.get();
        b.audioOut = std::move(out);
        b.midiIn = std::make_unique<platform::ScriptedMidiIn>();
        b.audioIn = std::make_unique<platform::ScriptedAudioIn>();
        b.mouse = std::move(mouse);
        b.simulatedClock = &clock;
        instrument = std::make_unique<Instrument>(std::move(b));
        instrument->onMessage = [this](const std::string& t) { messages.push_back(t); };
    }

    // Runs whole cycles for `samples` more, the mouse sampled every 10 ms; returns the peak
    // heard.
    int run(uint64_t samples) {
        int peak = 0;
        capture->setSink([&](int, const int16_t* frames, int64_t count) {
            for (int64_t i = 0; i < 2 * count; ++i)
                peak = std::max(peak, std::abs(int(frames[i])));
        });
        Instrument& in = *instrument;
        in.beginSimulatedRun();
        const uint64_t until = in.engine().sampleCounter() + samples;
        while (in.engine().sampleCounter() < until) {
            if (in.engine().sampleCounter() % 480 == 0) in.sampler().pass(*pointer);
            in.engine().runCycle(&clock);
            in.outputs().feedPending();
            capture->advance(96);
            clock.ms += 2.0;
        }
        capture->setSink(nullptr);
        return peak;
    }
};

fs::path testFolder(const std::string& name) {
    const fs::path dir = fs::path(testing::TempDir()) / (name + "_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Instrument, ViewsAreToldAroundEveryChangeOfModules) {
    Offline o;
    Instrument& in = *o.instrument;
    std::string calls;
    in.beforeModulesChange = [&] {
        calls += "before(" + std::to_string(in.registry().totalCount()) + ")";
    };
    in.afterModulesChange = [&] {
        calls += "after(" + std::to_string(in.registry().totalCount()) + ")";
    };

    in.loadPatchText(kPatch);
    EXPECT_EQ(calls, "before(0)after(1)");
    calls.clear();
    EXPECT_FALSE(in.loadPresetResource(-12345)); // no such preset: nothing changes
    EXPECT_EQ(calls, "");
    EXPECT_EQ(in.registry().totalCount(), 1);
    in.clearModules();
    EXPECT_EQ(calls, "before(1)");
    EXPECT_EQ(in.registry().totalCount(), 0);

    std::string error;
    EXPECT_FALSE(in.loadPatch({{}, "no such preset"}, error));
    EXPECT_NE(error.find("no built-in preset 'no such preset'"), std::string::npos) << error;
}

TEST(Instrument, ATakeMadeOnTheInstrumentPlaysBackFromItsTape) {
    const fs::path dir = testFolder("instrument_take");
    Offline o;
    Instrument& in = *o.instrument;
    in.loadPatchText(kPatch);
    in.state().settings.controlRate.store(750);
    std::string tape, error;
    ASSERT_TRUE(in.startTake((dir / "take").string(), tape, error)) << error;
    EXPECT_TRUE(in.tapeRecording());
    EXPECT_EQ(slurp(dir / "take.kvc").empty(), false);
    o.pointer->button(0, true);
    EXPECT_GT(o.run(4800), 1000); // the gate opened
    o.pointer->button(0, false);
    o.run(4800);
    const TakeEnd end = in.stopTake();
    EXPECT_TRUE(end.saved) << end.error;
    EXPECT_TRUE(end.audioSaved) << end.audioError;
    EXPECT_EQ(end.lost, 0u);
    EXPECT_FALSE(in.tapeRecording());
    const std::string text = slurp(tape);
    EXPECT_NE(text.find(" button left down\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" button left up\n"), std::string::npos) << text;

    TapeReplay replay;
    ASSERT_TRUE(in.readTape(tape, replay, error)) << error;
    EXPECT_NE(replay.patchText.find("Name=Gate"), std::string::npos);
    EXPECT_EQ(replay.rate, 750);
    ASSERT_TRUE(in.replay(std::move(replay), error)) << error;
    EXPECT_TRUE(in.replaying());
    EXPECT_TRUE(in.mouse().hook.muted.load()); // the tape plays its own mouse
    EXPECT_GT(o.run(4800), 1000);              // the button pressed again, from the tape
    o.run(9600);
    EXPECT_TRUE(in.replayFinished());
    EXPECT_TRUE(in.endReplay());
    EXPECT_FALSE(in.replaying());
    EXPECT_FALSE(in.mouse().hook.muted.load());
    EXPECT_FALSE(in.endReplay()); // once only
    fs::remove_all(dir);
}

TEST(Instrument, TapesThatCannotPlayLiveAreRefusedNamingTheProblem) {
    const fs::path dir = testFolder("instrument_refused");
    std::ofstream(dir / "p.kvc", std::ios::binary) << kPatch;
    const std::string header = "0 tape 1 \"p.kvc\" " + [] {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx",
                      static_cast<unsigned long long>(patchChecksum(kPatch)));
        return std::string(hex);
    }() + "\n";
    const struct {
        const char* name;
        std::string text;
        const char* said;
    } cases[] = {
        {"plain.kvtape", "0 cursor 10 10\n", "not a gesture tape"},
        {"changed.kvtape", "0 tape 1 \"p.kvc\" 0000000000000001\n10 end\n",
         "has changed since the take"},
        {"nopatch.kvtape", "0 tape 1 \"gone.kvc\" 0000000000000001\n10 end\n", "cannot be read"},
        {"sound.kvtape", header + "0 audioin 0 x.wav\n10 end\n", "not played live"},
    };
    Offline o;
    for (const auto& c : cases) {
        std::ofstream(dir / c.name, std::ios::binary) << c.text;
        TapeReplay replay;
        std::string error;
        EXPECT_FALSE(o.instrument->readTape((dir / c.name).string(), replay, error)) << c.name;
        EXPECT_NE(error.find(c.said), std::string::npos) << c.name << ": " << error;
    }
    TapeReplay replay;
    std::string error;
    EXPECT_FALSE(o.instrument->readTape((dir / "absent.kvtape").string(), replay, error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
    EXPECT_FALSE(o.instrument->replaying());
    fs::remove_all(dir);
}

// In real time every thread asks for its priority, but only the engine thread's refusal is told
// (the feeders and the ticker would repeat it), and only when real time was asked for.
TEST(Instrument, OnlyTheEngineThreadTellsThatRealTimeWasRefused) {
    for (const bool realtime : {true, false}) {
        std::mutex mutex;
        int asked = 0;
        std::vector<std::string> told;
        InstrumentBackends b;
        b.audioOut = std::make_unique<platform::NullAudioOut>();
        b.midiIn = std::make_unique<platform::ScriptedMidiIn>();
        b.audioIn = std::make_unique<platform::ScriptedAudioIn>();
        b.raisePriority = [&](bool wanted, std::string* refused) {
            const std::lock_guard lock(mutex);
            ++asked;
            if (!wanted) return true;
            if (refused) *refused = "refused";
            return false;
        };
        b.onPriorityRefused = [&](const std::string& text) {
            const std::lock_guard lock(mutex);
            told.push_back(text);
        };
        EngineState state;
        state.settings.realtimePriority.store(realtime);
        Instrument in(std::move(b), &state);
        in.loadPatchText(kPatch);
        in.start();
        for (int waited = 0; waited < 2000 && state.cycleCounter.load() < 5; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        in.engine().stopAndWait();
        const std::lock_guard lock(mutex);
        EXPECT_GE(asked, 2) << realtime; // the engine thread and the ticker at least
        EXPECT_EQ(told, realtime ? std::vector<std::string>{"refused"} : std::vector<std::string>{})
            << realtime;
    }
}

} // namespace
} // namespace kv

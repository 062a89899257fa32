// The gesture tape's writer and patch checksum.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "devices/device_input_stage.h"
#include "devices/gesture_tape.h"
#include "devices/midi_input_manager.h"
#include "engine/engine.h"
#include "modules/module_registry.h"
#include "mouse/mouse_input.h"
#include "platform/midi_in_scripted.h"

#include "common/moving_pointer.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(GestureTapeWriter, KeepsEveryEventInOrderWhileTheEngineThreadPushes) {
    const fs::path dir = fs::path(testing::TempDir()) / ("tapew_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string tape = (dir / "t.kvtape").string();
    GestureTapeWriter writer;
    std::string error;
    ASSERT_TRUE(writer.start(tape, "0 rate 4000\n", error)) << error;
    EXPECT_FALSE(writer.start(tape, "", error)); // one take at a time

    // An engine thread pushes in bursts, as at control samples; the writer drains meanwhile.
    constexpr int kEvents = 100000;
    std::thread engine([&] {
        for (int i = 0; i < kEvents; ++i) {
            writer.push({static_cast<uint64_t>(i), TapeEvent::Cursor, i % 1920, i % 1080});
            if (i % 1000 == 999) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // While recording, what is written so far is already in the .part file; the tape is not.
    std::string part;
    for (int i = 0; i < 1000 && (part = slurp(tapePartPath(tape))).size() <= 12; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(part.rfind("0 rate 4000\n", 0), 0u);
    EXPECT_NE(part.find(" cursor "), std::string::npos);
    EXPECT_FALSE(fs::exists(tape));
    engine.join();
    ASSERT_TRUE(writer.stop(kEvents, error)) << error;
    writer.push({1, TapeEvent::Cursor, 1, 1}); // after the take: dropped

    const std::string text = slurp(tape);
    EXPECT_FALSE(fs::exists(tapePartPath(tape)));
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    uint64_t expected = 0, written = 0;
    while (std::getline(lines, line) && line.find("end") == std::string::npos) {
        unsigned long long sample = 0;
        int x = 0, y = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%llu cursor %d %d", &sample, &x, &y), 3) << line;
        // Events lost to a full queue leave gaps, never disorder.
        ASSERT_GE(sample, expected);
        EXPECT_EQ(x, static_cast<int>(sample % 1920));
        expected = sample + 1;
        ++written;
    }
    EXPECT_EQ(line, std::to_string(kEvents) + " end");
    EXPECT_EQ(written + writer.lost(), uint64_t(kEvents)); // every event written or counted
    fs::remove_all(dir);
}

TEST(GestureTapeRecorder, RecordsWhileEngineSamplerHookAndMidiRunOnTheirThreads) {
    const fs::path dir = fs::path(testing::TempDir()) / ("taper_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string tape = (dir / "r.kvtape").string();
    EngineState state;
    platform::ScriptedMidiIn midi{1};
    MidiInputManager midiManager{midi};
    DeviceInputStage stage{&midiManager, nullptr};
    MouseInput mouse;
    Engine engine{state, nullptr, &mouse, &stage};
    ModuleRegistry registry{&engine};
    Module* keys = registry.addModule(Module_ControlMIDIInput);
    ASSERT_NE(keys, nullptr);
    keys->midiInputs[0].code = 0;
    MouseSampler sampler{mouse};
    MovingPointer pointer{0, 1920, 500, 0};
    MouseSamplerThread sampling{sampler, pointer};
    GestureTapeWriter writer;
    GestureTapeRecorder recorder{mouse, &midiManager, writer};
    std::string error;
    ASSERT_TRUE(writer.start(tape, "", error)) << error;
    recorder.begin();
    engine.setControlSampleTap(&recorder);
    engine.start();
    sampling.start();
    std::atomic<bool> done{false};
    std::thread hand([&] {
        for (int i = 0; !done.load(); ++i) {
            pointer.x.fetch_add(3);
            mouse.hook.onEvent(i % 2 ? HookMessage::LeftUp : HookMessage::LeftDown, 0);
            mouse.hook.onEvent(HookMessage::Wheel, 120);
            midi.send(0, 0x90, static_cast<uint8_t>(i % 128), 100);
            std::this_thread::sleep_for(std::chrono::microseconds(700));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done.store(true);
    hand.join();
    engine.setControlSampleTap(nullptr);
    engine.stopAndWait();
    sampling.stop();
    recorder.end();
    ASSERT_TRUE(writer.stop(recorder.endSample(), error)) << error;

    // Every kind of event is there, in time order.
    std::istringstream lines(slurp(tape));
    std::string line;
    unsigned long long last = 0;
    std::map<std::string, int> counts;
    while (std::getline(lines, line)) {
        unsigned long long sample = 0;
        char word[16] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "%llu %15s", &sample, word), 2) << line;
        EXPECT_GE(sample, last) << line;
        last = sample;
        ++counts[word];
    }
    EXPECT_GT(counts["cursor"], 5);
    EXPECT_GT(counts["button"], 5);
    EXPECT_GT(counts["wheel"], 5);
    EXPECT_GT(counts["midi"], 5);
    EXPECT_EQ(counts["end"], 1);
    EXPECT_FALSE(midiManager.deferred());
    fs::remove_all(dir);
}

TEST(GestureTapeWriter, LinesAndHeaderAreScriptLines) {
    EXPECT_EQ(tapeLine({7, TapeEvent::Button, 3, 1}), "7 button x1 down\n");
    EXPECT_EQ(tapeLine({8, TapeEvent::Wheel, -240, 1}), "8 wheel horizontal -240\n");
    EXPECT_EQ(tapeLine({9, TapeEvent::Midi, 2, 0x90, 0x3C, 0x7F}), "9 midi 2 90 3c 7f\n");
    TapeHeader h;
    h.patchFile = "My \"take\".kvc";
    h.checksum = 0xABC;
    h.left = -1280;
    h.rate = 1000;
    EXPECT_NE(tapeHeaderText(h).find("\n0 tape 1 \"My \\\"take\\\".kvc\" 0000000000000abc\n"
                                     "0 desktop -1280 0 1919 1079\n0 origin 0 0\n0 rate 1000\n"),
              std::string::npos)
        << tapeHeaderText(h);
}

TEST(GestureTapeWriter, PatchChecksumIgnoresTheTitleLineAndLineEnds) {
    const std::string body = "[Module_AudioOsc]\r\nName=A\r\n";
    const uint64_t sum =
        patchChecksum("## Kalvitrope Configuration (KVC) [revision B] ##\r\n" + body);
    EXPECT_EQ(
        patchChecksum("## Kalvitrope-Konfiguration [revision B] ##\n[Module_AudioOsc]\nName=A\n"),
        sum);
    EXPECT_NE(patchChecksum("## x ##\r\n[Module_AudioOsc]\r\nName=B\r\n"), sum);
}

} // namespace
} // namespace kv

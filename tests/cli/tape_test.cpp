// Gesture tapes: what a take records replays sample for sample; bad tapes are refused by line.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "cli/session.h"
#include "devices/device_input_stage.h"
#include "devices/gesture_tape.h"
#include "devices/midi_input_manager.h"
#include "engine/engine.h"
#include "instrument/script.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "mouse/mouse_input.h"
#include "platform/midi_in_scripted.h"

#include "tape_support.h"

#include "common/moving_pointer.h"

namespace kv::cli {
namespace {

namespace fs = std::filesystem;

// Mouse speed and MIDI keys play one oscillator, the left button gates a second, the wheel's
// position sets a third's amplitude.
const std::string kPatch =
    "## Kalvitrope Configuration (KVC) [revision B] ##\r\n"
    "[Module_ControlMIDIInput]\r\nName=Keys\r\nInputDeviceID=0\r\n"
    "[Module_AudioOsc]\r\nName=Lead\r\nAmplitudeControl=Speed\r\n"
    "AmplitudeControlSensitivity=100\r\nFrequencyControl=Keys\r\n"
    "FrequencyControlSensitivity=100\r\nOutputDeviceID=-1 (L+R)\r\n"
    "[Module_AudioOsc]\r\nName=Gate\r\nAmplitudeControl=Mouse Button Left\r\n"
    "AmplitudeControlSensitivity=10\r\nBaseFrequencyValue=3.3\r\n"
    "OutputDeviceID=-1 (L+R)\r\n"
    "[Module_AudioOsc]\r\nName=Wheel\r\n"
    "AmplitudeControl=Vertical Scrollwheel Position\r\n"
    "AmplitudeControlSensitivity=20\r\nBaseFrequencyValue=5.5\r\n"
    "OutputDeviceID=-1 (L+R)\r\n";

struct Take {
    std::vector<int16_t> frames;
};

// Runs `session` for `samples` and returns what the default device played.
std::vector<int16_t> play(OfflineSession& session, int64_t samples) {
    std::vector<int16_t> out;
    session.capture().setSink([&](int device, const int16_t* frames, int64_t count) {
        if (device == -1) out.insert(out.end(), frames, frames + 2 * count);
    });
    session.run([&] { return session.capture().clock() >= samples; });
    session.capture().setSink(nullptr);
    out.resize(static_cast<std::size_t>(2 * samples));
    return out;
}

bool load(OfflineSession& s, const fs::path& patch, const std::string& scriptText) {
    std::string error;
    Script script;
    EXPECT_TRUE(parseScript(scriptText, script, error)) << error;
    EXPECT_TRUE(s.loadPatch({patch.string(), {}}, error)) << error;
    EXPECT_TRUE(s.useScript(script, error)) << error;
    return error.empty();
}

TEST(GestureTape, ATakeReplaysSampleForSample) {
    const fs::path dir = tapeTestFolder("tape");
    const fs::path patch = dir / "take.kvc";
    std::ofstream(patch, std::ios::binary) << kPatch;
    const fs::path tape = dir / "take.kvtape";

    // The take: a performance whose events fall between control samples (every 64 samples at
    // 750 per second) and sampler passes (every 480 samples), as they do live.
    const std::string performance = "0 rate 750\n0 cursor 900 500\n"
                                    "333 midi 0 90 39 64\n1001 cursor 960 530\n"
                                    "2222 button left down\n2500 wheel vertical 120\n"
                                    "2501 wheel vertical 120\n3100 cursor 1200 700\n"
                                    "4000 midi 0 80 39 00\n4001 midi 0 93 45 50\n"
                                    "5555 button left up\n6000 wheel vertical -360\n"
                                    "7000 cursor 1300 200\n";
    OfflineSession live;
    ASSERT_TRUE(load(live, patch, performance));
    GestureTapeWriter writer;
    GestureTapeRecorder recorder(live.mouse(), &live.midiInput(), writer);
    TapeHeader header;
    header.patchFile = "take.kvc";
    header.checksum = patchChecksum(kPatch);
    header.rate = 750;
    std::string error;
    ASSERT_TRUE(writer.start(tape.string(), tapeHeaderText(header), error)) << error;
    recorder.begin();
    live.engine().setControlSampleTap(&recorder);
    const std::vector<int16_t> heard = play(live, 9600);
    live.engine().setControlSampleTap(nullptr);
    recorder.end();
    ASSERT_TRUE(writer.stop(recorder.endSample(), error)) << error;
    EXPECT_FALSE(fs::exists(tapePartPath(tape.string())));

    // The tape holds what the engine consumed, at control samples: MIDI held to sample 384,
    // the button seen at 2240, both wheel notches before the pass seen at 2880.
    const std::string text = slurp(tape);
    for (const char* line :
         {"\n0 tape 1 \"take.kvc\" ", "\n0 rate 750\n", "\n384 midi 0 90 39 64\n",
          "\n2240 button left down\n", "\n2880 wheel vertical 240\n2880 cursor 960 530\n",
          "\n4032 midi 0 80 39 00\n4032 midi 0 93 45 50\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    const std::string endLine = "\n" + std::to_string(recorder.endSample()) + " end\n";
    EXPECT_EQ(text.substr(text.size() - endLine.size()), endLine);
    int peak = 0;
    for (int16_t v : heard)
        peak = std::max(peak, std::abs(int(v)));
    EXPECT_GT(peak, 1000); // the take made sound

    OfflineSession replay;
    ASSERT_TRUE(load(replay, patch, text));
    const std::vector<int16_t> again = play(replay, 9600);
    std::size_t firstDifference = 0;
    while (firstDifference < heard.size() && heard[firstDifference] == again[firstDifference])
        ++firstDifference;
    EXPECT_EQ(firstDifference, heard.size()) << "first difference at frame " << firstDifference / 2;

    // The desktop program's player gives the same: it plays the tape's events at control
    // samples into a running engine whose own sampler passes are off.
    OfflineSession live2;
    ASSERT_TRUE(
        load(live2, patch, "0 tape 1 \"take.kvc\" 0000000000000000\n0 rate 750\n1000000 end\n"));
    Script parsed;
    ASSERT_TRUE(parseScript(text, parsed, error)) << error;
    std::vector<TapeEvent> events;
    for (const ScriptEvent& e : parsed.events) {
        const auto& n = e.numbers;
        auto add = [&](TapeEvent::Kind k) {
            events.push_back(
                {e.sample, k, int32_t(n[0]), int32_t(n[1]), int32_t(n[2]), int32_t(n[3])});
        };
        if (e.command == ScriptCommand::Cursor) add(TapeEvent::Cursor);
        if (e.command == ScriptCommand::Button) add(TapeEvent::Button);
        if (e.command == ScriptCommand::Wheel) add(TapeEvent::Wheel);
        if (e.command == ScriptCommand::Midi) add(TapeEvent::Midi);
    }
    GestureTapePlayer player(live2.mouse(), live2.sampler(), &live2.midiInput());
    player.load(std::move(events), parsed.endSample, {0, 0, 1919, 1079});
    live2.engine().setControlSampleTap(&player);
    EXPECT_EQ(play(live2, 9600), heard);
    live2.engine().setControlSampleTap(nullptr);
    EXPECT_TRUE(player.finished()); // the engine ran ahead of the card to the end line
    fs::remove_all(dir);
}

TEST(GestureTape, ARealTimeTakeRendersOfflineToTheSameSamples) {
    // The take runs on the real-time engine: its ticker, a sampler thread polling a moving
    // cursor every 10 ms of wall time, and a performer thread pressing buttons, turning the wheel
    // and playing MIDI whenever it likes. The oscillator row is kept as the engine computed it.
    const fs::path dir = tapeTestFolder("tape");
    const fs::path patch = dir / "rt.kvc";
    std::ofstream(patch, std::ios::binary) << kPatch;
    constexpr std::size_t kSamples = 48000;
    std::vector<double> live(kSamples);
    std::string error;
    {
        EngineState state;
        platform::ScriptedMidiIn midi{1};
        MidiInputManager midiManager{midi};
        DeviceInputStage stage{&midiManager, nullptr};
        MouseInput mouse;
        Engine engine{state, nullptr, &mouse, &stage};
        ModuleRegistry registry{&engine};
        LoadTarget target;
        target.registry = &registry;
        target.engine = &engine;
        loadConfiguration(target, kPatch);
        const int row = resolveProbeRow("Lead", registry);
        ASSERT_GE(row, 0);
        engine.afterSample = [&](uint64_t sample) {
            if (sample < kSamples) live[sample] = state.table.rows[row].primarySmoothed[0];
        };
        MouseSampler sampler{mouse};
        MovingPointer pointer{600, 1900, 300, 200};
        MouseSamplerThread sampling{sampler, pointer};
        GestureTapeWriter writer;
        GestureTapeRecorder recorder{mouse, &midiManager, writer};
        TapeHeader header;
        header.patchFile = "rt.kvc";
        header.checksum = patchChecksum(kPatch);
        ASSERT_TRUE(writer.start((dir / "rt.kvtape").string(), tapeHeaderText(header), error));
        recorder.begin();
        engine.setControlSampleTap(&recorder);
        sampling.start();
        engine.start();
        std::atomic<bool> done{false};
        std::thread performer([&] {
            for (int i = 0; !done.load(); ++i) {
                pointer.x.fetch_add(7);
                if (i % 40 == 0)
                    mouse.hook.onEvent(i % 80 ? HookMessage::LeftUp : HookMessage::LeftDown, 0);
                if (i % 25 == 0) mouse.hook.onEvent(HookMessage::Wheel, 120);
                if (i % 30 == 0) midi.send(0, 0x90, static_cast<uint8_t>(40 + i % 30), 100);
                std::this_thread::sleep_for(std::chrono::microseconds(900));
            }
        });
        // 96 samples per cycle here (no output device adjusts the chunk).
        while (state.cycleCounter.load() < static_cast<int64_t>(kSamples / 96 + 2))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        done.store(true);
        performer.join();
        engine.setControlSampleTap(nullptr);
        engine.stopAndWait();
        engine.afterSample = nullptr;
        sampling.stop();
        recorder.end();
        ASSERT_TRUE(writer.stop(recorder.endSample(), error)) << error;
    }
    OfflineSession offline;
    ASSERT_TRUE(load(offline, patch, slurp(dir / "rt.kvtape")));
    const int row = resolveProbeRow("Lead", offline.registry());
    std::vector<double> rendered(kSamples);
    offline.onSample = [&](uint64_t sample) {
        if (sample < kSamples)
            rendered[sample] = offline.state().table.rows[row].primarySmoothed[0];
    };
    offline.run([&] { return offline.engine().sampleCounter() >= kSamples; });
    std::size_t same = 0;
    while (same < kSamples && live[same] == rendered[same])
        ++same;
    EXPECT_EQ(same, kSamples) << "first difference at sample " << same;
    double peak = 0;
    for (double v : live)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 10.0); // the take made sound
    fs::remove_all(dir);
}

TEST(GestureTape, BadTapesAreRefusedNamingTheLine) {
    const std::string head = "# a take\n0 tape 1 \"p.kvc\" 00000000000000ff\n0 rate 4000\n";
    const struct {
        std::string text, message;
    } cases[] = {
        {head + "10 cursor 1 1\n5 cursor 2 2\n9 end\n",
         "line 5: time 5 goes back before the time 10 of line 4"},
        {head + "10 cursor 1 1\n20 cursor 2 3", "line 5: the tape is truncated"},
        {head + "10 cursor 1 1\n", "line 4: the tape is truncated"},
        {head + "10 jump 1 1\n20 end\n", "line 4: unknown command 'jump'"},
        {head + "10 end\n11 cursor 1 1\n", "line 5: event after the end line (line 4)"},
        {head + "10 tape 1 \"p.kvc\" 00000000000000ff\n20 end\n",
         "line 4: the tape line must be the first event"},
        {"0 tape 2 \"p.kvc\" 00000000000000ff\n1 end\n", "line 1: tape version 2 is not supported"},
        {"0 tape 1 \"p.kvc\" 12345\n1 end\n", "line 1: bad patch checksum '12345'"},
    };
    for (const auto& c : cases) {
        Script script;
        std::string error;
        EXPECT_FALSE(parseScript(c.text, script, error)) << c.text;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
    }
    // A plain script may still go back in time, and may end early.
    Script script;
    std::string error;
    ASSERT_TRUE(parseScript("10 cursor 1 1\n5 cursor 2 2\n7 end", script, error)) << error;
    EXPECT_TRUE(script.hasEnd);
    EXPECT_EQ(script.endSample, 7u);
    EXPECT_EQ(script.tape(), nullptr);
}

TEST(GestureTape, TheToolPlaysATapeOnlyOnItsPatchAndToItsEnd) {
    const fs::path dir = tapeTestFolder("tape");
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    };
    auto run = [&](const std::string& patch, const std::string& tape, int& code) {
        const std::string cmd = std::string("'") + KV_CLI_PATH + "' render --patch '" + patch +
                                "' --script '" + tape + "' --out '" + (dir / "o.wav").string() +
                                "' >/dev/null 2>'" + (dir / "err").string() + "'";
        const int status = std::system(cmd.c_str());
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return slurp(dir / "err");
    };
    char sum[17];
    std::snprintf(sum, sizeof sum, "%016llx",
                  static_cast<unsigned long long>(patchChecksum(kPatch)));
    const std::string head =
        "0 tape 1 \"take.kvc\" " + std::string(sum) + "\n0 rate 750\n100 cursor 10 10\n";
    const std::string patch = write("take.kvc", kPatch);
    const std::string tape = write("t.kvtape", head + "4800 end\n");
    int code = -1;
    std::string err = run(patch, tape, code);
    ASSERT_EQ(code, 0) << err;
    EXPECT_EQ(fs::file_size(dir / "o.wav"), 44u + 4800 * 4); // up to the end line
    fs::remove(dir / "o.wav");

    std::string other = kPatch;
    other.replace(other.find("Name=Lead"), 9, "Name=Solo");
    const struct {
        std::string patch, tape, message;
    } bad[] = {
        {write("other.kvc", other), tape, "line 1: the tape was recorded on another patch"},
        {patch, write("cut.kvtape", head + "200 cursor 20 20\n"), "line 4: the tape is truncated"},
        {patch, write("back.kvtape", head + "50 cursor 20 20\n60 end\n"),
         "line 4: time 50 goes back"},
    };
    for (const auto& c : bad) {
        err = run(c.patch, c.tape, code);
        EXPECT_EQ(code, 1) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_FALSE(fs::exists(dir / "o.wav")); // nothing played
    }
    fs::remove_all(dir);
}

TEST(GestureTape, ATakeStartsWithItsMidiDevicesOpen) {
    // A note the tape holds at sample 0 sounds from sample 0, as it did in the take: a device
    // that opened only after the first cycle would keep the MIDI row's earlier voice meanwhile.
    const fs::path dir = tapeTestFolder("tape");
    const fs::path patch = dir / "keys.kvc";
    std::ofstream(patch, std::ios::binary) << kPatch;
    OfflineSession s;
    ASSERT_TRUE(load(s, patch,
                     "0 tape 1 \"keys.kvc\" 0000000000000000\n0 rate 750\n"
                     "0 midi 0 90 3c 64\n960 end\n"));
    const int keys = resolveProbeRow("Keys", s.registry());
    ASSERT_GE(keys, 0);
    std::vector<std::pair<int, double>> seen; // voices and value at samples 0 and 480
    s.onSample = [&](uint64_t sample) {
        const ControlRow& row = s.state().table.rows[keys];
        if (sample == 0 || sample == 480) seen.emplace_back(row.voiceCount, row.primary[0]);
    };
    s.run([&] { return s.engine().sampleCounter() >= 960; });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, 1);
    EXPECT_NE(seen[0].second, 0.0);
    EXPECT_EQ(seen[0], seen[1]);
    fs::remove_all(dir);
}

} // namespace
} // namespace kv::cli

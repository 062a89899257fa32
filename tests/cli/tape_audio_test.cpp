// Gesture tapes with sound-card input: what the engine took from its inputs goes into WAV files
// beside the tape and renders offline to the same samples; bad input files are refused by line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/session.h"
#include "devices/device_input_stage.h"
#include "devices/gesture_tape.h"
#include "devices/tape_audio.h"
#include "devices/wave_input_manager.h"
#include "engine/engine.h"
#include "instrument/script.h"
#include "instrument/wav_reader.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "platform/audio_in_scripted.h"

#include "tape_support.h"

namespace kv::cli {
namespace {

namespace fs = std::filesystem;

const std::string kPatch = "## Kalvitrope Configuration (KVC) [revision B] ##\r\n"
                           "[Module_AudioInput]\r\nName=Mic\r\nInputDeviceID=0\r\nGainControl=-["
                           "Manual]-\r\nGainValue=100\r\n"
                           "[Module_AudioInput]\r\nName=Line\r\nInputDeviceID=1\r\nGainControl=-["
                           "Manual]-\r\nGainValue=100\r\n";
const char* const kInputs[] = {"Mic", "Line"};

// The little-endian number of `size` bytes at `at`.
uint32_t le(const std::string& b, std::size_t at, int size) {
    uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

// Loads `patch` and the tape at `tape` (its sound files found beside it); "" or the error.
std::string loadTape(OfflineSession& s, const fs::path& patch, const fs::path& tape) {
    std::string error;
    Script script;
    if (!parseScript(slurp(tape), script, error)) return error;
    findSoundFilesBeside(script, tape.parent_path().string());
    if (!s.loadPatch({patch.string(), {}}, error) || !s.useScript(script, error)) return error;
    return {};
}

TEST(TapeAudio, ARealTimeTakeWithIrregularInputRendersOfflineToTheSameSamples) {
    // The take runs on the real-time engine with threaded wave inputs. A card thread delivers
    // each input's samples in irregular lumps, so that the modules' reads come and go; another
    // thread now and then changes the chunk length, as a latency controller would.
    const fs::path dir = tapeTestFolder("tape_audio");
    const fs::path patch = dir / "in.kvc", tape = dir / "in.kvtape";
    std::ofstream(patch, std::ios::binary) << kPatch;
    constexpr std::size_t kSamples = 24000;
    std::vector<double> live[2];
    for (auto& v : live)
        v.assign(kSamples, 0.0);
    uint64_t end = 0;
    std::string error;
    {
        platform::ScriptedAudioIn card{2};
        std::vector<int16_t> voice(96000), line(96000);
        for (std::size_t i = 0; i < voice.size(); ++i) {
            voice[i] = static_cast<int16_t>(12000 * std::sin(0.01 * static_cast<double>(i)));
            line[i] = static_cast<int16_t>((i * 7919) % 20000 - 10000);
        }
        card.setSource(0, voice);
        card.setSource(1, line);
        WaveInputManager wave{card};
        EngineState state;
        state.settings.desiredInputLatency.store(6);
        DeviceInputStage stage{nullptr, &wave};
        Engine engine{state, nullptr, nullptr, &stage};
        ModuleRegistry registry{&engine};
        LoadTarget target;
        target.registry = &registry;
        target.engine = &engine;
        loadConfiguration(target, kPatch);
        int rows[2];
        for (int k = 0; k < 2; ++k) {
            rows[k] = resolveProbeRow(kInputs[k], registry);
            ASSERT_GE(rows[k], 0);
        }
        engine.afterSample = [&](uint64_t sample) {
            if (sample < kSamples)
                for (int k = 0; k < 2; ++k)
                    live[k][sample] = state.table.rows[rows[k]].primary[0];
        };
        GestureTapeWriter lines;
        TapeAudioWriter audio;
        TapeAudioRecorder recorder{engine, lines, audio};
        TapeHeader header;
        header.patchFile = "in.kvc";
        header.checksum = patchChecksum(kPatch);
        ASSERT_TRUE(lines.start(tape.string(), tapeHeaderText(header), error)) << error;
        ASSERT_TRUE(audio.start(tape.string(), error)) << error;
        recorder.begin();
        stage.setCapturedAudioTap(&recorder);
        engine.start();
        std::atomic<bool> done{false};
        std::thread cardThread([&] {
            const auto start = std::chrono::steady_clock::now();
            int64_t delivered = 0;
            for (uint32_t r = 1; !done.load(); r = r * 1103515245 + 12345) {
                std::this_thread::sleep_for(std::chrono::microseconds(300 + (r >> 8) % 6000));
                const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
                const int64_t due = us * 48 / 1000;
                card.advance(static_cast<int>(due - delivered));
                delivered = due;
            }
        });
        std::thread latency([&] {
            for (int i = 0; !done.load(); ++i) {
                state.chunkAdjustment.store(static_cast<int8_t>(i % 7 == 3 ? i % 5 - 2 : 0));
                std::this_thread::sleep_for(std::chrono::milliseconds(i % 7 == 3 ? 2 : 30));
            }
        });
        // Cycles are 94 to 98 samples long here.
        while (state.cycleCounter.load() < static_cast<int64_t>(kSamples / 94 + 10))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        done.store(true);
        cardThread.join();
        latency.join();
        stage.setCapturedAudioTap(nullptr);
        engine.stopAndWait();
        engine.afterSample = nullptr;
        end = recorder.endSample();
        EXPECT_EQ(recorder.divergent(), 0u);
        ASSERT_TRUE(audio.stop(error)) << error;
        ASSERT_TRUE(lines.stop(end, error, recorder.closingLines())) << error;
        EXPECT_EQ(audio.lost() + lines.lost(), 0u);
    }

    // The tape names each input's file; reads that broke the rhythm have lines of their own.
    const std::string text = slurp(tape);
    int audioLines = 0;
    std::map<int, long long> lastFrame;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        long long sample = 0, frame = 0;
        int device = 0, step = 0;
        char file[64] = {};
        if (std::sscanf(l.c_str(), "%lld audioin %d \"%63[^\"]\" %lld %d", &sample, &device, file,
                        &frame, &step) != 5)
            continue;
        ++audioLines;
        EXPECT_EQ(std::string(file), "in input " + std::to_string(device) + ".wav") << l;
        lastFrame[device] = frame;
    }
    // Each file is a complete mono 16-bit 48000 Hz WAV of whole reads.
    uint64_t reads = 0;
    for (int device : {0, 1}) {
        const std::string wav = slurp(dir / ("in input " + std::to_string(device) + ".wav"));
        ASSERT_GT(wav.size(), 44u + 384u);
        EXPECT_EQ(wav.substr(0, 4) + wav.substr(8, 8) + wav.substr(36, 4), "RIFFWAVEfmt data");
        const uint32_t fields[][3] = {{4, 4, static_cast<uint32_t>(wav.size() - 8)},
                                      {16, 4, 16},
                                      {20, 2, 1} /* PCM */,
                                      {22, 2, 1} /* mono */,
                                      {24, 4, 48000},
                                      {28, 4, 96000},
                                      {32, 2, 2},
                                      {34, 2, 16},
                                      {40, 4, static_cast<uint32_t>(wav.size() - 44)}};
        for (const auto& f : fields)
            EXPECT_EQ(le(wav, f[0], static_cast<int>(f[1])), f[2]) << "offset " << f[0];
        EXPECT_EQ((wav.size() - 44) % 384, 0u);
        reads += (wav.size() - 44) / 384;
        EXPECT_EQ(lastFrame[device], static_cast<long long>(wav.size() - 44) / 2); // closing line
        EXPECT_FALSE(fs::exists(dir / ("in input " + std::to_string(device) + ".wav.part")));
    }
    EXPECT_GT(audioLines, 4); // the lumps broke the rhythm now and then
    EXPECT_LE(static_cast<uint64_t>(audioLines), reads + 2) << text;

    // Rendered offline from the tape, and played by the live player into an engine whose
    // inputs are left to the tape: the modules take the same samples as live.
    const auto compare = [&](OfflineSession& session, const char* how) {
        int rows[2];
        for (int k = 0; k < 2; ++k)
            rows[k] = resolveProbeRow(kInputs[k], session.registry());
        std::vector<double> rendered[2];
        for (auto& v : rendered)
            v.assign(kSamples, 0.0);
        session.onSample = [&](uint64_t sample) {
            if (sample < kSamples)
                for (int k = 0; k < 2; ++k)
                    rendered[k][sample] = session.state().table.rows[rows[k]].primary[0];
        };
        session.run([&] { return session.engine().sampleCounter() >= kSamples; });
        for (int k = 0; k < 2; ++k) {
            std::size_t same = 0;
            while (same < kSamples && live[k][same] == rendered[k][same])
                ++same;
            EXPECT_EQ(same, kSamples)
                << how << ", " << kInputs[k] << ": first difference at " << same;
        }
    };
    ASSERT_GE(end, kSamples);
    for (int k = 0; k < 2; ++k) {
        double peak = 0;
        for (double v : live[k])
            peak = std::max(peak, std::fabs(v));
        EXPECT_GT(peak, 100.0) << kInputs[k]; // the input was heard
    }
    {
        OfflineSession offline;
        ASSERT_EQ(loadTape(offline, patch, tape), "");
        compare(offline, "offline");
    }
    {
        Script script;
        ASSERT_TRUE(parseScript(text, script, error)) << error;
        findSoundFilesBeside(script, dir.string());
        TapeInputFiles files;
        for (const ScriptEvent& e : script.events)
            if (e.command == ScriptCommand::AudioIn && !files.count(e.file)) {
                files[e.file] = std::make_shared<std::vector<int16_t>>();
                ASSERT_TRUE(readWavMono(e.file, *files[e.file], error)) << error;
            }
        std::vector<TapeInputDelivery> deliveries;
        ASSERT_TRUE(scheduleTapeInput(script, files, deliveries, error)) << error;
        OfflineSession replay;
        ASSERT_TRUE(replay.loadPatch({patch.string(), {}}, error)) << error;
        GestureTapePlayer player(replay.mouse(), replay.sampler(), nullptr);
        for (const TapeInputDelivery& d : deliveries)
            replay.inputStage().setReplayedInput(d.device, true);
        player.load({}, script.endSample, {0, 0, 1919, 1079});
        player.loadInput(std::move(deliveries), replay.registry().modules(Module_AudioInput));
        replay.engine().setControlSampleTap(&player);
        compare(replay, "player");
        replay.engine().setControlSampleTap(nullptr);
    }
    fs::remove_all(dir);
}

TEST(TapeAudio, InputAtTheCardsPaceTakesOneLinePerDevice) {
    // A card that delivers a block per 96-sample cycle: the modules read every other cycle.
    const fs::path dir = tapeTestFolder("tape_audio");
    const std::string tape = (dir / "pace.kvtape").string();
    platform::ScriptedAudioIn card{2};
    card.setSource(0, std::vector<int16_t>(96000, 1000));
    WaveInputManager wave{card, WaveInputManager::Servicing::Manual};
    EngineState state;
    DeviceInputStage stage{nullptr, &wave};
    Engine engine{state, nullptr, nullptr, &stage};
    ModuleRegistry registry{&engine};
    LoadTarget target;
    target.registry = &registry;
    target.engine = &engine;
    loadConfiguration(target, kPatch);
    GestureTapeWriter lines;
    TapeAudioWriter audio;
    TapeAudioRecorder recorder{engine, lines, audio};
    std::string error;
    ASSERT_TRUE(lines.start(tape, "", error)) << error;
    ASSERT_TRUE(audio.start(tape, error)) << error;
    recorder.begin();
    stage.setCapturedAudioTap(&recorder);
    engine.beginOffline();
    for (int cycle = 0; cycle < 500; ++cycle) {
        engine.runCycle(nullptr);
        wave.service();
        wave.feedPending();
        card.advance(96);
    }
    engine.endOffline();
    ASSERT_TRUE(audio.stop(error)) << error;
    ASSERT_TRUE(lines.stop(recorder.endSample(), error, recorder.closingLines())) << error;
    // Per device: its first read, foretelling one every 192 samples, and the closing line.
    const std::string text = slurp(tape);
    std::istringstream in(text);
    std::vector<std::string> audioLines;
    for (std::string l; std::getline(in, l);)
        if (l.find(" audioin ") != std::string::npos) audioLines.push_back(l.substr(l.find(' ')));
    const uint64_t reads = (fs::file_size(dir / "pace input 0.wav") - 44) / 384;
    EXPECT_GT(reads, 200u);
    ASSERT_EQ(audioLines.size(), 4u) << text;
    EXPECT_EQ(audioLines[0], " audioin 0 \"pace input 0.wav\" 0 192") << text;
    EXPECT_EQ(audioLines[2],
              " audioin 0 \"pace input 0.wav\" " + std::to_string(reads * 192) + " 0")
        << text;
    fs::remove_all(dir);
}

TEST(TapeAudio, BadInputFilesAndLinesAreRefusedNamingTheLine) {
    const fs::path dir = tapeTestFolder("tape_audio");
    const fs::path patch = dir / "p.kvc";
    std::ofstream(patch, std::ios::binary) << kPatch;
    auto wav = [&](const std::string& name, uint32_t samples, uint32_t kept) {
        std::string bytes = monoWavHeader(samples * 2) + std::string(kept * 2, '\x01');
        std::ofstream(dir / name, std::ios::binary) << bytes;
    };
    wav("two.wav", 384, 384);   // two reads
    wav("short.wav", 384, 300); // two reads, cut off in the second
    const std::string head = "0 tape 1 \"p.kvc\" 0000000000000000\n";
    const struct {
        std::string body, message;
    } cases[] = {
        // Line 3 counts three reads from line 2; the file holds two.
        {"96 audioin 0 \"two.wav\" 0 192\n500 audioin 0 \"two.wav\" 576 0\n500 end\n",
         "the file is truncated"},
        {"96 audioin 0 \"short.wav\" 0 96\n200 audioin 0 \"short.wav\" 384 0\n200 end\n",
         "the file is truncated"},
        {"96 audioin 0 \"gone.wav\" 0 192\n200 end\n", "gone.wav"},
        // Two reads 192 apart from 96 do not fit before 150.
        {"96 audioin 0 \"two.wav\" 0 192\n150 audioin 0 \"two.wav\" 384 0\n300 end\n",
         "frame 384 does not follow from line 2"},
    };
    for (const auto& c : cases) {
        std::ofstream(dir / "t.kvtape", std::ios::binary) << head + c.body;
        OfflineSession s;
        const std::string error = loadTape(s, patch, dir / "t.kvtape");
        const std::string line = c.body.find("gone") != std::string::npos ? "2" : "3";
        EXPECT_EQ(error.rfind("script line " + line + ": ", 0), 0u) << c.body << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    // The plain form still names a file that a card plays; the extended form checks its numbers.
    Script script;
    std::string error;
    EXPECT_TRUE(parseScript("0 audioin 0 \"two.wav\"\n", script, error)) << error;
    EXPECT_FALSE(script.events[0].recordedInput);
    const struct {
        std::string numbers, message;
    } badNumbers[] = {
        {"100 192", "bad frame '100'"},
        {"-192 0", "bad frame '-192'"},
        {"0 -1", "bad step '-1'"},
    };
    for (const auto& c : badNumbers) {
        EXPECT_FALSE(parseScript("0 audioin 0 \"two.wav\" " + c.numbers + "\n", script, error));
        EXPECT_EQ(error.rfind("line 1: " + c.message, 0), 0u) << error;
    }

    // The tool refuses such a tape before it plays anything.
    char sum[17];
    std::snprintf(sum, sizeof sum, "%016llx",
                  static_cast<unsigned long long>(patchChecksum(kPatch)));
    std::ofstream(dir / "t.kvtape", std::ios::binary)
        << "0 tape 1 \"p.kvc\" " + std::string(sum) +
               "\n96 audioin 0 \"short.wav\" 0 96\n400 audioin 0 \"short.wav\" 384 0\n400 end\n";
    const std::string cmd = std::string("'") + KV_CLI_PATH + "' render --patch '" + patch.string() +
                            "' --script '" + (dir / "t.kvtape").string() + "' --out '" +
                            (dir / "o.wav").string() + "' >/dev/null 2>'" + (dir / "err").string() +
                            "'";
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    EXPECT_NE(slurp(dir / "err").find("line 3: "), std::string::npos) << slurp(dir / "err");
    EXPECT_FALSE(fs::exists(dir / "o.wav"));
    fs::remove_all(dir);
}

} // namespace
} // namespace kv::cli

namespace kv::cli {
namespace {

// A sound file is read only as far as the run wants it (a sparse gigabyte costs nothing), and
// what is not a regular file is refused before it is opened (a pipe would block).
TEST(WavInput, ReadsOnlyWhatIsWantedAndRefusesDevices) {
    const fs::path dir = fs::temp_directory_path() / ("kv_wavin_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string b = "RIFF\xF8\xFF\xFF\x3F"
                    "WAVEfmt ";
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            b.push_back(static_cast<char>(v >> (8 * i)));
    };
    put(16, 4), put(1, 2), put(2, 2), put(48000, 4), put(192000, 4), put(4, 2), put(16, 2);
    b += "data";
    put((1u << 30) - 44, 4);
    put(100, 2), put(300, 2); // the first frame: its channels average to 200
    const fs::path large = dir / "large.wav";
    std::ofstream(large, std::ios::binary) << b;
    fs::resize_file(large, uintmax_t(1) << 30);
    std::vector<int16_t> samples;
    std::string error;
    ASSERT_TRUE(readWavMono(large.string(), samples, error, 4800)) << error;
    ASSERT_EQ(samples.size(), 4800u);
    EXPECT_EQ(samples[0], 200);
    EXPECT_EQ(samples[1], 0);

    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& device : {std::string("/dev/zero"), fifo.string()}) {
        EXPECT_FALSE(readWavMono(device, samples, error));
        EXPECT_EQ(error, "'" + device + "': not a regular file");
    }
    fs::remove_all(dir);
}

} // namespace
} // namespace kv::cli

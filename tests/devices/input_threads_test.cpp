// Input devices while the real-time engine runs: MIDI messages and recorded blocks arrive on their
// own threads, modules switch devices, and devices open and close on the service thread. Run under
// ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <thread>

#include "devices/device_input_stage.h"
#include "devices/wav_writer.h"
#include "engine/audio_input.h"
#include "engine/engine.h"
#include "engine/midi_sources.h"
#include "modules/module_registry.h"
#include "platform/audio_in_scripted.h"
#include "platform/midi_in_scripted.h"

namespace kv {
namespace {

using namespace std::chrono_literals;

TEST(EngineThreads, InputDevicesOpenCloseAndDeliverWhileTheEngineRuns) {
    EngineState state;
    state.settings.desiredInputLatency = 4;
    platform::ScriptedMidiIn midi{2};
    platform::ScriptedAudioIn audio{2};
    std::vector<int16_t> tone(48000 * 4);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(10000 * std::sin(0.05 * static_cast<double>(i)));
    audio.setSource(0, tone);
    audio.setSource(1, tone);
    MidiInputManager midiManager{midi};
    WaveInputManager waveManager{audio};
    DeviceInputStage stage{&midiManager, &waveManager};
    Engine engine{state, nullptr, nullptr, &stage};
    ModuleRegistry registry{&engine};
    Module* keys = registry.addModule(Module_ControlMIDIInput);
    Module* sliders = registry.addModule(Module_ControlMIDIControllerInput);
    Module* line = registry.addModule(Module_AudioInput);
    ASSERT_TRUE(keys && sliders && line);
    keys->midiInputs[0].code = 0;
    line->soundInputs[0].code = 0;

    engine.start();
    std::atomic<bool> done{false}, cardDone{false};
    std::thread player([&] {
        for (uint8_t n = 0; !done.load(); n = static_cast<uint8_t>((n + 1) % 128)) {
            midi.send(0, 0x90, n, 100);
            midi.send(1, 0xB0, n, n);
            midi.send(0, 0x80, n, 0);
            std::this_thread::sleep_for(200us);
        }
    });
    std::thread card([&] {
        while (!cardDone.load()) {
            audio.advance(96);
            std::this_thread::sleep_for(1ms);
        }
    });
    const int codes[] = {0, 1, -555, 0, 1};
    for (int i = 0; i < 100; ++i) {
        keys->midiInputs[0].code = codes[i % 5];
        sliders->midiInputs[0].code = codes[(i + 2) % 5];
        line->soundInputs[0].code = codes[(i + 1) % 5];
        if (i % 10 == 0) toggleLearn(*sliders, state);
        std::this_thread::sleep_for(5ms);
    }
    // Settle on device 0 with a key held.
    keys->midiInputs[0].code = 0;
    sliders->midiInputs[0].code = 0;
    line->soundInputs[0].code = 0;
    done = true;
    player.join();
    for (int i = 0; i < 500 && (midiManager.openDevices() != std::vector<int>{0} ||
                                waveManager.openDevices() != std::vector<int>{0});
         ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(midiManager.openDevices(), std::vector<int>{0});
    EXPECT_EQ(waveManager.openDevices(), std::vector<int>{0});
    // Every module names device 0 now (for some cycles already), so it stays open: a key
    // pressed is held in its table.
    std::this_thread::sleep_for(20ms);
    midi.send(0, 0x90, 57, 90);
    std::this_thread::sleep_for(50ms);
    engine.stopAndWait();
    cardDone = true;
    card.join();

    EXPECT_TRUE(midiManager.openDevices().empty()); // closed as the engine thread ended
    EXPECT_TRUE(waveManager.openDevices().empty());
    const ControlRow& row = state.table.rows[keys->outputRow];
    ASSERT_EQ(row.voiceCount, 1);
    EXPECT_EQ(row.noteId[0], 57);
    EXPECT_GT(line->stateAs<AudioInputState>().written, 0);
}

TEST(EngineThreads, InputRecordingStartsAndStopsWhileAFeederWrites) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("kv_rec_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    Module writer{Module_AudioWaveWriter};
    writer.soundOutputs[0].code = 0;
    writer.waveWriters[0].append = false;
    WaveWriterList list;
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        const std::vector<uint8_t> block(384, 0x5A);
        while (!done.load()) {
            list.writeBlock(block.data(), block.size(), 0);
            std::this_thread::sleep_for(100us);
        }
    });
    for (int take = 0; take < 20; ++take) {
        writer.waveWriters[0].path = (dir / ("t" + std::to_string(take) + ".wav")).string();
        ASSERT_EQ(list.start(writer), WaveWriterList::StartResult::Started);
        std::this_thread::sleep_for(3ms);
        list.stop(writer);
        // Whole blocks only, and the header tells the size.
        const auto size = fs::file_size(writer.waveWriters[0].path);
        EXPECT_EQ((size - 44) % 384, 0u) << take;
    }
    done = true;
    feeder.join();
    fs::remove_all(dir);
}

} // namespace
} // namespace kv

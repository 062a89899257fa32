// End to end: the real-time engine plays oscillators through the RtAudio JACK backend into a JACK
// server; a second JACK client records what arrives.
#ifdef KV_HAVE_RTAUDIO
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "devices/device_output_stage.h"
#include "engine/engine.h"
#include "jack_recorder.h"
#include "modules/module_registry.h"
#include "platform/audio_out_rtaudio.h"

namespace kv::platform {
namespace {

using namespace std::chrono_literals;

TEST(EngineOnJack, OscillatorsOnLeftAndRightArriveOnTheirOwnSides) {
    REQUIRE_JACK();
    StageWatchdog watchdog(std::chrono::seconds(60));
    watchdog.at("opening the recording client");
    const std::string player = "kvengine" + std::to_string(getpid());
    const std::string recorder = "kvcapture" + std::to_string(getpid());
    Recorder rec(recorder);

    watchdog.at("opening the playing backend");
    RtAudioOut out("jack", unconnectedPlayer(player));
    ASSERT_EQ(out.apiName(), "jack");
    OutputDeviceManager manager(out);
    DeviceOutputStage stage(manager);
    EngineState state;
    Engine engine(state, &stage);
    ModuleRegistry registry(&engine);

    // 440 Hz at 50 % on the left of the default device, 660 Hz at 25 % on its right.
    Module* left = registry.addModule(Module_AudioOsc);
    Module* right = registry.addModule(Module_AudioOsc);
    ASSERT_TRUE(left && right);
    left->soundOutputs[0].code = 99;
    right->soundOutputs[0].code = 199;
    right->frequencies[0].multiplier = 150.0;
    right->inputSliders[0].manual = 25.0;

    watchdog.at("starting the engine and connecting its ports");
    engine.start();
    // The device service opens the device the first cycle asks for; then its ports can be
    // connected.
    bool connected = false;
    for (int i = 0; i < 200 && !connected; ++i) {
        std::this_thread::sleep_for(10ms);
        connected = connectStereo(player, recorder);
    }
    ASSERT_TRUE(connected) << "the engine's output ports did not appear";
    watchdog.at("recording two seconds");
    const std::size_t start = rec.frames();
    while (rec.frames() < start + 2 * 48000)
        std::this_thread::sleep_for(20ms);
    const std::size_t end = rec.frames();
    watchdog.at("stopping the engine");
    engine.stopAndWait();
    watchdog.at("measuring and closing the clients");

    // Measure the last second.
    const Measure l = measure(rec, 0, end - 48000, 48000);
    const Measure r = measure(rec, 1, end - 48000, 48000);
    std::printf("measured: left %.1f Hz rms %.0f, right %.1f Hz rms %.0f, latency %.1f ms\n",
                l.hertz, l.rms, r.hertz, r.rms, state.smoothedLatency.load());
    EXPECT_NEAR(l.hertz, 440.0, 3.0);
    EXPECT_NEAR(r.hertz, 660.0, 3.0);
    // Peak 500 engine units = 16000 at the card; 250 = 8000. A late cycle may leave a gap, so the
    // level is allowed some loss.
    EXPECT_NEAR(l.rms, 16000 / std::sqrt(2.0), 1200);
    EXPECT_NEAR(r.rms, 8000 / std::sqrt(2.0), 600);
    EXPECT_GT(state.smoothedLatency.load(), 0.0);
    EXPECT_TRUE(manager.openDevices().empty()); // the stopped engine closed its device
}

} // namespace
} // namespace kv::platform

#endif // KV_HAVE_RTAUDIO

// The RtAudio backend on a running JACK server (scripts/test-services.sh starts one): the output
// stage plays two tones through the device manager, a second JACK client records them.
#ifdef KV_HAVE_RTAUDIO
#include <gtest/gtest.h>

#include <RtAudio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_output_stage.h"
#include "jack_recorder.h"
#include "platform/audio_out_rtaudio.h"
#include "platform/thread_priority.h"

namespace kv::platform {
namespace {

using namespace std::chrono_literals;

TEST(RtAudioJack, AutomaticChoiceFindsTheServer) {
    REQUIRE_JACK();
    RtAudioOut out("auto");
    EXPECT_EQ(out.apiName(), "jack");
    EXPECT_GE(out.deviceCount(), 1);
    EXPECT_TRUE(out.deviceName(-1).has_value());
    // Our real-time threads are placed below the server's client threads (or at normal priority
    // when the server does not run in real time).
    bool found = false;
    const std::optional<int> server = jackClientPriority(found);
    EXPECT_TRUE(found);
    EXPECT_EQ(realtimePriority(), server ? std::max(*server - 1, 1) : 0);
}

TEST(RtAudioJack, PlaysEachSideThroughTheDeviceManager) {
    REQUIRE_JACK();
    const std::string player = "kvplay" + std::to_string(getpid());
    const std::string recorder = "kvrec" + std::to_string(getpid());
    Recorder rec(recorder);

    RtAudioOut out("jack", unconnectedPlayer(player));
    ASSERT_EQ(out.apiName(), "jack");
    OutputDeviceManager manager(out);
    DeviceOutputStage stage(manager);
    LatencyControl latency;
    latency.desiredLatency = 36;

    // The engine's cycle every 2 ms: 440 Hz on the left, 660 Hz at half the level on the right.
    // Like the engine's ticker, a late cycle does not make up for the ticks it missed.
    std::thread connect;
    double phaseLeft = 0, phaseRight = 0;
    auto deadline = std::chrono::steady_clock::now();
    auto cycle = [&] {
        deadline += 2ms;
        std::this_thread::sleep_until(deadline);
        deadline = std::max(deadline, std::chrono::steady_clock::now() - 2ms);
        stage.startCycle(latency.chunkAdjustment);
        for (int i = 0; i < 96 + latency.chunkAdjustment; ++i) {
            stage.addToBus(i, 99, 500.0 * std::sin(phaseLeft));
            stage.addToBus(i, 199, 250.0 * std::sin(phaseRight));
            phaseLeft += 2 * std::numbers::pi * 440.0 / 48000.0;
            phaseRight += 2 * std::numbers::pi * 660.0 / 48000.0;
        }
        stage.beginCycleAndFlush(latency);
        stage.endCycle();
    };
    stage.engineStarted();
    // Three seconds of cycles, longer (up to 15 s) while a loaded machine has delayed the
    // connection so that less than 1.5 s were recorded after it.
    constexpr std::size_t kNotYet = SIZE_MAX;
    std::atomic<std::size_t> connectedAt{kNotYet}; // recorded frames when connected
    const auto heardAfterConnection = [&] {
        const std::size_t at = connectedAt.load();
        return at == kNotYet ? 0 : rec.frames() - at;
    };
    for (int n = 0; n < 1500 || (heardAfterConnection() < 48000u * 3 / 2 && n < 7500); ++n) {
        cycle();
        // The device service opens the device while the cycles go on; then it can be connected.
        if (!connect.joinable() && manager.openDevices() == std::vector<int>{-1}) {
            connect = std::thread([&] {
                EXPECT_TRUE(connectStereo(player, recorder)) << "jack_connect failed";
                connectedAt.store(rec.frames());
            });
        }
    }
    const std::size_t capturedAtEnd = rec.frames(), recordedConnected = heardAfterConnection();
    const double settled = latency.smoothedLatency;
    // Then a desired latency of 0: the controller drains the queue to a small part of what it
    // held at 36 ms (a few ms out of 36 on a quiet machine). What it settles on and how soon
    // depend on the load (36 ms came out as 49 to 71 on a busy machine, and the server may stall
    // for a while), so the cycles go on until the latency is below half of it, for up to 7500
    // cycles (15 s): a controller that lets the queue grow, or does not follow its target, fails.
    latency.desiredLatency = 0;
    for (int n = 0; n < 7500 && latency.smoothedLatency >= settled / 2; ++n)
        cycle();
    ASSERT_TRUE(connect.joinable()) << "the device did not open";
    connect.join();
    manager.closeAll();

    ASSERT_GE(recordedConnected, 48000u) << "less than a second was recorded after connecting";
    const std::size_t first = capturedAtEnd - 48000;
    const Measure left = measure(rec, 0, first, 48000), right = measure(rec, 1, first, 48000);
    EXPECT_NEAR(left.hertz, 440.0, 3.0);
    EXPECT_NEAR(right.hertz, 660.0, 3.0);
    EXPECT_NEAR(left.rms, 16000 / std::sqrt(2.0), 1000);
    EXPECT_NEAR(right.rms, 8000 / std::sqrt(2.0), 500);
    EXPECT_GT(settled, 0.0) << "no queued audio was measured";
    EXPECT_LT(latency.smoothedLatency, settled / 2)
        << "the output latency did not follow its target from 36 ms down to 0";
}

} // namespace
} // namespace kv::platform

#endif // KV_HAVE_RTAUDIO

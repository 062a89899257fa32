// The output stage on the capture backend's simulated clock: the engine's cycle as the real-time
// driver runs it, with the card playing 96 frames per 2 ms cycle.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "devices/audio_out_capture.h"
#include "devices/device_output_stage.h"
#include "engine/engine_state.h"

namespace kv {
namespace {

struct Tone {
    int code;
    double hertz;
    double amplitude; // engine units
    double phase = 0.0;
};

class CaptureRun {
  public:
    explicit CaptureRun(int desiredLatency) { latency.desiredLatency = desiredLatency; }

    /// Runs `cycles` engine cycles of the tones; returns the queue length on the default device in
    /// milliseconds after each cycle, averaged over the last half.
    double run(int cycles, std::vector<Tone>& tones) {
        double queued = 0.0;
        for (int c = 0; c < cycles; ++c) {
            stage.startCycle(latency.chunkAdjustment);
            const int n = 96 + latency.chunkAdjustment;
            for (int i = 0; i < n; ++i)
                for (Tone& t : tones) {
                    stage.addToBus(i, t.code, t.amplitude * std::sin(t.phase));
                    t.phase += 2 * std::numbers::pi * t.hertz / 48000.0;
                }
            stage.beginCycleAndFlush(latency);
            stage.endCycle();
            manager.feedPending();
            capture.advance(96);
            lengths.push_back(n);
            if (c >= cycles / 2) queued += capture.queuedBlocks(-1) * 2.0;
        }
        return queued / (cycles - cycles / 2);
    }

    CaptureAudioOut capture;
    OutputDeviceManager manager{capture, OutputDeviceManager::Feeding::Manual};
    DeviceOutputStage stage{manager};
    LatencyControl latency;
    std::vector<int> lengths;
};

struct Measure {
    double hertz, rms;
};

// Frequency by rising zero crossings and RMS of one channel over `frames` frames from `first`.
Measure measure(const std::vector<int16_t>& stereo, int channel, std::size_t first,
                std::size_t frames) {
    const std::size_t total = first + frames;
    int crossings = 0;
    double sum = 0.0;
    for (std::size_t f = first; f < total; ++f) {
        const double v = stereo[2 * f + channel];
        sum += v * v;
        if (f > first && stereo[2 * (f - 1) + channel] < 0 && v >= 0) ++crossings;
    }
    return {crossings * 48000.0 / static_cast<double>(frames), std::sqrt(sum / frames)};
}

TEST(CaptureRun, LeftAndRightTonesArriveOnTheirOwnSides) {
    CaptureRun r(36);
    std::vector<Tone> tones{{99, 440.0, 500.0}, {199, 660.0, 250.0}};
    r.run(2000, tones); // 4 s
    const auto played = r.capture.recording(-1);
    ASSERT_EQ(played.size(), 2u * 2000 * 96);
    const Measure left = measure(played, 0, 96000, 96000), right = measure(played, 1, 96000, 96000);
    EXPECT_NEAR(left.hertz, 440.0, 1.0);
    EXPECT_NEAR(right.hertz, 660.0, 1.0);
    EXPECT_NEAR(left.rms, 500 * 32 / std::sqrt(2.0), 100);
    EXPECT_NEAR(right.rms, 250 * 32 / std::sqrt(2.0), 50);
    EXPECT_EQ(r.capture.openCount(), 1);
}

TEST(CaptureRun, ControllerHoldsTheQueueAtTheDesiredLatency) {
    for (int desired : {0, 36, 50, 100, 200}) {
        CaptureRun r(desired);
        std::vector<Tone> tones{{-1, 440.0, 100.0}};
        const double queued = r.run(5000, tones);
        EXPECT_NEAR(queued, desired, 3.0) << "D = " << desired;
        EXPECT_NEAR(r.latency.smoothedLatency, desired, 3.0) << "D = " << desired;
        // Once settled, the engine computes what the card plays.
        double sum = 0;
        for (std::size_t c = r.lengths.size() - 1000; c < r.lengths.size(); ++c)
            sum += r.lengths[c];
        EXPECT_NEAR(sum / 1000, 96.0, 1.0) << "D = " << desired;
    }
}

TEST(CaptureRun, ClosedDeviceRecordsSilenceAndRecordingsShareOneTimeline) {
    CaptureRun r(36);
    std::vector<Tone> none;
    r.run(10, none); // nothing routed: no device opened
    EXPECT_TRUE(r.capture.recording(-1).empty());
    std::vector<Tone> tone{{100, 1000.0, 500.0}};
    r.run(100, tone);
    std::vector<Tone> silent;
    r.run(50, silent);
    EXPECT_EQ(r.capture.openCount(), 0);
    const auto played = r.capture.recording(0);
    ASSERT_EQ(played.size(), 2u * 160 * 96);
    double early = 0, late = 0, right = 0;
    for (std::size_t f = 0; f < 10 * 96; ++f)
        early += std::abs(played[2 * f]);
    for (std::size_t f = 150 * 96; f < 160 * 96; ++f)
        late += std::abs(played[2 * f]);
    for (std::size_t f = 0; f < 160 * 96; ++f)
        right += std::abs(played[2 * f + 1]);
    EXPECT_EQ(early, 0);
    EXPECT_EQ(late, 0);
    EXPECT_EQ(right, 0);
    EXPECT_GT(measure(played, 0, 40 * 96, 60 * 96).rms, 10000);
}

TEST(DeviceOutputStage, SteersTheEngineThroughItsState) {
    CaptureAudioOut capture;
    OutputDeviceManager manager(capture, OutputDeviceManager::Feeding::Manual);
    DeviceOutputStage stage(manager);
    auto state = std::make_unique<EngineState>();
    state->settings.desiredOutputLatency = 0;
    state->chunkAdjustment = 12;
    state->smoothedLatency = 7.0;

    // No bus used: the engine's figures stay as they were.
    stage.engineStarted();
    stage.startCycle(state->chunkAdjustment);
    stage.beginCycleAndFlush(*state);
    stage.endCycle();
    EXPECT_EQ(state->chunkAdjustment, 12);
    EXPECT_DOUBLE_EQ(state->smoothedLatency, 7.0);

    // A used bus with nothing queued yet: t = 2 × (0 − 0) = 0.
    stage.startCycle(state->chunkAdjustment);
    stage.addToBus(0, -1, 1.0);
    stage.beginCycleAndFlush(*state);
    SampleChunk back;
    ASSERT_TRUE(stage.readBack(-1, back));
    EXPECT_EQ(back.length(), 96); // cut from 108 to the bus target 0
    stage.endCycle();
    EXPECT_EQ(state->chunkAdjustment, 0);
    EXPECT_DOUBLE_EQ(state->smoothedLatency, 7.0 * 0.99);
    stage.closeAll();
    EXPECT_EQ(capture.openCount(), 0);
}

} // namespace
} // namespace kv

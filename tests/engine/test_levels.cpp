// Levels published for compact module windows: what the engine hands over, the take-and-reset of
// the audio accumulators, and the hand-over while the real-time engine runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "engine_fixture.h"
#include "modules/module_controls.h"

namespace kv {
namespace {

using namespace std::chrono_literals;

struct Levels : ::testing::Test {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};

    void SetUp() override { engine.beginOffline(); }
    void run(int cycles) {
        for (int c = 0; c < cycles; ++c)
            engine.runCycle(nullptr);
    }
    Module* oscAt1000Hz() {
        Module* osc = registry.addModule(Module_AudioOsc);
        FrequencySlot& f = AudioOscControls{*osc}.frequency();
        f.source = kSourceManual;
        f.base = 10;
        f.multiplier = 100;
        return osc;
    }
};

TEST_F(Levels, CompactOscillatorPublishesItsPeakUntilTakenThenStartsAgain) {
    Module* osc = oscAt1000Hz(); // default amplitude: peaks at 500 after the attack
    run(50);
    EXPECT_FALSE(osc->levels.published.load()); // a full window is not served
    EXPECT_EQ(osc->levels.accumulator[0].load(), 0.0);

    osc->showState = 5;
    run(500); // one second, well past the attack
    ASSERT_TRUE(osc->levels.published.load());
    EXPECT_EQ(osc->levels.voices.load(), 1);
    EXPECT_DOUBLE_EQ(osc->levels.frequency.load(), 1000.0);
    EXPECT_NEAR(osc->levels.take(0), 500.0, 1.0);
    EXPECT_EQ(osc->levels.take(0), 0.0); // taken: nothing until the engine adds again
    run(1);
    EXPECT_NEAR(osc->levels.take(0), 500.0, 2.0); // one cycle holds two periods

    // Back to the full state: the accumulator is left alone.
    osc->showState = 10;
    run(5);
    EXPECT_EQ(osc->levels.take(0), 0.0);
}

TEST_F(Levels, PlayedFrequencyAndControlRows) {
    Module* input = registry.addModule(Module_ControlInput);
    ControlInputControls{*input}.inputSource().source = kSourceManual;
    ControlInputControls{*input}.inputSource().manual = 50; // one voice of 500 at velocity 127
    Module* osc = oscAt1000Hz();
    FrequencySlot& f = AudioOscControls{*osc}.frequency();
    f.source = input->outputRow;
    f.sensitivity = 200;
    Module* pluck = registry.addModule(Module_AudioMutedPluck);
    AudioMutedPluckControls{*pluck}.note().source = kSourceManual;
    AudioMutedPluckControls{*pluck}.note().manual = 440;
    for (Module* m : {input, osc, pluck})
        m->showState = 5;
    run(3);

    EXPECT_DOUBLE_EQ(osc->levels.frequency.load(), 1000.0); // 500 × 200 %
    EXPECT_DOUBLE_EQ(pluck->levels.frequency.load(), 440.0);
    ASSERT_EQ(input->levels.voices.load(), 1);
    EXPECT_DOUBLE_EQ(input->levels.primary[0].load(), 500.0);
    EXPECT_DOUBLE_EQ(input->levels.velocity[0].load(), 127.0);
}

// The user-interface thread reads and takes levels every millisecond, and switches windows
// between compact and full, while the real-time engine publishes them. Clean under
// ThreadSanitizer; every value read is one the engine could have written.
TEST(EngineThreads, LevelsReadWhileTheEngineRuns) {
    EngineState state;
    test::RecordingOutput output;
    output.keepAdds = false;
    Engine engine{state, &output};
    ModuleRegistry registry{&engine};
    Module* osc = registry.addModule(Module_AudioOsc);
    Module* input = registry.addModule(Module_ControlInput);
    Module* sensor = registry.addModule(Module_ControlSensor);
    ControlInputControls{*input}.inputSource().source = kSourceManual;
    ControlInputControls{*input}.inputSource().manual = 50;
    for (Module* m : {osc, input, sensor})
        m->showState = 5;
    engine.start();

    double loudest = 0;
    int reads = 0;
    bool sane = true;
    const auto until = std::chrono::steady_clock::now() + 600ms;
    while (std::chrono::steady_clock::now() < until) {
        const int n = osc->levels.voices.load(std::memory_order_relaxed);
        for (int k = 0; k < std::min(n, kVoices); ++k) {
            const double level = osc->levels.take(k);
            sane &= std::isfinite(level) && level >= 0 && level <= 1024;
            loudest = std::max(loudest, level);
        }
        if (input->levels.voices.load(std::memory_order_relaxed) == 1) {
            const double p = input->levels.primary[0].load(std::memory_order_relaxed);
            sane &= p == 0 || p == 500;
        }
        sane &= std::isfinite(sensor->levels.secondRowPrimary.load(std::memory_order_relaxed));
        if (++reads % 100 == 0) sensor->showState = sensor->showState == 5 ? 10 : 5;
        std::this_thread::sleep_for(1ms);
    }
    engine.stopAndWait();
    EXPECT_TRUE(sane);
    EXPECT_GT(reads, 100);
    EXPECT_GT(loudest, 100.0); // the oscillator was heard through the published levels
    EXPECT_TRUE(input->levels.published.load());
}

} // namespace
} // namespace kv

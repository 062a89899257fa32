// The mouse rows of the control table: smoothing at the control rate, buttons as gates, and the
// hook, sampler and engine threads sharing the mouse state. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/engine.h"
#include "mouse/mouse_input.h"

namespace kv {
namespace {

TEST(MouseRows, MetricsAreSmoothedAtTheControlRate) {
    struct Case {
        uint16_t rate;
        double factor; // share of the metric taken per control sample
    };
    const Case cases[] = {{4000, 0.025}, {48000, 100.0 / 48000}, {1000, 0.1}, {100, 1.0}, {50, 1.0},
                          {1, 1.0}}; // never overshooting at slow rates
    for (const Case& c : cases) {
        MouseInput mouse;
        ControlTable table;
        table.initialise();
        mouse.metrics.set(kSourceSpeed, 1000);
        mouse.metrics.set(kSourceDirection, -500);
        mouse.updateMouseRows(table, c.rate);
        const ControlRow& speed = table.rows[kMouseRowBase + kSourceSpeed];
        EXPECT_NEAR(speed.primary[0], 1000 * c.factor, 1e-9) << c.rate;
        EXPECT_EQ(speed.primarySmoothed[0], speed.primary[0]) << c.rate;
        EXPECT_NEAR(table.rows[kMouseRowBase].primary[0], -500 * c.factor, 1e-9) << c.rate;
        mouse.updateMouseRows(table, c.rate);
        EXPECT_NEAR(speed.primary[0], 1000 * (1 - (1 - c.factor) * (1 - c.factor)), 1e-9) << c.rate;
        EXPECT_EQ(speed.voiceCount, 1) << c.rate;
        EXPECT_EQ(speed.velocity[0], 127) << c.rate;
    }
    MouseInput mouse;
    ControlTable table;
    table.initialise();
    mouse.metrics.set(kSourceSpeed, 1000);
    mouse.updateMouseRows(table, 0); // no control samples: nothing moves
    EXPECT_EQ(table.rows[kMouseRowBase + kSourceSpeed].primary[0], 0);
}

TEST(MouseRows, ButtonsAreGatesWithoutSmoothing) {
    MouseInput mouse;
    ControlTable table;
    table.initialise();
    mouse.updateMouseRows(table, 4000);
    for (int b = 0; b < kMouseButtons; ++b)
        EXPECT_EQ(table.rows[kMouseRowBase + kSourceButtonLeft + b].voiceCount, 0);
    mouse.hook.onEvent(HookMessage::RightDown, 0);
    mouse.hook.onEvent(HookMessage::XDown, 2);
    mouse.updateMouseRows(table, 4000);
    for (int b = 0; b < kMouseButtons; ++b) {
        const ControlRow& row = table.rows[kMouseRowBase + kSourceButtonLeft + b];
        const bool held = b == kButtonRight || b == kButtonX2;
        EXPECT_EQ(row.voiceCount, held ? 1 : 0) << b;
        EXPECT_EQ(row.primary[0], held ? 1000 : 0) << b;
        EXPECT_EQ(row.primarySmoothed[0], row.primary[0]) << b;
        EXPECT_EQ(row.noteId[0], kMouseRowBase + kSourceButtonLeft + b) << b;
    }
    mouse.hook.onEvent(HookMessage::RightUp, 0);
    mouse.updateMouseRows(table, 4000);
    EXPECT_EQ(table.rows[kMouseRowBase + kSourceButtonLeft + kButtonRight].voiceCount, 0);
    EXPECT_EQ(table.rows[kMouseRowBase + kSourceButtonLeft + kButtonRight].primary[0], 0);
}

// A pointer that moves in a circle on every reading; any thread may read or warp it.
class CirclingPointer final : public platform::MouseBackend {
  public:
    bool installHook(MouseHookState&, std::string&) override { return true; }
    void removeHook() override {}
    bool cursorPosition(long& x, long& y) override {
        const int step = steps_.fetch_add(1, std::memory_order_relaxed);
        x = 960 + (step % 200) * 5 - 500;
        y = 540 + (step % 50) * 3;
        return true;
    }
    void warpCursor(long, long) override {}
    platform::DesktopRect desktop() override { return {}; }

  private:
    std::atomic<int> steps_{0};
};

// The hook thread presses buttons and turns wheels, the sampler thread polls the cursor, and the
// engine thread copies everything into the mouse rows, all at once.
TEST(EngineThreads, MouseHookSamplerAndEngineShareTheMouseState) {
    EngineState state;
    MouseInput mouse;
    Engine engine{state, nullptr, &mouse};
    CirclingPointer pointer;
    MouseSampler sampler{mouse};
    MouseSamplerThread sampling{sampler, pointer};
    std::atomic<int> afterPause{0};
    sampling.afterPause = [&] { afterPause.fetch_add(1, std::memory_order_relaxed); };

    std::atomic<bool> stop{false};
    std::thread hookThread([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            mouse.hook.onEvent(i % 2 ? HookMessage::LeftUp : HookMessage::LeftDown, 0);
            mouse.hook.onEvent(HookMessage::Wheel, 120);
            mouse.hook.onEvent(HookMessage::HWheel, -120);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        mouse.hook.onEvent(HookMessage::LeftDown, 0);
    });
    sampling.start();
    engine.start();
    // The cursor is known once the sampler has made its first pass.
    for (int i = 0; i < 2000 && afterPause.load() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread reader([&] { // a module reading the screen, as the sensor does
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            long x = 0, y = 0;
            mouse.cursorPosition(x, y);
            EXPECT_GE(x, 460);
            EXPECT_LE(x, 1455);
        }
    });
    for (int i = 0; i < 2000 && (afterPause.load() < 20 || state.cycleCounter.load() < 100); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop.store(true);
    hookThread.join();
    reader.join();
    sampling.stop();
    engine.stopAndWait();

    EXPECT_GE(afterPause.load(), 20);
    EXPECT_GE(state.cycleCounter.load(), 100);
    EXPECT_GT(mouse.hook.presses(kButtonLeft), 0u);
    const double v = mouse.hook.vertical.load();
    EXPECT_GE(v, -100);
    EXPECT_LE(v, 100);
    EXPECT_GT(mouse.metrics.totalDistance.load(), 0);
    // One more control sample sees the last state: the left button held.
    mouse.updateMouseRows(state.table, 4000);
    const ControlRow& left = state.table.rows[kMouseRowBase + kSourceButtonLeft];
    EXPECT_EQ(left.voiceCount, 1);
    EXPECT_EQ(left.primary[0], 1000);
    EXPECT_NE(state.table.rows[kMouseRowBase + kSourceSpeed].primary[0], 0);
}

// A pass takes the wheel's position and its delta sum (logged for a gesture tape) of one moment,
// however fast the hook thread turns it: the position always follows from the sum.
TEST(EngineThreads, EveryPassTakesTheWheelOfOneMoment) {
    MouseInput mouse;
    CirclingPointer pointer;
    MouseSampler sampler{mouse};
    std::atomic<bool> stop{false};
    std::thread hookThread([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            mouse.hook.onEvent(HookMessage::Wheel, 120); // a notch away: the position falls
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    });
    int64_t notches = 0;
    double expected = 0; // the position after `notches` notches, wrapped as the hook wraps it
    int mismatches = 0;
    for (int i = 0; notches < 2000 && i < 10'000'000; ++i) {
        sampler.pass(pointer);
        const MouseInput::PassReading r = mouse.passReading(mouse.passCount() - 1);
        for (; notches < r.verticalDeltas / 120; ++notches) {
            expected -= kWheelUnitsPerNotch;
            if (expected < -kWheelWrap) expected += 2 * kWheelWrap;
        }
        if (mouse.metrics.value(kSourceVerticalScrollPosition) != expected * 10) ++mismatches;
    }
    stop.store(true);
    hookThread.join();
    EXPECT_GE(notches, 2000);
    EXPECT_EQ(mismatches, 0);
}

// A control sample takes the metrics of one whole pass, however fast the sampler makes them:
// the nth pass sets every metric to n, so every row holds the number of passes it was taken after.
TEST(EngineThreads, EveryControlSampleTakesTheMetricsOfOnePass) {
    MouseInput mouse;
    ControlTable table;
    table.initialise();
    std::atomic<bool> stop{false};
    std::thread samplerThread([&] {
        for (double n = 1; !stop.load(std::memory_order_relaxed); ++n) {
            mouse.beginPass();
            for (int i = 0; i < kMetricSources; ++i)
                mouse.metrics.set(i, n);
            mouse.endPass({});
        }
    });
    int torn = 0, samples = 0;
    // Until a thousand passes were taken: a busy machine may not run the sampler for a while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (; (samples < 1000 || mouse.consumedPasses() < 1000) &&
           std::chrono::steady_clock::now() < deadline;
         ++samples) {
        mouse.updateMouseRows(table, 100); // below 100 per second the rows take the metrics as is
        for (int i = 0; i < kMetricSources; ++i)
            if (table.rows[kMouseRowBase + i].primary[0] !=
                static_cast<double>(mouse.consumedPasses()))
                ++torn;
    }
    stop.store(true);
    samplerThread.join();
    EXPECT_GT(mouse.consumedPasses(), 0u);
    EXPECT_EQ(torn, 0) << "in " << samples << " control samples";
}

} // namespace
} // namespace kv

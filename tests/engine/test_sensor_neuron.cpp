// The control sensor's proximity and direction from the cursor, and the neuron's integrate, leak,
// fire and discharge.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "engine/sensor_neuron.h"
#include "modules/module_controls.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

constexpr double kPi = std::numbers::pi;

struct ScriptedScreen final : MouseRows {
    long x = 0, y = 0, originX = 0, originY = 0;
    Rect rect;
    void updateMouseRows(ControlTable&, uint16_t) override {}
    void cursorPosition(long& cx, long& cy) override {
        cx = x;
        cy = y;
    }
    Rect desktop() override { return rect; }
    void clientOrigin(long& ox, long& oy) override {
        ox = originX;
        oy = originY;
    }
};

struct SensorNeuron : ::testing::Test {
    EngineState state;
    ModuleRegistry registry;
    EngineView view;
    EngineContext ctx{state, state.table, state.rand, view};
    ScriptedScreen screen;

    Module* add(int type) {
        Module* m = registry.addModule(type);
        state.table.registerRow(m->outputRow, 1, 127);
        if (m->secondOutputRow >= 0) state.table.registerRow(m->secondOutputRow, 1, 127);
        return m;
    }
    double out(int row) const { return state.table.rows[row].primary[0]; }
    // A sensor whose point lies at screen (px, py) with the main window's client origin at
    // (10, 20).
    Module* sensorAt(long px, long py) {
        Module* m = add(Module_ControlSensor);
        screen.originX = 10;
        screen.originY = 20;
        const SensorPointOffset off = sensorPointOffset();
        m->positionX = px - 10 - off.dx;
        m->positionY = py - 20 - off.dy;
        return m;
    }
};

TEST_F(SensorNeuron, ProximityFallsWithTheFifthPowerOfTheDistance) {
    screen.rect = {0, 0, 3000, 4000}; // diagonal 5000
    ctx.mouse = &screen;
    Module* m = sensorAt(100, 200);
    for (auto [dx, dy, proximity] : {std::tuple{0L, 0L, 1000.0},
                                     {1500L, 2000L, 31.25},
                                     {3000L, 4000L, 0.0},
                                     {-1500L, -2000L, 31.25}}) {
        screen.x = 100 + dx;
        screen.y = 200 + dy;
        evaluateSensor(*m, ctx);
        EXPECT_NEAR(out(m->outputRow), proximity, 1e-9) << dx << "," << dy;
        EXPECT_EQ(state.table.rows[m->outputRow].velocity[0], 127);
    }
    // Without a mouse layer the cursor is at (0, 0) on a 1920 by 1080 desktop.
    ctx.mouse = nullptr;
    Module* corner = add(Module_ControlSensor);
    const SensorPointOffset off = sensorPointOffset();
    corner->positionX = 1919 - off.dx;
    corner->positionY = 1079 - off.dy;
    evaluateSensor(*corner, ctx);
    EXPECT_NEAR(out(corner->outputRow), 0.0, 1e-9);
    // A shown window's own point wins over the stored centre.
    corner->sensorPointX = 0;
    corner->sensorPointY = 0;
    evaluateSensor(*corner, ctx);
    EXPECT_NEAR(out(corner->outputRow), 1000.0, 1e-9);
}

TEST_F(SensorNeuron, DirectionIsLowWhereThePointLiesInTheChosenDirection) {
    ctx.mouse = &screen;
    Module* m = sensorAt(500, 500);
    const ControlSensorControls c{*m};
    struct Case {
        long dx, dy; // cursor relative to the point
        double angle, signedOut, unsignedOut;
    };
    const Case cases[] = {
        {-100, 0, 0, -1000, 0},  // cursor to the left: the point lies at angle 0
        {100, 0, 0, 1000, 1000}, // to the right
        {0, -100, 0, 0, 500},    // above
        {0, 100, 0, 0, 500},     // below
        {0, -100, kPi / 2, -1000, 0}, {100, 0, -kPi, -1000, 0}, // the seam at ±π
        {-100, 0, 4 * kPi, -1000, 0},                           // an angle stored beyond one turn
    };
    for (const Case& k : cases) {
        screen.x = 500 + k.dx;
        screen.y = 500 + k.dy;
        c.angle().value = k.angle;
        for (bool signedOutput : {true, false}) {
            c.doSignedOutput().state = signedOutput;
            evaluateSensor(*m, ctx);
            EXPECT_NEAR(out(m->secondOutputRow), signedOutput ? k.signedOut : k.unsignedOut, 1e-9)
                << k.dx << "," << k.dy << " angle " << k.angle << " signed " << signedOutput;
        }
    }
}

struct Neuron : SensorNeuron {
    Module* n = nullptr;
    void SetUp() override { n = add(Module_ControlNeuron); }
    ControlNeuronControls c() const { return {*n}; }
    static void manual(InputSliderSlot& s, double v) {
        s.source = kSourceManual;
        s.manual = v;
    }
    double step() {
        evaluateNeuron(*n, ctx);
        return out(n->outputRow);
    }
    // Samples until the output first rises above 0, or −1 within `limit` samples.
    long firstOutput(long limit) {
        for (long i = 0; i < limit; ++i)
            if (step() != 0) return i;
        return -1;
    }
};

TEST_F(Neuron, DefaultsFireAfterTwoThirdsOfASecondThenDischargeOnePercentPerMillisecond) {
    const long fired = firstOutput(48000);
    EXPECT_NEAR(fired / 48.0, 666.7, 0.5);
    const double first = out(n->outputRow);
    EXPECT_NEAR(first, 10000.0, 5.0);
    EXPECT_EQ(state.table.rows[n->outputRow].primarySmoothed[0], first);
    double later = 0;
    for (int i = 0; i < 48; ++i)
        later = step();
    EXPECT_NEAR(later / first, 0.99, 0.0002);
}

TEST_F(Neuron, ThresholdZeroNeverFiresAndFullLeakthroughPassesTheInputs) {
    manual(c().threshold(), 0);
    EXPECT_EQ(firstOutput(48000), -1);
    manual(c().leakthrough(), 100);
    for (int i = 0; i < 4800; ++i)
        step();
    EXPECT_NEAR(out(n->outputRow), 1500.0, 1e-6);
    EXPECT_NEAR(n->stateAs<NeuronState>().potential, 47.0 / 48.0 * 1.5, 1e-9);
}

TEST_F(Neuron, NegativeThresholdFiresOnNegativeInputsUnlessInputsAreMadePositive) {
    manual(c().threshold(), -1000);
    manual(c().dendrite0(), -150);
    EXPECT_EQ(firstOutput(48000), -1); // made positive, the potential only rises
    registry.removeModule(n);
    SetUp();
    manual(c().threshold(), -1000);
    manual(c().dendrite0(), -150);
    c().doMakeAllInputsPositive().state = false;
    EXPECT_NEAR(firstOutput(48000) / 48.0, 666.7, 0.5);
    EXPECT_NEAR(out(n->outputRow), -10000.0, 5.0);
}

} // namespace
} // namespace kv

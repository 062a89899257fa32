// Control input and the control shaping modules at a control rate of 4000 Hz: sensitiser speeds,
// modulator waves, echo repeats, combine sums, range mapping, offset and gain.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "engine/control_shaping.h"
#include "engine/sources.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

struct ControlShaping : ::testing::Test {
    EngineState state;
    ModuleRegistry registry; // no engine: rows are registered directly
    EngineView view;
    EngineContext ctx{state, state.table, state.rand, view};
    Module* feed = nullptr; // a module whose row the tests write as an input

    void SetUp() override {
        ctx.controlRate = 4000;
        ctx.msPerControlSample = 0.25;
        feed = add(Module_ControlInput);
    }
    Module* add(int type) {
        Module* m = registry.addModule(type);
        EXPECT_NE(m, nullptr);
        state.table.registerRow(m->outputRow, typeInfo(type).voices, typeInfo(type).velocity);
        return m;
    }
    ControlRow& row(const Module* m) { return state.table.rows[m->outputRow]; }
    // The feed row carries these voices: note id, primary, velocity.
    void setFeed(std::initializer_list<std::tuple<int, double, double>> voices) {
        ControlRow& r = row(feed);
        r.voiceCount = static_cast<uint8_t>(voices.size());
        int k = 0;
        for (auto [note, primary, velocity] : voices) {
            r.noteId[k] = static_cast<uint8_t>(note);
            r.primary[k] = primary;
            r.velocity[k++] = velocity;
        }
    }
};

TEST_F(ControlShaping, ControlInputScalesItsSource) {
    Module* in = add(Module_ControlInput);
    auto& src = in->inputSliders[0];
    src.source = kSourceManual;
    src.manual = 50;
    evaluateControlInput(*in, ctx);
    EXPECT_EQ(row(in).voiceCount, 1);
    EXPECT_EQ(row(in).primary[0], 500.0);
    EXPECT_EQ(row(in).velocity[0], 127.0);
    EXPECT_EQ(row(in).noteId[0], 0);

    state.table.rows[131].primary[0] = 400; // speed, raw value; note id 131
    src.source = 131;
    src.sensitivity = 50;
    evaluateControlInput(*in, ctx);
    EXPECT_EQ(row(in).primary[0], 200.0);
    EXPECT_EQ(row(in).noteId[0], 131);

    state.table.rows[150].voiceCount = 0; // left button up: no voice
    src.source = 150;
    evaluateControlInput(*in, ctx);
    EXPECT_EQ(row(in).voiceCount, 0);
    src.source = kSourceNone;
    row(in).voiceCount = 1;
    evaluateControlInput(*in, ctx);
    EXPECT_EQ(row(in).voiceCount, 0);
}

TEST_F(ControlShaping, SensitiserVelocityRisesAndFallsByAQuarterPerControlSample) {
    Module* s = add(Module_ControlSensitiser);
    s->inputSliders[0].source = feed->outputRow;
    setFeed({{60, 440, 127}});
    evaluateSensitiser(*s, ctx);
    ASSERT_EQ(row(s).voiceCount, 1);
    EXPECT_DOUBLE_EQ(row(s).velocity[0], 31.75); // ka = 0.25 at Attack 0
    EXPECT_EQ(row(s).primary[0], 440.0);
    EXPECT_EQ(row(s).noteId[0], 60);
    evaluateSensitiser(*s, ctx);
    EXPECT_DOUBLE_EQ(row(s).velocity[0], 31.75 + (127 - 31.75) * 0.25);

    setFeed({}); // the note ends: a quarter less per control sample, gone below 0.1
    double v = row(s).velocity[0];
    int steps = 0;
    for (; steps < 100; ++steps) {
        evaluateSensitiser(*s, ctx);
        if (row(s).voiceCount == 0) break;
        EXPECT_DOUBLE_EQ(row(s).velocity[0], v * 0.75);
        v = row(s).velocity[0];
    }
    EXPECT_LT(v * 0.75, 0.1);
    EXPECT_GE(v, 0.1);

    // Attack 1000: ka = 0, the velocity never rises; the voice stays while the note is held.
    s->simpleSliders[0].value = 1000;
    setFeed({{61, 0, 127}});
    for (int i = 0; i < 10; ++i)
        evaluateSensitiser(*s, ctx);
    EXPECT_EQ(row(s).voiceCount, 1);
    EXPECT_EQ(row(s).velocity[0], 0.0);
}

TEST_F(ControlShaping, SensitiserSignalModeScalesAndFadesNegativeNotes) {
    Module* s = add(Module_ControlSensitiser);
    s->inputSliders[0].source = feed->outputRow;
    s->inputSliders[0].sensitivity = 50;
    s->checkBoxes[0].state = true; // signal instead of velocity
    setFeed({{3, -800, 90}});
    evaluateSensitiser(*s, ctx);
    // Falling towards −800 at the decay speed 0.25, then scaled by the sensitivity.
    EXPECT_DOUBLE_EQ(row(s).primary[0], -800 * 0.25 * 0.5);
    EXPECT_EQ(row(s).velocity[0], 90.0);
    setFeed({});
    evaluateSensitiser(*s, ctx);
    ASSERT_EQ(row(s).voiceCount, 1); // a negative note fades towards 0 too
    EXPECT_DOUBLE_EQ(row(s).primary[0], -800 * 0.25 * 0.75 * 0.5);
    for (int i = 0; i < 100 && row(s).voiceCount; ++i)
        evaluateSensitiser(*s, ctx);
    EXPECT_EQ(row(s).voiceCount, 0);
}

TEST_F(ControlShaping, ModulatorWaves) {
    struct Case {
        const char* what;
        bool am, signedOutput;
        double input, step; // manual input and step size (percent)
        double low, high;   // extremes over one cycle
    } cases[] = {
        {"FM sine 0..1000", false, false, 0, 0, 0, 1000},
        {"FM sine signed", false, true, 0, 0, -1000, 1000},
        {"AM at 500 signed", true, true, 50, 0, -500, 500},
        {"AM at 500 unsigned", true, false, 50, 0, 250, 750},
        {"steps of 50 %", false, true, 0, 50, -1000, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Module* m = add(Module_ControlModulator); // 2 Hz × 1, sine, manual input
        m->inputSliders[0].source = kSourceManual;
        m->inputSliders[0].manual = c.input;
        m->inputSliders[5].manual = c.step;
        m->modulationEffects[0].choice = c.am ? 0 : 1;
        m->checkBoxes[1].state = c.signedOutput;
        double lo = 1e9, hi = -1e9;
        for (int i = 1; i <= 2000; ++i) { // one cycle of 2 Hz at 4000 control samples a second
            evaluateModulator(*m, ctx);
            const double y = row(m).primary[0];
            lo = std::min(lo, y);
            hi = std::max(hi, y);
            if (c.step) {
                ASSERT_EQ(std::fmod(y, 500.0), 0.0) << y; // truncated to steps of 500
                if (i == 1001) {                          // -3.14 goes towards zero
                    EXPECT_EQ(y, 0.0);
                }
                continue;
            }
            const double w = 1000 * std::sin(i * kTwoPi / 2000.0) * (c.am ? c.input / 100 : 1);
            ASSERT_NEAR(y, c.signedOutput ? w : (w + 1000) / 2, 1e-6) << i;
        }
        EXPECT_NEAR(lo, c.low, c.step ? 500 : 0.01);
        EXPECT_NEAR(hi, c.high, c.step ? 500 : 0.01);
        EXPECT_EQ(row(m).velocity[0], 127.0);
    }
}

TEST_F(ControlShaping, ModulatorRateFollowsFmInputAndReflectsNegativeRates) {
    struct Case {
        int source; // manual or the feed row
        double input, base;
        bool linear;
        double hz;
    } cases[] = {
        {kSourceManual, 100, 2, false, 20},   // full input: ten times the rate
        {kSourceManual, -100, 2, false, 0.2}, // full negative manual input: a tenth
        {kSourceManual, 50, 2, true, 502},    // linear: rate + input
        {kSourceManual, -50, 2, true, 502},
        {0, -1000, 2, false, 20},         // a row's input is made positive
        {kSourceManual, 0, -3, false, 3}, // a negative rate runs at its size
    };
    for (const auto& c : cases) {
        Module* m = add(Module_ControlModulator);
        m->inputSliders[0].source = c.source == 0 ? feed->outputRow : c.source;
        m->inputSliders[0].manual = c.input;
        m->frequencies[0].base = c.base;
        m->frequencies[0].multiplier = 1;
        m->checkBoxes[0].state = c.linear;
        setFeed({{9, c.input, 100}});
        evaluateModulator(*m, ctx);
        EXPECT_NEAR(m->stateAs<ModulatorState>().phase[0], std::fmod(c.hz / 4000 * kTwoPi, kTwoPi),
                    1e-12)
            << c.input << " " << c.base;
        if (c.source == 0) {
            EXPECT_EQ(row(m).noteId[0], 9);
        }
    }
    // Rates above the control rate keep the phase within one cycle.
    Module* fast = add(Module_ControlModulator);
    fast->inputSliders[0].source = kSourceManual;
    fast->frequencies[0].base = -30000;
    fast->frequencies[0].multiplier = 1;
    for (int i = 0; i < 1000; ++i)
        evaluateModulator(*fast, ctx);
    EXPECT_LE(fast->stateAs<ModulatorState>().phase[0], kTwoPi);
}

TEST_F(ControlShaping, EchoRepeatsEveryIntervalAtTheLingerLevel) {
    struct Case {
        double intervalMs, lingerPercent;
        int period; // control samples between repeats
    } cases[] = {{250, 75, 1000}, {10000, 75, 24000}, {250, 100, 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intervalMs);
        Module* e = add(Module_ControlEcho);
        e->inputSliders[0].source = kSourceManual;
        e->inputSliders[0].manual = c.intervalMs;
        e->inputSliders[1].source = kSourceManual;
        e->inputSliders[1].manual = c.lingerPercent;
        e->controlInputs[0].source = feed->outputRow;
        const double L = c.lingerPercent / 100;
        setFeed({{5, 333, 100}, {140, 0, 127}}); // a mouse row's note id has no line
        evaluateControlEcho(*e, ctx);
        ASSERT_EQ(row(e).voiceCount, 1);
        EXPECT_EQ(row(e).noteId[0], 5);
        EXPECT_EQ(row(e).velocity[0], 100 * L); // already the first output carries the linger
        EXPECT_EQ(row(e).primary[0], 333.0);
        setFeed({});
        for (int repeat = 1; repeat <= 2; ++repeat) {
            for (int i = 1; i < c.period; ++i) {
                evaluateControlEcho(*e, ctx);
                ASSERT_EQ(row(e).voiceCount, 0) << i;
            }
            evaluateControlEcho(*e, ctx);
            ASSERT_EQ(row(e).voiceCount, 1);
            EXPECT_DOUBLE_EQ(row(e).velocity[0], 100 * std::pow(L, repeat + 1));
        }
    }
}

TEST_F(ControlShaping, EchoClampsFreezesWithoutParametersAndReadsManualAsZero) {
    Module* e = add(Module_ControlEcho);
    e->inputSliders[0].source = kSourceManual;
    e->inputSliders[0].manual = 0.25; // 1 control sample: every sample repeats
    e->inputSliders[1].source = kSourceManual;
    e->inputSliders[1].manual = 200;
    e->checkBoxes[0].state = true; // signal mode
    e->controlInputs[0].source = feed->outputRow;
    setFeed({{7, 90000, 64}});
    evaluateControlEcho(*e, ctx);
    setFeed({});
    for (int i = 0; i < 5; ++i)
        evaluateControlEcho(*e, ctx);
    EXPECT_EQ(row(e).primary[0], 100000.0);
    EXPECT_EQ(row(e).velocity[0], 64.0);

    e->inputSliders[1].source = kSourceNone; // output frozen
    row(e).voiceCount = 1;
    row(e).primary[0] = 1;
    evaluateControlEcho(*e, ctx);
    EXPECT_EQ(row(e).primary[0], 1.0);

    Module* m = add(Module_ControlEcho); // a manual input: velocity 127, note id 0, signal 0
    m->controlInputs[0].source = kSourceManual;
    m->inputSliders[0].source = m->inputSliders[1].source = kSourceManual;
    m->inputSliders[1].manual = 50;
    evaluateControlEcho(*m, ctx);
    ASSERT_EQ(row(m).voiceCount, 1);
    EXPECT_EQ(row(m).velocity[0], 63.5);
    EXPECT_EQ(row(m).primary[0], 0.0);
}

TEST_F(ControlShaping, CombineSumsEqualNotesOnce) {
    Module* c = add(Module_ControlCombine);
    setFeed({{60, 261.6, 100}, {64, 329.6, 50}});
    c->controlInputs[0].source = feed->outputRow;
    c->controlInputs[1].source = feed->outputRow;
    c->controlInputs[2].source = kSourceManual; // note 0, velocity 127, no signal
    evaluateCombine(*c, ctx);
    ASSERT_EQ(row(c).voiceCount, 3);
    EXPECT_DOUBLE_EQ(row(c).primary[0], 2 * 261.6);
    EXPECT_DOUBLE_EQ(row(c).primary[1], 2 * 329.6);
    EXPECT_EQ(row(c).velocity[0], 100.0);
    EXPECT_EQ(row(c).velocity[1], 50.0);
    EXPECT_EQ(row(c).noteId[2], 0);
    EXPECT_EQ(row(c).primary[2], 0.0);
    EXPECT_EQ(row(c).velocity[2], 127.0);
    c->controlInputs[0].source = c->controlInputs[1].source = kSourceNone;
    c->controlInputs[2].source = kSourceNone;
    evaluateCombine(*c, ctx);
    EXPECT_EQ(row(c).voiceCount, 0);
}

TEST_F(ControlShaping, RangeSlopesAndMidPointOffsets) {
    struct Case {
        double inLow, inHigh, outLow, outHigh;
        bool keep;
        double x, y;
    } cases[] = {
        {-100, 100, -100, 100, false, 700, 700}, // default ranges: identity
        {-100, 100, 0, 100, false, 1000, 1000},   {-100, 100, 0, 100, false, -1000, 0},
        {0, 100, -100, 100, false, 0, -500},      {0, 100, -100, 100, false, 1000, 1500},
        {0, 100, -100, 100, true, 1000, 1000},    {0, 100, -100, 100, true, -1000, -1000},
        {100, -100, -100, 100, false, 300, -300}, // a lower limit above the upper inverts
        {50, 50, -100, 100, false, 300, 0},       // an empty input range gives 0
    };
    Module* r = add(Module_ControlRange);
    r->inputSliders[0].source = feed->outputRow;
    for (const auto& c : cases) {
        r->flippers[0].lower = c.inLow;
        r->flippers[0].upper = c.inHigh;
        r->flippers[1].lower = c.outLow;
        r->flippers[1].upper = c.outHigh;
        r->checkBoxes[0].state = c.keep;
        setFeed({{4, c.x, 99}});
        evaluateRange(*r, ctx);
        EXPECT_DOUBLE_EQ(row(r).primary[0], c.y) << c.inLow << ".." << c.inHigh << " " << c.x;
    }
}

TEST_F(ControlShaping, OffsetAndGain) {
    Module* o = add(Module_ControlOffset);
    Module* g = add(Module_ControlGain);
    Module* level = add(Module_ControlInput); // a parameter source: voice 0 = 500
    row(level).primary[0] = 500;
    setFeed({{8, 300, 77}});
    struct Case {
        Module* m;
        int source; // of the parameter
        double manual, y;
    } cases[] = {
        {o, kSourceManual, 20, 500},   // 30 % + 20 %
        {o, kSourceNone, 20, 300},     // none adds 0
        {o, level->outputRow, 0, 800}, // 500 ‰ = 50 %
        {g, kSourceManual, 200, 600},  // 200 %
        {g, kSourceManual, 0, 0},      // 0 % silences
        {g, kSourceNone, 100, 0},      // none multiplies by 0
        {g, level->outputRow, 0, 150}, // 500 ‰ = 0.5
    };
    for (const auto& c : cases) {
        c.m->inputSliders[0].source = feed->outputRow;
        c.m->inputSliders[1].source = c.source;
        c.m->inputSliders[1].manual = c.manual;
        (c.m == o ? evaluateOffset : evaluateGain)(*c.m, ctx);
        EXPECT_DOUBLE_EQ(row(c.m).primary[0], c.y) << c.source << " " << c.manual;
        EXPECT_EQ(row(c.m).voiceCount, 1); // the voice and its velocity stay
        EXPECT_EQ(row(c.m).velocity[0], 77.0);
        EXPECT_EQ(row(c.m).noteId[0], 8);
    }
}

} // namespace
} // namespace kv

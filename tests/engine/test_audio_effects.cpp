// The audio effects, each driven sample by sample from a source row: echo returns and clamp,
// multi-delay taps, pitch-shift blocks, distortion shapes and noise walks, the moving-average
// filters and the step function.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "engine/audio_effects.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

struct AudioEffects : ::testing::Test {
    EngineState state;
    ModuleRegistry registry; // no engine: rows are registered directly
    EngineView view;
    EngineContext ctx{state, state.table, state.rand, view};
    Module* source = nullptr;

    void SetUp() override {
        source = registry.addModule(Module_ControlGain); // a row that stands for any audio source
        state.table.registerRow(source->outputRow, 1, 127);
    }
    Module* add(int type) {
        Module* m = registry.addModule(type);
        state.table.registerRow(m->outputRow, 1, 127);
        m->controlInputs[0].source = source->outputRow;
        return m;
    }
    // Evaluates `m` once with input `x`; returns its output sample.
    double step(Module* m, double x) {
        ControlRow& in = state.table.rows[source->outputRow];
        in.primary[0] = in.primarySmoothed[0] = x;
        moduleEvaluators().perSample[m->type()](*m, ctx);
        const ControlRow& out = state.table.rows[m->outputRow];
        EXPECT_TRUE(out.primary[0] == out.primarySmoothed[0] || std::isnan(out.primary[0]));
        return out.primary[0];
    }
    // Runs `n` samples of an impulse of height `h` (then silence); returns the outputs.
    std::vector<double> impulse(Module* m, int n, double h = 1.0) {
        std::vector<double> out;
        for (int i = 0; i < n; ++i)
            out.push_back(step(m, i == 0 ? h : 0.0));
        return out;
    }
    static void manual(InputSliderSlot& s, double v) {
        s.source = kSourceManual;
        s.manual = v;
    }
};

TEST_F(AudioEffects, EchoReturnsEveryIntervalAtTheLingerLevel) {
    Module* echo = add(Module_AudioEcho);
    manual(echo->inputSliders[1], 0.0); // without linger the input passes unchanged
    for (double x : {512.5, -1000.0, 0.0})
        EXPECT_EQ(step(echo, x), x);
    echo = add(Module_AudioEcho);
    manual(echo->inputSliders[0], 1000.0); // ms
    manual(echo->inputSliders[1], 75.0);   // %
    const std::vector<double> out = impulse(echo, 4 * 48000 + 1, 1000.0);
    for (int k = 0; k <= 4; ++k)
        EXPECT_NEAR(out[k * 48000], 1000.0 * std::pow(0.75, k), 1e-9) << k;
    int nonZero = 0;
    for (double v : out)
        nonZero += v != 0.0;
    EXPECT_EQ(nonZero, 5);
}

TEST_F(AudioEffects, EchoClampsTheLoopBeforeFeedback) {
    Module* echo = add(Module_AudioEcho);
    manual(echo->inputSliders[0], 1.0); // a 48-sample loop
    manual(echo->inputSliders[1], 100.0);
    for (double h : {150000.0, -150000.0, HUGE_VAL, std::nan("")}) {
        const std::vector<double> out = impulse(echo, 97, h);
        const double back = std::isnan(h) ? 0.0 : std::copysign(100000.0, h);
        EXPECT_EQ(out[48], back) << h;
        EXPECT_EQ(out[96], back) << h;
        manual(echo->inputSliders[1], 0.0); // empty the loop for the next case
        for (int i = 0; i < 48; ++i)
            step(echo, 0.0);
        manual(echo->inputSliders[1], 100.0);
    }
}

TEST_F(AudioEffects, EchoLoopFollowsAShorterInterval) {
    Module* echo = add(Module_AudioEcho);
    manual(echo->inputSliders[0], 1000.0);
    manual(echo->inputSliders[1], 50.0);
    for (int i = 0; i < 1000; ++i)
        step(echo, 0.0);
    manual(echo->inputSliders[0], 10.0); // 480 samples: the position wraps at once
    step(echo, 0.0);
    const std::vector<double> out = impulse(echo, 481, 8.0);
    EXPECT_EQ(out[480], 4.0);
}

TEST_F(AudioEffects, MultiDelaySoundsOnlySelectedTapsAtFullLevel) {
    Module* delay = add(Module_AudioMultiDelay);
    // Defaults: five taps at 100..500 ms, each returning the impulse once, unattenuated.
    std::vector<double> out = impulse(delay, 24001);
    std::vector<int> at;
    for (int i = 0; i < static_cast<int>(out.size()); ++i)
        if (out[i] != 0.0) {
            at.push_back(i);
            EXPECT_EQ(out[i], 1.0);
        }
    ASSERT_EQ(at.size(), 5u);
    for (int k = 0; k < 5; ++k)
        EXPECT_NEAR(at[k], 4800 * (k + 1), 1) << k;

    Module* none = add(Module_AudioMultiDelay);
    for (int k = 0; k < 5; ++k)
        none->inputSliders[k].source = kSourceNone;
    out = impulse(none, 24001);
    for (double v : out)
        ASSERT_EQ(v, 0.0);

    // A negative time (hand-edited patch) counts as 0 and never reads outside the ring.
    manual(none->inputSliders[0], -5000.0);
    EXPECT_EQ(step(none, 7.0), 0.0);
}

TEST_F(AudioEffects, PitchShiftBlockLengthsAndRepetition) {
    struct Case {
        double pitch;
        int length;
    };
    for (const Case c :
         {Case{200.0, 96}, Case{50.0, 384}, Case{100.0, 192}, Case{1000.0, 20}, Case{10.0, 1920}}) {
        Module* ps = add(Module_AudioPitchShift);
        manual(ps->inputSliders[0], c.pitch);
        for (int i = 0; i < 191; ++i)
            ASSERT_EQ(step(ps, 500.0), 0.0) << "no output before the first block";
        step(ps, 500.0);
        EXPECT_EQ(ps->stateAs<PitchShiftState>().outputLength, c.length) << c.pitch;
    }

    // 200 %: each 96-sample block plays twice, then the next block (of new input) starts.
    Module* up = add(Module_AudioPitchShift);
    manual(up->inputSliders[0], 200.0);
    std::vector<double> out;
    for (int i = 0; i < 192 * 4; ++i)
        out.push_back(step(up, 300.0 * std::sin(i * 0.05) + i));
    for (int i = 191; i < 191 + 96; ++i)
        EXPECT_EQ(out[i], out[i + 96]) << i;
    EXPECT_NE(out[191 + 192 + 10], out[191 + 10]);
}

TEST_F(AudioEffects, PitchShiftDownDropsInputWhileABlockPlays) {
    Module* down = add(Module_AudioPitchShift);
    manual(down->inputSliders[0], 50.0);
    // Input x = sample index. The first block is made at sample 191 and plays 384 samples; input
    // is taken again from sample 575, so the second block (made at 766) starts with input 575.
    for (int i = 0; i <= 766; ++i)
        step(down, static_cast<double>(i));
    const PitchShiftState& st = down->stateAs<PitchShiftState>();
    EXPECT_EQ(st.playPosition, 1);
    const double expected = 625.0 * std::sin(std::numbers::pi * 100 / 192); // input 575 + 50
    EXPECT_NEAR(st.output[100], expected, 1e-9);
}

TEST_F(AudioEffects, DistortionShapes) {
    struct Case {
        double compression, waveform, overdrive, x, out;
    };
    const Case cases[] = {
        // Defaults: a full-wave rectifier.
        {0, -100, 100, -700, 700},
        {0, -100, 100, 250, 250},
        {0, -100, 100, 0, 0},
        {0, -100, 300, -10, 30},
        // Hard expansion pushes out to 10 C; the sign of the mix makes both sides positive.
        {50, 100, 100, 100, 500},
        {50, 100, 100, -100, 500},
        {50, 100, 100, 800, 800},
        // Hard compression at −100 limits to level 0; at −75 to 500.
        {-100, 100, 100, 400, 0},
        {-75, 100, 100, 900, 500},
        {-75, 100, 100, -900, 500},
        // Soft shapes: |y| to the power 1 + C/1300 or 1 + C/100.
        {-65, -100, 100, 100, std::pow(100.0, 0.95)},
        {50, -100, 100, -4, -std::pow(4.0, 1.5)},
        // Waveform 0 mixes soft and hard evenly (weights 1 and 1, divisor 2).
        {50, 0, 100, 100, (std::pow(100.0, 1.5) + 500.0) / 2},
    };
    for (const Case& c : cases) {
        Module* d = add(Module_AudioDistortion);
        manual(d->inputSliders[0], c.overdrive);
        manual(d->inputSliders[1], c.compression);
        manual(d->inputSliders[2], c.waveform);
        EXPECT_NEAR(step(d, c.x), c.out, 1e-9)
            << "C " << c.compression << " W " << c.waveform << " x " << c.x;
    }
}

TEST_F(AudioEffects, DistortionNoiseWithoutFidelityFreezesTheWalks) {
    Module* d = add(Module_AudioDistortion);
    manual(d->inputSliders[3], 100.0); // noise
    manual(d->inputSliders[4], 40.0);  // fidelity: walks at 1600, 8, 2 and 1 Hz
    for (int i = 0; i < 5000; ++i)
        step(d, 0.0);
    const DistortionState& st = d->stateAs<DistortionState>();
    double walks[4];
    for (int k = 0; k < 4; ++k)
        walks[k] = st.walks[k].value;
    EXPECT_NE(walks[0], 0.0);

    manual(d->inputSliders[4], 0.0);
    for (double x : {0.0, 300.0, -800.0}) {
        const double y = walks[0] * 1000.0 + (walks[1] + walks[2] + walks[3]) * x / 3.0;
        EXPECT_NEAR(step(d, x), std::fabs(y), 1e-9);
    }
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(st.walks[k].value, walks[k]);
}

TEST_F(AudioEffects, LowPassAndHighPassWindows) {
    // Low-pass at full fidelity: the input one sample late.
    Module* lp = add(Module_AudioLowPass);
    double previous = 0;
    for (int i = 0; i < 50; ++i) {
        const double x = std::sin(i * 0.7) * 600.0;
        EXPECT_EQ(step(lp, x), previous);
        previous = x;
    }
    // Fidelity 0 averages the whole 2400-sample history.
    Module* slow = add(Module_AudioLowPass);
    manual(slow->inputSliders[0], 0.0);
    std::vector<double> out;
    for (int i = 0; i < 2402; ++i)
        out.push_back(step(slow, 2400.0));
    EXPECT_NEAR(out[1200], 1200.0, 1e-9); // 1200 samples stored, the rest of the ring 0
    EXPECT_NEAR(out[2399], 2399.0, 1e-9);
    EXPECT_NEAR(out[2401], 2400.0, 1e-9);

    // High-pass at attenuation 100 is silent; at 0 a steady input dies away once the window is
    // full.
    Module* hp = add(Module_AudioHighPass);
    manual(hp->inputSliders[0], 100.0);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(step(hp, std::sin(i * 1.3) * 900.0), 0.0);
    Module* hp0 = add(Module_AudioHighPass);
    for (int i = 0; i < 2500; ++i)
        step(hp0, 500.0);
    EXPECT_NEAR(step(hp0, 500.0), 0.0, 1e-9);

    // Settings beyond 0..100 act as the nearest end instead of reading outside the history.
    manual(lp->inputSliders[0], 250.0);
    manual(hp->inputSliders[0], -40.0);
    EXPECT_TRUE(std::isfinite(step(lp, 1.0)));
    EXPECT_TRUE(std::isfinite(step(hp, 1.0)));
}

TEST_F(AudioEffects, LowPassFollowsAChangingWindowOverManyRingTurns) {
    Module* lp = add(Module_AudioLowPass);
    std::vector<double> history; // every input so far; the ring holds the last 2400
    uint32_t noise = 12345;
    const double fidelities[] = {0, 10, 30, 60, 85, 0};
    for (int i = 0; i < 6 * 5000; ++i) {
        const double M = fidelities[i / 5000];
        manual(lp->inputSliders[0], M);
        noise = noise * 1103515245u + 12345u;
        const double x = static_cast<double>(noise >> 8) / (1 << 24) * 2000.0 - 1000.0;
        const double L = std::pow(1.0 - M / 100.0, 4) * 2399 + 1;
        const int K = static_cast<int>(L - 1);
        double sum = 0;
        for (int k = 0; k <= K && k < static_cast<int>(history.size()); ++k)
            sum += history[history.size() - 1 - k];
        ASSERT_NEAR(step(lp, x), sum / L, 1e-9) << i;
        history.push_back(x);
    }
}

TEST_F(AudioEffects, StepFunctionTruncatesTowardZero) {
    struct Case {
        double step, x, out;
    };
    const Case cases[] = {
        {50, 700, 500},    {50, -700, -500}, {50, 499, 0},  {50, 1000, 1000},
        {0, 123.4, 123.4}, {10, 250, 200},   {100, 999, 0}, {100, -1500, -1000},
    };
    Module* s = add(Module_AudioStepFunction);
    for (const Case& c : cases) {
        manual(s->inputSliders[0], c.step);
        EXPECT_NEAR(step(s, c.x), c.out, 1e-9) << c.step << " " << c.x;
    }
    // From a source: |sensitivity × value / 1000| at most 1, so 500 per mille = 50 %.
    s->inputSliders[0].source = source->outputRow;
    EXPECT_NEAR(step(s, 500.0), 500.0, 1e-9); // the source row is also the input here
}

} // namespace
} // namespace kv

namespace kv {
namespace {

// Every parameter of every effect driven by a row that carries a non-finite value: lengths and
// indexes made from it stay inside the working storage (this once read far outside the filters'
// history). The output itself may be anything; the output stage plays a non-finite sample as 0.
TEST_F(AudioEffects, NonFiniteParameterRowsStayInsideTheStorage) {
    for (int type :
         {Module_AudioEcho, Module_AudioMultiDelay, Module_AudioPitchShift, Module_AudioDistortion,
          Module_AudioLowPass, Module_AudioHighPass, Module_AudioStepFunction}) {
        for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
            SCOPED_TRACE(std::to_string(type) + " " + std::to_string(bad));
            Module* m = add(type);
            for (InputSliderSlot& s : m->inputSliders) {
                s.source = source->outputRow;
                s.sensitivity = 100;
            }
            for (int i = 0; i < 2 * 2400; ++i)
                step(m, bad);
        }
    }
}

} // namespace
} // namespace kv

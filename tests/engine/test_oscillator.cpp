// The audio oscillator: measured frequency and level, envelope times, voice limits, waveform
// morph, steps and the frequency ceiling.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "engine/oscillator.h"
#include "engine/waveform.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

constexpr double kPi = std::numbers::pi;

struct Oscillator : ::testing::Test {
    EngineState state;
    ModuleRegistry registry; // no engine: rows are registered directly
    EngineView view;
    EngineContext ctx{state, state.table, state.rand, view};
    Module* osc = nullptr;
    Module* source = nullptr;

    void SetUp() override {
        osc = registry.addModule(Module_AudioOsc);
        ASSERT_NE(osc, nullptr);
        // The registry has no engine, so apply its row registrations to the table here.
        state.table.registerRow(osc->outputRow, 1, 127);
    }
    OscillatorState& st() { return osc->stateAs<OscillatorState>(); }
    double out() const { return state.table.rows[osc->outputRow].primary[0]; }
    double step() {
        evaluateOscillator(*osc, ctx);
        return out();
    }
    void manual(double hz) {
        osc->frequencies[0].source = kSourceManual;
        osc->frequencies[0].base = hz;
        osc->frequencies[0].multiplier = 1.0;
    }
    // A control row carrying `voices` notes, used as frequency source.
    ControlRow& sourceRow(int voices, double hz) {
        if (!source) {
            source = registry.addModule(Module_ControlGain);
            state.table.registerRow(source->outputRow, 1, 127);
        }
        ControlRow& row = state.table.rows[source->outputRow];
        row.voiceCount = static_cast<uint8_t>(voices);
        for (int k = 0; k < std::min(voices, kVoices); ++k) {
            row.noteId[k] = static_cast<uint8_t>(k);
            row.primary[k] = row.primarySmoothed[k] = hz + k;
            row.velocity[k] = row.velocitySmoothed[k] = 127;
        }
        osc->frequencies[0].source = source->outputRow;
        return row;
    }
};

TEST_F(Oscillator, Sine440AtHalfAmplitudePeaks500AfterTheAttack) {
    osc->frequencies[0].source = kSourceManual; // default 4.4 x 100 = 440 Hz
    double peakEarly = 0, peak = 0, prev = 0;
    int crossings = 0;
    const int attackSamples = static_cast<int>((1500.0 / 440.0 + 2.5) * 48.0);
    for (int i = 0; i < 48000; ++i) {
        const double v = step();
        if (i < attackSamples / 2) peakEarly = std::max(peakEarly, std::fabs(v));
        if (i > attackSamples) peak = std::max(peak, std::fabs(v));
        if (i > 0 && (prev < 0) != (v < 0)) ++crossings;
        prev = v;
    }
    EXPECT_NEAR(peak, 500.0, 0.5);
    EXPECT_LT(peakEarly, 260.0); // half way through the attack the gain is about half
    EXPECT_NEAR(crossings / 2.0, 440.0, 1.0);
    EXPECT_EQ(st().count, 1);
    EXPECT_EQ(state.table.rows[osc->outputRow].primarySmoothed[0], out());
}

TEST_F(Oscillator, EnvelopeUsesTenHertzFloorAndReachesFullLevelAtAttackEnd) {
    osc->inputSliders[2].manual = 200; // square: |sample| is the envelope gain
    state.settings.oscillatorFrequencyMinimum = 0;
    manual(4.0);
    // Attack 1500 / 10 + 2.5 = 152.5 ms; at half of it the gain is half of Av = 500.
    const int half = static_cast<int>(152.5 * 48.0 / 2.0);
    double atHalf = 0;
    for (int i = 0; i <= half; ++i)
        atHalf = std::fabs(step());
    EXPECT_NEAR(atHalf, 250.0, 2.0);
    for (int i = 0; i < half + 10; ++i)
        step();
    EXPECT_NEAR(std::fabs(out()), 500.0, 1e-9);
}

TEST_F(Oscillator, ReleaseStartsFromTheLevelTheAttackReached) {
    osc->inputSliders[2].manual = 200;
    ControlRow& row = sourceRow(1, 200.0); // attack 1500/200 + 2.5 = 10 ms, release 15 ms
    for (int i = 0; i < 48; ++i)           // 1 ms into the attack
        step();
    row.voiceCount = 0; // the note ends
    const double first = std::fabs(step());
    EXPECT_NEAR(first, 50.0, 1.0); // 10 % of Av = 500
    int samples = 1;
    while (st().count > 0 && samples < 48000) {
        step();
        ++samples;
    }
    // Falls to zero over 10 % of the 15 ms release, removed below 0.1.
    EXPECT_NEAR(samples, 72, 2);
    EXPECT_EQ(out(), 0.0);
}

TEST_F(Oscillator, VoicesFollowNoteIdsUpToTheLimit) {
    ControlRow& row = sourceRow(128, 100.0);
    row.voiceCount = 200; // a corrupt count reads at most the row's 128 voices
    step();
    EXPECT_EQ(st().count, 128);
    for (int k = 0; k < 128; ++k)
        EXPECT_EQ(st().voices[k].noteId, k);
    sourceRow(3, 100.0);
    step();
    EXPECT_EQ(st().count, 128); // the others release, they are not dropped at once
    for (int i = 0; i < 48000 && st().count > 3; ++i)
        step();
    EXPECT_EQ(st().count, 3);
}

TEST_F(Oscillator, FrequencyScalingCeilingMinimumAndMouseFactor) {
    sourceRow(1, 30000.0);
    step();
    EXPECT_EQ(st().voices[0].frequency, 24000.0);

    sourceRow(1, 1.0); // raised to the minimum preference (5 Hz)
    step();
    EXPECT_EQ(st().voices[0].frequency, 5.0);
    state.settings.legacyPatch = true; // old-style patches have no minimum
    step();
    EXPECT_EQ(st().voices[0].frequency, 1.0);
    state.settings.legacyPatch = false;

    // Mouse rows are scaled by 6: speed 50 gives 300 Hz at 100 % sensitivity.
    state.table.rows[131].primarySmoothed[0] = 50.0;
    osc->frequencies[0].source = 131;
    step();
    bool found = false;
    for (int i = 0; i < st().count; ++i)
        if (st().voices[i].noteId == 131) {
            EXPECT_DOUBLE_EQ(st().voices[i].frequency, 300.0);
            found = true;
        }
    EXPECT_TRUE(found);
}

TEST_F(Oscillator, FullStepSizeSilencesAPeakOf500) {
    osc->frequencies[0].source = kSourceManual;
    osc->inputSliders[5].manual = 100; // S = 1: multiples of 1000
    double peak = 0;
    for (int i = 0; i < 4800; ++i)
        peak = std::max(peak, std::fabs(step()));
    EXPECT_EQ(peak, 0.0);
    osc->inputSliders[0].manual = 100; // peak 1000 now reaches one step
    for (int i = 0; i < 4800; ++i)
        peak = std::max(peak, std::fabs(step()));
    EXPECT_EQ(peak, 1000.0);
}

TEST(Waveform, MorphPointsAndMixes) {
    for (double th : {0.1, 1.0, 2.0, 3.5, 5.0, 6.1}) {
        EXPECT_DOUBLE_EQ(morphWave(th, 0), std::sin(th));
        EXPECT_DOUBLE_EQ(morphWave(th, -5), std::sin(th));
        EXPECT_DOUBLE_EQ(morphWave(th, 100), triangleWave(th));
        EXPECT_DOUBLE_EQ(morphWave(th, 150), 0.5 * triangleWave(th) + 0.5 * squareWave(th));
        EXPECT_DOUBLE_EQ(morphWave(th, 200), squareWave(th));
        EXPECT_DOUBLE_EQ(morphWave(th, 300), threeLevelWave(th));
        EXPECT_DOUBLE_EQ(morphWave(th, 450), threeLevelWave(th));
    }
    EXPECT_DOUBLE_EQ(triangleWave(kPi / 2 - 1e-12), 1.0 - 2e-12 / kPi);
    EXPECT_NEAR(triangleWave(3 * kPi / 2), -1.0, 1e-12);
    EXPECT_EQ(threeLevelWave(kPi / 2), 1.0);
    EXPECT_EQ(threeLevelWave(kPi), 0.0);
    EXPECT_EQ(threeLevelWave(3 * kPi / 2), -1.0);
    EXPECT_EQ(threeLevelWave(-kPi / 2), -1.0); // reduced into 0..2π first
    // Ramp warp: full positive ramp maps 0..2π onto π/2..3π/2 (a falling saw from a sine).
    EXPECT_DOUBLE_EQ(rampWarp(0.0, 1.0), kPi / 2);
    EXPECT_DOUBLE_EQ(rampWarp(2 * kPi, 1.0), 3 * kPi / 2);
    EXPECT_DOUBLE_EQ(rampWarp(kPi / 2, -1.0), kPi / 4);
    EXPECT_DOUBLE_EQ(rampWarp(3 * kPi / 2, -1.0), 2 * kPi - kPi / 4);
    EXPECT_DOUBLE_EQ(rampWarp(1.234, 0.0), 1.234);
}

} // namespace
} // namespace kv

// The audio oscillator: measured frequency and level, envelope times, voice limits, waveform
// morph, steps and the frequency ceiling.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>

#include "engine/oscillator.h"
#include "engine/oscillator_voices.h"
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
        EXPECT_EQ(st().noteId[k], k);
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
    EXPECT_EQ(st().frequency(0), 24000.0);

    sourceRow(1, 1.0); // raised to the minimum preference (5 Hz)
    step();
    EXPECT_EQ(st().frequency(0), 5.0);
    state.settings.legacyPatch = true; // old-style patches have no minimum
    step();
    EXPECT_EQ(st().frequency(0), 1.0);
    state.settings.legacyPatch = false;

    // Mouse rows are scaled by 6: speed 50 gives 300 Hz at 100 % sensitivity.
    state.table.rows[131].primarySmoothed[0] = 50.0;
    osc->frequencies[0].source = 131;
    step();
    bool found = false;
    for (int i = 0; i < st().count; ++i)
        if (st().noteId[i] == 131) {
            EXPECT_DOUBLE_EQ(st().frequency(i), 300.0);
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

// The fast voice loop against the plain voice-by-voice loop over a long run that visits every
// waveform, ramp, phase, steps, jitter, gliding frequencies, attacks and releases, notes coming
// back while they release, overfull and empty controllers and a manual frequency. Both start
// from the same generator, so equal jitter draws in equal order keep them together.
TEST(OscillatorFastLoop, MatchesTheReferenceSampleForSample) {
    struct Rig {
        EngineState state;
        ModuleRegistry registry;
        EngineView view;
        EngineContext ctx{state, state.table, state.rand, view};
        Module* osc = registry.addModule(Module_AudioOsc);
        Module* source = registry.addModule(Module_ControlGain);
        Rig() {
            state.table.registerRow(osc->outputRow, 1, 127);
            state.table.registerRow(source->outputRow, 1, 127);
        }
        double out() const { return state.table.rows[osc->outputRow].primary[0]; }
    } fast, ref;

    std::mt19937 gen(12);
    auto pick = [&](std::initializer_list<double> values) {
        return values.begin()[std::uniform_int_distribution<size_t>(0, values.size() - 1)(gen)];
    };
    auto uniform = [&](double lo, double hi) {
        return std::uniform_real_distribution(lo, hi)(gen);
    };

    double maxError = 0;
    int64_t voiceSamples = 0, sineSamples = 0;
    for (int segment = 0; segment < 160; ++segment) {
        // Controller notes: some ids kept, some new, some gone; sometimes none or 150.
        const int voices = static_cast<int>(pick({0, 1, 3, 8, 20, 40, 150}));
        ControlRow row = fast.state.table.rows[fast.source->outputRow];
        row.voiceCount = static_cast<uint8_t>(voices);
        for (int k = 0; k < std::min(voices, kVoices); ++k) {
            if (uniform(0, 1) < 0.4) row.noteId[k] = static_cast<uint8_t>(gen() % 256);
            row.primarySmoothed[k] = pick({0.0, 3.0, 30000.0, uniform(20, 4000), uniform(20, 400)});
            row.velocitySmoothed[k] = uniform(0, 127);
        }
        const bool manual = uniform(0, 1) < 0.15;
        const double base = uniform(0, 1) < 0.5 ? 2.2 : 0.0;
        const double params[6] = {
            uniform(0, 100),
            pick({0.0, 0.0, 5.0, 60.0, 100.0}),
            pick({0.0, 0.0, 0.0, -5.0, 37.0, 100.0, 150.0, 200.0, 260.0, 300.0, 350.0}),
            pick({0.0, 0.0, 25.0, -30.0, 50.0}),
            pick({0.0, 0.0, 10.0, -45.0, 50.0, 700.0}),
            pick({0.0, 0.0, 0.0, 5.0})};
        const bool sine = params[2] <= 0 && params[3] == 0 && params[5] == 0 && params[4] < 700;
        const int length = static_cast<int>(uniform(200, 3000));
        for (Rig* r : {&fast, &ref}) {
            r->state.table.rows[r->source->outputRow] = row;
            r->osc->frequencies[0].source = manual ? kSourceManual : r->source->outputRow;
            r->osc->frequencies[0].base = base;
            for (int s = 0; s < 6; ++s)
                r->osc->inputSliders[s].manual = params[s];
        }
        for (int i = 0; i < length; ++i) {
            for (Rig* r : {&fast, &ref}) {
                ControlRow& live = r->state.table.rows[r->source->outputRow];
                for (int k = 0; k < std::min<int>(live.voiceCount, kVoices); ++k)
                    live.primarySmoothed[k] *= 1.0001; // a glide: frequencies change each sample
            }
            evaluateOscillator(*fast.osc, fast.ctx);
            evaluateOscillatorReference(*ref.osc, ref.ctx);
            const double error = std::fabs(fast.out() - ref.out());
            ASSERT_LE(error, 1e-6 * 1000) << "segment " << segment << " sample " << i;
            ASSERT_EQ(fast.osc->stateAs<OscillatorState>().count,
                      ref.osc->stateAs<OscillatorState>().count);
            maxError = std::max(maxError, error);
            voiceSamples += ref.osc->stateAs<OscillatorState>().count;
            if (sine) sineSamples += ref.osc->stateAs<OscillatorState>().count;
        }
    }
    EXPECT_EQ(fast.state.rand.next(), ref.state.rand.next()) << "jitter draws went apart";
    EXPECT_GT(voiceSamples, 2'000'000);
    EXPECT_GT(sineSamples, 300'000);
    EXPECT_GT(maxError, 0.0) << "the fast loop never ran: its sine is not the library's to the bit";
}

// A lone voice's shortcut against the voice loop, bit for bit, in this file's build and in the
// AVX2 build where the processor has it: attack, held, release start and end, jitter reaching
// its target, a voice with no frequency.
TEST(OscillatorFastLoop, LoneVoiceShortcutIsTheVoiceLoopToTheBit) {
    struct Case {
        double frequency, present, envelope, jitter, target;
    };
    const Case cases[] = {{440, 1, 0, 0, 0.5},      {440, 1, 5000, 0.3, 0.3},
                          {440, 0, 100, -0.2, 0.9}, {440, 0, -2000, 0.1, -1},
                          {55, 0, -700, 0.99, 1},   {0, 1, 20, 0, 0}};
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    for (const Case& c : cases) {
        for (bool wide : {false, true}) {
            if (wide && !avx2) continue;
            OscillatorState a, b;
            for (OscillatorState* st : {&a, &b}) {
                st->count = 1;
                st->frequency(0) = c.frequency;
                st->attack(0) = 1500.0 / std::max(c.frequency, 10.0) + 2.5;
                st->jitterStep(0) = c.frequency / 24000.0;
                st->velocity(0) = st->releaseVelocity(0) = 100;
                st->present(0) = c.present;
                st->envelope(0) = c.envelope;
                st->jitter(0) = c.jitter;
                st->jitterTarget(0) = c.target;
                st->phase(0) = 6.2;
            }
            const OscillatorParams p{700, 0.5, 0, 0, -0.3, 0};
            OscillatorScratch sc;
            OscillatorLoneMarks marks;
            const double loop = wide ? oscillatorVoicePassAvx2(a, p, sc, true)
                                     : oscillatorVoicePass(a, p, sc, true);
            const double lone =
                wide ? oscillatorLoneSineAvx2(b, p, marks) : oscillatorLoneSine(b, p, marks);
            EXPECT_EQ(std::memcmp(&loop, &lone, sizeof loop), 0) << c.envelope << " " << wide;
            EXPECT_EQ(std::memcmp(&a.blocks[0], &b.blocks[0], sizeof a.blocks[0]), 0);
            EXPECT_EQ(sc.draws[0], marks.draws[0]);
            EXPECT_EQ(sc.removals[0], marks.removals[0]);
        }
    }
}

// The voice loop's sine, one lane and four, against the library's over the phases it meets
// (0..2π after the phase offset) and the wider range it still reduces correctly.
TEST(OscillatorFastLoop, SineWithinOneTenMillionthOfFullScale) {
    double worst = 0;
    for (int i = -200000; i <= 200000; ++i) {
        const double x = i * 3.3e-4; // −66..66 rad
        worst = std::max(worst, std::fabs(fastSine(x) - std::sin(x)));
        const V4 four = fastSine(V4{x, -x, x + 1e-3, 2 * kPi - x});
        worst = std::max(worst, std::fabs(four[1] - std::sin(-x)));
        worst = std::max(worst, std::fabs(four[3] - std::sin(2 * kPi - x)));
    }
    EXPECT_LT(worst, 1e-9);
    EXPECT_EQ(fastSine(0.0), 0.0);
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

// One engine cycle: control-sample placement, control rates, smoothing, voice re-association and
// the output stage.
#include <gtest/gtest.h>

#include <cmath>

#include "engine_fixture.h"

namespace kv {
namespace {

using test::RecordingMouse;
using test::RecordingOutput;

struct EngineCycle : ::testing::Test {
    EngineState state;
    RecordingOutput output;
    RecordingMouse mouse;
    Engine engine{state, &output, &mouse};
    ModuleRegistry registry{&engine};

    void SetUp() override {
        mouse.engine = &engine;
        engine.beginOffline();
    }
};

TEST_F(EngineCycle, ControlSamplesEveryTwelfthSampleAcrossCycles) {
    engine.runCycle(nullptr);
    EXPECT_EQ(mouse.samples, (std::vector<uint64_t>{0, 12, 24, 36, 48, 60, 72, 84}));
    EXPECT_EQ(mouse.lastRate, 4000);

    // A first cycle of 100 samples: the second cycle's control samples fall on its indices 8, 20..
    EngineState s2;
    RecordingMouse m2;
    Engine e2{s2, nullptr, &m2};
    m2.engine = &e2;
    e2.beginOffline();
    s2.chunkAdjustment = 4;
    EXPECT_EQ(e2.runCycle(nullptr), 100);
    s2.chunkAdjustment = 0;
    m2.samples.clear();
    EXPECT_EQ(e2.runCycle(nullptr), 96);
    ASSERT_FALSE(m2.samples.empty());
    EXPECT_EQ(m2.samples.front() - 100, 8u);
    EXPECT_EQ(m2.samples[1] - 100, 20u);
    EXPECT_EQ(e2.sampleCounter(), 196u);
}

TEST_F(EngineCycle, ControlRatesAllOneAndNone) {
    state.settings.controlRate = 48000;
    engine.runCycle(nullptr);
    EXPECT_EQ(mouse.samples.size(), 96u);

    mouse.samples.clear();
    state.settings.controlRate = 1;
    for (int c = 0; c < 1000; ++c)
        engine.runCycle(nullptr);
    // Samples 96..96095 contain the multiples 48000 and 96000 of the 1 Hz divisor.
    EXPECT_EQ(mouse.samples, (std::vector<uint64_t>{48000, 96000}));

    mouse.samples.clear();
    state.settings.controlRate = 0;
    engine.runCycle(nullptr);
    EXPECT_TRUE(mouse.samples.empty());
    EXPECT_EQ(engine.controlSampleCounter(), 96u + 2u);
}

TEST_F(EngineCycle, RatesOutsideTheListStaySafe) {
    state.settings.controlRate = 96000; // above the sample rate: every sample
    engine.runCycle(nullptr);
    EXPECT_EQ(mouse.samples.size(), 96u);
    mouse.samples.clear();
    for (double bad : {-5.0, 1e-300, std::nan("")}) {
        state.settings.controlRate = bad;
        engine.runCycle(nullptr);
    }
    EXPECT_TRUE(mouse.samples.empty());
}

TEST_F(EngineCycle, ActualRateUsesIntegerDivisor) {
    // 7000 Hz: divisor trunc(48000 / 7000) = 6, so every 6th sample is a control sample.
    state.settings.controlRate = 7000;
    engine.runCycle(nullptr);
    ASSERT_GE(mouse.samples.size(), 2u);
    EXPECT_EQ(mouse.samples[1] - mouse.samples[0], 6u);
    EXPECT_EQ(mouse.samples.size(), 16u);
}

TEST(ControlRates, SixtyFiveEntriesAndConfiguredIndex) {
    std::vector<uint32_t> rates;
    EXPECT_EQ(buildControlRates(rates, 4000), 56);
    ASSERT_EQ(rates.size(), 65u);
    EXPECT_EQ(rates[0], 0u);
    EXPECT_EQ(rates[1], 1u);
    EXPECT_EQ(rates[7], 8u);
    EXPECT_EQ(rates[56], 4000u);
    EXPECT_EQ(rates[63], 24000u);
    EXPECT_EQ(rates[64], 48000u);
    EXPECT_EQ(buildControlRates(rates, 7000), -1);
    EXPECT_EQ(buildControlRates(rates, 0), 0);
}

TEST(Rand15, ClassicSequenceFromStateOne) {
    Rand15 r;
    EXPECT_EQ(r.next(), 41);
    EXPECT_EQ(r.next(), 18467);
    EXPECT_EQ(r.next(), 6334);
    Rand15 s(12345);
    for (int i = 0; i < 100000; ++i) {
        const int v = s.next();
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
    }
}

// --- Smoothing and voice re-association ------------------------------------------------------

// A control module of the sensitiser type used as a scripted voice writer.
struct Script {
    int row = -1;
    std::vector<std::pair<uint8_t, double>> voices; // note id, primary
    double velocity = 127;
};
Script* gScript = nullptr;

void scriptedEvaluate(Module& m, EngineContext& ctx) {
    if (!gScript || m.outputRow != gScript->row) return;
    ControlRow& row = ctx.table.rows[m.outputRow];
    row.voiceCount = static_cast<uint8_t>(gScript->voices.size());
    for (size_t k = 0; k < gScript->voices.size(); ++k) {
        row.noteId[k] = gScript->voices[k].first;
        row.primary[k] = gScript->voices[k].second;
        row.velocity[k] = gScript->velocity;
    }
}

struct Smoothing : EngineCycle {
    Evaluators evaluators;
    Script script;
    Module* writer = nullptr;
    void SetUp() override {
        EngineCycle::SetUp();
        evaluators.control[Module_ControlSensitiser] = &scriptedEvaluate;
        engine.setEvaluators(evaluators);
        writer = registry.addModule(Module_ControlSensitiser);
        ASSERT_NE(writer, nullptr);
        script.row = writer->outputRow;
        gScript = &script;
    }
    void TearDown() override { gScript = nullptr; }
    ControlRow& row() { return state.table.rows[writer->outputRow]; }
};

TEST_F(Smoothing, FollowsRawValueWithOneTwelfthPerSample) {
    script.voices = {{7, 1200.0}};
    engine.runCycle(nullptr);
    // New note: smoothed primary starts at the raw value, velocity fades in from 0.
    EXPECT_DOUBLE_EQ(row().primarySmoothed[0], 1200.0);
    EXPECT_GT(row().velocitySmoothed[0], 0.0);
    EXPECT_LT(row().velocitySmoothed[0], 127.0);

    double afterTwelve = -1;
    engine.afterSample = [&](uint64_t sample) {
        if (sample == 96 + 11) afterTwelve = row().primarySmoothed[0];
    };
    script.voices = {{7, 0.0}};
    engine.runCycle(nullptr);
    // Twelve samples of a = 1/12 leave (11/12)^12 of the step.
    EXPECT_NEAR(afterTwelve, 1200.0 * std::pow(11.0 / 12.0, 12), 1e-6);
}

TEST_F(Smoothing, NonFiniteRawValuesDoNotStayInTheSmoothedCopy) {
    for (const double bad : {std::nan(""), double(INFINITY), -double(INFINITY)}) {
        script.voices = {{7, bad}};
        engine.runCycle(nullptr);
        script.voices = {{7, 500.0}};
        for (int c = 0; c < 20; ++c)
            engine.runCycle(nullptr);
        EXPECT_NEAR(row().primarySmoothed[0], 500.0, 1e-6) << bad;
    }
}

TEST_F(Smoothing, NewNoteStartsAtRawValueWithVelocityZero) {
    script.voices = {{60, 440.0}};
    engine.runCycle(nullptr);
    engine.runCycle(nullptr);
    double primaryAtBirth = -1, velocityAtBirth = -1;
    engine.afterSample = [&](uint64_t sample) {
        if (sample == 192) { // control sample: note 64 appears
            primaryAtBirth = row().primarySmoothed[1];
            velocityAtBirth = row().velocitySmoothed[1];
        }
    };
    script.voices = {{60, 440.0}, {64, 554.0}};
    engine.runCycle(nullptr);
    EXPECT_DOUBLE_EQ(primaryAtBirth, 554.0);          // no glide into a new note
    EXPECT_NEAR(velocityAtBirth, 127.0 / 12.0, 1e-9); // one smoothing step up from 0
}

TEST_F(Smoothing, ReorderedVoicesKeepTheirSmoothing) {
    script.voices = {{1, 100.0}, {2, 900.0}};
    for (int i = 0; i < 20; ++i)
        engine.runCycle(nullptr);
    double first = -1, second = -1;
    engine.afterSample = [&](uint64_t sample) {
        if (sample == 20 * 96) {
            first = row().primarySmoothed[0];
            second = row().primarySmoothed[1];
        }
    };
    script.voices = {{2, 900.0}, {1, 100.0}};
    engine.runCycle(nullptr);
    EXPECT_NEAR(first, 900.0, 1e-6);
    EXPECT_NEAR(second, 100.0, 1e-6);
}

TEST_F(Smoothing, DuplicateNoteIdsTakeTheFirstVoicesSmoothing) {
    script.voices = {{5, 100.0}, {5, 900.0}};
    for (int i = 0; i < 20; ++i)
        engine.runCycle(nullptr);
    double second = -1;
    engine.afterSample = [&](uint64_t sample) {
        if (sample == 20 * 96 + 12) second = row().primarySmoothed[1];
    };
    engine.runCycle(nullptr);
    // At every control sample the second voice restarts from the first one's smoothing (about
    // 100), then takes one step towards its own 900.
    EXPECT_NEAR(second, 100.0 * 11.0 / 12.0 + 900.0 / 12.0, 1.0);
}

TEST_F(Smoothing, RateZeroFreezesSmoothedValuesAndMouseRows) {
    script.voices = {{3, 500.0}};
    engine.runCycle(nullptr);
    const double before = row().primarySmoothed[0];
    state.settings.controlRate = 0;
    script.voices = {{3, 0.0}};
    row().primary[0] = 0.0;
    mouse.samples.clear();
    for (int i = 0; i < 5; ++i)
        engine.runCycle(nullptr);
    EXPECT_DOUBLE_EQ(row().primarySmoothed[0], before);
    EXPECT_TRUE(mouse.samples.empty());
}

TEST_F(Smoothing, RisingFromRateZeroSmoothsAtOnce) {
    script.voices = {{3, 0.0}};
    engine.runCycle(nullptr);
    // The cycle's last control sample (index 84) raises the raw value; 12 samples of smoothing
    // follow, so the smoothed value is still on its way.
    engine.afterSample = [&](uint64_t sample) {
        if (sample == 96 + 83) script.voices = {{3, 500.0}};
    };
    engine.runCycle(nullptr);
    engine.afterSample = nullptr;
    state.settings.controlRate = 0;
    engine.runCycle(nullptr);
    const double frozen = row().primarySmoothed[0];
    ASSERT_LT(frozen, 400.0);
    EXPECT_DOUBLE_EQ(row().primarySmoothed[0], frozen);

    // At 1 Hz the next control sample is far away; smoothing resumes at once with a = 1/48000.
    state.settings.controlRate = 1;
    engine.runCycle(nullptr);
    EXPECT_NEAR(row().primarySmoothed[0], 500.0 - (500.0 - frozen) * std::pow(1 - 1 / 48000.0, 96),
                1e-9);
}

// --- Output stage ------------------------------------------------------------------------------

TEST_F(EngineCycle, OutputStageSendsOscillatorRowsAndOutputModules) {
    Module* osc = registry.addModule(Module_AudioOsc);
    ASSERT_NE(osc, nullptr);
    osc->soundOutputs[0].code = 199; // right channel of the default device
    Module* out = registry.addModule(Module_AudioOutput);
    ASSERT_NE(out, nullptr);
    out->controlInputs[0].source = osc->outputRow;
    out->soundOutputs[0].code = 3;
    Module* silent = registry.addModule(Module_AudioOsc);
    silent->soundOutputs[0].code = -555;

    engine.runCycle(nullptr);
    int toOsc = 0, toOut = 0, other = 0;
    for (const auto& a : output.adds) {
        if (a.code == 199)
            ++toOsc;
        else if (a.code == 3)
            ++toOut;
        else
            ++other;
    }
    EXPECT_EQ(toOsc, 96);
    EXPECT_EQ(toOut, 96);
    EXPECT_EQ(other, 0);
    // Per sample the output module (terminal entry 0) comes before the oscillator's row 0 ... but
    // both carry the oscillator's smoothed sample.
    ASSERT_GE(output.adds.size(), 2u);
    EXPECT_EQ(output.adds[0].value, output.adds[1].value);

    // Make-no-sound sends zeros but still sends.
    state.settings.makeNoSound = true;
    engine.runCycle(nullptr);
    for (const auto& a : output.adds)
        EXPECT_EQ(a.value, 0.0);
    EXPECT_EQ(output.adds.size(), 192u);
}

TEST_F(EngineCycle, SplitterRowsUseTheirOwnDevices) {
    Module* split = registry.addModule(Module_AudioOutputSplit);
    ASSERT_NE(split, nullptr);
    ASSERT_GE(split->secondOutputRow, 0);
    split->soundOutputs[0].code = 5;
    split->soundOutputs[1].code = 6;
    engine.runCycle(nullptr);
    int five = 0, six = 0;
    for (const auto& a : output.adds)
        (a.code == 5 ? five : six) += 1;
    EXPECT_EQ(five, 96);
    EXPECT_EQ(six, 96);
}

} // namespace
} // namespace kv

namespace kv {
namespace {

// A clock that advances a fixed step at every reading, like cycles of a known duration.
class SteppingClock final : public Clock {
  public:
    double nowMs() override { return now_ += stepMs; }
    double stepMs = 2.5;

  private:
    double now_ = 0;
};

TEST(EngineTiming, CycleDurationIsMeasuredEveryThousandCycles) {
    EngineState state;
    Engine engine{state};
    SteppingClock clock;
    clock.stepMs = 2500.0; // one reading per 1000 cycles: 2.5 ms per cycle
    engine.beginOffline(&clock);
    for (int i = 0; i < 1000; ++i)
        engine.runCycle(&clock);
    EXPECT_EQ(state.millisecondsPerChunk.load(), 2.0); // the stored value until the first measure
    engine.runCycle(&clock);
    EXPECT_NEAR(state.millisecondsPerChunk.load(), 2.5, 1e-3);
    EXPECT_EQ(state.cycleCounter.load(), 1001);
}

} // namespace
} // namespace kv

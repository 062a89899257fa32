// Audio routing and instruments: fader laws of the splitter and the combiner, the muted pluck's
// envelope, length scaling and voice rules, and the output analyser's bands, trace, peak and
// picture hand-over to the window thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "engine/analyser.h"
#include "engine/audio_routing.h"
#include "engine/audio_signal.h"
#include "engine/params.h"
#include "modules/module_controls.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

struct AudioRouting : ::testing::Test {
    EngineState state;
    ModuleRegistry registry; // no engine: rows are registered directly
    EngineView view;
    EngineContext ctx{state, state.table, state.rand, view};

    Module* add(int type) {
        Module* m = registry.addModule(type);
        for (int r : {m->outputRow, m->secondOutputRow})
            if (r >= 0 && m->outputKind() == 255) state.table.registerRow(r, 1, 127);
        return m;
    }
    // A control row standing for any source; voice 0 set to `value`.
    int sourceRow(double value) {
        Module* s = add(Module_ControlGain);
        ControlRow& row = state.table.rows[s->outputRow];
        row.primary[0] = row.primarySmoothed[0] = value;
        return s->outputRow;
    }
    double run(Module* m) {
        moduleEvaluators().perSample[m->type()](*m, ctx);
        return state.table.rows[m->outputRow].primary[0];
    }
    double row(int r) const { return state.table.rows[r].primary[0]; }
};

TEST_F(AudioRouting, FaderLawsOfSplitterAndCombiner) {
    struct Case {
        double fader, first, second;
    };
    const Case cases[] = {
        {0, 1, 1},     {100, 0, 1},   {-100, 1, 0},   {50, 0.5, 1},
        {-50, 1, 0.5}, {150, 0, 1.5}, {-150, 1.5, 0}, {300, 0, 3},
    };
    const int x = sourceRow(400.0);
    const int x2 = sourceRow(-30.0);
    Module* split = add(Module_AudioOutputSplit);
    Module* combine = add(Module_AudioInputCombine);
    split->controlInputs[0].source = x;
    combine->controlInputs[0].source = x;
    combine->controlInputs[1].source = x2;
    for (const Case& c : cases) {
        for (Module* m : {split, combine}) {
            m->inputSliders[0].source = kSourceManual;
            m->inputSliders[0].manual = c.fader;
        }
        run(split);
        EXPECT_NEAR(row(split->outputRow), c.first * 400.0, 1e-9) << c.fader;
        EXPECT_NEAR(row(split->secondOutputRow), c.second * 400.0, 1e-9) << c.fader;
        EXPECT_NEAR(run(combine), c.first * 400.0 + c.second * -30.0, 1e-9) << c.fader;
    }
    // From a source the fader is sensitivity × value × 0.1: 1000 per mille is 100 %.
    split->inputSliders[0].source = sourceRow(1000.0);
    run(split);
    EXPECT_NEAR(row(split->outputRow), 0.0, 1e-9);
    EXPECT_NEAR(row(split->secondOutputRow), 400.0, 1e-9);
}

TEST_F(AudioRouting, PluckEnvelopeRisesInTenMillisecondsAndEndsAtLengthPlusTwenty) {
    struct Case {
        double ms, length, e;
    };
    const Case cases[] = {
        {0, 250, 0},    {5, 250, 64 * (1 - 0.75 * 0.75)},
        {10, 250, 64},  {135, 250, 16},
        {270, 250, 0},  {400, 250, 0},
        {10, 4000, 64}, {2010, 4000, 16},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(pluckEnvelope(c.ms, 64, c.length), c.e, 1e-9) << c.ms << " " << c.length;
    EXPECT_NEAR(pluckEnvelope(200, 64, 250), 64 * std::pow(70.0 / 270, 270.0 / 70), 1e-9);
}

struct Pluck : AudioRouting {
    Module* pluck = nullptr;
    Module* notes = nullptr;
    void SetUp() override {
        pluck = add(Module_AudioMutedPluck);
        notes = add(Module_ControlGain);
    }
    ControlRow& noteRow() { return state.table.rows[notes->outputRow]; }
    // One note of the note row: id, frequency, velocity.
    void note(uint8_t id, double hz, double velocity) {
        ControlRow& r = noteRow();
        r.voiceCount = 1;
        r.noteId[0] = id;
        r.primary[0] = r.primarySmoothed[0] = hz;
        r.velocity[0] = r.velocitySmoothed[0] = velocity;
        pluck->inputSliders[0].source = notes->outputRow;
    }
    void length(double ms) {
        pluck->inputSliders[2].source = kSourceManual;
        pluck->inputSliders[2].manual = ms;
    }
    MutedPluckState& st() { return pluck->stateAs<MutedPluckState>(); }
};

TEST_F(Pluck, NoteSoundsUntilItsLengthAndIsRemovedWhenReleased) {
    note(60, 440.0, 100.0);
    double before = 0, after = 0;
    for (int i = 0; i < 48 * 300; ++i) {
        const double v = std::fabs(run(pluck));
        ASSERT_TRUE(std::isfinite(v));
        if (i >= 48 * 100 && i < 48 * 200) before = std::max(before, v);
        if (i >= 48 * 270 + 1) after = std::max(after, v);
    }
    EXPECT_GT(before, 1.0);
    EXPECT_EQ(after, 0.0);
    EXPECT_EQ(st().count, 1); // finished, but its note is still held
    noteRow().voiceCount = 0;
    run(pluck);
    EXPECT_EQ(st().count, 0);
}

TEST_F(Pluck, SoundIsTheSumOfNinePartialsOverLongNotes) {
    for (const double NL : {250.0, 3000.0}) {
        pluck = add(Module_AudioMutedPluck);
        note(9, 1250.0, 90.0);
        length(NL);
        double phase = 0;
        for (int i = 0; i < 48 * 3200; ++i) {
            phase += 1250.0 / 96000.0 * kTwoPi;
            const double t = i / 48.0;
            const double e = pluckEnvelope(t, 64, NL);
            const double d = 1 / (1 + 10 * std::min(t / (NL + 10), 1.0) / 90.0);
            double sum = 0;
            for (int p = 40; p <= 120; p += 10)
                sum +=
                    std::sin(p / 100.0 * phase) * e * (1 - std::pow(std::abs(p - 100) / 60.0, d));
            if (NL > 1000) sum /= std::sqrt(NL / 1000);
            ASSERT_NEAR(run(pluck), sum, 1e-9 * 64) << NL << " " << i;
        }
    }
}

TEST_F(Pluck, LengthAboveOneSecondScalesTheSum) {
    note(60, 440.0, 127.0);
    std::vector<double> at1000, at4000;
    length(1000);
    for (int i = 0; i < 20; ++i)
        at1000.push_back(run(pluck));
    Module* other = pluck;
    pluck = add(Module_AudioMutedPluck);
    pluck->inputSliders[0].source = other->inputSliders[0].source.load();
    length(4000);
    for (int i = 0; i < 20; ++i)
        at4000.push_back(run(pluck));
    for (int i = 2; i < 20; ++i)
        EXPECT_NEAR(at4000[i] / at1000[i], 0.5, 1e-4) << i;
}

TEST_F(Pluck, MouseRowVoiceRestartsOnceFinished) {
    const int speed = 131; // a mouse row without note ids
    ControlRow& r = state.table.rows[speed];
    r.voiceCount = 1;
    r.primary[0] = r.primarySmoothed[0] = 100.0; // × 6 = 600 Hz
    pluck->inputSliders[0].source = speed;
    int removedAt = -1;
    for (int i = 0; i < 48 * 300 && removedAt < 0; ++i) {
        run(pluck);
        if (st().count == 0) removedAt = i;
    }
    ASSERT_GT(removedAt, 48 * 10);
    EXPECT_LE(removedAt, 48 * 270);
    run(pluck);
    ASSERT_EQ(st().count, 1);
    EXPECT_EQ(st().voices[0].age, 1.0);
    EXPECT_EQ(st().voices[0].frequency, 600.0);

    // A module row carries note ids: its finished voice stays while the note is held.
    note(5, 600.0, 127.0);
    for (int i = 0; i < 48 * 300; ++i)
        run(pluck);
    EXPECT_EQ(st().count, 1);
    EXPECT_GT(st().voices[0].age, 48 * 290);
}

TEST_F(Pluck, UnusualVelocitiesAndLengthsStayFinite) {
    struct Case {
        double velocity, length;
    };
    for (const Case c : {Case{0, 250}, Case{-20, 250}, Case{127, -20}, Case{127, -10}}) {
        note(1, 300.0, c.velocity);
        length(c.length);
        st().count = 0;
        for (int i = 0; i < 48 * 30; ++i)
            ASSERT_TRUE(std::isfinite(run(pluck))) << c.velocity << " " << c.length << " " << i;
    }
}

// The muted pluck as first written: a scan for each note, every voice's envelope and damping at
// every sample. The engine's version skips work whose result is known; it must give the same
// bits.
struct ReferencePluck {
    struct Voice {
        uint8_t id;
        double frequency, velocity, phase, age;
        bool present, finished;
    };
    std::vector<Voice> voices;

    double run(Module& m, const ControlTable& t) {
        const AudioMutedPluckControls c{m};
        const AudioParam length = audioParam(c.noteLength(), t);
        const double NL = std::max(length.manual ? length.value : std::fabs(length.value), 0.0);
        const double NV = audioParam(c.noteVelocity(), t).value;
        for (Voice& v : voices)
            v.present = false;
        const int S = c.note().source.load();
        const bool rowSource = isRowSelector(S);
        const bool ids = rowSource && (S < kMouseRowBase || (S >= 150 && S <= 154));
        if (rowSource) {
            const ControlRow& row = t.rows[S];
            const double factor =
                (S >= kMouseRowBase ? 6.0 : 1.0) * c.note().sensitivity.load() / 100.0;
            for (int k = 0; k < std::min<int>(row.voiceCount, kVoices); ++k) {
                const uint8_t id = ids ? row.noteId[k] : 0;
                auto v = std::find_if(voices.begin(), voices.end(),
                                      [&](const Voice& x) { return x.id == id; });
                if (v == voices.end()) {
                    if (voices.size() >= 128) continue;
                    voices.push_back(
                        {id, 0, std::max(ids ? row.velocity[k] : 127.0, 0.0), 0, 0, false, false});
                    v = voices.end() - 1;
                }
                v->present = true;
                v->frequency = std::min(std::fabs(row.primarySmoothed[k] * factor), 24000.0);
            }
        }
        double sum = 0;
        const double lengthScale = NL > 1000.0 ? 1.0 / std::sqrt(NL / 1000.0) : 1.0;
        for (std::size_t i = 0; i < voices.size();) {
            Voice& v = voices[i];
            v.phase += v.frequency / 96000.0 * kTwoPi;
            const double tms = v.age / 48.0;
            const double e = pluckEnvelope(tms, NV, NL);
            const double ramp = std::min(tms / (NL + 10.0), 1.0);
            const double d = ramp > 0 ? 1.0 / (1.0 + 10.0 * ramp / v.velocity) : 1.0;
            if (e != 0) sum += pluckPartials(v.phase, d) * e * lengthScale;
            v.age += 1.0;
            if (tms > 10.0 && e <= 0.1) v.finished = true;
            if (v.finished && (!v.present || !ids)) {
                v = voices.back();
                voices.pop_back();
                continue;
            }
            ++i;
        }
        return sum;
    }
};

// Random notes on and off, glides, length and velocity edits (manual and from a row, lengths
// that bring finished voices back), up to 128 held notes, on each kind of note source: compared
// with the reference at every sample, bit for bit.
TEST_F(Pluck, SkippedWorkGivesTheSameSamplesAsTheFullComputation) {
    struct Case {
        const char* name;
        int source; // -1: the module row with note ids; kSourceManual: none
        int held;   // notes held from the start
        int samples;
        unsigned seed;
    };
    const Case cases[] = {
        {"module row, few notes", -1, 3, 48 * 1500, 1},
        {"module row, 128 held notes", -1, 128, 48 * 1200, 2},
        {"mouse speed row", 131, 1, 48 * 1000, 3},
        {"mouse button row", 150, 1, 48 * 800, 4},
        {"no source", kSourceManual, 0, 2000, 5},
    };
    const double lengths[] = {0, 3, 250, 600, 1000, 2500, 4000, -20};
    const int lengthRow = sourceRow(0);
    for (const Case& c : cases) {
        pluck = add(Module_AudioMutedPluck);
        ReferencePluck ref;
        std::mt19937 rng(c.seed);
        const auto uniform = [&](double a, double b) {
            return std::uniform_real_distribution<double>(a, b)(rng);
        };
        const auto chance = [&](double p) { return uniform(0, 1) < p; };
        const bool moduleRow = c.source == -1;
        ControlRow& row = isRowSelector(c.source) ? state.table.rows[c.source] : noteRow();
        const int source = moduleRow ? notes->outputRow : c.source;
        std::vector<uint8_t> ids(256);
        std::iota(ids.begin(), ids.end(), 0);
        std::shuffle(ids.begin(), ids.end(), rng);
        const auto noteOn = [&](int k) {
            row.noteId[k] = ids[rng() % 256];
            row.primarySmoothed[k] = uniform(20, 5000);
            row.velocity[k] = uniform(-10, 127);
        };
        row.voiceCount = static_cast<uint8_t>(c.held);
        for (int k = 0; k < c.held; ++k)
            noteOn(k);
        if (moduleRow)
            for (int k = 0; k < c.held; ++k) // held notes are distinct keys
                row.noteId[k] = ids[k];
        pluck->inputSliders[0].source = source;
        pluck->inputSliders[0].sensitivity = 100;
        length(250);
        for (int i = 0; i < c.samples; ++i) {
            if (moduleRow && chance(0.002) && row.voiceCount < kVoices) noteOn(row.voiceCount++);
            if (chance(0.002) && row.voiceCount > 0) {
                const int k = static_cast<int>(rng() % row.voiceCount);
                row.noteId[k] = row.noteId[row.voiceCount - 1];
                row.primarySmoothed[k] = row.primarySmoothed[row.voiceCount - 1];
                row.velocity[k] = row.velocity[row.voiceCount - 1];
                if (moduleRow) --row.voiceCount;
            }
            if (chance(0.01) && row.voiceCount > 0)
                row.primarySmoothed[rng() % row.voiceCount] *= uniform(0.9, 1.1);
            if (chance(0.0005)) length(lengths[rng() % std::size(lengths)]);
            if (chance(0.0003)) { // the length from a row, scaled by its sensitivity
                pluck->inputSliders[2].source = lengthRow;
                pluck->inputSliders[2].sensitivity = 100;
                state.table.rows[lengthRow].primarySmoothed[0] =
                    state.table.rows[lengthRow].primary[0] = uniform(-3000, 3000);
            }
            if (chance(0.0005)) {
                pluck->inputSliders[1].source = kSourceManual;
                pluck->inputSliders[1].manual = uniform(0, 127);
            }
            const double fast = run(pluck);
            const double slow = ref.run(*pluck, state.table);
            ASSERT_EQ(std::memcmp(&fast, &slow, sizeof fast), 0)
                << c.name << " sample " << i << ": " << fast << " against " << slow;
            ASSERT_EQ(st().count, static_cast<int>(ref.voices.size())) << c.name << " " << i;
        }
        row.voiceCount = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Output analyser

// An output stage that only answers the analyser's read-back of what a device plays.
class ReadBackOnly : public OutputStage {
  public:
    void engineStarted() override {}
    void startCycle(int8_t) override {}
    void addToBus(int, int, double) override {}
    void beginCycleAndFlush(EngineState&) override {}
};

// An output stage whose devices play a sine of amplitude `level` (full scale 1) at `hz`.
class ToneOutput final : public ReadBackOnly {
  public:
    double hz = 480.0, level = 1.0;
    long phase = 0;
    bool readBack(int, SampleChunk& out) override {
        for (int i = 0; i < out.length(); ++i)
            out.samples[i] = level * std::cos(kTwoPi * hz * phase++ / 48000.0 + 0.3);
        return true;
    }
    void endCycle() override {}
    void closeAll() override {}
};

std::vector<double> tone(double hz, double level = 1.0) {
    std::vector<double> s(AnalyserState::kBufferSamples);
    for (int i = 0; i < AnalyserState::kBufferSamples; ++i)
        s[i] = level * std::cos(kTwoPi * hz * i / 48000.0 + 0.3);
    return s;
}

TEST(AnalyserMeasures, PureToneLightsTheBandOfItsFrequency) {
    // The measure compares values one period apart, so a tone also lights the bands whose
    // period holds an odd number of its own; bands well above the tone stay dark.
    for (int band : {2, 10, 20, 35}) {
        const std::vector<double> s = tone(480.0 * band, 0.8);
        double bands[AnalyserState::kBands];
        spectrumBands(s.data(), bands);
        EXPECT_GT(bands[band - 1], 0.9) << band;
        for (int k = band * 3 / 2; k <= 50; ++k) {
            EXPECT_LT(bands[k - 1], 0.1) << band << " " << k;
        }
    }
    const std::vector<double> high = tone(16800.0, 0.8);
    double highBands[AnalyserState::kBands];
    spectrumBands(high.data(), highBands);
    EXPECT_LT(highBands[19], 0.1);
    // Fewer than two positions in the buffer: nothing to compare.
    EXPECT_EQ(periodicity(high.data(), 1600, 20.0), 0.0);
    EXPECT_EQ(periodicity(high.data(), 1600, 0.0), 0.0);
    const std::vector<double> silence(AnalyserState::kBufferSamples, 0.0);
    double bands[AnalyserState::kBands];
    spectrumBands(silence.data(), bands);
    for (double b : bands)
        EXPECT_EQ(b, 0.0);
}

struct Analyser : AudioRouting {
    ToneOutput output;
    Module* analyser = nullptr;
    void SetUp() override {
        analyser = add(Module_AudioOutputAnalyser);
        ctx.output = &output;
        ctx.chunkLength = 96;
    }
    AnalyserState& st() { return analyser->stateAs<AnalyserState>(); }
    void cycles(int n) {
        for (int i = 0; i < n; ++i)
            moduleEvaluators().endOfCycle[Module_AudioOutputAnalyser](*analyser, ctx);
    }
};

TEST_F(Analyser, DrawsOnlyWhenFullyShownAndTracksThePeakWhenCompact) {
    output.level = 0.4;
    analyser->analysers[0].mode = 1;
    struct Case {
        uint8_t show;
        bool draws;
        double peak;
    };
    for (const Case c : {Case{3, false, 0.0}, Case{5, false, 500.0}, Case{10, true, 0.0}}) {
        analyser->showState = c.show;
        const uint64_t before = st().latest().serial;
        cycles(17); // 1632 samples: one full buffer
        EXPECT_EQ(st().latest().serial > before, c.draws) << int(c.show);
        EXPECT_NEAR(st().takePeak(), c.peak, 0.5) << int(c.show);
        EXPECT_EQ(st().fill, 32) << "the rest of the block starts the next buffer";
        st().fill = 0;
    }
    // No output device: zeros, nothing read back.
    analyser->soundOutputs[0].code = -555;
    analyser->showState = 5;
    cycles(17);
    EXPECT_EQ(st().takePeak(), 0.0);
}

TEST_F(Analyser, OscilloscopeTracesTheSine) {
    output.hz = 30.0; // one period over the buffer
    output.level = 0.5;
    analyser->analysers[0].mode = 1;
    analyser->showState = 10;
    cycles(17);
    const AnalyserPicture& pic = st().latest();
    ASSERT_EQ(pic.serial, 1u);
    const int w = pic.width, h = pic.height;
    for (int x = 0; x < w - 1; ++x) {
        const double s = 0.5 * std::cos(kTwoPi * 30.0 * (x * 1600 / w) / 48000.0 + 0.3);
        const double y = h / 2.0 + s * h / 2.0;
        int brightest = 0;
        uint32_t best = 0;
        for (int py = 0; py < h; ++py) {
            const uint32_t p = pic.pixels[py * w + x] & 0xFFFFFF;
            if (p > best) {
                best = p;
                brightest = py;
            }
            if (std::fabs(py - y) > 3) {
                ASSERT_EQ(p, 0u) << x << "," << py;
            }
        }
        EXPECT_NEAR(brightest, y, 1.5) << x;
    }
}

TEST_F(Analyser, SpectrumDrawsTheBandsAsColumns) {
    output.hz = 4800.0; // band 10
    analyser->analysers[0].mode = 0;
    analyser->showState = 10;
    cycles(17 + 13); // the buffer fills in the 17th cycle, its bands take 13 more
    const AnalyserPicture& pic = st().latest();
    const int w = pic.width, h = pic.height;
    auto litRows = [&](int band) {
        // The column falls between two pixels; the nearer one carries most of it.
        const int x = static_cast<int>(std::lround(w / 50.0 * (band - 1 + 0.6)));
        int lit = 0;
        for (int y = 0; y < h; ++y)
            lit += (pic.pixels[y * w + x] & 0xFF) > 100;
        return lit;
    };
    EXPECT_GT(litRows(10), h / 2);
    EXPECT_LT(litRows(40), h / 4);
}

// An output device playing a recorded signal, and a reference analyser that takes the same
// samples and measures all bands of a buffer at once, the moment it fills.
class RecordedOutput final : public ReadBackOnly {
  public:
    std::vector<double> signal;
    std::size_t at = 0;
    bool readBack(int, SampleChunk& out) override {
        for (int i = 0; i < out.length(); ++i)
            out.samples[i] = signal[at++ % signal.size()];
        return true;
    }
    void endCycle() override {}
    void closeAll() override {}
};

struct ReferenceAnalyser {
    AnalyserState st; // its canvas, buffer and size requests only
    std::vector<AnalyserPicture> pictures;
    void take(const double* samples, int n, uint8_t show, uint8_t mode) {
        for (int i = 0; i < n; ++i) {
            st.buffer[st.fill++] = samples[i];
            if (st.fill < AnalyserState::kBufferSamples) continue;
            st.fill = 0;
            if (show != 10) continue;
            if (const uint32_t size = st.pendingSize.exchange(0)) {
                st.canvas.resize(static_cast<int>(size >> 16), static_cast<int>(size & 0xFFFF));
                st.canvas.fill(kAnalyserBlack);
            }
            if (mode == 0) {
                double bands[AnalyserState::kBands];
                spectrumBands(st.buffer, bands);
                drawSpectrum(st.canvas, bands);
            } else {
                drawOscilloscope(st.canvas, st.buffer);
            }
            pictures.push_back(st.canvas);
        }
    }
};

// The spectrum's bands are measured over the cycles after the buffer fills: the window must see
// the same pictures, in the same order and none skipped, as when they were measured at once,
// whatever the chunk lengths and whatever the window asks meanwhile.
TEST_F(AudioRouting, SpreadSpectrumPublishesThePicturesOfMeasuringAtOnce) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> noise(20000), steps(20000), toneAndNoise(20000);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = uniform(random);
        const double hz = 480.0 * (3 + 7 * (i / 1600) % 40); // a new band every buffer
        steps[i] = 0.8 * std::cos(kTwoPi * hz * static_cast<double>(i) / 48000.0);
        toneAndNoise[i] = 0.5 * std::cos(kTwoPi * 9600.0 * static_cast<double>(i) / 48000.0) +
                          0.3 * noise[(i * 7) % noise.size()];
    }
    // What the window does once this many samples have been played.
    struct Event {
        int sample;
        uint8_t show, mode;
        bool clear;
    };
    const Event events[] = {
        {1650, 10, 0, true},  // resized while the first buffer's bands are measured
        {1700, 5, 0, false},  // compact: the pending picture still comes, the next one not
        {3300, 10, 1, false}, // oscilloscope, then back to the spectrum just after a buffer
        {4850, 10, 0, false}, {6450, 3, 1, false},  // hidden, and the mode changed, while pending
        {8050, 10, 0, false}, {12000, 5, 0, false}, // compact: the last picture is due
    };
    const std::vector<int> chunkPatterns[] = {{96}, {1}, {192}, {192, 1, 57, 150, 96, 2, 191}};
    const std::vector<double>* signals[] = {&noise, &steps, &toneAndNoise};
    for (std::size_t s = 0; s < std::size(signals); ++s) {
        for (const std::vector<int>& chunks : chunkPatterns) {
            SCOPED_TRACE(::testing::Message()
                         << "signal " << s << ", chunks from " << chunks[0] << " samples");
            ModuleRegistry modules;
            Module* analyser = modules.addModule(Module_AudioOutputAnalyser);
            AnalyserState& st = analyser->stateAs<AnalyserState>();
            RecordedOutput output;
            output.signal = *signals[s];
            ctx.output = &output;
            ReferenceAnalyser reference;
            std::vector<AnalyserPicture> seen;
            std::size_t next = 0;
            int played = 0;
            for (int cycle = 0; played < 12000 || st.spectrumPending; ++cycle) {
                for (; next < std::size(events) && events[next].sample <= played; ++next) {
                    analyser->showState = events[next].show;
                    analyser->analysers[0].mode = events[next].mode;
                    if (events[next].clear) {
                        st.requestClear(300, 120);
                        reference.st.requestClear(300, 120);
                    }
                }
                ASSERT_LT(played, 12800) << "bands of the buffer at 11200 still pending";
                ctx.chunkLength = chunks[cycle % chunks.size()];
                moduleEvaluators().endOfCycle[Module_AudioOutputAnalyser](*analyser, ctx);
                reference.take(&output.signal[played], ctx.chunkLength, analyser->showState,
                               analyser->analysers[0].mode);
                played += ctx.chunkLength;
                const AnalyserPicture& pic = st.latest();
                if (pic.serial == seen.size()) continue;
                ASSERT_EQ(pic.serial, seen.size() + 1) << "a picture skipped at cycle " << cycle;
                seen.push_back(pic);
            }
            ASSERT_EQ(reference.pictures.size(), 5u); // 1600, 4800 (trace), 6400, 9600, 11200
            ASSERT_EQ(seen.size(), reference.pictures.size());
            for (std::size_t i = 0; i < seen.size(); ++i) {
                ASSERT_EQ(seen[i].width, reference.pictures[i].width) << i;
                ASSERT_TRUE(seen[i].pixels == reference.pictures[i].pixels) << "picture " << i;
            }
        }
    }
}

TEST_F(Analyser, PictureSizeAndClearRequestsComeFromTheWindow) {
    analyser->analysers[0].mode = 1;
    analyser->showState = 10;
    st().requestClear(100, 40);
    cycles(17);
    EXPECT_EQ(st().latest().width, 100);
    EXPECT_EQ(st().latest().height, 40);
    EXPECT_EQ(st().latest().pixels.size(), 4000u);
    st().requestClear(100000, -5); // limited to what the picture memory holds
    cycles(17);
    EXPECT_GE(st().latest().width, 100);
    EXPECT_EQ(st().latest().height, 1);
}

// The window thread takes pictures while the engine thread draws and publishes them.
TEST(EngineThreads, AnalyserPicturesReachTheWindowThreadWhole) {
    EngineState state;
    ToneOutput output;
    Engine engine{state, &output};
    ModuleRegistry registry{&engine};
    Module* analyser = registry.addModule(Module_AudioOutputAnalyser);
    analyser->analysers[0].mode = 1;
    analyser->showState = 10;
    AnalyserState& st = analyser->stateAs<AnalyserState>();

    std::atomic<bool> done{false};
    std::thread engineThread([&] {
        engine.beginOffline();
        // The 180th buffer fills in the 3000th cycle; a spectrum's bands take 13 more.
        for (int i = 0; i < 3000 + 13; ++i)
            engine.runCycle(nullptr);
        engine.endOffline();
        done = true;
    });
    uint64_t last = 0;
    int seen = 0, polls = 0;
    while (!done.load()) {
        const AnalyserPicture& pic = st.latest();
        ASSERT_GE(pic.serial, last);
        ASSERT_EQ(pic.pixels.size(), static_cast<std::size_t>(pic.width) * pic.height);
        if (pic.serial > last) ++seen;
        last = pic.serial;
        if (++polls % 50 == 0) {
            st.requestClear(200 + polls % 100, 80);
            analyser->analysers[0].mode = static_cast<uint8_t>(polls / 50 % 2);
            st.takePeak();
        }
        std::this_thread::yield();
    }
    engineThread.join();
    EXPECT_GT(seen, 1);
    EXPECT_EQ(st.latest().serial, 3000u * 96 / 1600);
}

} // namespace
} // namespace kv

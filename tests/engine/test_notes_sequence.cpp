// Note and sequence control modules: envelope shape and smoothing, note snapping, low cut, glide,
// merging, the sequence's parser, timing and play order, and its text and recording hand-over.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "engine/notes_sequence.h"
#include "modules/module_controls.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

struct Notes : ::testing::Test {
    EngineState state;
    ModuleRegistry registry; // no engine: rows are registered directly
    EngineView view;
    EngineContext ctx{state, state.table, state.rand, view};
    Module* source = nullptr;

    void SetUp() override {
        ctx.controlRate = 4000;
        ctx.msPerControlSample = 0.25;
    }
    Module* add(int type) {
        Module* m = registry.addModule(type);
        const ModuleTypeInfo& t = typeInfo(type);
        state.table.registerRow(m->outputRow, t.voices, t.velocity);
        return m;
    }
    ControlRow& row(const Module* m) { return state.table.rows[m->outputRow]; }
    // A source row with one voice per (frequency, velocity), note ids 60, 61, ...
    ControlRow& notes(std::initializer_list<std::pair<double, double>> voices) {
        if (!source) source = add(Module_ControlGain);
        ControlRow& r = row(source);
        r.voiceCount = static_cast<uint8_t>(voices.size());
        int k = 0;
        for (auto [f, v] : voices) {
            r.noteId[k] = static_cast<uint8_t>(60 + k);
            r.primary[k] = f;
            r.velocity[k] = v;
            ++k;
        }
        return r;
    }
    // Runs `fn` as the engine does at `times` consecutive control samples.
    void run(EvaluateFn fn, Module* m, int times = 1) {
        for (int i = 0; i < times; ++i) {
            ++ctx.controlSampleCounter;
            fn(*m, ctx);
        }
    }
    static void manual(InputSliderSlot& s, double value) {
        s.source = kSourceManual;
        s.manual = value;
    }
};

TEST_F(Notes, EnvelopeRisesToTwiceTheVelocityFallsToSustainAndReleasesLinearly) {
    Module* env = add(Module_ControlNoteEnvelope);
    const ControlNoteEnvelopeControls c{*env};
    c.outputMode().choice = 1; // "Replace Velocity"
    manual(c.controlSmoothing(), 0);
    notes({{440, 127}});
    c.controlInput().source = source->outputRow;
    const ControlRow& out = row(env);

    run(&evaluateNoteEnvelope, env, 201); // elapsed 0 .. 50 ms
    EXPECT_DOUBLE_EQ(out.velocity[0], 254.0);
    EXPECT_EQ(out.primary[0], 440.0);
    EXPECT_EQ(out.noteId[0], 60);
    run(&evaluateNoteEnvelope, env, 200); // 100 ms
    EXPECT_DOUBLE_EQ(out.velocity[0], 63.5);
    run(&evaluateNoteEnvelope, env, 400);
    EXPECT_DOUBLE_EQ(out.velocity[0], 63.5);

    row(source).voiceCount = 0;           // the note ends
    run(&evaluateNoteEnvelope, env, 401); // 100 ms of the 200 ms release
    EXPECT_DOUBLE_EQ(out.velocity[0], 31.75);
    EXPECT_EQ(out.voiceCount, 1);
    run(&evaluateNoteEnvelope, env, 400);
    EXPECT_EQ(out.voiceCount, 0);
    EXPECT_EQ(env->stateAs<NoteEnvelopeState>().count, 0);
}

TEST_F(Notes, EnvelopeReleasesAndRestrikesFromTheCurrentLevelWithoutJumps) {
    Module* env = add(Module_ControlNoteEnvelope);
    const ControlNoteEnvelopeControls c{*env};
    c.outputMode().choice = 1;
    manual(c.controlSmoothing(), 0);
    notes({{440, 127}});
    c.controlInput().source = source->outputRow;
    const ControlRow& out = row(env);
    // Steepest slope: the attack, 254 in 200 control samples.
    const double maxStep = 254.0 / 200.0 + 1e-9;
    double previous = 0;
    auto check = [&](int times) {
        for (int i = 0; i < times; ++i) {
            run(&evaluateNoteEnvelope, env);
            const double v = out.voiceCount ? out.velocity[0] : 0.0;
            ASSERT_LE(std::fabs(v - previous), maxStep) << "at step " << i;
            previous = v;
        }
    };
    check(100); // half way up the attack (127)
    row(source).voiceCount = 0;
    check(200); // released from 127, not from the sustain level
    EXPECT_GT(previous, 60.0);
    row(source).voiceCount = 1;
    check(100); // struck again: the attack resumes from there
    EXPECT_GT(previous, 150.0);
}

TEST_F(Notes, EnvelopeSmoothingKeepsTheShareOfThePreviousOutput) {
    struct Case {
        double smoothing; // % per ms
        double velocity;  // after one control sample from 0
    };
    for (const Case k : {Case{10, 0.975 * 127}, Case{400, 0.0}, Case{5000, 0.0}}) {
        Module* env = add(Module_ControlNoteEnvelope);
        const ControlNoteEnvelopeControls c{*env};
        c.outputMode().choice = 7; // "Envelope as Signal with Full Velocity"
        manual(c.controlSmoothing(), k.smoothing);
        manual(c.controlInput(), 50);
        run(&evaluateNoteEnvelope, env);
        EXPECT_DOUBLE_EQ(row(env).velocity[0], k.velocity) << k.smoothing;
        registry.removeModule(env);
    }
}

TEST_F(Notes, ClosestNoteSnapsToSemitonesAroundTheTuning) {
    struct Case {
        double input, cents, expected;
    };
    const Case cases[] = {
        {445, 0, 16.35 * std::exp2(57 / 12.0)},
        {445, 50, 16.35 * std::exp2(57.5 / 12.0)},
        {-445, 0, 16.35 * std::exp2(57 / 12.0)},
        {0, 0, 0},
    };
    Module* m = add(Module_ControlClosestNote);
    const ControlClosestNoteControls c{*m};
    for (const Case k : cases) {
        manual(c.inputSource(), k.input / 10);
        manual(c.tuning(), k.cents);
        run(&evaluateClosestNote, m);
        EXPECT_NEAR(row(m).primary[0], k.expected, 1e-9) << k.input << " " << k.cents;
        EXPECT_EQ(row(m).velocity[0], 127);
    }
}

TEST_F(Notes, LowCutFadesNotesBetweenTheCutAndHalfOfIt) {
    Module* m = add(Module_ControlLowCut);
    const ControlLowCutControls c{*m};
    for (auto [hz, share] :
         {std::pair{100.0, 2.0 / 3}, {60.0, 0.0}, {30.0, 0.0}, {120.0, 1.0}, {200.0, 1.0}}) {
        manual(c.inputSource(), hz);
        run(&evaluateLowCut, m);
        EXPECT_NEAR(row(m).velocity[0], 127 * share, 1e-9) << hz;
        EXPECT_EQ(row(m).primary[0], hz);
    }
}

TEST_F(Notes, RetardLeavesHalfTheDistanceAfter40Milliseconds) {
    Module* m = add(Module_ControlNoteRetard);
    const ControlNoteRetardControls c{*m};
    manual(c.retardationSource(), 1000); // start every note at 1000 Hz
    notes({{440, 90}});
    c.inputSource().source = source->outputRow;
    run(&evaluateNoteRetard, m, 160); // 40 ms at 4000 Hz
    EXPECT_NEAR(row(m).primary[0], 440 + 0.5 * 560, 1e-6);
    EXPECT_EQ(row(m).velocity[0], 90);

    // Without a whence source a new note starts from the latest note.
    c.retardationSource().source = kSourceNone;
    notes({{440, 90}, {880, 90}});
    run(&evaluateNoteRetard, m, 160);
    EXPECT_EQ(row(m).voiceCount, 2);
    EXPECT_NEAR(row(m).primary[1], 880 - 0.5 * 440, 1e-6);
    notes({});
    run(&evaluateNoteRetard, m);
    EXPECT_EQ(row(m).voiceCount, 0);
}

TEST_F(Notes, PolyphonicatorGivesManualInputsTheirNumbersAndMergesSharedNotes) {
    Module* m = add(Module_ControlPolyphonicator);
    manual(m->inputSliders[0], 20);
    manual(m->inputSliders[1], 30);
    run(&evaluatePolyphonicator, m);
    ASSERT_EQ(row(m).voiceCount, 2);
    EXPECT_EQ(row(m).noteId[0], 1);
    EXPECT_EQ(row(m).noteId[1], 2);
    EXPECT_EQ(row(m).primary[1], 300);

    // Inputs 3 and 4 read the same row: its notes are summed, velocities averaged.
    notes({{440, 100}});
    m->inputSliders[2].source = m->inputSliders[3].source = source->outputRow;
    m->inputSliders[3].velocitySensitivity = 50;
    run(&evaluatePolyphonicator, m);
    ASSERT_EQ(row(m).voiceCount, 3);
    EXPECT_EQ(row(m).primary[2], 880);
    EXPECT_EQ(row(m).velocity[2], (50 + 100) * 0.5);
}

TEST_F(Notes, NoteCombineAveragesSoundingVoicesAndSustainHoldsTheLast) {
    Module* m = add(Module_ControlNoteCombine);
    const ControlNoteCombineControls c{*m};
    notes({{440, 100}, {660, 50}});
    c.inputSource().source = source->outputRow;
    run(&evaluateNoteCombine, m);
    EXPECT_EQ(row(m).primary[0], 550);
    EXPECT_EQ(row(m).velocity[0], 75);
    EXPECT_EQ(row(m).voiceCount, 1);

    notes({{300, 0}}); // silent voices: (0, 0), or the held pair with "Sustain"
    c.doSustain().state = true;
    run(&evaluateNoteCombine, m);
    EXPECT_EQ(row(m).primary[0], 550);
    c.doSustain().state = false;
    run(&evaluateNoteCombine, m);
    EXPECT_EQ(row(m).velocity[0], 0);
    notes({}); // no voices: nothing written
    row(m).primary[0] = 7;
    run(&evaluateNoteCombine, m);
    EXPECT_EQ(row(m).primary[0], 7);
}

TEST_F(Notes, ControlStepFunctionQuantisesTowardsZero) {
    Module* m = add(Module_ControlStepFunction);
    const ControlStepFunctionControls c{*m};
    for (auto [in, step, out] : {std::tuple{53.7, 10.0, 500.0},
                                 {-53.7, 10.0, -500.0},
                                 {53.7, 0.0, 537.0},
                                 {53.7, 300.0, 0.0}}) {
        manual(c.input(), in);
        manual(c.stepSize(), step);
        run(&evaluateControlStepFunction, m);
        EXPECT_NEAR(row(m).primary[0], out, 1e-9) << in << " " << step;
    }
}

TEST(SequenceParser, TurnsNoteTextIntoSteps) {
    struct Case {
        const char* text;
        std::vector<int> steps;
    };
    const Case cases[] = {
        {"A4", {57}},         {"A#4 C4", {58, 128, 48}}, {"D", {2}}, {"B3D3F#3", {47, 38, 42}},
        {"c4-e4", {48, 52}},  // lower case and hyphens
        {"H5C4", {48}},       // an H is not a note; the lone digit is skipped
        {" 5E", {188, 4}},    // a space with a digit is one blank step
        {"#5\r\nG9x", {115}}, // "#" and digits without a letter are skipped
        {"xyz 123", {140}},
    };
    auto st = std::make_unique<SequenceState>();
    for (const Case& k : cases) {
        parseSequenceText(k.text, *st);
        std::vector<int> got(st->steps.begin(), st->steps.begin() + st->stepCount);
        EXPECT_EQ(got, k.steps) << k.text;
    }
    // The step list is full at 360000 steps.
    parseSequenceText(std::string(400000, 'C'), *st);
    EXPECT_EQ(st->stepCount, SequenceState::kMaxSteps);
}

struct Sequence : Notes {
    Module* seq = nullptr;
    void SetUp() override {
        Notes::SetUp();
        seq = add(Module_ControlSequence);
    }
    ControlSequenceControls c() const { return {*seq}; }
    SequenceState& st() { return seq->stateAs<SequenceState>(); }
    void setTempo(double bpm, double lengthMs) {
        manual(c().bPM(), bpm);
        manual(c().noteLength(), lengthMs);
    }
    // Note numbers started at each step while the sequence plays `steps` steps of T samples.
    std::vector<int> played(int steps, int T) {
        std::vector<int> out;
        while (static_cast<int>(out.size()) < steps) {
            run(&evaluateSequence, seq);
            if (ctx.controlSampleCounter % T) continue;
            int started = -1;
            for (int n = 0; n < 128; ++n)
                if (st().elapsedMs[n] == ctx.msPerControlSample && st().velocity[n] > 0)
                    started = n;
            out.push_back(started);
        }
        return out;
    }
};

TEST_F(Sequence, At60BpmOneStepPerSecondSoundsForTheNoteLength) {
    seq->sequence.setText("A4");
    setTempo(60, 500);
    std::vector<int> voices;
    for (int i = 0; i < 8000; ++i) {
        run(&evaluateSequence, seq);
        voices.push_back(row(seq).voiceCount);
    }
    // Steps fall on control samples 4000, 8000, ...; each note lasts 2000 control samples.
    EXPECT_EQ(voices[3998], 0); // control sample 3999
    EXPECT_EQ(voices[3999], 1);
    EXPECT_EQ(voices[5998], 1);
    EXPECT_EQ(voices[5999], 0);
    EXPECT_EQ(voices[7999], 1);
    EXPECT_NEAR(row(seq).primary[0], 440.0, 0.05);
    EXPECT_EQ(row(seq).velocity[0], 127);
    EXPECT_EQ(row(seq).noteId[0], 57);

    manual(c().transpose(), 12);
    manual(c().tuning(), 50);
    run(&evaluateSequence, seq);
    EXPECT_DOUBLE_EQ(row(seq).primary[0], 16.35 * std::exp2((0.5 + 57 + 12) / 12));
}

TEST_F(Sequence, PlaysStepsInOrderForwardsAndBackwards) {
    struct Case {
        const char* text;
        double bpm;
        std::vector<int> notes; // −1: no note starts
    };
    // At 24000 steps per minute a step is 10 control samples.
    const Case cases[] = {
        {"C4 E4", 24000, {48, -1, 52, 48}},
        {"c4-e4", 24000, {48, 52, 48}},
        {"C4D4E4", -24000, {48, 52, 50, 48, 52}},
    };
    for (const Case& k : cases) {
        Module* fresh = add(Module_ControlSequence);
        seq = fresh;
        seq->sequence.setText(k.text);
        setTempo(k.bpm, 5);
        EXPECT_EQ(played(static_cast<int>(k.notes.size()), 10), k.notes) << k.text;
        registry.removeModule(fresh);
    }
}

TEST_F(Sequence, ShortenedListAndDirectionChangesStayWithinTheSteps) {
    seq->sequence.setText("C4D4E4F4G4");
    setTempo(24000, 5);
    EXPECT_EQ(played(4, 10), (std::vector<int>{48, 50, 52, 53}));
    seq->sequence.setText("C4D4"); // position 4 lies beyond the new list
    manual(c().bPM(), -24000);
    EXPECT_EQ(played(3, 10), (std::vector<int>{50, 48, 50}));
    played(1, 10); // C4, position now −1
    manual(c().bPM(), 24000);
    EXPECT_EQ(played(2, 10), (std::vector<int>{48, 50}));
}

TEST_F(Sequence, LongNotesOverlapAndARepeatedNoteRestarts) {
    setTempo(24000, 100); // 400 control samples: many steps long
    seq->sequence.setText("C4E4");
    run(&evaluateSequence, seq, 40);
    EXPECT_EQ(row(seq).voiceCount, 2);
    seq->sequence.setText("C4C4");
    run(&evaluateSequence, seq, 1000);
    EXPECT_EQ(row(seq).voiceCount, 1); // E4 has ended; C4 keeps being restarted
    EXPECT_LT(st().elapsedMs[48], 10.0);

    manual(c().bPM(), 0); // no tempo: the note finishes its length
    run(&evaluateSequence, seq, 400);
    EXPECT_EQ(row(seq).voiceCount, 0);
}

TEST_F(Sequence, TextReachesTheStepsWithoutTheEngineWaiting) {
    setTempo(60, 500);
    seq->sequence.setText("C4E4");
    run(&evaluateSequence, seq);
    EXPECT_EQ(st().stepCount, 2);
    {
        // Patch loading writes the text and marks it changed.
        std::lock_guard lock(seq->sequence.mutex);
        seq->sequence.text = "G4";
        seq->sequence.changed = true;
    }
    run(&evaluateSequence, seq);
    EXPECT_EQ(st().stepCount, 1);
    EXPECT_EQ(st().steps[0], 55);

    // While the window holds the hand-over, the engine goes on with the old steps.
    std::unique_lock held(seq->sequence.mutex);
    seq->sequence.text = "A4B4C5";
    ++seq->sequence.version;
    std::thread engine([&] { run(&evaluateSequence, seq); });
    engine.join();
    EXPECT_EQ(st().stepCount, 1);
    held.unlock();
    run(&evaluateSequence, seq);
    EXPECT_EQ(st().stepCount, 3);
}

// Held MIDI notes scripted per read.
struct ScriptedNotes final : InputStage {
    std::vector<std::vector<std::pair<int, int>>> reads; // (channel, key) held, per read
    std::size_t next = 0;
    int device = -1;
    bool copyNotes(int dev, uint8_t* notes) override {
        device = dev;
        if (next >= reads.size()) return false;
        std::fill(notes, notes + 16 * 128, 0);
        for (auto [ch, key] : reads[next])
            notes[ch * 128 + key] = 100;
        ++next;
        return true;
    }
};

TEST_F(Sequence, RecordingAppendsNewlyPressedKeysToTheText) {
    setTempo(0, 500);
    seq->sequence.setText("C4");
    // Without a note source, and with no device chosen, nothing is recorded.
    run(&evaluateSequence, seq, 2);
    ScriptedNotes midi;
    midi.reads = {{{0, 60}}, {{0, 60}, {3, 57}, {0, 70}}, {{3, 57}}, {{0, 13}}};
    ctx.input = &midi;
    c().recordingSourceId().code = -555;
    run(&evaluateSequence, seq);
    EXPECT_EQ(midi.next, 0u);

    c().recordingSourceId().code = 2;
    run(&evaluateSequence, seq, 4); // the first read only takes the held keys
    EXPECT_EQ(midi.device, 2);
    EXPECT_TRUE(seq->sequence.takePendingRecord());
    {
        std::lock_guard lock(seq->sequence.mutex);
        EXPECT_EQ(seq->sequence.text, "C4A#5A4C#1"); // channel order, then key order
    }
    run(&evaluateSequence, seq);
    EXPECT_EQ(st().stepCount, 4);
    EXPECT_FALSE(seq->sequence.takePendingRecord());
}

// Keys pressed and released at random, read on the engine thread only.
struct RandomNotes final : InputStage {
    std::mt19937 rng{3};
    bool copyNotes(int, uint8_t* notes) override {
        std::fill(notes, notes + 16 * 128, 0);
        for (int i = 0; i < 4; ++i)
            notes[(rng() % 16) * 128 + rng() % 128] = 64;
        return true;
    }
};

// The window side edits the text, a patch load replaces it and recorded notes are taken, while
// the real-time engine plays and records. Run under ThreadSanitizer in CI.
TEST(EngineThreads, SequenceTextHandOverWhileTheEngineRuns) {
    using namespace std::chrono_literals;
    EngineState state;
    state.settings.controlRate = 48000; // a hand-over attempt at every sample
    RandomNotes midi;
    Engine engine{state, nullptr, nullptr, &midi};
    ModuleRegistry registry{&engine};
    Module* seq = registry.addModule(Module_ControlSequence);
    const ControlSequenceControls c{*seq};
    c.recordingSourceId().code = 0;
    c.bPM().source = kSourceManual;
    c.bPM().manual = 12000;

    engine.start();
    std::mt19937 rng(11);
    const char* const texts[] = {"C4 E4 G4", "a#3-b3", "", "C4C4C4C4C4C4C4C4", "x"};
    long taken = 0;
    // 400 ms at least, and on a busy machine until the engine has recorded something (10 s
    // at most).
    const auto start = std::chrono::steady_clock::now();
    for (auto now = start; now < start + 400ms || (taken == 0 && now < start + 10s);
         now = std::chrono::steady_clock::now()) {
        const std::string text = texts[rng() % std::size(texts)];
        if (rng() % 2) {
            seq->sequence.setText(text);
        } else {
            std::lock_guard lock(seq->sequence.mutex);
            seq->sequence.text = text;
            seq->sequence.changed = true;
        }
        taken += seq->sequence.takePendingRecord();
        std::this_thread::sleep_for(100us);
    }
    engine.stopAndWait();
    EXPECT_GT(taken, 0);

    // One more cycle parses whatever the text is now.
    engine.beginOffline();
    engine.runCycle(nullptr);
    engine.endOffline();
    auto expected = std::make_unique<SequenceState>();
    std::lock_guard lock(seq->sequence.mutex);
    parseSequenceText(seq->sequence.text, *expected);
    EXPECT_EQ(seq->stateAs<SequenceState>().stepCount, expected->stepCount);
    EXPECT_EQ(seq->stateAs<SequenceState>().parsedVersion, seq->sequence.version);
}

} // namespace
} // namespace kv

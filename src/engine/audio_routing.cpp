#include "engine/audio_routing.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

#include "engine/algorithms.h"
#include "engine/analyser.h"
#include "engine/audio_signal.h"
#include "engine/pluck_math.h"
#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kCeiling = 24000.0; // Hz
constexpr double kMouseFactor = 6.0;
constexpr int kFirstButtonRow = 150; // the five mouse-button rows carry note ids of their own
constexpr int kLastButtonRow = 154;

double fader(const InputSliderSlot& s, const ControlTable& t) {
    const AudioParam p = audioParam(s, t);
    return p.manual ? p.value : p.value * 0.1;
}

// Appends or finds the voice of note `id`; a new voice starts at age 0 with `velocity`. Note ids
// are unique among the voices, so the index finds the same voice a scan from the first would.
[[gnu::always_inline]] inline PluckVoice* takePluckInput(MutedPluckState& st, uint8_t id,
                                                         double velocity) {
    const int known = st.voiceOfNote[id];
    if (known < st.count && st.voices[known].noteId == id) return &st.voices[known];
    if (st.count >= MutedPluckState::kMaxVoices) return nullptr;
    st.voiceOfNote[id] = static_cast<uint8_t>(st.count);
    PluckVoice& v = st.voices[st.count++];
    v = PluckVoice{};
    v.noteId = id;
    // A negative velocity (from a control row) would make the damping exponent negative and the
    // sum infinite; it counts as 0, the most damped note.
    v.velocity = std::max(velocity, 0.0);
    return &v;
}

} // namespace

// The nine partials p = 40, 50, ..., 120 at p/100 × `phase`, partial p weighted
// 1 − (|p − 100| / 60)^d: the note's own partial (100) keeps full weight, the outer ones fade in
// as the damping d falls. The outermost (40) always has weight 0.
double pluckPartials(double phase, double d) {
    return pluckPartialsOne(phase, d);
}

double firstFaderWeight(double f) {
    if (f < -100.0) return -f / 100.0;
    if (f <= 0.0) return 1.0;
    return std::max(1.0 - f / 100.0, 0.0);
}

double secondFaderWeight(double f) {
    if (f > 100.0) return f / 100.0;
    if (f >= 0.0) return 1.0;
    return std::max(1.0 - std::fabs(f) / 100.0, 0.0);
}

double pluckEnvelope(double ms, double velocity, double length) {
    if (ms <= 10.0) {
        const double q = 1.0 - (ms / 10.0) * (ms / 10.0);
        return velocity * (1.0 - q * q);
    }
    const double r = ms / (length + 20.0);
    return r < 1.0 ? velocity * pluckPower(1.0 - r, 1.0 / (1.0 - r)) : 0.0;
}

void evaluateAudioOutputSplit(Module& m, EngineContext& ctx) {
    const AudioOutputSplitControls c{m};
    ControlTable& t = ctx.table;
    const double x = audioInput(c.inputModule(), t);
    const double f = fader(c.fader(), t);
    writeAudioOutput(t, m.outputRow, firstFaderWeight(f) * x);
    writeAudioOutput(t, m.secondOutputRow, secondFaderWeight(f) * x);
}

void evaluateAudioInputCombine(Module& m, EngineContext& ctx) {
    const AudioInputCombineControls c{m};
    ControlTable& t = ctx.table;
    const double x1 = audioInput(c.inputModule1(), t);
    const double x2 = audioInput(c.inputModule2(), t);
    const double f = fader(c.fader(), t);
    writeAudioOutput(t, m.outputRow, secondFaderWeight(f) * x2 + firstFaderWeight(f) * x1);
}

// Nine partials around the note whose upper and lower ones are damped away as the note ages;
// the note rises in 10 ms and decays to silence at its length + 20 ms.
void evaluateAudioMutedPluck(Module& m, EngineContext& ctx) {
    const AudioMutedPluckControls c{m};
    MutedPluckState& st = m.stateAs<MutedPluckState>();
    ControlTable& t = ctx.table;

    const AudioParam length = audioParam(c.noteLength(), t);
    // A negative length (hand-edited patch) would divide by zero below; it counts as 0.
    const double NL = std::max(length.manual ? length.value : std::fabs(length.value), 0.0);
    const double NV = audioParam(c.noteVelocity(), t).value;

    // 1-2. Note inputs.
    for (int i = 0; i < st.count; ++i)
        st.voices[i].present = false;
    const InputSliderSlot& note = c.note();
    const int S = note.source.load(std::memory_order_relaxed);
    const bool rowSource = isRowSelector(S);
    const bool carriesNoteIds =
        rowSource && (S < kMouseRowBase || (S >= kFirstButtonRow && S <= kLastButtonRow));
    if (rowSource) {
        const ControlRow& row = t.rows[S];
        const double factor = (S >= kMouseRowBase ? kMouseFactor : 1.0) *
                              note.sensitivity.load(std::memory_order_relaxed) / 100.0;
        const int count = std::min<int>(row.voiceCount, kVoices);
        for (int k = 0; k < count; ++k) {
            const double f = std::min(std::fabs(row.primarySmoothed[k] * factor), kCeiling);
            PluckVoice* v = carriesNoteIds ? takePluckInput(st, row.noteId[k], row.velocity[k])
                                           : takePluckInput(st, 0, 127.0);
            if (!v) continue;
            v->present = true;
            // The phase step is divided out again only when the frequency's bits change.
            if (std::bit_cast<uint64_t>(f) != std::bit_cast<uint64_t>(v->frequency))
                v->step = f / 96000.0 * kTwoPi;
            v->frequency = f;
        }
    }

    // 3. Voices. A voice past its length (r ≥ 1) stays there while the length is the same, as
    // its age only grows: its envelope is 0, it adds nothing and it is already finished, so only
    // its phase and age move. A new length clears that knowledge.
    if (std::bit_cast<uint64_t>(NL) != st.silentLength) {
        st.silentLength = std::bit_cast<uint64_t>(NL);
        for (int i = 0; i < st.count; ++i)
            st.voices[i].silent = false;
    }
    // Every voice one sample on; the envelopes and partials of those that are not silent all at
    // once, each voice as pluckEnvelope and pluckPartials compute it.
    const double lengthScale = NL > 1000.0 ? 1.0 / std::sqrt(NL / 1000.0) : 1.0;
    MutedPluckState::Lanes& l = st.lanes;
    int n = 0;
    for (int i = 0; i < st.count; ++i) {
        PluckVoice& v = st.voices[i];
        v.phase += v.step;
        v.sounding = false;
        if (!v.silent) {
            l.age[n] = v.age;
            l.phase[n] = v.phase;
            l.velocity[n] = v.velocity;
            l.of[n++] = static_cast<uint8_t>(i);
        }
        v.age += 1.0;
    }
    pluckVoices({l.age, l.phase, l.velocity, l.part, l.e, l.tms, l.r}, n, NV, NL, lengthScale);
    for (int k = 0; k < n; ++k) {
        PluckVoice& v = st.voices[l.of[k]];
        const double e = l.e[k], tms = l.tms[k];
        v.sounding = e != 0;
        v.contribution = l.part[k];
        if (tms > 10.0 && e <= 0.1) v.finished = true;
        v.silent = tms > 10.0 && !(l.r[k] < 1.0);
    }

    // The sum in the order the voices are taken: a finished voice's place goes to the last
    // voice, taken next.
    double sum = 0;
    for (int i = 0; i < st.count;) {
        PluckVoice& v = st.voices[i];
        if (v.sounding) sum += v.contribution;
        if (v.finished && (!v.present || !carriesNoteIds)) {
            --st.count;
            if (i != st.count) {
                v = st.voices[st.count];
                st.voiceOfNote[v.noteId] = static_cast<uint8_t>(i);
            }
            continue;
        }
        ++i;
    }
    writeAudioOutput(t, m.outputRow, sum);
}

std::unique_ptr<ModuleState> makeAudioRoutingState(int type) {
    switch (type) {
    case Module_AudioInput:
        return std::make_unique<AudioInputState>();
    case Module_AudioMutedPluck:
        return std::make_unique<MutedPluckState>();
    case Module_AudioOutputAnalyser:
        return std::make_unique<AnalyserState>();
    default:
        return nullptr;
    }
}

void registerAudioRouting(Evaluators& e) {
    e.perSample[Module_AudioOutputSplit] = &evaluateAudioOutputSplit;
    e.perSample[Module_AudioInputCombine] = &evaluateAudioInputCombine;
    e.perSample[Module_AudioMutedPluck] = &evaluateAudioMutedPluck;
    e.endOfCycle[Module_AudioOutputAnalyser] = &evaluateOutputAnalyser;
}

} // namespace kv

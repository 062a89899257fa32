#include "engine/notes_sequence.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "engine/algorithms.h"
#include "engine/params.h"
#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;
constexpr double kC0 = 16.35; // Hz of note number 0
constexpr int kNoDevice = -555;

// One voice of a module's main input, read by the count-rule convention.
struct InputVoice {
    double signal;
    double velocity;
    uint8_t noteId;
};

// The count rule: 0 voices for none, 1 for manual, else the source row's count.
int inputCount(const SliderReading& in, const ControlTable& t) {
    if (in.isManual()) return 1;
    if (!isRowSelector(in.source)) return 0;
    return std::min<int>(t.rows[in.source].voiceCount, kVoices);
}

// Voice k of an input: manual gives manualScale × the manual value at velocity 127, note id 0;
// a row gives sensitivity/100 × raw primary[k] with the row's velocity and note id.
InputVoice inputVoice(const SliderReading& in, const ControlTable& t, int k, double manualScale) {
    if (in.isManual()) return {in.manual * manualScale, 127.0, 0};
    const ControlRow& row = t.rows[in.source];
    return {in.sensitivity / 100.0 * row.primary[k], row.velocity[k], row.noteId[k]};
}

// The module's own row, or null when it has none.
ControlRow* ownRow(Module& m, ControlTable& t) {
    if (m.outputRow < 0 || m.outputRow >= kModuleRows) return nullptr;
    return &t.rows[m.outputRow];
}

// A parameter read from the raw primary value of its source (control-sample modules).
double param(const InputSliderSlot& s, const ControlTable& t, double manualScale,
             double sourceScale) {
    return effectiveValue(s, t, manualScale, sourceScale, false);
}

// A parameter whose source value is made positive; the manual value is used as stored.
double positiveParam(const InputSliderSlot& s, const ControlTable& t, double manualScale,
                     double sourceScale) {
    const SliderReading v = readSlider(s);
    if (v.isManual()) return v.manual * manualScale;
    return std::fabs(v.sensitivity / 100.0 * sourceValue(t, v.source, false) * sourceScale);
}

// Linear search for a note id among the first `count` voices; −1 when absent.
template <class Voice> int findNote(const Voice* voices, int count, uint8_t id) {
    for (int i = 0; i < count; ++i)
        if (voices[i].noteId == id) return i;
    return -1;
}

bool isNoteLetter(char c) {
    return (c >= 'A' && c <= 'G') || c == ' ';
}

} // namespace

double noteFrequency(double n) {
    return kC0 * std::exp2(n / 12.0);
}

// ---------------------------------------------------------------------------------------------
// Note envelope

void evaluateNoteEnvelope(Module& m, EngineContext& ctx) {
    const ControlNoteEnvelopeControls c{m};
    NoteEnvelopeState& st = m.stateAs<NoteEnvelopeState>();
    ControlTable& t = ctx.table;
    ControlRow* out = ownRow(m, t);
    if (!out) return;

    const SliderReading in = readSlider(c.controlInput());
    const int inputs = inputCount(in, t);
    out->voiceCount = static_cast<uint8_t>(inputs);
    if (!in.isManual() && !isRowSelector(in.source)) return; // none: the voices wait

    const double msc = ctx.msPerControlSample;
    const double A = std::max(std::fabs(param(c.controlAttack(), t, 1.0, 10.0)), msc);
    const double q = std::fabs(param(c.controlRatioAttackLevelToVelocity(), t, 1.0, 1.0)) / 100.0;
    const double D = std::fabs(param(c.controlDecay(), t, 1.0, 10.0));
    const double S = std::max(std::fabs(param(c.controlSustain(), t, 1.0, 0.1)), 0.00001) / 100.0;
    const double Rl = std::max(std::fabs(param(c.controlRelease(), t, 1.0, 10.0)), msc);
    const double smoothing = param(c.controlSmoothing(), t, 1.0, 10.0);
    const double keep = std::min(std::fabs(smoothing / 100.0 * msc), 1.0);
    const double gv = c.controlInput().velocitySensitivity.load(rlx) / 100.0;

    for (int k = 0; k < inputs; ++k) {
        const InputVoice v = inputVoice(in, t, k, 10.0); // a row's signal carries the input gain
        int i = findNote(st.voices, st.count, v.noteId);
        if (i < 0) {
            if (st.count >= kVoices) continue;
            i = st.count++;
            st.voices[i] = NoteEnvelopeVoice{};
            st.voices[i].noteId = v.noteId;
            st.voices[i].previousPresent = true;
        }
        st.voices[i].signal = v.signal;
        st.voices[i].velocity = v.velocity * gv;
        st.voices[i].present = true;
    }

    uint8_t mode = c.outputMode().choice.load(rlx);
    if (mode > 7) mode = 0;
    for (int i = 0; i < st.count;) {
        NoteEnvelopeVoice& v = st.voices[i];
        const double peak = 1.0 + q * v.velocity / 127.0;
        if (!v.present && v.previousPresent)
            v.elapsedMs = (1.0 - v.level / S) * Rl; // release from the current level
        else if (v.present && !v.previousPresent)
            v.elapsedMs = v.level / peak * A; // struck again: resume the attack from here
        v.previousPresent = v.present;

        const double e = v.elapsedMs;
        if (v.present) {
            if (e <= A)
                v.level = e / A * peak;
            else if (e < A + D)
                v.level = (1.0 - (e - A) / D) * (peak - S) + S;
            else
                v.level = S;
        } else {
            v.level = e >= Rl ? 0.0 : (1.0 - e / Rl) * S;
        }
        v.elapsedMs += msc;

        const double L = v.level;
        double sig = v.signal, vel = v.velocity;
        switch (mode) {
        case 0:
            vel = L * v.velocity;
            break;
        case 1:
            vel = L * 127.0;
            break;
        case 2:
            sig = v.signal * L;
            break;
        case 3:
            sig = L * 1000.0;
            break;
        case 4:
            sig = v.signal * L;
            vel = L * v.velocity;
            break;
        case 5:
            sig = L * 1000.0;
            vel = L * 127.0;
            break;
        case 6:
            sig = 0.0;
            vel = L * 127.0;
            break;
        default:
            sig = L * 1000.0;
            vel = 127.0;
            break;
        }
        // The smoothing amount is the share of the previous output kept.
        out->primary[i] = keep * out->primary[i] + (1.0 - keep) * sig;
        out->velocity[i] = keep * out->velocity[i] + (1.0 - keep) * vel;
        out->noteId[i] = v.noteId;

        if (!v.present && v.elapsedMs >= Rl) {
            st.voices[i] = st.voices[--st.count]; // the last voice is processed at this index
            continue;
        }
        v.present = false;
        ++i;
    }
    out->voiceCount = static_cast<uint8_t>(st.count);
}

// ---------------------------------------------------------------------------------------------
// Closest note, low cut, step function

void evaluateClosestNote(Module& m, EngineContext& ctx) {
    const ControlClosestNoteControls c{m};
    ControlTable& t = ctx.table;
    ControlRow* out = ownRow(m, t);
    if (!out) return;
    const SliderReading in = readSlider(c.inputSource());
    const int n = inputCount(in, t);
    out->voiceCount = static_cast<uint8_t>(n);
    const double tuning = param(c.tuning(), t, 1.0, 1.0 / 20.0) / 100.0; // semitones
    for (int k = 0; k < n; ++k) {
        const InputVoice v = inputVoice(in, t, k, 10.0);
        double f = 0.0;
        // The sign of the input does not matter; 0 (and anything unreadable) stays 0.
        const double magnitude = std::fabs(v.signal);
        if (magnitude > 0 && std::isfinite(magnitude)) {
            const double e = 12.0 * std::log2(magnitude / kC0) - tuning;
            double note = std::trunc(e);
            if (e - note >= 0.5) note += 1.0;
            f = noteFrequency(note + tuning);
        }
        out->primary[k] = f;
        out->velocity[k] = v.velocity;
        out->noteId[k] = v.noteId;
    }
}

void evaluateLowCut(Module& m, EngineContext& ctx) {
    const ControlLowCutControls c{m};
    ControlTable& t = ctx.table;
    ControlRow* out = ownRow(m, t);
    if (!out) return;
    const SliderReading in = readSlider(c.inputSource());
    const int n = inputCount(in, t);
    out->voiceCount = static_cast<uint8_t>(n);
    const double cut = positiveParam(c.lowCutFreq(), t, 1.0, 0.5); // Hz
    for (int k = 0; k < n; ++k) {
        // The manual input is a frequency in hertz already.
        const InputVoice v = inputVoice(in, t, k, 1.0);
        const double f = in.isManual() ? v.signal : std::fabs(v.signal);
        double vel = v.velocity;
        if (cut >= f && cut != 0) vel *= std::max(0.0, 1.0 - (cut - f) / (0.5 * cut));
        out->primary[k] = f;
        out->velocity[k] = vel;
        out->noteId[k] = v.noteId;
    }
}

void evaluateControlStepFunction(Module& m, EngineContext& ctx) {
    const ControlStepFunctionControls c{m};
    ControlTable& t = ctx.table;
    ControlRow* out = ownRow(m, t);
    if (!out) return;
    const SliderReading in = readSlider(c.input());
    const int n = inputCount(in, t);
    out->voiceCount = static_cast<uint8_t>(n);
    const double S = std::min(std::fabs(param(c.stepSize(), t, 1.0 / 100.0, 1.0 / 1000.0)), 1.0);
    for (int k = 0; k < n; ++k) {
        const InputVoice v = inputVoice(in, t, k, 10.0);
        double y = v.signal;
        if (S > 1e-12) y = std::trunc(y / (1000.0 * S)) * 1000.0 * S;
        out->primary[k] = y;
        out->velocity[k] = v.velocity;
        out->noteId[k] = v.noteId;
    }
}

// ---------------------------------------------------------------------------------------------
// Note retard

void evaluateNoteRetard(Module& m, EngineContext& ctx) {
    const ControlNoteRetardControls c{m};
    NoteRetardState& st = m.stateAs<NoteRetardState>();
    ControlTable& t = ctx.table;
    ControlRow* out = ownRow(m, t);
    if (!out) return;
    const SliderReading in = readSlider(c.inputSource());
    const int inputs = inputCount(in, t);
    out->voiceCount = static_cast<uint8_t>(inputs);
    if (!in.isManual() && !isRowSelector(in.source)) return;

    // What remains of the distance to the target after 40 ms, as a fraction. Kept within 0..1:
    // a negative share has no power, and one above 1 would drive the pitch away without bound.
    const double r = std::min(std::fabs(param(c.retardation(), t, 1.0 / 100.0, 1.0 / 1000.0)), 1.0);
    const double g = std::pow(r, 25.0 / ctx.controlRate);

    const SliderReading whence = readSlider(c.retardationSource());
    for (int k = 0; k < inputs; ++k) {
        const InputVoice v = inputVoice(in, t, k, 1.0); // manual input in hertz
        const double f = in.isManual() ? v.signal : std::fabs(v.signal);
        double start;
        if (whence.isManual())
            start = whence.manual;
        else if (isRowSelector(whence.source))
            start = std::fabs(whence.sensitivity / 100.0 * t.rows[whence.source].primary[k]);
        else
            start = st.latestFrequency;
        int i = findNote(st.voices, st.count, v.noteId);
        if (i < 0) {
            if (st.count >= kVoices) continue;
            i = st.count++;
            st.voices[i] = NoteRetardVoice{v.noteId, start, v.velocity, f, false};
            st.latestFrequency = f;
        }
        st.voices[i].target = f;
        st.voices[i].present = true;
    }

    for (int i = 0; i < st.count;) {
        NoteRetardVoice& v = st.voices[i];
        v.current = g * v.current + (1.0 - g) * v.target;
        out->primary[i] = v.current;
        out->velocity[i] = v.velocity;
        out->noteId[i] = v.noteId;
        if (!v.present) {
            st.voices[i] = st.voices[--st.count]; // the last voice is processed at this index
            continue;
        }
        v.present = false;
        ++i;
    }
    out->voiceCount = static_cast<uint8_t>(st.count);
}

// ---------------------------------------------------------------------------------------------
// Note combine, polyphonicator

void evaluateNoteCombine(Module& m, EngineContext& ctx) {
    const ControlNoteCombineControls c{m};
    NoteCombineState& st = m.stateAs<NoteCombineState>();
    ControlTable& t = ctx.table;
    ControlRow* out = ownRow(m, t);
    if (!out) return;
    const SliderReading in = readSlider(c.inputSource());
    const int n = inputCount(in, t);
    if (n == 0) return; // no voices: the output holds

    double V = 0, sum = 0;
    int counted = 0;
    for (int k = 0; k < n; ++k) {
        const InputVoice v = inputVoice(in, t, k, 10.0);
        V += v.velocity;
        if (V > 0) {
            sum += v.signal;
            ++counted;
        }
    }
    double sig = 0, vel = 0;
    if (counted > 0) {
        sig = sum / counted;
        vel = V / counted;
    }
    if (c.doSustain().state.load(rlx) && counted == 0) {
        sig = st.lastSignal;
        vel = st.lastVelocity;
    } else {
        st.lastSignal = sig;
        st.lastVelocity = vel;
    }
    out->primary[0] = sig;
    out->velocity[0] = vel;
}

void evaluatePolyphonicator(Module& m, EngineContext& ctx) {
    PolyphonicatorState& st = m.stateAs<PolyphonicatorState>();
    ControlTable& t = ctx.table;
    ControlRow* out = ownRow(m, t);
    if (!out) return;
    st.count = 0;
    for (int input = 0; input < 8; ++input) {
        const InputSliderSlot& slot = m.inputSliders[input];
        const SliderReading in = readSlider(slot);
        const double vs = slot.velocitySensitivity.load(rlx) / 100.0;
        const int n = inputCount(in, t);
        for (int k = 0; k < n; ++k) {
            InputVoice v = inputVoice(in, t, k, 10.0);
            if (in.isManual()) v.noteId = static_cast<uint8_t>(input + 1); // inputs 1..8
            const double w = vs * v.velocity;
            const int i = findNote(st.voices, st.count, v.noteId);
            if (i >= 0) {
                st.voices[i].signal += v.signal;
                st.voices[i].velocity = (w + st.voices[i].velocity) * 0.5;
            } else if (st.count < kVoices) {
                st.voices[st.count++] = {v.noteId, v.signal, w};
            }
        }
    }
    for (int i = 0; i < st.count; ++i) {
        out->primary[i] = st.voices[i].signal;
        out->velocity[i] = st.voices[i].velocity;
        out->noteId[i] = st.voices[i].noteId;
    }
    out->voiceCount = static_cast<uint8_t>(st.count);
}

// ---------------------------------------------------------------------------------------------
// Sequence

void parseSequenceText(std::string_view text, SequenceState& st) {
    st.stepCount = 0;
    // The filtered text is read through a window of three characters, so nothing is copied.
    std::size_t next = 0; // position in `text` of the next character to filter
    auto pull = [&]() -> char {
        while (next < text.size()) {
            char ch = text[next++];
            if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
            if ((ch >= 'A' && ch <= 'G') || (ch >= '0' && ch <= '9') || ch == ' ' || ch == '#')
                return ch;
        }
        return 0;
    };
    char u[3];
    int have = 0;
    auto fill = [&] {
        while (have < 3) {
            const char ch = pull();
            if (!ch) break;
            u[have++] = ch;
        }
    };
    auto consume = [&](int c) {
        for (int i = c; i < have; ++i)
            u[i - c] = u[i];
        have -= c;
    };
    static constexpr int kLetterNote[7] = {9, 11, 0, 2, 4, 5, 7}; // A..G
    for (fill(); have > 0; fill()) {
        // The step list holds kMaxSteps; the rest of a longer text is not played.
        if (st.stepCount >= SequenceState::kMaxSteps) break;
        if (!isNoteLetter(u[0])) {
            consume(1); // a digit or "#" without a note before it
            continue;
        }
        int note = u[0] == ' ' ? 128 : kLetterNote[u[0] - 'A'];
        int c = 1;
        if (have >= 2 && !isNoteLetter(u[1])) {
            if (u[1] == '#') {
                note += 1;
                c = 2;
                if (have >= 3 && !isNoteLetter(u[2]) && u[2] != '#') {
                    note += 12 * (u[2] - '0');
                    c = 3;
                }
            } else {
                note += 12 * (u[1] - '0');
                c = 2;
            }
        }
        st.steps[st.stepCount++] = static_cast<uint8_t>(note);
        consume(c);
    }
}

namespace {

// Takes this control sample's held MIDI notes and appends the name of every newly pressed key.
void recordNotes(Module& m, EngineContext& ctx, SequenceState& st) {
    const int device = ControlSequenceControls{m}.recordingSourceId().code.load(rlx);
    if (device == kNoDevice || !ctx.input) return;
    if (!ctx.input->copyNotes(device, &st.currentNotes[0][0])) return;
    if (st.previousTaken) {
        static const char* const kNames[12] = {"C",  "C#", "D",  "D#", "E",  "F",
                                               "F#", "G",  "G#", "A",  "A#", "B"};
        for (int ch = 0; ch < 16; ++ch)
            for (int key = 0; key < 128; ++key) {
                if (st.previousNotes[ch][key] != 0 || st.currentNotes[ch][key] == 0) continue;
                char name[8];
                const int len =
                    std::snprintf(name, sizeof name, "%s%ld", kNames[key % 12], long{key / 12});
                // The buffer was reserved with the module; a name that no longer fits (the
                // window has not taken the notes for a long while) is not kept.
                if (st.pendingRecord.size() + len <= st.pendingRecord.capacity())
                    st.pendingRecord.append(name, len);
            }
    }
    std::copy(&st.currentNotes[0][0], &st.currentNotes[0][0] + 16 * 128, &st.previousNotes[0][0]);
    st.previousTaken = true;
}

// Exchanges text and recorded notes with the window side, if the hand-over is free right now.
void exchangeText(Module& m, SequenceState& st) {
    TextHandover& h = m.sequence;
    std::unique_lock lock(h.mutex, std::try_to_lock);
    if (!lock.owns_lock()) return; // busy: try again at the next control sample
    // Recorded names wait here until the window appends them to the text. Its buffer was
    // reserved with the module and the window empties it without releasing it; names that do
    // not fit wait on this side.
    if (!st.pendingRecord.empty() &&
        h.pendingRecord.size() + st.pendingRecord.size() <= h.pendingRecord.capacity()) {
        h.pendingRecord += st.pendingRecord;
        st.pendingRecord.clear();
    }
    if (h.changed) {
        h.changed = false;
        ++h.version;
    }
    if (h.version != st.parsedVersion) {
        st.parsedVersion = h.version;
        parseSequenceText(h.text, st);
    }
}

} // namespace

void evaluateSequence(Module& m, EngineContext& ctx) {
    const ControlSequenceControls c{m};
    SequenceState& st = m.stateAs<SequenceState>();
    ControlTable& t = ctx.table;
    ControlRow* out = ownRow(m, t);
    if (!out) return;

    const double b = param(c.bPM(), t, 1.0, 1.2); // steps per minute
    const double L = positiveParam(c.noteLength(), t, 1.0, 10.0);
    const double V = positiveParam(c.noteVelocity(), t, 1.0, 127.0 / 1000.0);
    const double Tr = param(c.transpose(), t, 1.0, 48.0 / 1000.0); // semitones
    const double Tu = param(c.tuning(), t, 1.0, 1.0 / 20.0);       // cents

    recordNotes(m, ctx, st);
    exchangeText(m, st);

    if (b != 0 && st.stepCount != 0) {
        const double T = std::trunc(std::fabs(ctx.controlRate * 60.0 / b)); // control samples
        // All sequences of the same tempo step together on the engine's control-sample count.
        // A step longer than 2^62 control samples never comes.
        const bool step =
            T == 0 || (T < 4.6e18 && ctx.controlSampleCounter % static_cast<uint64_t>(T) == 0);
        if (step) {
            if (b > 0) {
                // A position left below the list by backwards play starts again at the front.
                if (st.position >= st.stepCount || st.position < 0) st.position = 0;
            } else if (st.position < 0 || st.position >= st.stepCount) {
                // Backwards from the front, or from beyond a list the text shortened: the last
                // step.
                st.position = st.stepCount - 1;
            }
            const uint8_t n = st.steps[st.position];
            if (n < 128) {
                st.velocity[n] = V;
                st.lengthMs[n] = L;
                st.elapsedMs[n] = 0; // a note still sounding starts again
            }
            st.position += b > 0 ? 1 : -1;
        }
    }

    int count = 0;
    for (int n = 0; n < 128; ++n) {
        if (st.elapsedMs[n] >= st.lengthMs[n]) st.velocity[n] = 0;
        if (st.velocity[n] > 0) {
            out->primary[count] = noteFrequency(Tu / 100.0 + n + Tr);
            out->velocity[count] = st.velocity[n];
            out->noteId[count] = static_cast<uint8_t>(n);
            ++count;
        }
        st.elapsedMs[n] += ctx.msPerControlSample;
    }
    out->voiceCount = static_cast<uint8_t>(count);
}

// ---------------------------------------------------------------------------------------------

void registerNotesSequence(Evaluators& e) {
    e.control[Module_ControlNoteEnvelope] = &evaluateNoteEnvelope;
    e.control[Module_ControlClosestNote] = &evaluateClosestNote;
    e.control[Module_ControlLowCut] = &evaluateLowCut;
    e.control[Module_ControlNoteRetard] = &evaluateNoteRetard;
    e.control[Module_ControlNoteCombine] = &evaluateNoteCombine;
    e.control[Module_ControlStepFunction] = &evaluateControlStepFunction;
    e.control[Module_ControlPolyphonicator] = &evaluatePolyphonicator;
    e.control[Module_ControlSequence] = &evaluateSequence;
}

std::unique_ptr<ModuleState> makeNotesSequenceState(int type) {
    switch (type) {
    case Module_ControlNoteEnvelope:
        return std::make_unique<NoteEnvelopeState>();
    case Module_ControlNoteRetard:
        return std::make_unique<NoteRetardState>();
    case Module_ControlNoteCombine:
        return std::make_unique<NoteCombineState>();
    case Module_ControlPolyphonicator:
        return std::make_unique<PolyphonicatorState>();
    case Module_ControlSequence: {
        auto st = std::make_unique<SequenceState>();
        st->pendingRecord.reserve(SequenceState::kRecordCapacity); // recording appends here
        return st;
    }
    default:
        return nullptr;
    }
}

} // namespace kv

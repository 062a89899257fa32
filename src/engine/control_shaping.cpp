#include "engine/control_shaping.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numbers>

#include "engine/algorithms.h"
#include "engine/params.h"
#include "engine/voice_input.h"
#include "engine/waveform.h"
#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kRemovalLevel = 0.1; // voices and echo lines fade out below this level
constexpr double kSignalLimit = 100000.0;
constexpr double kRateCeiling = 24000.0; // Hz
constexpr auto rlx = std::memory_order_relaxed;

double limitSignal(double v) {
    return std::clamp(v, -kSignalLimit, kSignalLimit);
}

// Ramp and phase: manual as stored; a source × 0.05, held within ±50.
double rampLike(const InputSliderSlot& s, const ControlTable& t) {
    const SliderReading v = readSlider(s);
    if (v.isManual()) return v.manual;
    return std::clamp(v.sensitivity / 100.0 * sourceValue(t, v.source, false) * 0.05, -50.0, 50.0);
}

bool isNone(int selector) {
    return selector != kSourceManual && !isRowSelector(selector);
}

} // namespace

SensitiserState::SensitiserState() {
    std::fill(std::begin(entryOfNote), std::end(entryOfNote), -1);
}

// --- Sensitiser --------------------------------------------------------------------------------

// Each note of the input gets a voice that rises towards the note's value at the attack speed and
// falls at the decay speed; a note that leaves the input falls towards 0 and its voice goes once
// its level is below 0.1.
void evaluateSensitiser(Module& m, EngineContext& ctx) {
    ControlRow* out = outputRowOf(m, ctx.table);
    if (!out) return;
    const ControlSensitiserControls c{m};
    const VoiceInput in = readVoiceInput(c.inputSource(), ctx.table);
    if (!applyCountRule(*out, in)) return;
    SensitiserState& st = m.stateAs<SensitiserState>();

    const double msc = ctx.msPerControlSample;
    const double ka = std::pow((1000.0 - c.attack().value.load(rlx)) / 1000.0, 6) * msc;
    const double kd = std::pow((1000.0 - c.decay().value.load(rlx)) / 1000.0, 6) * msc;
    const double g = in.manual ? 1.0 : in.scale;
    const bool signalMode = c.doFreqMode().state.load(rlx);

    for (int k = 0; k < in.count; ++k) {
        const uint8_t note = in.noteId(k);
        int entry = st.entryOfNote[note];
        if (entry < 0) {
            if (st.count >= SensitiserState::kMaxVoices) continue;
            entry = st.count++;
            st.entryOfNote[note] = static_cast<int16_t>(entry);
            st.voices[entry] = SensitiserState::Voice{};
            st.voices[entry].noteId = note;
        }
        SensitiserState::Voice& v = st.voices[entry];
        v.targetSignal = in.rawPrimary(k); // the sensitivity applies at the output
        v.targetVelocity = in.velocity(k);
        v.present = true;
    }

    for (int i = 0; i < st.count;) {
        SensitiserState::Voice& v = st.voices[i];
        double primary, velocity;
        if (signalMode) {
            const double cur = v.signal, t = v.targetSignal;
            v.signal = limitSignal(t > cur ? (1 - ka) * cur + ka * t : (1 - kd) * cur + kd * t);
            v.targetSignal = 0;
            v.velocity = v.targetVelocity;
            primary = v.signal * g;
            velocity = v.velocity;
        } else {
            double cur = v.velocity;
            const double t = v.targetVelocity;
            if (t > cur)
                cur += (t - cur) * ka;
            else if (t < cur)
                cur += (t - cur) * kd;
            v.velocity = limitSignal(std::min(cur, 127.0));
            v.targetVelocity = 0;
            v.signal = v.targetSignal;
            primary = v.signal;
            velocity = v.velocity * g;
        }
        out->primary[i] = primary;
        out->velocity[i] = velocity;
        out->noteId[i] = v.noteId;

        // The level's magnitude decides, so that a note that left at a negative signal also
        // fades towards 0 instead of vanishing at once.
        const double level = signalMode ? primary : velocity;
        if (std::fabs(level) < kRemovalLevel && !v.present) {
            st.entryOfNote[v.noteId] = -1;
            st.voices[i] = st.voices[st.count - 1];
            --st.count;
            if (i < st.count) st.entryOfNote[st.voices[i].noteId] = static_cast<int16_t>(i);
            continue; // entry i now holds another voice: process it too
        }
        v.present = false;
        ++i;
    }
    out->voiceCount = static_cast<uint8_t>(st.count);
}

// --- Modulator ---------------------------------------------------------------------------------

// A control-rate oscillator per input voice: with AM the input scales the wave, with FM the input
// raises (or, manually negative, lowers) the wave's rate.
void evaluateModulator(Module& m, EngineContext& ctx) {
    ControlRow* out = outputRowOf(m, ctx.table);
    const double rate = ctx.controlRate;
    if (!out || !(rate > 0)) return;
    const ControlModulatorControls c{m};
    const ControlTable& t = ctx.table;
    const VoiceInput in = readVoiceInput(c.inputSource(), t);
    if (!applyCountRule(*out, in)) return;
    ModulatorState& st = m.stateAs<ModulatorState>();

    const double W = effectiveValue(c.waveform(), t, 1.0, 1.0, false);
    const double R = rampLike(c.ramp(), t) / 50.0;
    const double P = rampLike(c.phase(), t) / 50.0 * kPi;
    const double N = effectiveValue(c.noise(), t, 1.0, 0.1, false) / 100.0;
    double S = effectiveValue(c.stepSize(), t, 1.0 / 100.0, 1.0 / 1000.0, false);
    S = std::min(std::fabs(S), 1.0);

    const bool am = c.effect().choice.load(rlx) == 0; // choice 0 "AM", else "FM"
    const bool linear = c.doLinearInput().state.load(rlx);
    const bool signedOutput = c.doSignedOutput().state.load(rlx);
    const FrequencySlot& fs = c.baseFrequency();
    const double base = fs.base.load(rlx) * fs.multiplier.load(rlx);

    for (int k = 0; k < in.count; ++k) {
        double x = in.primary(k);
        double f = base;
        if (!am) {
            if (in.manual && x < 0) {
                // A negative manual input slows the wave down (full input: a tenth).
                x = -x;
                f = linear ? f + x : f / (x * 9.0 / 1000.0 + 1.0);
            } else {
                x = std::fabs(x);
                f = linear ? f + x : f * (x * 9.0 / 1000.0 + 1.0);
            }
        }

        double& jitter = st.jitter[k];
        double& target = st.jitterTarget[k];
        if (f != 0) {
            jitter = std::clamp(jitter, -1.0, 1.0);
            target = std::clamp(target, -1.0, 1.0);
            const double step = 2.0 * f / rate;
            jitter += jitter <= target ? step : -step;
            if (std::fabs(jitter - target) < step || jitter > 1.0 || jitter < -1.0)
                target = (ctx.rand.next() - 16383.5) / 16383.5;
        }

        // A negative rate runs the wave backwards at the same speed.
        double fj = f + f * jitter * N;
        if (fj < 0)
            fj = -fj;
        else if (fj > kRateCeiling)
            fj = kRateCeiling;

        double& phase = st.phase[k];
        phase += fj / rate * kTwoPi;
        if (phase > kTwoPi) phase -= kTwoPi;
        // Rates above the control rate advance more than a cycle per step: keep the phase within
        // one cycle so it never grows and loses precision.
        if (!(phase <= kTwoPi)) phase = std::isfinite(phase) ? std::fmod(phase, kTwoPi) : 0.0;

        double theta = phase + P;
        if (theta < 0)
            theta += kTwoPi;
        else if (theta > kTwoPi)
            theta -= kTwoPi;
        if (R != 0) theta = rampWarp(theta, R);
        const double w = morphWave(theta, W);

        double y = am ? w * 1000.0 * std::fabs(x / 1000.0) : w * 1000.0;
        if (!signedOutput) y = (y + 1000.0) * 0.5;
        if (S > 1e-12) y = std::trunc(y / (1000.0 * S)) * 1000.0 * S;

        out->primary[k] = y;
        out->velocity[k] = in.velocity(k);
        out->noteId[k] = in.noteId(k);
    }
}

// --- Control echo ------------------------------------------------------------------------------

// A feedback delay per note: every T control samples each note line repeats, L times the previous
// repeat, until it falls below 0.1.
void evaluateControlEcho(Module& m, EngineContext& ctx) {
    ControlRow* out = outputRowOf(m, ctx.table);
    if (!out) return;
    const ControlEchoControls c{m};
    const ControlTable& t = ctx.table;
    // Without an interval or a linger the echo holds still: its row keeps its last output.
    if (isNone(c.interval().source.load(rlx)) || isNone(c.linger().source.load(rlx))) return;
    const VoiceInput in = readVoiceInput(c.inputSource(), t);
    if (!applyCountRule(*out, in)) return;
    ControlEchoState& st = m.stateAs<ControlEchoState>();

    // Manual values as stored; values from a source are made positive.
    double intervalMs = effectiveValue(c.interval(), t, 1.0, 2.0, false);
    double L = effectiveValue(c.linger(), t, 1.0 / 100.0, 1.0 / 1000.0, false);
    if (c.interval().source.load(rlx) != kSourceManual) intervalMs = std::fabs(intervalMs);
    if (c.linger().source.load(rlx) != kSourceManual) L = std::fabs(L);
    double T = intervalMs * ctx.controlRate / 1000.0; // control samples
    if (T > ControlEchoState::kCells) T = ControlEchoState::kCells;
    if (!(T >= 1)) T = 1; // also a rate of 0 or an interval that is not a number
    if (st.position < 0 || st.position >= ControlEchoState::kCells) st.position = 0;
    const std::size_t pos = static_cast<std::size_t>(st.position);
    const bool signalMode = c.doFreqMode().state.load(rlx);

    for (int k = 0; k < in.count; ++k) {
        // Note ids 128 and above (mouse rows carry their row number) have no line: such voices
        // are not echoed.
        const int n = in.noteId(k);
        if (n >= ControlEchoState::kNotes) continue;
        // A manual entry has no signal of its own: it reads 0.
        const double signal = in.row ? in.row->primary[k] : 0.0;
        const double velocity = in.velocity(k);
        if (signalMode) {
            st.line(n)[pos] += signal;
            st.lastVelocity[n] = velocity;
        } else {
            st.line(n)[pos] += velocity;
            st.lastSignal[n] = signal;
        }
    }

    int count = 0;
    for (int n = 0; n < ControlEchoState::kNotes; ++n) {
        double& cell = st.line(n)[pos];
        cell *= L;
        if (!(std::fabs(cell) >= kRemovalLevel)) continue;
        cell = limitSignal(cell);
        out->primary[count] = signalMode ? cell : st.lastSignal[n];
        out->velocity[count] = signalMode ? st.lastVelocity[n] : cell;
        out->noteId[count] = static_cast<uint8_t>(n);
        ++count;
    }
    out->voiceCount = static_cast<uint8_t>(count);
    ++st.position;
    if (st.position >= T) st.position = 0;
}

// --- Combine -----------------------------------------------------------------------------------

// Merges up to five rows: voices with the same note id become one voice carrying the sum of their
// signals.
void evaluateCombine(Module& m, EngineContext& ctx) {
    ControlRow* out = outputRowOf(m, ctx.table);
    if (!out) return;
    const ControlCombineControls c{m};
    CombineState& st = m.stateAs<CombineState>();
    st.count = 0;
    std::fill(std::begin(st.entryOfNote), std::end(st.entryOfNote), -1);

    for (ControlInputSlot* slot : {&c.inputSource1(), &c.inputSource2(), &c.inputSource3(),
                                   &c.inputSource4(), &c.inputSource5()}) {
        const VoiceInput in = readVoiceInput(*slot, ctx.table);
        for (int k = 0; k < in.count; ++k) {
            const uint8_t note = in.noteId(k);
            const double velocity = in.velocity(k);
            int entry = st.entryOfNote[note];
            if (entry < 0) {
                if (st.count >= CombineState::kMaxVoices) continue;
                entry = st.count++;
                st.entryOfNote[note] = static_cast<int16_t>(entry);
                st.noteId[entry] = note;
                st.signal[entry] = 0;
                st.velocity[entry] = velocity;
            }
            // A manual entry has no signal of its own: it adds 0.
            st.signal[entry] += in.row ? in.row->primary[k] : 0.0;
            st.velocity[entry] = (velocity + st.velocity[entry]) * 0.5;
        }
    }

    for (int i = 0; i < st.count; ++i) {
        out->primary[i] = st.signal[i];
        out->velocity[i] = st.velocity[i];
        out->noteId[i] = st.noteId[i];
    }
    out->voiceCount = static_cast<uint8_t>(st.count);
}

// --- Range, offset, gain -----------------------------------------------------------------------

// Maps the input range onto the output range: the slope is the ratio of the spans and the offset
// the difference of their mid-points, so the default ranges leave the signal as it is.
void evaluateRange(Module& m, EngineContext& ctx) {
    ControlRow* out = outputRowOf(m, ctx.table);
    if (!out) return;
    const ControlRangeControls c{m};
    const VoiceInput in = readVoiceInput(c.inputSource(), ctx.table);
    if (!applyCountRule(*out, in)) return;

    const double inUpper = c.inputUpperLimit().upper.load(rlx);
    const double inLower = c.inputUpperLimit().lower.load(rlx);
    const double outUpper = c.outputUpperLimit().upper.load(rlx);
    const double outLower = c.outputUpperLimit().lower.load(rlx);
    const double span = inUpper - inLower;
    const double slope = span != 0 ? (outUpper - outLower) / span : 0.0;
    const double offset = ((outLower + outUpper) / 2 - (inLower + inUpper) / 2) * 10.0;
    const bool keep = c.doKeepInRange().state.load(rlx);
    const double top = 10.0 * std::max(outUpper, outLower);
    const double bottom = 10.0 * std::min(outUpper, outLower);

    for (int k = 0; k < in.count; ++k) {
        if (span == 0) {
            out->primary[k] = 0.0; // an empty input range maps nothing
            continue;
        }
        double y = slope * in.primary(k) + offset;
        if (keep) {
            if (y > top) y = top;
            if (y < bottom) y = bottom;
        }
        out->primary[k] = y;
        out->velocity[k] = in.velocity(k);
        out->noteId[k] = in.noteId(k);
    }
}

// Adds a percentage to every voice.
void evaluateOffset(Module& m, EngineContext& ctx) {
    ControlRow* out = outputRowOf(m, ctx.table);
    if (!out) return;
    const ControlOffsetControls c{m};
    const VoiceInput in = readVoiceInput(c.inputSource(), ctx.table);
    if (!applyCountRule(*out, in)) return;
    const double o = effectiveValue(c.offset(), ctx.table, 1.0, 0.1, false); // percent
    for (int k = 0; k < in.count; ++k) {
        out->primary[k] = (in.primary(k) / 10.0 + o) * 10.0;
        out->velocity[k] = in.velocity(k);
        out->noteId[k] = in.noteId(k);
    }
}

// Multiplies every voice by a factor (manual: percent).
void evaluateGain(Module& m, EngineContext& ctx) {
    ControlRow* out = outputRowOf(m, ctx.table);
    if (!out) return;
    const ControlGainControls c{m};
    const VoiceInput in = readVoiceInput(c.inputSource(), ctx.table);
    if (!applyCountRule(*out, in)) return;
    const double g = effectiveValue(c.gain(), ctx.table, 1.0 / 100.0, 1.0 / 1000.0, false);
    for (int k = 0; k < in.count; ++k) {
        out->primary[k] = in.primary(k) * g;
        out->velocity[k] = in.velocity(k);
        out->noteId[k] = in.noteId(k);
    }
}

void registerControlShaping(Evaluators& e) {
    e.control[Module_ControlSensitiser] = &evaluateSensitiser;
    e.control[Module_ControlModulator] = &evaluateModulator;
    e.control[Module_ControlEcho] = &evaluateControlEcho;
    e.control[Module_ControlCombine] = &evaluateCombine;
    e.control[Module_ControlRange] = &evaluateRange;
    e.control[Module_ControlOffset] = &evaluateOffset;
    e.control[Module_ControlGain] = &evaluateGain;
}

std::unique_ptr<ModuleState> makeControlShapingState(int type) {
    switch (type) {
    case Module_ControlSensitiser:
        return std::make_unique<SensitiserState>();
    case Module_ControlModulator:
        return std::make_unique<ModulatorState>();
    case Module_ControlEcho:
        return std::make_unique<ControlEchoState>();
    case Module_ControlCombine:
        return std::make_unique<CombineState>();
    default:
        return nullptr;
    }
}

} // namespace kv

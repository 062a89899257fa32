#include "engine/oscillator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/algorithms.h"
#include "engine/finite.h"
#include "engine/params.h"
#include "engine/waveform.h"

namespace kv {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kPi = std::numbers::pi;
constexpr double kCeiling = 24000.0;    // Hz
constexpr double kEnvelopeFloor = 10.0; // Hz
constexpr double kRemovalLevel = 0.1;
constexpr double kMouseFactor = 6.0;
constexpr auto rlx = std::memory_order_relaxed;

struct InputVoice {
    double frequency;
    double velocity;
    uint8_t noteId;
};

// Ramp and phase: manual as is; a source × 0.05 clamped to ±50.
double rampLike(const InputSliderSlot& s, const ControlTable& t) {
    const SliderReading v = readSlider(s);
    if (v.isManual()) return v.manual;
    return std::clamp(v.sensitivity / 100.0 * sourceValue(t, v.source, true) * 0.05, -50.0, 50.0);
}

void takeInputVoice(OscillatorState& st, const InputVoice& in, double minimum) {
    OscillatorVoice* voice = nullptr;
    const int entry = st.entryOfNote[in.noteId];
    if (entry >= 0) {
        voice = &st.voices[entry];
    } else {
        if (st.count >= OscillatorState::kMaxVoices) return;
        st.entryOfNote[in.noteId] = static_cast<int16_t>(st.count);
        voice = &st.voices[st.count++];
        voice->noteId = in.noteId;
        voice->releaseVelocity = 0;
        voice->envelope = 0;
        voice->phase = 0;
    }
    double f = std::fabs(in.frequency);
    if (f < minimum) f = minimum;
    voice->frequency = f;
    voice->velocity = in.velocity;
    voice->present = true;
}

// Back to the state of a newly taken voice, keeping its note and inputs: used when its phase or
// jitter has become NaN or infinite (an overflowing frequency), which would otherwise stay so for
// good.
void restartVoice(OscillatorVoice& v) {
    v.phase = 0;
    v.envelope = 0;
    v.jitter = 0;
    v.jitterTarget = 0;
    v.releaseVelocity = 0;
}

} // namespace

void evaluateOscillator(Module& m, EngineContext& ctx) {
    const AudioOscControls c{m};
    OscillatorState& st = m.stateAs<OscillatorState>();
    ControlTable& t = ctx.table;

    // 1. Parameters.
    const double A = effectiveValue(c.amplitude(), t, 10.0, 1.0, true);
    const double N = effectiveValue(c.noise(), t, 1.0 / 100.0, 1.0 / 100.0, true);
    const double W = effectiveValue(c.waveform(), t, 1.0, 1.0, true);
    const double R = rampLike(c.ramp(), t) / 50.0;
    const double P = rampLike(c.phase(), t) * kPi / 50.0;
    double S = effectiveValue(c.stepSize(), t, 1.0 / 100.0, 1.0 / 1000.0, false);
    S = std::min(std::fabs(S), 1.0);

    // 2. Voices of the frequency controller.
    const bool legacy = ctx.state.settings.legacyPatch.load(rlx);
    const double minimum = legacy ? 0.0 : ctx.state.settings.oscillatorFrequencyMinimum.load(rlx);
    FrequencySlot& fs = c.frequency();
    const int F = fs.source.load(rlx);
    if (F == kSourceManual) {
        takeInputVoice(st, {fs.base.load(rlx) * fs.multiplier.load(rlx), 127.0, 0}, minimum);
    } else if (isRowSelector(F)) {
        const ControlRow& row = t.rows[F];
        const double factor =
            (F >= kMouseRowBase ? kMouseFactor : 1.0) * fs.sensitivity.load(rlx) / 100.0;
        const int count = std::min<int>(row.voiceCount, kVoices);
        for (int k = 0; k < count; ++k) {
            const double f = std::min(std::fabs(row.primarySmoothed[k] * factor), kCeiling);
            takeInputVoice(st, {f, row.velocitySmoothed[k], row.noteId[k]}, minimum);
        }
    }

    // 3. Output reset.
    if (m.outputRow < 0 || m.outputRow >= kModuleRows) return;
    ControlRow& out = t.rows[m.outputRow];
    out.primary[0] = 0.0;
    out.primarySmoothed[0] = 0.0;

    // 4. Voices.
    for (int i = 0; i < st.count;) {
        OscillatorVoice& v = st.voices[i];
        const double Av = (v.present ? v.velocity : v.releaseVelocity) / 127.0 * A;
        if (!allFinite(v.phase, v.jitter, v.jitterTarget)) restartVoice(v);
        double Ta = 1500.0 / std::max(std::fabs(v.frequency), kEnvelopeFloor) + 2.5;
        if (!allFinite(Ta)) Ta = 2.5; // a NaN frequency: the shortest envelope
        const double Tr = 1.5 * Ta;

        if (!v.present && v.envelope >= 0) {
            const double tms = static_cast<double>(v.envelope) / 48.0;
            v.envelope = tms <= Ta ? static_cast<int64_t>(-48.0 * Tr * (Ta - tms) / Ta) : -1;
        }

        if (v.frequency != 0) {
            v.jitter = std::clamp(v.jitter, -1.0, 1.0);
            v.jitterTarget = std::clamp(v.jitterTarget, -1.0, 1.0);
            const double step = v.frequency / 24000.0;
            v.jitter += v.jitter <= v.jitterTarget ? step : -step;
            if (std::fabs(v.jitter - v.jitterTarget) < step || v.jitter > 1.0 || v.jitter < -1.0)
                v.jitterTarget = (ctx.rand.next() - 16383.5) / 16383.5;
        }

        const double fj = std::clamp(v.frequency + v.frequency * v.jitter * N, 0.0, kCeiling);
        v.phase += fj / 48000.0 * kTwoPi;
        if (v.phase > kTwoPi) v.phase -= kTwoPi;
        if (!allFinite(v.phase)) restartVoice(v);

        const double tms = static_cast<double>(v.envelope) / 48.0;
        double g;
        if (tms < 0)
            g = std::max(tms + Tr, 0.0) / Tr * Av;
        else if (tms <= Ta)
            g = tms / Ta * Av;
        else
            g = Av;

        double theta = v.phase + P;
        if (theta < 0)
            theta += kTwoPi;
        else if (theta > kTwoPi)
            theta -= kTwoPi;
        if (R != 0) theta = rampWarp(theta, R);

        double sample = morphWave(theta, W) * g;
        if (S > 1e-12) sample = std::trunc(sample / 1000.0 / S) * (1000.0 * S);

        out.primary[0] += sample;
        out.primarySmoothed[0] = out.primary[0];

        v.envelope += v.envelope >= 0 ? 1 : -1;
        if (v.present) v.releaseVelocity = v.velocity;

        if (tms < 0 && g < kRemovalLevel) {
            st.entryOfNote[v.noteId] = -1;
            st.voices[i] = st.voices[st.count - 1];
            --st.count;
            if (i < st.count) st.entryOfNote[st.voices[i].noteId] = static_cast<int16_t>(i);
            continue; // entry i now holds another voice: process it this sample
        }
        v.present = false;
        ++i;
    }
}

void registerOscillator(Evaluators& e) {
    e.perSample[Module_AudioOsc] = &evaluateOscillator;
}

std::unique_ptr<ModuleState> makeOscillatorState() {
    return std::make_unique<OscillatorState>();
}

} // namespace kv

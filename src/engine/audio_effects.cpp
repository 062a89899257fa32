#include "engine/audio_effects.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/algorithms.h"
#include "engine/audio_signal.h"
#include "engine/finite.h"
#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kSamplesPerMs = 48.0;
constexpr double kEchoCellLimit = 100000.0; // engine units; keeps a howling loop bounded

// Sum of the K + 1 history cells ending at the position (indices wrapped), and the oldest of them.
struct Window {
    double sum;
    double oldest;
};

constexpr int kShortWindow = 32; // cells; shorter windows are summed afresh every sample

double addCells(const FilterHistoryState& st, int first) {
    const int n = FilterHistoryState::kSamples;
    double sum = 0;
    if (first >= 0) {
        for (int i = first; i <= st.position; ++i)
            sum += st.ring[i];
        return sum;
    }
    // The window wraps: the part at the end of the ring first, then the start.
    for (int i = first + n; i < n; ++i)
        sum += st.ring[i];
    for (int i = 0; i <= st.position; ++i)
        sum += st.ring[i];
    return sum;
}

Window historyWindow(FilterHistoryState& st, int K) {
    const int n = FilterHistoryState::kSamples;
    int first = st.position - K;
    if (first < 0) first += n;
    const double oldest = st.ring[first];
    if (K < kShortWindow) {
        st.windowCells = -1;
        return {addCells(st, st.position - K), oldest};
    }
    // A long window moves by one cell per sample: carry its sum, and add it up afresh when the
    // length changes and once per ring turn so that rounding cannot build up.
    if (K != st.windowCells || st.sinceExact >= n) {
        st.windowSum = addCells(st, st.position - K);
        st.windowCells = K;
        st.sinceExact = 0;
    }
    return {st.windowSum, oldest};
}

// Stores `x` as the newest cell; a carried window sum loses its oldest cell and gains `x`.
void storeHistory(FilterHistoryState& st, double x) {
    const int n = FilterHistoryState::kSamples;
    if (st.windowCells >= 0) {
        int leaving = st.position - st.windowCells;
        if (leaving < 0) leaving += n;
        st.windowSum += x - st.ring[leaving];
        ++st.sinceExact;
    }
    if (++st.position >= n) st.position = 0;
    st.ring[st.position] = x;
}

// Window length (samples, 1..2400) from a setting in percent: 100 % gives 1, 0 % the whole ring.
// Settings outside 0..100 (hand-edited patches) act as the nearest end, so the window never
// reaches beyond the ring.
double windowLength(double percent, int power) {
    // A setting that is not a number (a bad row value) counts as 0.
    const double q = 1.0 - std::clamp(notNaN(percent, 0.0), 0.0, 100.0) / 100.0;
    return std::pow(q, power) * (FilterHistoryState::kSamples - 1) + 1.0;
}

// Resamples 192 input samples to `L` output samples (20..1920).
void resample(const double* in, double* out, int L) {
    constexpr int n = PitchShiftState::kInput;
    if (L == n) {
        std::copy(in, in + n, out);
    } else if (L > n) { // stretch
        const double a = static_cast<double>(n) / L;
        for (int i = 0; i < L; ++i) {
            const double s = i * a;
            const double e = (i + 1) * a;
            const int k = static_cast<int>(s);
            const int m = static_cast<int>(e);
            if (k == m) {
                out[i] = in[k];
            } else {
                const double c = (m - s) / a;
                out[i] = c * in[k] + (1.0 - c) * (m < n ? in[m] : 0.0);
            }
        }
    } else { // shrink
        const double b = static_cast<double>(L) / n;
        std::fill(out, out + L, 0.0);
        for (int i = 0; i < n; ++i) {
            const double s = i * b;
            const double e = (i + 1) * b;
            const int k = static_cast<int>(s);
            const int m = static_cast<int>(e);
            if (k == m) {
                out[k] += in[i] * b;
            } else {
                const double c = (m - s) / b;
                out[k] += in[i] * b * c;
                if (m < L && i + 1 < n) out[m] += in[i + 1] * b * (1.0 - c);
            }
        }
    }
}

// Distortion shaping: the soft (power law) and hard (limit or push-out) values for compression
// or expansion C (percent, negative compresses).
void shape(double y, double C, double& soft, double& hard) {
    if (C < 0) {
        soft = std::pow(std::fabs(y), 1.0 + C / 1300.0);
        // Below −100 % (hand-edited patches) the level stays 0 rather than becoming undefined.
        const double level = 100.0 * std::sqrt(std::max(C + 100.0, 0.0));
        hard = y >= 0 ? std::max(std::min(y, level), 0.0) : std::min(std::max(y, -level), 0.0);
    } else if (C > 0) {
        soft = std::pow(std::fabs(y), 1.0 + C / 100.0);
        hard = y >= 0 ? std::max(y, 10.0 * C) : std::min(y, -10.0 * C);
    } else {
        soft = hard = y;
    }
}

} // namespace

void RandomWalk::advance(double rate, Rand15& rand) {
    if (rate == 0) return;
    value = std::clamp(value, -1.0, 1.0);
    target = std::clamp(target, -1.0, 1.0);
    const double step = rate / 24000.0;
    value += value <= target ? step : -step;
    if (std::fabs(value - target) < step || value > 1.0 || value < -1.0)
        target = (rand.next() - 16383.5) / 16383.5;
}

// Feedback comb: the loop length follows the interval, so a shorter interval shortens the loop
// at once.
void evaluateAudioEcho(Module& m, EngineContext& ctx) {
    const AudioEchoControls c{m};
    DelayRingState& st = m.stateAs<DelayRingState>();
    ControlTable& t = ctx.table;
    const double x = audioInput(c.inputModule(), t);

    const AudioParam interval = audioParam(c.interval(), t); // ms
    const double ms = interval.manual ? interval.value : std::fabs(interval.value * 2.0);
    const AudioParam linger = audioParam(c.linger(), t);
    const double g = linger.manual ? linger.value / 100.0 : std::fabs(linger.value / 1000.0);
    const double d = std::clamp(ms * kSamplesPerMs, 1.0, double{DelayRingState::kSamples});

    double& cell = st.ring[st.position];
    // A cell that is not a number (from a faulty input) would circle in the loop for ever and
    // silence the echo: it is dropped when it comes round.
    const double fed = std::isnan(cell) ? 0.0 : std::clamp(cell, -kEchoCellLimit, kEchoCellLimit);
    cell = g * fed + x;
    writeAudioOutput(t, m.outputRow, cell);
    if (++st.position >= d) st.position = 0;
}

// Five taps on one ring; only taps with a manual value or a source sound, at full level each.
void evaluateAudioMultiDelay(Module& m, EngineContext& ctx) {
    const AudioMultiDelayControls c{m};
    DelayRingState& st = m.stateAs<DelayRingState>();
    ControlTable& t = ctx.table;
    constexpr int n = DelayRingState::kSamples;

    st.ring[st.position] = audioInput(c.inputModule(), t);
    if (++st.position >= n) st.position = 0;

    double out = 0;
    for (InputSliderSlot* tap : {&c.delayControl1(), &c.delayControl2(), &c.delayControl3(),
                                 &c.delayControl4(), &c.delayControl5()}) {
        const int source = tap->source.load(std::memory_order_relaxed);
        if (source != kSourceManual && !isRowSelector(source)) continue;
        const AudioParam p = audioParam(*tap, t);
        const double ms = p.manual ? p.value : std::max(std::fabs(p.value * 10.0), 1.0);
        // A negative delay (hand-edited patch) counts as 0 rather than reading beyond the ring.
        // A delay that is not a number counts as 0 too.
        const double d = std::clamp(notNaN(ms * kSamplesPerMs, 0.0), 0.0, double{n});
        int index = static_cast<int>(st.position - d);
        if (index < 0) index += n;
        out += st.ring[index];
    }
    writeAudioOutput(t, m.outputRow, out);
}

// Block-wise pitch shift: every 192 input samples become one resampled, sine-windowed block
// that plays until the next block is ready (raising the pitch) or plays once before input is
// taken again (lowering it).
void evaluateAudioPitchShift(Module& m, EngineContext& ctx) {
    const AudioPitchShiftControls c{m};
    PitchShiftState& st = m.stateAs<PitchShiftState>();
    ControlTable& t = ctx.table;
    const double x = audioInput(c.inputModule(), t);

    const AudioParam pitch = audioParam(c.pitch(), t);
    // A manual pitch outside 10..1000 % (hand-edited patch) acts as the nearest limit, so the
    // block always fits the output buffer.
    // A pitch that is not a number plays unchanged (100 %).
    const double p = std::clamp(notNaN(pitch.manual ? pitch.value : std::fabs(pitch.value), 100.0),
                                10.0, 1000.0);

    if (st.blockPlayed || p >= 100.0) {
        st.input[st.inputFill++] = x;
        if (st.inputFill >= PitchShiftState::kInput) {
            st.inputFill = 0;
            const int L = std::clamp(static_cast<int>(std::ceil(192.0 * 100.0 / p)), 20,
                                     PitchShiftState::kOutput);
            resample(st.input, st.output, L);
            const int h = L / 2;
            for (int i = 0; i < h; ++i)
                st.output[i] *= std::sin(kPi * i / h);
            for (int j = L - h; j < L; ++j)
                st.output[j] *= std::sin(kPi * (L - j) / h);
            st.outputLength = L;
            st.playPosition = 0;
            st.blockPlayed = false;
        }
    }

    double out = 0;
    if (st.outputLength > 0) {
        out = st.output[st.playPosition];
        if (++st.playPosition >= st.outputLength) {
            st.playPosition = 0;
            st.blockPlayed = true;
        }
    }
    writeAudioOutput(t, m.outputRow, out);
}

// Noise, compression or expansion, and a drive that rectifies: the sign of the shaped value is
// applied to the whole mix.
void evaluateAudioDistortion(Module& m, EngineContext& ctx) {
    const AudioDistortionControls c{m};
    DistortionState& st = m.stateAs<DistortionState>();
    ControlTable& t = ctx.table;
    const double x = audioInput(c.inputModule(), t);

    const auto absOfSource = [&](InputSliderSlot& s) {
        const AudioParam p = audioParam(s, t);
        return p.manual ? p.value : std::fabs(p.value);
    };
    const double O = absOfSource(c.overdrive());
    const double C = audioParam(c.compression(), t).value;
    const double W = audioParam(c.compressionWaveform(), t).value;
    const double N = absOfSource(c.noise());
    const double F = absOfSource(c.noiseFidelity());

    const double r = std::clamp(F * F, 0.0, 24000.0);
    RandomWalk* w = st.walks;
    w[0].advance(r, ctx.rand);
    w[1].advance(r / 200.0, ctx.rand);
    w[2].advance(r / 800.0, ctx.rand);
    w[3].advance(r / 1600.0, ctx.rand);

    const double n = N / 100.0;
    double y = w[0].value * 1000.0 * n;
    y += (1.0 - n) * x;
    y += w[1].value * x * n / 3.0;
    y += w[2].value * x * n / 3.0;
    y += w[3].value * x * n / 3.0;

    double soft, hard;
    shape(y, C, soft, hard);

    double softWeight, hardWeight;
    if (W < 0) {
        softWeight = 1.0;
        hardWeight = (W + 100.0) / 100.0;
    } else {
        softWeight = (100.0 - W) / 100.0;
        hardWeight = 1.0;
    }
    if (softWeight < 0) {
        hardWeight = 1.0 - softWeight;
        softWeight = 0;
    } else if (hardWeight < 0) {
        softWeight = 1.0 - hardWeight;
        hardWeight = 0;
    }
    const double divisor = softWeight <= 1.0 && hardWeight <= 1.0 ? softWeight + hardWeight : 1.0;

    const double out =
        (softWeight * soft + hardWeight * hard) / divisor * (y >= 0 ? 1.0 : -1.0) * O / 100.0;
    writeAudioOutput(t, m.outputRow, out);
}

// Moving average over a window whose length falls with the fidelity; the newest cell is the
// previous sample's input.
void evaluateAudioLowPass(Module& m, EngineContext& ctx) {
    const AudioLowPassControls c{m};
    FilterHistoryState& st = m.stateAs<FilterHistoryState>();
    ControlTable& t = ctx.table;
    const double x = audioInput(c.inputModule(), t);

    const AudioParam p = audioParam(c.maxFreq(), t);
    const double M = p.manual ? p.value : std::min(std::fabs(p.value / 10.0), 100.0);
    const double L = windowLength(M, 4);
    const Window win = historyWindow(st, static_cast<int>(L - 1.0));
    writeAudioOutput(t, m.outputRow, win.sum / L);
    storeHistory(st, x);
}

// The moving average minus the oldest cell of its window.
void evaluateAudioHighPass(Module& m, EngineContext& ctx) {
    const AudioHighPassControls c{m};
    FilterHistoryState& st = m.stateAs<FilterHistoryState>();
    ControlTable& t = ctx.table;
    const double x = audioInput(c.inputModule(), t);

    const AudioParam p = audioParam(c.attenuation(), t);
    const double T = p.manual ? p.value : std::min(std::fabs(p.value / 10.0), 100.0);
    const double L = windowLength(T, 6);
    const Window win = historyWindow(st, static_cast<int>(L - 1.0));
    writeAudioOutput(t, m.outputRow, win.sum / L - win.oldest);
    storeHistory(st, x);
}

// Quantises the amplitude to multiples of 1000 × step size, truncating toward zero.
void evaluateAudioStepFunction(Module& m, EngineContext& ctx) {
    const AudioStepFunctionControls c{m};
    ControlTable& t = ctx.table;
    const double x = audioInput(c.inputModule(), t);
    const AudioParam p = audioParam(c.stepSize(), t);
    const double S = p.manual ? p.value / 100.0 : std::min(std::fabs(p.value / 1000.0), 1.0);
    const double out = S > 1e-12 ? std::trunc(x / 1000.0 / S) * 1000.0 * S : x;
    writeAudioOutput(t, m.outputRow, out);
}

std::unique_ptr<ModuleState> makeAudioEffectState(int type) {
    switch (type) {
    case Module_AudioEcho:
    case Module_AudioMultiDelay:
        return std::make_unique<DelayRingState>();
    case Module_AudioPitchShift:
        return std::make_unique<PitchShiftState>();
    case Module_AudioLowPass:
    case Module_AudioHighPass:
        return std::make_unique<FilterHistoryState>();
    case Module_AudioDistortion:
        return std::make_unique<DistortionState>();
    default:
        return nullptr;
    }
}

void registerAudioEffects(Evaluators& e) {
    e.perSample[Module_AudioEcho] = &evaluateAudioEcho;
    e.perSample[Module_AudioMultiDelay] = &evaluateAudioMultiDelay;
    e.perSample[Module_AudioPitchShift] = &evaluateAudioPitchShift;
    e.perSample[Module_AudioDistortion] = &evaluateAudioDistortion;
    e.perSample[Module_AudioLowPass] = &evaluateAudioLowPass;
    e.perSample[Module_AudioHighPass] = &evaluateAudioHighPass;
    e.perSample[Module_AudioStepFunction] = &evaluateAudioStepFunction;
}

} // namespace kv

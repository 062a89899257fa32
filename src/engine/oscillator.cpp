#include "engine/oscillator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <type_traits>

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
constexpr double kStepFloor = 1e-12;
constexpr int kMax = OscillatorState::kMaxVoices;
constexpr auto rlx = std::memory_order_relaxed;

// The module's parameters for one sample.
struct Params {
    double A; // amplitude, engine units
    double N; // noise, 0..1
    double W; // waveform position, 0..300
    double R; // ramp, −1..1
    double P; // phase offset, radians
    double S; // step size, 0..1
};

// Ramp and phase: manual as is; a source × 0.05 clamped to ±50.
double rampLike(const InputSliderSlot& s, const ControlTable& t) {
    const SliderReading v = readSlider(s);
    if (v.isManual()) return v.manual;
    return std::clamp(v.sensitivity / 100.0 * sourceValue(t, v.source, true) * 0.05, -50.0, 50.0);
}

Params readParams(const AudioOscControls& c, const ControlTable& t) {
    Params p;
    p.A = effectiveValue(c.amplitude(), t, 10.0, 1.0, true);
    p.N = effectiveValue(c.noise(), t, 1.0 / 100.0, 1.0 / 100.0, true);
    p.W = effectiveValue(c.waveform(), t, 1.0, 1.0, true);
    p.R = rampLike(c.ramp(), t) / 50.0;
    p.P = rampLike(c.phase(), t) * kPi / 50.0;
    const double S = effectiveValue(c.stepSize(), t, 1.0 / 100.0, 1.0 / 1000.0, false);
    p.S = std::min(std::fabs(S), 1.0);
    return p;
}

// Attack time in ms for a frequency; a NaN frequency gets the shortest envelope.
double attackTime(double frequency) {
    const double Ta = 1500.0 / std::max(std::fabs(frequency), kEnvelopeFloor) + 2.5;
    return allFinite(Ta) ? Ta : 2.5;
}

void takeInputVoice(OscillatorState& st, double frequency, double velocity, uint8_t noteId,
                    double minimum) {
    int e = st.entryOfNote[noteId];
    bool fresh = false;
    if (e < 0) {
        if (st.count >= kMax) return;
        e = st.count++;
        st.entryOfNote[noteId] = static_cast<int16_t>(e);
        st.noteId[e] = noteId;
        st.releaseVelocity[e] = 0;
        st.envelope[e] = 0;
        st.phase[e] = 0;
        fresh = true; // the jitter keeps what the entry last held
    }
    double f = std::fabs(frequency);
    if (f < minimum) f = minimum;
    if (fresh || !(f == st.frequency[e])) {
        st.frequency[e] = f;
        st.attack[e] = attackTime(f);
        st.jitterStep[e] = f / 24000.0;
        if (!allFinite(f)) st.unsettled = true;
    }
    st.velocity[e] = velocity;
    st.present[e] = 1.0;
}

void collectVoices(Module& m, EngineContext& ctx, OscillatorState& st) {
    const AudioOscControls c{m};
    const bool legacy = ctx.state.settings.legacyPatch.load(rlx);
    const double minimum = legacy ? 0.0 : ctx.state.settings.oscillatorFrequencyMinimum.load(rlx);
    FrequencySlot& fs = c.frequency();
    const int F = fs.source.load(rlx);
    if (F == kSourceManual) {
        takeInputVoice(st, fs.base.load(rlx) * fs.multiplier.load(rlx), 127.0, 0, minimum);
    } else if (isRowSelector(F)) {
        const ControlRow& row = ctx.table.rows[F];
        const double factor =
            (F >= kMouseRowBase ? kMouseFactor : 1.0) * fs.sensitivity.load(rlx) / 100.0;
        const int count = std::min<int>(row.voiceCount, kVoices);
        for (int k = 0; k < count; ++k) {
            const double f = std::min(std::fabs(row.primarySmoothed[k] * factor), kCeiling);
            takeInputVoice(st, f, row.velocitySmoothed[k], row.noteId[k], minimum);
        }
    }
}

// Copies voice `from` into entry `to` (all fields).
void copyVoice(OscillatorState& st, int from, int to) {
    st.frequency[to] = st.frequency[from];
    st.velocity[to] = st.velocity[from];
    st.releaseVelocity[to] = st.releaseVelocity[from];
    st.present[to] = st.present[from];
    st.phase[to] = st.phase[from];
    st.envelope[to] = st.envelope[from];
    st.jitter[to] = st.jitter[from];
    st.jitterTarget[to] = st.jitterTarget[from];
    st.attack[to] = st.attack[from];
    st.jitterStep[to] = st.jitterStep[from];
    st.noteId[to] = st.noteId[from];
}

double drawJitterTarget(Rand15& rand) {
    return (rand.next() - 16383.5) / 16383.5;
}

// Counter of a voice whose note has just gone: the release starts at the level the attack reached.
double releaseStart(double envelope, double Ta) {
    const double Tr = 1.5 * Ta;
    const double tms = envelope / 48.0;
    return tms <= Ta ? std::trunc(-48.0 * Tr * (Ta - tms) / Ta) : -1.0;
}

// Back to the state of a newly taken voice, keeping its note and inputs: used when its phase or
// jitter has become NaN or infinite (an overflowing frequency), which would otherwise stay so for
// good.
void restartVoice(OscillatorState& st, int i) {
    st.phase[i] = 0;
    st.envelope[i] = 0;
    st.jitter[i] = 0;
    st.jitterTarget[i] = 0;
    st.releaseVelocity[i] = 0;
}

// ---- The fast voice loop: four voices per step --------------------------------------------------

// Every helper taking or returning a vector is inlined, so no vector crosses a call and the
// compiler's note about the calling convention of 32-byte vectors does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

// The voice loop is written once for a lane type: V4 runs four voices per instruction, a plain
// double the one to three left over.
using V4 = double __attribute__((vector_size(32)));
template <class V> using MaskOf = decltype(V{} < V{}); // V4: lanes all ones or all zeros
template <class V> constexpr int kLanes = sizeof(V) / sizeof(double);
template <class V> constexpr bool kScalar = std::is_same_v<V, double>;

#define KV_INLINE [[gnu::always_inline]] inline

template <class V> KV_INLINE V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V> KV_INLINE void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}
template <class V> KV_INLINE V splat(double x) {
    if constexpr (kScalar<V>)
        return x;
    else
        return V{x, x, x, x}; // not V{} + x, which turns −0 into +0
}
template <class V> KV_INLINE double lane(const V& v, int l) {
    if constexpr (kScalar<V>)
        return v;
    else
        return v[l];
}
template <class V> KV_INLINE void setLane(V& v, int l, double x) {
    if constexpr (kScalar<V>)
        v = x;
    else
        v[l] = x;
}
template <class M> KV_INLINE M maskNot(M m) {
    if constexpr (std::is_same_v<M, bool>)
        return !m;
    else
        return ~m;
}
template <class M> KV_INLINE unsigned laneBits(M m) {
    if constexpr (std::is_integral_v<M>) {
        return m != 0;
    } else {
        unsigned bits = 0;
        for (int l = 0; l < static_cast<int>(sizeof(M) / 8); ++l)
            bits |= unsigned(m[l] & 1) << l;
        return bits;
    }
}
template <class V, class M> KV_INLINE V select(M m, V a, V b) {
    if constexpr (kScalar<V>)
        return m ? a : b;
    else
        return (V)(((M)a & m) | ((M)b & ~m));
}
template <class V> KV_INLINE V vabs(V x) {
    if constexpr (kScalar<V>) {
        return std::fabs(x);
    } else {
        using M = MaskOf<V>;
        return (V)((M)x & ~(M)splat<V>(-0.0));
    }
}
template <class V> KV_INLINE V vmax(V a, V b) {
    return select(a < b, b, a);
}
template <class V> KV_INLINE V vmin(V a, V b) {
    return select(b < a, b, a);
}

// Sine to within 1e-9 for |x| up to a few hundred radians: reduction into −π..π (nearest
// multiple of 2π, in two parts), reflection into −π/2..π/2, then the odd series to x^13.
template <class V> KV_INLINE V fastSine(V x) {
    constexpr double kRound = 6755399441055744.0; // 1.5 × 2^52: adding it rounds to an integer
    constexpr double kTwoPiHi = 6.28318530717958623200;
    constexpr double kTwoPiLo = 2.44929359829470635e-16;
    const V k = (x * (1.0 / kTwoPi) + kRound) - kRound;
    x = (x - k * kTwoPiHi) - k * kTwoPiLo;
    x = select(x > kPi / 2, kPi - x, x);
    x = select(x < -kPi / 2, -kPi - x, x);
    const V z = x * x;
    V p = splat<V>(1.0 / 6227020800.0); // 1/13!
    p = p * z - 1.0 / 39916800.0;
    p = p * z + 1.0 / 362880.0;
    p = p * z - 1.0 / 5040.0;
    p = p * z + 1.0 / 120.0;
    p = p * z - 1.0 / 6.0;
    return x + x * z * p;
}

// Scratch of one sample: the jitter before it (for entries emptied by removals), and the phase
// and gain of each voice when the shape is drawn voice by voice.
struct Scratch {
    alignas(64) double oldJitter[kMax];
    alignas(64) double oldTarget[kMax];
    alignas(64) double theta[kMax];
    alignas(64) double gain[kMax];
    uint64_t draws[2] = {};
    uint64_t removals[2] = {};
};

// Voices i..i+lanes−1 one sample on: release start, jitter, phase, envelope gain and (kSine) the
// sine added to `acc`. Jitter draws and removals are only marked: they are applied afterwards in
// voice order.
template <class V, bool kSine>
KV_INLINE void voiceBlock(OscillatorState& st, const Params& p, Scratch& sc, int i, V& acc) {
    constexpr int L = kLanes<V>;
    const V f = load<V>(st.frequency + i);
    const auto present = load<V>(st.present + i) != 0.0;
    const V vel = load<V>(st.velocity + i);
    const V rel = load<V>(st.releaseVelocity + i);
    const V Ta = load<V>(st.attack + i);
    const V Tr = 1.5 * Ta;
    const V Av = select(present, vel, rel) / 127.0 * p.A;

    V env = load<V>(st.envelope + i);
    const auto starts = maskNot(present) & (env >= 0.0);
    if (const unsigned b = laneBits(starts)) {
        for (int l = 0; l < L; ++l)
            if (b >> l & 1) setLane(env, l, releaseStart(lane(env, l), lane(Ta, l)));
    }

    // Jitter: one step toward the target; a new target where it is reached or overshot.
    const V j0 = load<V>(st.jitter + i);
    const V t0 = load<V>(st.jitterTarget + i);
    store(sc.oldJitter + i, j0);
    store(sc.oldTarget + i, t0);
    const auto moving = f != 0.0;
    const V jc = vmin(vmax(j0, splat<V>(-1.0)), splat<V>(1.0));
    const V tc = vmin(vmax(t0, splat<V>(-1.0)), splat<V>(1.0));
    const V step = load<V>(st.jitterStep + i);
    const V jn = jc + select(jc <= tc, step, -step);
    const auto draw = moving & ((vabs(jn - tc) < step) | (jn > 1.0) | (jn < -1.0));
    const V j = select(moving, jn, j0);
    store(st.jitter + i, j);
    store(st.jitterTarget + i, select(moving, tc, t0));

    // Phase.
    const V fj = vmin(vmax(f + f * j * p.N, splat<V>(0.0)), splat<V>(kCeiling));
    V ph = load<V>(st.phase + i) + fj / 48000.0 * kTwoPi;
    ph = select(ph > kTwoPi, ph - kTwoPi, ph);
    store(st.phase + i, ph);

    // Envelope gain: only voices in their attack or release need the divisions.
    const V tms = env / 48.0;
    V g = Av;
    if (laneBits(maskNot(tms > Ta))) {
        const V release = vmax(tms + Tr, splat<V>(0.0)) / Tr * Av;
        const V attack = tms / Ta * Av;
        g = select(tms < 0.0, release, select(tms <= Ta, attack, Av));
    }

    V theta = ph + p.P;
    theta = select(theta < 0.0, theta + kTwoPi, select(theta > kTwoPi, theta - kTwoPi, theta));
    if constexpr (kSine) {
        acc += fastSine(theta) * g;
    } else {
        store(sc.theta + i, theta);
        store(sc.gain + i, g);
    }

    store(st.envelope + i, env + select(env >= 0.0, splat<V>(1.0), splat<V>(-1.0)));
    store(st.releaseVelocity + i, select(present, vel, rel));
    store(st.present + i, splat<V>(0.0));

    const auto removed = (tms < 0.0) & (g < kRemovalLevel);
    if (const unsigned b = laneBits(draw)) sc.draws[i >> 6] |= uint64_t{b} << (i & 63);
    if (const unsigned b = laneBits(removed)) sc.removals[i >> 6] |= uint64_t{b} << (i & 63);
}

// All voices one sample on, four at a time and the rest one by one; returns the summed sine
// (kSine) or leaves phase and gain in the scratch.
template <bool kSine>
KV_INLINE double voicePass(OscillatorState& st, const Params& p, Scratch& sc) {
    const int count = st.count;
    V4 acc4 = splat<V4>(0.0);
    int i = 0;
    for (; i + 4 <= count; i += 4)
        voiceBlock<V4, kSine>(st, p, sc, i, acc4);
    double acc1 = 0.0;
    for (; i < count; ++i)
        voiceBlock<double, kSine>(st, p, sc, i, acc1);
    return (acc4[0] + acc4[1]) + (acc4[2] + acc4[3]) + acc1;
}

[[gnu::target("avx2,fma")]] double voicePassSineAvx2(OscillatorState& st, const Params& p,
                                                     Scratch& sc) {
    return voicePass<true>(st, p, sc);
}
[[gnu::target("avx2,fma")]] double voicePassShapeAvx2(OscillatorState& st, const Params& p,
                                                      Scratch& sc) {
    return voicePass<false>(st, p, sc);
}
double voicePassSine(OscillatorState& st, const Params& p, Scratch& sc) {
    return voicePass<true>(st, p, sc);
}
double voicePassShape(OscillatorState& st, const Params& p, Scratch& sc) {
    return voicePass<false>(st, p, sc);
}

// Decided once at start-up, so the engine thread never meets a lazy initialisation.
const bool kHasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}();

// Whether every live voice holds finite numbers (then the fast loop keeps them finite).
bool voicesFinite(const OscillatorState& st) {
    bool finite = true;
    for (int i = 0; i < st.count; ++i)
        finite &= allFinite(st.frequency[i], st.phase[i], st.jitter[i], st.jitterTarget[i]);
    return finite;
}

bool bit(const uint64_t* bits, int i) {
    return (bits[i >> 6] >> (i & 63)) & 1;
}

void setBit(uint64_t* bits, int i, bool on) {
    const uint64_t b = uint64_t{1} << (i & 63);
    bits[i >> 6] = on ? bits[i >> 6] | b : bits[i >> 6] & ~b;
}

// Applies the marked jitter draws and removals in the order the voices are taken: a removed
// voice's entry receives the last voice, which is taken next. An entry emptied that way keeps
// the jitter it held before the sample, as it would had the voices been taken one by one.
void drawsAndRemovals(OscillatorState& st, Scratch& sc, Rand15& rand) {
    if (!(sc.removals[0] | sc.removals[1])) {
        for (int w = 0; w < 2; ++w)
            for (uint64_t b = sc.draws[w]; b; b &= b - 1)
                st.jitterTarget[w * 64 + __builtin_ctzll(b)] = drawJitterTarget(rand);
        return;
    }
    int n = st.count;
    for (int i = 0; i < n;) {
        if (bit(sc.draws, i)) st.jitterTarget[i] = drawJitterTarget(rand);
        if (!bit(sc.removals, i)) {
            ++i;
            continue;
        }
        st.entryOfNote[st.noteId[i]] = -1;
        const int last = n - 1;
        if (last != i) {
            copyVoice(st, last, i);
            setBit(sc.draws, i, bit(sc.draws, last));
            setBit(sc.removals, i, bit(sc.removals, last));
            st.jitter[last] = sc.oldJitter[last];
            st.jitterTarget[last] = sc.oldTarget[last];
            st.entryOfNote[st.noteId[i]] = static_cast<int16_t>(i);
        }
        n = last;
    }
    st.count = n;
}

ControlRow* resetOutput(Module& m, ControlTable& t) {
    if (m.outputRow < 0 || m.outputRow >= kModuleRows) return nullptr;
    ControlRow& out = t.rows[m.outputRow];
    out.primary[0] = 0.0;
    out.primarySmoothed[0] = 0.0;
    return &out;
}

} // namespace

void evaluateOscillator(Module& m, EngineContext& ctx) {
    OscillatorState& st = m.stateAs<OscillatorState>();
    const Params p = readParams(AudioOscControls{m}, ctx.table);
    collectVoices(m, ctx, st);
    ControlRow* out = resetOutput(m, ctx.table);
    if (!out) return;

    if (st.unsettled) {
        if (!voicesFinite(st)) return evaluateOscillatorReference(m, ctx);
        st.unsettled = false;
    }
    if (!allFinite(p.A, p.N, p.W, p.R, p.P, p.S)) return evaluateOscillatorReference(m, ctx);

    Scratch sc;
    const bool sine = p.W <= 0 && p.R == 0 && p.S <= kStepFloor && std::fabs(p.P) <= 64.0;
    double sum;
    if (sine) {
        sum = kHasAvx2 ? voicePassSineAvx2(st, p, sc) : voicePassSine(st, p, sc);
    } else {
        kHasAvx2 ? voicePassShapeAvx2(st, p, sc) : voicePassShape(st, p, sc);
        sum = 0.0;
        for (int i = 0; i < st.count; ++i) {
            const double theta = p.R != 0 ? rampWarp(sc.theta[i], p.R) : sc.theta[i];
            double sample = morphWave(theta, p.W) * sc.gain[i];
            if (p.S > kStepFloor) sample = std::trunc(sample / 1000.0 / p.S) * (1000.0 * p.S);
            sum += sample;
        }
    }
    drawsAndRemovals(st, sc, ctx.rand);
    out->primary[0] = sum;
    out->primarySmoothed[0] = sum;
}

void evaluateOscillatorReference(Module& m, EngineContext& ctx) {
    OscillatorState& st = m.stateAs<OscillatorState>();
    const Params p = readParams(AudioOscControls{m}, ctx.table);
    collectVoices(m, ctx, st);
    ControlRow* outRow = resetOutput(m, ctx.table);
    if (!outRow) return;
    ControlRow& out = *outRow;
    st.unsettled = true; // may leave non-finite jitter for the next sample to restart

    for (int i = 0; i < st.count;) {
        const double Av =
            (st.present[i] != 0 ? st.velocity[i] : st.releaseVelocity[i]) / 127.0 * p.A;
        if (!allFinite(st.phase[i], st.jitter[i], st.jitterTarget[i])) restartVoice(st, i);
        const double f = st.frequency[i];
        const double Ta = attackTime(f);
        const double Tr = 1.5 * Ta;

        if (st.present[i] == 0 && st.envelope[i] >= 0)
            st.envelope[i] = releaseStart(st.envelope[i], Ta);

        if (f != 0) {
            double& j = st.jitter[i];
            double& target = st.jitterTarget[i];
            j = std::clamp(j, -1.0, 1.0);
            target = std::clamp(target, -1.0, 1.0);
            const double step = f / 24000.0;
            j += j <= target ? step : -step;
            if (std::fabs(j - target) < step || j > 1.0 || j < -1.0)
                target = drawJitterTarget(ctx.rand);
        }

        const double fj = std::clamp(f + f * st.jitter[i] * p.N, 0.0, kCeiling);
        st.phase[i] += fj / 48000.0 * kTwoPi;
        if (st.phase[i] > kTwoPi) st.phase[i] -= kTwoPi;
        if (!allFinite(st.phase[i])) restartVoice(st, i);

        const double tms = st.envelope[i] / 48.0;
        double g;
        if (tms < 0)
            g = std::max(tms + Tr, 0.0) / Tr * Av;
        else if (tms <= Ta)
            g = tms / Ta * Av;
        else
            g = Av;

        double theta = st.phase[i] + p.P;
        if (theta < 0)
            theta += kTwoPi;
        else if (theta > kTwoPi)
            theta -= kTwoPi;
        if (p.R != 0) theta = rampWarp(theta, p.R);

        double sample = morphWave(theta, p.W) * g;
        if (p.S > kStepFloor) sample = std::trunc(sample / 1000.0 / p.S) * (1000.0 * p.S);

        out.primary[0] += sample;
        out.primarySmoothed[0] = out.primary[0];

        st.envelope[i] += st.envelope[i] >= 0 ? 1 : -1;
        if (st.present[i] != 0) st.releaseVelocity[i] = st.velocity[i];

        if (tms < 0 && g < kRemovalLevel) {
            st.entryOfNote[st.noteId[i]] = -1;
            copyVoice(st, st.count - 1, i);
            --st.count;
            if (i < st.count) st.entryOfNote[st.noteId[i]] = static_cast<int16_t>(i);
            continue; // entry i now holds another voice: process it this sample
        }
        st.present[i] = 0;
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

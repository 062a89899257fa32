#pragma once
// The oscillator's voice loop over the arrays of its voice table, written once for a lane type
// (four voices, or one) and compiled twice: for any x86-64 processor (oscillator.cpp) and for
// processors with AVX2 (oscillator_avx2.cpp); the engine picks one at start-up. Engine thread.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <type_traits>

#if defined(__AVX__)
#include <immintrin.h>
#endif

#include "engine/oscillator.h"

namespace kv {

// Scratch of one sample: the jitter before it (for entries emptied by removals), and the phase
// and gain of each voice when the shape is drawn voice by voice.
struct OscillatorScratch {
    alignas(64) double oldJitter[OscillatorState::kMaxVoices];
    alignas(64) double oldTarget[OscillatorState::kMaxVoices];
    alignas(64) double theta[OscillatorState::kMaxVoices];
    alignas(64) double gain[OscillatorState::kMaxVoices];
    uint64_t draws[2] = {};
    uint64_t removals[2] = {};
};

/// The marks of a lone voice's sample: whether it draws a new jitter target, whether it ends.
struct OscillatorLoneMarks {
    uint64_t draws[1] = {};
    uint64_t removals[1] = {};
};

/// Counter of a voice whose note has just gone: the release starts at the level the attack
/// reached.
inline double oscillatorReleaseStart(double envelope, double Ta) {
    const double Tr = 1.5 * Ta;
    const double tms = envelope / 48.0;
    return tms <= Ta ? std::trunc(-48.0 * Tr * (Ta - tms) / Ta) : -1.0;
}

/// The voice loop built for AVX2 (only to be called where the processor has it): the summed sine
/// when `sine`, else phase and gain left in the scratch.
double oscillatorVoicePassAvx2(OscillatorState& st, const OscillatorParams& p,
                               OscillatorScratch& sc, bool sine);

/// The sine of a table holding one voice, built for AVX2: the voice loop's sample without its
/// set-up, scratch and loops (most oscillators play one voice). Draw and removal are marked.
double oscillatorLoneSineAvx2(OscillatorState& st, const OscillatorParams& p,
                              OscillatorLoneMarks& marks);

/// Up to four lone-sine oscillators of a stretch at once, built for AVX2: the lone voice's sample
/// of each (as oscillatorLoneSine computes it) for `count` samples, one module per lane. A lane
/// whose voice reaches its jitter target takes the next value of its module's queue `slots[l]`.
/// Every voice must be held; the state is written back at the end. out[l][0..count−1].
void oscillatorLoneSinesAvx2(OscillatorState* const* st, const OscillatorParams* p, int lanes,
                             StretchDraws& draws, const int* slots, double* const* out, int count);

namespace {

constexpr double kVoiceTwoPi = 2.0 * std::numbers::pi;
constexpr double kVoicePi = std::numbers::pi;
constexpr double kVoiceCeiling = 24000.0; // Hz
constexpr double kVoiceRemovalLevel = 0.1;

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
#if defined(__AVX__)
    } else if constexpr (sizeof(M) == 32) {
        return static_cast<unsigned>(_mm256_movemask_pd((__m256d)m));
#endif
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
    constexpr double kVoiceTwoPiHi = 6.28318530717958623200;
    constexpr double kVoiceTwoPiLo = 2.44929359829470635e-16;
    const V k = (x * (1.0 / kVoiceTwoPi) + kRound) - kRound;
    x = (x - k * kVoiceTwoPiHi) - k * kVoiceTwoPiLo;
    x = select(x > kVoicePi / 2, kVoicePi - x, x);
    x = select(x < -kVoicePi / 2, -kVoicePi - x, x);
    const V z = x * x;
    V p = splat<V>(1.0 / 6227020800.0); // 1/13!
    p = p * z - 1.0 / 39916800.0;
    p = p * z + 1.0 / 362880.0;
    p = p * z - 1.0 / 5040.0;
    p = p * z + 1.0 / 120.0;
    p = p * z - 1.0 / 6.0;
    return x + x * z * p;
}

// Voices i..i+lanes−1 one sample on: release start, jitter, phase, envelope gain and (kSine) the
// sine added to `acc`. Jitter draws and removals are only marked: they are applied afterwards in
// voice order.
template <class V, bool kSine>
KV_INLINE void voiceBlock(OscillatorState& st, const OscillatorParams& p, OscillatorScratch& sc,
                          int i, V& acc) {
    constexpr int L = kLanes<V>;
    static_assert(L == OscillatorState::kLanes);
    OscillatorState::Block& v = st.blocks[static_cast<unsigned>(i) / L]; // i is a multiple of L
    const V f = load<V>(v.frequency);
    const auto present = load<V>(v.present) != 0.0;
    const V vel = load<V>(v.velocity);
    const V rel = load<V>(v.releaseVelocity);
    const V Ta = load<V>(v.attack);
    const V Tr = 1.5 * Ta;
    const V Av = select(present, vel, rel) / 127.0 * p.A;

    V env = load<V>(v.envelope);
    const auto starts = maskNot(present) & (env >= 0.0);
    if (const unsigned b = laneBits(starts)) {
        for (int l = 0; l < L; ++l)
            if (b >> l & 1) setLane(env, l, oscillatorReleaseStart(lane(env, l), lane(Ta, l)));
    }

    // Jitter: one step toward the target; a new target where it is reached or overshot.
    const V j0 = load<V>(v.jitter);
    const V t0 = load<V>(v.jitterTarget);
    store(sc.oldJitter + i, j0);
    store(sc.oldTarget + i, t0);
    const auto moving = f != 0.0;
    const V jc = vmin(vmax(j0, splat<V>(-1.0)), splat<V>(1.0));
    const V tc = vmin(vmax(t0, splat<V>(-1.0)), splat<V>(1.0));
    const V step = load<V>(v.jitterStep);
    const V jn = jc + select(jc <= tc, step, -step);
    const auto draw = moving & ((vabs(jn - tc) < step) | (jn > 1.0) | (jn < -1.0));
    const V j = select(moving, jn, j0);
    store(v.jitter, j);
    store(v.jitterTarget, select(moving, tc, t0));

    // Phase.
    const V fj = vmin(vmax(f + f * j * p.N, splat<V>(0.0)), splat<V>(kVoiceCeiling));
    V ph = load<V>(v.phase) + fj / 48000.0 * kVoiceTwoPi;
    ph = select(ph > kVoiceTwoPi, ph - kVoiceTwoPi, ph);
    store(v.phase, ph);

    // Envelope gain: only voices in their attack or release need the divisions.
    const V tms = env / 48.0;
    V g = Av;
    if (laneBits(maskNot(tms > Ta))) {
        const V release = vmax(tms + Tr, splat<V>(0.0)) / Tr * Av;
        const V attack = tms / Ta * Av;
        g = select(tms < 0.0, release, select(tms <= Ta, attack, Av));
    }

    V theta = ph + p.P;
    theta = select(theta < 0.0, theta + kVoiceTwoPi,
                   select(theta > kVoiceTwoPi, theta - kVoiceTwoPi, theta));
    if constexpr (kSine) {
        acc += fastSine(theta) * g;
    } else {
        store(sc.theta + i, theta);
        store(sc.gain + i, g);
    }

    store(v.envelope, env + select(env >= 0.0, splat<V>(1.0), splat<V>(-1.0)));
    store(v.releaseVelocity, select(present, vel, rel));
    store(v.present, splat<V>(0.0));

    const auto removed = (tms < 0.0) & (g < kVoiceRemovalLevel);
    if (const unsigned b = laneBits(draw)) sc.draws[i >> 6] |= uint64_t{b} << (i & 63);
    if (const unsigned b = laneBits(removed)) sc.removals[i >> 6] |= uint64_t{b} << (i & 63);
}

// One voice one sample on, as voiceBlock does for four, in plain code: a lone voice (the usual
// oscillator plays one) skips what does not apply to it instead of computing and masking it.
// With the marks of a lone voice there is no other entry to refill, so the jitter before the
// sample is not kept.
template <bool kSine, class Scratch>
KV_INLINE double voiceOne(OscillatorState& st, const OscillatorParams& p, Scratch& sc, int i) {
    constexpr bool kKeepOld = std::is_same_v<Scratch, OscillatorScratch>;
    const double f = st.frequency(i);
    const bool present = st.present(i) != 0.0;
    const double Ta = st.attack(i);
    const double Av = (present ? st.velocity(i) : st.releaseVelocity(i)) / 127.0 * p.A;
    double env = st.envelope(i);
    if (!present && env >= 0.0) env = oscillatorReleaseStart(env, Ta);

    double j = st.jitter(i);
    if constexpr (kKeepOld) {
        sc.oldJitter[i] = j;
        sc.oldTarget[i] = st.jitterTarget(i);
    }
    if (f != 0.0) {
        j = std::clamp(j, -1.0, 1.0);
        const double target = std::clamp(st.jitterTarget(i), -1.0, 1.0);
        const double step = st.jitterStep(i);
        j += j <= target ? step : -step;
        if (std::fabs(j - target) < step || j > 1.0 || j < -1.0)
            sc.draws[i >> 6] |= uint64_t{1} << (i & 63);
        st.jitter(i) = j;
        st.jitterTarget(i) = target;
    }

    const double fj = std::clamp(f + f * j * p.N, 0.0, kVoiceCeiling);
    double ph = st.phase(i) + fj / 48000.0 * kVoiceTwoPi;
    if (ph > kVoiceTwoPi) ph -= kVoiceTwoPi;
    st.phase(i) = ph;

    const double tms = env / 48.0;
    double g = Av;
    if (tms < 0) {
        const double Tr = 1.5 * Ta;
        g = std::max(tms + Tr, 0.0) / Tr * Av;
        if (g < kVoiceRemovalLevel) sc.removals[i >> 6] |= uint64_t{1} << (i & 63);
    } else if (tms <= Ta) {
        g = tms / Ta * Av;
    }

    double theta = ph + p.P;
    if (theta < 0)
        theta += kVoiceTwoPi;
    else if (theta > kVoiceTwoPi)
        theta -= kVoiceTwoPi;
    st.envelope(i) = env + (env >= 0.0 ? 1.0 : -1.0);
    if (present) st.releaseVelocity(i) = st.velocity(i);
    st.present(i) = 0.0;
    if constexpr (kSine) {
        return fastSine(theta) * g;
    } else {
        sc.theta[i] = theta;
        sc.gain[i] = g;
        return 0.0;
    }
}

// All voices one sample on, four at a time and the rest one by one; returns the summed sine
// (kSine) or leaves phase and gain in the scratch.
template <bool kSine>
KV_INLINE double voicePass(OscillatorState& st, const OscillatorParams& p, OscillatorScratch& sc) {
    const int count = st.count;
    V4 acc4 = splat<V4>(0.0);
    int i = 0;
    for (; i + 4 <= count; i += 4)
        voiceBlock<V4, kSine>(st, p, sc, i, acc4);
    double acc1 = 0.0;
    for (; i < count; ++i)
        acc1 += voiceOne<kSine>(st, p, sc, i);
    return (acc4[0] + acc4[1]) + (acc4[2] + acc4[3]) + acc1;
}

/// The lone voice's sine of this build: see oscillatorLoneSineAvx2. The sum is formed as the
/// voice loop forms it (its empty four-voice lanes and then the voice), so that a lone voice
/// sounds the same on either path.
inline double oscillatorLoneSine(OscillatorState& st, const OscillatorParams& p,
                                 OscillatorLoneMarks& marks) {
    double acc1 = 0.0;
    acc1 += voiceOne<true>(st, p, marks, 0);
    const double zero = 0.0;
    return (zero + zero) + (zero + zero) + acc1;
}

/// The lone sines of this build: see oscillatorLoneSinesAvx2. Lane by lane the arithmetic of
/// voiceOne for a held voice, and the sum the lone path forms (0 + (0 + sine × gain)).
inline void oscillatorLoneSines(OscillatorState* const* st, const OscillatorParams* p, int lanes,
                                StretchDraws& draws, const int* slots, double* const* out,
                                int count) {
    double fa[4], ja[4], ta[4], stepa[4], pha[4], enva[4], attacka[4], ava[4], na[4], pa[4];
    double movinga[4];
    for (int l = 0; l < 4; ++l) {
        // Empty lanes repeat the first; their samples and draws are left out.
        const OscillatorState& v = *st[l < lanes ? l : 0];
        const OscillatorParams& q = p[l < lanes ? l : 0];
        fa[l] = v.frequency(0);
        ja[l] = v.jitter(0);
        ta[l] = v.jitterTarget(0);
        stepa[l] = v.jitterStep(0);
        pha[l] = v.phase(0);
        enva[l] = v.envelope(0);
        attacka[l] = v.attack(0);
        ava[l] = v.velocity(0) / 127.0 * q.A;
        na[l] = q.N;
        pa[l] = q.P;
        movinga[l] = fa[l] != 0.0 ? 1.0 : 0.0;
    }
    const V4 f = load<V4>(fa), step = load<V4>(stepa), Ta = load<V4>(attacka);
    const V4 Av = load<V4>(ava), N = load<V4>(na), P = load<V4>(pa);
    const auto moving = load<V4>(movinga) != 0.0;
    const unsigned used = (1u << lanes) - 1;
    V4 j = load<V4>(ja), t = load<V4>(ta), ph = load<V4>(pha), env = load<V4>(enva);
    for (int s = 0; s < count; ++s) {
        const V4 jc = vmin(vmax(j, splat<V4>(-1.0)), splat<V4>(1.0));
        const V4 tc = vmin(vmax(t, splat<V4>(-1.0)), splat<V4>(1.0));
        const V4 jn = jc + select(jc <= tc, step, -step);
        const auto draw = moving & ((vabs(jn - tc) < step) | (jn > 1.0) | (jn < -1.0));
        j = select(moving, jn, j);
        t = select(moving, tc, t);

        const V4 fj = vmin(vmax(f + f * j * N, splat<V4>(0.0)), splat<V4>(kVoiceCeiling));
        ph = ph + fj / 48000.0 * kVoiceTwoPi;
        ph = select(ph > kVoiceTwoPi, ph - kVoiceTwoPi, ph);
        const V4 tms = env / 48.0;
        const V4 g = select(tms <= Ta, tms / Ta * Av, Av);
        V4 theta = ph + P;
        theta = select(theta < 0.0, theta + kVoiceTwoPi,
                       select(theta > kVoiceTwoPi, theta - kVoiceTwoPi, theta));
        env = env + 1.0;
        const V4 sum = splat<V4>(0.0) + (splat<V4>(0.0) + fastSine(theta) * g);
        for (int l = 0; l < lanes; ++l)
            out[l][s] = sum[l];
        if (const unsigned b = laneBits(draw) & used)
            for (int l = 0; l < lanes; ++l)
                if (b >> l & 1) t[l] = draws.take(slots[l]);
    }
    for (int l = 0; l < lanes; ++l) {
        OscillatorState& v = *st[l];
        v.jitter(0) = j[l];
        v.jitterTarget(0) = t[l];
        v.phase(0) = ph[l];
        v.envelope(0) = env[l];
        v.releaseVelocity(0) = v.velocity(0);
        v.present(0) = 0.0;
    }
}

/// The voice loop of this build: see oscillatorVoicePassAvx2.
inline double oscillatorVoicePass(OscillatorState& st, const OscillatorParams& p,
                                  OscillatorScratch& sc, bool sine) {
    return sine ? voicePass<true>(st, p, sc) : voicePass<false>(st, p, sc);
}

} // namespace
} // namespace kv

#pragma once
// The muted pluck's partials written once for a lane type: one voice (double, SLEEF's portable
// C functions) or four (AVX). Included by pluck_math.cpp and pluck_avx.cpp only.
#include <type_traits>

#include "engine/pluck_math.h"

namespace kv {
namespace {

// The partials' arithmetic for voices in lanes of V, given the lanes' exp and sine-and-cosine
// (which sets both of its last two arguments): partial
// p = 40, 50, ..., 120 at p/100 × phase weighted 1 − (|p − 100| / 60)^d, the sines the multiples
// 4..12 of phase/10 by the Chebyshev recurrence from one sine and cosine.
template <class V, class Exp, class SinCos>
[[gnu::always_inline]] inline V pluckPartialsLanes(V phase, V d, Exp exp, SinCos sinCos) {
    V weightAt[6]; // by |p − 100| / 10
    if constexpr (std::is_same_v<V, double>) {
        weightAt[0] = d > 0 ? 1.0 : 0.0;
    } else {
        using M = decltype(d > d);
        const V one = V{} + 1.0;
        weightAt[0] = (V)((M)(d > 0.0) & (M)one);
    }
    // (j/6)^d from three powers: (1/2)^d, (1/3)^d and (5/6)^d.
    const V half = exp(d * kPluckLogOfSixths[3]);
    const V third = exp(d * kPluckLogOfSixths[2]);
    weightAt[1] = 1.0 - half * third;
    weightAt[2] = 1.0 - third;
    weightAt[3] = 1.0 - half;
    weightAt[4] = 1.0 - third / half;
    weightAt[5] = 1.0 - exp(d * kPluckLogOfSixths[5]);

    const V theta = phase / 10.0;
    V current, cosine;
    sinCos(theta, current, cosine); // sin 1θ, cos 1θ
    const V twoCos = 2.0 * cosine;
    V previous{}; // sin 0θ
    V sum{};
#pragma GCC unroll 11
    for (int k = 2; k <= 12; ++k) {
        const V next = twoCos * current - previous;
        previous = current;
        current = next;
        if (k >= 5) sum += current * weightAt[k >= 10 ? k - 10 : 10 - k];
    }
    return sum;
}

// select(mask, a, b) for a lane type: a where the mask holds, else b.
template <class V, class M> [[gnu::always_inline]] inline V pluckSelect(M m, V a, V b) {
    if constexpr (std::is_same_v<V, double>) {
        return m ? a : b;
    } else {
        using I = decltype(a > b);
        return (V)(((I)m & (I)a) | (~(I)m & (I)b));
    }
}

// One sample of sounding voices in lanes: the envelope (as pluckEnvelope), the damping and the
// partials (as pluckPartials), and the voice's part of the sum. `e`, `tms` and `r` are left for
// the voice's flags (`r` is meaningful past 10 ms only).
template <class V, class Exp, class Log, class SinCos>
[[gnu::always_inline]] inline V pluckVoiceLanes(V age, V phase, V velocity, double NV, double NL,
                                                double lengthScale, Exp exp, Log log, SinCos sinCos,
                                                V& e, V& tms, V& r) {
    tms = age / 48.0;
    const V q = 1.0 - (tms / 10.0) * (tms / 10.0);
    const V early = NV * (1.0 - q * q);
    r = tms / (NL + 20.0);
    const V y = 1.0 / (1.0 - r);
    const V late = NV * exp(y * log(1.0 - r));
    const V none{};
    e = pluckSelect(tms <= 10.0, early, pluckSelect(r < 1.0, late, none));
    // At age 0 the damping is 1 whatever the velocity (0 / 0 would be undefined).
    V ramp = tms / (NL + 10.0);
    const V one = none + 1.0;
    ramp = pluckSelect(one < ramp, one, ramp);
    const V d = pluckSelect(ramp > 0.0, 1.0 / (1.0 + 10.0 * ramp / velocity), one);
    return pluckPartialsLanes(phase, d, exp, sinCos) * e * lengthScale;
}

} // namespace
} // namespace kv

// The muted pluck's transcendental work four voices at a time, built for processors with AVX
// (this file alone is compiled for them; the engine calls it only where the processor has it).
#include <cstring>

#include "engine/pluck_math.h"

#if defined(__AVX__)
#include <immintrin.h>
#include <sleef.h>

#include "engine/pluck_lanes.h"
#endif

namespace kv {

#if defined(__AVX__)

namespace {

#pragma GCC diagnostic ignored "-Wpsabi"
using V4 = double __attribute__((vector_size(32)));

V4 load4(const double* p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

} // namespace

void pluckVoicesAvx(const PluckLanes& v, int n, double NV, double NL, double lengthScale) {
    const auto exp4 = [](V4 x) { return (V4)Sleef_cinz_expd4_u10avx((__m256d)x); };
    const auto log4 = [](V4 x) { return (V4)Sleef_cinz_logd4_u10avx((__m256d)x); };
    const auto sinCos4 = [](V4 x, V4& sine, V4& cosine) {
        const Sleef___m256d_2 r = Sleef_cinz_sincosd4_u10avx((__m256d)x);
        sine = (V4)r.x;
        cosine = (V4)r.y;
    };
    for (int i = 0; i < n; i += 4) {
        V4 e, tms, r;
        const V4 part = pluckVoiceLanes(load4(v.age + i), load4(v.phase + i), load4(v.velocity + i),
                                        NV, NL, lengthScale, exp4, log4, sinCos4, e, tms, r);
        std::memcpy(v.part + i, &part, sizeof part);
        std::memcpy(v.e + i, &e, sizeof e);
        std::memcpy(v.tms + i, &tms, sizeof tms);
        std::memcpy(v.r + i, &r, sizeof r);
    }
}

#else // never called without AVX

void pluckVoicesAvx(const PluckLanes&, int, double, double, double) {}

#endif

} // namespace kv

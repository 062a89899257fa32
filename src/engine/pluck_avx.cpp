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

void pluckPowersAvx(const double* x, const double* y, double* out, int n) {
    for (int i = 0; i < n; i += 4) {
        const V4 ln = (V4)Sleef_cinz_logd4_u10avx((__m256d)load4(x + i));
        const V4 r = (V4)Sleef_cinz_expd4_u10avx((__m256d)(load4(y + i) * ln));
        std::memcpy(out + i, &r, sizeof r);
    }
}

void pluckPartialsAvx(const double* phase, const double* d, double* out, int n) {
    const auto exp4 = [](V4 x) { return (V4)Sleef_cinz_expd4_u10avx((__m256d)x); };
    const auto sinCos4 = [](V4 x, V4& sine, V4& cosine) {
        const Sleef___m256d_2 r = Sleef_cinz_sincosd4_u10avx((__m256d)x);
        sine = (V4)r.x;
        cosine = (V4)r.y;
    };
    for (int i = 0; i < n; i += 4) {
        const V4 r = pluckPartialsLanes(load4(phase + i), load4(d + i), exp4, sinCos4);
        std::memcpy(out + i, &r, sizeof r);
    }
}

#else // never called without AVX

void pluckPowersAvx(const double*, const double*, double*, int) {}
void pluckPartialsAvx(const double*, const double*, double*, int) {}

#endif

} // namespace kv

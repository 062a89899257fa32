#include "engine/pluck_math.h"

#include <cmath>
#include <sleef.h>

#include "engine/pluck_lanes.h"

namespace kv {

// Computed at program start so that the engine never meets a first-use guard.
const double kPluckLogOfSixths[6] = {0.0,
                                     std::log(1.0 / 6.0),
                                     std::log(2.0 / 6.0),
                                     std::log(3.0 / 6.0),
                                     std::log(4.0 / 6.0),
                                     std::log(5.0 / 6.0)};

namespace {

// Decided once at start-up, so the engine thread never meets a lazy initialisation.
const bool kHasAvx = [] {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
#else
    return false;
#endif
}();

double log1(double x) {
    return Sleef_cinz_logd1_u10purec(x);
}
double exp1(double x) {
    return Sleef_cinz_expd1_u10purec(x);
}
void sinCos1(double x, double& sine, double& cosine) {
    const Sleef_double_2 r = Sleef_cinz_sincosd1_u10purec(x);
    sine = r.x;
    cosine = r.y;
}

} // namespace

// x^y as e^(y ln x), for 0 < x ≤ 1 (the envelope's bases), as the lanes compute it.
double pluckPower(double x, double y) {
    return Sleef_cinz_expd1_u10purec(y * Sleef_cinz_logd1_u10purec(x));
}

double pluckPartialsOne(double phase, double d) {
    return pluckPartialsLanes(phase, d, exp1, sinCos1);
}

void pluckVoices(const PluckLanes& v, int n, double NV, double NL, double lengthScale) {
    int i = 0;
    if (kHasAvx && n >= 4) {
        i = n & ~3;
        pluckVoicesAvx(v, i, NV, NL, lengthScale);
    }
    for (; i < n; ++i)
        v.part[i] = pluckVoiceLanes(v.age[i], v.phase[i], v.velocity[i], NV, NL, lengthScale, exp1,
                                    log1, sinCos1, v.e[i], v.tms[i], v.r[i]);
}

} // namespace kv

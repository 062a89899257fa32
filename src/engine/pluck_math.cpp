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

double exp1(double x) {
    return Sleef_cinz_expd1_u10purec(x);
}
double sin1(double x) {
    return Sleef_cinz_sind1_u10purec(x);
}
double cos1(double x) {
    return Sleef_cinz_cosd1_u10purec(x);
}

} // namespace

double pluckPower(double x, double y) {
    return Sleef_cinz_powd1_u10purec(x, y);
}

double pluckPartialsOne(double phase, double d) {
    return pluckPartialsLanes(phase, d, exp1, sin1, cos1);
}

void pluckPowers(const double* x, const double* y, double* out, int n) {
    int i = 0;
    if (kHasAvx && n >= 4) {
        i = n & ~3;
        pluckPowersAvx(x, y, out, i);
    }
    for (; i < n; ++i)
        out[i] = Sleef_cinz_powd1_u10purec(x[i], y[i]);
}

void pluckPartialsOf(const double* phase, const double* d, double* out, int n) {
    int i = 0;
    if (kHasAvx && n >= 4) {
        i = n & ~3;
        pluckPartialsAvx(phase, d, out, i);
    }
    for (; i < n; ++i)
        out[i] = pluckPartialsLanes(phase[i], d[i], exp1, sin1, cos1);
}

} // namespace kv

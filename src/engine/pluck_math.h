#pragma once
// The muted pluck's transcendental work (the envelope's power, the partials' exponentials, sine
// and cosine) for many voices at once. Computed with SLEEF's deterministic functions, which give
// the same bits one value at a time and four at a time, with or without AVX: a voice sounds the
// same whichever way it is computed. Engine thread; no allocation.

namespace kv {

/// ln(j / 6) for j = 1..5 (entry 0 unused).
extern const double kPluckLogOfSixths[6];

/// x^y for 0 < x ≤ 1, as pluckVoices computes the envelope's power.
double pluckPower(double x, double y);
/// The partials of one voice, as pluckVoices computes them.
double pluckPartialsOne(double phase, double d);

/// One sample of voices i < n (not silent) of age[i] samples, phase[i] and velocity[i], for a note
/// velocity NV and length NL (ms) and the sum's length scale: each voice's part of the sum
/// (partials × envelope × scale) in part[i], its envelope in e[i], its age in ms in tms[i] and
/// the ratio of that age to NL + 20 ms in r[i]; as pluckEnvelope and pluckPartials compute them.
struct PluckLanes {
    const double* age;
    const double* phase;
    const double* velocity;
    double* part;
    double* e;
    double* tms;
    double* r;
};
void pluckVoices(const PluckLanes& v, int n, double NV, double NL, double lengthScale);
/// The same, built for AVX (only to be called where the processor has it); n a multiple of 4.
void pluckVoicesAvx(const PluckLanes& v, int n, double NV, double NL, double lengthScale);

} // namespace kv

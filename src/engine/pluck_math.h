#pragma once
// The muted pluck's transcendental work (the envelope's power, the partials' exponentials, sine
// and cosine) for many voices at once. Computed with SLEEF's deterministic functions, which give
// the same bits one value at a time and four at a time, with or without AVX: a voice sounds the
// same whichever way it is computed. Engine thread; no allocation.

namespace kv {

/// ln(j / 6) for j = 1..5 (entry 0 unused).
extern const double kPluckLogOfSixths[6];

/// x^y for 0 < x ≤ 1, as pluckPowers computes it.
double pluckPower(double x, double y);
/// The partials of one voice, as pluckPartialsOf computes them.
double pluckPartialsOne(double phase, double d);

/// out[i] = x[i]^y[i] for i < n, 0 < x[i] ≤ 1.
void pluckPowers(const double* x, const double* y, double* out, int n);

/// The nine partials (see pluckPartials) of voices i < n at phase[i] with damping d[i].
void pluckPartialsOf(const double* phase, const double* d, double* out, int n);

/// The same, built for AVX (only to be called where the processor has it); n a multiple of 4.
void pluckPowersAvx(const double* x, const double* y, double* out, int n);
void pluckPartialsAvx(const double* phase, const double* d, double* out, int n);

} // namespace kv

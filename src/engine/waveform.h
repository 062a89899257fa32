#pragma once
// The waveform shaper shared by the oscillator and the control modulator: ramp warp and the
// sine - triangle - square - three-level morph. Phases in radians.
namespace kv {

/// Ramp warp of phase `theta` (0..2π) with r = ramp / 50 in −1..1; r = 0 leaves it.
double rampWarp(double theta, double r);

/// Morph value for waveform position `w` (0 sine, 100 triangle, 200 square, 300 three-level)
/// at phase `theta`. Result in −1..1.
double morphWave(double theta, double w);

double triangleWave(double x); // x in 0..2π
double squareWave(double x);   // x in 0..2π
double threeLevelWave(double theta);

} // namespace kv

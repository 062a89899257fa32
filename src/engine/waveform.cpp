#include "engine/waveform.h"

#include <cmath>
#include <numbers>

namespace kv {

namespace {
constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

double reduce(double theta) {
    double x = theta - std::trunc(theta / kTwoPi) * kTwoPi;
    if (x < 0) x += kTwoPi;
    return x;
}
} // namespace

double rampWarp(double theta, double r) {
    if (r > 0) return theta / (1.0 + r) + r * kPi / 2.0;
    if (r < 0) {
        const double k = 1.0 - r;
        return theta < kPi ? theta / k : kTwoPi + (theta - kTwoPi) / k;
    }
    return theta;
}

double triangleWave(double x) {
    if (x < kPi / 2) return x / (kPi / 2);
    if (x < 3 * kPi / 2) return (kPi - x) / (kPi / 2);
    if (x < kTwoPi) return (x - kTwoPi) * 2.0 / kPi;
    return 0.0;
}

double squareWave(double x) {
    if (x < kPi) return 1.0;
    if (x < kTwoPi) return -1.0;
    return 0.0;
}

double threeLevelWave(double theta) {
    const double x = reduce(theta);
    if (x < kPi / 4) return 0.0;
    if (x < 3 * kPi / 4) return 1.0;
    if (x < 5 * kPi / 4) return 0.0;
    if (x < 7 * kPi / 4) return -1.0;
    return 0.0;
}

double morphWave(double theta, double w) {
    if (w <= 0) return std::sin(theta);
    const double x = reduce(theta);
    if (w < 100) {
        const double m = w / 100.0;
        return (1.0 - m) * std::sin(theta) + m * triangleWave(x);
    }
    if (w == 100) return triangleWave(x);
    if (w < 200) {
        const double m = (w - 100.0) / 100.0;
        return (1.0 - m) * triangleWave(x) + m * squareWave(x);
    }
    if (w == 200) return squareWave(x);
    if (w < 300) {
        const double m = (w - 200.0) / 100.0;
        return (1.0 - m) * squareWave(x) + m * threeLevelWave(theta);
    }
    return threeLevelWave(theta);
}

} // namespace kv

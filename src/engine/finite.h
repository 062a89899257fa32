#pragma once
// Guards against non-finite numbers in the engine. Manual values are never clamped, so a huge or
// NaN setting can overflow a module's arithmetic; a module checks its own running state with
// allFinite() and restarts what went bad, and the output stage sends finiteOrZero() of each sample.
// Engine thread; no allocation.
#include <cmath>

namespace kv {

/// True when every argument is a finite number (not NaN, not infinite).
template <class... Values> inline bool allFinite(Values... values) {
    return (std::isfinite(values) && ...);
}

/// The value itself when finite, else 0 (how a non-finite sample is played).
inline double finiteOrZero(double value) {
    return std::isfinite(value) ? value : 0.0;
}

/// The value itself unless it is NaN, else `fallback`; infinities stay (they clamp like any large
/// number). For parameters that become lengths or indexes.
inline double notNaN(double value, double fallback) {
    return std::isnan(value) ? fallback : value;
}

} // namespace kv

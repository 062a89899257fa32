#pragma once
// The settings file's engine values, shared with the running engine.
#include "engine/engine_state.h"
#include "persistence/settings.h"

namespace kv {

/// Stores the engine's values: control rate, latencies (limited to 0..512 and 2..512 ms),
/// real-time priority, oscillator frequency minimum and milliseconds per chunk. User-interface
/// thread; the engine may run.
void applySettings(const Settings& settings, EngineState& state);
/// Takes the engine's current values back into `settings` before a save.
void captureSettings(const EngineState& state, Settings& settings);

} // namespace kv

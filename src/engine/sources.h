#pragma once
// Source modules: bring outside signals (mouse sources, other rows) into a module row of their own.
#include "engine/engine.h"

namespace kv {

/// Control input: copies its source's voices, scaled by its sensitivity, into its row (manual:
/// one voice of the manual percentage as per mille). Engine thread, at control samples.
void evaluateControlInput(Module& m, EngineContext& ctx) KV_NONBLOCKING;

} // namespace kv

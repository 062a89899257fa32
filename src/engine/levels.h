#pragma once
// Levels for compact module windows: at the end of each cycle the engine publishes, for every
// module whose window is compact, what its level bars are computed from (see PublishedLevels).
//
// Threads: engine thread only.
#include "modules/control_table.h"
#include "modules/module.h"

namespace kv {

/// Publishes the levels of `m` from `table` and hands its audio rows' peak meters over to the
/// module's accumulators (the meters start again from 0). No allocation, no lock.
void publishLevels(Module& m, ControlTable& table);

} // namespace kv

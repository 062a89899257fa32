#pragma once
// Control shaping modules (sensitiser, modulator, echo, combine, range, offset, gain): working
// storage. Their evaluation arrives with the control-shaping algorithms.
#include <cstdint>
#include <memory>
#include <vector>

#include "modules/module.h"
#include "modules/zeroed_array.h"

namespace kv {

/// The control echo's store: one line of 24000 cells per note 0..127 and one write position shared
/// by all lines; per note the last signal and velocity seen.
struct ControlEchoState final : ModuleState {
    static constexpr int kNotes = 128;
    static constexpr int kCells = 24000;
    ZeroedArray<double> store = ZeroedArray<double>(std::size_t{kNotes} * kCells);
    int32_t position = 0;
    double lastSignal[kNotes] = {};
    double lastVelocity[kNotes] = {};

    double* line(int note) { return store.data() + std::size_t(note) * kCells; }
};

std::unique_ptr<ModuleState> makeControlShapingState(int type);

} // namespace kv

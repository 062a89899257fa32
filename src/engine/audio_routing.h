#pragma once
// Audio routing and instruments (audio input, output, splitter, combiner, muted pluck, analyser,
// wave writer): working storage. Their evaluation arrives with the routing algorithms.
#include <cstdint>
#include <memory>

#include "modules/module.h"

namespace kv {

/// The audio input's FIFO of 1920 samples between the capture side and the sample loop.
struct AudioInputState final : ModuleState {
    static constexpr int kSamples = 1920;
    double fifo[kSamples] = {};
    int32_t writeIndex = 0;
    int32_t readIndex = 0;
    int64_t written = 0;
    int64_t read = 0;
    double lastOutput = 0;
    uint64_t readCursor = 0; // blocks of the capture device read so far
};

std::unique_ptr<ModuleState> makeAudioRoutingState(int type);

} // namespace kv

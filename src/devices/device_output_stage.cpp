#include "devices/device_output_stage.h"

#include "engine/engine_state.h"

namespace kv {

void DeviceOutputStage::beginCycleAndFlush(LatencyControl& latency) {
    manager_.beginCycle();
    buses_.flush(manager_, latency);
}

void DeviceOutputStage::beginCycleAndFlush(EngineState& state) {
    constexpr auto relaxed = std::memory_order_relaxed;
    LatencyControl latency;
    latency.desiredLatency = state.settings.desiredOutputLatency.load(relaxed);
    latency.millisecondsPerChunk = state.millisecondsPerChunk.load(relaxed);
    latency.chunkAdjustment = state.chunkAdjustment.load(relaxed);
    latency.smoothedLatency = state.smoothedLatency.load(relaxed);
    manager_.beginCycle();
    if (buses_.flush(manager_, latency)) {
        state.chunkAdjustment.store(latency.chunkAdjustment, relaxed);
        state.smoothedLatency.store(latency.smoothedLatency, relaxed);
    }
}

} // namespace kv

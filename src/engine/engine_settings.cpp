#include "engine/engine_settings.h"

#include <algorithm>
#include <cmath>

namespace kv {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
} // namespace

void applySettings(const Settings& s, EngineState& state) {
    auto limit = [](long v, long lo, long hi) { return static_cast<int>(std::clamp(v, lo, hi)); };
    EngineSettings& e = state.settings;
    e.controlRate.store(limitedControlRate(s.controlDataSampleRate), rlx);
    e.desiredOutputLatency.store(limit(s.desiredOutputLatency, 0, 512), rlx);
    e.desiredInputLatency.store(limit(s.desiredInputLatency, 2, 512), rlx);
    e.realtimePriority.store(s.realtimePriorityForMainThread, rlx);
    const double minimum = s.oscillatorFrequencyMinimum;
    e.oscillatorFrequencyMinimum.store(std::isfinite(minimum) && minimum >= 0 ? minimum : 5.0, rlx);
    state.millisecondsPerChunk.store(limitedChunkMilliseconds(s.millisecondsPerChunk), rlx);
}

void captureSettings(const EngineState& state, Settings& s) {
    const EngineSettings& e = state.settings;
    s.controlDataSampleRate = e.controlRate.load(rlx);
    s.desiredOutputLatency = e.desiredOutputLatency.load(rlx);
    s.desiredInputLatency = e.desiredInputLatency.load(rlx);
    s.realtimePriorityForMainThread = e.realtimePriority.load(rlx);
    s.oscillatorFrequencyMinimum = e.oscillatorFrequencyMinimum.load(rlx);
    s.millisecondsPerChunk = state.millisecondsPerChunk.load(rlx);
}

} // namespace kv

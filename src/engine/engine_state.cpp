#include "engine/engine_state.h"

namespace kv {

EngineState::EngineState() {
    table.initialise();
    buildControlRates(controlRates, settings.controlRate.load(std::memory_order_relaxed));
}

int buildControlRates(std::vector<uint32_t>& rates, double configuredRate) {
    constexpr std::size_t kMaxRates = 4096;
    rates.clear();
    rates.push_back(0);
    for (uint32_t d = 1; d <= static_cast<uint32_t>(kSampleRate) && rates.size() < kMaxRates; ++d)
        if (kSampleRate % d == 0) rates.push_back(d);
    for (std::size_t i = 0; i < rates.size(); ++i)
        if (static_cast<double>(rates[i]) == configuredRate) return static_cast<int>(i);
    return -1;
}

} // namespace kv

#include "cli/late_cycles.h"

#include <cmath>

namespace kv {

void LateCycleLog::found(long long missing, double seconds, long long cycles) {
    if (missing <= late_) return;
    bySecond_[static_cast<long long>(std::floor(seconds))] += missing - late_;
    if (first_ < 0) first_ = cycles;
    last_ = cycles;
    late_ = missing;
}

void LateCycleLog::observe(double seconds, long long cycles) {
    // One tick of slack: the cycle of the tick just passed may be running now.
    const long long due = static_cast<long long>(std::floor(seconds / kCycleSeconds));
    found(due - cycles - 1, seconds, cycles);
}

void LateCycleLog::finish(double seconds, long long cycles) {
    found(std::llround(seconds / kCycleSeconds) - cycles, seconds, cycles);
}

std::string LateCycleLog::text() const {
    if (late_ == 0) return "late cycles: none";
    std::string text = "late cycles by second of play:";
    const char* separator = " ";
    for (const auto& [second, count] : bySecond_) {
        text += separator + std::to_string(second) + ": " + std::to_string(count);
        separator = ", ";
    }
    return text + " (first before cycle " + std::to_string(first_ + 1) + ", last before cycle " +
           std::to_string(last_ + 1) + ")";
}

} // namespace kv

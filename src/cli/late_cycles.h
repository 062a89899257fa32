#pragma once
// Where the engine's late cycles fall during a real-time play: the caller watches the cycle
// counter against the clock and this log counts the 2 ms ticks that found no cycle run, by the
// second of play in which they were noticed.
#include <map>
#include <string>

namespace kv {

class LateCycleLog {
  public:
    static constexpr double kCycleSeconds = 0.002;

    /// `seconds` since the end of the first cycle, `cycles` run since then. Called every few
    /// milliseconds; a cycle due but not run yet is not counted until a later tick passes too.
    void observe(double seconds, long long cycles);
    /// The final reading: every tick due by `seconds` counts.
    void finish(double seconds, long long cycles);

    long long late() const { return late_; }
    /// "late cycles: none", or "late cycles by second of play: 0: 3, 5: 1 (first before cycle
    /// 2, last before cycle 2501)".
    std::string text() const;

  private:
    void found(long long missing, double seconds, long long cycles);

    long long late_ = 0;
    std::map<long long, long long> bySecond_;
    long long first_ = -1, last_ = -1; // cycles run when the first and last late ones were found
};

} // namespace kv

#pragma once
// The engine's random numbers: the classic 15-bit linear congruential generator.
#include <cstdint>

namespace kv {

/// state = state × 214013 + 2531011 (mod 2^32); result = (state >> 16) & 0x7FFF. One per engine;
/// used on the engine thread only.
class Rand15 {
  public:
    static constexpr int kMax = 32767;
    explicit Rand15(uint32_t seed = 1) : state_(seed) {}
    void seed(uint32_t s) { state_ = s; }
    /// 0..32767
    int next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFFu);
    }

  private:
    uint32_t state_;
};

} // namespace kv

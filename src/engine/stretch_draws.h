#pragma once
// Random draws taken ahead for modules evaluated module by module over a stretch of samples.
// The engine first steps every such module's draw decisions sample by sample, in the order in
// which the per-sample engine would evaluate them, and draws from its one generator there; each
// module later takes its own values back in the order it drew them. Engine thread only.
#include <cstdint>
#include <vector>

#include "engine/realtime.h"

namespace kv {

class StretchDraws {
  public:
    /// `capacity`: draws held at once over all modules; `queues`: modules at once.
    /// User-interface thread (with the engine).
    StretchDraws(int capacity, int queues)
        : value_(static_cast<std::size_t>(capacity)), next_(static_cast<std::size_t>(capacity)),
          head_(static_cast<std::size_t>(queues)), tail_(static_cast<std::size_t>(queues)) {}

    int capacity() const { return static_cast<int>(value_.size()); }
    int queues() const { return static_cast<int>(head_.size()); }

    /// Empties every queue; the first `queues` queues are used in the next stretch.
    void reset(int queues) KV_NONBLOCKING {
        used_ = 0;
        for (int s = 0; s < queues; ++s)
            head_[s] = tail_[s] = -1;
    }
    /// Appends a drawn value to the queue of `slot`; the caller keeps the total within capacity.
    void push(int slot, double v) KV_NONBLOCKING {
        const int32_t e = used_++;
        value_[e] = v;
        next_[e] = -1;
        if (tail_[slot] < 0)
            head_[slot] = e;
        else
            next_[tail_[slot]] = e;
        tail_[slot] = e;
    }
    /// The oldest value of `slot` not yet taken.
    double take(int slot) KV_NONBLOCKING {
        const int32_t e = head_[slot];
        if (e < 0) return 0.0; // never when the steps and the evaluation agree
        head_[slot] = next_[e];
        return value_[e];
    }

  private:
    std::vector<double> value_;
    std::vector<int32_t> next_;
    std::vector<int32_t> head_, tail_;
    int32_t used_ = 0;
};

} // namespace kv

#pragma once
// Book-keeping the sound-card and MIDI backends share: the open streams (or ports) with the
// handles callers know them by, and the short back-off after a failed open. Neither locks: the
// backend holds its own mutex around every call.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace kv::platform {

/// Devices whose open failed a moment ago. Callers try to open again at every use; a device
/// that keeps failing then fails fast instead of holding up the caller each time.
class OpenBackoff {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kPeriod = std::chrono::seconds(1);

    /// True while `device` failed to open less than `kPeriod` ago.
    bool active(int device) {
        const auto now = Clock::now();
        std::erase_if(failed_, [&](const auto& f) { return now - f.second >= kPeriod; });
        return std::any_of(failed_.begin(), failed_.end(),
                           [&](const auto& f) { return f.first == device; });
    }
    /// Records that opening `device` failed just now.
    void failed(int device) { failed_.emplace_back(device, Clock::now()); }

  private:
    std::vector<std::pair<int, Clock::time_point>> failed_; // device, time of failure
};

/// The open streams of a backend. `Stream` has a `uint64_t handle` member; handles count up from
/// 1 and are never reused, so 0 stays free for "no handle".
template <class Stream> class HandlePool {
  public:
    /// Takes `stream` in and gives it the next handle, which it returns.
    uint64_t add(std::unique_ptr<Stream> stream) {
        stream->handle = next_++;
        const uint64_t handle = stream->handle;
        streams_.push_back(std::move(stream));
        return handle;
    }
    /// The stream with `handle`, or null.
    Stream* find(uint64_t handle) const {
        for (const auto& s : streams_)
            if (s->handle == handle) return s.get();
        return nullptr;
    }
    /// Removes the stream with `handle` and hands it over (null when there is none), so the
    /// caller can close it without holding its lock.
    std::unique_ptr<Stream> take(uint64_t handle) {
        auto it = std::find_if(streams_.begin(), streams_.end(),
                               [&](const auto& s) { return s->handle == handle; });
        if (it == streams_.end()) return nullptr;
        std::unique_ptr<Stream> stream = std::move(*it);
        streams_.erase(it);
        return stream;
    }
    /// Removes and hands over every stream.
    std::vector<std::unique_ptr<Stream>> takeAll() { return std::exchange(streams_, {}); }

    auto begin() const { return streams_.begin(); }
    auto end() const { return streams_.end(); }

  private:
    std::vector<std::unique_ptr<Stream>> streams_;
    uint64_t next_ = 1;
};

} // namespace kv::platform

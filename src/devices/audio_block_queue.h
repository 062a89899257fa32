#pragma once
// The blocks queued on one sound-card output, played frame by frame by the output's clock.
// Shared by the output backends (real card, silent, capture).
#include <array>
#include <cstdint>
#include <mutex>

#include "devices/audio_out.h"

namespace kv {

class AudioBlockQueue {
  public:
    static constexpr int kCapacity = 1024; // blocks

    /// Appends a block of `frameCount` stereo frames (memory stays the caller's until reported).
    /// False when the queue is full. Any thread.
    bool push(const int16_t* frames, int frameCount, uint32_t blockId);
    /// Plays `frameCount` frames into `out` (interleaved stereo): queued audio first, silence
    /// after it. Each block whose last frame is taken is reported to `listener` at once. Returns
    /// the number of frames that came from queued blocks. The output's clock thread.
    int play(int16_t* out, int frameCount, platform::AudioOutListener& listener);
    /// Forgets every queued block without reporting it. Any thread.
    void clear();
    /// Blocks waiting or playing.
    int size() const;

  private:
    struct Entry {
        const int16_t* frames = nullptr;
        int frameCount = 0;
        uint32_t blockId = 0;
    };
    mutable std::mutex mutex_;
    std::array<Entry, kCapacity> entries_{};
    int head_ = 0;
    int count_ = 0;
    int played_ = 0; // frames of the head block already played
};

} // namespace kv

#include "devices/audio_block_queue.h"

#include <algorithm>
#include <cstring>

namespace kv {

bool AudioBlockQueue::push(const int16_t* frames, int frameCount, uint32_t blockId) {
    if (frameCount < 0 || (frameCount > 0 && frames == nullptr)) return false;
    std::lock_guard lock(mutex_);
    if (count_ == kCapacity) return false;
    entries_[(head_ + count_) % kCapacity] = Entry{frames, frameCount, blockId};
    ++count_;
    return true;
}

int AudioBlockQueue::play(int16_t* out, int frameCount, platform::AudioOutListener& listener) {
    std::lock_guard lock(mutex_);
    int filled = 0;
    for (;;) {
        // Report every block that has been played to its end (also empty blocks).
        while (count_ > 0 && played_ >= entries_[head_].frameCount) {
            listener.blockDone(entries_[head_].blockId);
            head_ = (head_ + 1) % kCapacity;
            --count_;
            played_ = 0;
        }
        if (filled == frameCount || count_ == 0) break;
        const Entry& e = entries_[head_];
        const int take = std::min(frameCount - filled, e.frameCount - played_);
        std::memcpy(out + 2 * filled, e.frames + 2 * played_,
                    sizeof(int16_t) * 2 * static_cast<std::size_t>(take));
        filled += take;
        played_ += take;
    }
    if (filled < frameCount)
        std::memset(out + 2 * filled, 0,
                    sizeof(int16_t) * 2 * static_cast<std::size_t>(frameCount - filled));
    return filled;
}

void AudioBlockQueue::clear() {
    std::lock_guard lock(mutex_);
    head_ = 0;
    count_ = 0;
    played_ = 0;
}

int AudioBlockQueue::size() const {
    std::lock_guard lock(mutex_);
    return count_;
}

} // namespace kv

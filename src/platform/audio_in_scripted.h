#pragma once
// A sound-card input without hardware, for the headless tool and tests: `deviceCount` numbered
// inputs plus the default input (−1), each playing the samples it was given (then silence). The
// caller's clock drives it: `advance` fills the queued blocks of every started input with that many
// samples and reports each block when it is full. Any thread.
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "devices/audio_in.h"

namespace kv::platform {

class ScriptedAudioIn final : public AudioIn {
  public:
    explicit ScriptedAudioIn(int deviceCount = 16) : count_(deviceCount) {}

    /// From now on input `device` delivers `samples` (mono, 48000 per second), then silence.
    void setSource(int device, std::vector<int16_t> samples) {
        std::lock_guard lock(mutex_);
        sources_[device] = Source{std::move(samples), 0};
    }
    /// Inputs another program holds (open reports Busy) or that fail to open (tests).
    void setBusy(int device, bool busy) { mark(busy_, device, busy); }
    void setFailing(int device, bool failing) { mark(failing_, device, failing); }

    /// Records `sampleCount` samples on every started input.
    void advance(int sampleCount) {
        std::lock_guard lock(mutex_);
        for (auto& [h, input] : inputs_) {
            if (!input.started) continue;
            Source& source = sources_[input.device];
            for (int i = 0; i < sampleCount && !input.queue.empty(); ++i) {
                Block& b = input.queue.front();
                b.samples[input.filled++] =
                    source.position < source.samples.size() ? source.samples[source.position++] : 0;
                if (input.filled == b.count) {
                    const uint32_t id = b.id;
                    input.queue.erase(input.queue.begin());
                    input.filled = 0;
                    input.listener->blockFilled(id);
                }
            }
        }
    }

    int opens() const {
        std::lock_guard lock(mutex_);
        return opens_;
    }

    int deviceCount() override { return count_; }
    std::optional<std::string> deviceName(int device) override {
        if (device == kDefaultDevice) return std::string("Scripted default input");
        if (device < 0 || device >= count_) return std::nullopt;
        return "Scripted input " + std::to_string(device);
    }
    Handle open(int device, AudioInListener& listener, OpenError& error) override {
        std::lock_guard lock(mutex_);
        ++opens_;
        error = OpenError::None;
        if (busy_.count(device)) {
            error = OpenError::Busy;
            return kNoHandle;
        }
        if (device < kDefaultDevice || device >= count_ || failing_.count(device)) {
            error = OpenError::Failed;
            return kNoHandle;
        }
        const Handle h = next_++;
        inputs_[h].device = device;
        inputs_[h].listener = &listener;
        return h;
    }
    bool add(Handle handle, int16_t* samples, int sampleCount, uint32_t blockId) override {
        std::lock_guard lock(mutex_);
        auto it = inputs_.find(handle);
        if (it == inputs_.end() || sampleCount <= 0) return false;
        it->second.queue.push_back({samples, sampleCount, blockId});
        return true;
    }
    void start(Handle handle) override {
        std::lock_guard lock(mutex_);
        auto it = inputs_.find(handle);
        if (it != inputs_.end()) it->second.started = true;
    }
    void reset(Handle handle) override {
        std::lock_guard lock(mutex_);
        auto it = inputs_.find(handle);
        if (it == inputs_.end()) return;
        it->second.started = false;
        it->second.queue.clear();
        it->second.filled = 0;
    }
    void close(Handle handle) override {
        std::lock_guard lock(mutex_);
        inputs_.erase(handle);
    }

  private:
    struct Block {
        int16_t* samples;
        int count;
        uint32_t id;
    };
    struct Input {
        int device = 0;
        AudioInListener* listener = nullptr;
        bool started = false;
        std::vector<Block> queue;
        int filled = 0; // samples already in the front block
    };
    struct Source {
        std::vector<int16_t> samples;
        std::size_t position = 0;
    };
    void mark(std::set<int>& set, int device, bool on) {
        std::lock_guard lock(mutex_);
        if (on)
            set.insert(device);
        else
            set.erase(device);
    }

    const int count_;
    mutable std::mutex mutex_;
    std::map<Handle, Input> inputs_;
    std::map<int, Source> sources_;
    std::set<int> busy_, failing_;
    Handle next_ = 1;
    int opens_ = 0;
};

} // namespace kv::platform

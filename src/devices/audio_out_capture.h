#pragma once
// An output backend that records what each device plays, on a simulated clock: nothing plays
// until advance() says how many frames of time have passed. Used by the headless tool and tests.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "devices/audio_block_queue.h"
#include "devices/audio_out.h"

namespace kv {

class CaptureAudioOut : public platform::AudioOut {
  public:
    /// `devices` numbered devices besides the default output (−1), which is a device of its own.
    explicit CaptureAudioOut(int devices = 1);
    ~CaptureAudioOut() override;

    int deviceCount() override;
    std::optional<std::string> deviceName(int device) override;
    Handle open(int device, platform::AudioOutListener& listener) override;
    bool queue(Handle handle, const int16_t* frames, int frameCount, uint32_t blockId) override;
    void reset(Handle handle) override;
    void close(Handle handle) override;

    /// Lets `frames` frames of simulated time pass (48000 per second): every open device plays
    /// that many frames from its queue (silence when it runs dry), appended to its recording, and
    /// reports the blocks it finished, on the calling thread. Devices recorded before but closed
    /// now record silence, so every recording stays on the same timeline.
    void advance(int64_t frames);
    /// Frames of simulated time since construction.
    int64_t clock() const;

    /// Everything device `device` played as interleaved stereo, from time 0 (silence before it was
    /// first opened). Empty for a device never opened or while a sink is set.
    std::vector<int16_t> recording(int device) const;
    /// Played frames go to `sink` instead of the recordings (device, frames, frame count); called
    /// by advance(). Empty restores recording.
    void setSink(std::function<void(int, const int16_t*, int64_t)> sink);
    /// Devices open now.
    int openCount() const;
    /// Blocks queued on the open device `device` (0 when not open).
    int queuedBlocks(int device) const;
    /// While set, every open() fails (a busy or missing card).
    void setOpenFailure(bool fail);

  private:
    struct Stream {
        Handle handle = kNoHandle;
        int device = 0;
        platform::AudioOutListener* listener = nullptr;
        AudioBlockQueue queue;
    };
    struct Track {
        std::vector<int16_t> frames; // recording (interleaved stereo)
        int64_t length = 0;          // frames recorded (also while a sink takes them)
    };
    Stream* findLocked(Handle handle) const;
    void appendLocked(int device, Track& track, const int16_t* frames, int64_t count);

    const int devices_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::map<int, Track> tracks_;
    std::function<void(int, const int16_t*, int64_t)> sink_;
    int64_t clock_ = 0;
    Handle nextHandle_ = 1;
    bool openFailure_ = false;
};

} // namespace kv

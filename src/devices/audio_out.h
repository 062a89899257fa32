#pragma once
// Sound-card output as the device layer sees it: numbered devices that play queued blocks of
// 16-bit stereo frames at 48000 frames per second and report each block when it has been played.
// Core code includes this header, so it uses the standard library only.
#include <cstdint>
#include <optional>
#include <string>

namespace kv::platform {

/// Receives the report that a queued block has been played. Called on the backend's own thread
/// (a sound-card callback, a timer thread, or the caller of a simulated clock); it must be quick
/// and must not call back into the backend.
class AudioOutListener {
  public:
    virtual ~AudioOutListener() = default;
    virtual void blockDone(uint32_t blockId) noexcept = 0;
};

/// A sound-card output service. Frames are interleaved left/right signed 16-bit, 48000 per second.
/// Device numbers run 0..deviceCount()−1 in the backend's order; −1 is the system's default
/// output. Every function may be called from any thread; calls for one handle are not made
/// concurrently.
class AudioOut {
  public:
    using Handle = uint64_t;
    static constexpr Handle kNoHandle = 0; // open failed; a backend never reuses a handle value
    static constexpr int kDefaultDevice = -1;
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;

    virtual ~AudioOut() = default;

    /// Number of output devices.
    virtual int deviceCount() = 0;
    /// Product name of device `device` (−1 = the default output); nothing when it cannot be read.
    virtual std::optional<std::string> deviceName(int device) = 0;

    /// Opens device `device` (−1 = default) and starts it playing silence. `listener` receives the
    /// done reports for this handle and must outlive it (until close returns). kNoHandle on
    /// failure.
    virtual Handle open(int device, AudioOutListener& listener) = 0;
    /// Queues `frameCount` frames at `frames` behind the blocks already queued. The memory stays
    /// owned by the caller and must stay unchanged until the block is reported done or the handle
    /// is reset. `blockId` is passed back in the done report. False if the block was not queued.
    virtual bool queue(Handle handle, const int16_t* frames, int frameCount, uint32_t blockId) = 0;
    /// Stops playing the queued blocks and forgets them; they are not reported. The device keeps
    /// playing silence until blocks are queued again or it is closed.
    virtual void reset(Handle handle) = 0;
    /// Releases the device. No report for this handle is made after close returns.
    virtual void close(Handle handle) = 0;
};

} // namespace kv::platform

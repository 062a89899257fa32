#pragma once
// Sound-card input as the device layer sees it: numbered devices that fill queued blocks with
// mono signed 16-bit samples at 48000 per second and report each block when it is full. Core code
// includes this header, so it uses the standard library only.
#include <cstdint>
#include <optional>
#include <string>

namespace kv::platform {

/// Receives the report that a queued block has been filled. Called on the backend's own thread;
/// it must be quick and must not call back into the backend.
class AudioInListener {
  public:
    virtual ~AudioInListener() = default;
    virtual void blockFilled(uint32_t blockId) noexcept = 0;
};

/// A sound-card input service. Device numbers run 0..deviceCount()−1 in the backend's order; −1
/// is the system's default input. Every function may be called from any thread; calls for one
/// handle are not made concurrently.
class AudioIn {
  public:
    using Handle = uint64_t;
    static constexpr Handle kNoHandle = 0;
    static constexpr int kDefaultDevice = -1;
    static constexpr int kSampleRate = 48000;

    enum class OpenError { None, Busy, Failed };

    virtual ~AudioIn() = default;

    virtual int deviceCount() = 0;
    /// Product name of device `device` (−1 = the default input); nothing when it cannot be read.
    virtual std::optional<std::string> deviceName(int device) = 0;
    /// Opens device `device` (−1 = default), not yet recording. On failure kNoHandle, and
    /// `error` says whether another program holds the device (Busy).
    virtual Handle open(int device, AudioInListener& listener, OpenError& error) = 0;
    /// Queues a block of `sampleCount` samples at `samples` to be filled after the blocks already
    /// queued. The memory stays owned by the caller, untouched by it until the block is reported
    /// or the handle is reset. False if the block was not queued.
    virtual bool add(Handle handle, int16_t* samples, int sampleCount, uint32_t blockId) = 0;
    /// Starts filling the queued blocks.
    virtual void start(Handle handle) = 0;
    /// Stops recording and forgets the queued blocks without reporting them.
    virtual void reset(Handle handle) = 0;
    /// Releases the device. No report for this handle is made after close returns.
    virtual void close(Handle handle) = 0;
};

} // namespace kv::platform

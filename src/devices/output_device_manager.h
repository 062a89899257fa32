#pragma once
// The open sound-card outputs. A device is opened by the first write that names it and closed at
// the end of the first cycle without a write. Each open device has a ring of 1024 blocks of 192
// frames (16-bit stereo, 48000 per second), a feeder thread that queues finished blocks to the
// card while no cycle is open, and done reports from the card that measure the queued latency.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/output_buses.h"
#include "devices/output_device_id.h"
#include "engine/io.h"
#include "platform/audio_out.h"

namespace kv {

/// One entry of a module window's output list.
struct DeviceListEntry {
    std::string text;
    int value = kNoDevice;
    bool selected = false;
};

/// The output list of a module window: an empty entry (−555), the default output, then every
/// device whose name can be read. Per-channel form: "name - (L+R)", "name - (L)", "name - (R)";
/// whole-device form: the bare name. The entry whose value is `selected` is marked.
std::vector<DeviceListEntry> fillOutputDeviceList(platform::AudioOut& out, int selected,
                                                  bool wholeDevice);

/// Engine value × 32 (already scaled) to a 16-bit sample: values beyond ±26213.6 are bent
/// softly, the result truncated toward zero and held within the 16-bit range.
int16_t softClip(double x);

/// Receives every block just before it is queued to its device: interleaved 16-bit stereo bytes,
/// their length, and the device number. Called on a feeder thread with the manager's lock held.
using OutputTap = std::function<void(const uint8_t* bytes, std::size_t byteLength, int device)>;

class OutputDeviceManager : public ChunkWriter {
  public:
    static constexpr int kRingBlocks = 1024;
    static constexpr int kBlockFrames = 192;
    static constexpr int kBytesPerFrame = 4;

    /// Threads: one feeder thread per open device polls every 1 ms. Manual: no feeder threads;
    /// the caller runs feedPending() (for a simulated clock, deterministic).
    enum class Feeding { Threads, Manual };

    explicit OutputDeviceManager(platform::AudioOut& out, Feeding feeding = Feeding::Threads);
    ~OutputDeviceManager() override;
    OutputDeviceManager(const OutputDeviceManager&) = delete;
    OutputDeviceManager& operator=(const OutputDeviceManager&) = delete;

    /// Installs the wave-writer tap (empty to remove). Any thread.
    void setTap(OutputTap tap);
    /// Runs first on every new feeder thread (to raise its priority). Set before use.
    void setFeederStart(std::function<void()> start);

    /// Engine thread, each cycle: opens the cycle; every device's write count back to 0.
    void beginCycle();
    /// Engine thread: adds `chunk` (engine units) to the current block of the device and channels
    /// that output device ID `code` names, opening the device if needed; the first write of a
    /// cycle starts a new block and sets its length. Stores the device's queued latency (blocks)
    /// in `queuedLatency` when given. False when no cycle is open, the device cannot be opened or
    /// its ring is full (the chunk is dropped).
    bool write(int code, const SampleChunk& chunk, int64_t* queuedLatency) override;
    /// Engine thread: what the device of `code` received in this cycle, full scale ±1.0 (both
    /// channels averaged for an L+R code). Never opens a device; false when no cycle is open or
    /// the device is not open.
    bool readBack(int code, SampleChunk& out);
    /// Engine thread, each cycle: closes every device not written in this cycle; ends the cycle.
    void endCycle();
    /// Closes every device and waits for their feeder threads. Engine thread at its exit, or any
    /// thread while the engine is stopped.
    void closeAll();
    /// Manual feeding: queues every finished block of every open device, as a feeder would.
    void feedPending();

    /// The output list of a module window (see fillOutputDeviceList). User-interface thread.
    std::vector<DeviceListEntry> deviceList(int selected, bool wholeDevice) const;

    /// Open devices, in order of opening (device numbers). Any thread.
    std::vector<int> openDevices() const;
    /// Feeder threads that have not ended yet. Any thread.
    int runningFeeders() const;

  private:
    struct Device;
    struct Feeder;

    Device* find(int device) const;
    Device* findByHandle(platform::AudioOut::Handle handle) const;
    Device* open(int device);
    void close(std::size_t index);
    void feed(Device& device);
    void feederLoop(platform::AudioOut::Handle handle, Feeder* feeder);
    void joinFinishedFeeders(bool all);

    platform::AudioOut& out_;
    const Feeding feeding_;
    mutable std::mutex mutex_; // guards everything below
    bool cycleOpen_ = false;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Feeder>> retired_; // feeders of closed devices, until joined
    OutputTap tap_;
    std::function<void()> feederStart_;
};

} // namespace kv

#pragma once
// The open sound-card outputs. A device is asked for by the first write that names it and given up
// at the end of the first cycle without a write; a service thread opens and closes it, so that the
// engine cycle never waits for the sound system, a thread or a large allocation. Each open device
// has a ring of 1024 blocks of 192 frames (16-bit stereo, 48000 per second), a feeder thread that
// queues the blocks of finished cycles to the card, and done reports from the card that measure
// the queued latency. The engine, the service and the feeders share no lock.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/audio_out.h"
#include "devices/input_device_service.h"
#include "devices/open_on_use.h"
#include "devices/output_buses.h"
#include "engine/io.h"
#include "modules/output_device_id.h"

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
/// their length, and the device number. Called on a feeder thread (or the manual feeder).
using OutputTap = std::function<void(const uint8_t* bytes, std::size_t byteLength, int device)>;

class OutputDeviceManager : public ChunkWriter {
  public:
    static constexpr int kRingBlocks = 1024;
    static constexpr int kBlockFrames = 192;
    static constexpr int kBytesPerFrame = 4;
    /// Device numbers −1 (default output) up to kDeviceSlots − 2 can be opened.
    static constexpr int kDeviceSlots = 128;

    /// Threads: a service thread opens and closes devices outside the engine cycle, and one
    /// feeder thread per open device polls every 1 ms. Manual: no threads; devices open inside
    /// the write that names them and close at the end of the cycle, and the caller runs
    /// feedPending() (a simulated clock, which has no deadline; deterministic).
    enum class Feeding { Threads, Manual };

    explicit OutputDeviceManager(platform::AudioOut& out, Feeding feeding = Feeding::Threads);
    ~OutputDeviceManager() override;
    OutputDeviceManager(const OutputDeviceManager&) = delete;
    OutputDeviceManager& operator=(const OutputDeviceManager&) = delete;

    /// Installs the wave-writer tap (empty to remove; no tap call is made after this returns).
    /// Any thread.
    void setTap(OutputTap tap);
    /// Runs first on every new feeder thread (to raise its priority). Set before use.
    void setFeederStart(std::function<void()> start);

    /// Engine thread, each cycle: opens the cycle; every device's write count back to 0.
    void beginCycle();
    /// Engine thread: adds `chunk` (engine units) to the current block of the device and channels
    /// that output device ID `code` names; the first write of a cycle starts a new block and sets
    /// its length. A device not open yet is asked for (the service thread opens it) and counts
    /// as one that could not be opened in this cycle. Stores the device's queued latency (blocks)
    /// in `queuedLatency` when given. False when no cycle is open, the device is not open or its
    /// ring is full (the chunk is dropped). Never waits, allocates or locks.
    bool write(int code, const SampleChunk& chunk, int64_t* queuedLatency) override;
    /// Engine thread: what the device of `code` received in this cycle, full scale ±1.0 (both
    /// channels averaged for an L+R code). Never opens a device; false when no cycle is open or
    /// the device is not open.
    bool readBack(int code, SampleChunk& out);
    /// Engine thread, each cycle: hands every device not written in this cycle to the service
    /// thread for closing, and gives up asking for devices no longer named; ends the cycle. The
    /// blocks of this cycle become visible to the feeders.
    void endCycle();
    /// Closes every device and waits for their feeder threads. Engine thread at its exit, or any
    /// thread while the engine is stopped.
    void closeAll();
    /// Manual feeding: queues every finished block of every open device, as a feeder would.
    void feedPending();

    /// The output list of a module window (see fillOutputDeviceList). User-interface thread.
    std::vector<DeviceListEntry> deviceList(int selected, bool wholeDevice) const;

    /// Devices open at the sound system, in order of opening (device numbers). Any thread.
    std::vector<int> openDevices() const;
    /// Feeder threads that have not ended yet (one for each open device while feeding with
    /// threads). Any thread.
    int runningFeeders() const;

  private:
    struct Device;

    Device* take(int device); // counts a write to `device`: the device once open, else null
    // Service side (the service thread, closeAll, or the engine thread in manual mode).
    void serviceWork();
    std::unique_ptr<Device> openDevice(int number); // with its feeder; null on failure
    void closeDevice(Device& d);                    // stops its feeder and closes the device
    // Feeder side.
    void feed(Device& d);
    void feederLoop(Device* d, std::function<void()> start);

    platform::AudioOut& out_;
    const Feeding feeding_;
    OpenOnUse<Device> open_;  // a device's `uses` are its writes in this cycle
    std::mutex serviceMutex_; // held for one service pass, by closeAll and setFeederStart
    std::function<void()> feederStart_;
    std::mutex tapMutex_; // feeders hold it while queueing, so that setTap(nullptr) is final
    OutputTap tap_;
    InputDeviceService service_; // last: its thread stops before the members above go
};

} // namespace kv

#pragma once
// The open sound-card inputs (mono, 16-bit, 48000 samples per second). A device is opened when an
// audio-input module names it and closed at the end of the first cycle in which none did. Each
// open device has a ring of 1024 blocks of 96 samples (2 ms each, about 2 s in all) that the card
// fills in turn, a feeder thread that hands filled blocks back to the card, and a count of the
// blocks filled since opening, from which each module reads with its own cursor. A service thread
// opens and closes devices; the engine, the service and the feeders share no lock.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/audio_in.h"
#include "devices/input_device_service.h"
#include "devices/open_on_use.h"
#include "devices/output_device_manager.h"

namespace kv {

class WaveInputManager {
  public:
    static constexpr int kRingBlocks = 1024;
    static constexpr int kBlockSamples = 96;
    /// Blocks visited by the feeder per turn.
    static constexpr int kFeedStride = 64;

    /// Threads: a service thread opens and closes devices and a feeder thread per device polls
    /// every 1 ms. Manual: the caller runs service() and feedPending() (a simulated clock).
    enum class Servicing { Thread, Manual };

    explicit WaveInputManager(platform::AudioIn& in, Servicing servicing = Servicing::Thread);
    ~WaveInputManager();
    WaveInputManager(const WaveInputManager&) = delete;
    WaveInputManager& operator=(const WaveInputManager&) = delete;

    /// Receives the "already in use" text when another program holds a device being opened.
    /// Called on the service thread (or the manual caller); a user interface may block there
    /// until the user has read it. Set before use.
    void setMessageSink(std::function<void(const std::string&)> sink);
    /// Runs first on every new feeder thread (to raise its priority). Set before use.
    void setFeederStart(std::function<void()> start);

    /// Device numbers −1 (default input) up to kDeviceSlots − 2 can be opened.
    static constexpr int kDeviceSlots = 128;

    // --- Engine thread, at the end of a cycle (never waits, allocates or locks) ------------------
    void beginCycle();
    /// Counts a use of `device` (−1 = default input). A device not open yet is asked for and
    /// counts as one that failed to open this cycle: false. False also when no cycle is open.
    bool use(int device);
    void endCycle();
    /// Closes every device. Engine thread at its exit, or any thread while the engine is stopped.
    void closeAll();

    /// Reads the unread audio of `device` behind the module's `cursor` (blocks read so far, owned
    /// by the module). Fewer than `desiredLatencyMs` ms unread: false. Otherwise consumes up to
    /// two blocks and gives the first unread block in `newer` and the one before it in `older`.
    /// A cursor more than a ring behind, or ahead, first jumps to the device's count. Opens the
    /// cycle, so that feedPending waits for endCycle.
    bool read(int device, uint64_t& cursor, int16_t newer[kBlockSamples],
              int16_t older[kBlockSamples], int desiredLatencyMs);

    /// Manual servicing: opens and closes devices now; queues filled blocks as a feeder would
    /// (not while a cycle is open).
    void service();
    void feedPending();

    /// The input list of a module window: "" (−555, never marked), the default input (−1), then
    /// every device whose name can be read; the entry whose value is `selected` is marked.
    std::vector<DeviceListEntry> deviceList(int selected) const;
    /// Open devices in order of opening. Any thread.
    std::vector<int> openDevices() const;
    /// Blocks device `device` has filled since opening; 0 when not open. Any thread.
    uint64_t completedCount(int device) const;

  private:
    struct Device;
    void feed(Device& d);
    void feederLoop(Device* d, std::function<void()> start);
    void serviceWork(bool onlyIfAsked);
    std::unique_ptr<Device> openDevice(int number, int& busy);
    void closeDevice(Device& d);

    platform::AudioIn& in_;
    const bool threaded_;
    OpenOnUse<Device> open_;
    std::mutex serviceMutex_; // held for one service pass, by closeAll and the setters
    std::function<void(const std::string&)> messageSink_;
    std::function<void()> feederStart_;
    InputDeviceService service_; // last: its thread stops before the members above go
};

} // namespace kv

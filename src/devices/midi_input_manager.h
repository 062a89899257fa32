#pragma once
// The open MIDI inputs. A device is opened when a module names it (the engine's Use) and closed at
// the end of the first cycle in which no module named it. The backend's callback keeps, per open
// device, the velocity of every held note of the 16 channels and the last value of every
// controller-like message; the engine reads both tables at control samples. A service thread
// opens and closes devices; the engine and the service share no lock.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "devices/input_device_service.h"
#include "devices/midi_in.h"
#include "devices/open_on_use.h"
#include "devices/output_device_manager.h"

namespace kv {

/// What one open MIDI input has received. Written by the backend's thread without a lock, read
/// by the engine (relaxed atomics: a reader may see a table mid-update).
struct MidiInputTables {
    static constexpr int kNotes = 16 * 128;
    static constexpr int kControllers = 65536;

    MidiInputTables();
    /// Zeroes both tables; last controller index −1.
    void clear();
    /// Backend thread: one short message. Notes: off clears, on stores the velocity (0 ends the
    /// note too). Controllers, index status × 128 + data1 (or status × 128 for program change,
    /// channel pressure and pitch bend), value 0..127: note off/on, key pressure and control
    /// change store data2; program change and channel pressure data1; pitch bend data2 (its most
    /// significant byte). System messages (0xF0 and above) are ignored.
    void apply(uint8_t status, uint8_t data1, uint8_t data2);

    std::array<std::atomic<uint8_t>, kNotes> notes; // [channel × 128 + key] = velocity, 0 = off
    std::unique_ptr<std::atomic<float>[]> controllers;
    std::atomic<int32_t> lastControllerIndex{-1};
};

class MidiInputManager {
  public:
    /// Threads: a service thread opens and closes devices. Manual: the caller runs service().
    enum class Servicing { Thread, Manual };

    explicit MidiInputManager(platform::MidiIn& in, Servicing servicing = Servicing::Thread);
    ~MidiInputManager();
    MidiInputManager(const MidiInputManager&) = delete;
    MidiInputManager& operator=(const MidiInputManager&) = delete;

    /// Device numbers 0 up to kDeviceSlots − 1 can be opened.
    static constexpr int kDeviceSlots = 128;

    // --- Engine thread, at the end of a cycle (never waits, allocates or locks) ------------------
    /// Opens the cycle; every device's use count back to 0.
    void beginCycle();
    /// Counts a use of `device` (0, 1, ...). A device not open yet is asked for and counts as one
    /// that failed to open this cycle: false. False also when no cycle is open.
    bool use(int device);
    /// Closes every device not used in this cycle; ends the cycle.
    void endCycle();
    /// Closes every device (engine stop, shutdown). Engine thread at its exit, or any thread while
    /// the engine is stopped.
    void closeAll();

    // --- Engine thread, at control samples (never waits, allocates or locks) ---------------------
    /// Copies the device's note table (16 × 128 velocities); false when the device is not open.
    bool copyNotes(int device, uint8_t out[MidiInputTables::kNotes]);
    /// The last value (0..127) of controller index `index` mod 65536; 0 when the device is not
    /// open.
    float getController(int device, int index);
    /// The controller index written last, −1 when none or the device is not open.
    int getLastControllerIndex(int device);

    // --- Holding messages for a gesture tape ---------------------------------------------------
    /// While deferred, the messages a device receives wait (in arrival order, up to kHeld per
    /// device; beyond that they apply at once) until the engine applies them with applyHeld at a
    /// control sample, so that the moment each took effect is an exact sample. Any thread.
    void setDeferred(bool deferred) { deferred_.store(deferred, std::memory_order_relaxed); }
    bool deferred() const { return deferred_.load(std::memory_order_relaxed); }
    static constexpr int kHeld = 1024;
    /// Receives each message applied by applyHeld. Engine thread.
    using HeldSink = void (*)(void* context, int device, uint8_t status, uint8_t data1,
                              uint8_t data2);
    /// Applies the held messages of every open device and passes each to `sink` (may be null).
    /// Engine thread.
    void applyHeld(HeldSink sink, void* context);

    /// Applies a message to device `device` as if it had arrived there (a gesture tape
    /// replaying); false when the device is not open. Engine thread.
    bool inject(int device, uint8_t status, uint8_t data1, uint8_t data2);

    /// Manual servicing: opens the devices asked for and closes the ones given up, now.
    void service();
    /// Opens `devices` now, so that the engine reads them from its first control sample on (a
    /// gesture tape's take starts so, live and offline alike; a device opened by the service
    /// thread would appear after a delay that no tape records). A device that cannot be opened
    /// is asked for again by the engine's next cycle. Engine stopped, before it starts.
    void openBeforeStart(std::span<const int> devices);

    /// The device list of a module window: "" (−555), then every port whose name can be read;
    /// the entry whose value is `selected` is marked. User-interface thread.
    std::vector<DeviceListEntry> deviceList(int selected) const;
    /// Open devices in order of opening. Any thread.
    std::vector<int> openDevices() const;

  private:
    struct Device;
    void serviceWork(bool onlyIfAsked);

    platform::MidiIn& in_;
    std::atomic<bool> deferred_{false};
    OpenOnUse<Device> open_;
    std::mutex serviceMutex_;    // held for one service pass and by closeAll
    InputDeviceService service_; // last: its thread stops before the members above go
};

} // namespace kv

#pragma once
// MIDI input as the device layer sees it: numbered input ports that deliver short messages
// (status byte and up to two data bytes) once started. Core code includes this header, so it uses
// the standard library only.
#include <cstdint>
#include <optional>
#include <string>

namespace kv::platform {

/// Receives the messages of one open port. Called on the backend's own thread; it must be quick
/// and must not call back into the backend.
class MidiInListener {
  public:
    virtual ~MidiInListener() = default;
    /// One short message; bytes a message does not have are 0.
    virtual void midiMessage(uint8_t status, uint8_t data1, uint8_t data2) noexcept = 0;
};

/// A MIDI input service. Ports are numbered 0..deviceCount()−1 in the backend's order. Every
/// function may be called from any thread; calls for one handle are not made concurrently.
class MidiIn {
  public:
    using Handle = uint64_t;
    static constexpr Handle kNoHandle = 0; // open failed; a backend never reuses a handle value

    virtual ~MidiIn() = default;

    virtual int deviceCount() = 0;
    /// Name of port `device`; nothing when it cannot be read.
    virtual std::optional<std::string> deviceName(int device) = 0;
    /// Opens port `device`; messages reach `listener` (which must outlive the handle) only after
    /// start. kNoHandle on failure.
    virtual Handle open(int device, MidiInListener& listener) = 0;
    virtual void start(Handle handle) = 0;
    /// Stops delivery and releases the port. No message for this handle arrives after close
    /// returns.
    virtual void close(Handle handle) = 0;
};

} // namespace kv::platform

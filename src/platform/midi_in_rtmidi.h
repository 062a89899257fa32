#pragma once
// MIDI input through RtMidi over the ALSA sequencer and JACK. Ports are numbered across both:
// the ALSA ports first, then the JACK ports, of whichever system is there. With neither there are
// no ports, and nothing is said or retried.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "devices/midi_in.h"

namespace kv::platform {

struct RtMidiInputOptions {
    std::string clientName = "kalvitrope"; // ALSA sequencer / JACK client name
};

class RtMidiInput final : public MidiIn {
  public:
    /// `api` as for sound output: "auto" and "pulse" use ALSA and JACK, "alsa" or "jack" that one
    /// alone, "null" none.
    explicit RtMidiInput(std::string_view api = "auto", RtMidiInputOptions options = {});
    ~RtMidiInput() override;

    int deviceCount() override;
    std::optional<std::string> deviceName(int device) override;
    Handle open(int device, MidiInListener& listener) override;
    void start(Handle handle) override;
    void close(Handle handle) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kv::platform

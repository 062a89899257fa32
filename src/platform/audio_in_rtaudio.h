#pragma once
// Sound-card input through RtAudio: JACK, PulseAudio or ALSA, whichever this build has. Devices
// are RtAudio's devices that have input channels, in RtAudio's order; −1 is RtAudio's default
// input. Each open device is one mono 16-bit input stream at 48000 samples per second whose
// callback fills the queued blocks in turn.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "devices/audio_in.h"

namespace kv::platform {

struct RtAudioInOptions {
    std::string streamName = "kalvitrope-in"; // JACK client name
    bool dontConnect = false;                 // JACK: leave the input port unconnected
    /// Receives the backend's few messages (no sound system, an unknown API name). Default:
    /// standard error.
    std::function<void(const std::string&)> onMessage;
};

class RtAudioIn : public AudioIn {
  public:
    /// `api`: "auto" (the first API with at least one input device), "jack", "pulse" or "alsa";
    /// "null" (or no usable API): no devices.
    explicit RtAudioIn(std::string_view api = "auto", RtAudioInOptions options = {});
    ~RtAudioIn() override;

    /// The API in use ("jack", "pulse", "alsa"), or empty when there is none.
    std::string apiName() const;

    int deviceCount() override;
    std::optional<std::string> deviceName(int device) override;
    Handle open(int device, AudioInListener& listener, OpenError& error) override;
    bool add(Handle handle, int16_t* samples, int sampleCount, uint32_t blockId) override;
    void start(Handle handle) override;
    void reset(Handle handle) override;
    void close(Handle handle) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kv::platform

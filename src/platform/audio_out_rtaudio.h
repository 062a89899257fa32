#pragma once
// Sound-card output through RtAudio: JACK, PulseAudio or ALSA, whichever this build has. Devices
// are RtAudio's devices that have output channels, in RtAudio's order; −1 is RtAudio's default
// output. Each open device is one output stream whose callback plays the queued blocks.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "devices/audio_out.h"

namespace kv::platform {

struct RtAudioOutOptions {
    std::string streamName = "kalvitrope"; // JACK client name
    bool dontConnect = false;              // JACK: leave the output ports unconnected
    /// Receives the backend's few messages (no sound system, an unknown API name). Default:
    /// standard error.
    std::function<void(const std::string&)> onMessage;
};

class RtAudioOut : public AudioOut {
  public:
    /// `api`: "auto" (the first API with at least one output device), "jack", "pulse" or "alsa".
    /// With no usable API the backend has no devices and says so once.
    explicit RtAudioOut(std::string_view api = "auto", RtAudioOutOptions options = {});
    ~RtAudioOut() override;

    /// The API in use ("jack", "pulse", "alsa"), or empty when there is none.
    std::string apiName() const;

    int deviceCount() override;
    std::optional<std::string> deviceName(int device) override;
    Handle open(int device, AudioOutListener& listener) override;
    bool queue(Handle handle, const int16_t* frames, int frameCount, uint32_t blockId) override;
    void reset(Handle handle) override;
    void close(Handle handle) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// The output backend for a `Preferences.AudioApi` value: "null" gives the silent backend, any
/// other value ("auto", "jack", "pulse", "alsa") the RtAudio backend.
std::unique_ptr<AudioOut> makeAudioOut(std::string_view api, RtAudioOutOptions options = {});

} // namespace kv::platform

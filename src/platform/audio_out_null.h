#pragma once
// An output backend without a sound card: each open device consumes its queued blocks in real
// time (48000 frames per second) and reports them, so the engine runs as it would on a card.
#include <memory>
#include <mutex>
#include <vector>

#include "devices/audio_out.h"

namespace kv::platform {

class NullAudioOut : public AudioOut {
  public:
    NullAudioOut();
    ~NullAudioOut() override;

    int deviceCount() override;
    std::optional<std::string> deviceName(int device) override;
    Handle open(int device, AudioOutListener& listener) override;
    bool queue(Handle handle, const int16_t* frames, int frameCount, uint32_t blockId) override;
    void reset(Handle handle) override;
    void close(Handle handle) override;

  private:
    struct Stream;
    std::shared_ptr<Stream> find(Handle handle);

    std::mutex mutex_;
    std::vector<std::shared_ptr<Stream>> streams_;
    Handle nextHandle_ = 1;
};

} // namespace kv::platform

#pragma once
// What the RtAudio input and output backends share: choosing the audio API, the list of devices
// of one direction (re-read at most once a second), and opening and closing one 16-bit stream at
// 48000 samples per second. Only built with RtAudio.
#ifdef KV_HAVE_RTAUDIO
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <RtAudio.h>

#include "platform/backend_handles.h"

namespace kv::platform {

enum class RtDirection { Output, Input };

/// RtAudio's devices with channels of one direction, in RtAudio's order, under the chosen API.
/// Not locked: the backend holds its own mutex around every call.
class RtAudioDevices {
  public:
    struct Entry {
        unsigned rtIndex = 0;
        std::string name;
        unsigned channels = 0; // of this direction
    };
    static constexpr int kDefaultDevice = -1; // the API's default device of this direction
    /// How `choose` found its API.
    enum class Choice { Named, Automatic, None };

    explicit RtAudioDevices(RtDirection direction) : direction_(direction) {}

    /// `requested`: "auto" or empty picks the first compiled-in API with at least one device of
    /// this direction; an API name ("jack", "pulse", "alsa", any case) is used when this build
    /// has it, even with no device yet. `onUnknown` gets the name, in lower case, when that API
    /// is not there (then one is picked automatically).
    Choice choose(std::string requested, const std::function<void(const std::string&)>& onUnknown);

    bool haveApi() const { return haveApi_; }
    RtAudio::Api api() const { return api_; }
    /// The API in use ("jack", "pulse", "alsa"), or empty when there is none.
    std::string apiName() const;

    /// Devices of this direction the API shows now (0 on any error).
    int countNow();
    /// Re-reads the list when forced, never read, or older than a second.
    void refresh(bool force);
    /// Makes the next `refresh` re-read the list.
    void invalidate() { listed_ = false; }
    int size() const { return static_cast<int>(devices_.size()); }
    /// The entry for device number `device` (or `kDefaultDevice`), or null.
    const Entry* entry(int device) const;

  private:
    bool use(RtAudio::Api candidate);

    const RtDirection direction_;
    bool haveApi_ = false;
    RtAudio::Api api_ = RtAudio::UNSPECIFIED;
    std::unique_ptr<RtAudio> lister_;
    std::vector<Entry> devices_;
    int defaultEntry_ = -1; // index into devices_
    bool listed_ = false;
    std::chrono::steady_clock::time_point listedAt_{};
};

/// What a stream is opened with.
struct RtStreamSetup {
    RtAudio::Api api = RtAudio::UNSPECIFIED;
    RtDirection direction = RtDirection::Output;
    unsigned rtIndex = 0;
    unsigned channels = 1;
    std::string streamName;   // JACK client name
    bool dontConnect = false; // JACK: leave the ports unconnected
};

/// Opens and starts a 16-bit stream at 48000 samples per second whose callback gets `user`.
/// Null when the device runs at another rate. RtAudio's errors are passed on as thrown, the
/// stream closed again first.
std::unique_ptr<RtAudio> openRtStream(const RtStreamSetup& setup, RtAudioCallback callback,
                                      void* user);

/// Closes the stream; no callback runs after this returns. Errors are of no use here: dropped.
void closeRtStream(RtAudio& audio);

/// The state every RtAudio backend keeps: the device list with its open back-off, and the open
/// streams. `Stream` has `uint64_t handle` and `std::unique_ptr<RtAudio> audio`. Any thread; the
/// two locks are never held together.
template <class Stream> struct RtAudioStreams {
    explicit RtAudioStreams(RtDirection direction) : devices(direction) {}
    ~RtAudioStreams() { closeAll(); }

    std::mutex listMutex; // guards the device list and the open back-off
    RtAudioDevices devices;
    OpenBackoff backoff;

    std::mutex streamsMutex; // guards the open streams
    HandlePool<Stream> streams;

    /// Devices in the list (re-read when a second old).
    int deviceCount() {
        std::lock_guard lock(listMutex);
        devices.refresh(false);
        return devices.size();
    }
    /// Takes in an open stream; its handle.
    uint64_t add(std::unique_ptr<Stream> stream) {
        std::lock_guard lock(streamsMutex);
        return streams.add(std::move(stream));
    }
    /// Closes the stream with `handle`, if open; no callback runs for it after this returns.
    void close(uint64_t handle) {
        std::unique_ptr<Stream> stream;
        {
            std::lock_guard lock(streamsMutex);
            stream = streams.take(handle);
        }
        if (stream) closeRtStream(*stream->audio);
    }
    void closeAll() {
        std::vector<std::unique_ptr<Stream>> all;
        {
            std::lock_guard lock(streamsMutex);
            all = streams.takeAll();
        }
        for (auto& s : all)
            closeRtStream(*s->audio);
    }
};

} // namespace kv::platform
#endif

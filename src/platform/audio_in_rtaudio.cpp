#include "platform/audio_in_rtaudio.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/rtaudio_devices.h"

namespace kv::platform {

#ifdef KV_HAVE_RTAUDIO

static_assert(RtAudioDevices::kDefaultDevice == AudioIn::kDefaultDevice);

struct RtAudioIn::Impl {
    /// One open input. The callback fills the front block of the queue (a fixed ring, no
    /// allocation) and reports it when full; samples arriving with no block queued are lost.
    struct Stream {
        static constexpr std::size_t kQueue = 2048;
        struct Block {
            int16_t* samples;
            int count;
            uint32_t id;
        };
        Handle handle = kNoHandle;
        std::unique_ptr<RtAudio> audio;
        AudioInListener* listener = nullptr;
        std::mutex mutex; // guards the queue; held briefly by the callback
        std::array<Block, kQueue> queue{};
        std::size_t head = 0, size = 0;
        int filled = 0;
        std::atomic<bool> recording{false};

        static int callback(void*, void* input, unsigned frames, double, RtAudioStreamStatus,
                            void* user) {
            auto* s = static_cast<Stream*>(user);
            if (!s->recording.load(std::memory_order_acquire) || input == nullptr) return 0;
            const auto* in = static_cast<const int16_t*>(input);
            std::lock_guard lock(s->mutex);
            for (unsigned i = 0; i < frames && s->size > 0; ++i) {
                Block& b = s->queue[s->head];
                b.samples[s->filled++] = in[i];
                if (s->filled == b.count) {
                    s->head = (s->head + 1) % kQueue;
                    --s->size;
                    s->filled = 0;
                    s->listener->blockFilled(b.id);
                }
            }
            return 0;
        }
    };

    RtAudioInOptions options;

    RtAudioStreams<Stream> rt{RtDirection::Input};

    void say(const std::string& text) const {
        if (options.onMessage)
            options.onMessage(text);
        else
            std::fprintf(stderr, "%s\n", text.c_str());
    }

    void choose(const std::string& requested) {
        std::string lower = requested;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (lower == "null") return;
        rt.devices.choose(lower, [&](const std::string& name) {
            say("Sound input: the audio API \"" + name +
                "\" is not available; choosing one automatically.");
        });
    }

    std::unique_ptr<Stream> openStream(const RtAudioDevices::Entry& device,
                                       AudioInListener& listener, OpenError& error) {
        auto stream = std::make_unique<Stream>();
        stream->listener = &listener;
        try {
            stream->audio = openRtStream({rt.devices.api(), RtDirection::Input, device.rtIndex, 1,
                                          options.streamName, options.dontConnect},
                                         &Stream::callback, stream.get());
        } catch (const RtAudioError& e) {
            // A device another program holds cannot be opened as a stream.
            error = e.getMessage().find("busy") != std::string::npos ? OpenError::Busy
                                                                     : OpenError::Failed;
            return nullptr;
        } catch (const std::exception&) {
            error = OpenError::Failed;
            return nullptr;
        }
        if (!stream->audio) {
            error = OpenError::Failed;
            return nullptr;
        }
        return stream;
    }
};

RtAudioIn::RtAudioIn(std::string_view api, RtAudioInOptions options)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->choose(std::string(api));
}

RtAudioIn::~RtAudioIn() = default; // closes every stream

std::string RtAudioIn::apiName() const {
    return impl_->rt.devices.apiName();
}

int RtAudioIn::deviceCount() {
    return impl_->rt.deviceCount();
}

std::optional<std::string> RtAudioIn::deviceName(int device) {
    std::lock_guard lock(impl_->rt.listMutex);
    impl_->rt.devices.refresh(false);
    if (const auto* e = impl_->rt.devices.entry(device)) return e->name;
    return std::nullopt;
}

AudioIn::Handle RtAudioIn::open(int device, AudioInListener& listener, OpenError& error) {
    error = OpenError::Failed;
    RtAudioDevices::Entry chosen;
    {
        std::lock_guard lock(impl_->rt.listMutex);
        if (!impl_->rt.devices.haveApi() || impl_->rt.backoff.active(device)) return kNoHandle;
        impl_->rt.devices.refresh(true);
        const auto* e = impl_->rt.devices.entry(device);
        if (!e) {
            impl_->rt.backoff.failed(device);
            return kNoHandle;
        }
        chosen = *e;
    }
    auto stream = impl_->openStream(chosen, listener, error);
    if (!stream) {
        std::lock_guard lock(impl_->rt.listMutex);
        impl_->rt.backoff.failed(device);
        return kNoHandle;
    }
    error = OpenError::None;
    return impl_->rt.add(std::move(stream));
}

bool RtAudioIn::add(Handle handle, int16_t* samples, int sampleCount, uint32_t blockId) {
    std::lock_guard lock(impl_->rt.streamsMutex);
    Impl::Stream* s = impl_->rt.streams.find(handle);
    if (!s || sampleCount <= 0) return false;
    std::lock_guard queueLock(s->mutex);
    if (s->size == Impl::Stream::kQueue) return false;
    s->queue[(s->head + s->size) % Impl::Stream::kQueue] = {samples, sampleCount, blockId};
    ++s->size;
    return true;
}

void RtAudioIn::start(Handle handle) {
    std::lock_guard lock(impl_->rt.streamsMutex);
    if (Impl::Stream* s = impl_->rt.streams.find(handle))
        s->recording.store(true, std::memory_order_release);
}

void RtAudioIn::reset(Handle handle) {
    std::lock_guard lock(impl_->rt.streamsMutex);
    Impl::Stream* s = impl_->rt.streams.find(handle);
    if (!s) return;
    s->recording.store(false, std::memory_order_release);
    std::lock_guard queueLock(s->mutex);
    s->head = s->size = 0;
    s->filled = 0;
}

void RtAudioIn::close(Handle handle) {
    impl_->rt.close(handle);
}

#else // no RtAudio in this build: no input devices

struct RtAudioIn::Impl {};
RtAudioIn::RtAudioIn(std::string_view, RtAudioInOptions) : impl_(std::make_unique<Impl>()) {}
RtAudioIn::~RtAudioIn() = default;
std::string RtAudioIn::apiName() const {
    return {};
}
int RtAudioIn::deviceCount() {
    return 0;
}
std::optional<std::string> RtAudioIn::deviceName(int) {
    return std::nullopt;
}
AudioIn::Handle RtAudioIn::open(int, AudioInListener&, OpenError& error) {
    error = OpenError::Failed;
    return kNoHandle;
}
bool RtAudioIn::add(Handle, int16_t*, int, uint32_t) {
    return false;
}
void RtAudioIn::start(Handle) {}
void RtAudioIn::reset(Handle) {}
void RtAudioIn::close(Handle) {}

#endif

} // namespace kv::platform

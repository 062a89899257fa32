#include "platform/audio_out_rtaudio.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

#include "devices/audio_block_queue.h"
#include "platform/audio_out_null.h"
#include "platform/rtaudio_devices.h"
#include "platform/thread_priority.h"

namespace kv::platform {

namespace {

void defaultMessage(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}

} // namespace

#ifdef KV_HAVE_RTAUDIO

static_assert(RtAudioDevices::kDefaultDevice == AudioOut::kDefaultDevice);

struct RtAudioOut::Impl {
    struct Stream {
        Handle handle = kNoHandle;
        std::unique_ptr<RtAudio> audio;
        AudioOutListener* listener = nullptr;
        AudioBlockQueue queue;
        unsigned channels = 2;
        std::vector<int16_t> scratch; // stereo frames for a mono device

        static int callback(void* output, void*, unsigned frames, double, RtAudioStreamStatus,
                            void* user) {
            auto* s = static_cast<Stream*>(user);
            auto* out = static_cast<int16_t*>(output);
            if (s->channels == 2) {
                s->queue.play(out, static_cast<int>(frames), *s->listener);
                return 0;
            }
            const unsigned piece = static_cast<unsigned>(s->scratch.size() / 2);
            for (unsigned done = 0; done < frames;) {
                const unsigned n = std::min(piece, frames - done);
                s->queue.play(s->scratch.data(), static_cast<int>(n), *s->listener);
                for (unsigned i = 0; i < n; ++i)
                    out[done + i] =
                        static_cast<int16_t>((s->scratch[2 * i] + s->scratch[2 * i + 1]) / 2);
                done += n;
            }
            return 0;
        }
    };

    RtAudioOutOptions options;

    RtAudioStreams<Stream> rt{RtDirection::Output};

    void say(const std::string& text) const {
        if (options.onMessage)
            options.onMessage(text);
        else
            defaultMessage(text);
    }

    void choose(const std::string& requested) {
        const auto choice = rt.devices.choose(requested, [&](const std::string& name) {
            say("Sound output: the audio API \"" + name +
                "\" is not available; choosing one automatically.");
        });
        if (choice == RtAudioDevices::Choice::Named && rt.devices.countNow() == 0)
            say("Sound output: " + rt.devices.apiName() + " has no output device at the moment.");
        if (choice == RtAudioDevices::Choice::None)
            say("Sound output: no sound system with an output device was found; playing "
                "silently.");
    }

    std::unique_ptr<Stream> openStream(const RtAudioDevices::Entry& device,
                                       AudioOutListener& listener) {
        auto stream = std::make_unique<Stream>();
        stream->listener = &listener;
        stream->channels = std::min(device.channels, 2u);
        stream->scratch.resize(2 * 1024);
        try {
            stream->audio =
                openRtStream({rt.devices.api(), RtDirection::Output, device.rtIndex,
                              stream->channels, options.streamName, options.dontConnect},
                             &Stream::callback, stream.get());
        } catch (const std::exception&) {
            return nullptr;
        }
        if (!stream->audio) return nullptr;
        return stream;
    }
};

RtAudioOut::RtAudioOut(std::string_view api, RtAudioOutOptions options)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->choose(std::string(api));
    // Our real-time threads are to stay below the server's client thread, so ask it where that is.
    if (impl_->rt.devices.apiName() == "jack") {
        bool found = false;
        const std::optional<int> priority = jackClientPriority(found);
        if (found) setSoundServerPriority(priority);
    }
}

RtAudioOut::~RtAudioOut() = default; // closes every stream

std::string RtAudioOut::apiName() const {
    return impl_->rt.devices.apiName();
}

int RtAudioOut::deviceCount() {
    return impl_->rt.deviceCount();
}

std::optional<std::string> RtAudioOut::deviceName(int device) {
    std::lock_guard lock(impl_->rt.listMutex);
    impl_->rt.devices.refresh(false);
    const RtAudioDevices::Entry* e = impl_->rt.devices.entry(device);
    if (e == nullptr) return std::nullopt;
    if (device == kDefaultDevice) return "Default output (" + e->name + ")";
    return e->name;
}

AudioOut::Handle RtAudioOut::open(int device, AudioOutListener& listener) {
    std::unique_ptr<Impl::Stream> stream;
    {
        std::lock_guard lock(impl_->rt.listMutex);
        if (!impl_->rt.devices.haveApi() || impl_->rt.backoff.active(device)) return kNoHandle;
        impl_->rt.devices.refresh(false);
        const RtAudioDevices::Entry* e = impl_->rt.devices.entry(device);
        if (e != nullptr) stream = impl_->openStream(*e, listener);
        if (!stream) {
            // Opening is tried again at every write; a failing card must not hold up the caller.
            impl_->rt.backoff.failed(device);
            impl_->rt.devices.invalidate();
            return kNoHandle;
        }
    }
    return impl_->rt.add(std::move(stream));
}

bool RtAudioOut::queue(Handle handle, const int16_t* frames, int frameCount, uint32_t blockId) {
    std::lock_guard lock(impl_->rt.streamsMutex);
    Impl::Stream* s = impl_->rt.streams.find(handle);
    return s != nullptr && s->queue.push(frames, frameCount, blockId);
}

void RtAudioOut::reset(Handle handle) {
    std::lock_guard lock(impl_->rt.streamsMutex);
    if (Impl::Stream* s = impl_->rt.streams.find(handle)) s->queue.clear();
}

void RtAudioOut::close(Handle handle) {
    impl_->rt.close(handle);
}

#else // no RtAudio in this build: no devices

struct RtAudioOut::Impl {};

RtAudioOut::RtAudioOut(std::string_view, RtAudioOutOptions options) {
    const std::string text = "Sound output: this build has no sound system; playing silently.";
    if (options.onMessage)
        options.onMessage(text);
    else
        defaultMessage(text);
}
RtAudioOut::~RtAudioOut() = default;
std::string RtAudioOut::apiName() const {
    return {};
}
int RtAudioOut::deviceCount() {
    return 0;
}
std::optional<std::string> RtAudioOut::deviceName(int) {
    return std::nullopt;
}
AudioOut::Handle RtAudioOut::open(int, AudioOutListener&) {
    return kNoHandle;
}
bool RtAudioOut::queue(Handle, const int16_t*, int, uint32_t) {
    return false;
}
void RtAudioOut::reset(Handle) {}
void RtAudioOut::close(Handle) {}

#endif

std::unique_ptr<AudioOut> makeAudioOut(std::string_view api, RtAudioOutOptions options) {
    if (api == "null") return std::make_unique<NullAudioOut>();
    return std::make_unique<RtAudioOut>(api, std::move(options));
}

} // namespace kv::platform

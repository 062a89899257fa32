#include "platform/audio_out_rtaudio.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "devices/audio_block_queue.h"
#include "platform/audio_out_null.h"

#ifdef KV_HAVE_RTAUDIO
#include <RtAudio.h>
#endif

namespace kv::platform {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kListMaxAge = std::chrono::seconds(1);  // device list re-read at most this often
constexpr auto kOpenBackoff = std::chrono::seconds(1); // a failed open fails fast this long
constexpr unsigned kRequestedBufferFrames = 192;

void defaultMessage(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}

} // namespace

#ifdef KV_HAVE_RTAUDIO

struct RtAudioOut::Impl {
    struct DeviceEntry {
        unsigned rtIndex = 0;
        std::string name;
        unsigned channels = 0;
    };

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
    bool haveApi = false;
    RtAudio::Api api = RtAudio::UNSPECIFIED;

    std::mutex listMutex; // guards the lister, the device list and the open back-off
    std::unique_ptr<RtAudio> lister;
    std::vector<DeviceEntry> devices;
    int defaultEntry = -1; // index into devices
    bool listed = false;
    Clock::time_point listedAt{};
    std::vector<std::pair<int, Clock::time_point>> failedOpens; // device, time of failure

    std::mutex streamsMutex;
    std::vector<std::unique_ptr<Stream>> streams;
    Handle nextHandle = 1;

    void say(const std::string& text) const {
        if (options.onMessage)
            options.onMessage(text);
        else
            defaultMessage(text);
    }

    static int countOutputDevices(RtAudio& audio) {
        int count = 0;
        const unsigned n = audio.getDeviceCount();
        for (unsigned i = 0; i < n; ++i) {
            try {
                const RtAudio::DeviceInfo info = audio.getDeviceInfo(i);
                if (info.probed && info.outputChannels > 0) ++count;
            } catch (const std::exception&) {
            }
        }
        return count;
    }

    void choose(std::string requested) {
        for (char& c : requested)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        std::vector<RtAudio::Api> compiled;
        RtAudio::getCompiledApi(compiled);
        std::erase(compiled, RtAudio::RTAUDIO_DUMMY);
        if (requested != "auto" && !requested.empty()) {
            const RtAudio::Api named = RtAudio::getCompiledApiByName(requested);
            if (std::find(compiled.begin(), compiled.end(), named) != compiled.end()) {
                if (use(named)) {
                    if (countOutputDevicesSafely() == 0)
                        say("Sound output: " + RtAudio::getApiName(named) +
                            " has no output device at the moment.");
                    return;
                }
            } else {
                say("Sound output: the audio API \"" + requested +
                    "\" is not available; choosing one automatically.");
            }
        }
        for (RtAudio::Api candidate : compiled) {
            if (!use(candidate)) continue;
            if (countOutputDevicesSafely() > 0) return;
        }
        haveApi = false;
        lister.reset();
        say("Sound output: no sound system with an output device was found; playing silently.");
    }

    bool use(RtAudio::Api candidate) {
        try {
            lister = std::make_unique<RtAudio>(candidate);
            lister->showWarnings(false);
            api = candidate;
            haveApi = true;
            return true;
        } catch (const std::exception&) {
            lister.reset();
            return false;
        }
    }

    int countOutputDevicesSafely() {
        try {
            return countOutputDevices(*lister);
        } catch (const std::exception&) {
            return 0;
        }
    }

    // listMutex held.
    void refresh(bool force) {
        if (!haveApi) return;
        if (!force && listed && Clock::now() - listedAt < kListMaxAge) return;
        devices.clear();
        defaultEntry = -1;
        try {
            const unsigned n = lister->getDeviceCount();
            for (unsigned i = 0; i < n; ++i) {
                try {
                    const RtAudio::DeviceInfo info = lister->getDeviceInfo(i);
                    if (info.probed && info.outputChannels > 0)
                        devices.push_back({i, info.name, info.outputChannels});
                } catch (const std::exception&) {
                }
            }
            if (!devices.empty()) {
                const unsigned def = lister->getDefaultOutputDevice();
                defaultEntry = 0;
                for (std::size_t k = 0; k < devices.size(); ++k)
                    if (devices[k].rtIndex == def) defaultEntry = static_cast<int>(k);
            }
        } catch (const std::exception&) {
        }
        listed = true;
        listedAt = Clock::now();
    }

    // listMutex held: the entry for device number `device`, or null.
    const DeviceEntry* entry(int device) const {
        if (device == kDefaultDevice)
            return defaultEntry >= 0 ? &devices[static_cast<std::size_t>(defaultEntry)] : nullptr;
        if (device < 0 || device >= static_cast<int>(devices.size())) return nullptr;
        return &devices[static_cast<std::size_t>(device)];
    }

    // listMutex held.
    bool backingOff(int device) {
        const auto now = Clock::now();
        std::erase_if(failedOpens, [&](const auto& f) { return now - f.second >= kOpenBackoff; });
        return std::any_of(failedOpens.begin(), failedOpens.end(),
                           [&](const auto& f) { return f.first == device; });
    }

    std::unique_ptr<Stream> openStream(const DeviceEntry& device, AudioOutListener& listener) {
        auto stream = std::make_unique<Stream>();
        stream->listener = &listener;
        stream->channels = std::min(device.channels, 2u);
        stream->scratch.resize(2 * 1024);
        try {
            stream->audio = std::make_unique<RtAudio>(api);
            stream->audio->showWarnings(false);
            RtAudio::StreamParameters parameters;
            parameters.deviceId = device.rtIndex;
            parameters.nChannels = stream->channels;
            RtAudio::StreamOptions streamOptions;
            streamOptions.streamName = options.streamName;
            if (api == RtAudio::UNIX_JACK && options.dontConnect)
                streamOptions.flags |= RTAUDIO_JACK_DONT_CONNECT;
            unsigned bufferFrames = kRequestedBufferFrames;
            stream->audio->openStream(&parameters, nullptr, RTAUDIO_SINT16, kSampleRate,
                                      &bufferFrames, &Stream::callback, stream.get(),
                                      &streamOptions);
            if (stream->audio->getStreamSampleRate() != static_cast<unsigned>(kSampleRate)) {
                stream->audio->closeStream();
                return nullptr;
            }
            stream->audio->startStream();
        } catch (const std::exception&) {
            if (stream->audio) {
                try {
                    stream->audio->closeStream();
                } catch (const std::exception&) {
                }
            }
            return nullptr;
        }
        return stream;
    }

    Stream* find(Handle handle) {
        for (auto& s : streams)
            if (s->handle == handle) return s.get();
        return nullptr;
    }
};

RtAudioOut::RtAudioOut(std::string_view api, RtAudioOutOptions options)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->choose(std::string(api));
}

RtAudioOut::~RtAudioOut() {
    std::vector<std::unique_ptr<Impl::Stream>> streams;
    {
        std::lock_guard lock(impl_->streamsMutex);
        streams.swap(impl_->streams);
    }
    for (auto& s : streams) {
        try {
            s->audio->closeStream();
        } catch (const std::exception&) {
        }
    }
}

std::string RtAudioOut::apiName() const {
    return impl_->haveApi ? RtAudio::getApiName(impl_->api) : std::string();
}

int RtAudioOut::deviceCount() {
    std::lock_guard lock(impl_->listMutex);
    impl_->refresh(false);
    return static_cast<int>(impl_->devices.size());
}

std::optional<std::string> RtAudioOut::deviceName(int device) {
    std::lock_guard lock(impl_->listMutex);
    impl_->refresh(false);
    const Impl::DeviceEntry* e = impl_->entry(device);
    if (e == nullptr) return std::nullopt;
    if (device == kDefaultDevice) return "Default output (" + e->name + ")";
    return e->name;
}

AudioOut::Handle RtAudioOut::open(int device, AudioOutListener& listener) {
    std::unique_ptr<Impl::Stream> stream;
    {
        std::lock_guard lock(impl_->listMutex);
        if (!impl_->haveApi || impl_->backingOff(device)) return kNoHandle;
        impl_->refresh(false);
        const Impl::DeviceEntry* e = impl_->entry(device);
        if (e != nullptr) stream = impl_->openStream(*e, listener);
        if (!stream) {
            // Opening is tried again at every write; a failing card must not hold up the caller.
            impl_->failedOpens.emplace_back(device, Clock::now());
            impl_->listed = false;
            return kNoHandle;
        }
    }
    std::lock_guard lock(impl_->streamsMutex);
    stream->handle = impl_->nextHandle++;
    impl_->streams.push_back(std::move(stream));
    return impl_->streams.back()->handle;
}

bool RtAudioOut::queue(Handle handle, const int16_t* frames, int frameCount, uint32_t blockId) {
    std::lock_guard lock(impl_->streamsMutex);
    Impl::Stream* s = impl_->find(handle);
    return s != nullptr && s->queue.push(frames, frameCount, blockId);
}

void RtAudioOut::reset(Handle handle) {
    std::lock_guard lock(impl_->streamsMutex);
    if (Impl::Stream* s = impl_->find(handle)) s->queue.clear();
}

void RtAudioOut::close(Handle handle) {
    std::unique_ptr<Impl::Stream> stream;
    {
        std::lock_guard lock(impl_->streamsMutex);
        auto it = std::find_if(impl_->streams.begin(), impl_->streams.end(),
                               [&](const auto& s) { return s->handle == handle; });
        if (it == impl_->streams.end()) return;
        stream = std::move(*it);
        impl_->streams.erase(it);
    }
    try {
        stream->audio->closeStream(); // stops the callback: no report after this
    } catch (const std::exception&) {
    }
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

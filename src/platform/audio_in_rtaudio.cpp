#include "platform/audio_in_rtaudio.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#ifdef KV_HAVE_RTAUDIO
#include <RtAudio.h>
#endif

namespace kv::platform {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kListMaxAge = std::chrono::seconds(1);  // device list re-read at most this often
constexpr auto kOpenBackoff = std::chrono::seconds(1); // a failed open fails fast this long
constexpr unsigned kRequestedBufferFrames = 192;

} // namespace

#ifdef KV_HAVE_RTAUDIO

struct RtAudioIn::Impl {
    struct DeviceEntry {
        unsigned rtIndex = 0;
        std::string name;
    };

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
    bool haveApi = false;
    RtAudio::Api api = RtAudio::UNSPECIFIED;

    std::mutex listMutex; // guards the lister, the device list and the open back-off
    std::unique_ptr<RtAudio> lister;
    std::vector<DeviceEntry> devices;
    int defaultEntry = -1;
    bool listed = false;
    Clock::time_point listedAt{};
    std::vector<std::pair<int, Clock::time_point>> failedOpens;

    std::mutex streamsMutex;
    std::vector<std::unique_ptr<Stream>> streams;
    Handle nextHandle = 1;

    void say(const std::string& text) const {
        if (options.onMessage)
            options.onMessage(text);
        else
            std::fprintf(stderr, "%s\n", text.c_str());
    }

    int countInputDevices() {
        int count = 0;
        try {
            const unsigned n = lister->getDeviceCount();
            for (unsigned i = 0; i < n; ++i) {
                try {
                    const RtAudio::DeviceInfo info = lister->getDeviceInfo(i);
                    if (info.probed && info.inputChannels > 0) ++count;
                } catch (const std::exception&) {
                }
            }
        } catch (const std::exception&) {
        }
        return count;
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
            haveApi = false;
            return false;
        }
    }

    void choose(std::string requested) {
        for (char& c : requested)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (requested == "null") return;
        std::vector<RtAudio::Api> compiled;
        RtAudio::getCompiledApi(compiled);
        std::erase(compiled, RtAudio::RTAUDIO_DUMMY);
        if (requested != "auto" && !requested.empty()) {
            const RtAudio::Api named = RtAudio::getCompiledApiByName(requested);
            if (std::find(compiled.begin(), compiled.end(), named) != compiled.end()) {
                if (use(named)) return;
            } else {
                say("Sound input: the audio API \"" + requested +
                    "\" is not available; choosing one automatically.");
            }
        }
        for (RtAudio::Api candidate : compiled)
            if (use(candidate) && countInputDevices() > 0) return;
        haveApi = false;
        lister.reset();
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
                    if (info.probed && info.inputChannels > 0) devices.push_back({i, info.name});
                } catch (const std::exception&) {
                }
            }
            if (!devices.empty()) {
                const unsigned def = lister->getDefaultInputDevice();
                defaultEntry = 0;
                for (std::size_t k = 0; k < devices.size(); ++k)
                    if (devices[k].rtIndex == def) defaultEntry = static_cast<int>(k);
            }
        } catch (const std::exception&) {
        }
        listed = true;
        listedAt = Clock::now();
    }

    // listMutex held.
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

    std::unique_ptr<Stream> openStream(const DeviceEntry& device, AudioInListener& listener,
                                       OpenError& error) {
        auto stream = std::make_unique<Stream>();
        stream->listener = &listener;
        try {
            stream->audio = std::make_unique<RtAudio>(api);
            stream->audio->showWarnings(false);
            RtAudio::StreamParameters parameters;
            parameters.deviceId = device.rtIndex;
            parameters.nChannels = 1;
            RtAudio::StreamOptions streamOptions;
            streamOptions.streamName = options.streamName;
            if (api == RtAudio::UNIX_JACK && options.dontConnect)
                streamOptions.flags |= RTAUDIO_JACK_DONT_CONNECT;
            unsigned bufferFrames = kRequestedBufferFrames;
            stream->audio->openStream(nullptr, &parameters, RTAUDIO_SINT16, kSampleRate,
                                      &bufferFrames, &Stream::callback, stream.get(),
                                      &streamOptions);
            if (stream->audio->getStreamSampleRate() != static_cast<unsigned>(kSampleRate)) {
                stream->audio->closeStream();
                error = OpenError::Failed;
                return nullptr;
            }
            stream->audio->startStream();
        } catch (const RtAudioError& e) {
            // A device another program holds cannot be opened as a stream.
            error = e.getMessage().find("busy") != std::string::npos ? OpenError::Busy
                                                                     : OpenError::Failed;
            if (stream->audio) {
                try {
                    stream->audio->closeStream();
                } catch (const std::exception&) {
                }
            }
            return nullptr;
        } catch (const std::exception&) {
            error = OpenError::Failed;
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

RtAudioIn::RtAudioIn(std::string_view api, RtAudioInOptions options)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->choose(std::string(api));
}

RtAudioIn::~RtAudioIn() {
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

std::string RtAudioIn::apiName() const {
    return impl_->haveApi ? RtAudio::getApiName(impl_->api) : std::string();
}

int RtAudioIn::deviceCount() {
    std::lock_guard lock(impl_->listMutex);
    impl_->refresh(false);
    return static_cast<int>(impl_->devices.size());
}

std::optional<std::string> RtAudioIn::deviceName(int device) {
    std::lock_guard lock(impl_->listMutex);
    impl_->refresh(false);
    if (const auto* e = impl_->entry(device)) return e->name;
    return std::nullopt;
}

AudioIn::Handle RtAudioIn::open(int device, AudioInListener& listener, OpenError& error) {
    error = OpenError::Failed;
    Impl::DeviceEntry chosen;
    {
        std::lock_guard lock(impl_->listMutex);
        if (!impl_->haveApi || impl_->backingOff(device)) return kNoHandle;
        impl_->refresh(true);
        const auto* e = impl_->entry(device);
        if (!e) {
            impl_->failedOpens.emplace_back(device, Clock::now());
            return kNoHandle;
        }
        chosen = *e;
    }
    auto stream = impl_->openStream(chosen, listener, error);
    if (!stream) {
        std::lock_guard lock(impl_->listMutex);
        impl_->failedOpens.emplace_back(device, Clock::now());
        return kNoHandle;
    }
    error = OpenError::None;
    std::lock_guard lock(impl_->streamsMutex);
    stream->handle = impl_->nextHandle++;
    const Handle h = stream->handle;
    impl_->streams.push_back(std::move(stream));
    return h;
}

bool RtAudioIn::add(Handle handle, int16_t* samples, int sampleCount, uint32_t blockId) {
    std::lock_guard lock(impl_->streamsMutex);
    Impl::Stream* s = impl_->find(handle);
    if (!s || sampleCount <= 0) return false;
    std::lock_guard queueLock(s->mutex);
    if (s->size == Impl::Stream::kQueue) return false;
    s->queue[(s->head + s->size) % Impl::Stream::kQueue] = {samples, sampleCount, blockId};
    ++s->size;
    return true;
}

void RtAudioIn::start(Handle handle) {
    std::lock_guard lock(impl_->streamsMutex);
    if (Impl::Stream* s = impl_->find(handle)) s->recording.store(true, std::memory_order_release);
}

void RtAudioIn::reset(Handle handle) {
    std::lock_guard lock(impl_->streamsMutex);
    Impl::Stream* s = impl_->find(handle);
    if (!s) return;
    s->recording.store(false, std::memory_order_release);
    std::lock_guard queueLock(s->mutex);
    s->head = s->size = 0;
    s->filled = 0;
}

void RtAudioIn::close(Handle handle) {
    std::unique_ptr<Impl::Stream> stream;
    {
        std::lock_guard lock(impl_->streamsMutex);
        for (auto it = impl_->streams.begin(); it != impl_->streams.end(); ++it)
            if ((*it)->handle == handle) {
                stream = std::move(*it);
                impl_->streams.erase(it);
                break;
            }
    }
    if (!stream) return;
    try {
        stream->audio->closeStream(); // no callback runs after this returns
    } catch (const std::exception&) {
    }
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

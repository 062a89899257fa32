#include "platform/rtaudio_devices.h"

#ifdef KV_HAVE_RTAUDIO
#include <algorithm>

namespace kv::platform {

namespace {

constexpr auto kListMaxAge = std::chrono::seconds(1); // device list re-read at most this often
constexpr unsigned kRequestedBufferFrames = 192;
constexpr unsigned kSampleRate = 48000; // samples per second, both directions

unsigned channelsOf(const RtAudio::DeviceInfo& info, RtDirection direction) {
    return direction == RtDirection::Output ? info.outputChannels : info.inputChannels;
}

} // namespace

bool RtAudioDevices::use(RtAudio::Api candidate) {
    try {
        lister_ = std::make_unique<RtAudio>(candidate);
        lister_->showWarnings(false);
        api_ = candidate;
        haveApi_ = true;
        return true;
    } catch (const std::exception&) {
        lister_.reset();
        haveApi_ = false;
        return false;
    }
}

RtAudioDevices::Choice
RtAudioDevices::choose(std::string requested,
                       const std::function<void(const std::string&)>& onUnknown) {
    for (char& c : requested)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    std::vector<RtAudio::Api> compiled;
    RtAudio::getCompiledApi(compiled);
    std::erase(compiled, RtAudio::RTAUDIO_DUMMY);
    if (requested != "auto" && !requested.empty()) {
        const RtAudio::Api named = RtAudio::getCompiledApiByName(requested);
        if (std::find(compiled.begin(), compiled.end(), named) != compiled.end()) {
            if (use(named)) return Choice::Named;
        } else {
            onUnknown(requested);
        }
    }
    for (RtAudio::Api candidate : compiled)
        if (use(candidate) && countNow() > 0) return Choice::Automatic;
    haveApi_ = false;
    lister_.reset();
    return Choice::None;
}

std::string RtAudioDevices::apiName() const {
    return haveApi_ ? RtAudio::getApiName(api_) : std::string();
}

int RtAudioDevices::countNow() {
    if (!lister_) return 0;
    int count = 0;
    try {
        const unsigned n = lister_->getDeviceCount();
        for (unsigned i = 0; i < n; ++i) {
            try {
                const RtAudio::DeviceInfo info = lister_->getDeviceInfo(i);
                if (info.probed && channelsOf(info, direction_) > 0) ++count;
            } catch (const std::exception&) {
            }
        }
    } catch (const std::exception&) {
    }
    return count;
}

void RtAudioDevices::refresh(bool force) {
    if (!haveApi_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && listed_ && now - listedAt_ < kListMaxAge) return;
    devices_.clear();
    defaultEntry_ = -1;
    try {
        const unsigned n = lister_->getDeviceCount();
        for (unsigned i = 0; i < n; ++i) {
            try {
                const RtAudio::DeviceInfo info = lister_->getDeviceInfo(i);
                const unsigned channels = channelsOf(info, direction_);
                if (info.probed && channels > 0) devices_.push_back({i, info.name, channels});
            } catch (const std::exception&) {
            }
        }
        if (!devices_.empty()) {
            const unsigned def = direction_ == RtDirection::Output
                                     ? lister_->getDefaultOutputDevice()
                                     : lister_->getDefaultInputDevice();
            defaultEntry_ = 0;
            for (std::size_t k = 0; k < devices_.size(); ++k)
                if (devices_[k].rtIndex == def) defaultEntry_ = static_cast<int>(k);
        }
    } catch (const std::exception&) {
    }
    listed_ = true;
    listedAt_ = std::chrono::steady_clock::now();
}

const RtAudioDevices::Entry* RtAudioDevices::entry(int device) const {
    if (device == kDefaultDevice)
        return defaultEntry_ >= 0 ? &devices_[static_cast<std::size_t>(defaultEntry_)] : nullptr;
    if (device < 0 || device >= size()) return nullptr;
    return &devices_[static_cast<std::size_t>(device)];
}

std::unique_ptr<RtAudio> openRtStream(const RtStreamSetup& setup, RtAudioCallback callback,
                                      void* user) {
    auto audio = std::make_unique<RtAudio>(setup.api);
    audio->showWarnings(false);
    try {
        RtAudio::StreamParameters parameters;
        parameters.deviceId = setup.rtIndex;
        parameters.nChannels = setup.channels;
        RtAudio::StreamOptions options;
        options.streamName = setup.streamName;
        if (setup.api == RtAudio::UNIX_JACK && setup.dontConnect)
            options.flags |= RTAUDIO_JACK_DONT_CONNECT;
        unsigned bufferFrames = kRequestedBufferFrames;
        const bool output = setup.direction == RtDirection::Output;
        audio->openStream(output ? &parameters : nullptr, output ? nullptr : &parameters,
                          RTAUDIO_SINT16, kSampleRate, &bufferFrames, callback, user, &options);
        if (audio->getStreamSampleRate() != kSampleRate) {
            audio->closeStream();
            return nullptr;
        }
        audio->startStream();
    } catch (const std::exception&) {
        closeRtStream(*audio);
        throw;
    }
    return audio;
}

void closeRtStream(RtAudio& audio) {
    try {
        audio.closeStream();
    } catch (const std::exception&) {
    }
}

} // namespace kv::platform
#endif

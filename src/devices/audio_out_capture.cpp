#include "devices/audio_out_capture.h"

#include <algorithm>

namespace kv {

namespace {
constexpr int64_t kStep = 4096; // frames played per pass of advance()
}

CaptureAudioOut::CaptureAudioOut(int devices) : devices_(std::max(devices, 0)) {}

CaptureAudioOut::~CaptureAudioOut() = default;

int CaptureAudioOut::deviceCount() {
    return devices_;
}

std::optional<std::string> CaptureAudioOut::deviceName(int device) {
    if (device == kDefaultDevice) return "Capture (default)";
    if (device < 0 || device >= devices_) return std::nullopt;
    return "Capture " + std::to_string(device);
}

CaptureAudioOut::Stream* CaptureAudioOut::findLocked(Handle handle) const {
    for (const auto& s : streams_)
        if (s->handle == handle) return s.get();
    return nullptr;
}

platform::AudioOut::Handle CaptureAudioOut::open(int device, platform::AudioOutListener& listener) {
    std::lock_guard lock(mutex_);
    if (openFailure_ || device < kDefaultDevice || device >= devices_) return kNoHandle;
    auto stream = std::make_unique<Stream>();
    stream->handle = nextHandle_++;
    stream->device = device;
    stream->listener = &listener;
    // A device heard for the first time has been silent since time 0.
    Track& track = tracks_[device];
    if (track.length < clock_) {
        const std::vector<int16_t> silence(static_cast<std::size_t>(clock_ - track.length) * 2);
        appendLocked(device, track, silence.data(), clock_ - track.length);
    }
    streams_.push_back(std::move(stream));
    return streams_.back()->handle;
}

bool CaptureAudioOut::queue(Handle handle, const int16_t* frames, int frameCount,
                            uint32_t blockId) {
    std::lock_guard lock(mutex_);
    Stream* s = findLocked(handle);
    return s != nullptr && s->queue.push(frames, frameCount, blockId);
}

void CaptureAudioOut::reset(Handle handle) {
    std::lock_guard lock(mutex_);
    if (Stream* s = findLocked(handle)) s->queue.clear();
}

void CaptureAudioOut::close(Handle handle) {
    std::lock_guard lock(mutex_);
    std::erase_if(streams_, [&](const auto& s) { return s->handle == handle; });
}

void CaptureAudioOut::appendLocked(int device, Track& track, const int16_t* frames, int64_t count) {
    if (sink_)
        sink_(device, frames, count);
    else
        track.frames.insert(track.frames.end(), frames, frames + count * 2);
    track.length += count;
}

void CaptureAudioOut::advance(int64_t frames) {
    std::lock_guard lock(mutex_);
    std::vector<int16_t> mix, part;
    while (frames > 0) {
        const int step = static_cast<int>(std::min(frames, kStep));
        mix.resize(static_cast<std::size_t>(step) * 2);
        part.resize(mix.size());
        for (auto& [device, track] : tracks_) {
            std::fill(mix.begin(), mix.end(), 0);
            // Every stream on this device plays into it (normally one).
            for (auto& s : streams_) {
                if (s->device != device) continue;
                s->queue.play(part.data(), step, *s->listener);
                for (std::size_t i = 0; i < mix.size(); ++i)
                    mix[i] = static_cast<int16_t>(std::clamp(mix[i] + part[i], -32768, 32767));
            }
            appendLocked(device, track, mix.data(), step);
        }
        clock_ += step;
        frames -= step;
    }
}

int64_t CaptureAudioOut::clock() const {
    std::lock_guard lock(mutex_);
    return clock_;
}

std::vector<int16_t> CaptureAudioOut::recording(int device) const {
    std::lock_guard lock(mutex_);
    auto it = tracks_.find(device);
    return it == tracks_.end() ? std::vector<int16_t>{} : it->second.frames;
}

void CaptureAudioOut::setSink(std::function<void(int, const int16_t*, int64_t)> sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

int CaptureAudioOut::openCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(streams_.size());
}

int CaptureAudioOut::queuedBlocks(int device) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : streams_)
        if (s->device == device) return s->queue.size();
    return 0;
}

void CaptureAudioOut::setOpenFailure(bool fail) {
    std::lock_guard lock(mutex_);
    openFailure_ = fail;
}

} // namespace kv

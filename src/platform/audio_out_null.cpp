#include "platform/audio_out_null.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "devices/audio_block_queue.h"

namespace kv::platform {

namespace {
constexpr auto kPeriod = std::chrono::milliseconds(1); // the silent card's clock tick
constexpr int kScratchFrames = 4096;
} // namespace

struct NullAudioOut::Stream {
    Handle handle = kNoHandle;
    AudioOutListener* listener = nullptr;
    AudioBlockQueue queue;
    std::atomic<bool> stop{false};
    std::thread clock;

    // Plays as many frames as real time has advanced since the stream opened.
    void run() {
        using Clock = std::chrono::steady_clock;
        std::vector<int16_t> scratch(static_cast<std::size_t>(kScratchFrames) * 2);
        const auto start = Clock::now();
        int64_t played = 0;
        auto deadline = start;
        while (!stop.load(std::memory_order_relaxed)) {
            deadline += kPeriod;
            std::this_thread::sleep_until(deadline);
            if (Clock::now() - deadline > 10 * kPeriod) deadline = Clock::now(); // woke late
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            const int64_t due = elapsed.count() * kSampleRate / 1000000;
            while (played < due) {
                const int n = static_cast<int>(std::min<int64_t>(due - played, kScratchFrames));
                queue.play(scratch.data(), n, *listener);
                played += n;
            }
        }
    }
};

NullAudioOut::NullAudioOut() = default;

NullAudioOut::~NullAudioOut() {
    std::vector<std::shared_ptr<Stream>> streams;
    {
        std::lock_guard lock(mutex_);
        streams.swap(streams_);
    }
    for (auto& s : streams) {
        s->stop = true;
        s->clock.join();
    }
}

int NullAudioOut::deviceCount() {
    return 1;
}

std::optional<std::string> NullAudioOut::deviceName(int device) {
    if (device == kDefaultDevice || device == 0) return "Silent output";
    return std::nullopt;
}

AudioOut::Handle NullAudioOut::open(int device, AudioOutListener& listener) {
    if (device != kDefaultDevice && device != 0) return kNoHandle;
    auto stream = std::make_shared<Stream>();
    stream->listener = &listener;
    std::lock_guard lock(mutex_);
    stream->handle = nextHandle_++;
    try {
        stream->clock = std::thread(&Stream::run, stream.get());
    } catch (...) {
        return kNoHandle;
    }
    streams_.push_back(stream);
    return stream->handle;
}

std::shared_ptr<NullAudioOut::Stream> NullAudioOut::find(Handle handle) {
    std::lock_guard lock(mutex_);
    for (auto& s : streams_)
        if (s->handle == handle) return s;
    return nullptr;
}

bool NullAudioOut::queue(Handle handle, const int16_t* frames, int frameCount, uint32_t blockId) {
    auto s = find(handle);
    return s && s->queue.push(frames, frameCount, blockId);
}

void NullAudioOut::reset(Handle handle) {
    if (auto s = find(handle)) s->queue.clear();
}

void NullAudioOut::close(Handle handle) {
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(streams_.begin(), streams_.end(),
                               [&](const auto& s) { return s->handle == handle; });
        if (it == streams_.end()) return;
        stream = *it;
        streams_.erase(it);
    }
    stream->stop = true;
    stream->clock.join(); // no report after close returns
}

} // namespace kv::platform

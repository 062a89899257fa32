#pragma once
// Test helpers for runs against a JACK server (scripts/test-services.sh starts one): a second JACK
// client that records two ports, and frequency / level measures of what it recorded.
#include <RtAudio.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_out_rtaudio.h"

namespace kv::platform {

inline bool jackServerRunning() {
    const char* flag = std::getenv("KV_TEST_JACK");
    return flag != nullptr && std::string(flag) == "1";
}

#define REQUIRE_JACK()                                                                             \
    if (!jackServerRunning())                                                                      \
    GTEST_SKIP() << "needs a JACK server: run under scripts/test-services.sh (KV_TEST_JACK=1)"

// A JACK client that records its two input ports.
class Recorder {
  public:
    explicit Recorder(const std::string& name) : frames_(2 * 48000 * 10) {
        audio_.showWarnings(false);
        RtAudio::StreamParameters in;
        in.deviceId = audio_.getDefaultInputDevice();
        in.nChannels = 2;
        RtAudio::StreamOptions options;
        options.streamName = name;
        options.flags = RTAUDIO_JACK_DONT_CONNECT;
        unsigned bufferFrames = 128;
        audio_.openStream(nullptr, &in, RTAUDIO_SINT16, 48000, &bufferFrames, &Recorder::callback,
                          this, &options);
        audio_.startStream();
    }
    ~Recorder() {
        try {
            audio_.closeStream();
        } catch (const std::exception&) {
        }
    }
    std::size_t frames() const { return count_.load(std::memory_order_acquire); }
    int16_t sample(std::size_t frame, int channel) const { return frames_[2 * frame + channel]; }

  private:
    static int callback(void*, void* input, unsigned n, double, RtAudioStreamStatus, void* user) {
        auto* self = static_cast<Recorder*>(user);
        const auto* in = static_cast<const int16_t*>(input);
        std::size_t at = self->count_.load(std::memory_order_relaxed);
        for (unsigned i = 0; i < n && 2 * at + 1 < self->frames_.size(); ++i, ++at) {
            self->frames_[2 * at] = in[2 * i];
            self->frames_[2 * at + 1] = in[2 * i + 1];
        }
        self->count_.store(at, std::memory_order_release);
        return 0;
    }

    RtAudio audio_{RtAudio::UNIX_JACK};
    std::vector<int16_t> frames_;
    std::atomic<std::size_t> count_{0};
};

// Ends the test process with the name of the stage it is stuck in when a stage outlasts its
// limit: a JACK client or server that stops answering then shows where, long before the test
// runner's own time limit.
class StageWatchdog {
  public:
    explicit StageWatchdog(std::chrono::seconds limit)
        : limit_(limit), thread_([this] { watch(); }) {}
    ~StageWatchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void at(const char* stage) {
        std::lock_guard lock(mutex_);
        stage_ = stage;
        since_ = std::chrono::steady_clock::now();
        wake_.notify_all();
    }

  private:
    void watch() {
        std::unique_lock lock(mutex_);
        while (!done_) {
            if (wake_.wait_until(lock, since_ + limit_) == std::cv_status::timeout && !done_ &&
                std::chrono::steady_clock::now() >= since_ + limit_) {
                std::fprintf(stderr, "stuck for %lld s while: %s\n",
                             static_cast<long long>(limit_.count()), stage_);
                std::fflush(stderr);
                std::abort();
            }
        }
    }

    std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    const char* stage_ = "starting";
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
    bool done_ = false;
    std::thread thread_;
};

struct Measure {
    double hertz, rms;
};

inline Measure measure(const Recorder& r, int channel, std::size_t first, std::size_t count) {
    int crossings = 0;
    double sum = 0.0;
    for (std::size_t f = first; f < first + count; ++f) {
        const double v = r.sample(f, channel);
        sum += v * v;
        if (f > first && r.sample(f - 1, channel) < 0 && v >= 0) ++crossings;
    }
    return {crossings * 48000.0 / static_cast<double>(count), std::sqrt(sum / count)};
}

/// Backend options of a player whose ports the test connects itself.
inline RtAudioOutOptions unconnectedPlayer(const std::string& name) {
    RtAudioOutOptions options;
    options.streamName = name;
    options.dontConnect = true;
    return options;
}

/// Connects output port `port` of JACK client `from` to input port `port` of client `to`, for
/// ports 0 and 1 (RtAudio's port names). True when both connections were made.
inline bool connectStereo(const std::string& from, const std::string& to) {
    for (int port = 0; port < 2; ++port) {
        const std::string p = std::to_string(port);
        const std::string command = "jack_connect '" + from + ":outport " + p + "' '" + to +
                                    ":inport " + p + "' 2>/dev/null";
        if (std::system(command.c_str()) != 0) return false;
    }
    return true;
}

} // namespace kv::platform

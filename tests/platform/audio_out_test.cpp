// The silent backend, the backend factory, and the RtAudio backend with no sound server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/audio_out_null.h"
#include "platform/audio_out_rtaudio.h"

namespace kv::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct DoneLog : AudioOutListener {
    void blockDone(uint32_t id) noexcept override {
        std::lock_guard lock(mutex);
        ids.push_back(id);
        times.push_back(Clock::now());
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return ids.size();
    }
    std::mutex mutex;
    std::vector<uint32_t> ids;
    std::vector<Clock::time_point> times;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(NullAudioOut, PlaysQueuedBlocksInRealTime) {
    NullAudioOut out;
    EXPECT_EQ(out.deviceCount(), 1);
    EXPECT_TRUE(out.deviceName(-1).has_value());
    EXPECT_FALSE(out.deviceName(1).has_value());
    DoneLog log;
    EXPECT_EQ(out.open(3, log), AudioOut::kNoHandle);

    const AudioOut::Handle h = out.open(-1, log);
    ASSERT_NE(h, AudioOut::kNoHandle);
    std::vector<int16_t> block(2 * 480); // 10 ms
    const auto start = Clock::now();
    for (uint32_t i = 0; i < 5; ++i)
        ASSERT_TRUE(out.queue(h, block.data(), 480, i));
    const auto deadline = start + 2s;
    while (log.count() < 5 && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(log.count(), 5u);
    EXPECT_EQ(log.ids, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    // 50 ms of audio takes about 50 ms to play, not less.
    EXPECT_GE(log.times[4] - start, 45ms);

    // Reset blocks are forgotten without a report; none comes after close.
    for (uint32_t i = 10; i < 15; ++i)
        out.queue(h, block.data(), 480, i);
    out.reset(h);
    out.queue(h, block.data(), 480, 20);
    while (log.count() < 6 && Clock::now() < deadline + 2s)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(log.count(), 6u);
    EXPECT_EQ(log.ids.back(), 20u);
    out.queue(h, block.data(), 480, 21);
    out.close(h);
    const std::size_t after = log.count();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(log.count(), after);
    EXPECT_FALSE(out.queue(h, block.data(), 480, 30));
}

TEST(AudioOutFactory, NamesTheBackend) {
    auto null = makeAudioOut("null");
    EXPECT_NE(dynamic_cast<NullAudioOut*>(null.get()), nullptr);

    std::vector<std::string> messages;
    RtAudioOutOptions options;
    options.onMessage = [&](const std::string& m) { messages.push_back(m); };
    ScopedEnv noJack("JACK_DEFAULT_SERVER", "kv-no-such-server");
    ScopedEnv noPulse("PULSE_SERVER", "unix:/nonexistent/kv-no-such-server");
    auto any = makeAudioOut("no-such-api", options);
    ASSERT_NE(dynamic_cast<RtAudioOut*>(any.get()), nullptr);
    ASSERT_FALSE(messages.empty());
    EXPECT_NE(messages[0].find("no-such-api"), std::string::npos);
}

TEST(RtAudioOut, WithoutASoundServerHasNoDevicesAndNeverBlocks) {
    std::vector<std::string> messages;
    RtAudioOutOptions options;
    options.onMessage = [&](const std::string& m) { messages.push_back(m); };
    ScopedEnv noJack("JACK_DEFAULT_SERVER", "kv-no-such-server");
    RtAudioOut out("jack", options);
    EXPECT_EQ(out.deviceCount(), 0);
    EXPECT_FALSE(out.deviceName(-1).has_value());
    DoneLog log;
    EXPECT_EQ(out.open(-1, log), AudioOut::kNoHandle);
    // Every write retries the open; a missing server must not hold up the engine's cycle.
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(out.open(-1, log), AudioOut::kNoHandle);
    EXPECT_LT(Clock::now() - start, 50ms);
    EXPECT_FALSE(out.queue(12345, nullptr, 0, 0));
    out.reset(12345);
    out.close(12345);
    EXPECT_EQ(messages.size(), 1u);
}

} // namespace
} // namespace kv::platform

// The input backends on a running JACK server (scripts/test-services.sh starts one): MIDI from a
// virtual JACK MIDI output reaches the MIDI manager's tables through RtMidi, and a tone played by
// another JACK client arrives through RtAudio input in the wave-input manager's ring.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <thread>

#include "devices/midi_input_manager.h"
#include "devices/wave_input_manager.h"
#include "jack_recorder.h"
#include "platform/audio_in_rtaudio.h"
#include "platform/midi_in_rtmidi.h"

#ifdef KV_HAVE_RTMIDI
#include <RtMidi.h>
#endif

namespace kv::platform {
namespace {

using namespace std::chrono_literals;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST(MidiInputBackends, WithoutAMidiSystemThereAreNoPortsAndNothingBreaks) {
    RtMidiInput none("null");
    EXPECT_EQ(none.deviceCount(), 0);
    struct stat info {};
    if (::stat("/dev/snd/seq", &info) == 0) GTEST_SKIP() << "this machine has an ALSA sequencer";
    RtMidiInput alsa("alsa");
    EXPECT_EQ(alsa.deviceCount(), 0);
    RtMidiInput automatic("auto"); // with no JACK server either: nothing at all
    if (!jackServerRunning()) {
        EXPECT_EQ(automatic.deviceCount(), 0);
    }
    MidiInputManager manager(automatic);
    for (int i = 0; i < 5; ++i) {
        manager.beginCycle();
        EXPECT_FALSE(manager.use(0));
        manager.endCycle();
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(manager.openDevices().empty());
}

#ifdef KV_HAVE_RTMIDI
// A virtual JACK MIDI output standing for a keyboard. RtMidi's JACK output frees its message
// buffer before it closes its client, so a JACK period falling between the two reads freed memory:
// the port is closed first (its process callback then returns at once) and a few periods pass
// before the buffer goes.
class VirtualKeys {
  public:
    explicit VirtualKeys(const std::string& name) : out_(RtMidi::UNIX_JACK, name) {
        out_.openVirtualPort("out");
    }
    ~VirtualKeys() {
        out_.closePort();
        std::this_thread::sleep_for(20ms);
    }
    void send(std::vector<unsigned char> message) { out_.sendMessage(&message); }

  private:
    ::RtMidiOut out_;
};

// The device number of the port whose name contains `name`, once it is listed; -1 if it never is.
int listedDevice(RtMidiInput& in, const std::string& name) {
    int device = -1;
    waitUntil([&] {
        for (int n = 0; n < in.deviceCount(); ++n)
            if (in.deviceName(n).value_or("").find(name) != std::string::npos) device = n;
        return device >= 0;
    });
    return device;
}

TEST(MidiInputBackends, JackMidiReachesTheTables) {
    REQUIRE_JACK();
    const std::string keysName = "kvkeys" + std::to_string(getpid());
    VirtualKeys keys(keysName);
    RtMidiInput in("auto", {"kvmidi" + std::to_string(getpid())});
    const int device = listedDevice(in, keysName);
    ASSERT_GE(device, 0) << "the virtual output is not listed";

    MidiInputManager manager(in);
    auto cycle = [&] {
        manager.beginCycle();
        const bool used = manager.use(device);
        manager.endCycle();
        return used;
    };
    ASSERT_TRUE(waitUntil(cycle)) << "the port did not open";
    // Sent again until both have arrived, the controller last (the first ones may come before
    // the port is connected, and the two may come in different JACK periods).
    uint8_t notes[MidiInputTables::kNotes];
    ASSERT_TRUE(waitUntil([&] {
        cycle();
        keys.send({0x92, 60, 100});
        keys.send({0xB0, 7, 42});
        std::this_thread::sleep_for(10ms);
        return manager.copyNotes(device, notes) && notes[2 * 128 + 60] == 100 &&
               manager.getLastControllerIndex(device) == 0xB0 * 128 + 7;
    })) << "the note and the controller did not arrive; last controller index "
        << manager.getLastControllerIndex(device);
    EXPECT_EQ(manager.getController(device, 0xB0 * 128 + 7), 42.0f);
    manager.closeAll();
    EXPECT_TRUE(manager.openDevices().empty());
}

// A port closed while messages pour in (some in every JACK period): once close has returned no
// message reaches its listener, which is freed then (AddressSanitizer catches a late call), and
// closing never races the MIDI thread's call of the callback.
TEST(MidiInputBackends, AJackPortClosesWhileMessagesPourIn) {
    REQUIRE_JACK();
    const std::string keysName = "kvflood" + std::to_string(getpid());
    VirtualKeys keys(keysName);
    RtMidiInput in("jack", {"kvclose" + std::to_string(getpid())});
    const int device = listedDevice(in, keysName);
    ASSERT_GE(device, 0) << "the virtual output is not listed";
    std::jthread sender([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            for (int i = 0; i < 16; ++i)
                keys.send({0xB0, 1, static_cast<unsigned char>(i)});
            std::this_thread::sleep_for(200us);
        }
    });
    struct Counter final : MidiInListener {
        std::atomic<int> heard{0};
        std::atomic<bool> closed{false};
        std::atomic<int> heardAfterClose{0};
        void midiMessage(uint8_t, uint8_t, uint8_t) noexcept override {
            if (closed.load()) heardAfterClose.fetch_add(1);
            heard.fetch_add(1);
        }
    };
    for (int round = 0; round < 20; ++round) {
        auto listener = std::make_unique<Counter>();
        const MidiIn::Handle handle = in.open(device, *listener);
        ASSERT_NE(handle, MidiIn::kNoHandle) << "round " << round;
        in.start(handle);
        // Close during the flow, a little later each round (a busy machine may take seconds).
        EXPECT_TRUE(waitUntil([&] { return listener->heard.load() > round * 8; }, 10s))
            << "round " << round << ": " << listener->heard.load() << " messages heard";
        in.close(handle);
        listener->closed.store(true);
        std::this_thread::sleep_for(6ms); // two JACK periods
        EXPECT_EQ(listener->heardAfterClose.load(), 0) << "round " << round;
    }
}
#endif

#ifdef KV_HAVE_RTAUDIO
// A JACK client playing a 1000 Hz tone on its first port.
class TonePlayer {
  public:
    explicit TonePlayer(const std::string& name) {
        audio_.showWarnings(false);
        RtAudio::StreamParameters out;
        out.deviceId = audio_.getDefaultOutputDevice();
        out.nChannels = 1;
        RtAudio::StreamOptions options;
        options.streamName = name;
        options.flags = RTAUDIO_JACK_DONT_CONNECT;
        unsigned frames = 128;
        audio_.openStream(&out, nullptr, RTAUDIO_SINT16, 48000, &frames, &TonePlayer::callback,
                          this, &options);
        audio_.startStream();
    }
    ~TonePlayer() {
        try {
            audio_.closeStream();
        } catch (const std::exception&) {
        }
    }

  private:
    static int callback(void* output, void*, unsigned n, double, RtAudioStreamStatus, void* user) {
        auto* self = static_cast<TonePlayer*>(user);
        auto* out = static_cast<int16_t*>(output);
        for (unsigned i = 0; i < n; ++i, ++self->frame_)
            out[i] = static_cast<int16_t>(
                12000 * std::sin(2 * std::numbers::pi * 1000.0 * self->frame_ / 48000.0));
        return 0;
    }
    RtAudio audio_{RtAudio::UNIX_JACK};
    uint64_t frame_ = 0;
};

TEST(AudioInputBackends, JackInputFillsTheRingAtTheCardsPace) {
    REQUIRE_JACK();
    const std::string tone = "kvtone" + std::to_string(getpid());
    const std::string input = "kvin" + std::to_string(getpid());
    TonePlayer player(tone);
    RtAudioIn in("jack", {input, true, nullptr});
    ASSERT_EQ(in.apiName(), "jack");
    ASSERT_TRUE(in.deviceName(-1).has_value());
    WaveInputManager manager(in);
    auto cycle = [&] {
        manager.beginCycle();
        const bool used = manager.use(-1);
        manager.endCycle();
        return used;
    };
    ASSERT_TRUE(waitUntil(cycle)) << "the input did not open";
    const std::string connect =
        "jack_connect '" + tone + ":outport 0' '" + input + ":inport 0' 2>/dev/null";
    ASSERT_EQ(std::system(connect.c_str()), 0);

    // Read as the engine does, every 2 ms, keeping the stretches that follow one another.
    std::vector<int16_t> heard;
    int16_t newer[96], older[96];
    uint64_t cursor = 0;
    const auto start = std::chrono::steady_clock::now();
    uint64_t firstCount = 0;
    for (int i = 0; i < 750; ++i) {
        std::this_thread::sleep_for(2ms);
        if (i == 250) firstCount = manager.completedCount(-1);
        const uint64_t before = cursor;
        if (manager.read(-1, cursor, newer, older, 4) && cursor == before + 2 && i > 250) {
            heard.insert(heard.end(), older, older + 96);
            heard.insert(heard.end(), newer, newer + 96);
        }
        cycle();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t blocks = manager.completedCount(-1) - firstCount;
    manager.closeAll();
    // 500 blocks of 96 samples per second (roughly: the loop's own timing is loose).
    EXPECT_NEAR(static_cast<double>(blocks) / (seconds * 2 / 3), 500.0, 100.0);
    ASSERT_GT(heard.size(), 48000u / 2);
    int crossings = 0;
    double sum = 0;
    for (std::size_t k = 1; k < heard.size(); ++k) {
        sum += double(heard[k]) * heard[k];
        if (heard[k - 1] < 0 && heard[k] >= 0) ++crossings;
    }
    EXPECT_NEAR(crossings * 48000.0 / static_cast<double>(heard.size()), 1000.0, 60.0);
    EXPECT_NEAR(std::sqrt(sum / static_cast<double>(heard.size())), 12000 / std::sqrt(2.0), 1500);
}
#endif

} // namespace
} // namespace kv::platform

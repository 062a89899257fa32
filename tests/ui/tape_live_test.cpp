// A live take replayed offline: the desktop program records a gesture tape while the X11 mouse
// (Xvfb, driven by xdotool) and a MIDI keyboard on JACK play its patch, and a JACK client of the
// test's own records what the program plays. The headless tool's render of the tape must give the
// same samples.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#if __has_include(<jack/jack.h>)
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/thread.h>
#define KV_TAPE_LIVE_TEST 1
#endif

#include "engine/engine_state.h"
#include "ui/app_settings.h"
#include "ui/main_window.h"

namespace fs = std::filesystem;
using namespace kv;
using namespace kv::ui;

namespace {

#ifdef KV_TAPE_LIVE_TEST

constexpr int kRate = 48000;

// The JACK client of the test: a MIDI keyboard (messages queued by the test go out at the start of
// the next period) and a stereo recorder of the ports connected to its inputs.
class KeysAndEars {
  public:
    static constexpr std::size_t kFrames = 20 * kRate;

    explicit KeysAndEars(const std::string& name) : left_(kFrames), right_(kFrames) {
        client_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
        if (!client_) return;
        name_ = jack_get_client_name(client_);
        keys_ = jack_port_register(client_, "keys", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        inL_ = jack_port_register(client_, "left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        inR_ = jack_port_register(client_, "right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &KeysAndEars::process, this);
        if (!keys_ || !inL_ || !inR_ || jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
            return;
        }
        // The program's engine and feeder threads may run at real-time priority; a recorder
        // below them misses periods on a busy machine. (Where this is not permitted, the
        // missed periods are counted and the take is repeated.)
        jack_acquire_real_time_scheduling(jack_client_thread_id(client_), 80);
    }
    ~KeysAndEars() {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ != nullptr; }
    const std::string& name() const { return name_; }

    /// Queues a MIDI message. Test thread.
    void send(uint8_t status, uint8_t data1, uint8_t data2) {
        const uint32_t tail = midiTail_.load(std::memory_order_relaxed);
        midi_[tail % kMidiSlots] = {status, data1, data2};
        midiTail_.store(tail + 1, std::memory_order_release);
    }
    /// The keyboard is connected to some input (the program opened its MIDI device).
    bool keysConnected() const { return jack_port_connected(keys_) > 0; }
    /// Connects the outputs "...:outport 0" and "...:outport 1" of other clients (the program's
    /// sound output; RtAudio's port names) to the recorder. True once both sides are connected.
    bool connectPlayer() {
        const char** ports =
            jack_get_ports(client_, ":outport [01]$", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
        for (const char** p = ports; p && *p; ++p) {
            const std::string port = *p;
            if (port.rfind(name_ + ":", 0) == 0) continue;
            jack_port_t* in = port.back() == '0' ? inL_ : inR_;
            if (!jack_port_connected_to(in, port.c_str()))
                jack_connect(client_, port.c_str(), jack_port_name(in));
        }
        jack_free(ports);
        return jack_port_connected(inL_) > 0 && jack_port_connected(inR_) > 0;
    }
    /// MIDI output ports on the server (the program's MIDI device 0 must be ours).
    std::vector<std::string> midiSources() const {
        std::vector<std::string> names;
        const char** ports =
            jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
        for (const char** p = ports; p && *p; ++p)
            names.emplace_back(*p);
        jack_free(ports);
        return names;
    }
    void record(bool on) { recording_.store(on, std::memory_order_release); }
    std::size_t frames() const { return count_.load(std::memory_order_acquire); }
    float left(std::size_t f) const { return left_[f]; }
    float right(std::size_t f) const { return right_[f]; }
    /// Periods the recorder was not run for (their audio is missing from the recording).
    int missedPeriods() const { return missed_.load(std::memory_order_relaxed); }

  private:
    static constexpr uint32_t kMidiSlots = 64;
    struct Message {
        uint8_t bytes[3];
    };

    static int process(jack_nframes_t n, void* arg) {
        auto& self = *static_cast<KeysAndEars*>(arg);
        void* midi = jack_port_get_buffer(self.keys_, n);
        jack_midi_clear_buffer(midi);
        const uint32_t tail = self.midiTail_.load(std::memory_order_acquire);
        for (; self.midiHead_ != tail; ++self.midiHead_)
            jack_midi_event_write(midi, 0, self.midi_[self.midiHead_ % kMidiSlots].bytes, 3);
        // Periods this client was not run for are lost to the recording.
        const jack_nframes_t start = jack_last_frame_time(self.client_);
        if (self.periods_ > 0 && start != self.nextStart_ &&
            self.recording_.load(std::memory_order_acquire))
            self.missed_.fetch_add(1, std::memory_order_relaxed);
        self.nextStart_ = start + n;
        ++self.periods_;
        if (!self.recording_.load(std::memory_order_acquire)) return 0;
        const auto* l = static_cast<const float*>(jack_port_get_buffer(self.inL_, n));
        const auto* r = static_cast<const float*>(jack_port_get_buffer(self.inR_, n));
        std::size_t at = self.count_.load(std::memory_order_relaxed);
        for (jack_nframes_t i = 0; i < n && at < kFrames; ++i, ++at) {
            self.left_[at] = l[i];
            self.right_[at] = r[i];
        }
        self.count_.store(at, std::memory_order_release);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::string name_;
    jack_port_t *keys_ = nullptr, *inL_ = nullptr, *inR_ = nullptr;
    Message midi_[kMidiSlots] = {};
    std::atomic<uint32_t> midiTail_{0};
    uint32_t midiHead_ = 0; // JACK's process thread
    jack_nframes_t nextStart_ = 0;
    uint64_t periods_ = 0;
    std::atomic<int> missed_{0};
    std::vector<float> left_, right_;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> recording_{false};
};

// RtAudio hands the program's 16-bit samples to JACK as floats s / 32768. Returns the 16-bit
// sample, or false when `v` is not such a float.
bool programSample(float v, int16_t& s) {
    const double x = static_cast<double>(v) * 32768.0;
    const double whole = std::round(x);
    if (x != whole || whole < -32768 || whole > 32767) return false;
    s = static_cast<int16_t>(whole);
    return true;
}

// The stereo frames of a 16-bit WAV file (interleaved), or empty.
std::vector<int16_t> wavFrames(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<int16_t> out;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (bytes.compare(at, 4, "data") == 0) {
            const std::size_t n = std::min<std::size_t>(size, bytes.size() - at - 8) / 2;
            out.resize(n);
            std::memcpy(out.data(), bytes.data() + at + 8, 2 * n);
            break;
        }
        at += 8 + size + (size & 1);
    }
    return out;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// One take, as heard live and as rendered from its tape.
struct TakeResult {
    std::vector<int16_t> live;     // interleaved, from the first non-silent frame
    std::vector<int16_t> rendered; // the same
    std::string tapeText;
    int missed = 0;
    std::size_t renderedStart = 0; // engine sample of the first frame
};

std::size_t firstSound(const std::vector<int16_t>& frames) {
    std::size_t f = 0;
    while (f < frames.size() && frames[f] == 0)
        ++f;
    return f / 2;
}

// Whether the live frames from `at` on continue `count` frames of the rendering `shift` frames
// further on.
bool liveContinues(const TakeResult& t, std::size_t at, std::size_t shift, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t live = 2 * (at + k), rendered = 2 * (at + k + shift);
        if (rendered + 1 >= t.rendered.size() || live + 1 >= t.live.size()) return k > 0;
        if (t.live[live] != t.rendered[rendered] || t.live[live + 1] != t.rendered[rendered + 1])
            return false;
    }
    return true;
}

// Periods of 128 frames that JACK did not run the recorder for: from frame `at` on, the live
// frames go on with the rendering whole periods later (any number of frames later when the
// periods missed held the first sound, which aligns the two).
bool liveRecorderMissedPeriods(const TakeResult& t, std::size_t at) {
    if (t.missed == 0) return false;
    for (std::size_t shift = 1; shift <= 64 * 128; ++shift)
        if ((at == 0 || shift % 128 == 0) && liveContinues(t, at, shift, 256)) return true;
    return false;
}

// A gap of silence that an empty output queue left in the live take: the live frames around
// `at` are zero for a while and then go on with the rendered ones where they stopped. The gap
// may begin before `at`, where the rendering was silent too.
bool liveUnderrunAt(const TakeResult& t, std::size_t at) {
    const auto silent = [&](std::size_t f) {
        return 2 * f + 1 < t.live.size() && t.live[2 * f] == 0 && t.live[2 * f + 1] == 0;
    };
    std::size_t begin = at, end = at;
    while (begin > 0 && silent(begin - 1))
        --begin;
    while (silent(end))
        ++end;
    if (end == at) return false;
    for (std::size_t from = begin; from <= at; ++from) { // where the rendering resumes
        std::size_t k = 0;
        for (; k < 256; ++k) {
            const std::size_t live = 2 * (end + k), rendered = 2 * (from + k);
            if (live + 1 >= t.live.size() || rendered + 1 >= t.rendered.size()) break;
            if (t.live[live] != t.rendered[rendered] ||
                t.live[live + 1] != t.rendered[rendered + 1])
                break;
        }
        if (k == 256 || (k > 0 && 2 * (end + k) + 1 >= t.live.size())) return true;
    }
    return false;
}

// Why the live take and its rendering differ ("" when they do not): "busy: ..." when the
// machine spoiled the live take, else what differs.
std::string spoiledBy(const TakeResult& t) {
    // Every kind of gesture reached the tape (a MIDI message in a period JACK skipped is lost).
    for (const char* kind : {" cursor ", " button left down", " button left up", " wheel vertical ",
                             " midi 0 90 3c 64", " midi 0 90 43 50"})
        if (t.tapeText.find(kind) == std::string::npos)
            return std::string("busy: no '") + kind + "' on the tape";
    if (t.rendered.size() < 2u * kRate) return "less than a second of sound was rendered";
    if (t.live.size() < t.rendered.size())
        return "busy: the live recording is shorter than the take (" + std::to_string(t.missed) +
               " periods missed)";
    std::size_t same = 0;
    while (same < t.rendered.size() && t.live[same] == t.rendered[same])
        ++same;
    if (same == t.rendered.size()) return {};
    const std::size_t frame = same / 2;
    if (liveRecorderMissedPeriods(t, frame))
        return "busy: the recorder missed a period at frame " + std::to_string(frame);
    if (liveUnderrunAt(t, frame))
        return "busy: the program's output ran dry at frame " + std::to_string(frame);
    return "the live take and its rendering differ from frame " + std::to_string(frame) + " of " +
           std::to_string(t.rendered.size() / 2) + " (engine sample " +
           std::to_string(frame + t.renderedStart) + "; live " + std::to_string(t.live[same]) +
           ", rendered " + std::to_string(t.rendered[same]) + ")";
}

class LiveTake : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        const char* jack = std::getenv("KV_TEST_JACK");
        if (!display || !*display) GTEST_SKIP() << "no X display (DISPLAY is not set)";
        if (std::system("command -v xdotool >/dev/null") != 0)
            GTEST_SKIP() << "xdotool is not installed";
        if (!jack || std::string(jack) != "1")
            GTEST_SKIP() << "needs a JACK server: run under scripts/test-services.sh";
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Records a take and renders its tape; false with a failure recorded when something other
    // than the comparison went wrong.
    bool take(TakeResult& result);

    fs::path dir = fs::temp_directory_path() / ("kv_tapelive_" + std::to_string(::getpid()));
};

bool xdotool(const std::string& args) {
    return std::system(("xdotool " + args + " >/dev/null").c_str()) == 0;
}

// A line of small cursor steps from (x0, y0) to (x1, y1), 20 ms apart, as one xdotool command.
std::string glide(int x0, int y0, int x1, int y1, int steps) {
    std::string chain;
    for (int i = 1; i <= steps; ++i)
        chain += " mousemove " + std::to_string(x0 + (x1 - x0) * i / steps) + " " +
                 std::to_string(y0 + (y1 - y0) * i / steps) + " sleep 0.02";
    return chain;
}

bool LiveTake::take(TakeResult& result) {
    // On a real-time JACK server the program's JACK threads outrank the machine's other work;
    // this dummy server does not run in real time, so the threads started from here (the
    // program's and the recorder's) get a better share of the processors where permitted.
    (void)setpriority(PRIO_PROCESS, 0, -10);
    KeysAndEars client("kvtake" + std::to_string(::getpid()));
    EXPECT_TRUE(client.ok()) << "the test's JACK client could not be opened";
    if (!client.ok()) return false;
    const std::vector<std::string> sources = client.midiSources();
    EXPECT_EQ(sources, std::vector<std::string>{client.name() + ":keys"})
        << "MIDI input 0 of the program must be the test's keyboard";
    if (sources.size() != 1) return false;

    EngineState state;
    SettingsStore settings{(dir / "kalvitrope.KVS").string()};
    Settings& s = settings.values();
    s.programHasRunPreviously = true;
    s.programHasClosedPreviously = true;
    s.userHasEscapedPreviously = true;
    s.userHasMinimisedPreviously = true;
    s.loadLastAutoSaveOnStartup = false;
    s.checkVersionOnStartup = false;
    s.gestureTapePath = (dir / "tapes").string();
    s.controlDataSampleRate = 750; // not the default: the tape must carry it
    MainWindowOptions options;
    options.audioApi = "jack";
    options.desktopMouse = true;
    auto window = std::make_unique<MainWindow>(state, settings, options);
    MainWindow& w = *window;
    w.show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.windowReady() == kWindowReady; }, 5000));
    QString error;
    EXPECT_TRUE(
        w.loadPatchFile(QStringLiteral(KV_SOURCE_DIR "/tests/data/take_mouse_keys.kvc"), error))
        << error.toStdString();
    // The performance happens on the bare desktop, away from every window of the program
    // (a click there must not reach a control) and from the screen's edges.
    const QRect stage(700, 560, 500, 400);
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible() && top->frameGeometry().intersects(stage)) top->move(0, 0);
    QTest::qWait(100);
    xdotool("mousemove 720 580");
    QTest::qWait(100);

    const bool started = w.startTape(error);
    EXPECT_TRUE(started && w.tapeRecording()) << "the take did not start " << error.toStdString();
    if (!w.tapeRecording()) return false;
    for (QWidget* top : QApplication::topLevelWidgets())
        EXPECT_FALSE(top->isVisible() && top->frameGeometry().intersects(stage))
            << "a window of the program lies where the mouse performs";
    // The program opens its output and the keyboard's device at its first cycles; the patch is
    // silent until the performance starts, so whatever is missed before is silence.
    const bool ready = QTest::qWaitFor(
        [&] {
            const bool heard = client.connectPlayer();
            return heard && client.keysConnected();
        },
        5000);
    EXPECT_TRUE(ready) << "the program's sound output or MIDI input did not appear";
    if (!ready) return false;
    client.record(true);

    // A glide, a note, a drag, a wheel notch, a click and a second note.
    std::atomic<bool> finished{false};
    bool performed = false;
    std::thread performer([&] {
        bool ok = xdotool(glide(720, 580, 900, 700, 15));
        client.send(0x90, 60, 100);
        ok = ok && xdotool(glide(900, 700, 1000, 650, 10));
        ok = ok && xdotool("mousedown 1" + glide(1000, 650, 1100, 800, 15) + " mouseup 1");
        client.send(0x80, 60, 0);
        ok = ok && xdotool("click 4" + glide(1100, 800, 950, 900, 15));
        client.send(0x90, 67, 80);
        ok = ok && xdotool("click 1" + glide(950, 900, 800, 700, 15));
        client.send(0x80, 67, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        performed = ok;
        finished.store(true, std::memory_order_release);
    });
    while (!finished.load(std::memory_order_acquire)) {
        QTest::qWait(20);
        client.connectPlayer(); // a reopened output would show as a gap below
    }
    performer.join();
    EXPECT_TRUE(performed) << "xdotool failed";
    EXPECT_TRUE(w.tapeRecording()) << "the take ended early";
    w.stopTape();
    // What the take queued on the output plays out before the recorder stops: a second of
    // the server's time (a server that does not keep up takes longer for it).
    const std::size_t atStop = client.frames();
    (void)QTest::qWaitFor([&] { return client.frames() >= atStop + kRate; }, 10000);
    client.record(false);
    result.missed = client.missedPeriods();
    const fs::path tape = w.tapeFile();
    window.reset();

    result.tapeText = slurp(tape);
    fs::path patch = tape;
    patch.replace_extension(".kvc");
    const fs::path wav = dir / "render.wav";
    const std::string command = std::string("'") + KV_CLI_PATH + "' render --patch '" +
                                patch.string() + "' --script '" + tape.string() + "' --out '" +
                                wav.string() + "' >'" + (dir / "cli.txt").string() + "' 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(dir / "cli.txt");
    std::vector<int16_t> rendered = wavFrames(wav);
    EXPECT_FALSE(rendered.empty()) << "no rendering";

    std::vector<int16_t> live(2 * client.frames());
    std::size_t odd = 0;
    for (std::size_t f = 0; f < client.frames(); ++f)
        if (!programSample(client.left(f), live[2 * f]) ||
            !programSample(client.right(f), live[2 * f + 1]))
            ++odd;
    EXPECT_EQ(odd, 0u) << "live samples that are no 16-bit sample of the program";
    const std::size_t renderedStart = firstSound(rendered), liveStart = firstSound(live);
    EXPECT_LT(2 * renderedStart, rendered.size()) << "the rendering is silent";
    if (2 * renderedStart >= rendered.size()) return false;
    result.renderedStart = renderedStart;
    result.rendered.assign(rendered.begin() + 2 * renderedStart, rendered.end());
    // A live recording without sound is compared whole: shorter than the take when the server
    // hardly ran the recorder, else silent where the rendering is not.
    result.live.assign(live.begin() + (2 * liveStart < live.size() ? 2 * liveStart : 0),
                       live.end());
    return !::testing::Test::HasFailure();
}

TEST_F(LiveTake, RendersOfflineToTheSamplesPlayedLive) {
    // JACK's dummy server does not run in real time here, so a busy machine may spoil a take:
    // a period the recorder or the program's MIDI input was not run for, or an output queue run
    // dry. Such a take is taken again; the comparison itself stays exact, and a take compared
    // and found different fails at once.
    constexpr int kAttempts = 5;
    std::string reasons;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        // A failure names the takes spoiled before it, and why.
        SCOPED_TRACE("take " + std::to_string(attempt) +
                     "; spoiled before:" + (reasons.empty() ? std::string(" none") : reasons));
        TakeResult t;
        ASSERT_TRUE(take(t)) << "the take could not be made";
        const std::string spoiled = spoiledBy(t);
        if (spoiled.empty()) return; // identical
        if (spoiled.rfind("busy: ", 0) != 0) FAIL() << spoiled;
        std::printf("take %d spoiled (%s); taking it again\n", attempt, spoiled.c_str());
        reasons += "\n" + spoiled;
    }
    GTEST_SKIP() << "the machine was too busy for a whole live take:" << reasons;
}

#else

TEST(LiveTake, RendersOfflineToTheSamplesPlayedLive) {
    GTEST_SKIP() << "this build has no JACK headers";
}

#endif

} // namespace

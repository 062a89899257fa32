#pragma once
// Gesture tapes: a performance (mouse, MIDI, module edits and control-rate changes) recorded as
// the engine consumed it, written as an event script that the headless tool replays sample for
// sample.
//
// A tape is plain UTF-8 text, one event per line, "TIME COMMAND ARGS", TIME in samples:
//   # comment lines
//   0 tape 1 "Take.kvc" 0123456789abcdef    the patch beside the tape and its checksum
//   0 desktop L T R B / 0 origin X Y / 0 rate HZ
//   S cursor X Y          one mouse sampler pass that read the cursor at X Y
//   S wheel vertical D    wheel deltas received before that pass (120 per notch)
//   S button left down    a button as the engine saw it change
//   S midi DEV B1 B2 B3   a MIDI message as the engine applied it
//   S audioin DEV "F" N P sound-card input taken at a cycle end (see devices/tape_audio.h)
//   S set "MODULE" KEY "VALUE"   a module edit, in the patch file's key and value syntax
//   S rate HZ             the control rate the engine took from this sample on
//   S end                 the last line of a complete tape
// Every event is stamped with the engine's sample counter at the control sample where it took
// effect; times never go backwards.
//
// Threads: the recorder's controlSample runs on the engine thread and only puts fixed-size
// records into a preallocated single-producer queue; a writer thread of its own turns them into
// lines and appends them to "<tape>.part", which is renamed to the tape when the take stops. A
// crash leaves the .part file with every line written so far.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "devices/periodic_thread.h"
#include "devices/tape_edits.h"
#include "engine/io.h"
#include "mouse/mouse_backend.h"

namespace kv {

class Module;
class MouseInput;
class MouseSampler;
class MidiInputManager;
class ModuleEdits;
struct ControlTable;

/// Version of the tape format written by this program.
constexpr int kTapeVersion = 1;
/// File name extension of gesture tapes.
constexpr std::string_view kTapeExtension = ".kvtape";

/// One consumed input, as it goes from the engine thread to the writer.
struct TapeEvent {
    enum Kind : uint8_t { Cursor, Button, Wheel, Midi, AudioIn, Set, Rate };
    uint64_t sample = 0;
    Kind kind = Cursor;
    /// Cursor x, y; button index (left, middle, right, x1, x2) and 1 down / 0 up; wheel delta
    /// and 1 horizontal / 0 vertical; MIDI device, status, data 1, data 2; input device, reads
    /// taken before and samples to the next read (0: none); set: the number of its text
    /// (GestureTapeWriter::queueText) when recorded, the first and count of its stores when
    /// played; rate: control samples per second.
    int32_t a = 0, b = 0, c = 0, d = 0;
};

/// The event's line, with its line end ("480 cursor 10 20\n"); empty for a set event, whose
/// text the writer keeps. Input lines name their file beside the tape `tapePath`.
std::string tapeLine(const TapeEvent& e, const std::string& tapePath = {});

/// The file name (without folder) of the WAV that holds what input `device` handed the engine
/// during the take recorded into `tapePath`: "<tape name> input N.wav", "input default.wav" for
/// the default input.
std::string tapeInputFileName(const std::string& tapePath, int device);

/// Checksum of a patch's text (UTF-8 as read from its file): FNV-1a 64 over the text after the
/// header line (whose title is in the user's language), CR dropped so line ends do not matter.
uint64_t patchChecksum(std::string_view patchText);

/// What a tape's first lines say.
struct TapeHeader {
    std::string patchFile; // file name of the patch, relative to the tape's folder
    uint64_t checksum = 0; // patchChecksum of its text
    long left = 0, top = 0, right = 1919, bottom = 1079; // desktop, edges inclusive
    long originX = 0, originY = 0;                       // main window's client origin
    long rate = 4000;                                    // control samples per second
};

/// The header lines: a comment, the tape line, the desktop, the origin and the rate, all at 0.
std::string tapeHeaderText(const TapeHeader& header);

/// The file a tape is written to while it records.
std::string tapePartPath(const std::string& tapePath);

/// Turns queued events into lines of a tape file. Start and stop on the user-interface thread;
/// push on the engine thread.
class GestureTapeWriter {
  public:
    /// Events the queue holds (about ten minutes of mouse passes when the writer stalls).
    static constexpr uint32_t kCapacity = 1u << 16;

    GestureTapeWriter();
    ~GestureTapeWriter();
    GestureTapeWriter(const GestureTapeWriter&) = delete;
    GestureTapeWriter& operator=(const GestureTapeWriter&) = delete;

    /// Creates "<path>.part" with `headerText` and starts the writer thread. False with `error`
    /// (the reason) when the file cannot be created or a take is already recording.
    bool start(const std::string& path, const std::string& headerText, std::string& error);
    /// Queues an event. Never allocates, locks or waits; a full queue counts the event as lost.
    /// Engine thread (one producer).
    void push(const TapeEvent& e) noexcept;
    /// Keeps the text of set event number `number` ("set ..." lines, each ending in a line
    /// feed, without their time) until the event is written. Any thread but the engine's.
    void queueText(uint32_t number, std::string lines);
    bool recording() const { return recording_.load(std::memory_order_acquire); }
    /// Writes what is queued, the `closing` events and the end line "<endSample> end" (both at
    /// the last event's time when that is later), makes the file durable and renames it to the
    /// tape's name. False with `error` when writing failed (the .part file is kept then).
    /// Events pushed after this call are dropped.
    bool stop(uint64_t endSample, std::string& error, std::vector<TapeEvent> closing = {});
    /// Events dropped because the queue was full, in the current or last take.
    uint64_t lost() const { return lost_.load(std::memory_order_relaxed); }
    /// The tape being (or last) written.
    const std::string& path() const { return path_; }

  private:
    bool drain(); // writer thread (or stop, after it joined): false on a write error
    bool writeAll(std::string_view bytes);

    std::unique_ptr<TapeEvent[]> ring_;
    std::atomic<uint32_t> head_{0}, tail_{0};
    std::atomic<bool> recording_{false};
    std::atomic<uint64_t> lost_{0};
    std::string path_;
    int fd_ = -1;
    int error_ = 0; // first write error (errno)
    std::string lines_;
    struct Text {
        uint32_t number;
        std::string lines;
    };
    std::mutex textMutex_;
    std::deque<Text> texts_; // guarded by textMutex_
    void appendSetLines(const TapeEvent& e);
    PeriodicThread thread_;   // the writer: drains the queue into the file(s)
    uint64_t lastSample_ = 0; // of the lines written; the end line never goes before it
};

/// Watches what the engine consumes at each control sample and queues it on the tape: the
/// mouse sampler passes made since the previous control sample (wheel deltas, then the cursor
/// each read), changed buttons, and the MIDI messages held for this control sample.
class GestureTapeRecorder final : public ControlSampleTap {
  public:
    /// Module edits made while the take records reach the engine here (null: none).
    void setEdits(ModuleEdits* edits) { edits_ = edits; }
    /// The control rate the take starts with (the tape's header); a different rate taken by the
    /// engine is recorded. Call before begin.
    void setStartRate(double rate) { rate_ = rate; }
    /// `midi` may be null (no MIDI recorded).
    GestureTapeRecorder(MouseInput& mouse, MidiInputManager* midi, GestureTapeWriter& writer)
        : mouse_(mouse), midi_(midi), writer_(writer) {}

    /// Begins watching: passes made from now on are recorded, buttons count as up (held ones
    /// are recorded down at the first control sample), MIDI is held for the engine. Call with
    /// the engine stopped or the tap detached.
    void begin();
    /// Ends watching: MIDI is no longer held. User-interface thread, after detaching the tap.
    void end();
    /// Engine thread.
    void controlSample(uint64_t sample) override;
    /// Engine thread: held module edits take effect at cycle starts and control samples.
    uint64_t beforeSample(uint64_t sample) override;
    void beforeMouseRows(uint64_t sample) override;
    /// Engine thread: a rate that differs from the last one is recorded.
    void rateTaken(uint64_t sample, double rate) override;
    /// The last control sample or cycle start seen + 1, for the end line. Any thread.
    uint64_t endSample() const { return endSample_.load(std::memory_order_relaxed); }
    /// Mouse passes that could not be recorded (more than the pass log between two control
    /// samples). Any thread.
    uint64_t lostPasses() const { return lostPasses_.load(std::memory_order_relaxed); }

  private:
    static void midiSink(void* self, int device, uint8_t status, uint8_t data1, uint8_t data2);

    MouseInput& mouse_;
    MidiInputManager* midi_;
    GestureTapeWriter& writer_;
    ModuleEdits* edits_ = nullptr;
    double rate_ = 4000;  // engine thread (set before begin): the rate last recorded
    uint64_t sample_ = 0; // engine thread: the control sample being recorded
    uint64_t nextPass_ = 0;
    int64_t vertical_ = 0, horizontal_ = 0; // wheel delta sums already recorded
    bool down_[5] = {};
    std::atomic<uint64_t> endSample_{0};
    std::atomic<uint64_t> lostPasses_{0};
};

/// A gesture tape's recorded sound-card input: the samples (192: the older block, then the newer)
/// that the audio-input modules naming `device` take at the cycle end before `sample`.
struct TapeInputDelivery {
    uint64_t sample = 0;
    int device = 0;
    const int16_t* samples = nullptr;
};

/// Hands `d` to the audio-input modules among `modules` that name its device. Engine thread (or
/// the offline renderer's).
void deliverTapeInput(const TapeInputDelivery& d, const std::vector<Module*>& modules);

/// Plays a tape's mouse and MIDI events into the running engine at its control samples, as the
/// take's engine consumed them: each cursor event is a sampler pass on a cursor of the tape's
/// own, buttons and wheels reach the hook state, MIDI messages the open MIDI input, module edits
/// and rate changes their live values, recorded sound-card input the audio-input modules. The
/// owner mutes the desktop's hook, stops the sampler thread and leaves the replayed inputs to
/// the tape while it plays.
class GestureTapePlayer final : public ControlSampleTap, private platform::MouseBackend {
  public:
    /// `midi` may be null (MIDI events are dropped).
    GestureTapePlayer(MouseInput& mouse, MouseSampler& sampler, MidiInputManager* midi)
        : mouse_(mouse), sampler_(sampler), midi_(midi) {}

    /// Takes the events (in time order, samples counted from the first cycle seen) and the
    /// tape's desktop. Set events name `stores` (first, count): the live values they change.
    /// Rate events go to `controlRate` (may be null when there are none). User-interface
    /// thread, tap detached.
    void load(std::vector<TapeEvent> events, uint64_t endSample,
              const platform::DesktopRect& desktop, std::vector<LiveStore> stores = {},
              std::atomic<double>* controlRate = nullptr);
    /// Adds recorded sound-card input (in time order; its samples stay with the caller until
    /// the replay ends) for the audio-input `modules` of the patch, which must outlive the
    /// replay. After load(); user-interface thread, tap detached.
    void loadInput(std::vector<TapeInputDelivery> deliveries, std::vector<Module*> modules);
    /// Engine thread: the events due, before the mouse rows take the passes they make.
    void beforeMouseRows(uint64_t sample) override;
    /// Engine thread: module edits, rate changes and recorded input at exactly their samples.
    uint64_t beforeSample(uint64_t sample) override;
    void controlSample(uint64_t) override {}
    /// Every event played and the end reached. Any thread.
    bool finished() const { return finished_.load(std::memory_order_acquire); }

  private:
    bool installHook(MouseHookState&, std::string&) override { return true; }
    void removeHook() override {}
    bool cursorPosition(long& x, long& y) override;
    void warpCursor(long x, long y) override;
    platform::DesktopRect desktop() override { return desktop_; }

    MouseInput& mouse_;
    MouseSampler& sampler_;
    MidiInputManager* midi_;
    void checkFinished(uint64_t now);

    std::vector<TapeEvent> events_; // mouse and MIDI
    std::size_t next_ = 0;
    std::vector<TapeEvent> edits_; // set and rate
    std::size_t nextEdit_ = 0;
    std::vector<LiveStore> stores_;
    std::atomic<double>* controlRate_ = nullptr;
    std::vector<TapeInputDelivery> input_;
    std::size_t nextInput_ = 0;
    std::vector<Module*> inputModules_;
    uint64_t end_ = 0;
    bool started_ = false;
    uint64_t base_ = 0;
    long x_ = 0, y_ = 0;
    platform::DesktopRect desktop_;
    std::atomic<bool> finished_{false};
};

/// Puts the mouse's engine-side state where a new program starts it (metrics and wheel
/// positions 0, mouse rows at rest), so that a take recorded from here replays exactly from a
/// fresh start. Engine stopped; the sampler is restarted by its owner.
void resetMouseForTake(MouseInput& mouse, ControlTable& table);

} // namespace kv

#pragma once
// Sound-card input on a gesture tape. What each input device handed the audio-input modules at
// every cycle end (192 samples per read: the older block, then the newer) is written, read after
// read, into a mono 16-bit 48000 Hz WAV beside the tape, "<tape name> input N.wav". The tape says
// when the engine took them, in lines stamped with the engine's sample counter:
//   S audioin DEVICE "FILE" FRAME STEP
// FRAME is the number of samples taken from the device before S (where in FILE the next read
// begins). With STEP above 0, the engine took 192 samples at the cycle end S, and the reads that
// follow came every STEP samples, as many as the device's next line's FRAME counts. STEP 0 takes
// nothing: the take's last line for each device, which says how much FILE holds. A device whose
// reads keep to one rhythm (every other 96-sample cycle when a card delivers at the pace the
// engine reads) needs a line only where the rhythm breaks.
//
// Threads: TapeAudioRecorder runs on the engine thread and only puts fixed-size records into the
// preallocated queues of the tape writer and of TapeAudioWriter; the latter's own thread creates
// the files ("<file>.part" until the take stops) and appends the samples.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_input_stage.h"
#include "devices/gesture_tape.h"
#include "devices/periodic_thread.h"

namespace kv {

class Engine;

/// Samples an audio-input module takes from its device at one cycle end.
constexpr int kTapeInputRead = 2 * WaveInputManager::kBlockSamples;
/// The distance between reads assumed after a first read, in samples: a read takes two blocks,
/// so at the card's pace it comes every other 96-sample cycle.
constexpr int kTapeUsualStep = 192;

/// The 44-byte header of a mono 16-bit 48000 Hz PCM WAV whose data has `dataBytes` bytes.
std::string monoWavHeader(uint32_t dataBytes);

/// Writes the reads of the take's input devices into their WAV files. Start and stop on the
/// user-interface thread; push on the engine thread.
class TapeAudioWriter {
  public:
    /// Reads the queue holds (about 8 s of one input when the writer stalls).
    static constexpr uint32_t kCapacity = 4096;

    TapeAudioWriter() = default;
    ~TapeAudioWriter();
    TapeAudioWriter(const TapeAudioWriter&) = delete;
    TapeAudioWriter& operator=(const TapeAudioWriter&) = delete;

    /// Prepares the queue and starts the writer thread for the take recorded into `tapePath`.
    /// No file is made until an input delivers. False with `error` when already recording.
    bool start(const std::string& tapePath, std::string& error);
    /// Queues read number `read` (0, 1, … per device) of `device`: `older` then `newer`, 96
    /// samples each. Never allocates, locks or waits; a full queue counts the read as lost (its
    /// place in the file is kept, as silence). Engine thread (one producer).
    void push(int device, uint32_t read, const int16_t* older, const int16_t* newer) noexcept;
    bool recording() const { return recording_.load(std::memory_order_acquire); }
    /// Writes what is queued, completes each file's header, makes it durable and renames it to
    /// its name. False with `error` (the file and the reason) when writing failed; the .part
    /// files are kept then. Reads pushed after this call are dropped.
    bool stop(std::string& error);
    /// Reads lost to a full queue in the current or last take. Any thread.
    uint64_t lost() const { return lost_.load(std::memory_order_relaxed); }
    /// The files written by the last take (full paths), after stop.
    std::vector<std::string> files() const;

  private:
    struct Block {
        int32_t device = 0;
        uint32_t read = 0;
        int16_t samples[kTapeInputRead] = {};
    };
    struct File {
        int device = 0;
        int fd = -1;
        uint32_t reads = 0; // reads in the file so far
        std::string path;
    };
    void drain(); // writer thread (or stop, after it joined)
    File* fileFor(int device);
    void put(File& f, const void* bytes, std::size_t size);

    std::unique_ptr<Block[]> ring_;
    std::atomic<uint32_t> head_{0}, tail_{0};
    std::atomic<bool> recording_{false};
    std::atomic<uint64_t> lost_{0};
    std::string tapePath_;
    std::vector<File> files_; // writer thread while recording
    std::string error_;       // first error, with its file
    PeriodicThread thread_;   // the writer: drains the queue into the file(s)
};

/// Watches what the audio-input modules take at every cycle end and records it: the samples go
/// to the WAV writer, the reads that break their rhythm to the tape.
class TapeAudioRecorder final : public CapturedAudioTap {
  public:
    /// `engine` gives the sample counter (read on the engine thread only).
    TapeAudioRecorder(const Engine& engine, GestureTapeWriter& lines, TapeAudioWriter& audio)
        : engine_(engine), lines_(lines), audio_(audio) {}

    /// Begins watching from the engine's first sample. Engine stopped, or the tap detached.
    void begin();
    /// Engine thread.
    void moduleRead(int device, bool took, const int16_t* older,
                    const int16_t* newer) noexcept override;
    void cycleEnd() noexcept override;
    /// The closing line of each device that delivered: how much its file holds. Any thread,
    /// after the tap is detached and a cycle has passed.
    std::vector<TapeEvent> closingLines() const;
    /// The last cycle end seen (a sample counter). Any thread.
    uint64_t endSample() const { return endSample_.load(std::memory_order_relaxed); }
    /// Cycle ends at which modules reading one device took different samples (the tape then
    /// gives them all the first module's). Any thread.
    uint64_t divergent() const { return divergent_.load(std::memory_order_relaxed); }

  private:
    struct Track {
        bool readNow = false; // a module read the device in this cycle
        bool tookNow = false;
        bool reading = false; // the tape foretells the device's next read at `due`
        bool differs = false;
        bool readBefore = false;
        uint32_t nextRead = 0;
        uint64_t due = 0;      // sample counter of the next read the tape foretells
        uint64_t step = 0;     // samples between the reads the tape foretells
        uint64_t lastRead = 0; // cycle end of the last read
        int16_t samples[kTapeInputRead] = {};
    };

    const Engine& engine_;
    GestureTapeWriter& lines_;
    TapeAudioWriter& audio_;
    std::unique_ptr<Track[]> tracks_{new Track[WaveInputManager::kDeviceSlots]};
    /// Reads each device delivered (by device + 1), for the closing lines.
    std::unique_ptr<std::atomic<uint32_t>[]> taken_ {
        new std::atomic<uint32_t>[ WaveInputManager::kDeviceSlots ]
    };
    std::atomic<uint64_t> endSample_{0};
    std::atomic<uint64_t> divergent_{0};
};

} // namespace kv

#pragma once
// Recording a sound-card output into WAV files: every block an output device is about to play is
// also appended, unchanged, to the file of each recording wave writer that names that device.
// Files are 16-bit stereo PCM at 48000 frames per second behind a 44-byte header whose two sizes
// are placeholders (0xFFFFFFFF) until recording stops.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace kv {

class Module;

constexpr std::size_t kWavHeaderBytes = 44;

/// The header written at the start of a new recording, sizes as placeholders.
std::array<uint8_t, kWavHeaderBytes> recorderWavHeader();

class WaveWriterList {
  public:
    enum class StartResult {
        Started,          // the file is open; the recording flag is set
        AlreadyRecording, // nothing done
        EmptyPath,        // no file named: the window offers its file chooser
        OpenFailed,       // the file could not be opened (or is not this recorder's when
                          // appending): show openFailedText(); the recording flag is cleared
    };

    WaveWriterList() = default;
    ~WaveWriterList(); // finishes every recording still running
    WaveWriterList(const WaveWriterList&) = delete;
    WaveWriterList& operator=(const WaveWriterList&) = delete;

    /// User-interface thread: starts recording wave-writer control `control` of `module` into
    /// its (portable) path: appended to an existing file of this recorder when its append box is
    /// on, else a new file with the header.
    StartResult start(Module& module, int control = 0);
    /// User-interface thread: stops the recording: flag cleared, sizes written into the header,
    /// file closed. Does nothing when not recording. Call before the module is destroyed.
    void stop(Module& module, int control = 0);
    /// Stops every control of `module`.
    void stopModule(Module& module);
    /// Program end: finishes every file (sizes written, closed) without touching the modules,
    /// which may be gone already.
    void stopAll();
    /// Whether control `control` of `module` is recording into a file.
    bool isRecording(const Module& module, int control = 0) const;

    /// Output feeder thread, just before a block is queued to device `device` (−1 = default):
    /// appends the block to every recording whose output device is `device`. Write errors are
    /// ignored.
    void writeBlock(const uint8_t* bytes, std::size_t length, int device);

    /// The message and caption for a file that cannot be opened for writing.
    static std::string openFailedText();
    static std::string openFailedCaption();

  private:
    struct Recording {
        Module* module;
        int control;
        std::FILE* file;
    };
    static void finish(std::FILE* file);

    mutable std::mutex mutex_; // the wave-writer list's lock
    std::vector<Recording> recordings_;
};

} // namespace kv

#pragma once
// A 16-bit stereo 48000 Hz WAV file written as frames arrive, saved by the program's safe-save
// rules (an interrupted render never leaves a truncated file), or streamed to standard output.
// Also measures the peak and RMS of what it writes. One thread.
#include <cstdint>
#include <string>

#include "persistence/safe_save.h"

namespace kv::cli {

class WavFileWriter {
  public:
    WavFileWriter() = default;
    ~WavFileWriter(); // an unfinished file is removed
    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    /// Starts the file; "-" writes to standard output. `expectedFrames` goes into the header
    /// written first, which is all a pipe gets; a file's header is completed by finish(). False
    /// with `error` set when the file cannot be created.
    bool open(const std::string& path, std::string& error, int64_t expectedFrames = 0);
    /// Appends interleaved stereo frames. Errors are remembered for finish().
    void write(const int16_t* frames, int64_t frameCount);
    /// Appends silence.
    void writeSilence(int64_t frameCount);
    /// Completes the header and puts the file in place; false with `error` on failure.
    bool finish(std::string& error);

    int64_t frames() const { return frames_; }
    /// Largest magnitude written, as a fraction of full scale (32768).
    double peak() const { return peak_ / 32768.0; }
    /// Root mean square over both channels, as a fraction of full scale.
    double rms() const;

  private:
    void put(const void* data, std::size_t size);

    SafeSave save_;
    bool open_ = false;
    bool toStdout_ = false;
    int stdoutError_ = 0;
    int64_t stdoutStart_ = -1; // where the WAV starts in standard output, -1 when not seekable
    std::string path_;
    int64_t frames_ = 0;
    int peak_ = 0;
    double sumSquares_ = 0;
};

/// The 44-byte header of a 16-bit stereo 48000 Hz PCM WAV file holding `frames` frames.
std::string wavHeader(int64_t frames);

} // namespace kv::cli

#pragma once
// A stereo 48000 Hz WAV file (16-bit, 24-bit or float samples) written as frames arrive, saved by
// the program's safe-save rules (an interrupted render never leaves a truncated file), or streamed
// to standard output. Also measures the peak and RMS of what it writes. One thread.
#include <cstdint>
#include <string>

#include "persistence/safe_save.h"

namespace kv::cli {

/// How a WAV file holds its samples: 16-bit or 24-bit PCM, or 32-bit IEEE float (full scale 1.0).
enum class WavSampleFormat : uint8_t { S16, S24, F32 };

class WavFileWriter {
  public:
    WavFileWriter() = default;
    ~WavFileWriter(); // an unfinished file is removed
    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    /// Starts the file; "-" writes to standard output. `expectedFrames` goes into the header
    /// written first, which is all a pipe gets; a file's header is completed by finish(). False
    /// with `error` set when the file cannot be created.
    bool open(const std::string& path, std::string& error, int64_t expectedFrames = 0,
              WavSampleFormat format = WavSampleFormat::S16);
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
    WavSampleFormat format_ = WavSampleFormat::S16;
    std::string path_;
    int64_t frames_ = 0;
    int peak_ = 0;
    double sumSquares_ = 0;
};

/// The header of a stereo 48000 Hz WAV file holding `frames` frames: 44 bytes for PCM; for float
/// 58 (a format chunk with its extension size, and the fact chunk such files carry).
std::string wavHeader(int64_t frames, WavSampleFormat format = WavSampleFormat::S16);

} // namespace kv::cli

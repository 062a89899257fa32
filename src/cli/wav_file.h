#pragma once
// A 16-bit stereo 48000 Hz WAV file written as frames arrive: kept under a temporary name in the
// target's folder and renamed over the target when finished, so an interrupted render never
// leaves a truncated file. Also measures the peak and RMS of what it writes. One thread.
#include <cstdint>
#include <cstdio>
#include <string>

namespace kv::cli {

class WavFileWriter {
  public:
    WavFileWriter() = default;
    ~WavFileWriter(); // an unfinished file is removed
    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    /// Starts the file; false with `error` set when it cannot be created.
    bool open(const std::string& path, std::string& error);
    /// Appends interleaved stereo frames. Errors are remembered for finish().
    void write(const int16_t* frames, int64_t frameCount);
    /// Appends silence.
    void writeSilence(int64_t frameCount);
    /// Completes the header and renames the file into place; false with `error` on failure.
    bool finish(std::string& error);

    int64_t frames() const { return frames_; }
    /// Largest magnitude written, as a fraction of full scale (32768).
    double peak() const { return peak_ / 32768.0; }
    /// Root mean square over both channels, as a fraction of full scale.
    double rms() const;

  private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string temp_;
    int64_t frames_ = 0;
    int peak_ = 0;
    double sumSquares_ = 0;
    bool failed_ = false;
};

/// The 44-byte header of a 16-bit stereo 48000 Hz PCM WAV file holding `frames` frames.
std::string wavHeader(int64_t frames);

} // namespace kv::cli

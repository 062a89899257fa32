#include "cli/wav_file.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace kv::cli {

namespace {

void put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void put16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

constexpr uint32_t kRate = 48000;
constexpr uint16_t kChannels = 2;

uint16_t bytesPerSample(WavSampleFormat format) {
    switch (format) {
    case WavSampleFormat::S24:
        return 3;
    case WavSampleFormat::F32:
        return 4;
    case WavSampleFormat::S16:
        break;
    }
    return 2;
}

} // namespace

std::string wavHeader(int64_t frames, WavSampleFormat format) {
    const bool isFloat = format == WavSampleFormat::F32;
    const uint16_t bytesPerFrame = kChannels * bytesPerSample(format);
    // What lies between the RIFF size field and the samples: "WAVE", the format chunk, for
    // float its extension size and the fact chunk, the data chunk's header.
    const uint32_t headerRest = isFloat ? 4 + 8 + 18 + 12 + 8 : 4 + 8 + 16 + 8;
    // Sizes beyond 4 GiB cannot be expressed; they are held at the largest value.
    const uint64_t data = static_cast<uint64_t>(frames) * bytesPerFrame;
    const uint32_t dataSize = data > 0xFFFFFFFFull - headerRest
                                  ? (0xFFFFFFFFu - headerRest) / bytesPerFrame * bytesPerFrame
                                  : static_cast<uint32_t>(data);
    std::string h;
    h += "RIFF";
    put32(h, headerRest + dataSize);
    h += "WAVEfmt ";
    put32(h, isFloat ? 18 : 16);
    put16(h, isFloat ? 3 : 1); // IEEE float or PCM
    put16(h, kChannels);
    put32(h, kRate);
    put32(h, kRate * bytesPerFrame);
    put16(h, bytesPerFrame);
    put16(h, static_cast<uint16_t>(8 * bytesPerSample(format)));
    if (isFloat) {
        put16(h, 0); // no further format bytes
        h += "fact";
        put32(h, 4);
        put32(h, dataSize / bytesPerFrame); // frames
    }
    h += "data";
    put32(h, dataSize);
    return h;
}

WavFileWriter::~WavFileWriter() = default; // an unfinished save is abandoned by SafeSave

bool WavFileWriter::open(const std::string& path, std::string& error, int64_t expectedFrames,
                         WavSampleFormat format) {
    format_ = format;
    if (path.empty()) {
        error = "no output file name";
        return false;
    }
    path_ = path;
    toStdout_ = path == "-";
    if (toStdout_) {
        if (::isatty(STDOUT_FILENO)) {
            error = "standard output is a terminal; redirect it to a file or a pipe for the WAV";
            return false;
        }
        const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
        stdoutStart_ = flags >= 0 && !(flags & O_APPEND) ? ::lseek(STDOUT_FILENO, 0, SEEK_CUR) : -1;
    } else {
        const SaveResult r = save_.open(path);
        if (!r) {
            error = "cannot write '" + path + "': " + r.reason;
            return false;
        }
    }
    open_ = true;
    const std::string header = wavHeader(expectedFrames, format_);
    put(header.data(), header.size());
    return true;
}

void WavFileWriter::put(const void* data, std::size_t size) {
    if (!toStdout_) {
        save_.write(data, size);
        return;
    }
    const char* p = static_cast<const char*>(data);
    while (size > 0 && stdoutError_ == 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, size);
        if (n < 0) {
            if (errno != EINTR) stdoutError_ = errno;
            continue;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void WavFileWriter::write(const int16_t* frames, int64_t frameCount) {
    if (!open_ || frameCount <= 0) return;
    const std::size_t width = bytesPerSample(format_);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(frameCount) * kChannels * width);
    unsigned char* out = bytes.data();
    for (int64_t i = 0; i < frameCount * kChannels; ++i) {
        const int16_t s = frames[i];
        const int magnitude = std::abs(static_cast<int>(s));
        if (magnitude > peak_) peak_ = magnitude;
        sumSquares_ += static_cast<double>(s) * s;
        // Little-endian: 16-bit as it is, 24-bit with a low byte of zero, float at 1/32768.
        uint32_t u = static_cast<uint16_t>(s);
        if (format_ == WavSampleFormat::S24)
            u <<= 8;
        else if (format_ == WavSampleFormat::F32)
            u = std::bit_cast<uint32_t>(static_cast<float>(s) / 32768.0f);
        for (std::size_t b = 0; b < width; ++b)
            *out++ = static_cast<unsigned char>(u >> (8 * b));
    }
    put(bytes.data(), bytes.size());
    frames_ += frameCount;
}

void WavFileWriter::writeSilence(int64_t frameCount) {
    const std::vector<int16_t> zeros(4096 * 2, 0);
    while (frameCount > 0) {
        const int64_t n = std::min<int64_t>(frameCount, 4096);
        write(zeros.data(), n);
        frameCount -= n;
    }
}

double WavFileWriter::rms() const {
    return frames_ > 0 ? std::sqrt(sumSquares_ / (2.0 * static_cast<double>(frames_))) / 32768.0
                       : 0.0;
}

bool WavFileWriter::finish(std::string& error) {
    if (!open_) {
        error = "no file open";
        return false;
    }
    open_ = false;
    const std::string header = wavHeader(frames_, format_);
    if (toStdout_) {
        // Standard output redirected to a file can still get the final header; a pipe cannot.
        if (stdoutError_ == 0 && stdoutStart_ >= 0)
            (void)::pwrite(STDOUT_FILENO, header.data(), header.size(), stdoutStart_);
        if (stdoutError_ != 0) {
            error = std::string("writing the WAV to standard output failed: ") +
                    std::strerror(stdoutError_);
            return false;
        }
        return true;
    }
    save_.writeAt(0, header.data(), header.size());
    const SaveResult r = save_.commit();
    if (!r) {
        error = "cannot write '" + path_ + "': " + r.reason;
        return false;
    }
    return true;
}

} // namespace kv::cli

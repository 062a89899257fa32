#include "cli/wav_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

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
constexpr uint16_t kBytesPerFrame = 4;

} // namespace

std::string wavHeader(int64_t frames) {
    // Sizes beyond 4 GiB cannot be expressed; they are held at the largest value.
    const uint64_t data = static_cast<uint64_t>(frames) * kBytesPerFrame;
    const uint32_t dataSize =
        data > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36 : static_cast<uint32_t>(data);
    std::string h;
    h += "RIFF";
    put32(h, 36 + dataSize);
    h += "WAVEfmt ";
    put32(h, 16);
    put16(h, 1); // PCM
    put16(h, kChannels);
    put32(h, kRate);
    put32(h, kRate * kBytesPerFrame);
    put16(h, kBytesPerFrame);
    put16(h, 16);
    h += "data";
    put32(h, dataSize);
    return h;
}

WavFileWriter::~WavFileWriter() {
    if (file_) {
        std::fclose(file_);
        std::remove(temp_.c_str());
    }
}

bool WavFileWriter::open(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (path.empty()) {
        error = "no output file name";
        return false;
    }
    if (fs::is_directory(path, ec)) {
        error = "cannot write '" + path + "': " + std::strerror(EISDIR);
        return false;
    }
    path_ = path;
    const fs::path target(path);
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    temp_ = (folder / ("." + target.filename().string() + ".tmp" + std::to_string(::getpid())))
                .string();
    file_ = std::fopen(temp_.c_str(), "wb");
    if (!file_) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    const std::string header = wavHeader(0);
    failed_ = std::fwrite(header.data(), 1, header.size(), file_) != header.size();
    return true;
}

void WavFileWriter::write(const int16_t* frames, int64_t frameCount) {
    if (!file_ || frameCount <= 0) return;
    std::vector<unsigned char> bytes(static_cast<std::size_t>(frameCount) * kBytesPerFrame);
    for (int64_t i = 0; i < frameCount * 2; ++i) {
        const int16_t s = frames[i];
        const int magnitude = std::abs(static_cast<int>(s));
        if (magnitude > peak_) peak_ = magnitude;
        sumSquares_ += static_cast<double>(s) * s;
        const uint16_t u = static_cast<uint16_t>(s);
        bytes[2 * i] = static_cast<unsigned char>(u & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(u >> 8);
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) failed_ = true;
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
    if (!file_) {
        error = "no file open";
        return false;
    }
    const std::string header = wavHeader(frames_);
    if (std::fseek(file_, 0, SEEK_SET) != 0 ||
        std::fwrite(header.data(), 1, header.size(), file_) != header.size())
        failed_ = true;
    if (std::fflush(file_) != 0 || ::fsync(::fileno(file_)) != 0) failed_ = true;
    const int error0 = errno;
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (failed_) {
        std::remove(temp_.c_str());
        error = "writing '" + path_ + "' failed: " + std::strerror(error0 ? error0 : EIO);
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp_, path_, ec);
    if (ec) {
        std::remove(temp_.c_str());
        error = "cannot write '" + path_ + "': " + ec.message();
        return false;
    }
    return true;
}

} // namespace kv::cli

#include "devices/tape_audio.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "devices/gesture_tape.h"
#include "engine/engine.h"

namespace kv {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
constexpr std::size_t kHeaderBytes = 44;

void put32(std::string& s, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

void put16(std::string& s, std::size_t at, uint16_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
} // namespace

std::string monoWavHeader(uint32_t dataBytes) {
    std::string h(kHeaderBytes, '\0');
    h.replace(0, 4, "RIFF");
    put32(h, 4, dataBytes == 0xFFFFFFFFu ? dataBytes : dataBytes + 36);
    h.replace(8, 8, "WAVEfmt ");
    put32(h, 16, 16);
    put16(h, 20, 1);     // PCM
    put16(h, 22, 1);     // one channel
    put32(h, 24, 48000); // samples per second
    put32(h, 28, 96000); // bytes per second
    put16(h, 32, 2);     // bytes per sample
    put16(h, 34, 16);    // bits per sample
    h.replace(36, 4, "data");
    put32(h, 40, dataBytes);
    return h;
}

// ---------------------------------------------------------------------------------------------
// Writer

TapeAudioWriter::~TapeAudioWriter() {
    if (thread_.running()) {
        std::string unused;
        stop(unused);
    }
}

bool TapeAudioWriter::start(const std::string& tapePath, std::string& error) {
    if (thread_.running()) {
        error = "the input of a gesture tape is already recording";
        return false;
    }
    if (!ring_) ring_.reset(new Block[kCapacity]);
    tapePath_ = tapePath;
    files_.clear();
    error_.clear();
    lost_.store(0, rlx);
    head_.store(0, rlx);
    tail_.store(0, rlx);
    recording_.store(true, std::memory_order_release);
    thread_.start([this] { drain(); });
    return true;
}

void TapeAudioWriter::push(int device, uint32_t read, const int16_t* older,
                           const int16_t* newer) noexcept {
    if (!recording_.load(rlx)) return;
    const uint32_t tail = tail_.load(rlx);
    if (tail - head_.load(std::memory_order_acquire) >= kCapacity) {
        lost_.store(lost_.load(rlx) + 1, rlx);
        return;
    }
    Block& b = ring_[tail % kCapacity];
    b.device = device;
    b.read = read;
    constexpr int kHalf = kTapeInputRead / 2;
    std::copy(older, older + kHalf, b.samples);
    std::copy(newer, newer + kHalf, b.samples + kHalf);
    tail_.store(tail + 1, std::memory_order_release);
}

void TapeAudioWriter::put(File& f, const void* bytes, std::size_t size) {
    auto p = static_cast<const char*>(bytes);
    while (size > 0 && error_.empty()) {
        const ssize_t n = ::write(f.fd, p, size);
        if (n < 0) {
            if (errno != EINTR) error_ = f.path + ": " + std::strerror(errno);
            continue;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

// The file of `device`, created with a placeholder header at its first read.
TapeAudioWriter::File* TapeAudioWriter::fileFor(int device) {
    for (File& f : files_)
        if (f.device == device) return &f;
    File f;
    f.device = device;
    f.path = folderOf(tapePath_) + tapeInputFileName(tapePath_, device);
    const std::string part = f.path + ".part";
    f.fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (f.fd < 0) {
        if (error_.empty()) error_ = part + ": " + std::strerror(errno);
        return nullptr;
    }
    files_.push_back(f);
    File& added = files_.back();
    const std::string header = monoWavHeader(0xFFFFFFFFu);
    put(added, header.data(), header.size());
    return &added;
}

void TapeAudioWriter::drain() {
    static constexpr int16_t kSilence[kTapeInputRead] = {};
    uint32_t head = head_.load(rlx);
    const uint32_t tail = tail_.load(std::memory_order_acquire);
    for (; head != tail; ++head) {
        const Block& b = ring_[head % kCapacity];
        File* f = fileFor(b.device);
        if (!f) continue;
        // Reads lost to a full queue keep their places, so later reads stay where the tape says.
        for (; f->reads < b.read; ++f->reads)
            put(*f, kSilence, sizeof kSilence);
        if (f->reads == b.read) {
            put(*f, b.samples, sizeof b.samples);
            ++f->reads;
        }
    }
    head_.store(head, std::memory_order_release);
}

bool TapeAudioWriter::stop(std::string& error) {
    if (!thread_.running()) {
        error = "the input of no gesture tape is recording";
        return false;
    }
    recording_.store(false, std::memory_order_release);
    thread_.stop();
    drain();
    for (File& f : files_) {
        const uint64_t bytes = uint64_t{f.reads} * sizeof(Block::samples);
        // A file beyond 4 GiB keeps its placeholders: readers take it to its end.
        const std::string header = monoWavHeader(
            bytes <= 0xFFFFFFFFu - kHeaderBytes ? static_cast<uint32_t>(bytes) : 0xFFFFFFFFu);
        if (error_.empty() &&
            ::pwrite(f.fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()))
            error_ = f.path + ".part: " + std::strerror(errno);
        if (error_.empty() && ::fsync(f.fd) != 0)
            error_ = f.path + ".part: " + std::strerror(errno);
        if (::close(f.fd) != 0 && error_.empty())
            error_ = f.path + ".part: " + std::strerror(errno);
        f.fd = -1;
    }
    for (File& f : files_)
        if (error_.empty() && std::rename((f.path + ".part").c_str(), f.path.c_str()) != 0)
            error_ = f.path + ": " + std::strerror(errno);
    if (!error_.empty()) {
        error = error_;
        return false;
    }
    return true;
}

std::vector<std::string> TapeAudioWriter::files() const {
    std::vector<std::string> paths;
    for (const File& f : files_)
        paths.push_back(f.path);
    return paths;
}

// ---------------------------------------------------------------------------------------------
// Recorder

void TapeAudioRecorder::begin() {
    for (int i = 0; i < WaveInputManager::kDeviceSlots; ++i) {
        tracks_[i] = Track{};
        taken_[i].store(0, rlx);
    }
    endSample_.store(0, rlx);
    divergent_.store(0, rlx);
}

void TapeAudioRecorder::moduleRead(int device, bool took, const int16_t* older,
                                   const int16_t* newer) noexcept {
    if (device < -1 || device >= WaveInputManager::kDeviceSlots - 1) return;
    Track& t = tracks_[device + 1];
    constexpr int kHalf = kTapeInputRead / 2;
    if (!t.readNow) {
        t.readNow = true;
        t.tookNow = took;
        if (took) {
            std::copy(older, older + kHalf, t.samples);
            std::copy(newer, newer + kHalf, t.samples + kHalf);
        }
        return;
    }
    // A second module on the same device: the tape can give both only the same samples.
    if (took != t.tookNow || (took && (!std::equal(older, older + kHalf, t.samples) ||
                                       !std::equal(newer, newer + kHalf, t.samples + kHalf))))
        t.differs = true;
}

void TapeAudioRecorder::cycleEnd() noexcept {
    const uint64_t end = engine_.sampleCounter();
    for (int i = 0; i < WaveInputManager::kDeviceSlots; ++i) {
        Track& t = tracks_[i];
        if (!t.readNow && !t.reading) continue;
        const int device = i - 1;
        if (t.differs) divergent_.store(divergent_.load(rlx) + 1, rlx);
        if (t.readNow && t.tookNow) {
            audio_.push(device, t.nextRead, t.samples, t.samples + kTapeInputRead / 2);
            // A read the tape did not foretell starts a new rhythm: the last distance, unless
            // the device paused.
            if (!t.reading || end != t.due) {
                const uint64_t since = end - t.lastRead;
                t.step = t.readBefore && since <= 2 * kTapeUsualStep ? since : kTapeUsualStep;
                lines_.push({end, TapeEvent::AudioIn, device, static_cast<int32_t>(t.nextRead),
                             static_cast<int32_t>(t.step)});
            }
            t.reading = t.readBefore = true;
            t.due = end + t.step;
            t.lastRead = end;
            taken_[i].store(++t.nextRead, std::memory_order_release);
        } else if (t.reading && end >= t.due) {
            t.reading = false; // the foretold read did not come: the next one gets a line
        }
        t.readNow = t.tookNow = t.differs = false;
    }
    endSample_.store(end, rlx);
}

std::vector<TapeEvent> TapeAudioRecorder::closingLines() const {
    std::vector<TapeEvent> lines;
    for (int i = 0; i < WaveInputManager::kDeviceSlots; ++i)
        if (const uint32_t reads = taken_[i].load(std::memory_order_acquire))
            lines.push_back({0, TapeEvent::AudioIn, i - 1, static_cast<int32_t>(reads), 0});
    return lines;
}

} // namespace kv

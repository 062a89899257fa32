#include "devices/wav_writer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <thread>

#include "modules/module.h"
#include "modules/module_controls.h"
#include "persistence/language.h"
#include "persistence/paths.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;
constexpr int kOpenFailedString = 149;
constexpr int kOpenFailedCaptionString = 150;

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// An existing file this recorder may continue: an empty file (which gets a header), or one that
// begins with this recorder's header, whatever its two sizes say. Anything else is left alone.
enum class Existing { Empty, Ours, Foreign };

Existing classify(std::FILE* f) {
    uint8_t head[kWavHeaderBytes];
    const std::size_t got = std::fread(head, 1, sizeof head, f);
    if (got == 0 && std::feof(f)) return Existing::Empty;
    if (got != sizeof head) return Existing::Foreign;
    auto expected = recorderWavHeader();
    for (std::size_t i : {4u, 5u, 6u, 7u, 40u, 41u, 42u, 43u})
        head[i] = expected[i];
    return std::memcmp(head, expected.data(), sizeof head) == 0 ? Existing::Ours
                                                                : Existing::Foreign;
}

} // namespace

std::array<uint8_t, kWavHeaderBytes> recorderWavHeader() {
    std::array<uint8_t, kWavHeaderBytes> h{};
    uint8_t* p = h.data();
    std::memcpy(p, "RIFF", 4);
    put32(p + 4, 0xFFFFFFFFu);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    put32(p + 16, 16);
    put16(p + 20, 1);      // PCM
    put16(p + 22, 2);      // channels
    put32(p + 24, 48000);  // frames per second
    put32(p + 28, 192000); // bytes per second
    put16(p + 32, 4);      // bytes per frame
    put16(p + 34, 16);     // bits per sample
    std::memcpy(p + 36, "data", 4);
    put32(p + 40, 0xFFFFFFFFu);
    return h;
}

WaveWriterList::~WaveWriterList() {
    stopAll();
}

std::string WaveWriterList::openFailedText() {
    return languageString(kOpenFailedString);
}

std::string WaveWriterList::openFailedCaption() {
    return languageString(kOpenFailedCaptionString);
}

bool WaveWriterList::isRecording(const Module& module, int control) const {
    std::lock_guard lock(mutex_);
    return std::any_of(recordings_.begin(), recordings_.end(), [&](const Recording& r) {
        return r.module == &module && r.control == control;
    });
}

WaveWriterList::StartResult WaveWriterList::start(Module& module, int control) {
    if (control < 0 || control >= kSlotsPerKind) return StartResult::OpenFailed;
    WaveWriterSlot& slot = module.waveWriters[static_cast<std::size_t>(control)];
    if (isRecording(module, control)) return StartResult::AlreadyRecording;
    if (slot.path.empty()) {
        slot.recording.store(false, rlx);
        return StartResult::EmptyPath;
    }
    const std::string path = expandPath(slot.path);
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    std::FILE* f = nullptr;
    bool writeHeader = true;
    if (slot.append.load(rlx) && exists) {
        f = std::fopen(path.c_str(), "r+b");
        if (f) {
            const Existing kind = classify(f);
            if (kind == Existing::Foreign) {
                std::fclose(f);
                f = nullptr;
            } else {
                writeHeader = kind == Existing::Empty;
                std::fseek(f, 0, SEEK_END);
            }
        }
    } else {
        f = std::fopen(path.c_str(), "wb");
    }
    if (f && writeHeader) {
        const auto header = recorderWavHeader();
        if (std::fwrite(header.data(), 1, header.size(), f) != header.size()) {
            std::fclose(f);
            f = nullptr;
        }
    }
    if (!f) {
        slot.recording.store(false, rlx);
        return StartResult::OpenFailed;
    }
    {
        std::lock_guard lock(mutex_);
        recordings_.push_back({&module, control, f});
    }
    slot.recording.store(true, rlx);
    return StartResult::Started;
}

void WaveWriterList::finish(std::FILE* f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    if (size >= static_cast<long>(kWavHeaderBytes)) {
        // Sizes beyond what the header can hold keep the "read to the end" placeholder.
        auto field = [](long v) {
            return v > 0xFFFFFFFFL ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
        };
        uint8_t b[4];
        put32(b, field(size - 8));
        std::fseek(f, 4, SEEK_SET);
        std::fwrite(b, 1, 4, f);
        put32(b, field(size - static_cast<long>(kWavHeaderBytes)));
        std::fseek(f, 40, SEEK_SET);
        std::fwrite(b, 1, 4, f);
    }
    std::fclose(f);
}

void WaveWriterList::stop(Module& module, int control) {
    if (control < 0 || control >= kSlotsPerKind) return;
    module.waveWriters[static_cast<std::size_t>(control)].recording.store(false, rlx);
    if (!isRecording(module, control)) return;
    // A block a feeder is writing finishes first; the list's lock below makes sure of it.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::FILE* f = nullptr;
    {
        std::lock_guard lock(mutex_);
        for (auto it = recordings_.begin(); it != recordings_.end(); ++it)
            if (it->module == &module && it->control == control) {
                f = it->file;
                recordings_.erase(it);
                break;
            }
    }
    if (f) finish(f);
}

void WaveWriterList::stopModule(Module& module) {
    for (int k = 0; k < kSlotsPerKind; ++k)
        stop(module, k);
}

void WaveWriterList::stopAll() {
    std::vector<Recording> ending;
    {
        std::lock_guard lock(mutex_);
        ending.swap(recordings_);
    }
    for (auto& r : ending)
        finish(r.file);
}

void WaveWriterList::writeBlock(const uint8_t* bytes, std::size_t length, int device) {
    std::lock_guard lock(mutex_);
    for (const Recording& r : recordings_) {
        Module& m = *r.module;
        if (AudioWaveWriterControls{m}.outputDeviceId().code.load(rlx) != device) continue;
        if (!m.waveWriters[static_cast<std::size_t>(r.control)].recording.load(rlx)) continue;
        std::fwrite(bytes, 1, length, r.file);
    }
}

} // namespace kv

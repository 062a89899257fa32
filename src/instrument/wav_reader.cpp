#include "instrument/wav_reader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace kv {

namespace {

uint32_t le32(std::string_view b, std::size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<std::size_t>(i)]);
    return v;
}

uint16_t le16(std::string_view b, std::size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) |
                                 (static_cast<uint8_t>(b[at + 1]) << 8));
}

// The 16 bytes of a format chunk: 16-bit PCM at 48000 Hz with at least one channel.
bool checkFormat(std::string_view body, unsigned& channels, std::string& error) {
    const uint16_t format = le16(body, 0);
    channels = le16(body, 2);
    const uint32_t rate = le32(body, 4);
    const uint16_t bits = le16(body, 14);
    if ((format != 1 && format != 0xFFFE) || bits != 16) {
        error = "not 16-bit PCM";
        return false;
    }
    if (channels == 0) {
        error = "no channels";
        return false;
    }
    if (rate != 48000) {
        error = "sample rate " + std::to_string(rate) + " Hz (48000 Hz needed)";
        return false;
    }
    return true;
}

} // namespace

bool decodeWavMono(std::string_view bytes, std::vector<int16_t>& samples, std::string& error) {
    samples.clear();
    if (bytes.size() < 12 || bytes.substr(0, 4) != "RIFF" || bytes.substr(8, 4) != "WAVE") {
        error = "not a WAV file (no RIFF/WAVE header)";
        return false;
    }
    bool haveFormat = false;
    unsigned channels = 0;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string_view id = bytes.substr(at, 4);
        const uint64_t size = le32(bytes, at + 4);
        const std::size_t body = at + 8;
        const std::size_t available = bytes.size() - body;
        if (id == "fmt ") {
            if (size < 16 || available < 16) {
                error = "format chunk too short";
                return false;
            }
            if (!checkFormat(bytes.substr(body, 16), channels, error)) return false;
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat) {
                error = "data chunk before the format chunk";
                return false;
            }
            const std::size_t length =
                size < available ? static_cast<std::size_t>(size) : available;
            const std::size_t frameBytes = 2u * channels;
            const std::size_t frames = length / frameBytes;
            samples.reserve(frames);
            for (std::size_t f = 0; f < frames; ++f) {
                long sum = 0;
                for (unsigned c = 0; c < channels; ++c)
                    sum += static_cast<int16_t>(le16(bytes, body + f * frameBytes + 2u * c));
                samples.push_back(static_cast<int16_t>(sum / static_cast<long>(channels)));
            }
            return true;
        }
        if (size > available) break;
        at = body + static_cast<std::size_t>(size) + (size & 1);
    }
    error = haveFormat ? "no data chunk" : "no format chunk";
    return false;
}

bool readWavMono(const std::string& path, std::vector<int16_t>& samples, std::string& error,
                 uint64_t maxFrames) {
    samples.clear();
    auto fail = [&](const std::string& problem) {
        error = "'" + path + "': " + problem;
        samples.clear();
        return false;
    };
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(st)) {
        error = "cannot open '" + path + "'";
        return false;
    }
    // A device or a pipe would never end (or never start).
    if (!std::filesystem::is_regular_file(st)) return fail("not a regular file");
    const uint64_t fileSize = std::filesystem::file_size(path, ec);
    std::ifstream in(path, std::ios::binary);
    if (ec || !in) {
        error = "cannot open '" + path + "'";
        return false;
    }
    // Only the chunk headers, the format and the samples wanted are read.
    auto readAt = [&](uint64_t at, std::size_t n, std::string& into) {
        into.resize(n);
        in.clear();
        in.seekg(static_cast<std::streamoff>(at));
        in.read(into.data(), static_cast<std::streamsize>(n));
        return static_cast<std::size_t>(in.gcount()) == n;
    };
    std::string head;
    if (fileSize < 12 || !readAt(0, 12, head) || head.compare(0, 4, "RIFF") != 0 ||
        head.compare(8, 4, "WAVE") != 0)
        return fail("not a WAV file (no RIFF/WAVE header)");
    bool haveFormat = false;
    unsigned channels = 0;
    uint64_t at = 12;
    while (at + 8 <= fileSize) {
        if (!readAt(at, 8, head)) break;
        const std::string id = head.substr(0, 4);
        const uint64_t size = le32(head, 4);
        const uint64_t body = at + 8;
        const uint64_t available = fileSize - body;
        if (id == "fmt ") {
            std::string format;
            if (size < 16 || available < 16 || !readAt(body, 16, format))
                return fail("format chunk too short");
            std::string problem;
            if (!checkFormat(format, channels, problem)) return fail(problem);
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat) return fail("data chunk before the format chunk");
            const uint64_t frameBytes = 2u * channels;
            const uint64_t frames = std::min(std::min(size, available) / frameBytes, maxFrames);
            samples.reserve(static_cast<std::size_t>(frames));
            constexpr uint64_t kBlockFrames = 16384;
            std::string block;
            for (uint64_t f = 0; f < frames; f += kBlockFrames) {
                const uint64_t n = std::min(kBlockFrames, frames - f);
                if (!readAt(body + f * frameBytes, static_cast<std::size_t>(n * frameBytes), block))
                    return fail("cannot read the samples");
                for (uint64_t i = 0; i < n; ++i) {
                    long sum = 0;
                    for (unsigned c = 0; c < channels; ++c)
                        sum += static_cast<int16_t>(le16(block, i * frameBytes + 2u * c));
                    samples.push_back(static_cast<int16_t>(sum / static_cast<long>(channels)));
                }
            }
            return true;
        }
        if (size > available) break;
        at = body + size + (size & 1);
    }
    return fail(haveFormat ? "no data chunk" : "no format chunk");
}

} // namespace kv

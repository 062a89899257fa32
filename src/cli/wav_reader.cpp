#include "cli/wav_reader.h"

#include <fstream>
#include <iterator>

namespace kv::cli {

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
            const uint16_t format = le16(bytes, body);
            channels = le16(bytes, body + 2);
            const uint32_t rate = le32(bytes, body + 4);
            const uint16_t bits = le16(bytes, body + 14);
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

bool readWavMono(const std::string& path, std::vector<int16_t>& samples, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open '" + path + "'";
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!decodeWavMono(bytes, samples, error)) {
        error = "'" + path + "': " + error;
        return false;
    }
    return true;
}

} // namespace kv::cli

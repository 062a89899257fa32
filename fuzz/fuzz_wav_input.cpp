// WAV files given to a scripted sound-card input: any bytes decode or give a reason, never
// reading past the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "instrument/wav_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<int16_t> samples;
    std::string error;
    if (!kv::decodeWavMono(bytes, samples, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (samples.size() > size / 2) std::abort();
    return 0;
}

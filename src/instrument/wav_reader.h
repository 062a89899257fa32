#pragma once
// Reading a WAV file for a scripted sound-card input: 16-bit PCM at 48000 frames per second, any
// channel count, mixed down to mono. Pure parsing; any thread.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

/// Decodes the bytes of a WAV file into mono samples (channels averaged). False with `error`
/// saying what is wrong (not RIFF/WAVE, no format or data chunk, not 16-bit PCM, not 48000 Hz).
/// A data size beyond the file (an unfinished recording) reads to the end of the file.
bool decodeWavMono(std::string_view bytes, std::vector<int16_t>& samples, std::string& error);

/// Reads and decodes a file as decodeWavMono does, at most `maxFrames` frames of it (only what
/// is wanted is read); false with `error` naming the file and the problem. What is not a regular
/// file (a device, a pipe) is refused.
bool readWavMono(const std::string& path, std::vector<int16_t>& samples, std::string& error,
                 uint64_t maxFrames = UINT64_MAX);

} // namespace kv

#pragma once
// The gestures the built-in presets are played with in tests: a preset's own check script from
// tests/data/presets/preset_<N>.script, else one that suits its menu kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/wav_file.h"
#include "modules/presets.h"

namespace kv::test {

namespace fs = std::filesystem;

inline constexpr int kSeconds = 30;
inline constexpr int kFrames = kSeconds * 48000;

enum class Gesture { Mouse, Midi, Microphone };

inline Gesture gestureFor(const PresetInfo& p) {
    if (p.submenu == kPresetsMicrophone) return Gesture::Microphone;
    if (p.submenu == kPresetsMidiKeyboard ||
        std::find(std::begin(kDemoMidi), std::end(kDemoMidi), p.resource) != std::end(kDemoMidi))
        return Gesture::Midi;
    return Gesture::Mouse;
}

// Circles around the desktop's centre (one turn per 2 s, the radius halving every other 5 s),
// the left button held for 0.5 s every 2 s, the right and middle ones now and then, four wheel
// notches a second (changing direction every 6 s) and a tilt of the wheel every second.
inline std::string mouseGesture() {
    std::ostringstream s;
    for (int i = 0; i < kSeconds * 100; ++i) {
        const double t = i / 100.0;
        const double a = 2 * M_PI * t / 2.0;
        const double r = (static_cast<int>(t) / 5) % 2 == 0 ? 300 : 150;
        s << i * 10 << "ms cursor " << static_cast<int>(960 + r * std::cos(a)) << ' '
          << static_cast<int>(540 + r * std::sin(a)) << '\n';
    }
    for (int k = 0; k < kSeconds; ++k) {
        const int ms = k * 1000;
        if (k % 2 == 0) s << ms << "ms button left down\n" << ms + 500 << "ms button left up\n";
        if (k % 5 == 1) s << ms << "ms button right down\n" << ms + 1000 << "ms button right up\n";
        if (k % 7 == 3) s << ms << "ms button middle down\n" << ms + 400 << "ms button middle up\n";
        for (int q = 0; q < 4; ++q)
            s << ms + q * 250 + 125 << "ms wheel vertical " << ((k / 6) % 2 == 0 ? 120 : -120)
              << '\n';
        s << ms + 600 << "ms wheel horizontal 120\n";
    }
    return s.str();
}

// Chords of four keys on MIDI input 0, held 1.5 s of every 2 s, moving up a tone twice and back.
inline std::string midiGesture() {
    std::ostringstream s;
    s << std::hex << std::uppercase;
    for (int k = 0; k < kSeconds / 2; ++k)
        for (int key : {0x3C, 0x40, 0x43, 0x48}) {
            const int note = key + (k % 3) * 2;
            s << std::dec << k * 2000 << "ms midi 0 90 " << std::hex << note << " 64\n";
            s << std::dec << k * 2000 + 1500 << "ms midi 0 80 " << std::hex << note << " 00\n";
        }
    return s.str();
}

// A voice-like test input: a 150 Hz buzz with a slow vibrato, spoken in syllables of 0.4 s.
inline void writeVoiceWav(const std::string& path) {
    std::vector<int16_t> frames(2 * kFrames);
    double phase = 0;
    for (int i = 0; i < kFrames; ++i) {
        const double t = i / 48000.0;
        phase += 2 * M_PI * (150 + 8 * std::sin(2 * M_PI * 5 * t)) / 48000.0;
        const double syllable = std::max(0.0, std::sin(2 * M_PI * t / 0.8));
        double v = 0;
        for (int h = 1; h <= 6; ++h)
            v += std::sin(h * phase) / h;
        const auto s = static_cast<int16_t>(9000 * syllable * v);
        frames[2 * i] = frames[2 * i + 1] = s;
    }
    cli::WavFileWriter wav;
    std::string error;
    ASSERT_TRUE(wav.open(path, error)) << error;
    wav.write(frames.data(), kFrames);
    ASSERT_TRUE(wav.finish(error)) << error;
}

inline std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The script preset `p` is played with; a voice it needs is written into `dir`.
inline std::string presetScript(const PresetInfo& p, const fs::path& dir) {
    const fs::path own = fs::path(KV_SOURCE_DIR) / "tests/data/presets" /
                         ("preset_" + std::to_string(p.resource) + ".script");
    if (fs::exists(own)) return slurp(own);
    switch (gestureFor(p)) {
    case Gesture::Midi:
        return midiGesture();
    case Gesture::Microphone: {
        const std::string wav = (dir / "voice.wav").string();
        writeVoiceWav(wav);
        // The default input and input 0 both hear it.
        return "0 audioin -1 " + wav + "\n0 audioin 0 " + wav + "\n";
    }
    case Gesture::Mouse:
        break;
    }
    return mouseGesture();
}

} // namespace kv::test

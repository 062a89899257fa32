#pragma once
// The control table: 155 rows of up to 128 voices through which all modules exchange signals.
#include <cstdint>

namespace kv {

constexpr int kSampleRate = 48000; // frames per second
constexpr int kBaseChunk = 96;     // samples per engine cycle before adjustment
constexpr int kVoices = 128;       // voices per row
constexpr int kModuleRows = 128;   // rows 0..127 belong to modules
constexpr int kMouseRowBase = 128; // rows 128..154 carry the mouse sources
constexpr int kMouseRowCount = 27;
constexpr int kRowCount = 155;

/// Source selector values besides row numbers.
constexpr int kSourceManual = -1000;
constexpr int kSourceNone = -1;

/// One row. Primary values per mille (or Hz for notes, engine units for audio), velocities 0..127.
/// Written by the engine thread only while it runs.
struct ControlRow {
    uint8_t voiceCount = 0;
    uint8_t noteId[kVoices] = {};
    double primary[kVoices] = {};
    double primarySmoothed[kVoices] = {};
    double velocity[kVoices] = {};
    double velocitySmoothed[kVoices] = {};
    /// Largest |primary| per voice since the engine last handed it to the owner's published
    /// levels (audio rows of compact windows). Engine thread only.
    double meterPeak[kVoices] = {};
};

struct ControlTable {
    ControlRow rows[kRowCount];

    /// Program-start state: module rows empty and zero; mouse rows velocity 127, note id = own
    /// index, one voice.
    void initialise();
    /// Row registration: clear all four arrays, then voices / velocity of voice 0 as given.
    void registerRow(int row, uint8_t voices, uint8_t velocity);
    /// Row release: clear the primary values (raw and smoothed).
    void releaseRow(int row);
};

} // namespace kv

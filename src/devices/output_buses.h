#pragma once
// The ten output buses, into which the engine adds what each audio module sends to an output
// device ID, and the latency controller that sizes the next cycle's chunk from how much audio is
// queued on the devices. Bus k carries device k − 1: bus 0 the default output, buses 1..9 devices
// 0..8; higher device numbers are never sounded. All of it belongs to the engine thread.
#include <array>
#include <cstdint>

#include "engine/io.h"

namespace kv {

/// Where the buses hand their chunks at the end of a cycle (the output device manager).
class ChunkWriter {
  public:
    virtual ~ChunkWriter() = default;
    /// Adds `chunk` to the device and channels of output device ID `code`; stores the device's
    /// queued latency (blocks) in `queuedLatency` when given and the device is open. Engine thread.
    virtual bool write(int code, const SampleChunk& chunk, int64_t* queuedLatency) = 0;
};

struct OutputBus {
    SampleChunk left;
    SampleChunk right;
    bool used = false;
    double target = 0.0; // target length adjustment, frames relative to 96; kept across cycles
};

/// The engine-side latency figures that a flush reads and updates.
struct LatencyControl {
    int desiredLatency = 36;           // D, ms
    double millisecondsPerChunk = 2.0; // measured average cycle duration, ms
    int8_t chunkAdjustment = 0;        // next cycle computes 96 + this samples (updated)
    double smoothedLatency = 0.0;      // ms, shown to the user (updated)
};

class OutputBuses {
  public:
    static constexpr int kBusCount = 10;

    /// Engine thread start: every target adjustment back to 0.
    void resetTargets();
    /// Start of a cycle: both chunks of every bus zeroed and given `chunkAdjustment` as their
    /// length byte; every bus unused.
    void startCycle(int8_t chunkAdjustment);
    /// Adds `value` (engine units) at sample `index` to the bus that output device ID `code`
    /// names: both chunks, or the left or right one only. Device numbers above 8 are ignored.
    void add(int index, int code, double value);
    /// add() for indices first..first+count−1 with values[0..count−1].
    void addSamples(int first, int count, int code, const double* values);
    /// End of a cycle: each used bus is cut or stretched to its target, written to `writer` (left
    /// then right), and its target follows the measured latency. The first used bus sets the next
    /// chunk adjustment and the smoothed latency in `latency`. Returns whether any bus was used.
    bool flush(ChunkWriter& writer, LatencyControl& latency);

    OutputBus& bus(int k) { return buses_[k]; }
    const OutputBus& bus(int k) const { return buses_[k]; }

  private:
    std::array<OutputBus, kBusCount> buses_{};
};

} // namespace kv

#include "devices/output_buses.h"

#include <cmath>
#include <cstring>

namespace kv {

namespace {

constexpr double kMillisecondsPerBaseChunk = 2.0; // 96 frames at 48 frames per millisecond

// Repeats the chunk's last valid sample one slot further and lengthens it by one frame.
void stretchByOne(SampleChunk& chunk) {
    const int n = chunk.length();
    if (n >= 1 && n <= SampleChunk::kSlots) chunk.samples[n] = chunk.samples[n - 1];
    ++chunk.lengthByte;
}

} // namespace

void OutputBuses::resetTargets() {
    for (OutputBus& bus : buses_)
        bus.target = 0.0;
}

void OutputBuses::startCycle(int8_t chunkAdjustment) {
    for (OutputBus& bus : buses_) {
        bus.left = SampleChunk{};
        bus.right = SampleChunk{};
        bus.left.lengthByte = chunkAdjustment;
        bus.right.lengthByte = chunkAdjustment;
        bus.used = false;
    }
}

namespace {

// The bus of an output device code and which of its sides it feeds; false when none.
bool decodeBus(int code, int& k, bool& left, bool& right) {
    left = right = true;
    if (code < 99) {
        k = code + 1;
    } else if (code < 199) {
        k = code - 99;
        right = false;
    } else {
        k = code - 199;
        left = false;
    }
    return k >= 0 && k < OutputBuses::kBusCount;
}

} // namespace

void OutputBuses::add(int index, int code, double value) {
    if (index < 0 || index >= SampleChunk::kSlots) return;
    int k;
    bool left, right;
    if (!decodeBus(code, k, left, right)) return;
    OutputBus& bus = buses_[k];
    if (left) bus.left.samples[index] += value;
    if (right) bus.right.samples[index] += value;
    bus.used = true;
}

void OutputBuses::addSamples(int first, int count, int code, const double* values) {
    if (first < 0) {
        values -= first;
        count += first;
        first = 0;
    }
    if (count > SampleChunk::kSlots - first) count = SampleChunk::kSlots - first;
    int k;
    bool left, right;
    if (count <= 0 || !decodeBus(code, k, left, right)) return;
    OutputBus& bus = buses_[k];
    // Two samples at a time (the buffers never overlap the values).
    using Pair = double __attribute__((vector_size(16)));
    auto addTo = [count, values](double* to) {
        int s = 0;
        for (; s + 2 <= count; s += 2) {
            Pair a, b;
            std::memcpy(&a, to + s, sizeof a);
            std::memcpy(&b, values + s, sizeof b);
            a += b;
            std::memcpy(to + s, &a, sizeof a);
        }
        if (s < count) to[s] += values[s];
    };
    if (left) addTo(bus.left.samples + first);
    if (right) addTo(bus.right.samples + first);
    bus.used = true;
}

bool OutputBuses::flush(ChunkWriter& writer, LatencyControl& latency) {
    bool firstUsed = true;
    for (int k = 0; k < kBusCount; ++k) {
        OutputBus& bus = buses_[k];
        if (!bus.used) continue;
        double t = bus.target;

        // Fit the chunk to the target length: cut the left chunk (the device block takes the
        // first write's length), or stretch both by repeating their last sample.
        const int b = bus.left.lengthByte;
        if (b > t) {
            bus.left.lengthByte = static_cast<int8_t>(std::trunc(t));
        } else if (b < t) {
            const int m = static_cast<int>(std::trunc(t - b));
            for (int r = 0; r < m; ++r) {
                stretchByOne(bus.left);
                stretchByOne(bus.right);
            }
        }

        int64_t queued = 0;
        writer.write(99 + k, bus.left, &queued);
        writer.write(199 + k, bus.right, &queued);

        // Each queued block counts at the current target length, 48 frames per millisecond.
        const double measured =
            static_cast<double>(queued) * (t + 96.0) / 96.0 * kMillisecondsPerBaseChunk;
        const double desired = latency.desiredLatency;
        if (latency.desiredLatency < 60)
            t = 2.0 * (latency.millisecondsPerChunk * 0.5 * desired - measured);
        else
            t = t + (desired - measured) / 15.0;
        if (t >= 96.0)
            t = 95.0;
        else if (t <= -96.0)
            t = -95.0;
        bus.target = t;

        if (firstUsed) {
            latency.chunkAdjustment = static_cast<int8_t>(std::trunc(t));
            latency.smoothedLatency = measured * 0.01 + latency.smoothedLatency * 0.99;
            firstUsed = false;
        }
    }
    return !firstUsed;
}

} // namespace kv

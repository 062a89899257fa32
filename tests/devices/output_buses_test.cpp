#include "devices/output_buses.h"

#include <gtest/gtest.h>

#include <vector>

namespace kv {
namespace {

// Records every write and answers with a fixed queued latency.
struct RecordingWriter : ChunkWriter {
    struct Write {
        int code;
        SampleChunk chunk;
    };
    bool write(int code, const SampleChunk& chunk, int64_t* queuedLatency) override {
        writes.push_back({code, chunk});
        if (queuedLatency) *queuedLatency = latency;
        return true;
    }
    std::vector<Write> writes;
    int64_t latency = 0;
};

TEST(OutputBuses, RoutesEachIdToItsBusAndChannels) {
    OutputBuses buses;
    buses.startCycle(-10);
    buses.add(3, -1, 1.0);  // mapper, both channels: bus 0
    buses.add(3, 99, 2.0);  // mapper, left
    buses.add(3, 199, 4.0); // mapper, right
    buses.add(5, 104, 8.0); // device 4 left: bus 5
    buses.add(5, 8, 16.0);  // device 8: bus 9, the last one
    buses.add(5, 9, 32.0);  // device 9 and above have no bus
    buses.add(5, 109, 32.0);
    buses.add(5, 209, 32.0);
    buses.add(5, -2, 32.0); // no such device
    EXPECT_DOUBLE_EQ(buses.bus(0).left.samples[3], 3.0);
    EXPECT_DOUBLE_EQ(buses.bus(0).right.samples[3], 5.0);
    EXPECT_DOUBLE_EQ(buses.bus(5).left.samples[5], 8.0);
    EXPECT_DOUBLE_EQ(buses.bus(5).right.samples[5], 0.0);
    EXPECT_DOUBLE_EQ(buses.bus(9).left.samples[5], 16.0);
    EXPECT_DOUBLE_EQ(buses.bus(9).right.samples[5], 16.0);
    int used = 0;
    for (int k = 0; k < OutputBuses::kBusCount; ++k) {
        used += buses.bus(k).used;
        EXPECT_EQ(buses.bus(k).left.lengthByte, -10);
    }
    EXPECT_EQ(used, 3);

    buses.startCycle(4);
    EXPECT_FALSE(buses.bus(0).used);
    EXPECT_DOUBLE_EQ(buses.bus(0).left.samples[3], 0.0);
    EXPECT_EQ(buses.bus(0).right.lengthByte, 4);
}

TEST(OutputBuses, FlushWritesLeftThenRightOfUsedBusesOnly) {
    OutputBuses buses;
    RecordingWriter writer;
    LatencyControl latency;
    buses.startCycle(0);
    EXPECT_FALSE(buses.flush(writer, latency));
    EXPECT_TRUE(writer.writes.empty());

    buses.add(0, 2, 1.0);   // bus 3
    buses.add(0, 100, 1.0); // bus 1
    EXPECT_TRUE(buses.flush(writer, latency));
    ASSERT_EQ(writer.writes.size(), 4u);
    EXPECT_EQ(writer.writes[0].code, 100);
    EXPECT_EQ(writer.writes[1].code, 200);
    EXPECT_EQ(writer.writes[2].code, 102);
    EXPECT_EQ(writer.writes[3].code, 202);
}

TEST(OutputBuses, ChunksAreStretchedOrCutToTheBusTarget) {
    OutputBuses buses;
    RecordingWriter writer;
    LatencyControl latency;

    // Target above the chunk: both chunks grow by repeating their last sample.
    buses.bus(0).target = 3.7;
    buses.startCycle(0);
    for (int i = 0; i < 96; ++i)
        buses.add(i, 99, i + 1.0);
    buses.flush(writer, latency);
    const SampleChunk& left = writer.writes[0].chunk;
    const SampleChunk& right = writer.writes[1].chunk;
    EXPECT_EQ(left.length(), 99);
    EXPECT_EQ(right.length(), 99);
    for (int i = 95; i < 99; ++i)
        EXPECT_DOUBLE_EQ(left.samples[i], 96.0) << i;
    EXPECT_DOUBLE_EQ(right.samples[98], 0.0);

    // Target below the chunk: only the left chunk is cut (the device block takes its length).
    writer.writes.clear();
    buses.bus(0).target = -20.9;
    buses.startCycle(0);
    buses.add(0, -1, 1.0);
    buses.flush(writer, latency);
    EXPECT_EQ(writer.writes[0].chunk.length(), 76);
    EXPECT_EQ(writer.writes[1].chunk.length(), 96);
}

TEST(OutputBuses, ProportionalLawBelowSixtyMilliseconds) {
    OutputBuses buses;
    RecordingWriter writer;
    LatencyControl latency{36, 2.0, 0, 10.0};
    writer.latency = 12; // blocks
    buses.startCycle(0);
    buses.add(0, -1, 1.0);
    buses.add(0, 0, 1.0); // a second used bus does not steer the engine
    buses.flush(writer, latency);
    // M = 12 × 96/96 × 2 = 24 ms; t = 2 × (2.0 × 0.5 × 36 − 24) = 24.
    EXPECT_DOUBLE_EQ(buses.bus(0).target, 24.0);
    EXPECT_EQ(latency.chunkAdjustment, 24);
    EXPECT_DOUBLE_EQ(latency.smoothedLatency, 24 * 0.01 + 10.0 * 0.99);

    // Next cycle the queue counts at the new target length: M = 12 × 120/96 × 2 = 30 ms.
    buses.startCycle(latency.chunkAdjustment);
    buses.add(0, -1, 1.0);
    buses.flush(writer, latency);
    EXPECT_DOUBLE_EQ(buses.bus(0).target, 12.0);

    // A long queue clamps the target: the engine then computes 1 frame.
    writer.latency = 1000;
    buses.startCycle(latency.chunkAdjustment);
    buses.add(0, -1, 1.0);
    buses.flush(writer, latency);
    EXPECT_DOUBLE_EQ(buses.bus(0).target, -95.0);
    EXPECT_EQ(latency.chunkAdjustment, -95);
}

TEST(OutputBuses, ZeroLatencyShortensChunksToOneFrame) {
    OutputBuses buses;
    RecordingWriter writer;
    LatencyControl latency{0, 2.0, 0, 0.0};
    writer.latency = 3;
    for (int cycle = 0; cycle < 5; ++cycle) {
        buses.startCycle(latency.chunkAdjustment);
        buses.add(0, -1, 1.0);
        buses.flush(writer, latency);
        EXPECT_LT(latency.chunkAdjustment, 0);
    }
    writer.latency = 50;
    buses.startCycle(latency.chunkAdjustment);
    buses.add(0, -1, 1.0);
    buses.flush(writer, latency);
    EXPECT_EQ(latency.chunkAdjustment, -95);
    buses.startCycle(latency.chunkAdjustment);
    EXPECT_EQ(buses.bus(0).left.length(), 1);
}

TEST(OutputBuses, IntegratingLawFromSixtyMilliseconds) {
    OutputBuses buses;
    RecordingWriter writer;
    LatencyControl latency{60, 2.0, 0, 0.0};
    writer.latency = 10; // M = 20 ms
    buses.startCycle(0);
    buses.add(0, 5, 1.0); // bus 6 alone steers the engine
    buses.flush(writer, latency);
    EXPECT_DOUBLE_EQ(buses.bus(6).target, 40.0 / 15.0); // 0 + (60 − 20) / 15
    EXPECT_EQ(latency.chunkAdjustment, 2);
    // The step accumulates while the queue stays short, up to the clamp.
    for (int cycle = 0; cycle < 100; ++cycle) {
        buses.startCycle(latency.chunkAdjustment);
        buses.add(0, 5, 1.0);
        buses.flush(writer, latency);
    }
    EXPECT_DOUBLE_EQ(buses.bus(6).target, 95.0);
    buses.resetTargets();
    EXPECT_DOUBLE_EQ(buses.bus(6).target, 0.0);
}

} // namespace
} // namespace kv

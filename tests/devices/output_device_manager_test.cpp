#include "devices/output_device_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "fake_audio_out.h"

namespace kv {
namespace {

using test::FakeAudioOut;
using Feeding = OutputDeviceManager::Feeding;

SampleChunk chunkOf(int length, double value) {
    SampleChunk c;
    c.lengthByte = static_cast<int8_t>(length - SampleChunk::kBaseChunkLength);
    for (int i = 0; i < length; ++i)
        c.samples[i] = value;
    return c;
}

template <class Predicate> bool waitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(SoftClip, BendsAboveTheKneeAndSaturatesBeyondSixteenBits) {
    EXPECT_EQ(softClip(1000.0 * 32), 26289);
    EXPECT_EQ(softClip(-1000.0 * 32), -26289);
    EXPECT_EQ(softClip(26213.0), 26213);
    EXPECT_EQ(softClip(100.9), 100); // truncated toward zero
    EXPECT_EQ(softClip(-100.9), -100);
    EXPECT_EQ(softClip(1342900.0 * 32), 32766); // still within range by the curve alone
    EXPECT_EQ(softClip(2.0e6 * 32), 32767);
    EXPECT_EQ(softClip(-2.0e6 * 32), -32768);
    EXPECT_EQ(softClip(1e300), 32767);
    EXPECT_EQ(softClip(std::nan("")), 0);
}

class ManagerTest : public ::testing::Test {
  protected:
    FakeAudioOut out;
    OutputDeviceManager manager{out, Feeding::Manual};

    // One cycle of writes, closed and fed; returns what was queued.
    std::vector<FakeAudioOut::Queued>
    cycle(const std::vector<std::pair<int, SampleChunk>>& writes) {
        manager.beginCycle();
        for (const auto& [code, chunk] : writes)
            manager.write(code, chunk, nullptr);
        manager.endCycle();
        manager.feedPending();
        return out.takeQueued();
    }
};

TEST_F(ManagerTest, LeftAndRightWritesShareOneStereoBlock) {
    auto q = cycle({{99, chunkOf(96, 1000.0)}, {199, chunkOf(96, -10.0)}});
    ASSERT_EQ(q.size(), 1u);
    ASSERT_EQ(q[0].frames.size(), 2u * 96);
    EXPECT_EQ(q[0].frames[0], 26289);
    EXPECT_EQ(q[0].frames[1], -320);
    EXPECT_EQ(q[0].frames[190], 26289);
    EXPECT_EQ(q[0].frames[191], -320);

    // L+R sends the same sample to both sides; one channel alone leaves the other silent.
    q = cycle({{-1, chunkOf(96, 2.0)}});
    EXPECT_EQ(q[0].frames[0], 64);
    EXPECT_EQ(q[0].frames[1], 64);
    q = cycle({{199, chunkOf(96, 2.0)}});
    EXPECT_EQ(q[0].frames[0], 0);
    EXPECT_EQ(q[0].frames[1], 64);
}

TEST_F(ManagerTest, LaterWritesMixAndKeepTheFirstLength) {
    auto q = cycle({{-1, chunkOf(50, 700.0)}, {-1, chunkOf(80, 300.0)}});
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].frames.size(), 2u * 50);
    // 22400 + 9600 = 32000, soft-clipped as one sum.
    EXPECT_EQ(q[0].frames[0], 26289);
    EXPECT_EQ(q[0].frames[99], 26289);
}

TEST_F(ManagerTest, WritesNeedAnOpenCycleAndAnOpenableDevice) {
    EXPECT_FALSE(manager.write(-1, chunkOf(96, 1.0), nullptr));
    EXPECT_EQ(out.opens, 0);

    manager.beginCycle();
    EXPECT_FALSE(manager.write(kNoDevice, chunkOf(96, 1.0), nullptr));
    EXPECT_EQ(out.opens, 0);
    out.failOpen = true;
    EXPECT_FALSE(manager.write(5, chunkOf(96, 1.0), nullptr));
    EXPECT_FALSE(manager.write(5, chunkOf(96, 1.0), nullptr));
    EXPECT_EQ(out.opens, 2); // every write tries again
    out.failOpen = false;
    EXPECT_TRUE(manager.write(5, chunkOf(96, 1.0), nullptr));
    EXPECT_TRUE(manager.write(105, chunkOf(96, 1.0), nullptr)); // same device, left
    EXPECT_EQ(out.opens, 3);
    EXPECT_EQ(manager.openDevices(), std::vector<int>{5});
    manager.endCycle();
}

TEST_F(ManagerTest, EmptyChunkKeepsTheDeviceOpenWithoutABlock) {
    auto q = cycle({{-1, chunkOf(96, 1.0)}});
    q = cycle({{-1, chunkOf(0, 1.0)}});
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(manager.openDevices(), std::vector<int>{-1});

    // Audio after an empty chunk starts a block of its own; last cycle's block is left alone.
    manager.beginCycle();
    manager.write(-1, chunkOf(0, 1.0), nullptr);
    SampleChunk back = chunkOf(96, 9.0);
    back.lengthByte = 3;
    ASSERT_TRUE(manager.readBack(-1, back));
    EXPECT_EQ(back.lengthByte, 3);
    EXPECT_DOUBLE_EQ(back.samples[0], 0.0);
    manager.write(-1, chunkOf(10, 2.0), nullptr);
    manager.endCycle();
    manager.feedPending();
    q = out.takeQueued();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].blockId, 1u);
    EXPECT_EQ(q[0].frames.size(), 20u);
    EXPECT_EQ(q[0].frames[0], 64);
}

TEST_F(ManagerTest, DeviceWithoutWritesClosesAtCycleEnd) {
    cycle({{-1, chunkOf(96, 1.0)}, {0, chunkOf(96, 1.0)}});
    EXPECT_EQ(manager.openDevices(), (std::vector<int>{-1, 0}));
    cycle({{0, chunkOf(96, 1.0)}});
    EXPECT_EQ(manager.openDevices(), std::vector<int>{0});
    EXPECT_EQ(out.resets, 1);
    EXPECT_EQ(out.closes, 1);

    // Reopened with a fresh ring when named again.
    cycle({{-1, chunkOf(96, 1.0)}, {0, chunkOf(96, 1.0)}});
    EXPECT_EQ(manager.openDevices(), (std::vector<int>{0, -1}));
    EXPECT_EQ(out.opens, 3);

    // CloseAll closes everything but leaves an open cycle open.
    manager.beginCycle();
    manager.closeAll();
    EXPECT_TRUE(manager.openDevices().empty());
    EXPECT_TRUE(manager.write(-1, chunkOf(96, 1.0), nullptr));
    manager.endCycle();
}

TEST_F(ManagerTest, DoneReportsMeasureTheQueuedLatency) {
    for (int i = 0; i < 5; ++i)
        cycle({{-1, chunkOf(96, 1.0)}});
    const auto handle = out.listeners.begin()->first;
    out.done(handle, 1); // the second block (stamp 2) has played; 3 filled after it
    int64_t latency = -1;
    manager.beginCycle();
    EXPECT_TRUE(manager.write(-1, chunkOf(96, 1.0), &latency));
    EXPECT_EQ(latency, 3);
    manager.endCycle();
}

TEST_F(ManagerTest, FullRingDropsTheChunkUntilABlockIsDone) {
    // Blocks filled but not yet queued are not overwritten either.
    for (int i = 0; i < OutputDeviceManager::kRingBlocks; ++i) {
        manager.beginCycle();
        ASSERT_TRUE(manager.write(-1, chunkOf(96, i), nullptr)) << i;
        manager.endCycle();
    }
    manager.beginCycle();
    EXPECT_FALSE(manager.write(-1, chunkOf(96, 1.0), nullptr));
    EXPECT_FALSE(manager.write(-1, chunkOf(96, 1.0), nullptr));
    manager.endCycle(); // a device behind its writer is not closed: what it queued still plays
    EXPECT_EQ(manager.openDevices(), std::vector<int>{-1});
    manager.feedPending();
    EXPECT_EQ(out.takeQueued().size(), static_cast<std::size_t>(OutputDeviceManager::kRingBlocks));
    EXPECT_EQ(out.closes, 0);
    manager.beginCycle();
    manager.closeAll();
    manager.endCycle();

    for (int i = 0; i < OutputDeviceManager::kRingBlocks; ++i)
        cycle({{-1, chunkOf(96, i)}});
    auto q = out.takeQueued();
    manager.beginCycle();
    EXPECT_FALSE(manager.write(-1, chunkOf(96, 1.0), nullptr));
    out.done(out.listeners.begin()->first, 0);
    EXPECT_TRUE(manager.write(-1, chunkOf(96, 7.0), nullptr));
    manager.endCycle();
    manager.feedPending();
    q = out.takeQueued();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].blockId, 0u);
    EXPECT_EQ(q[0].frames[0], 7 * 32);
}

TEST_F(ManagerTest, BlocksThatFailToQueueAreSkippedAndReused) {
    out.failQueue = true;
    cycle({{-1, chunkOf(96, 1.0)}});
    out.failQueue = false;
    EXPECT_TRUE(cycle({{-1, chunkOf(0, 1.0)}}).empty()); // the failed block is not tried again
    for (int i = 0; i < OutputDeviceManager::kRingBlocks; ++i)
        EXPECT_EQ(cycle({{-1, chunkOf(96, 1.0)}}).size(), 1u) << i;
}

TEST_F(ManagerTest, ReadBackReturnsThisCyclesBlock) {
    SampleChunk back;
    EXPECT_FALSE(manager.readBack(-1, back)); // no cycle
    manager.beginCycle();
    EXPECT_FALSE(manager.readBack(-1, back)); // not open, and not opened by reading
    EXPECT_EQ(out.opens, 0);
    manager.write(99, chunkOf(60, 10.0), nullptr);  // left 320
    manager.write(199, chunkOf(96, 20.0), nullptr); // right 640, first 60 frames count
    ASSERT_TRUE(manager.readBack(-1, back));
    EXPECT_EQ(back.length(), 60);
    EXPECT_DOUBLE_EQ(back.samples[0], (320 + 640) * 0.5 / 32767);
    EXPECT_DOUBLE_EQ(back.samples[60], 0.0);
    ASSERT_TRUE(manager.readBack(199, back));
    EXPECT_DOUBLE_EQ(back.samples[59], 640 / 32767.0);
    manager.endCycle();

    // Open but not written in this cycle: zeros, length byte as the caller left it.
    manager.beginCycle();
    back = chunkOf(96, 5.0);
    back.lengthByte = 17;
    ASSERT_TRUE(manager.readBack(99, back));
    EXPECT_EQ(back.lengthByte, 17);
    EXPECT_DOUBLE_EQ(back.samples[0], 0.0);
    manager.endCycle();
}

TEST_F(ManagerTest, TapSeesEachBlockBeforeItIsQueued) {
    std::vector<std::pair<int, std::vector<int16_t>>> seen;
    manager.setTap([&](const uint8_t* bytes, std::size_t length, int device) {
        const auto* frames = reinterpret_cast<const int16_t*>(bytes);
        seen.emplace_back(device, std::vector<int16_t>(frames, frames + length / 2));
        EXPECT_EQ(out.queuedCount(), 0u);
    });
    cycle({{101, chunkOf(40, 3.0)}});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, 1);
    EXPECT_EQ(seen[0].second.size(), 80u);
    EXPECT_EQ(seen[0].second[0], 96);
    EXPECT_EQ(seen[0].second[1], 0);
}

// One engine cycle writing `value` to each code; returns how many writes were taken.
int engineCycle(OutputDeviceManager& manager, const std::vector<int>& codes, double value,
                int64_t* latency = nullptr) {
    manager.beginCycle();
    int taken = 0;
    for (int code : codes)
        taken += manager.write(code, chunkOf(96, value), latency) ? 1 : 0;
    manager.endCycle();
    return taken;
}

TEST(OutputDeviceManagerThreads, TheServiceOpensAndClosesWhileTheEngineCarriesOn) {
    FakeAudioOut out;
    OutputDeviceManager manager(out, Feeding::Threads);
    std::atomic<int> started{0};
    manager.setFeederStart([&] { ++started; });

    // A slow open holds up the service only: the engine's writes are dropped meanwhile.
    out.holdOpens = true;
    EXPECT_EQ(engineCycle(manager, {-1}, 1.0), 0);
    ASSERT_TRUE(waitFor([&] { return out.opening.load() == 1; }));
    EXPECT_EQ(engineCycle(manager, {99, 199}, 1.0), 0);
    out.holdOpens = false;
    ASSERT_TRUE(waitFor([&] { return manager.openDevices() == std::vector<int>{-1}; }));

    // The first write after the open finds an empty queue; the block goes to the card after the
    // cycle has ended, through a feeder started for the device.
    int64_t latency = -1;
    EXPECT_EQ(engineCycle(manager, {-1, -1}, 1.0, &latency), 2);
    EXPECT_EQ(latency, 0);
    ASSERT_TRUE(waitFor([&] { return out.queuedCount() == 1; }));
    EXPECT_EQ(out.opens, 1);
    EXPECT_EQ(started.load(), 1);
    EXPECT_EQ(manager.runningFeeders(), 1);

    // A cycle without a write gives the device up; the service closes it and ends its feeder.
    engineCycle(manager, {}, 0.0);
    ASSERT_TRUE(waitFor([&] { return manager.runningFeeders() == 0; }));
    EXPECT_TRUE(manager.openDevices().empty());
    EXPECT_EQ(out.closes, 1);
    EXPECT_EQ(out.queuesToClosed, 0);

    // Given up while it was being opened: closed as soon as it is open, never taken.
    out.holdOpens = true;
    engineCycle(manager, {0}, 1.0);
    ASSERT_TRUE(waitFor([&] { return out.opening.load() == 2; }));
    engineCycle(manager, {}, 0.0);
    out.holdOpens = false;
    ASSERT_TRUE(waitFor([&] { return out.closes == 2; }));
    EXPECT_TRUE(manager.openDevices().empty());

    // A device that fails to open is tried again while it is named; closeAll closes what is open.
    out.failOpen = true;
    engineCycle(manager, {1}, 1.0);
    ASSERT_TRUE(waitFor([&] { return out.opening.load() == 3; }));
    out.failOpen = false;
    ASSERT_TRUE(waitFor([&] {
        engineCycle(manager, {1}, 1.0);
        return manager.openDevices() == std::vector<int>{1};
    }));
    EXPECT_EQ(engineCycle(manager, {1}, 1.0), 1);
    manager.closeAll();
    EXPECT_TRUE(manager.openDevices().empty());
    EXPECT_EQ(manager.runningFeeders(), 0);
    EXPECT_EQ(out.opens, out.closes + 1); // the failed open has nothing to close
}

// The engine names and drops devices at random while the service opens and closes them, the
// card plays what the feeders queue and the tap is swapped. Run under ThreadSanitizer.
TEST(OutputDeviceManagerThreads, StressOfAskingAndDroppingDevices) {
    FakeAudioOut out;
    std::atomic<bool> done{false};
    std::size_t played = 0;
    std::atomic<int> tapped{0};
    {
        OutputDeviceManager manager(out, Feeding::Threads);
        std::thread card([&] {
            while (!done.load()) {
                played += out.playQueued();
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        std::thread tapper([&] {
            for (int i = 0; !done.load(); ++i) {
                if (i % 2)
                    manager.setTap([&](const uint8_t*, std::size_t, int) { ++tapped; });
                else
                    manager.setTap(nullptr);
                (void)manager.openDevices();
                std::this_thread::sleep_for(std::chrono::microseconds(700));
            }
        });
        uint32_t random = 12345;
        std::vector<int> codes;
        // 3000 cycles, more (up to 30000) until the service has opened a few devices on a
        // slow or loaded machine.
        for (int cycle = 0; cycle < 3000 || (out.opens.load() <= 4 && cycle < 30000); ++cycle) {
            if (cycle % 7 == 0) {
                codes.clear();
                random = random * 1664525u + 1013904223u;
                for (int device = -1; device < 3; ++device)
                    if ((random >> (20 + device + 1)) & 1) codes.push_back(device + 100);
            }
            engineCycle(manager, codes, cycle);
            if (cycle % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        manager.closeAll();
        EXPECT_TRUE(manager.openDevices().empty());
        EXPECT_EQ(manager.runningFeeders(), 0);
        done = true;
        card.join();
        tapper.join();
    }
    EXPECT_GT(out.opens, 4);
    EXPECT_EQ(out.opens, out.closes);
    EXPECT_EQ(out.queuesToClosed, 0);
    EXPECT_GT(played + out.queuedCount(), 0u);
}

TEST(OutputDeviceList, ListsEveryReadableDevice) {
    FakeAudioOut out;
    out.readable[1] = false;
    out.names.push_back("Card C");
    auto list = fillOutputDeviceList(out, 202, false);
    ASSERT_EQ(list.size(), 1u + 3 * 3);
    EXPECT_EQ(list[0].text, "");
    EXPECT_EQ(list[0].value, kNoDevice);
    EXPECT_EQ(list[1].text, "Mapper - (L+R)");
    EXPECT_EQ(list[1].value, -1);
    EXPECT_EQ(list[2].value, 99);
    EXPECT_EQ(list[3].text, "Mapper - (R)");
    EXPECT_EQ(list[3].value, 199);
    EXPECT_EQ(list[5].text, "Card A - (L)");
    EXPECT_EQ(list[5].value, 100);
    EXPECT_EQ(list[9].text, "Card C - (R)");
    EXPECT_EQ(list[9].value, 202);
    for (std::size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(list[i].selected, i == 9);

    list = fillOutputDeviceList(out, kNoDevice, true);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_TRUE(list[0].selected);
    EXPECT_EQ(list[1].text, "Mapper");
    EXPECT_EQ(list[3].text, "Card C");
    EXPECT_EQ(list[3].value, 2);

    // A stored value that matches no entry selects nothing.
    list = fillOutputDeviceList(out, 1, true);
    for (const auto& e : list)
        EXPECT_FALSE(e.selected);
}

} // namespace
} // namespace kv

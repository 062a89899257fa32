// Sound-card input: the ring read with each module's cursor, opening and the "already in use"
// message, the audio input module's FIFO, and the end-of-cycle pass that ties them together.
#include <gtest/gtest.h>

#include "devices/device_input_stage.h"
#include "devices/wave_input_manager.h"
#include "engine/audio_input.h"
#include "modules/module_controls.h"
#include "persistence/language.h"
#include "platform/audio_in_scripted.h"

namespace kv {
namespace {

using platform::ScriptedAudioIn;
using Servicing = WaveInputManager::Servicing;
constexpr int kBlock = WaveInputManager::kBlockSamples;

// Samples whose value is the number of the block they fall in, plus one.
std::vector<int16_t> numberedBlocks(int blocks) {
    std::vector<int16_t> s;
    for (int b = 0; b < blocks; ++b)
        s.insert(s.end(), kBlock, static_cast<int16_t>(b + 1));
    return s;
}

class WaveInputTest : public ::testing::Test {
  protected:
    ScriptedAudioIn in{4};
    WaveInputManager manager{in, Servicing::Manual};
    int16_t newer[kBlock] = {}, older[kBlock] = {};

    // Opens `device` as the engine's end-of-cycle pass and the service between cycles do.
    void open(int device) {
        manager.beginCycle();
        manager.use(device);
        manager.endCycle();
        manager.service();
        manager.feedPending(); // the whole ring goes to the card, which starts recording
    }
};

TEST_F(WaveInputTest, ReadTakesAtMostTwoBlocksBehindTheCursor) {
    in.setSource(0, numberedBlocks(40));
    open(0);
    in.advance(3 * kBlock);
    uint64_t cursor = 0;
    ASSERT_TRUE(manager.read(0, cursor, newer, older, 4)); // 6 ms unread ≥ 4 ms
    EXPECT_EQ(cursor, 2u);
    EXPECT_EQ(newer[0], 1); // the first unread block
    EXPECT_EQ(newer[kBlock - 1], 1);
    EXPECT_EQ(older[0], 0); // the one before it: ring slot 1023, never filled
    ASSERT_TRUE(manager.read(0, cursor, newer, older, 0));
    EXPECT_EQ(cursor, 3u);
    EXPECT_EQ(newer[0], 3);
    EXPECT_EQ(older[0], 2);
    EXPECT_FALSE(
        manager.read(0, cursor, newer, older, 0)); // all read: nothing, whatever the latency

    // A cursor ahead of the device jumps to its count; so does one more than a ring behind.
    cursor = 100;
    EXPECT_FALSE(manager.read(0, cursor, newer, older, 2));
    EXPECT_EQ(cursor, 3u);
    manager.endCycle();
    for (int i = 0; i < 1100; ++i) { // the feeder hands filled blocks back as the card fills
        manager.feedPending();
        in.advance(kBlock);
    }
    cursor = 0;
    EXPECT_FALSE(manager.read(0, cursor, newer, older, 2));
    EXPECT_EQ(cursor, 1103u);
    EXPECT_EQ(manager.completedCount(0), 1103u);
}

TEST_F(WaveInputTest, ADesiredLatencyOfTwentyMillisecondsWaitsForTenBlocks) {
    open(1);
    uint64_t cursor = 0;
    for (int blocks = 1; blocks <= 10; ++blocks) {
        in.advance(kBlock);
        EXPECT_EQ(manager.read(1, cursor, newer, older, 20), blocks == 10) << blocks;
    }
    EXPECT_EQ(cursor, 2u);
    EXPECT_FALSE(manager.read(2, cursor, newer, older, 0)); // not open
}

TEST_F(WaveInputTest, ABusyDeviceSaysSoAtEveryAttempt) {
    std::vector<std::string> messages;
    manager.setMessageSink([&](const std::string& text) { messages.push_back(text); });
    in.setBusy(2, true);
    in.setFailing(3, true);
    for (int i = 0; i < 2; ++i)
        open(2), open(3);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], languageString(126));
    EXPECT_EQ(messages[0], "The audio-input device is already in use and so cannot be used at "
                           "the moment.");
    EXPECT_TRUE(manager.openDevices().empty());
    in.setBusy(2, false);
    open(2);
    EXPECT_EQ(manager.openDevices(), std::vector<int>{2});
    open(0); // a cycle that names only device 0 closes device 2
    EXPECT_EQ(manager.openDevices(), std::vector<int>{0});
}

TEST_F(WaveInputTest, DeviceListOffersNoneTheDefaultInputAndEveryDevice) {
    const auto list = manager.deviceList(-555);
    ASSERT_EQ(list.size(), 6u);
    EXPECT_FALSE(list[0].selected); // the empty entry is never marked
    EXPECT_EQ(list[1].text, "Scripted default input");
    EXPECT_EQ(list[1].value, -1);
    EXPECT_TRUE(manager.deviceList(-1)[1].selected);
    EXPECT_EQ(list[5].value, 3);
}

TEST(AudioInputFifo, CatchesUpAboveNineHundredSixtyAndRepeatsTheLastSample) {
    AudioInputState st;
    int16_t block[kBlock];
    std::fill(std::begin(block), std::end(block), int16_t{32767});
    for (int i = 0; i < 6; ++i)
        appendCapturedAudio(st, block, block); // 1152 waiting, each 1000
    double x = 0;
    ASSERT_TRUE(takeCapturedSample(st, x));
    EXPECT_DOUBLE_EQ(x, 1000.0);
    EXPECT_EQ(st.written - st.read, 1150); // one dropped, one taken
    while (st.written - st.read > kAudioInputCatchUp)
        takeCapturedSample(st, x);
    EXPECT_EQ(st.written - st.read, 960); // drops stop at 960 waiting
    takeCapturedSample(st, x);
    EXPECT_EQ(st.written - st.read, 959);
    while (takeCapturedSample(st, x)) {
    }
    EXPECT_EQ(st.written, st.read);

    // Through the module: gain 50 % halves it; with nothing waiting the output holds.
    Module m(Module_AudioInput);
    m.state = makeModuleState(Module_AudioInput);
    m.outputRow = 4;
    AudioInputControls{m}.gain().manual = 50;
    appendCapturedAudio(m.stateAs<AudioInputState>(), block, block);
    EngineState state;
    EngineView view;
    EngineContext ctx{state, state.table, state.rand, view};
    const EvaluateFn evaluate = moduleEvaluators().perSample[Module_AudioInput];
    for (int i = 0; i < 2 * kBlock + 5; ++i)
        evaluate(m, ctx);
    EXPECT_DOUBLE_EQ(state.table.rows[4].primary[0], 500.0);
    EXPECT_DOUBLE_EQ(state.table.rows[4].primarySmoothed[0], 500.0);
}

TEST(AudioInputFifo, EndOfCycleReadsIntoTheModuleThatNamesTheDevice) {
    ScriptedAudioIn in{2};
    WaveInputManager manager{in, Servicing::Manual};
    DeviceInputStage stage{nullptr, &manager};
    EngineState state;
    state.settings.desiredInputLatency = 4;
    Module m(Module_AudioInput);
    m.state = makeModuleState(Module_AudioInput);
    m.soundInputs[0].code = 1;
    EngineView view;
    view.byType[Module_AudioInput].push_back(&m);
    in.setSource(1, numberedBlocks(10));
    auto& st = m.stateAs<AudioInputState>();
    for (int cycle = 0; cycle < 2; ++cycle) {
        stage.endOfCycle(state, view);
        manager.service();
        manager.feedPending();
        in.advance(kBlock);
    }
    // Opened after the first pass; with two blocks (4 ms) unread the third pass reads both.
    stage.endOfCycle(state, view);
    EXPECT_EQ(st.readCursor, 2u);
    ASSERT_EQ(st.written, 2 * kBlock);
    EXPECT_NEAR(st.fifo[0], 0.0, 1e-12);                 // older: the slot before the first
    EXPECT_NEAR(st.fifo[kBlock], 1000.0 / 32767, 1e-12); // newer: block 1
}

} // namespace
} // namespace kv

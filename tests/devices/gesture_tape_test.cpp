// The gesture tape's writer and patch checksum.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "devices/gesture_tape.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(GestureTapeWriter, KeepsEveryEventInOrderWhileTheEngineThreadPushes) {
    const fs::path dir = fs::path(testing::TempDir()) / ("tapew_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string tape = (dir / "t.kvtape").string();
    GestureTapeWriter writer;
    std::string error;
    ASSERT_TRUE(writer.start(tape, "0 rate 4000\n", error)) << error;
    EXPECT_FALSE(writer.start(tape, "", error)); // one take at a time

    // An engine thread pushes in bursts, as at control samples; the writer drains meanwhile.
    constexpr int kEvents = 100000;
    std::thread engine([&] {
        for (int i = 0; i < kEvents; ++i) {
            writer.push({static_cast<uint64_t>(i), TapeEvent::Cursor, i % 1920, i % 1080});
            if (i % 1000 == 999) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // While recording, what is written so far is already in the .part file; the tape is not.
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(slurp(tapePartPath(tape)).rfind("0 rate 4000\n0 cursor 0 0\n", 0), 0u);
    EXPECT_FALSE(fs::exists(tape));
    engine.join();
    ASSERT_TRUE(writer.stop(kEvents, error)) << error;
    writer.push({1, TapeEvent::Cursor, 1, 1}); // after the take: dropped

    const std::string text = slurp(tape);
    EXPECT_FALSE(fs::exists(tapePartPath(tape)));
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    uint64_t expected = 0, written = 0;
    while (std::getline(lines, line) && line.find("end") == std::string::npos) {
        unsigned long long sample = 0;
        int x = 0, y = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%llu cursor %d %d", &sample, &x, &y), 3) << line;
        // Events lost to a full queue leave gaps, never disorder.
        ASSERT_GE(sample, expected);
        EXPECT_EQ(x, static_cast<int>(sample % 1920));
        expected = sample + 1;
        ++written;
    }
    EXPECT_EQ(line, std::to_string(kEvents) + " end");
    EXPECT_EQ(written + writer.lost(), uint64_t(kEvents)); // every event written or counted
    fs::remove_all(dir);
}

TEST(GestureTapeWriter, LinesAndHeaderAreScriptLines) {
    EXPECT_EQ(tapeLine({7, TapeEvent::Button, 3, 1}), "7 button x1 down\n");
    EXPECT_EQ(tapeLine({8, TapeEvent::Wheel, -240, 1}), "8 wheel horizontal -240\n");
    EXPECT_EQ(tapeLine({9, TapeEvent::Midi, 2, 0x90, 0x3C, 0x7F}), "9 midi 2 90 3c 7f\n");
    TapeHeader h;
    h.patchFile = "My \"take\".kvc";
    h.checksum = 0xABC;
    h.left = -1280;
    h.rate = 1000;
    EXPECT_NE(tapeHeaderText(h).find("\n0 tape 1 \"My \\\"take\\\".kvc\" 0000000000000abc\n"
                                     "0 desktop -1280 0 1919 1079\n0 origin 0 0\n0 rate 1000\n"),
              std::string::npos)
        << tapeHeaderText(h);
}

TEST(GestureTapeWriter, PatchChecksumIgnoresTheTitleLineAndLineEnds) {
    const std::string body = "[Module_AudioOsc]\r\nName=A\r\n";
    const uint64_t sum =
        patchChecksum("## Kalvitrope Configuration (KVC) [revision B] ##\r\n" + body);
    EXPECT_EQ(
        patchChecksum("## Kalvitrope-Konfiguration [revision B] ##\n[Module_AudioOsc]\nName=A\n"),
        sum);
    EXPECT_NE(patchChecksum("## x ##\r\n[Module_AudioOsc]\r\nName=B\r\n"), sum);
}

} // namespace
} // namespace kv

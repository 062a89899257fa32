// Recording into WAV files: the header, the sizes written at stop, appending, and files that are
// not this recorder's left intact.
#include "devices/wav_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "modules/module.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
constexpr std::size_t kBlockBytes = 96 * 4; // 2 ms of 16-bit stereo

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t le32(const std::string& b, std::size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<std::size_t>(i)]);
    return v;
}

class WavWriterTest : public ::testing::Test {
  protected:
    fs::path dir = fs::temp_directory_path() / ("kv_wav_" + std::to_string(std::random_device{}()));
    fs::path file = dir / "take.wav";
    Module writer{Module_AudioWaveWriter};
    std::vector<uint8_t> block = std::vector<uint8_t>(kBlockBytes);

    void SetUp() override {
        fs::create_directories(dir);
        writer.soundOutputs[0].code = -1;
        writer.waveWriters[0].path = file.string();
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<uint8_t>(i * 7);
    }
    void TearDown() override { fs::remove_all(dir); }
    void play(WaveWriterList& list, int blocks, int device = -1) {
        for (int i = 0; i < blocks; ++i)
            list.writeBlock(block.data(), block.size(), device);
    }
};

TEST_F(WavWriterTest, OneSecondGivesTheHeaderAndStatedSizes) {
    WaveWriterList list;
    writer.waveWriters[0].append = false;
    ASSERT_EQ(list.start(writer), WaveWriterList::StartResult::Started);
    EXPECT_TRUE(writer.waveWriters[0].recording.load());
    EXPECT_EQ(list.start(writer), WaveWriterList::StartResult::AlreadyRecording);
    play(list, 500);   // one second
    play(list, 10, 0); // another device: not recorded
    list.stop(writer);
    EXPECT_FALSE(writer.waveWriters[0].recording.load());
    const std::string b = slurp(file);
    ASSERT_EQ(b.size(), 44u + 192000u);
    const auto header = recorderWavHeader();
    EXPECT_EQ(b.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(b, 4), 192000u + 36u);
    EXPECT_EQ(b.substr(8, 32), std::string(header.begin() + 8, header.begin() + 40));
    EXPECT_EQ(le32(b, 16), 16u);
    EXPECT_EQ(le32(b, 24), 48000u);
    EXPECT_EQ(le32(b, 28), 192000u);
    EXPECT_EQ(le32(b, 40), 192000u);
    EXPECT_EQ(b.substr(44, kBlockBytes), std::string(block.begin(), block.end()));
    // Unfinished files carry placeholders that read to the end.
    EXPECT_EQ(le32(std::string(header.begin(), header.end()), 4), 0xFFFFFFFFu);
    EXPECT_EQ(le32(std::string(header.begin(), header.end()), 40), 0xFFFFFFFFu);
}

TEST_F(WavWriterTest, AppendingContinuesAndRepatchesTheWholeFile) {
    WaveWriterList list;
    writer.waveWriters[0].append = true; // a missing file is created with a header
    ASSERT_EQ(list.start(writer), WaveWriterList::StartResult::Started);
    play(list, 100);
    list.stop(writer);
    ASSERT_EQ(list.start(writer), WaveWriterList::StartResult::Started);
    play(list, 50);
    list.stop(writer);
    const std::string b = slurp(file);
    const uint32_t data = 150 * kBlockBytes;
    ASSERT_EQ(b.size(), 44u + data);
    EXPECT_EQ(le32(b, 4), data + 36);
    EXPECT_EQ(le32(b, 40), data);
    EXPECT_EQ(b.substr(44 + 100 * kBlockBytes, kBlockBytes),
              std::string(block.begin(), block.end())); // no second header in between

    // Append off starts the file afresh.
    writer.waveWriters[0].append = false;
    ASSERT_EQ(list.start(writer), WaveWriterList::StartResult::Started);
    play(list, 1);
    list.stop(writer);
    EXPECT_EQ(slurp(file).size(), 44u + kBlockBytes);
}

TEST_F(WavWriterTest, AForeignFileIsLeftIntactAndUnopenablePathsFail) {
    // A WAV of another layout (mono 44100 Hz with a list chunk) must not be appended to.
    const char bytes[] = "RIFF\x32\0\0\0WAVELIST\x04\0\0\0abcd"
                         "fmt \x10\0\0\0\x01\0\x01\0\x44\xAC\0\0\x88\x58\x01\0\x02\0\x10\0"
                         "data\x02\0\0\0\x34\x12";
    const std::string foreign(bytes, sizeof bytes - 1);
    ASSERT_EQ(foreign.size(), 58u);
    std::ofstream(file, std::ios::binary) << foreign;
    WaveWriterList list;
    writer.waveWriters[0].append = true;
    writer.waveWriters[0].recording = true; // as loaded from a patch
    EXPECT_EQ(list.start(writer), WaveWriterList::StartResult::OpenFailed);
    EXPECT_FALSE(writer.waveWriters[0].recording.load());
    play(list, 3);
    list.stopAll();
    EXPECT_EQ(slurp(file), foreign);
    EXPECT_EQ(WaveWriterList::openFailedCaption(), "The file could not be opened.");

    writer.waveWriters[0].path = (dir / "no" / "folder.wav").string();
    EXPECT_EQ(list.start(writer), WaveWriterList::StartResult::OpenFailed);
    writer.waveWriters[0].path = dir.string(); // a folder
    EXPECT_EQ(list.start(writer), WaveWriterList::StartResult::OpenFailed);
    writer.waveWriters[0].path.clear();
    EXPECT_EQ(list.start(writer), WaveWriterList::StartResult::EmptyPath);
}

TEST_F(WavWriterTest, ARecordingCutShortByTheProgramEndingIsFinished) {
    {
        WaveWriterList list;
        ASSERT_EQ(list.start(writer), WaveWriterList::StartResult::Started);
        play(list, 5);
    }
    const std::string b = slurp(file);
    ASSERT_EQ(b.size(), 44u + 5 * kBlockBytes);
    EXPECT_EQ(le32(b, 40), 5 * kBlockBytes);
}

} // namespace
} // namespace kv

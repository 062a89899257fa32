#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "persistence/text.h"

using namespace kv;

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list)
        s += char(b);
    return s;
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        path = std::filesystem::temp_directory_path() /
               ("kv_text_" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string write(const std::string& name, const std::string& data) const {
        std::ofstream(path / name, std::ios::binary) << data;
        return (path / name).string();
    }
};

} // namespace

TEST(TextDecode, ByteOrderMarkSelectsTheEncoding) {
    // "Aé𝄞" in each encoding; the mark is not part of the text.
    const std::string expected = "A\xC3\xA9\xF0\x9D\x84\x9E";
    EXPECT_EQ(decodeText(bytes({0xFF, 0xFE, 'A', 0, 0xE9, 0, 0x34, 0xD8, 0x1E, 0xDD})), expected);
    EXPECT_EQ(decodeText(bytes({0xFE, 0xFF, 0, 'A', 0, 0xE9, 0xD8, 0x34, 0xDD, 0x1E})), expected);
    EXPECT_EQ(decodeText("\xEF\xBB\xBF" + expected), expected);
    EXPECT_EQ(decodeText(expected), expected);
    EXPECT_EQ(decodeText(bytes({0xFF, 0xFE})), "");
}

TEST(TextDecode, MalformedInputBecomesReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(decodeText(bytes({0xFF, 0xFE, 'A', 0, 'B'})), "A"); // odd last byte dropped
    EXPECT_EQ(decodeText(bytes({0xFF, 0xFE, 0x00, 0xD8, 'A', 0})), fffd + "A"); // lone surrogate
    EXPECT_EQ(decodeText(bytes({'a', 0xC3, 'b', 0xFF, 0xE2, 0x82})),
              "a" + fffd + "b" + fffd + fffd + fffd);
    EXPECT_EQ(decodeText(bytes({0xC0, 0xAF})), fffd + fffd);              // overlong form
    EXPECT_EQ(decodeText(bytes({0xED, 0xA0, 0x80})), fffd + fffd + fffd); // encoded surrogate
}

TEST(TextDecode, Utf16RoundTrip) {
    const std::string text = "K\xC3\xA4lvi \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xB9\r\n";
    std::string file = encodeUtf16Le(text);
    ASSERT_EQ(file.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(decodeText(file), text);
    EXPECT_EQ(encodeUtf16Le("A", false), std::string("A\0", 2));
    EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(text)), text);
    EXPECT_EQ(utf8Length(text), 12u);
}

TEST(TextFileReader, MissingFolderEmptyAndLargeFiles) {
    TempDir dir;
    EXPECT_EQ(readTextFile((dir.path / "missing.txt").string()), "");
    EXPECT_EQ(readTextFile(dir.path.string()), "");
    EXPECT_EQ(readTextFile(dir.write("empty.txt", "")), "");
    EXPECT_EQ(readTextFile(""), "");
    EXPECT_EQ(readTextFile(dir.write("u16.txt", encodeUtf16Le("Key\t1\r\n"))), "Key\t1\r\n");

    // Several megabytes of random bytes read without trouble into well-formed UTF-8.
    std::mt19937 rng(7);
    std::string noise(5 << 20, '\0');
    for (char& c : noise)
        c = char(rng());
    noise[0] = 'x';
    std::string text = readTextFile(dir.write("noise.bin", noise));
    EXPECT_GT(text.size(), noise.size() / 2);
    EXPECT_EQ(sanitizeUtf8(text), text);
}

TEST(TextHelpers, CaseFoldingIsAsciiOnly) {
    EXPECT_TRUE(equalsIgnoreCase("Module_AudioOsc", "MODULE_audioosc"));
    EXPECT_FALSE(equalsIgnoreCase("\xC3\x84", "\xC3\xA4")); // Ä and ä are different texts
    EXPECT_FALSE(equalsIgnoreCase("abc", "abcd"));
    EXPECT_EQ(toAsciiUpper("zone_\xC3\xA9n"), "ZONE_\xC3\xA9N");
    EXPECT_EQ(findIgnoreCase("xxLANGUAGE", "language"), 2u);
    EXPECT_EQ(findIgnoreCase("abc", "d"), std::string_view::npos);
    EXPECT_TRUE(startsWithIgnoreCase("-Language", "-lang"));
}

TEST(TextHelpers, TrimReplaceAndLineEnds) {
    EXPECT_EQ(trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(trim(" \r\n\t"), "");
    EXPECT_EQ(trimRight("x \r\n"), "x");
    EXPECT_TRUE(isBlank(" \t\r\n"));
    EXPECT_FALSE(isBlank(" x "));
    EXPECT_EQ(replaceAll("aaa", "aa", "b"), "ba"); // left to right, not overlapping
    EXPECT_EQ(replaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(toCrLf("a\nb\r\nc\rd"), "a\r\nb\r\nc\r\nd");
}

TEST(KeyLookup, SeparatorsLineStartsAndTrimming) {
    const std::string section = "[Module_AudioOsc]\r\nInputSourceSubType=0\r\nInputSource=  "
                                "-[Manual]- \t\r\nName Oscillator module 1\r\nRate:5\r\n";
    EXPECT_EQ(lookupKey(section, "InputSource"), "-[Manual]-"); // not the SubType line
    EXPECT_EQ(lookupKey(section, "inputsourcesubtype"), "0");
    EXPECT_EQ(lookupKey(section, "name"), "Oscillator module 1");
    EXPECT_EQ(lookupKey(section, "Rate"), "5");
    EXPECT_EQ(lookupKey(section, "Missing"), "");
    EXPECT_EQ(lookupKey(section, "Source"), ""); // keys match only at the start of a line

    // A tab separator anywhere in the text wins over an earlier "=".
    EXPECT_EQ(lookupKey("K=first\r\nK\tsecond\r\n", "K"), "second");
    // The first line counts as a line start; the empty key finds a line "=0".
    EXPECT_EQ(lookupKey("A=1\r\n=0\r\n", "a"), "1");
    EXPECT_EQ(lookupKey("A=1\r\n=0\r\n", ""), "0");
    // Files with LF line ends read the same; the value ends at CR or LF.
    EXPECT_EQ(lookupKey("A=1\nB=2\n", "B"), "2");
    EXPECT_EQ(lookupKey("A=1\rB=2", "A"), "1");

    KeyedText keyed(section);
    EXPECT_TRUE(keyed.contains("RATE"));
    EXPECT_FALSE(keyed.contains("Rat"));
}

TEST(FormatPattern, LanguageStringPatterns) {
    EXPECT_EQ(formatPattern("%ld milliseconds", {36L}), "36 milliseconds");
    EXPECT_EQ(formatPattern("Sensitivity of Control: %ld %%", {100L}),
              "Sensitivity of Control: 100 %");
    EXPECT_EQ(formatPattern("%.0f Hertz", {440.4}), "440 Hertz");
    EXPECT_EQ(formatPattern("%.3f Hertz", {8.8}), "8.800 Hertz");
    EXPECT_EQ(formatPattern("%.00f pixels", {12.5}), "12 pixels");
    EXPECT_EQ(formatPattern("%u pixels per second.", {18u}), "18 pixels per second.");
    EXPECT_EQ(formatPattern("%g %% per millisecond", {0.25}), "0.25 % per millisecond");
    EXPECT_EQ(formatPattern("%%.%ldf %%s", {2L}), "%.2f %s");
    EXPECT_EQ(formatPattern("%s %s", {"Kalvitrope", std::string("v1.1")}), "Kalvitrope v1.1");
    EXPECT_EQ(formatPattern("[%5s|%-3d|%05.1f]", {"ab", 7, 2.25}), "[   ab|7  |002.2]");
}

TEST(FormatPattern, PatternsThatDoNotMatchTheirArgumentsAreSafe) {
    EXPECT_EQ(formatPattern("%s", {42L}), "42");
    EXPECT_EQ(formatPattern("%ld", {"text"}), "0");
    EXPECT_EQ(formatPattern("%ld", {2.9}), "2");
    EXPECT_EQ(formatPattern("%f", {3}), "3.000000");
    EXPECT_EQ(formatPattern("%s %s %s %n%ld", {"a"}), "a   ");
    EXPECT_EQ(formatPattern("%*d|%q|%", {5}), "|%q|%");
    EXPECT_EQ(formatPattern("%99999999d", {1}).size(), 300u);
    EXPECT_EQ(formatPattern("%.1s", {"\xC3\xA9t\xC3\xA9"}), "\xC3\xA9"); // whole characters
    EXPECT_EQ(formatPattern("%c", {0x263A}), "\xE2\x98\xBA");
    EXPECT_EQ(formatPattern("%.400f", {1e300}).size(), 301u + 1u + 300u); // capped precision
}

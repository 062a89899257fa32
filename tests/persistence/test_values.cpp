#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <string>

#include "persistence/values.h"

namespace kv {
namespace {

TEST(ValuesInteger, KeepsOnlyDigitsAndMinusThenReadsLikeScanf) {
    EXPECT_EQ(parseInteger("42", 7), 42);
    EXPECT_EQ(parseInteger("  -17 ms", 7), -17);
    EXPECT_EQ(parseInteger("a1b2c3", 7), 123); // letters are dropped, digits join
    EXPECT_EQ(parseInteger("1-2", 7), 1);      // the read stops at the second sign
    EXPECT_EQ(parseInteger("+5", 7), 5);
    EXPECT_EQ(parseInteger("007", 7), 7);
}

TEST(ValuesInteger, NoNumberGivesTheDefaultUnclamped) {
    EXPECT_EQ(parseInteger("", 7), 7);
    EXPECT_EQ(parseInteger("abc", 7), 7);
    EXPECT_EQ(parseInteger("-", 7), 7);
    EXPECT_EQ(parseInteger("--5", 7), 7);
    EXPECT_EQ(parseInteger("x", 500, 0, 9), 500);
}

TEST(ValuesInteger, ClampsUnlessBothBoundsAreZero) {
    EXPECT_EQ(parseInteger("12", 0, 0, 9), 9);
    EXPECT_EQ(parseInteger("-3", 0, 0, 9), 0);
    EXPECT_EQ(parseInteger("5", 0, 0, 9), 5);
    EXPECT_EQ(parseInteger("-3", 0, 0, 0), -3);
    EXPECT_EQ(parseInteger("99999", 0, -100, 0), 0); // only the upper bound 0: still a clamp
}

TEST(ValuesInteger, OverflowSaturatesAtTheLimitsOfLong) {
    EXPECT_EQ(parseInteger("99999999999999999999999", 0), LONG_MAX);
    EXPECT_EQ(parseInteger("-99999999999999999999999", 0), LONG_MIN);
    EXPECT_EQ(parseInteger("9223372036854775807", 0), LONG_MAX);
    EXPECT_EQ(parseInteger("-9223372036854775808", 0), LONG_MIN);
    EXPECT_EQ(parseInteger("9223372036854775808", 0), LONG_MAX);
    EXPECT_EQ(parseInteger(std::string(3'000'000, '9'), 0, -5, 5), 5);
}

TEST(ValuesInteger, Hexadecimal) {
    EXPECT_EQ(parseHexInteger("ff", 0), 255);
    EXPECT_EQ(parseHexInteger("#00FF80", 0), 0xFF80);
    EXPECT_EQ(parseHexInteger("-1A", 0), -26);
    EXPECT_EQ(parseHexInteger("0x10", 0), 16); // the "x" is dropped: "010"
    EXPECT_EQ(parseHexInteger("ghij", 3), 3);
    EXPECT_EQ(parseHexInteger("FFFFFFFFFFFFFFFFFFFF", 0), LONG_MAX);
    EXPECT_EQ(parseHexInteger("1FF", 0, 0, 255), 255);
}

TEST(ValuesDecimal, ReadsLikeScanfFromTheKeptCharacters) {
    EXPECT_DOUBLE_EQ(parseDecimal("4.4", 0), 4.4);
    EXPECT_DOUBLE_EQ(parseDecimal("-0.5 Hz", 0), -0.5);
    EXPECT_DOUBLE_EQ(parseDecimal("1.5e3", 0), 1500);
    EXPECT_DOUBLE_EQ(parseDecimal("2E-2", 0), 0.02);
    EXPECT_DOUBLE_EQ(parseDecimal(".25", 0), 0.25);
    EXPECT_DOUBLE_EQ(parseDecimal("1.2.3", 0), 1.2);
    EXPECT_DOUBLE_EQ(parseDecimal("1e", 0), 1);
    EXPECT_DOUBLE_EQ(parseDecimal("1,5", 0), 15); // no locale: the comma is dropped
    EXPECT_DOUBLE_EQ(parseDecimal("0x1E", 0), 30);
    EXPECT_DOUBLE_EQ(parseDecimal("-0x1E", 0), -30);
    EXPECT_DOUBLE_EQ(parseDecimal("0x", 9), 0);
}

TEST(ValuesDecimal, NoNumberGivesTheDefault) {
    EXPECT_DOUBLE_EQ(parseDecimal("", 2.5), 2.5);
    EXPECT_DOUBLE_EQ(parseDecimal("abc", 2.5), 2.5);
    EXPECT_DOUBLE_EQ(parseDecimal("-", 2.5), 2.5);
    EXPECT_DOUBLE_EQ(parseDecimal(".", 2.5), 2.5);
    EXPECT_DOUBLE_EQ(parseDecimal("e5", 2.5), 2.5);
    EXPECT_DOUBLE_EQ(parseDecimal("--5", 2.5), 2.5);
    EXPECT_DOUBLE_EQ(parseDecimal("inf", 2.5), 2.5);
    EXPECT_DOUBLE_EQ(parseDecimal("nan", 2.5), 2.5);
}

TEST(ValuesDecimal, OutOfRangeStaysFiniteAndClampApplies) {
    EXPECT_EQ(parseDecimal("1e999", 0), DBL_MAX);
    EXPECT_EQ(parseDecimal("-1e999", 0), -DBL_MAX);
    EXPECT_EQ(parseDecimal("1e-999", 7), 0.0);
    EXPECT_EQ(parseDecimal("0." + std::string(400, '0') + "1", 7), 0.0);
    EXPECT_EQ(parseDecimal(std::string(400, '9'), 0), DBL_MAX);
    EXPECT_EQ(parseDecimal("0x" + std::string(400, 'E'), 0), DBL_MAX);
    EXPECT_DOUBLE_EQ(parseDecimal("150", 0, -100, 100), 100);
    EXPECT_DOUBLE_EQ(parseDecimal("-150", 0, -100, 100), -100);
    EXPECT_DOUBLE_EQ(parseDecimal("-150", 0), -150);
}

TEST(ValuesFlag, YesWordsAreTrueEverythingElseFalse) {
    for (const char* word : {"1", "true", "yes", "yeah", "on", "one", "enable", "enabled", "+",
                             " TRUE ", "\tYes\r\n", "On"})
        EXPECT_TRUE(parseFlag(word)) << word;
    for (const char* word : {"", "0", "No", "DoVelocity", "off", "2", "y", "truee", "+ +", "01"})
        EXPECT_FALSE(parseFlag(word)) << word;
}

TEST(ValuesChoice, ByNameOrIndex) {
    static constexpr const char* kNames[] = {"AM", "FM", "Ring"};
    EXPECT_EQ(parseChoice("FM", kNames), 1);
    EXPECT_EQ(parseChoice("fm", kNames), 1);
    EXPECT_EQ(parseChoice("ring", kNames), 2);
    EXPECT_EQ(parseChoice("PM", kNames), -1);
    EXPECT_EQ(parseChoice(" FM", kNames), -1);
    EXPECT_EQ(parseChoice("", kNames), -1);
    EXPECT_EQ(parseChoice("0", kNames), 0);
    EXPECT_EQ(parseChoice("2", kNames), 2);
    EXPECT_EQ(parseChoice("7", kNames), 2);
    EXPECT_EQ(parseChoice("99999999999999999999999", kNames), 2);
    EXPECT_EQ(parseChoice("-1", kNames), -1);
    EXPECT_EQ(parseChoice("-5", kNames), -1);
    EXPECT_EQ(parseChoice("-", kNames), -1);
    EXPECT_EQ(parseChoice("FM", std::span<const char* const>{}), -1);
}

TEST(ValuesToken, SourceTokens) {
    EXPECT_EQ(parseTokenInteger("-MS_Offset", kSourceTokens, 0), -1000);
    EXPECT_EQ(parseTokenInteger("-ms_offset", kSourceTokens, 0), -1000);
    EXPECT_EQ(parseTokenInteger("MS_OFFSET", kSourceTokens, 0), 1000);
    EXPECT_EQ(parseTokenInteger(" CB_ERR ", kSourceTokens, 0), -1);
    EXPECT_EQ(parseTokenInteger("cb_err", kSourceTokens, 0), -1);
    EXPECT_EQ(parseTokenInteger("130", kSourceTokens, 0), 130);
    EXPECT_EQ(parseTokenInteger("", kSourceTokens, 9), 9);
    // Tokens that do not apply to the field are not replaced: no digits, default.
    EXPECT_EQ(parseTokenInteger("WAVE_MAPPER", kSourceTokens, 9), 9);
    EXPECT_EQ(parseTokenInteger("MS_GenericNoSelCode", kSourceTokens, 9), 9);
}

TEST(ValuesToken, DeviceTokens) {
    EXPECT_EQ(parseTokenInteger("WAVE_MAPPER", kTokenWaveMapper, 0), -1);
    EXPECT_EQ(parseTokenInteger("wave_mapper", kTokenWaveMapper, 0), -1);
    EXPECT_EQ(parseTokenInteger("MS_GenericNoSelCode", kTokenGenericNoSelCode, 0), -555);
    EXPECT_EQ(parseTokenInteger("ms_genericnoselcode", kTokenGenericNoSelCode, 0), -555);
    EXPECT_EQ(parseTokenInteger("CB_ERR", kTokenWaveMapper, 4), 4);
    EXPECT_EQ(parseTokenInteger("3", kTokenGenericNoSelCode, 0), 3);
}

TEST(ValuesToken, BoundIntegerTokenIsCaseExact) {
    EXPECT_EQ(parseBoundInteger("MS_GMax", 0), 1000);
    EXPECT_EQ(parseBoundInteger("-MS_GMax", 0), -1000);
    EXPECT_EQ(parseBoundInteger("ms_gmax", 5), 5); // not replaced, no digits
    EXPECT_EQ(parseBoundInteger("MS_GMAX", 5), 5);
    EXPECT_EQ(parseBoundInteger("-200", 0), -200);
    EXPECT_EQ(parseBoundInteger("", 1000), 1000);
}

TEST(ValuesBadInput, BinaryAndHugeTextIsSafe) {
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary.push_back(static_cast<char>(i * 37 % 256));
    std::string huge(4'000'000, 'x');
    huge[2'000'000] = '5';
    for (const std::string& text : {binary, huge, std::string(1'000'000, '-'),
                                    std::string(1'000'000, '.'), std::string(2'000'000, 'e')}) {
        (void)parseInteger(text, 0);
        (void)parseHexInteger(text, 0);
        (void)parseDecimal(text, 0);
        (void)parseFlag(text);
        static constexpr const char* kNames[] = {"a"};
        (void)parseChoice(text, kNames);
        (void)parseTokenInteger(text, 0xFF, 0);
        (void)parseBoundInteger(text, 0);
    }
    EXPECT_EQ(parseInteger(huge, 0), 5);
    EXPECT_EQ(parseTokenInteger(std::string(500'000, ' ') + "CB_ERR", kSourceTokens, 0), -1);
    EXPECT_EQ(parseInteger(std::string("1\0"
                                       "2",
                                       3),
                           0),
              12);
}

} // namespace
} // namespace kv

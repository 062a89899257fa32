// The event-script parser of the headless tool.
#include <gtest/gtest.h>

// The parser belongs to the tool's executable, not to a library: it is compiled in here.
#include "instrument/script.h"

namespace kv::cli {
namespace {

TEST(Script, TimesInSamplesMillisecondsAndSeconds) {
    uint64_t s = 0;
    EXPECT_TRUE(parseScriptTime("480", s));
    EXPECT_EQ(s, 480u);
    EXPECT_TRUE(parseScriptTime("10ms", s));
    EXPECT_EQ(s, 480u);
    EXPECT_TRUE(parseScriptTime("1.5s", s));
    EXPECT_EQ(s, 72000u);
    EXPECT_TRUE(parseScriptTime("0.01ms", s)); // rounded to the nearest sample
    EXPECT_EQ(s, 0u);
    for (const char* bad : {"", "-1", "1e3", "infs", "nans", "1.2", "ms", "s", "1 s", "1m",
                            "99999999999999999999", "999999999s", "0x10"})
        EXPECT_FALSE(parseScriptTime(bad, s)) << bad;
}

TEST(Script, EventsAreOrderedByTimeAndKeepTheirTextOrder) {
    Script script;
    std::string error;
    ASSERT_TRUE(parseScript("# comment only\r\n"
                            "20ms rate 1000 # trailing comment\r\n"
                            "0 set \"Osc \\\"A\\\" #1\" OutputDeviceID -1 (L)\n"
                            "\t\n"
                            "0 origin -5 7\n"
                            "960 button X1 DOWN\n"
                            "1 wheel horizontal -120\n"
                            "2 midi 1 90 3c 0x7F\n"
                            "3 audioin -1 \"my take.wav\"\n"
                            "4 desktop -1920 0 1919 1079\n"
                            "5 cursor 100 -3",
                            script, error))
        << error;
    ASSERT_EQ(script.events.size(), 9u);
    const ScriptEvent& set = script.events[0];
    EXPECT_EQ(set.command, ScriptCommand::Set);
    EXPECT_EQ(set.line, 3);
    EXPECT_EQ(set.module, "Osc \"A\" #1");
    EXPECT_EQ(set.key, "OutputDeviceID");
    EXPECT_EQ(set.value, "-1 (L)");
    EXPECT_EQ(script.events[1].command, ScriptCommand::Origin);
    EXPECT_EQ(script.events[2].numbers[0], -120);
    EXPECT_EQ(script.events[2].numbers[1], 1);
    EXPECT_EQ(script.events[3].numbers, (std::array<long, 4>{1, 0x90, 0x3C, 0x7F}));
    EXPECT_EQ(script.events[4].file, "my take.wav");
    EXPECT_EQ(script.events[6].numbers[1], -3);
    EXPECT_EQ(script.events[7].command, ScriptCommand::Rate);
    EXPECT_EQ(script.events[7].sample, 960u);
    EXPECT_EQ(script.events[8].command, ScriptCommand::Button);
    EXPECT_EQ(script.events[8].numbers[0], static_cast<long>(MouseButton::X1));
    EXPECT_EQ(script.events[8].numbers[1], 1);
}

TEST(Script, BadLinesNameTheLineAndTheProblem) {
    const std::pair<const char*, const char*> cases[] = {
        {"0", "line 1: missing command"},
        {"\n0 cursor 1", "line 2: missing arguments"},
        {"0 cursor 1 2 3", "too many arguments"},
        {"0 cursor a 2", "bad x 'a'"},
        {"0 button left sideways", "down or up"},
        {"0 button thumb down", "unknown button 'thumb'"},
        {"0 wheel diagonal 120", "vertical or horizontal"},
        {"0 midi 0 90 3C 100", "bad MIDI byte '100'"},
        {"0 midi -2 90 3C 10", "bad MIDI device"},
        {"0 desktop 10 0 0 10", "must not be less"},
        {"0 rate 44100", "not a selectable control rate"},
        {"0 set Osc", "missing arguments"},
        {"0 set \"Osc\"x Key 1", "missing blank after quoted text"},
        {"0 set Osc Key \"1", "unterminated quoted text"},
        {"x rate 10", "bad time 'x'"},
    };
    for (const auto& [text, message] : cases) {
        Script script;
        std::string error;
        EXPECT_FALSE(parseScript(text, script, error)) << text;
        EXPECT_NE(error.find(message), std::string::npos) << text << " -> " << error;
    }
}

TEST(Script, LineEndsByteOrderMarkAndSize) {
    // CR LF, LF and a lone CR end lines alike; a set value stops at its line end.
    const std::pair<const char*, const char*> texts[] = {
        {"lone CR", "0 set Osc AmplitudeValue 5\r10 rate 1000\r"},
        {"CR LF", "0 set Osc AmplitudeValue 5\r\n10 rate 1000\r\n"},
        {"LF", "0 set Osc AmplitudeValue 5\n10 rate 1000"},
        {"mark", "\xEF\xBB\xBF"
                 "0 set Osc AmplitudeValue 5\n\r\n10 rate 1000"},
    };
    for (const auto& [kind, text] : texts) {
        Script script;
        std::string error;
        ASSERT_TRUE(parseScript(text, script, error)) << kind << ": " << error;
        ASSERT_EQ(script.events.size(), 2u) << kind;
        EXPECT_EQ(script.events[0].value, "5") << kind;
        EXPECT_EQ(script.events[1].rate, 1000.0) << kind;
    }
    Script script;
    std::string error;
    EXPECT_FALSE(parseScript("0 rate 1\r0 jump", script, error));
    EXPECT_NE(error.find("line 2:"), std::string::npos) << error;
    EXPECT_FALSE(parseScript(std::string(kMaxScriptBytes + 1, '#'), script, error));
    EXPECT_NE(error.find("64 MiB"), std::string::npos) << error;
}

// A script kept as its text gives the events, in the order and with the errors, of a parsed one.
TEST(Script, KeptAsTextItGivesTheParsedEvents) {
    const char* texts[] = {
        "20ms rate 1000 # comment\r\n0 set \"Osc \\\"A\\\" #1\" OutputDeviceID -1 (L)\n\t\n"
        "3 audioin -1 \"my take.wav\" 192 480\r5 cursor 100 -3\n2 midi 1 90 3c 0x7F",
        "\xEF\xBB\xBF"
        "tape 1 \"a.kvc\" 00000000000000ff\n0 cursor 1 2\n9 end",
        "0 rate 1\r0 jump",
        "tape 1 \"a.kvc\" 00000000000000ff\n5 cursor 1 2\n4 cursor 1 2\n9 end",
        "tape 1 \"a.kvc\" 00000000000000ff\n5 cursor 1 2",
        "9 end\n10 rate 0",
    };
    for (const char* text : texts) {
        Script parsed;
        ScriptEvents kept;
        std::string parsedError, keptError;
        const bool ok = parseScript(text, parsed, parsedError);
        ASSERT_EQ(kept.parse(text, keptError), ok) << text;
        EXPECT_EQ(keptError, parsedError) << text;
        if (!ok) continue;
        ASSERT_EQ(kept.size(), parsed.events.size()) << text;
        EXPECT_EQ(kept.hasEnd(), parsed.hasEnd);
        EXPECT_EQ(kept.endSample(), parsed.endSample);
        EXPECT_EQ(kept.tape() != nullptr, parsed.tape() != nullptr);
        for (std::size_t i = 0; i < kept.size(); ++i) {
            const ScriptEvent a = kept.at(i), &b = parsed.events[i];
            EXPECT_EQ(kept.sampleAt(i), b.sample);
            EXPECT_TRUE(a.line == b.line && a.sample == b.sample && a.command == b.command &&
                        a.numbers == b.numbers && a.recordedInput == b.recordedInput &&
                        a.rate == b.rate && a.module == b.module && a.key == b.key &&
                        a.value == b.value && a.file == b.file && a.checksum == b.checksum)
                << text << " event " << i;
        }
    }
}

TEST(Script, EchoedWordsAreShortAndEscaped) {
    Script script;
    std::string error;
    EXPECT_FALSE(parseScript("0 " + std::string(5000, 'x') + "\x1b[2J", script, error));
    EXPECT_LT(error.size(), 120u) << error;
    EXPECT_NE(error.find("'" + std::string(60, 'x') + "...'"), std::string::npos) << error;
    EXPECT_EQ(shownToken("a\x1b[2J\tb"), "a\\x1b[2J\\tb");
}

} // namespace
} // namespace kv::cli

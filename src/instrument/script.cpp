#include "instrument/script.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>

namespace kv {

// A word of the script as shown in a message: at most 60 characters, control characters escaped,
// so that a hostile script cannot flood or garble the terminal.
std::string shownToken(std::string_view word) {
    constexpr std::size_t kShown = 60;
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < word.size() && characters < kShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        if (c < 0x20 || c == 0x7F) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += c == '\r'   ? std::string("\\r")
                   : c == '\n' ? std::string("\\n")
                   : c == '\t' ? std::string("\\t")
                               : std::string{'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        } else {
            out += static_cast<char>(c);
        }
        if ((c & 0xC0) != 0x80) ++characters; // count UTF-8 sequences, not their bytes
        if (characters == kShown) {
            // keep the continuation bytes of the last character
            while (i + 1 < word.size() && (static_cast<unsigned char>(word[i + 1]) & 0xC0) == 0x80)
                out += word[++i];
            if (i + 1 < word.size()) out += "...";
        }
    }
    return out;
}

namespace {

struct Token {
    std::string text;
    std::size_t end = 0; // position just after the token in the line
    bool quoted = false;
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

// The line without its comment: "#" outside double quotes starts one.
std::string_view withoutComment(std::string_view line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && quoted && i + 1 < line.size())
            ++i;
        else if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == '#' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

// Words separated by blanks; a double-quoted word may hold blanks, and \" and \\ inside it stand
// for a quote and a backslash.
bool tokenize(std::string_view line, std::vector<Token>& tokens, std::string& problem) {
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && isSpace(line[i]))
            ++i;
        if (i >= line.size()) return true;
        Token t;
        if (line[i] == '"') {
            t.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\'))
                    t.text += line[i++];
                else
                    t.text += c;
            }
            if (!closed) {
                problem = "unterminated quoted text";
                return false;
            }
            if (i < line.size() && !isSpace(line[i])) {
                problem = "missing blank after quoted text";
                return false;
            }
        } else {
            while (i < line.size() && !isSpace(line[i]))
                t.text += line[i++];
        }
        t.end = i;
        tokens.push_back(std::move(t));
    }
}

bool parseLong(std::string_view text, long& value) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

bool parseByte(std::string_view text, long& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 2) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size();
}

// Selectable control rates: 0 and the divisors of 48000.
bool selectableRate(long hz) {
    return hz == 0 || (hz > 0 && hz <= 48000 && 48000 % hz == 0);
}

struct LineParser {
    int line;
    std::string_view text; // the line without its comment
    std::vector<Token> tokens;
    std::string problem;

    bool fail(std::string p) {
        problem = std::move(p);
        return false;
    }
    bool count(std::size_t wanted, std::string_view usage) {
        if (tokens.size() == wanted) return true;
        return fail(
            std::string(tokens.size() < wanted ? "missing arguments" : "too many arguments") +
            " (usage: TIME " + std::string(usage) + ")");
    }
    bool number(std::size_t index, long& value, std::string_view what) {
        if (parseLong(tokens[index].text, value)) return true;
        return fail("bad " + std::string(what) + " '" + shownToken(tokens[index].text) + "'");
    }

    bool parse(ScriptEvent& e) {
        if (!parseScriptTime(tokens[0].text, e.sample))
            return fail("bad time '" + shownToken(tokens[0].text) +
                        "' (a sample index, or a number followed by ms or s)");
        if (tokens.size() < 2) return fail("missing command after the time");
        const std::string& word = tokens[1].text;
        auto& n = e.numbers;
        if (sameWord(word, "cursor")) {
            e.command = ScriptCommand::Cursor;
            return count(4, "cursor X Y") && number(2, n[0], "x") && number(3, n[1], "y");
        }
        if (sameWord(word, "button")) {
            e.command = ScriptCommand::Button;
            if (!count(4, "button left|middle|right|x1|x2 down|up")) return false;
            static constexpr const char* kButtons[] = {"left", "middle", "right", "x1", "x2"};
            const auto* b =
                std::find_if(std::begin(kButtons), std::end(kButtons),
                             [&](const char* name) { return sameWord(tokens[2].text, name); });
            if (b == std::end(kButtons))
                return fail("unknown button '" + shownToken(tokens[2].text) + "'");
            n[0] = b - std::begin(kButtons);
            if (sameWord(tokens[3].text, "down"))
                n[1] = 1;
            else if (sameWord(tokens[3].text, "up"))
                n[1] = 0;
            else
                return fail("button state must be down or up, not '" + shownToken(tokens[3].text) +
                            "'");
            return true;
        }
        if (sameWord(word, "wheel")) {
            e.command = ScriptCommand::Wheel;
            if (!count(4, "wheel vertical|horizontal DELTA")) return false;
            if (sameWord(tokens[2].text, "vertical"))
                n[1] = 0;
            else if (sameWord(tokens[2].text, "horizontal"))
                n[1] = 1;
            else
                return fail("wheel must be vertical or horizontal, not '" +
                            shownToken(tokens[2].text) + "'");
            return number(3, n[0], "wheel delta");
        }
        if (sameWord(word, "midi")) {
            e.command = ScriptCommand::Midi;
            if (!count(6, "midi DEVICE B1 B2 B3") || !number(2, n[0], "MIDI device")) return false;
            if (n[0] < -1) return fail("bad MIDI device '" + shownToken(tokens[2].text) + "'");
            for (std::size_t i = 0; i < 3; ++i) {
                if (!parseByte(tokens[3 + i].text, n[1 + i]))
                    return fail("bad MIDI byte '" + shownToken(tokens[3 + i].text) +
                                "' (two hexadecimal digits)");
            }
            return true;
        }
        if (sameWord(word, "audioin")) {
            e.command = ScriptCommand::AudioIn;
            // A gesture tape adds how much the engine had taken from the input (where in the file
            // its read begins) and the distance to the reads that follow.
            if (tokens.size() != 6 && !count(4, "audioin DEVICE FILE.wav [FRAME STEP]"))
                return false;
            if (!number(2, n[0], "input device")) return false;
            if (n[0] < -1) return fail("bad input device '" + shownToken(tokens[2].text) + "'");
            e.file = tokens[3].text;
            if (e.file.empty()) return fail("empty file name");
            if (tokens.size() == 6) {
                e.recordedInput = true;
                if (!number(4, n[1], "frame") || !number(5, n[2], "step")) return false;
                if (n[1] < 0 || n[1] % 192 != 0)
                    return fail("bad frame '" + shownToken(tokens[4].text) +
                                "' (a sample of the file at a multiple of 192)");
                if (n[2] < 0 || n[2] > 48000)
                    return fail("bad step '" + shownToken(tokens[5].text) + "' (0..48000 samples)");
            }
            return true;
        }
        if (sameWord(word, "set")) {
            e.command = ScriptCommand::Set;
            if (tokens.size() < 5)
                return fail("missing arguments (usage: TIME set \"MODULE NAME\" KEY VALUE)");
            e.module = tokens[2].text;
            e.key = tokens[3].text;
            if (e.key.empty()) return fail("empty key");
            // The value is the rest of the line, as in a patch file; one quoted word is unquoted.
            if (tokens.size() == 5 && tokens[4].quoted) {
                e.value = tokens[4].text;
            } else {
                std::string_view rest = text.substr(std::min(tokens[3].end, text.size()));
                while (!rest.empty() && isSpace(rest.front()))
                    rest.remove_prefix(1);
                while (!rest.empty() && isSpace(rest.back()))
                    rest.remove_suffix(1);
                e.value = std::string(rest);
            }
            return true;
        }
        if (sameWord(word, "desktop")) {
            e.command = ScriptCommand::Desktop;
            if (!count(6, "desktop LEFT TOP RIGHT BOTTOM") || !number(2, n[0], "left") ||
                !number(3, n[1], "top") || !number(4, n[2], "right") || !number(5, n[3], "bottom"))
                return false;
            if (n[0] > n[2] || n[1] > n[3])
                return fail("desktop right and bottom must not be less than left and top");
            return true;
        }
        if (sameWord(word, "origin")) {
            e.command = ScriptCommand::Origin;
            return count(4, "origin X Y") && number(2, n[0], "x") && number(3, n[1], "y");
        }
        if (sameWord(word, "rate")) {
            e.command = ScriptCommand::Rate;
            long hz = 0;
            if (!count(3, "rate HZ") || !number(2, hz, "rate")) return false;
            if (!selectableRate(hz))
                return fail("rate " + shownToken(tokens[2].text) +
                            " is not a selectable control rate (0 or a divisor of 48000)");
            e.rate = static_cast<double>(hz);
            return true;
        }
        if (sameWord(word, "tape")) {
            e.command = ScriptCommand::Tape;
            if (!count(5, "tape VERSION \"PATCH FILE\" CHECKSUM") || !number(2, n[0], "version"))
                return false;
            if (n[0] != kScriptTapeVersion)
                return fail("tape version " + std::to_string(n[0]) +
                            " is not supported (this program reads version " +
                            std::to_string(kScriptTapeVersion) + ")");
            e.file = tokens[3].text;
            if (e.file.empty()) return fail("empty patch file name");
            const std::string& sum = tokens[4].text;
            const auto [end, error] =
                std::from_chars(sum.data(), sum.data() + sum.size(), e.checksum, 16);
            if (sum.size() != 16 || error != std::errc() || end != sum.data() + sum.size())
                return fail("bad patch checksum '" + shownToken(sum) + "' (16 hexadecimal digits)");
            return true;
        }
        if (sameWord(word, "end")) {
            e.command = ScriptCommand::End;
            return count(2, "end");
        }
        return fail("unknown command '" + shownToken(word) + "'");
    }
};

} // namespace

std::string_view commandName(ScriptCommand command) {
    switch (command) {
    case ScriptCommand::Cursor:
        return "cursor";
    case ScriptCommand::Button:
        return "button";
    case ScriptCommand::Wheel:
        return "wheel";
    case ScriptCommand::Midi:
        return "midi";
    case ScriptCommand::AudioIn:
        return "audioin";
    case ScriptCommand::Set:
        return "set";
    case ScriptCommand::Desktop:
        return "desktop";
    case ScriptCommand::Origin:
        return "origin";
    case ScriptCommand::Rate:
        return "rate";
    case ScriptCommand::Tape:
        return "tape";
    case ScriptCommand::End:
        return "end";
    }
    return "?";
}

bool parseScriptTime(std::string_view text, uint64_t& sample) {
    if (text.empty()) return false;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), sample);
        return error == std::errc() && end == text.data() + text.size() &&
               sample <= kMaxScriptSample;
    }
    double perUnit = 0;
    if (text.size() > 2 && text.substr(text.size() - 2) == "ms") {
        perUnit = 48.0;
        text.remove_suffix(2);
    } else if (text.size() > 1 && text.back() == 's') {
        perUnit = 48000.0;
        text.remove_suffix(1);
    } else {
        return false;
    }
    // Plain decimal numbers only: no sign, no exponent, no "inf" or "nan".
    if (text.empty() || !std::all_of(text.begin(), text.end(),
                                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; }))
        return false;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return false;
    const double samples = std::round(value * perUnit);
    if (samples < 0 || samples > static_cast<double>(kMaxScriptSample)) return false;
    sample = static_cast<uint64_t>(samples);
    return true;
}

namespace {

// Where a parsed line's checks against the lines before it stand.
struct ScanState {
    bool tape = false, hasEnd = false;
    uint64_t lastSample = 0, endSample = 0;
    int lastLine = 0;
};

// One line (from `pos`, without its end) parsed into `e`; false with `problem` when it is bad.
// `blank` when the line holds no event.
bool parseLine(std::string_view raw, int lineNumber, ScriptEvent& e, bool& blank,
               std::string& problem) {
    LineParser p{lineNumber, withoutComment(raw), {}, {}};
    blank = false;
    if (!tokenize(p.text, p.tokens, p.problem)) {
        problem = p.problem;
        return false;
    }
    if (p.tokens.empty()) {
        blank = true;
        return true;
    }
    e.line = lineNumber;
    if (!p.parse(e)) {
        problem = p.problem;
        return false;
    }
    return true;
}

// Goes through the script's lines, checking each against those before it, and hands each event
// with where its line starts to `take`. False with `error` naming the first bad line.
template <typename Take>
bool scanScript(std::string_view text, std::string& error, ScanState& state, Take take) {
    if (text.size() > kMaxScriptBytes) {
        error = "is larger than 64 MiB";
        return false;
    }
    std::size_t pos = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0; // UTF-8 byte-order mark
    int lineNumber = 0;
    bool any = false;
    while (pos <= text.size()) {
        // CR LF, LF and a lone CR all end a line.
        const std::size_t begin = pos;
        const std::size_t eol = std::min(text.find_first_of("\r\n", pos), text.size());
        const std::string_view raw = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (eol < text.size() && text[eol] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
        ++lineNumber;
        ScriptEvent e;
        bool blank = false;
        std::string problem;
        if (!parseLine(raw, lineNumber, e, blank, problem)) {
            error = "line " + std::to_string(lineNumber) + ": " + problem;
            return false;
        }
        if (blank) {
            if (eol == text.size()) break;
            continue;
        }
        if (state.hasEnd)
            problem = "event after the end line (line " + std::to_string(state.lastLine) + ")";
        else if (e.command == ScriptCommand::Tape && any)
            problem = "the tape line must be the first event of a script";
        else if (state.tape && e.sample < state.lastSample)
            problem = "time " + std::to_string(e.sample) + " goes back before the time " +
                      std::to_string(state.lastSample) + " of line " +
                      std::to_string(state.lastLine);
        if (!problem.empty()) {
            error = "line " + std::to_string(lineNumber) + ": " + problem;
            return false;
        }
        if (e.command == ScriptCommand::Tape) state.tape = true;
        if (e.command == ScriptCommand::End) {
            state.hasEnd = true;
            state.endSample = e.sample;
        }
        any = true;
        state.lastSample = e.sample;
        state.lastLine = lineNumber;
        take(std::move(e), begin);
        if (eol == text.size()) break;
    }
    if (state.tape && !state.hasEnd) {
        error = "line " + std::to_string(state.lastLine) +
                ": the tape is truncated: it stops after this line, without its end line";
        return false;
    }
    return true;
}

// The path of a relative sound file not found from the current folder but found in `folder`.
void findBeside(ScriptEvent& e, const std::string& folder) {
    std::error_code ec;
    const std::filesystem::path file(e.file);
    if (e.command != ScriptCommand::AudioIn || file.is_absolute() ||
        std::filesystem::exists(file, ec) ||
        !std::filesystem::exists(std::filesystem::path(folder) / file, ec))
        return;
    e.file = (std::filesystem::path(folder) / file).string();
}

} // namespace

bool parseScript(std::string_view text, Script& script, std::string& error) {
    script.events.clear();
    script.hasEnd = false;
    script.endSample = 0;
    ScanState state;
    if (!scanScript(text, error, state,
                    [&](ScriptEvent&& e, std::size_t) { script.events.push_back(std::move(e)); }))
        return false;
    script.hasEnd = state.hasEnd;
    script.endSample = state.endSample;
    std::stable_sort(
        script.events.begin(), script.events.end(),
        [](const ScriptEvent& a, const ScriptEvent& b) { return a.sample < b.sample; });
    return true;
}

bool ScriptEvents::parse(std::string text, std::string& error, std::string folder) {
    *this = ScriptEvents{};
    ScanState state;
    if (!scanScript(text, error, state, [&](ScriptEvent&& e, std::size_t offset) {
            if (e.command == ScriptCommand::Tape) {
                tape_ = e;
                hasTape_ = true;
            }
            entries_.push_back({e.sample, static_cast<uint32_t>(offset), e.line});
        })) {
        entries_.clear();
        return false;
    }
    entries_.shrink_to_fit();
    hasEnd_ = state.hasEnd;
    endSample_ = state.endSample;
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.sample < b.sample; });
    text_ = std::move(text);
    folder_ = std::move(folder);
    return true;
}

void ScriptEvents::assign(const Script& script) {
    *this = ScriptEvents{};
    held_ = std::make_shared<const std::vector<ScriptEvent>>(script.events);
    if (const ScriptEvent* t = script.tape()) {
        tape_ = *t;
        hasTape_ = true;
    }
    hasEnd_ = script.hasEnd;
    endSample_ = script.endSample;
}

ScriptEvent ScriptEvents::at(std::size_t i) const {
    if (held_) return (*held_)[i];
    const Entry& entry = entries_[i];
    const std::string_view text = text_;
    const std::size_t eol = std::min(text.find_first_of("\r\n", entry.offset), text.size());
    ScriptEvent e;
    bool blank = false;
    std::string problem; // the line was checked when the script was parsed
    parseLine(text.substr(entry.offset, eol - entry.offset), entry.line, e, blank, problem);
    if (!folder_.empty()) findBeside(e, folder_);
    return e;
}

void findSoundFilesBeside(Script& script, const std::string& folder) {
    for (ScriptEvent& e : script.events)
        findBeside(e, folder);
}

} // namespace kv

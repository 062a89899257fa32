#pragma once
// Event scripts of the headless tool: one event per line, "TIME COMMAND ARGS", "#" starts a
// comment. TIME is a sample index (48000 per second) or a number followed by "ms" or "s".
// Pure parsing; any thread.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

enum class ScriptCommand : uint8_t {
    Cursor,  // cursor X Y
    Button,  // button left|middle|right|x1|x2 down|up
    Wheel,   // wheel vertical|horizontal DELTA
    Midi,    // midi DEVICE B1 B2 B3 (hexadecimal bytes)
    AudioIn, // audioin DEVICE FILE.wav [FRAME STEP]
    Set,     // set "MODULE NAME" KEY VALUE
    Desktop, // desktop LEFT TOP RIGHT BOTTOM
    Origin,  // origin X Y
    Rate,    // rate HZ
    Tape,    // tape VERSION "PATCH FILE" CHECKSUM: the header of a gesture tape
    End,     // end: the last line of a gesture tape; the script ends here
};

/// The command's word as written in scripts.
std::string_view commandName(ScriptCommand command);

enum class MouseButton : uint8_t { Left, Middle, Right, X1, X2 };

struct ScriptEvent {
    int line = 0;        // 1-based line of the script
    uint64_t sample = 0; // the event takes effect before this sample is computed
    ScriptCommand command = ScriptCommand::Rate;
    /// Numbers by command: cursor and origin x, y; desktop left, top, right, bottom; wheel delta
    /// (index 0); button index 0 = MouseButton, index 1 = 1 down / 0 up; wheel index 1 = 1
    /// horizontal / 0 vertical; midi device and three bytes; audioin device, and for recorded
    /// input the samples taken before (the frame) and the step to the next reads (0: none).
    std::array<long, 4> numbers{};
    /// audioin: the engine's own reads, as a gesture tape recorded them (not a sound card's
    /// input).
    bool recordedInput = false;
    double rate = 0.0;     // rate: control samples per second
    std::string module;    // set: module name
    std::string key;       // set: configuration key
    std::string value;     // set: value text as in a patch file
    std::string file;      // audioin: WAV file path; tape: the patch file
    uint64_t checksum = 0; // tape: checksum of the patch's text
};

struct Script {
    /// Events in time order; events at the same time keep their order in the text.
    std::vector<ScriptEvent> events;
    /// A gesture tape: its first event is the tape header, times never go back and it closes
    /// with an end line. Null when the script is not a tape.
    const ScriptEvent* tape() const {
        return !events.empty() && events.front().command == ScriptCommand::Tape ? &events.front()
                                                                                : nullptr;
    }
    /// The sample of the end line, if there is one.
    bool hasEnd = false;
    uint64_t endSample = 0;
};

/// Version of the gesture tapes this parser reads.
constexpr long kScriptTapeVersion = 1;

/// Largest time a script may name, in samples (about 12 days).
constexpr uint64_t kMaxScriptSample = uint64_t(1) << 36;

/// Largest script accepted, in bytes.
constexpr std::size_t kMaxScriptBytes = std::size_t(64) << 20;

/// Parses a script (CR LF, LF or CR line ends; a UTF-8 byte-order mark is skipped). On the first
/// bad line returns false with `error` naming the line and the problem ("line 3: unknown command
/// 'jump'"). Accepts any bytes without failing otherwise.
bool parseScript(std::string_view text, Script& script, std::string& error);

/// A script kept as its text with where each event lies, in time order: the memory of a long
/// script stays close to its size, and each event is parsed again when it is wanted. Checked
/// as parseScript checks it. Any thread; not shared.
class ScriptEvents {
  public:
    /// Parses and checks `text` as parseScript does (the same errors); sound files are looked for
    /// beside the script in `folder` (findSoundFilesBeside) when each event is taken.
    bool parse(std::string text, std::string& error, std::string folder = {});
    /// Holds the events of an already parsed script.
    void assign(const Script& script);

    std::size_t size() const { return held_ ? held_->size() : entries_.size(); }
    /// Event `i` in time order.
    ScriptEvent at(std::size_t i) const;
    /// The sample of event `i`, without parsing it.
    uint64_t sampleAt(std::size_t i) const {
        return held_ ? (*held_)[i].sample : entries_[i].sample;
    }
    /// The tape line, or null when the script is not a gesture tape.
    const ScriptEvent* tape() const { return hasTape_ ? &tape_ : nullptr; }
    bool hasEnd() const { return hasEnd_; }
    uint64_t endSample() const { return endSample_; }

  private:
    struct Entry {
        uint64_t sample;
        uint32_t offset; // where the line starts in the text (scripts are at most 64 MiB)
        int32_t line;
    };
    std::string text_;
    std::string folder_;
    std::vector<Entry> entries_;
    std::shared_ptr<const std::vector<ScriptEvent>> held_;
    ScriptEvent tape_;
    bool hasTape_ = false, hasEnd_ = false;
    uint64_t endSample_ = 0;
};

/// A sound file named by a relative path that is not found from the current folder is looked for
/// in `folder` (the script's own), so a script and its sound files can travel together.
void findSoundFilesBeside(Script& script, const std::string& folder);

/// A word of a script as shown in a message: cut to 60 characters, control characters escaped
/// ("\r", "\x1b"), so that a hostile script cannot flood or garble the terminal.
std::string shownToken(std::string_view word);

/// Parses a TIME field ("480", "10ms", "1.5s") into a sample index; false when it is not one.
bool parseScriptTime(std::string_view text, uint64_t& sample);

} // namespace kv

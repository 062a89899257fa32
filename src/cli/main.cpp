// kalvitrope-cli: renders, plays and probes patches without a user interface, converts patch
// files, and lists the built-in presets.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "cli/late_cycles.h"
#include "cli/mouse_check.h"
#include "cli/script.h"
#include "cli/session.h"
#include "cli/wav_file.h"
#include "devices/gesture_tape.h"
#include "mouse/mouse_input.h"
#include "persistence/config_file.h"
#include "persistence/language.h"
#include "persistence/presets.h"
#include "persistence/settings.h"
#include "persistence/text.h"
#include "platform/audio_in_rtaudio.h"
#include "platform/audio_out_rtaudio.h"
#include "platform/library_messages.h"
#include "platform/midi_in_rtmidi.h"
#include "platform/mouse_backend.h"
#include "platform/thread_priority.h"

namespace {

using namespace kv;
using namespace kv::cli;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

/// The longest render, seconds (a day).
constexpr int kMaxRenderSeconds = 86400;

constexpr const char* kVersion = "kalvitrope-cli (Kalvitrope v1.1)\n";

constexpr const char* kUsage =
    "usage: kalvitrope-cli COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  render   render a patch faster than real time into a WAV file (no sound card)\n"
    "  play     play a patch in real time on a sound card\n"
    "  probe    print control rows sample by sample as CSV\n"
    "  kvc      load a patch file into modules and write it back\n"
    "  presets  list the built-in presets: resource number, name and submenu\n"
    "  mouse-check  say how the desktop's mouse is heard, then its values live\n"
    "\n"
    "kalvitrope-cli COMMAND --help shows a command's options; --version the program's version.\n"
    "\n"
    "every command also takes:\n";

constexpr const char* kCommonOptions =
    "  --language CODE|FILE  the language of its messages: a code (de, en, fr, ...) or a\n"
    "                   strings file\n"
    "  --settings FILE  the desktop program's settings file; of it the keys that change what\n"
    "                   is computed apply:\n"
    "                     Preferences.ControlDataSampleRate, MillisecondsPerChunk,\n"
    "                     Preferences.OscillatorFrequencyMinimum,\n"
    "                     Preferences.DesiredOutputLatency, Preferences.DesiredInputLatency,\n"
    "                     Preferences.MouseOrigin.x, Preferences.MouseOrigin.y,\n"
    "                     Preferences.WrapMouseCursorAtScreenEdges,\n"
    "                     Preferences.AllowMouseInputAsAudioInput,\n"
    "                     and for play Preferences.AudioApi,\n"
    "                     Preferences.RealtimePriorityForMainThread and\n"
    "                     Preferences.MouseBackend (also for mouse-check)\n";

constexpr const char* kPatchOptions =
    "  --patch FILE     a patch file (.kvc)\n"
    "  --preset NAME    a built-in preset, by resource number or name (see: kalvitrope-cli "
    "presets)\n";

constexpr const char* kScriptOption =
    "  --script FILE    timed events, one per line: TIME COMMAND ARGS, where TIME is a sample\n"
    "                   index (48000 per second) or a number followed by ms or s, and COMMAND is\n"
    "                   cursor, button, wheel, midi, audioin, set, desktop, origin or rate;\n"
    "                   # starts a comment; a WAV file of audioin that is not found from the\n"
    "                   current folder is looked for beside the script. A gesture tape (a\n"
    "                   script recorded by the desktop program) plays on its own patch and,\n"
    "                   without --seconds, to its end\n";

struct CommandHelp {
    const char* name;
    const char* usage;
    const char* text;
};

const CommandHelp kCommands[] = {
    {"render",
     "kalvitrope-cli render (--patch FILE | --preset NAME) [--seconds S] [--script FILE]"
     " [--device N] [--format s16|s24|f32] --out FILE.wav",
     "Runs the patch on a simulated clock and writes what one output device plays as a stereo\n"
     "48000 Hz WAV file, then prints the length, peak, RMS and real-time factor.\n"},
    {"play", "kalvitrope-cli play (--patch FILE | --preset NAME) [--seconds S] [--api NAME]",
     "Plays the patch on the sound card in real time, then prints the start-up time, the late\n"
     "cycles and the output latency.\n"},
    {"probe",
     "kalvitrope-cli probe (--patch FILE | --preset NAME) [--script FILE] --samples N"
     " [--every K] --row ROW...",
     "Prints CSV sample,row,voices,k,note,primary,primarySmoothed,velocity,velocitySmoothed: one\n"
     "line per voice of each row after samples 0, K, 2K, ... below N.\n"},
    {"kvc", "kalvitrope-cli kvc IN.kvc --out OUT.kvc",
     "Loads the patch file into modules and writes them back as a patch file.\n"},
    {"presets", "kalvitrope-cli presets",
     "Lists the built-in presets in menu order, one a line: resource number, name and, in\n"
     "brackets, the presets submenu (or \"first-run demonstration\", or \"example\").\n"},
    {"mouse-check", kv::cli::kMouseCheckUsage, kv::cli::kMouseCheckHelp},
};

std::string commandHelp(const CommandHelp& c, bool withCommonOptions = true) {
    std::string text = std::string("usage: ") + c.usage + "\n\n" + c.text + "\n";
    const std::string name = c.name;
    if (name == "render" || name == "play" || name == "probe") text += kPatchOptions;
    if (name == "render") {
        text += "  --seconds S      length to render, 0 to 86400 seconds (default 10; without it\n"
                "                   a script's end line sets the length, within the same limit)\n";
        text += kScriptOption;
        text += "  --device N       the output device to record: -1 the default device "
                "(default),\n"
                "                   0 to 8 the sound-card outputs, numbered as in a patch's\n"
                "                   OutputDeviceID\n"
                "  --format F       how the WAV holds the samples: s16 (16-bit PCM, default),\n"
                "                   s24 (24-bit PCM) or f32 (32-bit float); the device plays\n"
                "                   16-bit samples, which the wider forms hold exactly\n"
                "  --out FILE.wav   the file to write; - writes the WAV to standard output\n";
    } else if (name == "play") {
        text += "  --seconds S      how long to play (default 0: until interrupted with Ctrl+C)\n"
                "  --api NAME       the sound system: auto (the first with an output device;\n"
                "                   default), jack, pulse, alsa, or null (silent, no sound card);\n"
                "                   any case\n";
    } else if (name == "probe") {
        text += kScriptOption;
        text += "  --samples N      how many samples to run\n"
                "  --every K        print every K-th sample (default 1)\n"
                "  --row ROW...     rows to print: a row number 0..154 (0..127 module output\n"
                "                   rows, 128..154 the mouse sources), or a module name with an\n"
                "                   optional @SUBTYPE choosing which of its output rows, as the\n"
                "                   ...SubType keys of a patch file do\n";
    } else if (name == "kvc") {
        text += "  --out OUT.kvc    the patch file to write\n";
    }
    return withCommonOptions ? text + kCommonOptions : text;
}

const CommandHelp* findCommand(const std::string& name) {
    for (const CommandHelp& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

/// Why writing to standard output first failed (an errno), 0 while it has not.
int stdoutFailure = 0;

/// Writes `text` to standard output, noting why when that fails (a full disk, a closed pipe).
void writeOut(std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && stdoutFailure == 0)
        stdoutFailure = errno != 0 ? errno : EIO;
}

/// printf to standard output through writeOut.
[[gnu::format(printf, 1, 2)]] void printOut(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    writeOut(text);
}

void complain(const std::string& message) {
    std::fprintf(stderr, "kalvitrope-cli: %s\n", message.c_str());
}

// A usage error of `command`: the message, then where to find the command's options.
void complainUsage(const std::string& command, const std::string& message) {
    complain(message + " (see: kalvitrope-cli " + command + " --help)");
}

// ---- Options ----------------------------------------------------------------------------------

/// The settings of --settings FILE, or null when none was given.
const Settings* commandSettings = nullptr;

/// Takes --language and --settings out of the arguments (before or after the command) and
/// applies them: the language at once, the settings through commandSettings. 0, or the exit code
/// with `error` saying why.
int takeCommonOptions(int& argc, char** argv, std::string& error) {
    static Settings settings;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--language" && arg != "--settings") {
            argv[kept++] = argv[i];
            continue;
        }
        if (i + 1 >= argc) {
            error = "option '" + arg + "' needs a value";
            return kExitUsage;
        }
        const std::string value = argv[++i];
        std::error_code ec;
        if (arg == "--language") {
            if (value.size() <= 2 && languageIndex(value) < 0) {
                error = "unknown language '" + value +
                        "' (a code such as de, en, es, fr, ja, ru, "
                        "or a strings file)";
                return kExitUsage;
            }
            if (value.size() > 2 && !std::filesystem::is_regular_file(value, ec)) {
                error = "cannot read strings file '" + value + "'";
                return kExitFailure;
            }
            const std::string chosen =
                value.size() > 2 ? std::filesystem::absolute(value, ec).string() : value;
            const std::string args[] = {"Language", chosen};
            languages().applyCommandLine(args);
            continue;
        }
        SettingsMessages messages;
        messages.inform = [&](std::string_view text, std::string_view) {
            error = "settings file '" + value + "': " + std::string(text);
        };
        messages.ask = [](std::string_view, std::string_view) { return true; }; // named explicitly
        const SettingsLoadStatus status = loadSettings(value, settings, messages, true).status;
        if (status == SettingsLoadStatus::Missing)
            error = "cannot read settings file '" + value + "'";
        if (status != SettingsLoadStatus::Loaded) return kExitFailure;
        commandSettings = &settings;
    }
    argc = kept;
    return 0;
}

struct OptionRule {
    const char* name;
    bool many; // takes every following word up to the next option
};

struct Options {
    std::map<std::string, std::vector<std::string>> values;
    std::vector<std::string> positional;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    const std::string& one(const std::string& name) const { return values.at(name).front(); }
};

bool parseOptions(const std::string& command, int argc, char** argv,
                  std::initializer_list<OptionRule> rules, std::size_t maxPositional,
                  Options& options, std::string& error) {
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (options.positional.size() >= maxPositional) {
                error = "unexpected argument '" + arg + "' for " + command;
                return false;
            }
            options.positional.push_back(arg);
            continue;
        }
        const std::string name = arg.substr(2);
        const OptionRule* rule = nullptr;
        for (const OptionRule& s : rules)
            if (name == s.name) rule = &s;
        if (!rule) {
            error = "unknown option '" + arg + "' for " + command;
            return false;
        }
        if (options.has(name) && !rule->many) {
            error = "option '" + arg + "' given twice";
            return false;
        }
        auto& list = options.values[name];
        const std::size_t before = list.size();
        while (i + 1 < argc) {
            const std::string next = argv[i + 1];
            if (next.size() >= 3 && next.compare(0, 2, "--") == 0) break;
            list.push_back(next);
            ++i;
            if (!rule->many) break;
        }
        if (list.size() == before) {
            error = "option '" + arg + "' needs a value";
            return false;
        }
    }
    return true;
}

bool numberOption(const Options& o, const std::string& name, double min, double max, double& value,
                  std::string& error) {
    if (!o.has(name)) return true;
    const std::string& text = o.one(name);
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < min || v > max) {
        std::ostringstream s;
        s << "bad value '" << text << "' for --" << name << " (a number from " << min << " to "
          << max << ")";
        error = s.str();
        return false;
    }
    value = v;
    return true;
}

bool integerOption(const Options& o, const std::string& name, long long min, long long max,
                   long long& value, std::string& error) {
    if (!o.has(name)) return true;
    const std::string& text = o.one(name);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || v < min || v > max) {
        error = "bad value '" + text + "' for --" + name + " (a whole number from " +
                std::to_string(min) + " to " + std::to_string(max) + ")";
        return false;
    }
    value = v;
    return true;
}

bool patchSource(const Options& o, PatchSource& source, std::string& error) {
    if (o.has("patch") == o.has("preset")) {
        error = "give either --patch FILE or --preset NAME";
        return false;
    }
    if (o.has("patch"))
        source.file = o.one("patch");
    else
        source.preset = o.one("preset");
    return true;
}

bool loadScript(const Options& o, ScriptEvents& script, std::string& error) {
    if (!o.has("script")) return true;
    const std::string& path = o.one("script");
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(st)) {
        error = "cannot read script '" + path + "': " + std::strerror(EISDIR);
        return false;
    }
    // A device or a pipe would never end (or never start).
    if (!ec && !std::filesystem::is_regular_file(st)) {
        error = "cannot read script '" + path + "': not a regular file";
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read script '" + path + "': " + std::strerror(errno ? errno : ENOENT);
        return false;
    }
    // Read up to one byte more than a script may hold, which tells a file too large (or grown).
    std::string text;
    text.reserve(static_cast<std::size_t>(
        std::min<std::uintmax_t>(std::filesystem::file_size(path, ec), kMaxScriptBytes) + 1));
    std::vector<char> block(1 << 16);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        text.append(block.data(), static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxScriptBytes) {
            error = "script '" + path + "' is larger than 64 MiB";
            return false;
        }
    }
    if (in.bad()) {
        error = "cannot read script '" + path + "'";
        return false;
    }
    std::string problem;
    if (!script.parse(std::move(text), problem,
                      std::filesystem::path(path).parent_path().string())) {
        error = "script '" + path + "' " + problem;
        return false;
    }
    return true;
}

// Says once how many modules of a patch found no free output row.
void warnLeftOut(const LoadReport& report) {
    if (report.noRoom > 0)
        complain("warning: the patch has more modules than the rows can hold; " +
                 std::to_string(report.noRoom) + " module" +
                 (report.noRoom == 1 ? " was" : "s were") + " left out");
}

// A gesture tape plays only on the patch it was recorded on: the one whose text has the
// checksum its tape line names.
bool checkTapePatch(const Options& o, const ScriptEvents& script, const PatchSource& source,
                    std::string& error) {
    const ScriptEvent* tape = script.tape();
    if (!tape) return true;
    const std::string where =
        "script '" + o.one("script") + "' line " + std::to_string(tape->line) + ": ";
    if (source.file.empty()) {
        error = where + "a gesture tape plays on the patch it was recorded on; give its file '" +
                shownToken(tape->file) + "' with --patch";
        return false;
    }
    std::string text, reason;
    if (!readPatchFile(source.file, text, reason)) {
        error = "cannot read patch '" + source.file + "': " + reason;
        return false;
    }
    const uint64_t sum = patchChecksum(text);
    if (sum != tape->checksum) {
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "%016llx, this one %016llx",
                      static_cast<unsigned long long>(tape->checksum),
                      static_cast<unsigned long long>(sum));
        error = where + "the tape was recorded on another patch ('" + shownToken(tape->file) +
                "'), not on '" + source.file + "' (checksum of the tape's patch " + numbers + ")";
        return false;
    }
    return true;
}

// What a settings file changes in what is computed: the engine's rate, latencies, chunk time,
// oscillator minimum and priority; the mouse sampler's origin and cursor wrap.
void applyCommandSettings(const Settings& s, EngineState& state, MouseSettings& mouse) {
    applySettings(s, state);
    mouse.originX.store(s.mouseOriginX, std::memory_order_relaxed);
    mouse.originY.store(s.mouseOriginY, std::memory_order_relaxed);
    mouse.wrapAtScreenEdges.store(s.wrapMouseCursorAtScreenEdges, std::memory_order_relaxed);
}

// The session with the --settings applied, the patch loaded and the --script (if any) read into
// `script`, checked against the patch and handed to the session by useScript.
bool prepareSession(const Options& o, const PatchSource& source, OfflineSession& session,
                    std::string& error, ScriptEvents& script) {
    if (commandSettings) {
        applyCommandSettings(*commandSettings, session.state(), session.mouse().settings);
        session.registry().setSelectionContext(commandSettings->allowMouseInputAsAudioInput,
                                               session.registry().deviceOffers());
    }
    LoadReport report;
    if (!loadScript(o, script, error) || !checkTapePatch(o, script, source, error) ||
        !session.loadPatch(source, error, &report))
        return false;
    warnLeftOut(report);
    return true;
}

std::string decibels(double fraction) {
    if (fraction <= 0) return "-inf dBFS";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(fraction));
    return text;
}

// ---- Commands ---------------------------------------------------------------------------------

int render(int argc, char** argv) {
    Options o;
    std::string error;
    PatchSource source;
    double seconds = 10.0;
    long long device = -1;
    if (!parseOptions("render", argc, argv,
                      {{"patch", false},
                       {"preset", false},
                       {"seconds", false},
                       {"script", false},
                       {"device", false},
                       {"format", false},
                       {"out", false}},
                      0, o, error) ||
        !patchSource(o, source, error) ||
        !numberOption(o, "seconds", 0.0, kMaxRenderSeconds, seconds, error) ||
        !integerOption(o, "device", -1, OfflineSession::kCaptureDevices - 1, device, error)) {
        complainUsage("render", error);
        return kExitUsage;
    }
    if (!o.has("out")) {
        complainUsage("render", "render needs --out FILE.wav");
        return kExitUsage;
    }
    WavSampleFormat format = WavSampleFormat::S16;
    if (o.has("format")) {
        const std::string name = toAsciiLower(o.one("format"));
        if (name == "s24")
            format = WavSampleFormat::S24;
        else if (name == "f32")
            format = WavSampleFormat::F32;
        else if (name != "s16") {
            complainUsage("render",
                          "unknown --format '" + o.one("format") + "' (one of: s16, s24, f32)");
            return kExitUsage;
        }
    }
    OfflineSession session;
    ScriptEvents script;
    if (!prepareSession(o, source, session, error, script)) {
        complain(error);
        return kExitFailure;
    }
    // Without --seconds, a script with an end line renders up to it, within the same limit.
    if (!o.has("seconds") && script.hasEnd()) {
        seconds = static_cast<double>(script.endSample()) / 48000.0;
        if (seconds > kMaxRenderSeconds) {
            complain("script '" + o.one("script") + "': its end line lies at " +
                     std::to_string(script.endSample()) + " samples, beyond the " +
                     std::to_string(kMaxRenderSeconds) +
                     " seconds a render may last; give --seconds to render a part of it");
            return kExitFailure;
        }
    }
    const int64_t total = !o.has("seconds") && script.hasEnd()
                              ? static_cast<int64_t>(script.endSample())
                              : std::llround(seconds * 48000.0);
    if (!session.useScript(std::move(script), error, static_cast<uint64_t>(total))) {
        complain(error);
        return kExitFailure;
    }
    const bool toStdout = o.one("out") == "-";
    WavFileWriter wav;
    if (!wav.open(o.one("out"), error, total, format)) {
        complain(error);
        return kExitFailure;
    }
    const int wanted = static_cast<int>(device);
    session.capture().setSink([&](int d, const int16_t* frames, int64_t count) {
        if (d == wanted) wav.write(frames, std::min(count, total - wav.frames()));
    });

    const auto start = std::chrono::steady_clock::now();
    // On a terminal, a progress line on standard error, redrawn about four times a second.
    const bool progress = ::isatty(STDERR_FILENO) != 0 && total > 0;
    auto lastShown = start;
    session.run([&] {
        const int64_t clock = session.capture().clock();
        if (progress &&
            std::chrono::steady_clock::now() - lastShown > std::chrono::milliseconds(250)) {
            lastShown = std::chrono::steady_clock::now();
            std::fprintf(stderr, "\rrendering: %.1f of %.1f s (%d%%)", clock / 48000.0, seconds,
                         static_cast<int>(100 * std::min(clock, total) / total));
            std::fflush(stderr);
        }
        return clock >= total;
    });
    if (progress && lastShown != start) std::fputs("\r\033[K", stderr);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    session.capture().setSink(nullptr);
    if (wav.frames() < total)
        wav.writeSilence(total - wav.frames()); // the device never played, or only late
    if (!wav.finish(error)) {
        complain(error);
        return kExitFailure;
    }
    const double rendered = static_cast<double>(wav.frames()) / 48000.0;
    // With the WAV on standard output, the summary goes to standard error.
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  "rendered %.3f s: peak %.4f (%s), RMS %.4f (%s), real-time factor %.1f\n",
                  rendered, wav.peak(), decibels(wav.peak()).c_str(), wav.rms(),
                  decibels(wav.rms()).c_str(), wall > 0 ? rendered / wall : 0.0);
    if (toStdout)
        std::fputs(summary, stderr);
    else
        writeOut(summary);
    return 0;
}

int probe(int argc, char** argv) {
    Options o;
    std::string error;
    PatchSource source;
    long long samples = 0, every = 1;
    if (!parseOptions("probe", argc, argv,
                      {{"patch", false},
                       {"preset", false},
                       {"script", false},
                       {"samples", false},
                       {"every", false},
                       {"row", true}},
                      0, o, error) ||
        !patchSource(o, source, error) ||
        !integerOption(o, "samples", 1, int64_t(1) << 36, samples, error) ||
        !integerOption(o, "every", 1, int64_t(1) << 36, every, error)) {
        complainUsage("probe", error);
        return kExitUsage;
    }
    if (!o.has("samples") || !o.has("row")) {
        complainUsage("probe", "probe needs --samples N and --row ROW...");
        return kExitUsage;
    }
    OfflineSession session;
    ScriptEvents script;
    if (!prepareSession(o, source, session, error, script) ||
        !session.useScript(std::move(script), error, static_cast<uint64_t>(samples))) {
        complain(error);
        return kExitFailure;
    }
    std::vector<int> rows;
    for (const std::string& r : o.values.at("row")) {
        const int row = resolveProbeRow(r, session.registry());
        if (row < 0) {
            complain("--row '" + r + "' names no row (a number 0..154 or a module name[@SUBTYPE])");
            return kExitFailure;
        }
        rows.push_back(row);
    }

    std::string out =
        "sample,row,voices,k,note,primary,primarySmoothed,velocity,velocitySmoothed\n";
    const ControlTable& table = session.state().table;
    const uint64_t n = static_cast<uint64_t>(samples), k = static_cast<uint64_t>(every);
    session.onSample = [&](uint64_t s) {
        if (s >= n || s % k != 0) return;
        char line[512];
        for (int row : rows) {
            const ControlRow& r = table.rows[row];
            const int voices = r.voiceCount;
            if (voices == 0) {
                std::snprintf(line, sizeof line, "%llu,%d,0,,,,,,\n",
                              static_cast<unsigned long long>(s), row);
                out += line;
            }
            for (int v = 0; v < voices && v < kVoices; ++v) {
                std::snprintf(line, sizeof line, "%llu,%d,%d,%d,%d,%.17g,%.17g,%.17g,%.17g\n",
                              static_cast<unsigned long long>(s), row, voices, v, r.noteId[v],
                              r.primary[v], r.primarySmoothed[v], r.velocity[v],
                              r.velocitySmoothed[v]);
                out += line;
            }
        }
        if (out.size() > (1u << 20)) {
            writeOut(out);
            out.clear();
        }
    };
    session.run([&] { return session.engine().sampleCounter() >= n; });
    writeOut(out);
    return 0; // standard output is checked on the way out
}

int kvc(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parseOptions("kvc", argc, argv, {{"out", false}}, 1, o, error)) {
        complainUsage("kvc", error);
        return kExitUsage;
    }
    if (o.positional.size() != 1 || !o.has("out")) {
        complainUsage("kvc", "kvc needs IN.kvc and --out OUT.kvc");
        return kExitUsage;
    }
    OfflineSession session;
    PatchSource source;
    source.file = o.positional.front();
    LoadReport report;
    if (!session.loadPatch(source, error, &report)) {
        complain(error);
        return kExitFailure;
    }
    if (report.created == 0) {
        complain("no modules found in '" + source.file + "'; nothing written");
        return kExitFailure;
    }
    warnLeftOut(report);
    const SaveResult saved = writeConfiguration(session.registry(), o.one("out"));
    if (!saved) {
        complain("cannot write '" + o.one("out") + "': " + saved.reason);
        return kExitFailure;
    }
    return 0;
}

int presets(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parseOptions("presets", argc, argv, {}, 0, o, error)) {
        complainUsage("presets", error);
        return kExitUsage;
    }
    // One line each, in menu order: the number, the English name (both work with --preset) and,
    // in brackets, the submenu in the current language or where the preset is used instead.
    for (const PresetInfo& p : presetTable()) {
        if (!presetAvailable(p)) continue;
        const std::string where = p.submenu > 0                        ? languages().main(p.submenu)
                                  : p.submenu == kPresetsDemonstration ? "first-run demonstration"
                                                                       : "example";
        printOut("%d %s (%s)\n", p.resource, p.name, where.c_str());
    }
    return 0;
}

std::atomic<bool> interrupted{false};
extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

int play(int argc, char** argv) {
    Options o;
    std::string error;
    PatchSource source;
    double seconds = 0.0;
    if (!parseOptions("play", argc, argv,
                      {{"patch", false}, {"preset", false}, {"seconds", false}, {"api", false}}, 0,
                      o, error) ||
        !patchSource(o, source, error) ||
        !numberOption(o, "seconds", 0.0, 31.0 * 86400.0, seconds, error)) {
        complainUsage("play", error);
        return kExitUsage;
    }
    // --api wins over the settings file's choice.
    std::string api = o.has("api")      ? toAsciiLower(o.one("api"))
                      : commandSettings ? toAsciiLower(commandSettings->audioApi)
                                        : "auto";
    static constexpr const char* kApis[] = {"auto", "jack", "pulse", "alsa", "null"};
    if (std::find(std::begin(kApis), std::end(kApis), api) == std::end(kApis)) {
        complainUsage("play", "unknown --api '" + o.one("api") +
                                  "' (one of: auto, jack, pulse, alsa, null)");
        return kExitUsage;
    }
    // The sound libraries print their own configuration complaints while they look for devices;
    // those go nowhere. The backend's own messages of that time are shown once a device is found
    // (such as another API chosen than the one asked for); later ones at once (any thread).
    std::vector<std::string> backendMessages;
    std::atomic<bool> lookingForDevices{true};
    platform::RtAudioOutOptions audioOptions;
    audioOptions.onMessage = [&](const std::string& m) {
        if (lookingForDevices.load())
            backendMessages.push_back(m);
        else
            complain(m);
    };
    std::unique_ptr<platform::AudioOut> out;
    int devices = 0;
    {
        platform::QuietStderr quiet;
        out = platform::makeAudioOut(api, audioOptions);
        devices = out ? out->deviceCount() : 0;
    }
    lookingForDevices.store(false);
    if (devices == 0) {
        complain(api == "auto" ? "no sound card found; to play silently use --api null"
                               : "no sound card found with --api " + api +
                                     "; try --api auto, or --api null to play silently");
        return kExitFailure;
    }
    for (const std::string& m : backendMessages)
        complain(m);
    OutputDeviceManager manager(*out);
    DeviceOutputStage stage(manager);
    // MIDI keyboards and sound-card inputs of the same sound system.
    platform::RtMidiInput midiIn(api);
    platform::RtAudioIn audioIn(api);
    MidiInputManager midiManager(midiIn);
    WaveInputManager waveManager(audioIn);
    waveManager.setMessageSink([](const std::string& text) { complain(text); });
    waveManager.setFeederStart([] { platform::raiseCurrentThreadPriority(true, nullptr); });
    DeviceInputStage inputs(&midiManager, &waveManager);
    WaveWriterList waveWriters;
    manager.setTap([&](const uint8_t* bytes, std::size_t length, int device) {
        waveWriters.writeBlock(bytes, length, device);
    });
    EngineState state;
    // The desktop's mouse plays the mouse rows when there is a display, as in the program.
    std::string noMouse;
    const std::unique_ptr<platform::MouseBackend> pointer = platform::makeMouseBackend(
        noMouse, commandSettings ? commandSettings->mouseBackend : "auto");
    if (!noMouse.empty()) complain(noMouse);
    MouseInput mouse;
    MouseSampler sampler(mouse);
    MouseSamplerThread sampling(sampler, *pointer);
    if (commandSettings) applyCommandSettings(*commandSettings, state, mouse.settings);
    Engine engine(state, &stage, &mouse, &inputs);
    engine.onStart = [&] {
        std::string message;
        if (!installMouseHook(mouse.hook, *pointer, message)) complain(message);
    };
    ModuleRegistry registry(&engine);
    offerDevices(registry, manager, &waveManager, &midiManager,
                 commandSettings && commandSettings->allowMouseInputAsAudioInput);
    LoadTarget target;
    target.registry = &registry;
    target.engine = &engine;
    target.legacyFlag = &state.settings.legacyPatch;
    LoadReport report;
    if (!loadPatchInto(target, source, error, &report)) {
        complain(error);
        return kExitFailure;
    }
    warnLeftOut(report);

    syncWaveWriters(registry, waveWriters, [](const std::string& text) { complain(text); });
    manager.setFeederStart([] { platform::raiseCurrentThreadPriority(true, nullptr); });
    engine.onTickerThreadStart = [] { platform::raiseCurrentThreadPriority(true, nullptr); };
    engine.onEngineThreadStart = [](bool realtime) {
        std::string message;
        if (!platform::raiseCurrentThreadPriority(realtime, &message) && !message.empty())
            complain(message);
    };
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    sampling.start();
    engine.start();
    // Start-up (until the first cycle has run) is measured on its own, so that it does not count
    // as late cycles; after it the cycle counter is watched every millisecond to tell when ticks
    // found no cycle run.
    double startup = -1;
    LateCycleLog lateCycles;
    while (!interrupted.load() && (seconds <= 0 || elapsed() < seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const long long counter = static_cast<long long>(state.cycleCounter.load());
        if (startup < 0) {
            if (counter > 0) startup = elapsed();
        } else {
            lateCycles.observe(elapsed() - startup, counter - 1);
        }
    }
    // The run is measured up to here: stopping (the devices closing) is not part of it.
    const double played = elapsed();
    const long long cycles = std::max(0LL, static_cast<long long>(state.cycleCounter.load()) - 1);
    if (startup < 0) startup = played;
    engine.stopAndWait();
    sampling.stop();
    pointer->removeHook();
    manager.setTap(nullptr);
    waveWriters.stopAll();

    const long long expected = std::llround((played - startup) / 0.002);
    lateCycles.finish(played - startup, cycles);
    printOut("played %.1f s: %lld cycles of %lld expected (%lld late) after a start-up of "
             "%.1f ms, %.3f ms per cycle, output latency %.1f ms (desired %d ms)\n",
             played, cycles, expected, std::max(0LL, expected - cycles), startup * 1000.0,
             state.millisecondsPerChunk.load(), state.smoothedLatency.load(),
             state.settings.desiredOutputLatency.load());
    writeOut(lateCycles.text() + "\n");
    return 0;
}

int runCommand(int argc, char** argv);

// What went to standard output is all there, or the run fails: a full disk or a closed pipe must
// not pass for success.
int checkedStandardOutput(int code) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed && stdoutFailure == 0) stdoutFailure = errno != 0 ? errno : EIO;
    if (code != 0 || (flushed && !std::ferror(stdout))) return code; // a failure said its own
    complain(std::string("writing to standard output failed: ") +
             std::strerror(stdoutFailure != 0 ? stdoutFailure : EIO));
    return kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    return checkedStandardOutput(runCommand(argc, argv));
}

namespace {

int runCommand(int argc, char** argv) {
    kv::languages().initLanguages({});
    std::string error;
    if (const int code = takeCommonOptions(argc, argv, error)) {
        complain(error);
        return code;
    }
    if (argc < 2) {
        std::fputs((std::string(kUsage) + kCommonOptions).c_str(), stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "--version" || command == "-V") {
        writeOut(kVersion);
        return 0;
    }
    // "COMMAND --help" anywhere among the options, or "help COMMAND".
    if (const CommandHelp* c = findCommand(command)) {
        for (int i = 2; i < argc; ++i)
            if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
                writeOut(commandHelp(*c));
                return 0;
            }
    }
    if ((command == "help" || command == "--help" || command == "-h") && argc >= 3) {
        const CommandHelp* c = findCommand(argv[2]);
        if (!c) {
            complain(std::string("unknown command '") + argv[2] + "'");
            std::fputs((std::string(kUsage) + kCommonOptions).c_str(), stderr);
            return kExitUsage;
        }
        writeOut(commandHelp(*c));
        return 0;
    }
    try {
        if (command == "render") return render(argc, argv);
        if (command == "play") return play(argc, argv);
        if (command == "probe") return probe(argc, argv);
        if (command == "kvc") return kvc(argc, argv);
        if (command == "presets") return presets(argc, argv);
        if (command == "mouse-check") {
            const int code = mouseCheck(std::vector<std::string>(argv + 2, argv + argc),
                                        commandSettings ? commandSettings->mouseBackend : "auto",
                                        writeOut, error);
            if (code == kExitUsage) complainUsage(command, error);
            return code;
        }
        if (command == "help" || command == "--help" || command == "-h") {
            std::string text = std::string(kUsage) + kCommonOptions;
            for (const CommandHelp& c : kCommands)
                text += "\n" + commandHelp(c, false);
            writeOut(text);
            return 0;
        }
    } catch (const std::exception& e) {
        complain(std::string("failed: ") + e.what());
        return kExitFailure;
    }
    complain("unknown command '" + command + "'");
    std::fputs((std::string(kUsage) + kCommonOptions).c_str(), stderr);
    return kExitUsage;
}

} // namespace

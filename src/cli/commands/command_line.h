#pragma once
// What the commands of kalvitrope-cli share: exit codes, standard output that notes its own
// failure, error messages, the option parser, the --settings and --language options and the
// preparation of a session from --patch/--preset and --script. Main thread only.
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cli/session.h"
#include "instrument/script.h"
#include "persistence/settings.h"

namespace kv::cli {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// ---- Output -----------------------------------------------------------------------------------

/// Writes `text` to standard output, noting why when that fails (a full disk, a closed pipe).
void writeOut(std::string_view text);
/// printf to standard output through writeOut.
[[gnu::format(printf, 1, 2)]] void printOut(const char* format, ...);
/// "kalvitrope-cli: MESSAGE" on standard error.
void complain(const std::string& message);
/// A usage error of `command`: the message, then where to find the command's options.
void complainUsage(const std::string& command, const std::string& message);
/// `code`, unless what went to standard output is not all there: then the failure is said and
/// the run fails (a full disk or a closed pipe must not pass for success).
int checkedStandardOutput(int code);

// ---- --language and --settings ----------------------------------------------------------------

/// Takes --language and --settings out of the arguments (before or after the command) and
/// applies them: the language at once, the settings through commandSettings(). 0, or the exit
/// code with `error` saying why.
int takeCommonOptions(int& argc, char** argv, std::string& error);
/// The settings of --settings FILE, or null when none was given.
const Settings* commandSettings();
/// What a settings file changes in what is computed: the engine's rate, latencies, chunk time,
/// oscillator minimum and priority; the mouse sampler's origin and cursor wrap.
void applyCommandSettings(const Settings& s, EngineState& state, MouseSettings& mouse);

// ---- Options of a command ---------------------------------------------------------------------

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

/// Reads the arguments after the command name (argv[2] on) by `rules`, with up to
/// `maxPositional` words that are no option. False with `error` on the first bad one.
bool parseOptions(const std::string& command, int argc, char** argv,
                  std::initializer_list<OptionRule> rules, std::size_t maxPositional,
                  Options& options, std::string& error);
/// The number of option `name` within [min, max] into `value`, which is left alone without the
/// option; false with `error` when it is no such number.
bool numberOption(const Options& o, const std::string& name, double min, double max, double& value,
                  std::string& error);
/// As numberOption, for a whole number.
bool integerOption(const Options& o, const std::string& name, long long min, long long max,
                   long long& value, std::string& error);
/// The patch of --patch FILE or --preset NAME (exactly one of them).
bool patchSource(const Options& o, PatchSource& source, std::string& error);
/// Checks --engine: block or reference (any case); false with `error` otherwise.
bool engineOption(const Options& o, std::string& error);

// ---- The patch and the script -----------------------------------------------------------------

/// Says once how many modules of a patch found no free output row.
void warnLeftOut(const LoadReport& report);
/// The session with the --settings applied, the patch loaded and the --script (if any) read into
/// `script`, checked against the patch; the caller hands it to the session by useScript.
bool prepareSession(const Options& o, const PatchSource& source, OfflineSession& session,
                    std::string& error, ScriptEvents& script);

} // namespace kv::cli

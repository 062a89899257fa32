// Standard output and error messages of kalvitrope-cli, and the options of its commands.
#include "cli/commands/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "persistence/text.h"

namespace kv::cli {

namespace {
/// Why writing to standard output first failed (an errno), 0 while it has not.
int stdoutFailure = 0;
} // namespace

void writeOut(std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && stdoutFailure == 0)
        stdoutFailure = errno != 0 ? errno : EIO;
}

void printOut(const char* format, ...) {
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

void complainUsage(const std::string& command, const std::string& message) {
    complain(message + " (see: kalvitrope-cli " + command + " --help)");
}

int checkedStandardOutput(int code) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed && stdoutFailure == 0) stdoutFailure = errno != 0 ? errno : EIO;
    if (code != 0 || (flushed && !std::ferror(stdout))) return code; // a failure said its own
    complain(std::string("writing to standard output failed: ") +
             std::strerror(stdoutFailure != 0 ? stdoutFailure : EIO));
    return kExitFailure;
}

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

bool engineOption(const Options& o, std::string& error) {
    if (!o.has("engine")) return true;
    const std::string name = toAsciiLower(o.one("engine"));
    if (name == "block" || name == "reference") return true;
    error = "unknown --engine '" + o.one("engine") + "' (one of: block, reference)";
    return false;
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

} // namespace kv::cli

// The session of render and probe: settings, script and patch, checked against each other.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/commands/command_line.h"
#include "devices/gesture_tape.h"
#include "persistence/text.h"

namespace kv::cli {

namespace {

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

} // namespace

void warnLeftOut(const LoadReport& report) {
    if (report.noRoom > 0)
        complain("warning: the patch has more modules than the rows can hold; " +
                 std::to_string(report.noRoom) + " module" +
                 (report.noRoom == 1 ? " was" : "s were") + " left out");
}

bool prepareSession(const Options& o, const PatchSource& source, OfflineSession& session,
                    std::string& error, ScriptEvents& script) {
    if (const Settings* settings = commandSettings()) {
        applyCommandSettings(*settings, session.state(), session.mouse().settings);
        session.registry().setSelectionContext(settings->allowMouseInputAsAudioInput,
                                               session.registry().deviceOffers());
    }
    if (o.has("engine"))
        session.engine().setBlockEvaluation(toAsciiLower(o.one("engine")) != "reference");
    LoadReport report;
    if (!loadScript(o, script, error) || !checkTapePatch(o, script, source, error) ||
        !session.loadPatch(source, error, &report))
        return false;
    warnLeftOut(report);
    return true;
}

} // namespace kv::cli

#include "install/removal.h"

#include "install/startup_shortcut.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "install/install_log.h"
#include "install/startup_shortcut.h"
#include "mouse/mice_rule.h"
#include "persistence/settings.h"
#include "persistence/text.h"

namespace kv::install {

namespace {

std::string withoutSlash(std::string_view path) {
    std::string p(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

/// An absolute path without empty, "." or ".." steps.
bool cleanAbsolute(std::string_view path) {
    if (path.size() < 2 || path.front() != '/' || path.back() == '/') return false;
    if (path.find('\0') != std::string_view::npos) return false;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view step = path.substr(start, end - start);
        if (step.empty() || step == "." || step == "..") return false;
        start = end + 1;
    }
    return true;
}

/// The part of `path` below `base` ("a/b" for base "/x" and path "/x/a/b"); empty when `path`
/// is not below `base`.
std::string_view below(std::string_view path, std::string_view base) {
    if (path.size() <= base.size() + 1 || !path.starts_with(base) || path[base.size()] != '/')
        return {};
    return path.substr(base.size() + 1);
}

/// True when no folder on the way from `base` to the last step of `rest` is a symbolic link or
/// something other than a folder (steps that do not exist end the walk: nothing to follow).
bool noLinkOnTheWay(std::string_view base, std::string_view rest) {
    std::string path(base);
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = rest.find('/', start);
        if (slash == std::string_view::npos) return true;
        path += "/" + std::string(rest.substr(start, slash - start));
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
        if (!S_ISDIR(st.st_mode)) return false;
        start = slash + 1;
    }
}

/// Whether `path` itself is a symbolic link.
bool isLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

/// Removes `rest` below the folder `base` without following a link on the way: every folder
/// step is opened with O_NOFOLLOW, the last step is unlinked (a link itself, never its target).
int unlinkBeneath(const std::string& base, std::string_view rest) {
    int dir = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return errno;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = rest.find('/', start);
        const std::string step(rest.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) {
            const int r = ::unlinkat(dir, step.c_str(), 0);
            const int error = r == 0 ? 0 : errno;
            ::close(dir);
            return error == ENOENT ? 0 : error;
        }
        const int next =
            ::openat(dir, step.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(dir);
        if (next < 0) return error == ENOENT ? 0 : error;
        dir = next;
        start = slash + 1;
    }
}

struct ShortcutBase {
    std::string folder;
    std::string rest; // a file below it, or empty for "any .desktop file directly in it"
};

/// The entries the installer makes outside the installation folder.
std::vector<ShortcutBase> shortcutFiles(const Places& places) {
    const std::string name = shortcutFileName();
    return {{places.desktop, name},
            {places.applications, name},
            {places.autostart, name},
            {places.autostart, startupShortcutName()},
            {places.applications, std::string(kPublisher) + "/" + std::string(kProductName) + " " +
                                      std::string(kVersion) + "/"}};
}

/// The shortcut base folder and the rest of `path` when it is one of the installer's shortcut
/// files; false otherwise.
bool matchShortcut(std::string_view path, const Places& places, ShortcutBase& match) {
    for (const ShortcutBase& s : shortcutFiles(places)) {
        if (s.folder.empty()) continue;
        const std::string_view rest = below(path, s.folder);
        if (rest.empty()) continue;
        if (!s.rest.empty() && s.rest.back() == '/') {
            const std::string_view file = rest.substr(std::min(rest.size(), s.rest.size()));
            if (!rest.starts_with(s.rest) || file.empty() ||
                file.find('/') != std::string_view::npos || !file.ends_with(".desktop"))
                continue;
        } else if (rest != s.rest) {
            continue;
        }
        match = {s.folder, std::string(rest)};
        return true;
    }
    return false;
}

bool isShortcutFolder(std::string_view path, const Places& places) {
    for (const std::string& f : {places.desktop, places.applications, places.autostart,
                                 places.publisherMenuFolder(), places.productMenuFolder()})
        if (!f.empty() && path == f) return true;
    return false;
}

std::string folderOf(const std::string& programPath) {
    const std::size_t slash = programPath.find_last_of('/');
    return slash == std::string::npos ? std::string("/") : programPath.substr(0, slash + 1);
}

std::size_t depth(const std::string& path) {
    return std::size_t(std::count(path.begin(), path.end(), '/'));
}

} // namespace

EntryUse judgeLogEntry(std::string_view entry, std::string_view programFolder, const Places& places,
                       std::string* base) {
    const std::string root = withoutSlash(programFolder);
    if (!cleanAbsolute(root == "/" ? std::string_view("/x") : std::string_view(root)))
        return EntryUse::Skip;
    const bool folder = entry.ends_with('/');
    const std::string path = folder ? withoutSlash(entry) : std::string(entry);
    if (!cleanAbsolute(path) || (folder && path.size() + 1 != entry.size())) return EntryUse::Skip;
    // Inside the installation folder, unless that folder is one the user keeps other files in.
    if (!places.tooBroad(root)) {
        if (folder && path == root) return isLink(path) ? EntryUse::Skip : EntryUse::RemoveFolder;
        const std::string_view rest = below(path, root);
        if (!rest.empty()) {
            if (!noLinkOnTheWay(root, rest)) return EntryUse::Skip;
            if (folder) return isLink(path) ? EntryUse::Skip : EntryUse::RemoveFolder;
            if (base) *base = root;
            return EntryUse::DeleteFile;
        }
    }
    if (folder) {
        if (!isShortcutFolder(path, places) || isLink(path)) return EntryUse::Skip;
        return EntryUse::RemoveFolder;
    }
    ShortcutBase match;
    if (!matchShortcut(path, places, match) || !noLinkOnTheWay(match.folder, match.rest))
        return EntryUse::Skip;
    if (base) *base = match.folder;
    return EntryUse::DeleteFile;
}

RemovalPlan planRemoval(const std::string& programPath, const Places& places) {
    bool found = false;
    std::vector<std::string> entries =
        readLogFile(folderOf(programPath) + std::string(kInstallLogName), &found);
    // The start-up launcher the preferences make is not in the log, yet it would start a
    // program that is gone: it goes too.
    const std::string startup = places.autostart + "/" + startupShortcutName();
    std::error_code ec;
    if (!places.autostart.empty() && std::filesystem::is_regular_file(startup, ec))
        entries.push_back(startup);
    RemovalPlan plan = planFromEntries(entries, programPath, places);
    plan.logFound = found;
    return plan;
}

RemovalPlan planFromEntries(const std::vector<std::string>& entries, const std::string& programPath,
                            const Places& places) {
    RemovalPlan plan;
    plan.programPath = programPath;
    plan.programFolder = folderOf(programPath);
    for (const std::string& entry : entries) {
        std::string base;
        switch (judgeLogEntry(entry, plan.programFolder, places, &base)) {
        case EntryUse::DeleteFile:
            plan.files.push_back(entry);
            plan.fileBases.push_back(base);
            break;
        case EntryUse::RemoveFolder: {
            const std::string folder = withoutSlash(entry);
            if (std::find(plan.folders.begin(), plan.folders.end(), folder) == plan.folders.end())
                plan.folders.push_back(folder);
            break;
        }
        case EntryUse::Skip:
            plan.skipped.push_back(entry);
            break;
        }
    }
    // A folder holding another logged folder goes after it, so both can go once empty.
    std::stable_sort(
        plan.folders.begin(), plan.folders.end(),
        [](const std::string& a, const std::string& b) { return depth(a) > depth(b); });
    return plan;
}

std::vector<std::string> deleteLoggedFiles(const RemovalPlan& plan) {
    std::vector<std::string> failed;
    const std::string root = withoutSlash(plan.programFolder);
    for (std::size_t i = 0; i < plan.files.size() && i < plan.fileBases.size(); ++i) {
        const std::string_view rest = below(plan.files[i], plan.fileBases[i]);
        if (rest.empty() || unlinkBeneath(plan.fileBases[i], rest) != 0)
            failed.push_back(plan.files[i]);
    }
    if (unlinkBeneath(root, kInstallLogName) != 0)
        failed.push_back(plan.programFolder + std::string(kInstallLogName));
    return failed;
}

RegistryChange removalRegistryChange() {
    RegistryChange change;
    change.removeKeys = {std::string(kUninstallKey)};
    change.removeValues = {recordVersionValue(kVersion), recordPathValue(kVersion)};
    return change;
}

int runCommand(const std::vector<std::string>& argv, std::string* out) {
    if (argv.empty()) return -1;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return -1;
    }
    if (child == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (out && out->size() < 65536) out->append(buffer, std::size_t(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool stopUserService(const CommandRunner& run) {
    const std::string unit(kServiceUnit);
    std::string state;
    const int status =
        run({"systemctl", "--user", "show", "--property=LoadState", "--value", unit}, &state);
    if (status != 0 || trim(state) != "loaded") return false;
    run({"systemctl", "--user", "stop", unit}, nullptr);
    run({"systemctl", "--user", "disable", unit}, nullptr);
    return true;
}

bool miceRuleInstalled(const std::string& rulePath) {
    struct stat st;
    return ::lstat(rulePath.c_str(), &st) == 0;
}

bool removeMiceRule(const std::string& rulePath, const CommandRunner& run) {
    if (!miceRuleInstalled(rulePath)) return true;
    std::vector<std::string> argv = removeMiceRuleCommand();
    // The command names the installed rule's place; a rule elsewhere (tests) is named instead.
    if (rulePath != kMiceRulePath) {
        std::string& script = argv[3];
        script.replace(script.find(kMiceRulePath), std::string_view(kMiceRulePath).size(),
                       shellQuote(rulePath));
    }
    run(argv, nullptr);
    return !miceRuleInstalled(rulePath);
}

std::string shellQuote(std::string_view word) {
    std::string out = "'";
    for (const char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string removalScript(const RemovalPlan& plan, std::string_view scriptPath, long pid) {
    const std::string folder = withoutSlash(plan.programFolder);
    const std::string program = plan.programPath;
    const std::string name = program.substr(program.find_last_of('/') + 1);
    const std::string hashes(71, '#');
    std::string s = "#!/bin/sh\n";
    s += "# File created by " + std::string(kProductName) + " " + std::string(kVersion) + "\n";
    s += "cd / || exit 1\n";
    s += "# Wait until the program has ended\n";
    s += "n=0\n";
    s += "while [ \"$n\" -lt 10 ] && kill -0 " + std::to_string(pid) +
         " 2>/dev/null; do sleep 1; n=$((n + 1)); done\n";
    s += "rm -f -- " + shellQuote(program) + "\n";
    s += "rm -f -- " + shellQuote(folder + "/" + settingsFileName(name)) + "\n";
    for (const std::string& f : plan.folders)
        if (f != folder) s += "rmdir -- " + shellQuote(f) + " 2>/dev/null\n";
    s += "rmdir -- " + shellQuote(folder) + " 2>/dev/null\n";
    s += "echo\n";
    s += "echo '" + hashes + "'\n";
    s += "echo '##                     The Removal is complete.                      ##'\n";
    s += "echo '" + hashes + "'\n";
    s += "rm -f -- " + shellQuote(scriptPath) + "\n";
    return s;
}

bool writeRemovalScript(const RemovalPlan& plan, const std::string& tempFolder, long pid,
                        std::string& scriptPath, std::string* reason) {
    auto fail = [&](int error) {
        if (reason) *reason = std::strerror(error);
        return false;
    };
    const std::string base =
        withoutSlash(tempFolder) + "/" + std::string(kProductName) + std::string(kVersion);
    scriptPath = base + ".sh";
    ::unlink(scriptPath.c_str()); // an earlier removal's script of this user
    int fd = ::open(scriptPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (fd < 0 && errno == EEXIST) {
        // The name belongs to someone else (a shared temporary folder): a unique one.
        std::string unique = base + "-XXXXXX.sh";
        fd = ::mkstemps(unique.data(), 3);
        if (fd >= 0) {
            ::fchmod(fd, 0700);
            scriptPath = unique;
        }
    }
    if (fd < 0) return fail(errno);
    const std::string text = removalScript(plan, scriptPath, pid);
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(scriptPath.c_str());
            return fail(error ? error : EIO);
        }
        rest.remove_prefix(std::size_t(n));
    }
    if (::close(fd) != 0) return fail(errno);
    return true;
}

bool startRemovalScript(const std::string& scriptPath) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::execl("/bin/sh", "sh", scriptPath.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::_exit(grandchild < 0 ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool isInstalledCopy(const std::string& programPath, const Places& places) {
    // Only the record counts: a copy of the installation folder carries the log too, and its
    // removal would take the real installation's launchers and records with it.
    const std::string recorded(
        trim(lookupKey(readTextFile(places.registryFile()), recordPathValue(kVersion))));
    if (recorded.empty() || programPath.empty()) return false;
    std::error_code ec1, ec2;
    const std::filesystem::path a = std::filesystem::weakly_canonical(recorded, ec1);
    const std::filesystem::path b = std::filesystem::weakly_canonical(programPath, ec2);
    return ec1 || ec2 ? recorded == programPath : a == b;
}

RemovalReport removeInstallation(const std::string& programPath, const Places& places, long pid,
                                 const CommandRunner& run) {
    RemovalReport report;
    changeRegistryFile(places.registryFile(), removalRegistryChange());
    report.serviceStopped = stopUserService(run);
    report.plan = planRemoval(programPath, places);
    report.notDeleted = deleteLoggedFiles(report.plan);
    std::string path;
    if (writeRemovalScript(report.plan, places.tempFolder, pid, path, &report.scriptError))
        report.scriptPath = path;
    return report;
}

} // namespace kv::install

#include "install/installer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "install/install_log.h"
#include "install/registry_edit.h"
#include "modules/config_file.h"
#include "persistence/language.h"
#include "persistence/paths.h"
#include "persistence/safe_save.h"
#include "persistence/settings.h"
#include "persistence/text.h"

namespace fs = std::filesystem;

namespace kv::install {

namespace {

std::string registryText(const Places& places) {
    return readTextFile(places.registryFile());
}

std::string recorded(std::string_view registry, const std::string& valuePath) {
    return std::string(trim(lookupKey(registry, valuePath)));
}

bool isFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_regular_file(path, ec);
}

std::string settingsOf(const std::string& program) {
    return settingsFilePath(program, "", PathEnvironment::current());
}

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(a, ea);
    const fs::path cb = fs::weakly_canonical(b, eb);
    return !ea && !eb && ca == cb;
}

/// An installation run: everything it made, so that a failed run can take it back.
class Run {
  public:
    explicit Run(InstallOutcome& outcome) : outcome_(outcome) {}

    /// Creates every folder along `folder` (absolute, no final "/"); those that did not exist
    /// are remembered. A failure other than "exists" or "denied" is reported, and the rest are
    /// still tried.
    void createFolders(const std::string& folder) {
        std::size_t pos = 1;
        while (pos <= folder.size()) {
            std::size_t end = folder.find('/', pos);
            if (end == std::string::npos) end = folder.size();
            const std::string prefix = folder.substr(0, end);
            if (::mkdir(prefix.c_str(), 0755) == 0) {
                createdFolders_.push_back(prefix);
            } else if (errno != EEXIST && errno != EACCES) {
                outcome_.folderErrors.push_back(formatPattern(
                    libraryString(19), {prefix + "/", std::string(std::strerror(errno))}));
            }
            pos = end + 1;
        }
    }

    bool createdFolder(const std::string& folder) const {
        return std::find(createdFolders_.begin(), createdFolders_.end(), folder) !=
               createdFolders_.end();
    }

    /// Copies `from` over `to` through a temporary file beside it. False with `reason`.
    bool copyProgram(const std::string& from, const std::string& to, std::string& reason) {
        struct stat st {};
        if (::lstat(to.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            reason = to + ": " + std::strerror(EISDIR);
            return false;
        }
        const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            reason = from + ": " + std::strerror(errno);
            return false;
        }
        const std::string temp = to + ".part";
        ::unlink(temp.c_str());
        const int out =
            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
        if (out < 0) {
            reason = to + ": " + std::strerror(errno);
            ::close(in);
            return false;
        }
        char buffer[1 << 16];
        int error = 0;
        for (;;) {
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error = errno;
            if (n <= 0) break;
            for (ssize_t done = 0; done < n && !error;) {
                const ssize_t w = ::write(out, buffer + done, std::size_t(n - done));
                if (w < 0 && errno != EINTR) error = errno;
                if (w > 0) done += w;
            }
            if (error) break;
        }
        ::close(in);
        if (!error && ::fsync(out) != 0) error = errno;
        if (::close(out) != 0 && !error) error = errno;
        if (!error && ::chmod(temp.c_str(), 0755) != 0) error = errno;
        if (!error && ::rename(temp.c_str(), to.c_str()) != 0) error = errno;
        if (error) {
            ::unlink(temp.c_str());
            reason = to + ": " + std::strerror(error);
            return false;
        }
        return true;
    }

    /// Removes the folders this run created, deepest first (only when empty).
    void takeBack() {
        for (auto it = createdFolders_.rbegin(); it != createdFolders_.rend(); ++it)
            ::rmdir(it->c_str());
        createdFolders_.clear();
    }

  private:
    InstallOutcome& outcome_;
    std::vector<std::string> createdFolders_;
};

/// Writes a shortcut file after logging it (launchers are executable: desktops start only those).
void writeShortcut(const std::string& path, const std::string& text, const std::string& log) {
    appendToLog(log, path);
    if (writeFileReplacing(path, text)) ::chmod(path.c_str(), 0755);
}

std::string escapeValue(std::string_view value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

/// One argument of an Exec line, quoted (the value is escaped again as a whole afterwards).
std::string execArgument(std::string_view arg) {
    std::string out = "\"";
    for (const char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

std::string execLine(const std::string& target, std::string_view arguments) {
    std::string exec = execArgument(target);
    if (!arguments.empty()) exec += " " + std::string(arguments);
    return escapeValue(exec);
}

/// The bytes of a regular file (at most the text reader's limit); empty when unreadable.
std::string readBytes(const std::string& path) {
    std::string raw;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return raw;
    char buffer[65536];
    std::size_t n;
    while (raw.size() < kMaxTextFileSize && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        raw.append(buffer, n);
    std::fclose(f);
    return raw;
}

} // namespace

InstallPreparation prepareInstall(const Places& places) {
    InstallPreparation p;
    const std::string registry = registryText(places);
    for (std::string_view version : kEarlierVersions)
        if (!isBlank(recorded(registry, recordPathValue(version)))) p.earlierInstalled = true;
    const std::string mine = recorded(registry, recordPathValue(kVersion));
    p.thisInstalledWithSettings = !isBlank(mine) && isFile(settingsOf(mine));
    return p;
}

bool installFolderFromText(std::string_view text, const Places& places, std::string& folder,
                           std::string& error) {
    std::string path(trim(text));
    for (const char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            error = "The installation folder may not contain line breaks or control characters.";
            return false;
        }
    if (path == "~" || path.starts_with("~/")) path = places.home + path.substr(1);
    if (path.empty() || path.front() != '/') {
        error = "The installation folder must be a full path (beginning with \"/\" or \"~/\").";
        return false;
    }
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (places.tooBroad(path)) {
        error = "The installation folder must be a folder of its own, not \"" + path +
                "\": removing the program deletes what it installed there.";
        return false;
    }
    folder = path + "/";
    return true;
}

std::string launcherEntry(std::string_view name, std::string_view comment,
                          const std::string& target, std::string_view arguments,
                          std::string_view icon, bool withUninstallAction) {
    std::string s = "[Desktop Entry]\nType=Application\nVersion=1.0\n";
    s += "Name=" + escapeValue(name) + "\n";
    s += "Comment=" + escapeValue(comment) + "\n";
    s += "Exec=" + execLine(target, arguments) + "\n";
    s += "Path=" + escapeValue(target.substr(0, target.find_last_of('/'))) + "\n";
    if (!icon.empty()) s += "Icon=" + escapeValue(icon) + "\n";
    s += "Terminal=false\nCategories=AudioVideo;Audio;Midi;\n";
    if (withUninstallAction) {
        s += "Actions=Uninstall;\n\n[Desktop Action Uninstall]\n";
        s += "Name=" + escapeValue(libraryString(617)) + "\n";
        s += "Exec=" + execLine(target, "-RemoveIt") + "\n";
    }
    return s;
}

std::string linkEntry(std::string_view name, std::string_view url) {
    return "[Desktop Entry]\nType=Link\nVersion=1.0\nName=" + escapeValue(name) +
           "\nURL=" + escapeValue(url) + "\n";
}

InstallOutcome runInstall(const std::string& runningProgram, const InstallChoices& choices,
                          const Places& places) {
    InstallOutcome outcome;
    std::string folder;
    if (!installFolderFromText(choices.folderText, places, folder, outcome.error)) return outcome;
    const std::string target = folder + std::string(kProgramFileName);
    const std::string log = folder + std::string(kInstallLogName);
    const std::string product(kProductName);

    Run run(outcome);
    run.createFolders(folder.substr(0, folder.size() - 1));
    std::string reason;
    if (!samePath(runningProgram, target) && !run.copyProgram(runningProgram, target, reason)) {
        run.takeBack();
        outcome.error = libraryString(607) + "\n\n" + reason;
        return outcome;
    }

    std::string icon;
    if (!choices.iconPng.empty()) {
        icon = folder + product + ".png";
        appendToLog(log, icon);
        if (!writeFileReplacing(icon, choices.iconPng)) icon.clear();
    }
    const std::string shortcut = shortcutFileName();
    // A shortcut folder this run had to create is logged, so removal can take it away again.
    auto shortcutFolder = [&](const std::string& path) {
        run.createFolders(path);
        if (run.createdFolder(path)) appendToLog(log, path + "/");
    };
    if (choices.desktop) {
        shortcutFolder(places.desktop);
        writeShortcut(places.desktop + "/" + shortcut,
                      launcherEntry(product, product, target, {}, icon, true), log);
    }
    if (choices.startMenu) {
        shortcutFolder(places.applications);
        if (!choices.extendedStartMenu) {
            writeShortcut(places.applications + "/" + shortcut,
                          launcherEntry(product, product, target, {}, icon, true), log);
        } else {
            const std::string menu = places.productMenuFolder();
            run.createFolders(menu);
            appendToLog(log, places.publisherMenuFolder() + "/");
            appendToLog(log, menu + "/");
            writeShortcut(menu + "/" + shortcut,
                          launcherEntry(product, product, target, {}, icon, true), log);
            const std::string uninstall = libraryString(617);
            writeShortcut(menu + "/" + uninstall + ".desktop",
                          launcherEntry(uninstall, uninstall, target, "-RemoveIt", icon, false),
                          log);
            const std::string help = product + " - " + libraryString(615);
            writeShortcut(menu + "/" + help + ".desktop",
                          launcherEntry(help, help, target, "-DoHelp", icon, false), log);
            const std::string online = product + " - " + libraryString(616);
            writeShortcut(menu + "/" + online + ".desktop", linkEntry(online, kSupportPage), log);
            const std::string forum = libraryString(614);
            writeShortcut(menu + "/" + forum + ".desktop", linkEntry(forum, kForumPage), log);
        }
    }

    const std::string folderNoSlash = folder.substr(0, folder.size() - 1);
    RegistryChange change;
    change.set = {
        {recordPathValue(kVersion), target},
        {recordVersionValue(kVersion), std::string(kVersion)},
        {std::string(kUninstallKey) + "\\DisplayName", product + " " + std::string(kVersion)},
        {std::string(kUninstallKey) + "\\UninstallString", execArgument(target) + " RemoveIt"},
        {std::string(kUninstallKey) + "\\DisplayIcon", icon.empty() ? target : icon},
        {std::string(kUninstallKey) + "\\Inno Setup: App Path", folderNoSlash},
        {std::string(kUninstallKey) + "\\Publisher", std::string(kPublisher)},
        {std::string(kUninstallKey) + "\\HelpLink", std::string(kHomePage)},
    };
    changeRegistryFile(places.registryFile(), change);

    std::string result = folder;
    if (choices.importSettings) {
        const std::string registry = registryText(places);
        const std::string mySettings = settingsOf(target);
        for (std::string_view version : kEarlierVersions) {
            const std::string earlier = recorded(registry, recordPathValue(version));
            if (isBlank(earlier)) continue;
            const std::string candidates[] = {
                settingsOf(earlier), (fs::path(earlier).parent_path() /
                                      settingsFileName(fs::path(earlier).filename().string()))
                                         .string()};
            bool imported = false;
            for (const std::string& c : candidates) {
                if (!isFile(c) || c == mySettings) continue;
                const std::string bytes = readBytes(c);
                if (bytes.empty() || !writeFileReplacing(mySettings, bytes)) continue;
                result += "|NoKillSettingsFile";
                imported = true;
                break;
            }
            if (imported) break;
        }
    }
    if (choices.runAfterInstall) result += "|RunProgramAfterInstall";
    if (choices.keepSettings && result.find("|NoKillSettingsFile") == std::string::npos)
        result += "|NoKillSettingsFile";
    outcome.installed = true;
    outcome.result = result;
    return outcome;
}

bool parseInstallerResult(std::string_view result, InstallerResult& out) {
    if (result.size() <= 2) return false;
    out.folder = std::string(result.substr(0, result.find('|')));
    if (out.folder.empty()) return false;
    if (out.folder.back() != '/') out.folder += '/';
    out.program = out.folder + std::string(kProgramFileName);
    out.log = out.folder + std::string(kInstallLogName);
    out.keepSettings = result.find("|NoKillSettingsFile") != std::string_view::npos;
    out.runProgram = result.find("|RunProgramAfterInstall") != std::string_view::npos;
    return true;
}

std::string logSettingsPlaces(const InstallerResult& result) {
    const std::string settings = settingsOf(result.program);
    const std::string folder = fs::path(settings).parent_path().string() + "/";
    appendToLog(result.log, folder);
    appendToLog(result.log, settings);
    const std::string autosave = autosavePath("", settings);
    if (!autosave.empty()) appendToLog(result.log, autosave);
    return settings;
}

} // namespace kv::install

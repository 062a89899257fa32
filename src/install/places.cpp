#include "install/places.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

namespace kv::install {

namespace {

std::string stripSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string absoluteOr(std::string_view value, std::string fallback) {
    if (!value.empty() && value.front() == '/') return stripSlashes(std::string(value));
    return fallback;
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

/// The desktop folder as the desktop's user-dirs tool reports it (empty when it cannot run).
std::string xdgDesktopDir() {
    FILE* pipe = ::popen("xdg-user-dir DESKTOP 2>/dev/null", "r");
    if (!pipe) return {};
    std::string out;
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), int(buffer.size()), pipe))
        out += buffer.data();
    if (::pclose(pipe) != 0) return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

} // namespace

std::string recordPathValue(std::string_view version) {
    return std::string(kRecordKey) + "\\" + std::string(version) + "EXENameAndPath";
}

std::string recordVersionValue(std::string_view version) {
    return std::string(kRecordKey) + "\\" + std::string(version);
}

Places Places::from(std::string_view home, std::string_view xdgDataHome,
                    std::string_view xdgConfigHome, std::string_view tmpDir,
                    std::string_view desktopDir) {
    Places p;
    if (home.empty() || home.front() != '/') return p;
    p.home = stripSlashes(std::string(home));
    p.dataHome = absoluteOr(xdgDataHome, p.home + "/.local/share");
    p.configHome = absoluteOr(xdgConfigHome, p.home + "/.config");
    const std::string desktop = absoluteOr(desktopDir, {});
    // Without a configured desktop folder the tool answers the home folder itself, where
    // shortcut files do not belong.
    p.desktop = desktop.empty() || desktop == p.home ? p.home + "/Desktop" : desktop;
    p.applications = p.dataHome + "/applications";
    p.autostart = p.configHome + "/autostart";
    p.tempFolder = absoluteOr(tmpDir, "/tmp");
    return p;
}

Places Places::fromEnvironment() {
    return from(env("HOME"), env("XDG_DATA_HOME"), env("XDG_CONFIG_HOME"), env("TMPDIR"),
                xdgDesktopDir());
}

std::string Places::registryFile() const {
    return dataHome.empty() ? std::string() : dataHome + "/Kalvitrope/registry.kvs";
}

std::string Places::defaultFolder() const {
    return dataHome + "/" + std::string(kProductName) + " " + std::string(kVersion) + "/";
}

std::string Places::publisherMenuFolder() const {
    return applications + "/" + std::string(kPublisher);
}

std::string Places::productMenuFolder() const {
    return publisherMenuFolder() + "/" + std::string(kProductName) + " " + std::string(kVersion);
}

bool Places::tooBroad(std::string_view folder) const {
    if (folder.empty() || folder == "/") return true;
    const std::string f(folder);
    if (home == f || home.starts_with(f + "/")) return true;
    for (const std::string& shared :
         {dataHome, configHome, desktop, applications, autostart, tempFolder})
        if (shared == f) return true;
    return false;
}

std::string shortcutFileName() {
    return std::string(kProductName) + ".desktop";
}

} // namespace kv::install

#include "install/startup_shortcut.h"

#include <filesystem>
#include <system_error>

#include "install/installer.h"
#include "persistence/safe_save.h"

namespace kv::install {

namespace fs = std::filesystem;

std::string startupShortcutName() {
    return std::string(kProductName) + " " + std::string(kVersion) + ".desktop";
}

bool startupShortcutExists(const Places& places, std::string_view systemFolder) {
    std::error_code ec;
    return (!places.autostart.empty() &&
            fs::exists(fs::path(places.autostart) / startupShortcutName(), ec)) ||
           fs::exists(fs::path(systemFolder) / startupShortcutName(), ec);
}

bool createStartupShortcut(const Places& places, const std::string& program, std::string& error) {
    if (places.autostart.empty()) {
        error = "no home folder is known, so there is no autostart folder";
        return false;
    }
    std::error_code ec;
    fs::create_directories(places.autostart, ec);
    if (ec) {
        error = places.autostart + ": " + ec.message();
        return false;
    }
    const std::string product(kProductName);
    const std::string path = (fs::path(places.autostart) / startupShortcutName()).string();
    const SaveResult r =
        writeFileReplacing(path, launcherEntry(product, product, program, "", "", false));
    if (!r) {
        error = path + ": " + r.reason;
        return false;
    }
    return true;
}

void deleteStartupShortcut(const Places& places, std::string_view systemFolder) {
    std::error_code ec;
    if (!places.autostart.empty())
        fs::remove(fs::path(places.autostart) / startupShortcutName(), ec);
    fs::remove(fs::path(systemFolder) / startupShortcutName(), ec);
}

} // namespace kv::install

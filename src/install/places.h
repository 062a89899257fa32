#pragma once
// Who the product is and where a per-user installation puts things: every folder comes from the
// environment (HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, TMPDIR and the desktop folder that
// `xdg-user-dir DESKTOP` names), so a run with another HOME touches nothing of the real one.
#include <array>
#include <string>
#include <string_view>

namespace kv::install {

// ---- Product identity ----
inline constexpr std::string_view kProductName = "Kalvitrope";
inline constexpr std::string_view kVersion = "1.1";
inline constexpr std::string_view kProgramFileName = "kalvitrope";
inline constexpr std::string_view kPublisher = "Hollowmere Software";
/// Versions whose installations may hand their settings over.
inline constexpr std::array<std::string_view, 1> kEarlierVersions = {"1.0"};
inline constexpr std::string_view kHomePage = "https://kalvitrope.org/";
inline constexpr std::string_view kSupportPage = "https://kalvitrope.org/help/";
inline constexpr std::string_view kForumPage = "https://kalvitrope.org/forum/";
/// The systemd user unit that removal stops and disables when one exists.
inline constexpr std::string_view kServiceUnit = "kalvitrope.service";

// ---- Registry records ----
/// Key of the installation record; its values are "<version>EXENameAndPath" (the installed
/// program's path) and "<version>" (the version).
inline constexpr std::string_view kRecordKey = "SOFTWARE\\Kalvitrope\\Kalvitrope";
/// Key of the uninstall entry of this version.
inline constexpr std::string_view kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kalvitrope 1.1";
/// Value path of the installed program's path for `version`.
std::string recordPathValue(std::string_view version);
/// Value path of the version value for `version`.
std::string recordVersionValue(std::string_view version);

/// The folders of a per-user installation (native, absolute, without a trailing "/").
struct Places {
    std::string home;
    std::string dataHome;     // $XDG_DATA_HOME, else ~/.local/share
    std::string configHome;   // $XDG_CONFIG_HOME, else ~/.config
    std::string desktop;      // xdg-user-dir DESKTOP, else ~/Desktop
    std::string applications; // the applications menu: <dataHome>/applications
    std::string autostart;    // <configHome>/autostart
    std::string tempFolder;   // $TMPDIR, else /tmp

    /// From the process environment. Empty fields when no home folder is known.
    static Places fromEnvironment();
    /// The same rules from a HOME and explicit variables (empty: unset); the desktop folder
    /// is `desktopDir` when absolute and not the home folder itself, else <home>/Desktop.
    static Places from(std::string_view home, std::string_view xdgDataHome,
                       std::string_view xdgConfigHome, std::string_view tmpDir,
                       std::string_view desktopDir);

    /// The registry file: <dataHome>/Kalvitrope/registry.kvs.
    std::string registryFile() const;
    /// The default installation folder: <dataHome>/Kalvitrope 1.1/ (with the final "/").
    std::string defaultFolder() const;
    /// The folder of the extended menu entries: <applications>/Hollowmere Software/Kalvitrope 1.1
    std::string publisherMenuFolder() const;
    std::string productMenuFolder() const;

    /// Whether `folder` (absolute, without a final "/") is too broad to be an installation
    /// folder: the root, the home folder or a folder above it, or one of the shared folders
    /// above. Removal deletes what the log names inside the installation folder, so such a
    /// folder would put the user's own files within reach.
    bool tooBroad(std::string_view folder) const;
};

/// The shortcut file name of the product ("Kalvitrope.desktop").
std::string shortcutFileName();

} // namespace kv::install

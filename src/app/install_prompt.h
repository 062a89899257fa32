#pragma once
// Whether start-up asks to install this copy, and with which question, from the installation
// record the installer keeps in the registry file. Pure.
#include <string>
#include <string_view>

namespace kv::app {

/// Registry value names of the installation record.
inline constexpr std::string_view kInstallRecordKey = "SOFTWARE\\Kalvitrope\\Kalvitrope";
inline constexpr std::string_view kInstalledPathValue = "1.1EXENameAndPath";
inline constexpr std::string_view kInstalledVersionValue = "1.1";

/// The question start-up asks (library string ids), or none.
enum class InstallQuestion {
    None = 0,             // this copy is the installed one: run without asking
    Install = 626,        // nothing installed: "Would you like to install ProgNameAndVersion?"
    InstallVersion = 623, // another copy recorded, without a version value
    Reinstall = 624,      // another copy of this version recorded
};

/// Library string of the three button labels ("Install now|Just run the program|Cancel") and the
/// keys that go with them.
inline constexpr int kInstallButtonLabels = 625;
inline constexpr std::string_view kInstallButtonKeys = "Install|Run|Cancel";

/// The decision for the program at `ownPath` from the registry text (decoded). Paths compare
/// as the file system does (letter case counts); both are made canonical first, so a link or a
/// "./" step to the installed file still counts as the installed copy.
InstallQuestion installQuestion(std::string_view registryText, const std::string& ownPath);

} // namespace kv::app

#pragma once
// Installing the running program for the current user: the program file copied into the
// installation folder, menu and desktop entries (.desktop files), the installation record and
// uninstall entry in the registry file, the installation log that removal works from, and the
// settings of an earlier version carried over. No Qt: the installer dialog drives this.
// User-interface thread (or the installer's worker).
#include <string>
#include <string_view>
#include <vector>

#include "install/places.h"

namespace kv::install {

/// What the installer finds before it asks.
struct InstallPreparation {
    /// An earlier version is recorded as installed (the import box is shown).
    bool earlierInstalled = false;
    /// This version is recorded as installed and its settings file exists (the keep-settings
    /// box is shown).
    bool thisInstalledWithSettings = false;
};
InstallPreparation prepareInstall(const Places& places);

/// The user's choices in the installer dialog.
struct InstallChoices {
    std::string folderText;        // the installation folder as typed
    bool startMenu = true;         // an entry in the applications menu
    bool extendedStartMenu = true; // entries in a menu folder of the product (with startMenu)
    bool desktop = true;           // a launcher on the desktop
    bool keepSettings = false;     // the keep-settings box, shown and checked
    bool importSettings = false;   // the import box, shown and checked
    bool runAfterInstall = true;
    std::string iconPng; // the program's icon as PNG bytes, installed beside it (may be empty)
};

/// The outcome of an installation.
struct InstallOutcome {
    bool installed = false;
    /// The installer result: the folder (with its final "/"), then "|NoKillSettingsFile" and
    /// "|RunProgramAfterInstall" as they apply; empty when nothing was installed.
    std::string result;
    /// Why nothing was installed (to show the user); empty on success.
    std::string error;
    /// One message per folder that could not be created.
    std::vector<std::string> folderErrors;
};

/// The installation folder from the typed text: "~/" stands for the home folder, trailing "/"
/// are removed and exactly one is added. False with `error` for an empty or relative path or
/// one that holds control characters.
bool installFolderFromText(std::string_view text, const Places& places, std::string& folder,
                           std::string& error);

/// Installs `runningProgram` as the choices say. When the program file cannot be copied,
/// whatever this run created is removed again and `error` tells why.
InstallOutcome runInstall(const std::string& runningProgram, const InstallChoices& choices,
                          const Places& places);

/// A .desktop launcher for `target` with `arguments` (each quoted as the format requires).
std::string launcherEntry(std::string_view name, std::string_view comment,
                          const std::string& target, std::string_view arguments,
                          std::string_view icon, bool withUninstallAction);
/// A .desktop link to a web address.
std::string linkEntry(std::string_view name, std::string_view url);

// ---- What start-up does with the installer's result ----

struct InstallerResult {
    std::string folder;  // with its final "/"
    std::string program; // folder + program file name
    std::string log;     // folder + installation log name
    bool keepSettings = false;
    bool runProgram = false;
};
/// Reads an installer result; false when it is too short to name a folder.
bool parseInstallerResult(std::string_view result, InstallerResult& out);

/// Logs the installed copy's settings folder, settings file and autosave file (their paths by
/// the program's own rules for the copy at `program`); returns the settings file.
std::string logSettingsPlaces(const InstallerResult& result);

} // namespace kv::install

#pragma once
// Removing the per-user installation: the registry records, a systemd user unit of the product's
// name, every file the installation log names, and a shell script in the temporary folder that
// deletes the program file, its settings file and the folders once the program has ended.
//
// The installation log is a file the user (or anything running as the user) can edit, so its
// entries are not trusted: a file is deleted only when it lies inside the installation folder,
// reached without passing through a symbolic link, or is one of the menu and desktop entries
// the installer makes; a folder is removed only when it lies inside the installation folder or
// is one of the menu or shortcut folders, and only when it is empty by then. Every other entry
// is left alone and reported. User-interface thread.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "install/places.h"
#include "install/registry_edit.h"

namespace kv::install {

/// What the log allows: what is deleted at once, which folders the script removes, what is left.
struct RemovalPlan {
    std::string programFolder; // the installation folder, with its final "/"
    std::string programPath;   // the installed program file
    bool logFound = false;
    std::vector<std::string> files;     // deleted by the program, in log order
    std::vector<std::string> fileBases; // for each file, the folder it is deleted from
    std::vector<std::string> folders;   // removed by the script when empty, deepest first
    std::vector<std::string> skipped;   // entries left alone, in log order
};

/// How one log entry is treated.
enum class EntryUse { DeleteFile, RemoveFolder, Skip };

/// Judges `entry` against the installation folder `programFolder` (absolute, canonical, with or
/// without a final "/") and the shortcut places. Looks at the file system (without following
/// links) to refuse a way out through a symbolic link.
/// For a file to delete, `base` receives the folder it is deleted from (the installation folder
/// or the shortcut folder that holds it).
EntryUse judgeLogEntry(std::string_view entry, std::string_view programFolder, const Places& places,
                       std::string* base = nullptr);

/// Reads the log beside `programPath` (canonical) and judges every entry.
RemovalPlan planRemoval(const std::string& programPath, const Places& places);
/// The same for entries already read.
RemovalPlan planFromEntries(const std::vector<std::string>& entries, const std::string& programPath,
                            const Places& places);

/// Deletes the plan's files and then the log; returns the files that could not be deleted.
std::vector<std::string> deleteLoggedFiles(const RemovalPlan& plan);

/// The registry change that deletes this version's records and uninstall entry.
RegistryChange removalRegistryChange();

/// Runs a command (argv[0] looked up on PATH) and returns its exit status (-1 when it could not
/// start); its standard output goes to `out` when given.
using CommandRunner = std::function<int(const std::vector<std::string>& argv, std::string* out)>;
int runCommand(const std::vector<std::string>& argv, std::string* out);

/// Stops and disables the product's systemd user unit when one is loaded; a missing systemctl
/// or unit is not an error. True when a unit was found.
bool stopUserService(const CommandRunner& run = runCommand);

/// Whether the udev rule that lets the desktop session read mice is installed at `rulePath`.
bool miceRuleInstalled(const std::string& rulePath);
/// Takes the mice rule away through pkexec (the administrator's consent is asked there). True
/// when no rule is left at `rulePath`.
bool removeMiceRule(const std::string& rulePath, const CommandRunner& run = runCommand);

/// A word quoted for the POSIX shell (single quotes; a quote inside becomes '\'').
std::string shellQuote(std::string_view word);

/// The text of the removal script: waits until process `pid` has ended (at most ten seconds),
/// deletes the program file and the settings file beside it, removes the plan's folders and
/// the installation folder when empty, prints the closing banner and deletes itself.
std::string removalScript(const RemovalPlan& plan, std::string_view scriptPath, long pid);

/// Creates the script in `tempFolder` as "Kalvitrope1.1.sh" (a fresh file of this user, mode
/// 0700; when that name is taken, a unique name beside it) and writes removalScript() into it.
/// `scriptPath` receives its path. False with `reason`.
bool writeRemovalScript(const RemovalPlan& plan, const std::string& tempFolder, long pid,
                        std::string& scriptPath, std::string* reason = nullptr);

/// Starts `sh scriptPath` detached from this process (its own session, output to the
/// terminal if any). False when it could not be started.
bool startRemovalScript(const std::string& scriptPath);

/// Whether the program at `programPath` is the installed copy: the registry's installation
/// record names it (as the same file, by whatever spelling) as this version's installed program.
/// An installation log beside it is not enough: a copy of the installation folder carries one.
bool isInstalledCopy(const std::string& programPath, const Places& places);

/// What a removal did.
struct RemovalReport {
    RemovalPlan plan;
    std::vector<std::string> notDeleted; // logged files that could not be deleted
    bool serviceStopped = false;
    std::string scriptPath;  // the script written (empty when it could not be)
    std::string scriptError; // why not
};

/// The whole removal up to the script: registry records, the user unit, the logged files and
/// the log, then the script (waiting for process `pid`). The caller starts the script and ends.
RemovalReport removeInstallation(const std::string& programPath, const Places& places, long pid,
                                 const CommandRunner& run = runCommand);

} // namespace kv::install

#pragma once
// Portable paths: every path the program stores in a file (settings, patches, strings-file path)
// is kept in a form that stays valid when the program folder or the user's home moves. The
// stored form uses the backslash as separator ("Presets\a.kvc", "..\..\music\b.wav",
// "%HOME%\music\b.wav"); native paths use "/". shortenPath makes the stored form from a full
// path, expandPath turns it back into a full native path before a file is opened.
//
// A stored path is one of:
//   - relative to the program folder, possibly climbing out of it with "..\" steps;
//   - a variable token of the list below followed by the rest of the path;
//   - absolute ("\usr\share\x", a network-style "\\server\share\x" or a drive form "C:\x").
// A native file name that holds a backslash cannot be stored this way (it would come back split
// at the backslash). Any thread; the functions given a PathEnvironment depend on nothing else,
// the others use PathEnvironment::current().
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv {

/// Variables whose values may start a stored path, in the order they are tried: the names that
/// stored files from other systems carry, then the Linux ones.
inline constexpr const char* kPathVariables[] = {
    "APPDATA",
    "LOCALAPPDATA",
    "ProgramData",
    "ProgramFiles",
    "ProgramFiles(x86)",
    "ProgramW6432",
    "USERPROFILE",
    "ALLUSERSPROFILE",
    "CommonProgramFiles",
    "CommonProgramFiles(x86)",
    "CommonProgramW6432",
    "SystemRoot",
    "windir",
    "PUBLIC",
    "TEMP",
    "TMP",
    "PERSONAL",
    "SystemDrive",
    "HOMEDRIVE",
    "XDG_CONFIG_HOME",
    "XDG_DATA_HOME",
    "XDG_CACHE_HOME",
    "HOME",
    "TMPDIR",
};

/// What shortening and expanding depend on: the program folder and the environment.
struct PathEnvironment {
    /// Native absolute folder of the running program file, without a trailing "/" (except the
    /// root "/").
    std::string programFolder;
    /// Environment entries (name, value) in environment order.
    std::vector<std::pair<std::string, std::string>> variables;

    /// The value of the first entry whose name equals `name` without regard to ASCII case.
    std::optional<std::string> lookup(std::string_view name) const;

    /// The running program's folder (from /proc/self/exe, else the current folder) and the
    /// process environment as it is now.
    static PathEnvironment current();
};

/// Native separators to stored ones ("/" becomes "\") and back.
std::string toStoredSeparators(std::string_view nativePath);
std::string toNativeSeparators(std::string_view storedPath);

/// Tidies a path in stored form: "\.\" steps are dropped, ".." steps that follow a name remove
/// both ("\A\B\..\C" becomes "\A\C"), and ".." steps at the root are dropped. Leading ".."
/// steps of a relative path stay.
std::string canonicalPath(std::string_view storedPath);

/// The stored form of `fullPath`, a native absolute path. A path already in stored form is
/// returned in the same form (relative and variable forms are kept as they are), so shortening
/// twice is harmless. Empty stays empty; the program folder itself gives the empty text.
std::string shortenPath(std::string_view fullPath, const PathEnvironment& env);
std::string shortenPath(std::string_view fullPath);

/// Folders whose programs count as installed system-wide ("/usr" takes in "/usr/local").
inline constexpr const char* kSystemProgramFolders[] = {"/usr", "/opt"};

/// Whether `path` (native, absolute) is one of the system program folders or lies inside one.
bool inSystemProgramFolder(std::string_view path);

/// Whether the program file at `programPath` (native, absolute) is a system copy: it lies in a
/// system program folder (where the package manager puts programs), or its folder exists and
/// this user may not write to it. Such a copy is not the user's to install or remove, and keeps
/// its settings in the per-user configuration folder. A folder that does not exist counts as
/// writable. Looks at the file system (access(2), with the effective user).
bool isSystemCopy(std::string_view programPath);

/// The native full path of a stored path. Variable tokens of unknown variables stay in place;
/// relative paths are joined to the program folder ("../" steps are left for the system).
std::string expandPath(std::string_view storedPath, const PathEnvironment& env);
std::string expandPath(std::string_view storedPath);

} // namespace kv

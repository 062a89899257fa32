#include "persistence/paths.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "persistence/text.h"

extern char** environ; // the process environment (POSIX)

namespace kv {

namespace {

constexpr char kSep = '\\';

bool isAbsoluteStored(std::string_view s) {
    return (!s.empty() && s[0] == kSep) || (s.size() >= 2 && s[1] == ':');
}

bool isNetworkStored(std::string_view s) {
    return s.size() >= 2 && s[0] == kSep && s[1] == kSep;
}

std::string nativeProgramFolder() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::filesystem::path folder = ec ? std::filesystem::current_path(ec) : exe.parent_path();
    std::string s = folder.string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s.empty() ? std::string("/") : s;
}

// Position after the folder part that `path` shares with `folder`: the longest common start,
// cut back to just after a separator, or the whole folder when the path ends there or goes on
// with a separator.
std::size_t sharedFolderLength(std::string_view path, std::string_view folder) {
    std::size_t k = 0;
    while (k < path.size() && k < folder.size() && path[k] == folder[k])
        ++k;
    if (k == folder.size() && (k == path.size() || path[k] == kSep || folder.back() == kSep))
        return k;
    std::size_t lastSep = folder.substr(0, k).rfind(kSep);
    return lastSep == std::string_view::npos ? 0 : lastSep + 1;
}

} // namespace

std::optional<std::string> PathEnvironment::lookup(std::string_view name) const {
    for (const auto& [n, v] : variables)
        if (equalsIgnoreCase(n, name)) return v;
    return std::nullopt;
}

PathEnvironment PathEnvironment::current() {
    static const std::string folder = nativeProgramFolder();
    PathEnvironment env;
    env.programFolder = folder;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        std::size_t eq = entry.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        env.variables.emplace_back(std::string(entry.substr(0, eq)),
                                   std::string(entry.substr(eq + 1)));
    }
    return env;
}

std::string toStoredSeparators(std::string_view nativePath) {
    std::string s(nativePath);
    std::replace(s.begin(), s.end(), '/', kSep);
    return s;
}

std::string toNativeSeparators(std::string_view storedPath) {
    std::string s(storedPath);
    std::replace(s.begin(), s.end(), kSep, '/');
    return s;
}

std::string canonicalPath(std::string_view storedPath) {
    std::string s(storedPath);
    // "\.\" steps, repeated so that "\.\.\" goes too.
    for (std::size_t hit; (hit = s.find("\\.\\")) != std::string::npos;)
        s.erase(hit, 2);

    // ".." steps: a whole "\.." component removes itself and the name before it; at the root it
    // only removes itself (the root's parent is the root). A ".." after another "..", after an
    // empty name (the start of a network path) or at the start of a relative path stays.
    const bool absolute = !s.empty() && s[0] == kSep && !isNetworkStored(s);
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = s.find("\\..", pos);
        if (hit == std::string::npos) break;
        std::size_t after = hit + 3;
        if (after < s.size() && s[after] != kSep) { // a name that begins with ".."
            pos = hit + 1;
            continue;
        }
        if (hit == 0) {
            if (absolute) {
                s.erase(0, 3);
                if (s.empty()) s = "\\";
            } else {
                pos = after;
            }
            continue;
        }
        std::size_t a = s.rfind(kSep, hit - 1);
        if (a == std::string::npos) {
            pos = after;
            continue;
        }
        std::string_view name = std::string_view(s).substr(a + 1, hit - a - 1);
        if (name == ".." || name.empty()) {
            pos = after;
            continue;
        }
        s.erase(a, after - a);
        if (s.empty()) s = "\\";
        pos = a;
    }
    return s;
}

std::string shortenPath(std::string_view fullPath, const PathEnvironment& env) {
    if (fullPath.empty()) return {};
    std::string p = canonicalPath(toStoredSeparators(fullPath));
    if (isNetworkStored(p)) return p;
    if (p.size() == 2 && p[1] == ':') p += kSep;

    const std::string folder = canonicalPath(toStoredSeparators(env.programFolder));
    std::size_t i = folder.empty() ? 0 : sharedFolderLength(p, folder);
    if (!folder.empty() && i == folder.size()) {
        // Inside the program folder: the rest, without the separator after the folder.
        std::size_t skip = folder.back() == kSep ? i : i + 1;
        return skip >= p.size() ? std::string() : p.substr(skip);
    }
    // Sharing only the root does not make a path relative: top-level folders are often
    // separate file systems, like drives elsewhere, and the variables below suit them better.
    if (i == 1 && folder[0] == kSep) i = 0;
    if (i > 0) {
        std::size_t n = std::count(folder.begin() + std::ptrdiff_t(i), folder.end(), kSep);
        std::string out;
        for (std::size_t k = 0; k <= n; ++k)
            out += "..\\";
        return out + p.substr(i);
    }
    for (const char* name : kPathVariables) {
        std::optional<std::string> value = env.lookup(name);
        if (!value || value->empty()) continue;
        std::string v = canonicalPath(toStoredSeparators(*value));
        // Only an absolute folder below the root can stand for the start of a path, and only
        // where a name of the path ends (so HOME=/home/u does not shorten /home/user2).
        if (v.empty() || v[0] != kSep || v.find_first_not_of(kSep) == std::string::npos) continue;
        if (p.size() < v.size() || p.compare(0, v.size(), v) != 0) continue;
        if (v.back() != kSep && p.size() != v.size() && p[v.size()] != kSep) continue;
        return "%" + std::string(name) + "%" + p.substr(v.size());
    }
    return p;
}

std::string shortenPath(std::string_view fullPath) {
    return shortenPath(fullPath, PathEnvironment::current());
}

bool inSystemProgramFolder(std::string_view path) {
    for (std::string_view folder : kSystemProgramFolders)
        if (path.starts_with(folder) &&
            (path.size() == folder.size() || path[folder.size()] == '/'))
            return true;
    return false;
}

bool isSystemCopy(std::string_view programPath) {
    if (inSystemProgramFolder(programPath)) return true;
    const std::size_t slash = programPath.rfind('/');
    if (slash == std::string_view::npos) return false;
    const std::string folder = slash == 0 ? "/" : std::string(programPath.substr(0, slash));
    if (::eaccess(folder.c_str(), W_OK) == 0) return false;
    // Only a folder that is there and refuses this user; a missing one decides nothing.
    return errno == EACCES || errno == EROFS || errno == EPERM;
}

std::string expandPath(std::string_view storedPath, const PathEnvironment& env) {
    std::string s = canonicalPath(toStoredSeparators(storedPath));

    // Variable tokens: each "%" starts a name that runs to the next "%"; a known variable's
    // token is replaced by its value, anything else stays as written. Inserted values are not
    // scanned again.
    std::string out;
    out.reserve(s.size());
    for (std::size_t pos = 0; pos < s.size();) {
        if (s[pos] == '%') {
            std::size_t close = s.find('%', pos + 1);
            if (close != std::string::npos) {
                std::optional<std::string> value =
                    env.lookup(std::string_view(s).substr(pos + 1, close - pos - 1));
                if (value && close > pos + 1) {
                    out += toStoredSeparators(*value);
                    pos = close + 1;
                    continue;
                }
            }
        }
        out += s[pos++];
    }

    if (isAbsoluteStored(out)) return toNativeSeparators(out);
    std::string folder = toStoredSeparators(env.programFolder);
    while (!folder.empty() && folder.back() == kSep)
        folder.pop_back();
    std::size_t first = out.find_first_not_of(kSep);
    return toNativeSeparators(folder + kSep +
                              (first == std::string::npos ? std::string() : out.substr(first)));
}

std::string expandPath(std::string_view storedPath) {
    return expandPath(storedPath, PathEnvironment::current());
}

} // namespace kv

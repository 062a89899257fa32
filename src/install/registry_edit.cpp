#include "install/registry_edit.h"

#include <filesystem>
#include <system_error>

#include "persistence/safe_save.h"
#include "persistence/text.h"

namespace kv::install {

namespace {

std::string_view nameOf(std::string_view line) {
    const std::size_t tab = line.find('\t');
    return tab == std::string_view::npos ? line : line.substr(0, tab);
}

/// A value kept on one line: line ends would split it.
std::string oneLine(std::string_view value) {
    std::string out(value);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

} // namespace

std::string changeRegistryText(std::string_view text, const RegistryChange& change) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    auto removed = [&](std::string_view name) {
        for (const std::string& v : change.removeValues)
            if (equalsIgnoreCase(name, v)) return true;
        for (const std::string& k : change.removeKeys)
            if (equalsIgnoreCase(name, k) || startsWithIgnoreCase(name, k + "\\")) return true;
        return false;
    };
    std::vector<std::string> out;
    for (std::string& line : lines)
        if (!removed(nameOf(line))) out.push_back(std::move(line));
    for (const auto& [name, value] : change.set) {
        const std::string line = oneLine(name) + "\t" + oneLine(value);
        bool replaced = false;
        for (std::string& existing : out)
            if (equalsIgnoreCase(nameOf(existing), name)) {
                existing = line;
                replaced = true;
                break;
            }
        if (!replaced) out.push_back(line);
    }
    std::string result;
    for (const std::string& line : out)
        result += line + "\r\n";
    return result;
}

bool changeRegistryFile(const std::string& path, const RegistryChange& change,
                        std::string* reason) {
    if (path.empty()) {
        if (reason) *reason = "no home folder is known";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    const std::string text = changeRegistryText(readTextFile(path), change);
    const SaveResult saved = writeFileReplacing(path, encodeUtf16Le(text, true));
    if (!saved && reason) *reason = saved.reason;
    return bool(saved);
}

} // namespace kv::install

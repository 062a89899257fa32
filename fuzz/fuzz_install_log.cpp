// Installation logs of any content: reading never crashes or hangs, removal only ever deletes
// files inside the installation folder or the product's own shortcut files, and every path in
// the removal script comes back from the shell exactly as judged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "install/install_log.h"
#include "install/removal.h"

namespace {

using namespace kv::install;

[[noreturn]] void fault(const char* what, std::string_view detail) {
    std::fprintf(stderr, "%s: %.*s\n", what, int(detail.size()), detail.data());
    std::abort();
}

/// The word a single-quoted shell word stands for; aborts on anything else.
std::string unquote(std::string_view quoted) {
    std::string out;
    std::size_t i = 0;
    while (i < quoted.size()) {
        if (quoted[i] != '\'') fault("unquoted character in script word", quoted);
        const std::size_t close = quoted.find('\'', i + 1);
        if (close == std::string_view::npos) fault("open quote in script word", quoted);
        out.append(quoted.substr(i + 1, close - i - 1));
        i = close + 1;
        if (quoted.substr(i, 2) == "\\'") {
            out += '\'';
            i += 2;
        }
    }
    return out;
}

bool allowed(const std::string& path, const std::string& root, const Places& places) {
    if (path.starts_with(root + "/") && path.find("/../") == std::string::npos &&
        !path.ends_with("/.."))
        return true;
    if (path == root) return true;
    for (const std::string& base : {places.desktop, places.applications, places.autostart})
        if (path == base || path == base + "/Kalvitrope.desktop") return true;
    const std::string menu = places.productMenuFolder();
    if (path == menu || path == places.publisherMenuFolder()) return true;
    return path.starts_with(menu + "/") && path.ends_with(".desktop") &&
           path.find('/', menu.size() + 1) == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Places places =
        Places::from("/nonexistent-fuzz/home", "", "", "/nonexistent-fuzz/tmp", "");
    static const std::string root = "/nonexistent-fuzz/home/.local/share/Kalvitrope 1.1";
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto entries = readLogEntries(bytes);
    for (const std::string& e : entries)
        if (e.empty() || e.find_first_of("\r\n") != std::string::npos)
            fault("entry with a line end", e);
    const RemovalPlan plan = planFromEntries(entries, root + "/kalvitrope", places);
    if (plan.files.size() + plan.folders.size() + plan.skipped.size() > entries.size())
        fault("more judged entries than entries", "");
    for (const std::string& f : plan.files)
        if (!allowed(f, root, places)) fault("file outside the installation allowed", f);
    for (const std::string& f : plan.folders)
        if (!allowed(f, root, places)) fault("folder outside the installation allowed", f);
    const std::string script = removalScript(plan, "/nonexistent-fuzz/tmp/Kalvitrope1.1.sh", 1);
    std::size_t start = 0;
    while (start < script.size()) {
        const std::size_t end = script.find('\n', start);
        const std::string_view line(script.data() + start, end - start);
        start = end + 1;
        for (std::string_view command : {"rm -f -- ", "rmdir -- "}) {
            if (!line.starts_with(command)) continue;
            std::string_view word = line.substr(command.size());
            if (word.ends_with(" 2>/dev/null")) word.remove_suffix(12);
            const std::string path = unquote(word);
            if (!allowed(path, root, places) && path != "/nonexistent-fuzz/tmp/Kalvitrope1.1.sh")
                fault("script touches a path outside the installation", path);
        }
    }
    return 0;
}

#include "platform/registry_file.h"

#include <cstdlib>

#include "persistence/text.h"

namespace kv::platform {

std::string registryFilePath() {
    std::string base;
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) return {};
        base = std::string(home) + "/.local/share";
    }
    return base + "/Kalvitrope/registry.kvs";
}

std::string registryValue(std::string_view text, std::string_view valuePath) {
    return lookupKey(text, valuePath);
}

std::string readRegistryText(const std::string& path) {
    return path.empty() ? std::string() : readTextFile(path);
}

} // namespace kv::platform

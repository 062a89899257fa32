#pragma once
// The per-user registry file: key paths with values, kept in registry.kvs under
// $XDG_DATA_HOME/Kalvitrope (UTF-16 little-endian text, one "KEY\VALUE-NAME<tab>value" line per
// value). The installer records the installed copy here; start-up reads it. Any thread.
#include <string>
#include <string_view>

namespace kv::platform {

/// The registry file: $XDG_DATA_HOME/Kalvitrope/registry.kvs, with ~/.local/share when the
/// variable is unset or not absolute. Empty when no home folder is known.
std::string registryFilePath();

/// The string value `valuePath` ("SOFTWARE\Kalvitrope\Kalvitrope\1.1", key and value name joined
/// by "\") in the registry text `text` (decoded); empty when absent.
std::string registryValue(std::string_view text, std::string_view valuePath);

/// Reads the registry file (a missing file is an empty registry).
std::string readRegistryText(const std::string& path);

} // namespace kv::platform

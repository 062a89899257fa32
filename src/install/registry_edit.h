#pragma once
// Changing the per-user registry file (one "KEY\VALUE-NAME<tab>value" line per value, UTF-16
// little-endian with a byte-order mark and CR LF line ends). Lines this program does not know
// are kept as they are. Any thread; one writer at a time.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::install {

struct RegistryChange {
    /// Values to set: (value path, value). A value path that exists (names compare without
    /// regard to case) is replaced in place, others are appended.
    std::vector<std::pair<std::string, std::string>> set;
    /// Value paths to delete.
    std::vector<std::string> removeValues;
    /// Keys to delete with every value under them.
    std::vector<std::string> removeKeys;
};

/// The registry text after `change` (decoded text in, text with CR LF line ends out).
std::string changeRegistryText(std::string_view text, const RegistryChange& change);

/// Applies `change` to the file at `path`, creating it and its folder when missing; the file is
/// replaced only once the new content is complete. False with `reason` on failure.
bool changeRegistryFile(const std::string& path, const RegistryChange& change,
                        std::string* reason = nullptr);

} // namespace kv::install

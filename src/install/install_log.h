#pragma once
// The installation log: "Install_Log.txt" in the installation folder lists every file and folder
// an installation made, so that removal deletes exactly those. UTF-16 little-endian; a byte-order
// mark when the file is created; every entry is appended as CR LF followed by a full path. A path
// that ends with "/" is a folder. Entries are only ever appended. Any thread.
#include <string>
#include <string_view>
#include <vector>

namespace kv::install {

/// The log's file name inside the installation folder.
inline constexpr std::string_view kInstallLogName = "Install_Log.txt";

/// Appends `entry` to the log at `logPath` (created with its mark when missing). A log that is
/// a symbolic link or not a regular file is refused. False with `reason` on failure.
bool appendToLog(const std::string& logPath, std::string_view entry, std::string* reason = nullptr);

/// The entries of log bytes: the first two bytes (the mark) are skipped, the rest is read as
/// UTF-16 little-endian text in lines (CR and LF both end a line; empty lines are skipped).
/// Malformed text becomes U+FFFD; an odd last byte is dropped.
std::vector<std::string> readLogEntries(std::string_view bytes);

/// Largest log the remover reads, in bytes (a larger file is read as far as this).
inline constexpr std::size_t kMaxLogSize = 4u * 1024u * 1024u;

/// Reads the log file at `logPath`; `found` tells whether it could be opened.
std::vector<std::string> readLogFile(const std::string& logPath, bool* found = nullptr);

} // namespace kv::install

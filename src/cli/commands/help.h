#pragma once
// The help texts of kalvitrope-cli: the program's usage and version, the options every command
// takes and each command's usage and options.
#include <string>
#include <string_view>

namespace kv::cli {

extern const char* const kVersion;
/// The usage lines before the list of commands, and after it.
extern const char* const kUsageHead;
extern const char* const kUsageTail;
/// The options every command takes (--language, --settings).
extern const char* const kCommonOptions;

/// The usage and options of command `name` (the text of "kalvitrope-cli NAME --help"), with or
/// without the options every command takes; empty for an unknown command.
std::string commandHelp(std::string_view name, bool withCommonOptions = true);

} // namespace kv::cli

#pragma once
// The integrity check of the program file: the program refuses to run from a damaged copy.
#include <string>

namespace kv::app {

/// Checks that the ELF file at `path` is readable, that its header is a valid ELF header and that
/// the file is at least as long as its section-header table says. False with `reason` (one
/// sentence) otherwise. Any thread.
bool checkProgramFile(const std::string& path, std::string& reason);

/// The running program's own file (/proc/self/exe resolved); empty when it cannot be found.
std::string ownProgramPath();

} // namespace kv::app

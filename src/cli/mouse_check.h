#pragma once
// `kalvitrope-cli mouse-check`: what a user runs when the instrument does not react to the mouse.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::cli {

/// The command's usage line and help text (its options).
extern const char* const kMouseCheckUsage;
extern const char* const kMouseCheckHelp;

/// Runs mouse-check with the arguments after the command name. `setting` is the
/// Preferences.MouseBackend value of --settings ("auto" without it); --backend overrides it.
/// Prints through `out`; returns the exit code, with `error` for a usage error (code 2).
int mouseCheck(const std::vector<std::string>& args, std::string_view setting,
               const std::function<void(std::string_view)>& out, std::string& error);

} // namespace kv::cli

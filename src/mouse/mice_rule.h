#pragma once
// The udev rule that lets the active local session read mice and touchpads (never keyboards), and
// the commands that install and remove it with the administrator's consent. One place for the
// rule's name and text: the program, its removal, the package and the README say the same.
#include <string>
#include <vector>

namespace kv {

/// Where the rule is installed. Its name sorts after the rules that mark mice and touchpads
/// (60-input-id) and before the seat rules that apply `uaccess` (73-seat-late).
inline constexpr const char* kMiceRulePath = "/etc/udev/rules.d/61-kalvitrope-mice.rules";

/// The rule file's text.
std::string miceRuleText();

/// The command that installs the rule from `ruleFile` (a file holding miceRuleText()), reloads
/// udev, re-announces the mice and touchpads so that the session gains access at once, and waits
/// for udev to finish: pkexec, then a fixed shell script with the file as its argument.
std::vector<std::string> allowMiceCommand(const std::string& ruleFile);

/// The command that removes the rule again (access already given lasts until the device is
/// plugged in again or the computer restarts).
std::vector<std::string> removeMiceRuleCommand();

/// The same installation as one shell line for a terminal (for users without pkexec).
std::string allowMiceShellLine();

} // namespace kv

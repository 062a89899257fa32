#include "mouse/mice_rule.h"

namespace kv {

namespace {

// Re-announces the input devices udev marks as mice or touchpads (each match its own run: several
// property matches of one run would have to hold together on some systems).
constexpr const char* kRetrigger =
    "udevadm control --reload && "
    "udevadm trigger --action=change --subsystem-match=input --property-match=ID_INPUT_MOUSE=1 "
    "&& udevadm trigger --action=change --subsystem-match=input "
    "--property-match=ID_INPUT_TOUCHPAD=1 && udevadm settle --timeout=10";

} // namespace

std::string miceRuleText() {
    return "# Kalvitrope: the active local session may read mice and touchpads, so that the\n"
           "# instrument hears the mouse over every application on a Wayland desktop.\n"
           "# Keyboards (and mice that also report as keyboards) are never included.\n"
           "ACTION!=\"remove\", SUBSYSTEM==\"input\", KERNEL==\"event*\", "
           "ENV{ID_INPUT_MOUSE}==\"1\", ENV{ID_INPUT_KEYBOARD}!=\"1\", TAG+=\"uaccess\"\n"
           "ACTION!=\"remove\", SUBSYSTEM==\"input\", KERNEL==\"event*\", "
           "ENV{ID_INPUT_TOUCHPAD}==\"1\", ENV{ID_INPUT_KEYBOARD}!=\"1\", TAG+=\"uaccess\"\n";
}

std::vector<std::string> allowMiceCommand(const std::string& ruleFile) {
    return {"pkexec", "/bin/sh",
            "-c",     std::string("install -m 0644 \"$1\" ") + kMiceRulePath + " && " + kRetrigger,
            "sh",     ruleFile};
}

std::vector<std::string> removeMiceRuleCommand() {
    return {"pkexec", "/bin/sh", "-c", std::string("rm -f ") + kMiceRulePath + " && " + kRetrigger};
}

std::string allowMiceShellLine() {
    // printf keeps the rule's quotes as they are; the rule holds no single quote or percent sign.
    std::string text = miceRuleText();
    std::string escaped;
    for (char c : text)
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return std::string("printf '") + escaped + "' | sudo tee " + kMiceRulePath +
           " >/dev/null && sudo sh -c '" + kRetrigger + "'";
}

} // namespace kv

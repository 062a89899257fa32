// kalvitrope-cli mouse-check: how the desktop's mouse is heard, then its values live.
#include <vector>

#include "cli/commands/command_line.h"
#include "cli/commands/commands.h"
#include "cli/mouse_check.h"

namespace kv::cli {

int mouseCheckCommand(int argc, char** argv) {
    std::string error;
    const Settings* settings = commandSettings();
    const int code = mouseCheck(std::vector<std::string>(argv + 2, argv + argc),
                                settings ? settings->mouseBackend : "auto", writeOut, error);
    if (code == kExitUsage) complainUsage("mouse-check", error);
    return code;
}

} // namespace kv::cli

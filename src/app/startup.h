#pragma once
// Start-up of the desktop program: language, settings, command line, the help, installation and
// removal decisions, the integrity check, and the main window's run. User-interface thread.
#include <string>
#include <vector>

namespace kv::app {

/// The one line printed when no X11 display can be opened.
inline constexpr const char* kNoDisplayMessage =
    "kalvitrope needs an X11 display (on Wayland it runs through XWayland); for headless use, "
    "run kalvitrope-cli.";

/// Whether an X11 display can be opened (DISPLAY set and the server answers).
bool x11DisplayAvailable();

/// `--help` and `--version` answered on the standard output, before any display is needed:
/// the text to print, or empty when neither was asked. `args`: the arguments after the
/// program name.
std::string consoleAnswer(const std::vector<std::string>& args);

/// The whole run after the application object exists; returns the process's exit code.
/// `args`: the arguments after the program name.
int runProgram(const std::vector<std::string>& args);

} // namespace kv::app

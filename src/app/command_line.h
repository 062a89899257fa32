#pragma once
// The program's command line: options compared without regard to case, each with or without a
// leading "-". An option that takes a value reads the next argument without consuming it (that
// argument is still compared with the option names and, matching none, ignored). Unknown
// arguments are ignored. Pure; called once at start-up on the user-interface thread.
#include <span>
#include <string>

namespace kv::app {

struct StartupFlags {
    bool install = false; // DoInstall
    bool skipInstallPrompt = false;
    bool removeRequest = false; // RemoveIt
    bool removeNow = false;     // DoRemove
    bool help = false;          // DoHelp, Help
    bool autoStartOnly = false; // AutoStartOnly
    bool autoStartAndHide = false;
    bool wrapMouseGiven = false; // WrapMouse named
    bool wrapMouse = false;      // its value (on when the value is missing)
    bool makeNoSoundGiven = false;
    bool makeNoSound = false;
    /// Debug: the sound libraries' own messages on the standard error stream (kept off it
    /// otherwise).
    bool debug = false;
    /// Language: -1 none named (or a code that matches no language), 0..15 a built-in code,
    /// 1000 a strings file (languageFile, as given).
    int language = -1;
    std::string languageFile;
    /// SettingsFolderPath value (more than two characters), as given; empty when none.
    std::string settingsFolder;
};

/// Parses `args` (the arguments after the program name).
StartupFlags parseCommandLine(std::span<const std::string> args);

} // namespace kv::app

// kalvitrope-cli: renders, plays and probes patches without a user interface, converts patch
// files, and lists the built-in presets. Here: the table of commands and the dispatch.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "cli/commands/command_line.h"
#include "cli/commands/commands.h"
#include "cli/commands/help.h"
#include "persistence/language.h"

namespace {

using namespace kv::cli;

struct Command {
    const char* name;
    const char* summary; // its line in the program's usage
    int (*run)(int argc, char** argv);
};

const Command kCommands[] = {
    {"render", "render a patch faster than real time into a WAV file (no sound card)",
     renderCommand},
    {"play", "play a patch in real time on a sound card", playCommand},
    {"probe", "print control rows sample by sample as CSV", probeCommand},
    {"kvc", "load a patch file into modules and write it back", kvcCommand},
    {"presets", "list the built-in presets: resource number, name and submenu", presetsCommand},
    {"mouse-check", "say how the desktop's mouse is heard, then its values live",
     mouseCheckCommand},
};

const Command* findCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

// The program's usage: the commands with their summaries, then the options all of them take.
std::string usage() {
    std::string text = kUsageHead;
    for (const Command& c : kCommands) {
        const std::string name = c.name;
        text += "  " + name +
                std::string(std::max<std::size_t>(7, name.size()) - name.size(), ' ') + "  " +
                c.summary + "\n";
    }
    return text + kUsageTail + kCommonOptions;
}

int usageError() {
    std::fputs(usage().c_str(), stderr);
    return kExitUsage;
}

bool isHelp(const std::string& word) {
    return word == "help" || word == "--help" || word == "-h";
}

int runCommand(int argc, char** argv) {
    kv::languages().initLanguages({});
    std::string error;
    if (const int code = takeCommonOptions(argc, argv, error)) {
        complain(error);
        return code;
    }
    if (argc < 2) return usageError();
    const std::string command = argv[1];
    if (command == "--version" || command == "-V") {
        writeOut(kVersion);
        return 0;
    }
    const Command* found = findCommand(command);
    // "COMMAND --help" anywhere among the options, or "help COMMAND".
    if (found)
        for (int i = 2; i < argc; ++i)
            if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
                writeOut(commandHelp(command));
                return 0;
            }
    if (isHelp(command) && argc >= 3) {
        if (!findCommand(argv[2])) {
            complain(std::string("unknown command '") + argv[2] + "'");
            return usageError();
        }
        writeOut(commandHelp(argv[2]));
        return 0;
    }
    if (isHelp(command)) {
        std::string text = usage();
        for (const Command& c : kCommands)
            text += "\n" + commandHelp(c.name, false);
        writeOut(text);
        return 0;
    }
    if (!found) {
        complain("unknown command '" + command + "'");
        return usageError();
    }
    try {
        return found->run(argc, argv);
    } catch (const std::exception& e) {
        complain(std::string("failed: ") + e.what());
        return kExitFailure;
    }
}

} // namespace

int main(int argc, char** argv) {
    return checkedStandardOutput(runCommand(argc, argv));
}

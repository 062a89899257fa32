// kalvitrope-cli kvc: a patch file loaded into modules and written back.
#include "cli/commands/command_line.h"
#include "cli/commands/commands.h"
#include "modules/config_file.h"

namespace kv::cli {

int kvcCommand(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parseOptions("kvc", argc, argv, {{"out", false}}, 1, o, error)) {
        complainUsage("kvc", error);
        return kExitUsage;
    }
    if (o.positional.size() != 1 || !o.has("out")) {
        complainUsage("kvc", "kvc needs IN.kvc and --out OUT.kvc");
        return kExitUsage;
    }
    OfflineSession session;
    PatchSource source;
    source.file = o.positional.front();
    LoadReport report;
    if (!session.loadPatch(source, error, &report)) {
        complain(error);
        return kExitFailure;
    }
    if (report.created == 0) {
        complain("no modules found in '" + source.file + "'; nothing written");
        return kExitFailure;
    }
    warnLeftOut(report);
    const SaveResult saved = writeConfiguration(session.registry(), o.one("out"));
    if (!saved) {
        complain("cannot write '" + o.one("out") + "': " + saved.reason);
        return kExitFailure;
    }
    return 0;
}

} // namespace kv::cli

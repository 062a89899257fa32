// kalvitrope-cli probe: control rows sample by sample as CSV.
#include <cstdio>

#include "cli/commands/command_line.h"
#include "cli/commands/commands.h"

namespace kv::cli {

int probeCommand(int argc, char** argv) {
    Options o;
    std::string error;
    PatchSource source;
    long long samples = 0, every = 1;
    if (!parseOptions("probe", argc, argv,
                      {{"patch", false},
                       {"preset", false},
                       {"script", false},
                       {"samples", false},
                       {"every", false},
                       {"engine", false},
                       {"row", true}},
                      0, o, error) ||
        !patchSource(o, source, error) || !engineOption(o, error) ||
        !integerOption(o, "samples", 1, int64_t(1) << 36, samples, error) ||
        !integerOption(o, "every", 1, int64_t(1) << 36, every, error)) {
        complainUsage("probe", error);
        return kExitUsage;
    }
    if (!o.has("samples") || !o.has("row")) {
        complainUsage("probe", "probe needs --samples N and --row ROW...");
        return kExitUsage;
    }
    OfflineSession session;
    ScriptEvents script;
    if (!prepareSession(o, source, session, error, script) ||
        !session.useScript(std::move(script), error, static_cast<uint64_t>(samples))) {
        complain(error);
        return kExitFailure;
    }
    std::vector<int> rows;
    for (const std::string& r : o.values.at("row")) {
        const int row = resolveProbeRow(r, session.registry());
        if (row < 0) {
            complain("--row '" + r + "' names no row (a number 0..154 or a module name[@SUBTYPE])");
            return kExitFailure;
        }
        rows.push_back(row);
    }

    std::string out =
        "sample,row,voices,k,note,primary,primarySmoothed,velocity,velocitySmoothed\n";
    const ControlTable& table = session.state().table;
    const uint64_t n = static_cast<uint64_t>(samples), k = static_cast<uint64_t>(every);
    session.onSampleEvery = k;
    session.onSample = [&](uint64_t s) {
        if (s >= n || s % k != 0) return;
        char line[512];
        for (int row : rows) {
            const ControlRow& r = table.rows[row];
            const int voices = r.voiceCount;
            if (voices == 0) {
                std::snprintf(line, sizeof line, "%llu,%d,0,,,,,,\n",
                              static_cast<unsigned long long>(s), row);
                out += line;
            }
            for (int v = 0; v < voices && v < kVoices; ++v) {
                std::snprintf(line, sizeof line, "%llu,%d,%d,%d,%d,%.17g,%.17g,%.17g,%.17g\n",
                              static_cast<unsigned long long>(s), row, voices, v, r.noteId[v],
                              r.primary[v], r.primarySmoothed[v], r.velocity[v],
                              r.velocitySmoothed[v]);
                out += line;
            }
        }
        if (out.size() > (1u << 20)) {
            writeOut(out);
            out.clear();
        }
    };
    session.run([&] { return session.engine().sampleCounter() >= n; });
    writeOut(out);
    return 0; // standard output is checked on the way out
}

} // namespace kv::cli

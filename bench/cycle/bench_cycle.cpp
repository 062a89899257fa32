// kv_bench_cycle: engine cycle times of every built-in preset as a share of the 2 ms a cycle may
// take, measured on the headless tool's simulated clock (no sound card, one thread), while the
// preset is played: its check script from tests/data/presets, else a held MIDI chord and a
// circling cursor with clicks and wheel notches.
//
//   kv_bench_cycle [--seconds S] [--preset NAME]
//   kv_bench_cycle [--seconds S] --patch FILE [--script FILE]
//
// Prints one line per preset: cycles run, p50, p99 and the longest cycle in microseconds and in
// percent of 2000 µs. The first cycle (patch start-up) is left out of the percentiles and shown
// on its own. With --patch, the one patch file is measured instead, played with its script or
// with the general gesture.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli/session.h"
#include "instrument/patch_loading.h"
#include "instrument/script.h"
#include "modules/presets.h"
#include "persistence/settings.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kBudgetUs = 2000.0;

struct Figures {
    double first = 0, p50 = 0, p99 = 0, max = 0;
    std::size_t cycles = 0;
};

double percentile(std::vector<double>& sorted, double q) {
    const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1));
    return sorted[i];
}

// The gesture for a preset without a check script of its own: a held chord on MIDI input 0 and
// a cursor circling with clicks and wheel notches, so that every kind of preset sounds.
std::string generalGesture() {
    std::ostringstream s;
    s << "100ms midi 0 90 30 64\n100ms midi 0 90 34 64\n100ms midi 0 90 37 64\n";
    for (int i = 0; i < 750; ++i) {
        const double a = 2 * 3.14159265358979 * i * 40 / 2000.0;
        s << i * 40 << "ms cursor " << 960 + std::lround(150 * std::cos(a)) << ' '
          << 540 + std::lround(150 * std::sin(a)) << '\n';
        if (i % 50 == 25)
            s << i * 40 << "ms button left down\n"
              << i * 40 + 200 << "ms button left up\n"
              << i * 40 + 20 << "ms wheel vertical 120\n";
    }
    return s.str();
}

// The preset's check script from the source tree, else the general gesture.
// `scriptFile`, when given, is read instead of the preset's check script.
bool useGesture(kv::cli::OfflineSession& session, int resource, const std::string& scriptFile,
                std::string& error) {
    const std::string folder = std::string(KV_SOURCE_DIR) + "/tests/data/presets";
    std::string text = generalGesture();
    std::ifstream in(scriptFile.empty() ? folder + "/preset_" + std::to_string(resource) + ".script"
                                        : scriptFile);
    if (in) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else if (!scriptFile.empty()) {
        error = "cannot read " + scriptFile;
        return false;
    }
    kv::Script script;
    if (!kv::parseScript(text, script, error)) return false;
    kv::findSoundFilesBeside(script, folder);
    if (session.useScript(script, error)) return true;
    // A script whose recording is not there (the voice the microphone presets hear is not in
    // the tree): the general gesture stands in.
    std::fprintf(stderr, "preset %d: %s; played with the general gesture\n", resource,
                 error.c_str());
    script = {};
    return kv::parseScript(generalGesture(), script, error) && session.useScript(script, error);
}

// Plays `source` (a patch file or a preset, `resource` naming the preset's check script).
bool measure(const kv::PatchSource& source, int resource, const std::string& scriptFile, int cycles,
             bool blocks, Figures& f, std::string& error) {
    kv::cli::OfflineSession session;
    session.engine().setBlockEvaluation(blocks);
    session.onMessage = [](const std::string&) {};
    if (!session.loadPatch(source, error)) return false;
    if (!useGesture(session, resource, scriptFile, error)) return false;
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(cycles) + 1);
    Clock::time_point last{};
    bool started = false;
    session.run([&] {
        const Clock::time_point now = Clock::now();
        if (started) us.push_back(std::chrono::duration<double, std::micro>(now - last).count());
        started = true;
        last = Clock::now(); // the bookkeeping above is not the cycle's
        return static_cast<int>(us.size()) > cycles;
    });
    if (us.size() < 2) {
        error = "no cycle ran";
        return false;
    }
    f.first = us.front();
    std::vector<double> rest(us.begin() + 1, us.end());
    std::sort(rest.begin(), rest.end());
    f.cycles = rest.size();
    f.p50 = percentile(rest, 0.50);
    f.p99 = percentile(rest, 0.99);
    f.max = rest.back();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    static const char* const usage =
        "usage: kv_bench_cycle [--seconds S] [--engine E] [--preset NAME]\n"
        "       kv_bench_cycle [--seconds S] [--engine E] --patch FILE [--script FILE]\n";
    double seconds = 5.0;
    std::string only, patchFile, scriptFile;
    bool blocks = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf(
                "%s\n"
                "Plays built-in presets (each with its check script, or a held chord and a\n"
                "circling cursor) or one patch on a simulated clock and prints the p50, p99\n"
                "and longest engine cycle, in microseconds and as a share of the 2 ms a cycle\n"
                "may take.\n\n"
                "  --seconds S    how long each patch plays, 0 < S <= 3600 (default 5)\n"
                "  --preset NAME  only this preset (resource number or name)\n"
                "  --patch FILE   a patch file (.kvc) instead of the presets\n"
                "  --script FILE  timed events for that patch (as kalvitrope-cli render takes)\n"
                "  --engine E     block (default) or reference, as kalvitrope-cli render takes\n"
                "  --version      the program's version\n",
                usage);
            return 0;
        }
        if (a == "--version") {
            std::printf("kv_bench_cycle (Kalvitrope v%s)\n",
                        std::string(kv::kSettingsProgramVersion).c_str());
            return 0;
        }
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--preset" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--patch" && i + 1 < argc) {
            patchFile = argv[++i];
        } else if (a == "--script" && i + 1 < argc) {
            scriptFile = argv[++i];
        } else if (a == "--engine" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "block" ||
                    std::string(argv[i + 1]) == "reference")) {
            blocks = std::string(argv[++i]) == "block";
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (!(seconds > 0 && seconds <= 3600)) {
        std::fprintf(stderr, "kv_bench_cycle: --seconds takes 0 < S <= 3600\n");
        return 2;
    }
    const int cycles = static_cast<int>(seconds * 500.0);
    const kv::PresetInfo* wanted = only.empty() ? nullptr : kv::findPreset(only);
    if (!only.empty() && !wanted) {
        std::fprintf(stderr, "kv_bench_cycle: no preset '%s'\n", only.c_str());
        return 2;
    }

    std::printf("%-8s %-32s %7s %9s %9s %9s %9s %7s %7s %7s\n", "preset", "name", "cycles",
                "first_us", "p50_us", "p99_us", "max_us", "p50_%", "p99_%", "max_%");
    const auto print = [](int resource, const char* name, const Figures& f) {
        std::printf("%-8d %-32.32s %7zu %9.1f %9.1f %9.1f %9.1f %7.2f %7.2f %7.2f\n", resource,
                    name, f.cycles, f.first, f.p50, f.p99, f.max, 100 * f.p50 / kBudgetUs,
                    100 * f.p99 / kBudgetUs, 100 * f.max / kBudgetUs);
        std::fflush(stdout);
    };
    if (!patchFile.empty()) {
        Figures f;
        std::string error;
        if (!measure({patchFile, ""}, 0, scriptFile, cycles, blocks, f, error)) {
            std::fprintf(stderr, "%s: %s\n", patchFile.c_str(), error.c_str());
            return 1;
        }
        print(0, patchFile.c_str(), f);
        return 0;
    }
    int failures = 0;
    for (const kv::PresetInfo& p : kv::presetTable()) {
        if (wanted && wanted != &p) continue;
        if (!kv::presetAvailable(p)) continue;
        Figures f;
        std::string error;
        if (!measure({"", std::to_string(p.resource)}, p.resource, "", cycles, blocks, f, error)) {
            std::fprintf(stderr, "preset %d (%s): %s\n", p.resource, p.name, error.c_str());
            ++failures;
            continue;
        }
        print(p.resource, p.name, f);
    }
    return failures ? 1 : 0;
}

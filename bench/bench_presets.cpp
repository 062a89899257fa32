// Cost of one engine cycle for every built-in preset while it is played: the preset's check script
// from tests/data/presets when there is one, else a mouse circle with clicks and wheel notches and
// a held MIDI chord. Reports the median and the 99th percentile of the cycle time as a share of
// the 2 ms that a cycle may take (counters p50_budget_pct and p99_budget_pct). Cycles are timed
// on the thread's own CPU clock, so other programs on a busy machine do not count.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/script.h"
#include "cli/session.h"
#include "persistence/presets.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

// 30 s of play: 15000 cycles of 2 ms.
constexpr int kCycles = 15000;
constexpr double kBudgetNs = 2e6;

// CPU time of the calling thread, in nanoseconds.
double threadNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// The gesture for a preset without a script of its own.
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

// Loads the preset and its gesture into `session`; false with a reason in `error`.
bool prepare(cli::OfflineSession& session, int resource, std::string& error) {
    if (!session.loadPatch({.file = {}, .preset = std::to_string(resource)}, error)) return false;
    const fs::path folder = fs::path(KV_SOURCE_DIR) / "tests/data/presets";
    const fs::path own = folder / presetFileName(resource);
    std::string text = generalGesture();
    std::ifstream in(fs::path(own).replace_extension(".script"));
    if (in) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    cli::Script script;
    if (!cli::parseScript(text, script, error)) return false;
    // Sound files named in a script lie beside it.
    const fs::path here = fs::current_path();
    fs::current_path(folder);
    const bool ok = session.useScript(script, error);
    fs::current_path(here);
    return ok;
}

void BM_CyclePreset(benchmark::State& st, int resource) {
    cli::OfflineSession session;
    session.onMessage = [](const std::string&) {};
    std::string error;
    if (!prepare(session, resource, error)) {
        st.SkipWithError(error.c_str());
        return;
    }
    std::vector<double> ns;
    ns.reserve(kCycles);
    for (auto _ : st) {
        bool ran = false;
        const double start = threadNs();
        session.run([&] { return std::exchange(ran, true); });
        ns.push_back(threadNs() - start);
    }
    std::sort(ns.begin(), ns.end());
    auto share = [&](double q) {
        return ns[std::min(ns.size() - 1, size_t(q * ns.size()))] / kBudgetNs * 100;
    };
    st.counters["p50_budget_pct"] = share(0.50);
    st.counters["p99_budget_pct"] = share(0.99);
}

const int registered = [] {
    for (const PresetInfo& p : presetTable())
        if (presetAvailable(p))
            benchmark::RegisterBenchmark(("BM_CyclePreset/" + std::to_string(p.resource)).c_str(),
                                         BM_CyclePreset, p.resource)
                ->Iterations(kCycles)
                ->Unit(benchmark::kMicrosecond);
    return 0;
}();

} // namespace
} // namespace kv

// kv_bench_cycle: engine cycle times of every built-in preset as a share of the 2 ms a cycle may
// take, measured on the headless tool's simulated clock (no sound card, one thread).
//
//   kv_bench_cycle [--seconds S] [--preset NAME]
//
// Prints one line per preset: cycles run, p50, p99 and the longest cycle in microseconds and in
// percent of 2000 µs. The first cycle (patch start-up) is left out of the percentiles and shown
// on its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/session.h"
#include "persistence/presets.h"

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

bool measure(const kv::PresetInfo& preset, int cycles, Figures& f, std::string& error) {
    kv::cli::OfflineSession session;
    session.onMessage = [](const std::string&) {};
    if (!session.loadPatch({"", std::to_string(preset.resource)}, error)) return false;
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
    double seconds = 5.0;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--preset" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: kv_bench_cycle [--seconds S] [--preset NAME]\n");
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
    int failures = 0;
    for (const kv::PresetInfo& p : kv::presetTable()) {
        if (wanted && wanted != &p) continue;
        if (!kv::presetAvailable(p)) continue;
        Figures f;
        std::string error;
        if (!measure(p, cycles, f, error)) {
            std::fprintf(stderr, "preset %d (%s): %s\n", p.resource, p.name, error.c_str());
            ++failures;
            continue;
        }
        std::printf("%-8d %-32.32s %7zu %9.1f %9.1f %9.1f %9.1f %7.2f %7.2f %7.2f\n", p.resource,
                    p.name, f.cycles, f.first, f.p50, f.p99, f.max, 100 * f.p50 / kBudgetUs,
                    100 * f.p99 / kBudgetUs, 100 * f.max / kBudgetUs);
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}

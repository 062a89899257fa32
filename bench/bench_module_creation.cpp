// Cost of creating and removing one module of each of the 35 types, working storage included.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include "engine/engine.h"
#include "modules/catalogue.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

void BM_CreateOneModuleOfEachType(benchmark::State& st) {
    // Large blocks come fresh from the system every time, as for a module created long after the
    // last one was removed, instead of the heap recycling the previous iteration's pages.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    for (auto _ : st) {
        for (int type = 0; type < kTypeCount; ++type)
            benchmark::DoNotOptimize(registry.addModule(type));
        registry.clearAll();
    }
}
BENCHMARK(BM_CreateOneModuleOfEachType)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace kv

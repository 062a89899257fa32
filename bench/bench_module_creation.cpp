// Cost of creating and removing one module of each of the 35 types, working storage included.
#include <benchmark/benchmark.h>

#include "engine/engine.h"
#include "modules/catalogue.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

void BM_CreateOneModuleOfEachType(benchmark::State& st) {
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

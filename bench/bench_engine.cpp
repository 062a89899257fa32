// Cost of one engine cycle: empty, with 128 idle modules, and with oscillators.
#include <benchmark/benchmark.h>

#include "engine/engine.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

// An output stage that only sums, so the engine's own cost is measured.
class SinkOutput final : public OutputStage {
  public:
    void engineStarted() override {}
    void startCycle(int8_t) override {}
    void addToBus(int, int, double v) override { sum += v; }
    void beginCycleAndFlush(EngineState&) override {}
    bool readBack(int, SampleChunk&) override { return false; }
    void endCycle() override {}
    void closeAll() override {}
    double sum = 0;
};

void runCycles(benchmark::State& st, Engine& engine) {
    engine.beginOffline();
    for (auto _ : st)
        benchmark::DoNotOptimize(engine.runCycle(nullptr));
}

void BM_CycleEmpty(benchmark::State& st) {
    EngineState state;
    SinkOutput out;
    Engine engine{state, &out};
    ModuleRegistry registry{&engine};
    runCycles(st, engine);
}
BENCHMARK(BM_CycleEmpty);

// 128 registered control modules whose type has nothing to do at this point.
void BM_Cycle128IdleModules(benchmark::State& st) {
    EngineState state;
    SinkOutput out;
    Engine engine{state, &out};
    ModuleRegistry registry{&engine};
    for (int i = 0; i < 128; ++i)
        registry.addModule(Module_ControlGain);
    runCycles(st, engine);
}
BENCHMARK(BM_Cycle128IdleModules);

// One oscillator at 440 Hz on the default device.
void BM_CycleOneOscillator(benchmark::State& st) {
    EngineState state;
    SinkOutput out;
    Engine engine{state, &out};
    ModuleRegistry registry{&engine};
    registry.addModule(Module_AudioOsc);
    runCycles(st, engine);
}
BENCHMARK(BM_CycleOneOscillator);

} // namespace
} // namespace kv

namespace kv {
namespace {
// The same without control samples: the per-sample part alone.
void BM_Cycle128IdleModulesNoControlRate(benchmark::State& st) {
    EngineState state;
    SinkOutput out;
    Engine engine{state, &out};
    ModuleRegistry registry{&engine};
    for (int i = 0; i < 128; ++i)
        registry.addModule(Module_ControlGain);
    state.settings.controlRate = 0;
    runCycles(st, engine);
}
BENCHMARK(BM_Cycle128IdleModulesNoControlRate);
} // namespace
} // namespace kv

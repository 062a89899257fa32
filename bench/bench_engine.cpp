// Cost of one engine cycle: empty, with 128 idle modules, and with an oscillator.
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

// Runs cycles of an engine holding `count` modules of `type` at control rate `rate`.
void runCycles(benchmark::State& st, int type, int count, double rate = 4000.0) {
    EngineState state;
    SinkOutput out;
    Engine engine{state, &out};
    ModuleRegistry registry{&engine};
    for (int i = 0; i < count; ++i)
        registry.addModule(type);
    state.settings.controlRate = rate;
    engine.beginOffline();
    for (auto _ : st)
        benchmark::DoNotOptimize(engine.runCycle(nullptr));
}

void BM_CycleEmpty(benchmark::State& st) {
    runCycles(st, Module_ControlGain, 0);
}
BENCHMARK(BM_CycleEmpty);

// 128 registered control modules whose type has nothing to evaluate.
void BM_Cycle128IdleModules(benchmark::State& st) {
    runCycles(st, Module_ControlGain, 128);
}
BENCHMARK(BM_Cycle128IdleModules);

// The same without control samples: the per-sample part alone.
void BM_Cycle128IdleModulesNoControlRate(benchmark::State& st) {
    runCycles(st, Module_ControlGain, 128, 0.0);
}
BENCHMARK(BM_Cycle128IdleModulesNoControlRate);

// One oscillator at 440 Hz on the default device.
void BM_CycleOneOscillator(benchmark::State& st) {
    runCycles(st, Module_AudioOsc, 1);
}
BENCHMARK(BM_CycleOneOscillator);

} // namespace
} // namespace kv

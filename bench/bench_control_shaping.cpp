// Cost of the control-input and control-shaping modules inside the engine cycle: one module of
// each type, fed with 16 voices, at the default control rate.
#include <benchmark/benchmark.h>

#include <cmath>

#include "engine/engine.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

constexpr int kFeedVoices = 16;

// Writes 16 slowly moving voices into its row at every control sample.
void feedVoices(Module& m, EngineContext& ctx) {
    ControlRow& row = ctx.table.rows[m.outputRow];
    row.voiceCount = kFeedVoices;
    const double t = static_cast<double>(ctx.controlSampleCounter) / 4000.0;
    for (int k = 0; k < kFeedVoices; ++k) {
        row.noteId[k] = static_cast<uint8_t>(60 + k);
        row.primary[k] = 500.0 * std::sin(t + k);
        row.velocity[k] = 64.0 + 63.0 * std::cos(t * 3 + k);
    }
}

void runShaping(benchmark::State& st, bool withModules) {
    EngineState state;
    Engine engine{state};
    Evaluators evaluators = moduleEvaluators();
    evaluators.control[Module_ControlNoteEnvelope] = &feedVoices; // the scripted feeder
    engine.setEvaluators(evaluators);
    ModuleRegistry registry{&engine};
    const Module* feed = registry.addModule(Module_ControlNoteEnvelope);
    if (withModules) {
        for (int type : {Module_ControlInput, Module_ControlSensitiser, Module_ControlModulator,
                         Module_ControlRange, Module_ControlOffset, Module_ControlGain}) {
            Module* m = registry.addModule(type);
            m->inputSliders[0].source = feed->outputRow;
            m->inputSliders[0].sensitivity = 100;
        }
        Module* echo = registry.addModule(Module_ControlEcho);
        echo->controlInputs[0].source = feed->outputRow;
        echo->inputSliders[0].source = kSourceManual; // 250 ms
        echo->inputSliders[1].source = kSourceManual; // 75 %
        Module* combine = registry.addModule(Module_ControlCombine);
        combine->controlInputs[0].source = feed->outputRow;
        combine->controlInputs[1].source = feed->outputRow;
    }
    engine.beginOffline();
    for (auto _ : st)
        benchmark::DoNotOptimize(engine.runCycle(nullptr));
    st.counters["ns_per_sample"] = benchmark::Counter(
        static_cast<double>(kBaseChunk),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The feeder alone: the engine's own cost for these rows.
void BM_ControlShapingBaseline(benchmark::State& st) {
    runShaping(st, false);
}
BENCHMARK(BM_ControlShapingBaseline);

// One control input, sensitiser, modulator, echo, combine, range, offset and gain on 16 voices.
void BM_ControlShapingAllTypes16Voices(benchmark::State& st) {
    runShaping(st, true);
}
BENCHMARK(BM_ControlShapingAllTypes16Voices);

} // namespace
} // namespace kv

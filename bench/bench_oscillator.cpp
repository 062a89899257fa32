// The oscillator's cost per voice-sample, and one engine cycle with a 128-voice oscillator.
#include <benchmark/benchmark.h>

#include "engine/oscillator.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

// A registry with an oscillator fed by a control row of `voices` notes.
struct OscRig {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    Module* osc;
    Module* source;

    explicit OscRig(int voices) {
        source = registry.addModule(Module_ControlGain); // has no evaluation yet: a fixed row
        osc = registry.addModule(Module_AudioOsc);
        ControlRow& row = state.table.rows[source->outputRow];
        row.voiceCount = static_cast<uint8_t>(voices);
        for (int k = 0; k < voices; ++k) {
            row.noteId[k] = static_cast<uint8_t>(k);
            row.primary[k] = row.primarySmoothed[k] = 110.0 + 7.0 * k;
            row.velocity[k] = row.velocitySmoothed[k] = 100.0;
        }
        osc->frequencies[0].source = source->outputRow;
        osc->inputSliders[1].manual = 10; // some jitter, as patches use
    }
};

void BM_OscillatorPerVoiceSample(benchmark::State& st) {
    const int voices = static_cast<int>(st.range(0));
    OscRig rig(voices);
    EngineContext ctx{rig.state, rig.state.table, rig.state.rand, rig.registry.currentView()};
    for (auto _ : st)
        evaluateOscillator(*rig.osc, ctx);
    st.SetItemsProcessed(st.iterations() * voices); // items = voice-samples
}
BENCHMARK(BM_OscillatorPerVoiceSample)->Arg(1)->Arg(16)->Arg(128);

void BM_CycleOscillator128Voices(benchmark::State& st) {
    OscRig rig(128);
    rig.engine.beginOffline();
    for (auto _ : st)
        benchmark::DoNotOptimize(rig.engine.runCycle(nullptr));
}
BENCHMARK(BM_CycleOscillator128Voices);

} // namespace
} // namespace kv

// Cost of the audio modules: one engine cycle (96 samples) with a 440 Hz oscillator feeding one
// module of each type (subtract BM_CycleOneOscillator for the module's share), and each module
// evaluated alone per sample.
#include <benchmark/benchmark.h>

#include "engine/engine.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

class SinkOutput final : public OutputStage {
  public:
    void engineStarted() override {}
    void startCycle(int8_t) override {}
    void addToBus(int, int, double v) override { sum += v; }
    void beginCycleAndFlush(EngineState&) override {}
    bool readBack(int, SampleChunk& out) override {
        for (int i = 0; i < out.length(); ++i)
            out.samples[i] = 0.001 * (i % 50);
        return true;
    }
    void endCycle() override {}
    void closeAll() override {}
    double sum = 0;
};

void manual(InputSliderSlot& s, double v) {
    s.source = kSourceManual;
    s.manual = v;
}

// One cycle of an oscillator and one module of `type` reading it. `setup` adjusts the module.
template <class Setup> void runAudioCycles(benchmark::State& st, int type, Setup setup) {
    EngineState state;
    SinkOutput out;
    Engine engine{state, &out};
    ModuleRegistry registry{&engine};
    Module* osc = registry.addModule(Module_AudioOsc);
    osc->frequencies[0].source = kSourceManual;
    Module* m = registry.addModule(type);
    if (m->controlInputs[0].def) m->controlInputs[0].source = osc->outputRow;
    if (type == Module_AudioInputCombine) m->controlInputs[1].source = osc->outputRow;
    setup(*m, osc->outputRow);
    engine.beginOffline();
    long samples = 0;
    for (auto _ : st)
        samples += engine.runCycle(nullptr);
    st.SetItemsProcessed(samples); // items = samples
}

void BM_AudioCycle(benchmark::State& st, int type) {
    runAudioCycles(st, type, [](Module&, int) {});
}

BENCHMARK_CAPTURE(BM_AudioCycle, Echo, int{Module_AudioEcho});
BENCHMARK_CAPTURE(BM_AudioCycle, MultiDelay, int{Module_AudioMultiDelay});
BENCHMARK_CAPTURE(BM_AudioCycle, PitchShift200, int{Module_AudioPitchShift});
BENCHMARK_CAPTURE(BM_AudioCycle, Distortion, int{Module_AudioDistortion});
BENCHMARK_CAPTURE(BM_AudioCycle, LowPass100, int{Module_AudioLowPass});
BENCHMARK_CAPTURE(BM_AudioCycle, HighPass0, int{Module_AudioHighPass}); // 2400-sample window
BENCHMARK_CAPTURE(BM_AudioCycle, StepFunction, int{Module_AudioStepFunction});
BENCHMARK_CAPTURE(BM_AudioCycle, OutputSplit, int{Module_AudioOutputSplit});
BENCHMARK_CAPTURE(BM_AudioCycle, InputCombine, int{Module_AudioInputCombine});
BENCHMARK_CAPTURE(BM_AudioCycle, AudioOutput, int{Module_AudioOutput});

void BM_AudioCycleLowPassWidest(benchmark::State& st) {
    runAudioCycles(st, Module_AudioLowPass, [](Module& m, int) { manual(m.inputSliders[0], 0); });
}
BENCHMARK(BM_AudioCycleLowPassWidest);

void BM_AudioCyclePitchShiftDown(benchmark::State& st) {
    runAudioCycles(st, Module_AudioPitchShift,
                   [](Module& m, int) { manual(m.inputSliders[0], 50); });
}
BENCHMARK(BM_AudioCyclePitchShiftDown);

void BM_AudioCycleDistortionNoisy(benchmark::State& st) {
    runAudioCycles(st, Module_AudioDistortion, [](Module& m, int) {
        manual(m.inputSliders[1], -40); // soft and hard compression
        manual(m.inputSliders[2], 0);
        manual(m.inputSliders[3], 30); // noise with moving walks
        manual(m.inputSliders[4], 50);
    });
}
BENCHMARK(BM_AudioCycleDistortionNoisy);

// One module evaluated alone on a moving input (items = samples): the module's own cost.
void BM_AudioModulePerSample(benchmark::State& st, int type) {
    EngineState state;
    ModuleRegistry registry;
    EngineView view;
    Module* source = registry.addModule(Module_ControlGain);
    Module* m = registry.addModule(type);
    state.table.registerRow(source->outputRow, 1, 127);
    state.table.registerRow(m->outputRow, 1, 127);
    if (m->secondOutputRow >= 0) state.table.registerRow(m->secondOutputRow, 1, 127);
    m->controlInputs[0].source = source->outputRow;
    if (type == Module_AudioInputCombine) m->controlInputs[1].source = source->outputRow;
    if (type == Module_AudioLowPass) manual(m->inputSliders[0], 0); // the widest window
    EngineContext ctx{state, state.table, state.rand, view};
    const EvaluateFn fn = moduleEvaluators().perSample[type];
    ControlRow& in = state.table.rows[source->outputRow];
    double x = 0;
    for (auto _ : st) {
        x = x > 900 ? -900 : x + 7.3;
        in.primarySmoothed[0] = x;
        fn(*m, ctx);
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK_CAPTURE(BM_AudioModulePerSample, Echo, int{Module_AudioEcho});
BENCHMARK_CAPTURE(BM_AudioModulePerSample, MultiDelay, int{Module_AudioMultiDelay});
BENCHMARK_CAPTURE(BM_AudioModulePerSample, PitchShift, int{Module_AudioPitchShift});
BENCHMARK_CAPTURE(BM_AudioModulePerSample, Distortion, int{Module_AudioDistortion});
BENCHMARK_CAPTURE(BM_AudioModulePerSample, LowPassWidest, int{Module_AudioLowPass});
BENCHMARK_CAPTURE(BM_AudioModulePerSample, HighPass, int{Module_AudioHighPass});
BENCHMARK_CAPTURE(BM_AudioModulePerSample, StepFunction, int{Module_AudioStepFunction});
BENCHMARK_CAPTURE(BM_AudioModulePerSample, OutputSplit, int{Module_AudioOutputSplit});
BENCHMARK_CAPTURE(BM_AudioModulePerSample, InputCombine, int{Module_AudioInputCombine});

// A muted pluck playing `voices` held notes of a control row, evaluated alone (items =
// voice-samples). The notes are long, so every voice sounds throughout.
void BM_MutedPluckPerVoiceSample(benchmark::State& st) {
    const int voices = static_cast<int>(st.range(0));
    EngineState state;
    ModuleRegistry registry;
    EngineView view;
    Module* notes = registry.addModule(Module_ControlGain);
    Module* pluck = registry.addModule(Module_AudioMutedPluck);
    state.table.registerRow(notes->outputRow, 1, 127);
    state.table.registerRow(pluck->outputRow, 1, 127);
    ControlRow& row = state.table.rows[notes->outputRow];
    row.voiceCount = static_cast<uint8_t>(voices);
    for (int k = 0; k < voices; ++k) {
        row.noteId[k] = static_cast<uint8_t>(k);
        row.primary[k] = row.primarySmoothed[k] = 110.0 + 7.0 * k;
        row.velocity[k] = row.velocitySmoothed[k] = 100.0;
    }
    pluck->inputSliders[0].source = notes->outputRow;
    manual(pluck->inputSliders[2], 100000); // 100 s notes
    EngineContext ctx{state, state.table, state.rand, view};
    const EvaluateFn fn = moduleEvaluators().perSample[Module_AudioMutedPluck];
    for (auto _ : st)
        fn(*pluck, ctx);
    st.SetItemsProcessed(st.iterations() * voices);
}
BENCHMARK(BM_MutedPluckPerVoiceSample)->Arg(1)->Arg(16)->Arg(128);

void BM_AudioCycleAnalyser(benchmark::State& st) {
    runAudioCycles(st, Module_AudioOutputAnalyser, [&](Module& m, int) {
        m.showState = 10;
        m.analysers[0].mode = static_cast<uint8_t>(st.range(0));
    });
}
BENCHMARK(BM_AudioCycleAnalyser)->Arg(0)->Arg(1); // spectrum, oscilloscope

} // namespace
} // namespace kv

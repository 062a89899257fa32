// Cost of the note, sequence, sensor and neuron modules through the engine cycle: one module of
// each type, the polyphonic ones following a sequence that holds 16 notes.
#include <benchmark/benchmark.h>

#include "engine/engine.h"
#include "engine/notes_sequence.h"
#include "modules/module_controls.h"
#include "modules/module_registry.h"

namespace kv {
namespace {

void BM_CycleNoteSequenceSensorNeuron(benchmark::State& st) {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    Module* seq = registry.addModule(Module_ControlSequence);
    const ControlSequenceControls c{*seq};
    c.bPM().source = kSourceManual;
    c.bPM().manual = 24000; // a step every 10 control samples
    c.noteLength().source = kSourceManual;
    c.noteLength().manual = 1000; // long enough for all 16 notes to sound together
    seq->sequence.setText("C4 C#4 D4 D#4 E4 F4 F#4 G4 G#4 A4 A#4 B4 C5 C#5 D5 D#5");
    const int row = seq->outputRow;
    auto add = [&](int type) { return registry.addModule(type); };
    ControlNoteEnvelopeControls{*add(Module_ControlNoteEnvelope)}.controlInput().source = row;
    ControlClosestNoteControls{*add(Module_ControlClosestNote)}.inputSource().source = row;
    ControlLowCutControls{*add(Module_ControlLowCut)}.inputSource().source = row;
    ControlNoteRetardControls{*add(Module_ControlNoteRetard)}.inputSource().source = row;
    ControlNoteCombineControls{*add(Module_ControlNoteCombine)}.inputSource().source = row;
    ControlStepFunctionControls{*add(Module_ControlStepFunction)}.input().source = row;
    ControlPolyphonicatorControls{*add(Module_ControlPolyphonicator)}.controlInput1().source = row;
    registry.addModule(Module_ControlSensor);
    registry.addModule(Module_ControlNeuron);
    state.settings.controlRate = 4000.0;
    engine.beginOffline();
    for (int i = 0; i < 100; ++i)
        engine.runCycle(nullptr);
    if (state.table.rows[seq->outputRow].voiceCount != 16) st.SkipWithError("not 16 voices");
    for (auto _ : st)
        benchmark::DoNotOptimize(engine.runCycle(nullptr));
    st.counters["per_sample"] = benchmark::Counter(
        96, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CycleNoteSequenceSensorNeuron);

// Parsing a sequence text that fills the whole step list (done on the engine thread after an
// edit).
void BM_SequenceParseFullText(benchmark::State& st) {
    std::string text;
    for (int i = 0; i < SequenceState::kMaxSteps; ++i)
        text += "c#4-";
    auto seq = std::make_unique<SequenceState>();
    for (auto _ : st) {
        parseSequenceText(text, *seq);
        benchmark::DoNotOptimize(seq->stepCount);
    }
}
BENCHMARK(BM_SequenceParseFullText)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace kv

// The table of module evaluation functions and working storage, filled by the algorithm
// families. Types whose algorithm is not part of the program yet evaluate to nothing.
#include "engine/algorithms.h"

#include "engine/audio_effects.h"
#include "engine/audio_routing.h"
#include "engine/control_shaping.h"
#include "engine/notes_sequence.h"
#include "engine/sensor_neuron.h"

namespace kv {

const Evaluators& moduleEvaluators() {
    static const Evaluators table = [] {
        Evaluators e;
        registerOscillator(e);
        registerSources(e);
        registerControlShaping(e);
        registerAudioEffects(e);
        registerAudioRouting(e);
        registerNotesSequence(e);
        registerSensorNeuron(e);
        registerMidiSources(e);
        registerAudioInput(e);
        return e;
    }();
    return table;
}

std::unique_ptr<ModuleState> makeModuleState(int type) {
    if (type == Module_AudioOsc) return makeOscillatorState();
    for (auto make : {&makeMidiSourceState, &makeControlShapingState, &makeNotesSequenceState,
                      &makeAudioEffectState, &makeAudioRoutingState, &makeSensorNeuronState})
        if (auto state = make(type)) return state;
    return nullptr;
}

} // namespace kv

// The table of module evaluation functions and working storage, filled by the algorithm
// families. Types whose algorithm is not part of the program yet evaluate to nothing.
#include "engine/algorithms.h"

namespace kv {

const Evaluators& moduleEvaluators() {
    static const Evaluators table = [] {
        Evaluators e;
        registerOscillator(e);
        return e;
    }();
    return table;
}

std::unique_ptr<ModuleState> makeModuleState(int type) {
    switch (type) {
    case Module_AudioOsc:
        return makeOscillatorState();
    default:
        return nullptr;
    }
}

} // namespace kv

#pragma once
// Registration of the module algorithm families. Each family file fills its types' entries.
#include <memory>

#include "engine/engine.h"
#include "modules/module.h"

namespace kv {

void registerOscillator(Evaluators& e);
void registerSources(Evaluators& e);
void registerControlShaping(Evaluators& e);
std::unique_ptr<ModuleState> makeOscillatorState();
void registerAudioEffects(Evaluators& e);
void registerAudioRouting(Evaluators& e);
void registerNotesSequence(Evaluators& e);
void registerSensorNeuron(Evaluators& e);
void registerMidiSources(Evaluators& e);
std::unique_ptr<ModuleState> makeMidiSourceState(int type);
void registerAudioInput(Evaluators& e);

} // namespace kv

#include "engine/sources.h"

#include "engine/algorithms.h"
#include "engine/voice_input.h"
#include "modules/module_controls.h"

namespace kv {

void evaluateControlInput(Module& m, EngineContext& ctx) {
    ControlRow* out = outputRowOf(m, ctx.table);
    if (!out) return;
    const VoiceInput in = readVoiceInput(ControlInputControls{m}.inputSource(), ctx.table);
    if (!applyCountRule(*out, in)) return;
    for (int k = 0; k < in.count; ++k) {
        out->primary[k] = in.primary(k);
        out->velocity[k] = in.velocity(k);
        out->noteId[k] = in.noteId(k);
    }
}

void registerSources(Evaluators& e) {
    e.control[Module_ControlInput] = &evaluateControlInput;
}

} // namespace kv

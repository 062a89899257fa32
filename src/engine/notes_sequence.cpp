#include "engine/notes_sequence.h"

namespace kv {

std::unique_ptr<ModuleState> makeNotesSequenceState(int type) {
    if (type == Module_ControlSequence) {
        auto st = std::make_unique<SequenceState>();
        st->pendingRecord.reserve(4096); // recording appends on the engine thread
        return st;
    }
    return nullptr;
}

} // namespace kv

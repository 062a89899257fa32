#include "engine/control_shaping.h"

namespace kv {

std::unique_ptr<ModuleState> makeControlShapingState(int type) {
    if (type == Module_ControlEcho) return std::make_unique<ControlEchoState>();
    return nullptr;
}

} // namespace kv

#include "engine/audio_routing.h"

namespace kv {

std::unique_ptr<ModuleState> makeAudioRoutingState(int type) {
    if (type == Module_AudioInput) return std::make_unique<AudioInputState>();
    return nullptr;
}

} // namespace kv

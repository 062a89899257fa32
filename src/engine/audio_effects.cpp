#include "engine/audio_effects.h"

namespace kv {

std::unique_ptr<ModuleState> makeAudioEffectState(int type) {
    switch (type) {
    case Module_AudioEcho:
    case Module_AudioMultiDelay:
        return std::make_unique<DelayRingState>();
    case Module_AudioPitchShift:
        return std::make_unique<PitchShiftState>();
    case Module_AudioLowPass:
    case Module_AudioHighPass:
        return std::make_unique<FilterHistoryState>();
    default:
        return nullptr;
    }
}

} // namespace kv

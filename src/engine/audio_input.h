#pragma once
// The audio input module: sound-card capture into the patch through a FIFO, with gain.
#include <cstdint>

#include "engine/audio_routing.h"
#include "engine/engine.h"

namespace kv {

/// Samples waiting in the FIFO above which one is dropped per engine sample to catch up.
constexpr int kAudioInputCatchUp = 960;

/// Engine thread, once per cycle after the samples: appends a captured stretch (`older` then
/// `newer`, 96 signed 16-bit samples each) to the FIFO, scaled so that 16-bit full scale is 1000.
/// When the FIFO would overflow, its oldest samples give way.
void appendCapturedAudio(AudioInputState& st, const int16_t* older, const int16_t* newer);

/// One engine sample of the module's output (before gain): the next waiting sample, dropping one
/// first while more than kAudioInputCatchUp wait; false when nothing waits.
bool takeCapturedSample(AudioInputState& st, double& sample);

void registerAudioInput(Evaluators& e);

} // namespace kv

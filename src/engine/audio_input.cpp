#include "engine/audio_input.h"

#include "engine/params.h"
#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr double kPcmToEngine = 1000.0 / 32767.0;
constexpr int kBlock = 96;

void advance(AudioInputState& st) {
    st.readIndex = (st.readIndex + 1) % AudioInputState::kSamples;
    ++st.read;
}

void evaluateAudioInput(Module& m, EngineContext& ctx) KV_NONBLOCKING {
    AudioInputControls c{m};
    auto& st = m.stateAs<AudioInputState>();
    double out = st.lastOutput; // nothing waiting: the last output again, not scaled again
    double x = 0;
    if (takeCapturedSample(st, x))
        out = effectiveValue(c.gain(), ctx.table, 1.0, 1.0, true) / 100.0 * x;
    st.lastOutput = out;
    if (m.outputRow < 0 || m.outputRow >= kModuleRows) return;
    ControlRow& row = ctx.table.rows[m.outputRow];
    row.primary[0] = out;
    row.primarySmoothed[0] = out;
}

} // namespace

void appendCapturedAudio(AudioInputState& st, const int16_t* older, const int16_t* newer) {
    for (const int16_t* block : {older, newer})
        for (int i = 0; i < kBlock; ++i) {
            if (st.written - st.read >= AudioInputState::kSamples) advance(st);
            st.fifo[st.writeIndex] = block[i] * kPcmToEngine;
            st.writeIndex = (st.writeIndex + 1) % AudioInputState::kSamples;
            ++st.written;
        }
}

bool takeCapturedSample(AudioInputState& st, double& sample) {
    if (st.written - st.read > kAudioInputCatchUp) advance(st);
    if (st.written - st.read <= 0) return false;
    sample = st.fifo[st.readIndex];
    advance(st);
    return true;
}

void registerAudioInput(Evaluators& e) {
    e.perSample[Module_AudioInput] = &evaluateAudioInput;
}

} // namespace kv

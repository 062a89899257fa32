// The oscillator's voice loop built for processors with AVX2 and FMA (this file alone is compiled
// for them; the engine calls it only where the processor has them).
#include "engine/oscillator_voices.h"

namespace kv {

double oscillatorVoicePassAvx2(OscillatorState& st, const OscillatorParams& p,
                               OscillatorScratch& sc, bool sine) {
    return oscillatorVoicePass(st, p, sc, sine);
}

double oscillatorLoneSineAvx2(OscillatorState& st, const OscillatorParams& p,
                              OscillatorLoneMarks& marks) {
    return oscillatorLoneSine(st, p, marks);
}

void oscillatorLoneSinesAvx2(OscillatorState* const* st, const OscillatorParams* p, int lanes,
                             StretchDraws& draws, const int* slots, double* const* out, int count) {
    oscillatorLoneSines(st, p, lanes, draws, slots, out, count);
}

} // namespace kv

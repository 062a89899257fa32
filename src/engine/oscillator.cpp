#include "engine/oscillator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <type_traits>

#include "engine/algorithms.h"
#include "engine/finite.h"
#include "engine/oscillator_voices.h"
#include "engine/params.h"
#include "engine/waveform.h"

namespace kv {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kPi = std::numbers::pi;
constexpr double kCeiling = 24000.0;    // Hz
constexpr double kEnvelopeFloor = 10.0; // Hz
constexpr double kRemovalLevel = 0.1;
constexpr double kMouseFactor = 6.0;
constexpr double kStepFloor = 1e-12;
constexpr int kMax = OscillatorState::kMaxVoices;
constexpr auto rlx = std::memory_order_relaxed;

// The oscillator reads its six parameters at every sample: each is read inline, with the
// source's bounds checked in one unsigned comparison, instead of through a call per parameter.

// The common parameter rule (see effectiveValue): manual → manualScale × manual value; a source →
// sensitivity/100 × voice 0 (smoothed or raw) × sourceScale; none → sensitivity/100 × 0 ×
// sourceScale.
[[gnu::always_inline]] inline double sliderValue(const InputSliderSlot& s, const ControlTable& t,
                                                 double manualScale, double sourceScale,
                                                 bool smoothed) {
    const int source = s.source.load(rlx);
    if (source == kSourceManual) return s.manual.load(rlx) * manualScale;
    double v = 0.0;
    if (static_cast<unsigned>(source) < static_cast<unsigned>(kRowCount))
        v = smoothed ? t.rows[source].primarySmoothed[0] : t.rows[source].primary[0];
    return s.sensitivity.load(rlx) / 100.0 * v * sourceScale;
}

// Ramp and phase: manual as is; a source × 0.05 clamped to ±50.
[[gnu::always_inline]] inline double rampLike(const InputSliderSlot& s, const ControlTable& t) {
    const int source = s.source.load(rlx);
    if (source == kSourceManual) return s.manual.load(rlx);
    double v = 0.0;
    if (static_cast<unsigned>(source) < static_cast<unsigned>(kRowCount))
        v = t.rows[source].primarySmoothed[0];
    return std::clamp(s.sensitivity.load(rlx) / 100.0 * v * 0.05, -50.0, 50.0);
}

[[gnu::always_inline]] inline OscillatorParams readParams(const AudioOscControls& c,
                                                          const ControlTable& t) {
    OscillatorParams p;
    p.A = sliderValue(c.amplitude(), t, 10.0, 1.0, true);
    p.N = sliderValue(c.noise(), t, 1.0 / 100.0, 1.0 / 100.0, true);
    p.W = sliderValue(c.waveform(), t, 1.0, 1.0, true);
    p.R = rampLike(c.ramp(), t) / 50.0;
    p.P = rampLike(c.phase(), t) * kPi / 50.0;
    const double S = sliderValue(c.stepSize(), t, 1.0 / 100.0, 1.0 / 1000.0, false);
    p.S = std::min(std::fabs(S), 1.0);
    return p;
}

// Attack time in ms for a frequency; a NaN frequency gets the shortest envelope.
double attackTime(double frequency) {
    const double Ta = 1500.0 / std::max(std::fabs(frequency), kEnvelopeFloor) + 2.5;
    return allFinite(Ta) ? Ta : 2.5;
}

// A voice's new frequency with the times derived from it.
void setFrequency(OscillatorState& st, int e, double f) {
    st.frequency(e) = f;
    st.attack(e) = attackTime(f);
    st.jitterStep(e) = f / 24000.0;
    if (!allFinite(f)) st.unsettled = true;
}

[[gnu::always_inline]] inline void takeInputVoice(OscillatorState& st, double frequency,
                                                  double velocity, uint8_t noteId, double minimum) {
    int e = st.entryOfNote[noteId];
    bool fresh = false;
    if (e < 0) {
        if (st.count >= kMax) return;
        e = st.count++;
        st.entryOfNote[noteId] = static_cast<int16_t>(e);
        st.noteId[e] = noteId;
        st.releaseVelocity(e) = 0;
        st.envelope(e) = 0;
        st.phase(e) = 0;
        fresh = true; // the jitter keeps what the entry last held
    }
    double f = std::fabs(frequency);
    if (f < minimum) f = minimum;
    if (fresh || !(f == st.frequency(e))) setFrequency(st, e, f);
    st.velocity(e) = velocity;
    st.present(e) = 1.0;
}

[[gnu::always_inline]] inline void collectVoices(Module& m, EngineContext& ctx,
                                                 OscillatorState& st) {
    const AudioOscControls c{m};
    const bool legacy = ctx.state.settings.legacyPatch.load(rlx);
    const double minimum = legacy ? 0.0 : ctx.state.settings.oscillatorFrequencyMinimum.load(rlx);
    FrequencySlot& fs = c.frequency();
    const int F = fs.source.load(rlx);
    if (F == kSourceManual) {
        takeInputVoice(st, fs.base.load(rlx) * fs.multiplier.load(rlx), 127.0, 0, minimum);
    } else if (isRowSelector(F)) {
        const ControlRow& row = ctx.table.rows[F];
        const double factor =
            (F >= kMouseRowBase ? kMouseFactor : 1.0) * fs.sensitivity.load(rlx) / 100.0;
        const int count = std::min<int>(row.voiceCount, kVoices);
        if (count == st.count && std::memcmp(row.noteId, st.noteId, count) == 0) {
            // The usual case: the same notes as the voices, in the same order.
            // Block by block, as the table lies.
            for (int base = 0; base < count; base += OscillatorState::kLanes) {
                OscillatorState::Block& b =
                    st.blocks[static_cast<unsigned>(base) / OscillatorState::kLanes];
                const int lanes = std::min(OscillatorState::kLanes, count - base);
                for (int l = 0; l < lanes; ++l) {
                    const int k = base + l;
                    double f = std::min(std::fabs(row.primarySmoothed[k] * factor), kCeiling);
                    if (f < minimum) f = minimum;
                    if (!(f == b.frequency[l])) setFrequency(st, k, f);
                    b.velocity[l] = row.velocitySmoothed[k];
                    b.present[l] = 1.0;
                }
            }
            return;
        }
        for (int k = 0; k < count; ++k) {
            const double f = std::min(std::fabs(row.primarySmoothed[k] * factor), kCeiling);
            takeInputVoice(st, f, row.velocitySmoothed[k], row.noteId[k], minimum);
        }
    }
}

// Copies voice `from` into entry `to` (all fields).
void copyVoice(OscillatorState& st, int from, int to) {
    st.frequency(to) = st.frequency(from);
    st.velocity(to) = st.velocity(from);
    st.releaseVelocity(to) = st.releaseVelocity(from);
    st.present(to) = st.present(from);
    st.phase(to) = st.phase(from);
    st.envelope(to) = st.envelope(from);
    st.jitter(to) = st.jitter(from);
    st.jitterTarget(to) = st.jitterTarget(from);
    st.attack(to) = st.attack(from);
    st.jitterStep(to) = st.jitterStep(from);
    st.noteId[to] = st.noteId[from];
}

double drawJitterTarget(Rand15& rand) {
    return (rand.next() - 16383.5) / 16383.5;
}

// Back to the state of a newly taken voice, keeping its note and inputs: used when its phase or
// jitter has become NaN or infinite (an overflowing frequency), which would otherwise stay so for
// good.
void restartVoice(OscillatorState& st, int i) {
    st.phase(i) = 0;
    st.envelope(i) = 0;
    st.jitter(i) = 0;
    st.jitterTarget(i) = 0;
    st.releaseVelocity(i) = 0;
}

// Decided once at start-up, so the engine thread never meets a lazy initialisation.
const bool kHasAvx2 = [] {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}();

// Whether every live voice holds finite numbers (then the fast loop keeps them finite).
bool voicesFinite(const OscillatorState& st) {
    bool finite = true;
    for (int i = 0; i < st.count; ++i)
        finite &= allFinite(st.frequency(i), st.phase(i), st.jitter(i), st.jitterTarget(i));
    return finite;
}

bool bit(const uint64_t* bits, int i) {
    return (bits[i >> 6] >> (i & 63)) & 1;
}

void setBit(uint64_t* bits, int i, bool on) {
    const uint64_t b = uint64_t{1} << (i & 63);
    bits[i >> 6] = on ? bits[i >> 6] | b : bits[i >> 6] & ~b;
}

// Applies the marked jitter draws and removals in the order the voices are taken: a removed
// voice's entry receives the last voice, which is taken next. An entry emptied that way keeps
// the jitter it held before the sample, as it would had the voices been taken one by one.
// `newTarget()` gives the next jitter target: drawn from the engine's generator, or over a stretch
// the value drawn ahead for this module.
template <class NewTarget>
void drawsAndRemovals(OscillatorState& st, OscillatorScratch& sc, NewTarget&& newTarget) {
    if (!(sc.removals[0] | sc.removals[1])) {
        if (!(sc.draws[0] | sc.draws[1])) return;
        for (int w = 0; w < 2; ++w)
            for (uint64_t b = sc.draws[w]; b; b &= b - 1)
                st.jitterTarget(w * 64 + __builtin_ctzll(b)) = newTarget();
        return;
    }
    int n = st.count;
    for (int i = 0; i < n;) {
        if (bit(sc.draws, i)) st.jitterTarget(i) = newTarget();
        if (!bit(sc.removals, i)) {
            ++i;
            continue;
        }
        st.entryOfNote[st.noteId[i]] = -1;
        const int last = n - 1;
        if (last != i) {
            copyVoice(st, last, i);
            setBit(sc.draws, i, bit(sc.draws, last));
            setBit(sc.removals, i, bit(sc.removals, last));
            st.jitter(last) = sc.oldJitter[last];
            st.jitterTarget(last) = sc.oldTarget[last];
            st.entryOfNote[st.noteId[i]] = static_cast<int16_t>(i);
        }
        n = last;
    }
    st.count = n;
}

ControlRow* resetOutput(Module& m, ControlTable& t) {
    if (m.outputRow < 0 || m.outputRow >= kModuleRows) return nullptr;
    ControlRow& out = t.rows[m.outputRow];
    out.primary[0] = 0.0;
    out.primarySmoothed[0] = 0.0;
    return &out;
}

// The sample of any number of voices and any shape. Kept out of line: its scratch is a few
// kilobytes of stack, which the lone voice's path does not set up.
template <class NewTarget>
[[gnu::noinline]] double voicesSample(OscillatorState& st, const OscillatorParams& p, bool sine,
                                      NewTarget&& newTarget) {
    OscillatorScratch sc;
    double sum;
    if (sine) {
        sum = kHasAvx2 ? oscillatorVoicePassAvx2(st, p, sc, true)
                       : oscillatorVoicePass(st, p, sc, true);
    } else {
        kHasAvx2 ? oscillatorVoicePassAvx2(st, p, sc, false)
                 : oscillatorVoicePass(st, p, sc, false);
        sum = 0.0;
        for (int i = 0; i < st.count; ++i) {
            const double theta = p.R != 0 ? rampWarp(sc.theta[i], p.R) : sc.theta[i];
            double sample = morphWave(theta, p.W) * sc.gain[i];
            if (p.S > kStepFloor) sample = std::trunc(sample / 1000.0 / p.S) * (1000.0 * p.S);
            sum += sample;
        }
    }
    drawsAndRemovals(st, sc, newTarget);
    return sum;
}

// Whether the shape is the plain sine the voice loop computes itself.
bool sineOnly(const OscillatorParams& p) {
    return p.W <= 0 && p.R == 0 && p.S <= kStepFloor && std::fabs(p.P) <= 64.0;
}

} // namespace

void evaluateOscillator(Module& m, EngineContext& ctx) {
    OscillatorState& st = m.stateAs<OscillatorState>();
    collectVoices(m, ctx, st);
    ControlRow* out = resetOutput(m, ctx.table);
    if (!out || st.count == 0) return; // silent: an oscillator waiting for notes costs little
    const OscillatorParams p = readParams(AudioOscControls{m}, ctx.table);

    if (st.unsettled) {
        if (!voicesFinite(st)) return evaluateOscillatorReference(m, ctx);
        st.unsettled = false;
    }
    if (!allFinite(p.A, p.N, p.W, p.R, p.P, p.S)) return evaluateOscillatorReference(m, ctx);

    const bool sine = sineOnly(p);
    if (sine && st.count == 1) {
        // The usual oscillator: one voice, no other entry to refill when it ends.
        OscillatorLoneMarks marks;
        const double sum =
            kHasAvx2 ? oscillatorLoneSineAvx2(st, p, marks) : oscillatorLoneSine(st, p, marks);
        if (marks.draws[0]) st.jitterTarget(0) = drawJitterTarget(ctx.rand);
        if (marks.removals[0]) {
            st.entryOfNote[st.noteId[0]] = -1;
            st.count = 0;
        }
        out->primary[0] = sum;
        out->primarySmoothed[0] = sum;
        return;
    }
    const double sum = voicesSample(st, p, sine, [&] { return drawJitterTarget(ctx.rand); });
    out->primary[0] = sum;
    out->primarySmoothed[0] = sum;
}

void evaluateOscillatorReference(Module& m, EngineContext& ctx) {
    OscillatorState& st = m.stateAs<OscillatorState>();
    const OscillatorParams p = readParams(AudioOscControls{m}, ctx.table);
    collectVoices(m, ctx, st);
    ControlRow* outRow = resetOutput(m, ctx.table);
    if (!outRow) return;
    ControlRow& out = *outRow;
    st.unsettled = true; // may leave non-finite jitter for the next sample to restart

    for (int i = 0; i < st.count;) {
        const double Av =
            (st.present(i) != 0 ? st.velocity(i) : st.releaseVelocity(i)) / 127.0 * p.A;
        if (!allFinite(st.phase(i), st.jitter(i), st.jitterTarget(i))) restartVoice(st, i);
        const double f = st.frequency(i);
        const double Ta = attackTime(f);
        const double Tr = 1.5 * Ta;

        if (st.present(i) == 0 && st.envelope(i) >= 0)
            st.envelope(i) = oscillatorReleaseStart(st.envelope(i), Ta);

        if (f != 0) {
            double& j = st.jitter(i);
            double& target = st.jitterTarget(i);
            j = std::clamp(j, -1.0, 1.0);
            target = std::clamp(target, -1.0, 1.0);
            const double step = f / 24000.0;
            j += j <= target ? step : -step;
            if (std::fabs(j - target) < step || j > 1.0 || j < -1.0)
                target = drawJitterTarget(ctx.rand);
        }

        const double fj = std::clamp(f + f * st.jitter(i) * p.N, 0.0, kCeiling);
        st.phase(i) += fj / 48000.0 * kTwoPi;
        if (st.phase(i) > kTwoPi) st.phase(i) -= kTwoPi;
        if (!allFinite(st.phase(i))) restartVoice(st, i);

        const double tms = st.envelope(i) / 48.0;
        double g;
        if (tms < 0)
            g = std::max(tms + Tr, 0.0) / Tr * Av;
        else if (tms <= Ta)
            g = tms / Ta * Av;
        else
            g = Av;

        double theta = st.phase(i) + p.P;
        if (theta < 0)
            theta += kTwoPi;
        else if (theta > kTwoPi)
            theta -= kTwoPi;
        if (p.R != 0) theta = rampWarp(theta, p.R);

        double sample = morphWave(theta, p.W) * g;
        if (p.S > kStepFloor) sample = std::trunc(sample / 1000.0 / p.S) * (1000.0 * p.S);

        out.primary[0] += sample;
        out.primarySmoothed[0] = out.primary[0];

        st.envelope(i) += st.envelope(i) >= 0 ? 1 : -1;
        if (st.present(i) != 0) st.releaseVelocity(i) = st.velocity(i);

        if (tms < 0 && g < kRemovalLevel) {
            st.entryOfNote[st.noteId[i]] = -1;
            copyVoice(st, st.count - 1, i);
            --st.count;
            if (i < st.count) st.entryOfNote[st.noteId[i]] = static_cast<int16_t>(i);
            continue; // entry i now holds another voice: process it this sample
        }
        st.present(i) = 0;
        ++i;
    }
}

namespace {

// Moves voice i's shadow jitter on from the stretch's sample `from`, with the arithmetic of the
// voice loop, until a sample where it reaches its target (noted in shadowNext; the jitter is left
// as that sample leaves it, before the draw) or the stretch ends (shadowNext = count).
void runShadowJitter(OscillatorState& st, int i, int from, int count) {
    if (st.frequency(i) == 0.0) { // a voice without frequency keeps its jitter
        st.shadowNext[i] = static_cast<int16_t>(count);
        return;
    }
    double j = st.shadowJitter[i];
    double target = st.shadowTarget[i];
    const double step = st.jitterStep(i);
    int s = from;
    bool drawn = false;
    if (s < count) {
        j = std::clamp(j, -1.0, 1.0);
        target = std::clamp(target, -1.0, 1.0);
        j += j <= target ? step : -step;
        drawn = std::fabs(j - target) < step || j > 1.0 || j < -1.0;
        if (!drawn) ++s;
    }
    // After a step without a draw the jitter lies within −1..1 and the target has been clamped,
    // so the voice loop's clamps leave both as they are until the next draw.
    while (!drawn && s < count) {
        // Steps that stay three steps short of the target cannot draw (the rounding of 192
        // additions is far below a step): taken without the checks, one addition each.
        if (step > 1e-9) {
            const double steps = std::fabs(target - j) / step;
            const int n = steps < count - s + 3 ? static_cast<int>(steps) - 3 : count - s;
            if (n > 0) {
                const double d = j <= target ? step : -step;
                for (int q = 0; q < n; ++q)
                    j += d;
                s += n;
                continue;
            }
        }
        j += j <= target ? step : -step;
        if (std::fabs(j - target) < step || j > 1.0 || j < -1.0) break;
        ++s;
    }
    st.shadowJitter[i] = j;
    st.shadowTarget[i] = target;
    st.shadowNext[i] = static_cast<int16_t>(s);
}

int firstShadowDraw(const OscillatorState& st, int count) {
    int next = count;
    for (int i = 0; i < st.count; ++i)
        next = std::min<int>(next, st.shadowNext[i]);
    return next;
}

} // namespace

// A stretch module by module. Its inputs stay as they are, so taking the voices at every sample
// would find the same voices, frequencies and velocities each time and mark every voice present;
// the stretch takes them once. Only held voices are allowed (no release starts, no removals), so
// the voice table keeps its order and each voice's jitter draws depend on that voice alone.
bool prepareOscillatorStretch(Module& m, EngineContext& ctx, int count, int& firstDraw) {
    OscillatorState& st = m.stateAs<OscillatorState>();
    collectVoices(m, ctx, st);
    if (m.outputRow < 0 || m.outputRow >= kModuleRows || st.count == 0) return false;
    const OscillatorParams p = readParams(AudioOscControls{m}, ctx.table);
    if (st.unsettled) {
        if (!voicesFinite(st)) return false;
        st.unsettled = false; // as the next sample would find
    }
    if (!allFinite(p.A, p.N, p.W, p.R, p.P, p.S)) return false;
    for (int i = 0; i < st.count; ++i)
        if (st.present(i) == 0 || !(st.envelope(i) >= 0)) return false;
    for (int i = 0; i < st.count; ++i) {
        st.shadowJitter[i] = st.jitter(i);
        st.shadowTarget[i] = st.jitterTarget(i);
        runShadowJitter(st, i, 0, count);
    }
    st.stretchParams = p;
    st.stretchSine = sineOnly(p);
    firstDraw = firstShadowDraw(st, count);
    return true;
}

int takeOscillatorDraws(Module& m, Rand15& rand, StretchDraws& draws, int slot, int s, int count) {
    OscillatorState& st = m.stateAs<OscillatorState>();
    for (int i = 0; i < st.count; ++i) {
        if (st.shadowNext[i] != s) continue;
        const double target = drawJitterTarget(rand);
        st.shadowTarget[i] = target;
        draws.push(slot, target);
        runShadowJitter(st, i, s + 1, count);
    }
    return firstShadowDraw(st, count);
}

void evaluateOscillatorStretch(Module& m, EngineContext& ctx, StretchDraws& draws, int slot,
                               double* out, int count) {
    OscillatorState& st = m.stateAs<OscillatorState>();
    const OscillatorParams p = st.stretchParams;
    auto queued = [&] { return draws.take(slot); };
    if (st.stretchSine && st.count == 1) {
        for (int s = 0; s < count; ++s) {
            st.present(0) = 1.0;
            OscillatorLoneMarks marks;
            out[s] =
                kHasAvx2 ? oscillatorLoneSineAvx2(st, p, marks) : oscillatorLoneSine(st, p, marks);
            if (marks.draws[0]) st.jitterTarget(0) = queued();
        }
    } else {
        for (int s = 0; s < count; ++s) {
            for (int i = 0; i < st.count; ++i)
                st.present(i) = 1.0;
            out[s] = voicesSample(st, p, st.stretchSine, queued);
        }
    }
    ControlRow& row = ctx.table.rows[m.outputRow];
    row.primary[0] = out[count - 1];
    row.primarySmoothed[0] = out[count - 1];
}

bool oscillatorStretchIsLoneSine(Module& m) {
    const OscillatorState& st = m.stateAs<OscillatorState>();
    return st.count == 1 && st.stretchSine;
}

void evaluateLoneSinesStretch(Module* const* modules, const int* slots, int n, EngineContext& ctx,
                              StretchDraws& draws, double* const* out, int count) {
    OscillatorState* st[4];
    OscillatorParams p[4];
    for (int l = 0; l < n; ++l) {
        st[l] = &modules[l]->stateAs<OscillatorState>();
        p[l] = st[l]->stretchParams;
    }
    kHasAvx2 ? oscillatorLoneSinesAvx2(st, p, n, draws, slots, out, count)
             : oscillatorLoneSines(st, p, n, draws, slots, out, count);
    for (int l = 0; l < n; ++l) {
        ControlRow& row = ctx.table.rows[modules[l]->outputRow];
        row.primary[0] = out[l][count - 1];
        row.primarySmoothed[0] = out[l][count - 1];
    }
}

void registerOscillator(Evaluators& e) {
    e.perSample[Module_AudioOsc] = &evaluateOscillator;
}

std::unique_ptr<ModuleState> makeOscillatorState() {
    return std::make_unique<OscillatorState>();
}

} // namespace kv

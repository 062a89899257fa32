#include "engine/engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "engine/finite.h"
#include "engine/levels.h"
#include "engine/oscillator.h"
#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;

// Control types in the order the engine evaluates them at a control sample.
constexpr int kControlOrder[] = {
    Module_ControlSensitiser,
    Module_ControlNoteEnvelope,
    Module_ControlModulator,
    Module_ControlEcho,
    Module_ControlCombine,
    Module_ControlRange,
    Module_ControlClosestNote,
    Module_ControlOffset,
    Module_ControlGain,
    Module_ControlLowCut,
    Module_ControlNoteRetard,
    Module_ControlInput,
    Module_ControlNoteCombine,
    Module_ControlStepFunction,
    Module_ControlPolyphonicator,
    Module_ControlSensor,
    Module_ControlSequence,
    Module_ControlMIDIInput,
    Module_ControlMIDIControllerInput,
};

// Types evaluated at every sample, in order.
constexpr int kPerSampleOrder[] = {
    Module_ControlNeuron,     Module_AudioOsc,        Module_AudioMutedPluck,
    Module_AudioInput,        Module_AudioLowPass,    Module_AudioHighPass,
    Module_AudioStepFunction, Module_AudioPitchShift, Module_AudioDistortion,
    Module_AudioMultiDelay,   Module_AudioEcho,       Module_AudioOutputSplit,
    Module_AudioInputCombine,
};

bool evaluatedEverySample(int type) {
    return std::find(std::begin(kPerSampleOrder), std::end(kPerSampleOrder), type) !=
           std::end(kPerSampleOrder);
}

// Types whose own row the output stage sends to their output device.
bool sendsRowToDevice(int type) {
    switch (type) {
    case Module_AudioOsc:
    case Module_AudioEcho:
    case Module_AudioPitchShift:
    case Module_AudioOutputSplit:
    case Module_AudioInputCombine:
    case Module_AudioMultiDelay:
    case Module_AudioDistortion:
    case Module_AudioMutedPluck:
    case Module_AudioLowPass:
    case Module_AudioHighPass:
    case Module_AudioStepFunction:
        return true;
    default:
        return false;
    }
}

constexpr int kNoDevice = -555;

void enableFlushToZero() {
#if defined(__SSE__) || defined(__x86_64__)
    _mm_setcsr(_mm_getcsr() | 0x8040); // FTZ | DAZ
#endif
}

} // namespace

// Auto-reset event: a release while already signalled is merged into one tick.
struct Engine::TickEvent {
    std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false;

    void signal() {
        {
            std::lock_guard lock(mutex);
            signalled = true;
        }
        cv.notify_one();
    }
    void wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, timeout, [this] { return signalled; });
        signalled = false;
    }
    void reset() {
        std::lock_guard lock(mutex);
        signalled = false;
    }
};

double MonotonicClock::nowMs() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

Engine::Engine(EngineState& state, OutputStage* output, MouseRows* mouse, InputStage* input)
    : state_(state), evaluators_(&moduleEvaluators()), output_(output), mouse_(mouse),
      input_(input), history_(static_cast<std::size_t>(kRowCount) * SampleChunk::kSlots),
      tick_(new TickEvent) {
    current_ = &empty_;
    MonotonicClock().nowMs(); // fix the process-start reference early
}

Engine::~Engine() {
    stopAndWait();
    delete tick_;
}

// ---------------------------------------------------------------------------------------------
// View hand-over

void Engine::publish(const EngineView* view) {
    pending_.store(view, std::memory_order_release);
    if (!threadActive_) adoptView();
}

bool Engine::waitUntilAdopted(uint64_t sequence, int timeoutMs) {
    for (int waited = 0;; ++waited) {
        if (!threadActive_) {
            adoptView();
            return true;
        }
        if (adopted_.load(std::memory_order_acquire) >= sequence) return true;
        if (!running() && state_.stopFlag.load(rlx)) {
            // The engine thread has left its loop: take the table back.
            joinThreads();
            adoptView();
            return true;
        }
        if (waited >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Engine::adoptView() {
    const EngineView* v = pending_.load(std::memory_order_acquire);
    if (!v || v == current_) return;
    applyRowChanges(*v);
    current_ = v;
    resetSmoothingRows(*current_);
    outputSourceCount_ = 0;
    for (int j = 0; j < kModuleRows; ++j) {
        const auto& t = v->terminals[j];
        if (t.module && t.kind == kTerminalAudioOutput)
            outputSources_[outputSourceCount_++] = {nullptr, static_cast<uint8_t>(j), true};
        const auto& r = v->rows[j];
        if (r.owner && sendsRowToDevice(r.type)) {
            // A splitter's second row goes to its second device.
            const int slot = r.type == Module_AudioOutputSplit && j == r.owner->secondOutputRow;
            outputSources_[outputSourceCount_++] = {&r.owner->soundOutputs[slot].code,
                                                    static_cast<uint8_t>(j), false};
        }
        rowPerSample_[j] = r.owner && evaluatedEverySample(r.type);
    }
    takeSourceSlots(*v);
    adopted_.store(v->sequence, std::memory_order_release);
}

// The row selectors of the view's modules, for the stretch planning: which rows modules read, and
// which rows each oscillator reads.
void Engine::takeSourceSlots(const EngineView& v) {
    sourcesFit_ = true;
    readSlotCount_ = 0;
    auto add = [&](const std::atomic<int>*(&list)[kSourceSlots], int& used,
                   const std::atomic<int>* slot) {
        if (used < kSourceSlots)
            list[used++] = slot;
        else
            sourcesFit_ = false;
    };
    for (int type = 0; type < kTypeCount; ++type)
        for (Module* m : v.byType[type])
            for (int k = 0; k < kSlotsPerKind; ++k) {
                if (m->inputSliders[k].def)
                    add(readSlots_, readSlotCount_, &m->inputSliders[k].source);
                // An audio output's input is read by the output stage, which takes it from the
                // stretch's history.
                if (m->controlInputs[k].def && !(type == Module_AudioOutput && k == 0))
                    add(readSlots_, readSlotCount_, &m->controlInputs[k].source);
                if (m->frequencies[k].def)
                    add(readSlots_, readSlotCount_, &m->frequencies[k].source);
            }
    int used = 0;
    const std::vector<Module*>& oscs = v.byType[Module_AudioOsc];
    for (std::size_t idx = 0; idx < oscs.size() && idx < kStretchModules; ++idx) {
        const Module* m = oscs[idx];
        for (int k = 0; k < kSlotsPerKind; ++k) {
            if (m->inputSliders[k].def) add(oscSlots_, used, &m->inputSliders[k].source);
            if (m->controlInputs[k].def) add(oscSlots_, used, &m->controlInputs[k].source);
            if (m->frequencies[k].def) add(oscSlots_, used, &m->frequencies[k].source);
        }
        oscSlotEnd_[idx] = static_cast<uint16_t>(used);
    }
}

void Engine::applyRowChanges(const EngineView& v) {
    for (int r = 0; r < kModuleRows; ++r) {
        const auto& info = v.rows[r];
        if (info.generation == appliedGeneration_[r]) continue;
        appliedGeneration_[r] = info.generation;
        if (info.owner) {
            const ModuleTypeInfo& t = typeInfo(info.type);
            state_.table.registerRow(r, t.voices, t.velocity);
        } else {
            state_.table.releaseRow(r);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Real-time driver

void Engine::start() {
    if (threadActive_) {
        if (!state_.stopFlag.load(rlx)) return;
        stopAndWait();
    }
    if (onStart) onStart();
    state_.stopFlag.store(false, rlx);
    threadActive_ = true;
    tickerThread_ = std::thread([this] { tickerMain(); });
    engineThread_ = std::thread([this] { threadMain(); });
}

void Engine::stop() {
    state_.stopFlag.store(true, rlx);
}

void Engine::stopAndWait() {
    stop();
    if (!threadActive_) return;
    while (running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    joinThreads();
    adoptView();
}

bool Engine::quiesce() {
    const bool wasRunning = threadActive_ && !state_.stopFlag.load(rlx);
    stopAndWait();
    return wasRunning;
}

void Engine::resume(bool wasRunning) {
    if (wasRunning) start();
}

void Engine::clearLegacyPatch() {
    state_.settings.legacyPatch.store(false, rlx);
}

void Engine::joinThreads() {
    if (engineThread_.joinable()) engineThread_.join();
    if (tickerThread_.joinable()) tickerThread_.join();
    threadActive_ = false;
}

void Engine::tickerMain() {
    if (onTickerThreadStart) onTickerThreadStart();
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now();
    while (!state_.stopFlag.load(rlx)) {
        deadline += std::chrono::milliseconds(2);
        std::this_thread::sleep_until(deadline);
        const auto now = clock::now();
        if (now - deadline > std::chrono::milliseconds(20))
            deadline = now; // far behind (suspended): do not release a burst of cycles
        tick_->signal();
    }
    tick_->signal(); // a waiting engine sees the stop flag at once
}

void Engine::threadMain() {
    enableFlushToZero();
    if (onEngineThreadStart) onEngineThreadStart(state_.settings.realtimePriority.load(rlx));
    state_.runningFlag.store(true, std::memory_order_release);
    resetRun(clock_);
    while (!state_.stopFlag.load(rlx)) {
        tick_->wait(std::chrono::milliseconds(10));
        if (state_.stopFlag.load(rlx)) break;
        runCycle(&clock_);
    }
    if (output_) output_->closeAll();
    if (input_) input_->closeAll();
    tick_->reset(); // a tick left by the ticker must not start the next run early
    state_.runningFlag.store(false, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Offline driver

void Engine::beginOffline(Clock* clock) {
    enableFlushToZero();
    resetRun(clock ? *clock : clock_);
}

void Engine::endOffline() {
    if (output_) output_->closeAll();
    if (input_) input_->closeAll();
}

void Engine::resetRun(Clock& clock) {
    state_.cycleCounter.store(0, rlx);
    sampleCounter_ = 0;
    controlSampleCounter_ = 0;
    lastClockMs_ = clock.nowMs();
    resetSmoothingRows(*current_);
    if (output_) output_->engineStarted();
    adoptView();
}

// ---------------------------------------------------------------------------------------------
// One cycle

int Engine::runCycle(Clock* clock) {
    adoptView();
    const EngineView& view = *current_;

    const int64_t cycles = state_.cycleCounter.load(rlx);
    if (clock && cycles > 0 && cycles % 1000 == 0) {
        const double now = clock->nowMs();
        state_.millisecondsPerChunk.store((now - lastClockMs_) / 1000.0, rlx);
        lastClockMs_ = now;
    }

    const int8_t adjustment = state_.chunkAdjustment.load(rlx);
    int n = kBaseChunk + adjustment;
    if (n < 1) n = 1;
    if (n > SampleChunk::kSlots) n = SampleChunk::kSlots;
    if (output_) output_->startCycle(adjustment);

    EngineContext ctx{state_, state_.table, state_.rand, view};
    ctx.chunkLength = n;

    // The control rate is taken at the start of the cycle, and again where a gesture tape or an
    // offline script changes it within the cycle, so that a replay changes it at the same sample.
    ControlSampleTap* tap = tap_.load(std::memory_order_acquire);
    uint64_t wake = tap ? tap->beforeSample(sampleCounter_) : ControlSampleTap::kNoSample;
    double r = 0;
    uint64_t d = 0;
    double smoothing = 0;
    auto takeRate = [&] {
        r = state_.settings.controlRate.load(rlx);
        d = 0;
        double actualRate = 0;
        if (std::isfinite(r) && r > 0) {
            // A rate above the sample rate (a hand-edited setting) means every sample, not a
            // division by zero; a rate below one control sample per 2^40 samples means none.
            const double q = std::trunc(kSampleRate / r);
            d = q < 1 ? 1 : (q < 1099511627776.0 ? static_cast<uint64_t>(q) : 0);
            if (d > 0) actualRate = static_cast<double>(kSampleRate / d);
        }
        smoothing = actualRate / kSampleRate;
        ctx.controlRate = actualRate;
        ctx.msPerControlSample = actualRate > 0 ? 1000.0 / actualRate : 0;
        if (tap) tap->rateTaken(sampleCounter_, r);
    };
    auto retakeRate = [&] {
        if (state_.settings.controlRate.load(rlx) != r) takeRate();
    };
    takeRate();
    ctx.output = output_;
    ctx.mouse = mouse_;
    ctx.input = input_;

    // A level display of 33 ms needs no finer check of which modules show their levels.
    meterRowCount_ = 0;
    for (uint8_t r : view.audioRows)
        if (view.rows[r].owner->showState.load(rlx) == 5) meterRows_[meterRowCount_++] = r;

    for (int i = 0; i < n;) {
        if (sampleCounter_ == wake) {
            wake = tap->beforeSample(sampleCounter_);
            retakeRate();
        }
        ctx.sampleIndex = i;
        ctx.sampleCounter = sampleCounter_;
        if (d > 0 && sampleCounter_ % d == 0)
            controlSample(ctx, static_cast<uint16_t>(static_cast<uint64_t>(r)));
        perSample(ctx, smoothing);
        ++i;
        if (afterSample) {
            const NotRealtimeScope offlineHook; // probing and script events, never in real time
            afterSample(sampleCounter_);
            ++sampleCounter_;
            retakeRate();
            continue;
        }
        if (afterEvent && (!blockEvaluation_ || sampleCounter_ == nextEvent_)) {
            const NotRealtimeScope offlineHook;
            nextEvent_ = afterEvent(sampleCounter_);
            ++sampleCounter_;
            retakeRate();
            continue;
        }
        ++sampleCounter_;
        if (!blockEvaluation_) continue;

        // The samples before the next tap call, event or the cycle's end form a stretch. A tap
        // may change modules at a control sample (a take applies its edits there): the stretch
        // then also ends before the next control sample.
        uint64_t room = static_cast<uint64_t>(n - i);
        if (tap && d > 0) room = std::min(room, (d - sampleCounter_ % d) % d);
        if (tap && wake != ControlSampleTap::kNoSample)
            room = std::min(room, wake > sampleCounter_ ? wake - sampleCounter_ : 0);
        if (afterEvent && nextEvent_ != ControlSampleTap::kNoSample)
            room = std::min(room, nextEvent_ > sampleCounter_ ? nextEvent_ - sampleCounter_ : 0);
        if (room < 2) continue;
        i += runStretch(ctx, i, static_cast<int>(room), smoothing, d,
                        static_cast<uint16_t>(static_cast<uint64_t>(r)));
    }
    endOfCycle(ctx);
    state_.cycleCounter.store(cycles + 1, rlx);
    return n;
}

void Engine::resetSmoothingRows(const EngineView& view) {
    smoothingRowCount_ = 0;
    for (uint8_t r : view.controlRows)
        smoothingRows_[smoothingRowCount_++] = r;
}

// Voice re-association: smoothing follows each note id; a new note starts at its raw value with
// velocity fading in from 0.
void Engine::reassociate(ControlRow& row, const SnapshotRow& snap) {
    const int count = row.voiceCount > kVoices ? kVoices : row.voiceCount;

    // Usual case: the voices kept their places and their ids are distinct, so every voice finds
    // itself and its smoothed values are already where they belong.
    if (count <= snap.voiceCount) {
        uint64_t seen[4] = {};
        bool inPlace = true;
        for (int k = 0; k < count && inPlace; ++k) {
            const uint8_t id = row.noteId[k];
            const uint64_t bit = uint64_t{1} << (id & 63);
            inPlace = id == snap.noteId[k] && !(seen[id >> 6] & bit);
            seen[id >> 6] |= bit;
        }
        if (inPlace) return;
    }

    std::copy(row.primarySmoothed, row.primarySmoothed + snap.voiceCount, oldPrimarySmoothed_);
    std::copy(row.velocitySmoothed, row.velocitySmoothed + snap.voiceCount, oldVelocitySmoothed_);
    for (int k = 0; k < count; ++k) {
        int found = -1;
        for (int s = 0; s < snap.voiceCount; ++s)
            if (snap.noteId[s] == row.noteId[k]) {
                found = s;
                break;
            }
        if (found >= 0) {
            row.primarySmoothed[k] = oldPrimarySmoothed_[found];
            row.velocitySmoothed[k] = oldVelocitySmoothed_[found];
        } else {
            row.primarySmoothed[k] = row.primary[k];
            row.velocitySmoothed[k] = 0.0;
        }
    }
}

void Engine::controlSample(EngineContext& ctx, uint16_t rate) {
    ControlSampleTap* tap = tap_.load(std::memory_order_acquire);
    if (tap) tap->beforeMouseRows(sampleCounter_);
    if (mouse_) mouse_->updateMouseRows(state_.table, rate);
    if (tap) tap->controlSample(sampleCounter_);
    ++controlSampleCounter_;
    ctx.controlSampleCounter = controlSampleCounter_;

    const EngineView& view = ctx.view;
    for (uint8_t r : view.controlRows) {
        const ControlRow& row = state_.table.rows[r];
        SnapshotRow& snap = snapshot_[r];
        const int count = row.voiceCount > kVoices ? kVoices : row.voiceCount;
        snap.voiceCount = static_cast<uint8_t>(count);
        std::copy(row.noteId, row.noteId + count, snap.noteId);
    }

    const Evaluators& ev = *evaluators_;
    for (int type : kControlOrder) {
        const EvaluateFn fn = ev.control[type];
        if (!fn) continue;
        for (Module* m : view.byType[type])
            fn(*m, ctx);
    }

    for (uint8_t r : view.controlRows)
        reassociate(state_.table.rows[r], snapshot_[r]);
    resetSmoothingRows(*current_);
}

void Engine::perSample(EngineContext& ctx, double a) {
    const EngineView& view = ctx.view;
    ControlTable& table = state_.table;
    smoothAndMeter(view, a, false);

    const Evaluators& ev = *evaluators_;
    for (int type : kPerSampleOrder) {
        const EvaluateFn fn = ev.perSample[type];
        if (!fn) continue;
        for (Module* m : view.byType[type])
            fn(*m, ctx);
    }

    if (!output_) return;
    const bool silent = state_.settings.makeNoSound.load(rlx);
    for (int e = 0; e < outputSourceCount_; ++e) {
        const OutputSource src = outputSources_[e];
        if (src.terminal) {
            const AudioOutputControls out{*view.terminals[src.index].module};
            const int s = out.inputModule().source.load(rlx);
            const int c = out.outputDeviceId().code.load(rlx);
            if (s < 0 || s >= kRowCount || c == kNoDevice) continue;
            output_->addToBus(ctx.sampleIndex, c,
                              silent ? 0.0 : finiteOrZero(table.rows[s].primarySmoothed[0]));
        } else {
            const int c = src.code->load(rlx);
            if (c == kNoDevice) continue;
            output_->addToBus(ctx.sampleIndex, c,
                              silent ? 0.0
                                     : finiteOrZero(table.rows[src.index].primarySmoothed[0]));
        }
    }
}

// The smoothing step, then the level meters of the rows as the previous sample left them
// (`skipTaken`: not the rows of the stretch's chosen oscillators).
void Engine::smoothAndMeter(const EngineView& view, double a, bool skipTaken) {
    smoothStep(view, a);
    for (int e = 0; e < meterRowCount_; ++e) {
        if (skipTaken && rowBlock_[meterRows_[e]]) continue;
        ControlRow& row = state_.table.rows[meterRows_[e]];
        const int count = row.voiceCount > kVoices ? kVoices : row.voiceCount;
        for (int k = 0; k < count; ++k) {
            const double v = std::fabs(row.primary[k]);
            if (v > row.meterPeak[k]) row.meterPeak[k] = v;
        }
    }
}

void Engine::smoothStep(const EngineView& view, double a) {
    ControlTable& table = state_.table;
    const double b = 1.0 - a;

    // Raw control values change only at control samples (the neuron's row excepted), so a row
    // whose smoothing step changed nothing would change nothing until the next control sample:
    // it leaves the list of smoothed rows until then. At a control rate of 0 the smoothed values
    // stand still without having reached their raw values: the list stays as it is, so that the
    // rows move on at once when the rate rises again.
    int kept = 0;
    const int smoothingRows = a > 0 ? smoothingRowCount_ : 0;
    for (int i = 0; i < smoothingRows; ++i) {
        const uint8_t r = smoothingRows_[i];
        ControlRow& row = table.rows[r];
        const int count = row.voiceCount > kVoices ? kVoices : row.voiceCount;
        bool changed = false;
        for (int k = 0; k < count; ++k) {
            double p = row.primary[k] * a + b * row.primarySmoothed[k];
            double v = row.velocity[k] * a + b * row.velocitySmoothed[k];
            // A non-finite value would stay in the smoothed copy for good: start again from the
            // raw value, or 0.
            if (!allFinite(p, v)) {
                p = finiteOrZero(row.primary[k]);
                v = finiteOrZero(row.velocity[k]);
            }
            changed |= (p != row.primarySmoothed[k]) | (v != row.velocitySmoothed[k]);
            row.primarySmoothed[k] = p;
            row.velocitySmoothed[k] = v;
        }
        if (changed || view.rows[r].type == Module_ControlNeuron) smoothingRows_[kept++] = r;
    }
    if (a > 0) smoothingRowCount_ = kept;
}

// ---------------------------------------------------------------------------------------------
// Stretches: oscillators whose inputs hold still are evaluated module by module, the rest sample
// by sample as always. Module by module gives the same samples because nothing such an
// oscillator reads changes within the stretch; its samples go to a history, from which the
// per-sample pass plays its row back where a module reads it and the output stage and level
// meters take them in their own order; and its jitter draws come from the engine's generator in
// the order of the per-sample pass.

int Engine::runStretch(EngineContext& ctx, int first, int count, double a, uint64_t every,
                       uint16_t rate) {
    // Whether a control sample falls within the stretch. Where an oscillator reads rows that
    // only control samples change, the stretch ends before it, so that they hold still.
    const uint64_t toControl = every > 0 ? (every - sampleCounter_ % every) % every : UINT64_MAX;
    bool controlInside = toControl < static_cast<uint64_t>(count);
    // (A view adopted within the cycle, offline, leaves the lists of the cycle's own view.)
    const bool planned = sourcesFit_ && current_ == &ctx.view;
    if (planned && controlInside && oscillatorsReadControlRows(ctx.view)) {
        if (toControl < 2) return 0;
        count = static_cast<int>(toControl);
        controlInside = false;
    }
    const int chosen = planned ? planStretch(ctx, count, a, controlInside) : 0;
    if (!chosen) {
        for (int s = 0; s < count; ++s) {
            ctx.sampleIndex = first + s;
            ctx.sampleCounter = sampleCounter_;
            if (every > 0 && sampleCounter_ % every == 0) controlSample(ctx, rate);
            perSample(ctx, a);
            ++sampleCounter_;
        }
        return count;
    }
    // With no other module drawing, the oscillators' draws are taken in the order of their
    // samples first, the oscillators computed, and the other modules then read their rows as
    // each sample left them. Otherwise the draws are taken at their places in the per-sample
    // pass and the oscillators computed afterwards.
    if (oscillatorsFirst_) {
        for (int s = 0; s < count; ++s)
            takeDrawsAt(ctx, s);
        evaluateChosen(ctx, count);
    }
    for (int s = 0; s < count; ++s) {
        ctx.sampleIndex = first + s;
        ctx.sampleCounter = sampleCounter_;
        if (every > 0 && sampleCounter_ % every == 0) controlSample(ctx, rate);
        stretchSample(ctx, a, s);
        ++sampleCounter_;
    }
    if (!oscillatorsFirst_) evaluateChosen(ctx, count);

    const std::vector<Module*>& oscs = ctx.view.byType[Module_AudioOsc];
    for (std::size_t idx = 0; idx < oscs.size() && idx < kStretchModules; ++idx) {
        if (!stretchSlot_[idx]) continue;
        const int r = oscs[idx]->outputRow;
        // The level meters see each sample's row as the sample before left it (a row played
        // back sample by sample was measured on the way).
        for (int e = 0; e < meterRowCount_ && !oscillatorsFirst_; ++e) {
            if (meterRows_[e] != r) continue;
            ControlRow& row = state_.table.rows[r];
            const double* h = &history_[static_cast<std::size_t>(r) * SampleChunk::kSlots];
            for (int s = 0; s < count; ++s) {
                const double v = std::fabs(s == 0 ? stretchBefore_[idx] : h[s - 1]);
                if (v > row.meterPeak[0]) row.meterPeak[0] = v;
            }
        }
        rowBlock_[r] = false;
        stretchSlot_[idx] = 0;
    }
    if (output_) routeStretch(first, count);
    for (int c = 0; c < capturedRowCount_; ++c)
        rowRouted_[capturedRows_[c]] = false;
    return count;
}

// The chosen oscillators, module by module, into the history; lone sines four at a time. With
// the oscillators first, a row that modules read or a meter measures is set back to its value
// before the stretch: the per-sample pass plays the history back into it.
void Engine::evaluateChosen(EngineContext& ctx, int count) {
    const std::vector<Module*>& oscs = ctx.view.byType[Module_AudioOsc];
    Module* lone[4];
    int loneSlots[4];
    double* loneOut[4];
    int lones = 0;
    for (std::size_t idx = 0; idx < oscs.size() && idx < kStretchModules; ++idx) {
        if (!stretchSlot_[idx]) continue;
        Module& m = *oscs[idx];
        stretchBefore_[idx] = state_.table.rows[m.outputRow].primary[0];
        double* h = &history_[static_cast<std::size_t>(m.outputRow) * SampleChunk::kSlots];
        if (!oscillatorStretchIsLoneSine(m)) {
            evaluateOscillatorStretch(m, ctx, draws_, stretchSlot_[idx] - 1, h, count);
            continue;
        }
        lone[lones] = &m;
        loneSlots[lones] = stretchSlot_[idx] - 1;
        loneOut[lones] = h;
        if (++lones == 4) {
            evaluateLoneSinesStretch(lone, loneSlots, lones, ctx, draws_, loneOut, count);
            lones = 0;
        }
    }
    if (lones) evaluateLoneSinesStretch(lone, loneSlots, lones, ctx, draws_, loneOut, count);
    for (int k = 0; k < replayCount_; ++k) {
        ControlRow& row = state_.table.rows[replayRows_[k]];
        row.primary[0] = row.primarySmoothed[0] = replayBefore_[k];
    }
}

// The draws the chosen oscillators make at the stretch's sample `s`, in list order.
void Engine::takeDrawsAt(EngineContext& ctx, int s) {
    const std::vector<Module*>& modules = ctx.view.byType[Module_AudioOsc];
    int idx = drawsAt_[s];
    drawsAt_[s] = -1;
    while (idx >= 0) {
        const int next = drawsNext_[idx];
        nextDraw_[idx] = takeOscillatorDraws(*modules[static_cast<std::size_t>(idx)], ctx.rand,
                                             draws_, stretchSlot_[idx] - 1, s, stretchLength_);
        noteDrawAt(nextDraw_[idx], idx);
        idx = next;
    }
}

// Whether an oscillator of few voices takes an input from a row that modules do not write at
// every sample.
bool Engine::oscillatorsReadControlRows(const EngineView& view) const {
    const std::vector<Module*>& oscs = view.byType[Module_AudioOsc];
    int begin = 0;
    for (std::size_t idx = 0; idx < oscs.size() && idx < kStretchModules; ++idx) {
        const int end = oscSlotEnd_[idx];
        if (oscs[idx]->stateAs<OscillatorState>().count <= kStretchVoices)
            for (int k = begin; k < end; ++k) {
                const int src = oscSlots_[k]->load(rlx);
                if (static_cast<unsigned>(src) < static_cast<unsigned>(kRowCount) &&
                    !rowPerSample_[src])
                    return true;
            }
        begin = end;
    }
    return false;
}

// Chooses the oscillators evaluated module by module (prepared, with their draw queues) and what
// the output stage sends; returns how many oscillators were chosen.
int Engine::planStretch(EngineContext& ctx, int count, double a, bool controlInside) {
    const EngineView& view = ctx.view;
    if (evaluators_ != &moduleEvaluators()) return 0;
    const std::vector<Module*>& oscs = view.byType[Module_AudioOsc];
    if (oscs.empty()) return 0;

    // Rows that may change within the stretch: those written at every sample, those still being
    // smoothed (a control rate of 0 holds them), and with a control sample inside it, all.
    if (controlInside)
        std::fill(std::begin(rowMoving_), std::end(rowMoving_), true);
    else
        std::copy(std::begin(rowPerSample_), std::end(rowPerSample_), rowMoving_);
    if (a > 0 && !controlInside)
        for (int i = 0; i < smoothingRowCount_; ++i)
            rowMoving_[smoothingRows_[i]] = true;
    std::fill(std::begin(rowRead_), std::end(rowRead_), false);
    for (int k = 0; k < readSlotCount_; ++k) {
        const int src = readSlots_[k]->load(rlx);
        if (static_cast<unsigned>(src) < static_cast<unsigned>(kRowCount)) rowRead_[src] = true;
    }

    int chosen = 0, voices = 0, begin = 0;
    stretchLength_ = count;
    for (std::size_t idx = 0; idx < oscs.size() && idx < kStretchModules; ++idx) {
        const int end = oscSlotEnd_[idx];
        Module& m = *oscs[idx];
        const int row = m.outputRow;
        bool steady = row >= 0 && row < kModuleRows;
        for (int k = begin; k < end && steady; ++k) {
            const int src = oscSlots_[k]->load(rlx);
            steady =
                !(static_cast<unsigned>(src) < static_cast<unsigned>(kRowCount) && rowMoving_[src]);
        }
        begin = end;
        int firstDraw = count;
        if (!steady || !prepareOscillatorStretch(m, ctx, count, firstDraw)) continue;
        // Each voice draws at most once per sample: the draws of the stretch fit. Many voices
        // cost the same either way (the voice loop is most of it): those stay sample by sample.
        const int v = m.stateAs<OscillatorState>().count;
        if (v > kStretchVoices) continue;
        if (static_cast<int64_t>(voices + v) * count > draws_.capacity()) continue;
        voices += v;
        stretchSlot_[idx] = static_cast<uint16_t>(++chosen);
        nextDraw_[idx] = firstDraw;
        rowBlock_[row] = true;
    }
    allOscillatorsChosen_ = chosen == static_cast<int>(oscs.size());
    const int queues = chosen; // draw queues by slot, those given up included
    // Another module drawing from the generator in the stretch (an oscillator left sample by
    // sample, a distortion, or a modulator at a control sample) takes its draws between theirs:
    // the chosen oscillators then take theirs in the per-sample pass, and only those whose rows
    // no module reads stay chosen.
    oscillatorsFirst_ = allOscillatorsChosen_ && view.byType[Module_AudioDistortion].empty() &&
                        !(controlInside && !view.byType[Module_ControlModulator].empty());
    replayCount_ = 0;
    for (std::size_t idx = 0; idx < oscs.size() && idx < kStretchModules; ++idx) {
        if (!stretchSlot_[idx]) continue;
        const int row = oscs[idx]->outputRow;
        if (!rowRead_[row] && (!oscillatorsFirst_ || !rowMetered(row))) continue;
        if (!oscillatorsFirst_) {
            stretchSlot_[idx] = 0;
            rowBlock_[row] = false;
            --chosen;
            allOscillatorsChosen_ = false;
            continue;
        }
        replayBefore_[replayCount_] = state_.table.rows[row].primary[0];
        replayRows_[replayCount_++] = static_cast<uint8_t>(row);
    }
    if (chosen == 0) return 0;
    if (allOscillatorsChosen_) {
        std::fill(drawsAt_, drawsAt_ + count + 1, int16_t{-1});
        for (int idx = static_cast<int>(oscs.size()) - 1; idx >= 0; --idx)
            noteDrawAt(nextDraw_[idx], idx);
    }
    draws_.reset(queues);

    routeCount_ = 0;
    capturedRowCount_ = 0;
    if (!output_) return chosen;
    for (int e = 0; e < outputSourceCount_; ++e) {
        const OutputSource src = outputSources_[e];
        int row, c;
        if (src.terminal) {
            const AudioOutputControls out{*view.terminals[src.index].module};
            row = out.inputModule().source.load(rlx);
            c = out.outputDeviceId().code.load(rlx);
            if (row < 0 || row >= kRowCount || c == kNoDevice) continue;
        } else {
            c = src.code->load(rlx);
            if (c == kNoDevice) continue;
            row = src.index;
        }
        routes_[routeCount_++] = {c, row};
        if (!rowBlock_[row] && !rowRouted_[row]) {
            rowRouted_[row] = true;
            capturedRows_[capturedRowCount_++] = static_cast<uint8_t>(row);
        }
    }
    return chosen;
}

bool Engine::rowMetered(int row) const {
    return std::find(meterRows_, meterRows_ + meterRowCount_, row) != meterRows_ + meterRowCount_;
}

// Files oscillator `idx` under the stretch's sample of its next draw, in list order.
void Engine::noteDrawAt(int sample, int idx) {
    if (sample >= stretchLength_) return;
    int16_t* at = &drawsAt_[sample];
    while (*at >= 0 && *at < idx)
        at = &drawsNext_[*at];
    drawsNext_[idx] = *at;
    *at = static_cast<int16_t>(idx);
}

// One sample of a stretch: as perSample, but the chosen oscillators only take their draws, and
// the output stage's rows are kept in the history instead of being sent.
void Engine::stretchSample(EngineContext& ctx, double a, int s) {
    const EngineView& view = ctx.view;
    ControlTable& table = state_.table;
    // Rows of oscillators computed afterwards are measured from their history then.
    smoothAndMeter(view, a, !oscillatorsFirst_);

    const Evaluators& ev = *evaluators_;
    for (int type : kPerSampleOrder) {
        const EvaluateFn fn = ev.perSample[type];
        if (!fn) continue;
        const std::vector<Module*>& modules = view.byType[type];
        if (type != Module_AudioOsc) {
            for (Module* m : modules)
                fn(*m, ctx);
            continue;
        }
        // Chosen oscillators: their rows played back from the history, or only their draws, at
        // the samples where they reach their jitter targets.
        if (oscillatorsFirst_) {
            const std::size_t at = static_cast<std::size_t>(s);
            for (int k = 0; k < replayCount_; ++k) {
                ControlRow& row = table.rows[replayRows_[k]];
                row.primary[0] = row.primarySmoothed[0] =
                    history_[static_cast<std::size_t>(replayRows_[k]) * SampleChunk::kSlots + at];
            }
            continue;
        }
        if (allOscillatorsChosen_) {
            takeDrawsAt(ctx, s);
            continue;
        }
        for (std::size_t idx = 0; idx < modules.size(); ++idx) {
            if (idx >= kStretchModules || !stretchSlot_[idx]) {
                fn(*modules[idx], ctx);
                continue;
            }
            if (nextDraw_[idx] == s)
                nextDraw_[idx] = takeOscillatorDraws(*modules[idx], ctx.rand, draws_,
                                                     stretchSlot_[idx] - 1, s, stretchLength_);
        }
    }

    for (int c = 0; c < capturedRowCount_; ++c) {
        const int r = capturedRows_[c];
        history_[static_cast<std::size_t>(r) * SampleChunk::kSlots + s] =
            table.rows[r].primarySmoothed[0];
    }
}

// The stretch's samples to the buses, source after source in the per-sample pass's order, so
// that every bus sample is summed in the same order.
void Engine::routeStretch(int first, int count) {
    static constexpr double kSilence[SampleChunk::kSlots] = {};
    const bool silent = state_.settings.makeNoSound.load(rlx);
    // finiteOrZero of every sample, two at a time: x − x is 0 exactly when x is finite.
    using Pair = double __attribute__((vector_size(16)));
    using PairMask = long long __attribute__((vector_size(16)));
    for (int c = 0; c < routeCount_; ++c) {
        double* h = &history_[static_cast<std::size_t>(routes_[c].row) * SampleChunk::kSlots];
        int s = 0;
        for (; s + 2 <= count; s += 2) {
            Pair v;
            std::memcpy(&v, h + s, sizeof v);
            v = (Pair)((PairMask)v & (PairMask)(v - v == 0.0));
            std::memcpy(h + s, &v, sizeof v);
        }
        if (s < count) h[s] = finiteOrZero(h[s]);
    }
    for (int e = 0; e < routeCount_; ++e) {
        const Route route = routes_[e];
        const double* h = &history_[static_cast<std::size_t>(route.row) * SampleChunk::kSlots];
        output_->addSamplesToBus(first, count, route.code, silent ? kSilence : h);
    }
}

void Engine::endOfCycle(EngineContext& ctx) {
    // Compact windows show levels: once per cycle is often enough for a 33 ms display.
    for (const std::vector<Module*>& modules : ctx.view.byType)
        for (Module* m : modules)
            if (m->showState.load(rlx) == 5) publishLevels(*m, state_.table);
    if (input_) input_->endOfCycle(state_, ctx.view);
    if (!output_) return;
    output_->beginCycleAndFlush(state_);
    const Evaluators& ev = *evaluators_;
    if (const EvaluateFn fn = ev.endOfCycle[Module_AudioOutputAnalyser])
        for (Module* m : ctx.view.byType[Module_AudioOutputAnalyser])
            fn(*m, ctx);
    output_->endCycle();
}

} // namespace kv

#pragma once
// The engine: one cycle of module evaluation (the core), the real-time driver (engine and ticker
// threads) and the offline driver (cycles on a simulated clock).
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "engine/engine_state.h"
#include "engine/io.h"
#include "engine/realtime.h"
#include "engine/stretch_draws.h"
#include "modules/engine_view.h"

namespace kv {

class Module;

/// Milliseconds for the engine's cycle-duration measure.
class Clock {
  public:
    virtual ~Clock() = default;
    /// Milliseconds since some fixed start (monotonic). Engine thread.
    virtual double nowMs() = 0;
};

/// Milliseconds on the monotonic clock since process start.
class MonotonicClock final : public Clock {
  public:
    double nowMs() override;
};

/// What a module evaluation sees besides its module. Engine thread.
struct EngineContext {
    EngineState& state;
    ControlTable& table;
    Rand15& rand;
    const EngineView& view;
    uint64_t sampleCounter = 0;        // samples computed since the engine thread started
    uint64_t controlSampleCounter = 0; // control samples since start
    int sampleIndex = 0;               // index within the current chunk
    int chunkLength = 0;               // samples in the current chunk (96 + adjustment)
    double controlRate = 0;            // actual control rate R (Hz), 0 when none
    double msPerControlSample = 0;     // 1000 / R
    OutputStage* output = nullptr;     // for read-back by output analysers
    MouseRows* mouse = nullptr;        // cursor and desktop for sensors; may be null
    InputStage* input = nullptr;       // MIDI tables for the MIDI modules; may be null
};

/// Evaluates one module at a control sample or at every sample. Engine thread; part of the
/// real-time cycle, so it must neither allocate nor lock nor wait.
using EvaluateFn = void (*)(Module&, EngineContext&) KV_NONBLOCKING;

/// Per-type evaluation functions (null: the type does nothing at that point). Defined by the
/// algorithm families.
struct Evaluators {
    EvaluateFn control[35] = {};    // run at control samples
    EvaluateFn perSample[35] = {};  // run at every sample
    EvaluateFn endOfCycle[35] = {}; // run between the flush and the end of the output cycle
};
const Evaluators& moduleEvaluators();

class Engine final : public ViewSink {
  public:
    /// Any of the stages may be null (nothing is called then). User-interface thread.
    Engine(EngineState& state, OutputStage* output = nullptr, MouseRows* mouse = nullptr,
           InputStage* input = nullptr);
    ~Engine() override;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    EngineState& state() { return state_; }
    /// Replaces the evaluation table (tests); user-interface thread, engine stopped.
    void setEvaluators(const Evaluators& e) { evaluators_ = &e; }
    /// Where the sequence's recording reads held MIDI notes (null: recording reads nothing).
    /// User-interface thread, engine stopped.

    // --- ViewSink (user-interface thread) -----------------------------------------------------
    void publish(const EngineView* view) override;
    bool waitUntilAdopted(uint64_t sequence, int timeoutMs) override;
    bool quiesce() override;
    void resume(bool wasRunning) override;
    void clearLegacyPatch() override;

    // --- Real-time driver (user-interface thread) ---------------------------------------------
    /// Clears the stop flag and starts the ticker and engine threads. Does nothing if the engine
    /// thread is already active.
    void start();
    /// Sets the stop flag; the threads end by themselves within one cycle plus 10 ms.
    void stop();
    /// Stop and wait (polling every 1 ms) until the engine thread has left its loop; joins.
    void stopAndWait();
    bool running() const { return state_.runningFlag.load(std::memory_order_acquire); }
    /// Hook called at StartEngine (the mouse hook is (re)installed there). User-interface thread.
    std::function<void()> onStart;
    /// Called on the engine thread when it starts: the platform may raise its priority there.
    std::function<void(bool realtime)> onEngineThreadStart;
    /// Called on the ticker thread when it starts (the ticker always asks for real-time priority).
    std::function<void()> onTickerThreadStart;

    // --- Offline driver (the calling thread acts as the engine thread) ------------------------
    /// Resets the per-run state as the engine thread does when it starts; `clock` (may be null)
    /// is the clock later passed to runCycle.
    void beginOffline(Clock* clock = nullptr);
    /// Runs one whole cycle; `clock` (may be null) serves the cycle-duration measure. Returns the
    /// number of samples computed. The engine thread's real-time path: it never allocates, locks
    /// or waits.
    int runCycle(Clock* clock) KV_NONBLOCKING;
    /// Closes every device, as the engine thread does on exit.
    void endOffline();

    /// Samples computed since the run started (engine thread / offline caller).
    uint64_t sampleCounter() const { return sampleCounter_; }
    uint64_t controlSampleCounter() const { return controlSampleCounter_; }
    /// Called after the per-sample part of every sample (tests). While set, every sample is
    /// evaluated on its own. Engine thread.
    std::function<void(uint64_t sample)> afterSample;
    /// Offline driver: called after sample `sample` when it is the sample named by the previous
    /// call's return value (or by setNextEventSample); returns the next such sample
    /// (ControlSampleTap::kNoSample: none). Script events, probes and input deliveries happen
    /// there; the samples in between may be evaluated in blocks. Engine thread.
    std::function<uint64_t(uint64_t sample)> afterEvent;
    /// The sample after which afterEvent is next called. Engine thread or engine stopped.
    void setNextEventSample(uint64_t sample) { nextEvent_ = sample; }
    /// Block evaluation (the default) evaluates modules whose inputs hold still over a stretch of
    /// samples module by module, with the same samples; off, every sample is evaluated module
    /// after module, the reference. User-interface thread, engine stopped.
    void setBlockEvaluation(bool on) { blockEvaluation_ = on; }
    bool blockEvaluation() const { return blockEvaluation_; }
    /// Attaches (or, with null, detaches) the tap called at every control sample. Any thread;
    /// the tap must outlive its use: detach it and let a cycle pass (or stop the engine) before
    /// destroying it.
    void setControlSampleTap(ControlSampleTap* tap) { tap_.store(tap, std::memory_order_release); }

  private:
    void threadMain();
    void tickerMain();
    void resetRun(Clock& clock);
    void adoptView();
    void applyRowChanges(const EngineView& v);
    void controlSample(EngineContext& ctx, uint16_t rate);
    void resetSmoothingRows(const EngineView& view);
    struct SnapshotRow;
    void reassociate(ControlRow& row, const SnapshotRow& snap);
    void perSample(EngineContext& ctx, double smoothing);
    void smoothStep(const EngineView& view, double a);
    void smoothAndMeter(const EngineView& view, double a, bool skipTaken);
    int runStretch(EngineContext& ctx, int first, int count, double smoothing, uint64_t every,
                   uint16_t rate);
    bool oscillatorsReadControlRows(const EngineView& view) const;
    void evaluateChosen(EngineContext& ctx, int count);
    void takeDrawsAt(EngineContext& ctx, int s);
    bool rowMetered(int row) const;
    int planStretch(EngineContext& ctx, int count, double smoothing, bool controlInside);
    void stretchSample(EngineContext& ctx, double smoothing, int s);
    void routeStretch(int first, int count);
    void takeSourceSlots(const EngineView& v);
    void noteDrawAt(int sample, int idx);
    void endOfCycle(EngineContext& ctx);
    void joinThreads();

    EngineState& state_;
    const Evaluators* evaluators_;
    OutputStage* output_;
    MouseRows* mouse_;
    InputStage* input_;

    std::atomic<ControlSampleTap*> tap_{nullptr};

    // View hand-over.
    std::atomic<const EngineView*> pending_{nullptr};
    std::atomic<uint64_t> adopted_{0};
    const EngineView* current_ = nullptr;
    EngineView empty_;
    uint32_t appliedGeneration_[kModuleRows] = {};
    bool threadActive_ = false; // user-interface thread: an engine thread may own the table

    // Per-run state (engine thread).
    uint64_t sampleCounter_ = 0;
    uint64_t controlSampleCounter_ = 0;
    double lastClockMs_ = 0;
    // Voice count and note ids of each control row at the start of a control sample. The smoothed
    // values need no copy: modules never write them, so they are still in the row afterwards.
    struct SnapshotRow {
        uint8_t voiceCount = 0;
        uint8_t noteId[kVoices];
    };
    // The smoothed values of one row before re-association reorders them.
    double oldPrimarySmoothed_[kVoices];
    double oldVelocitySmoothed_[kVoices];
    SnapshotRow snapshot_[kModuleRows];
    // Control rows still moving towards their raw values since the last control sample.
    uint8_t smoothingRows_[kModuleRows] = {};
    int smoothingRowCount_ = 0;
    // Output stage work list of the current view: index j, and whether it is the terminal entry
    // (true) or the row (false); in the order j ascending, terminal before row.
    // A row's device choice is looked up here once per view, not at every sample.
    struct OutputSource {
        const std::atomic<int>* code; // the row's device choice; null for a terminal
        uint8_t index;
        bool terminal;
    };
    OutputSource outputSources_[2 * kModuleRows];
    int outputSourceCount_ = 0;
    // Audio rows whose module shows its levels, looked up once per cycle.
    uint8_t meterRows_[kModuleRows] = {};
    int meterRowCount_ = 0;

    // Block evaluation (engine thread). Oscillators (by place in the view's list) evaluated module
    // by module in the current stretch: their draw slot + 1, or 0.
    bool blockEvaluation_ = true;
    uint64_t nextEvent_ = 0;
    static constexpr int kStretchModules = 256;
    static constexpr int kStretchDraws = 1 << 16;
    static constexpr int kStretchVoices = 8; // an oscillator's voices evaluated in stretches
    static constexpr int kSourceSlots = 8192;
    StretchDraws draws_{kStretchDraws, kStretchModules};
    uint16_t stretchSlot_[kStretchModules] = {};
    // The stretch's sample of each chosen oscillator's next jitter draw.
    int nextDraw_[kStretchModules] = {};
    double stretchBefore_[kStretchModules] = {}; // the row before the stretch
    // When every oscillator was chosen: those drawing at each sample of the stretch, in list
    // order (first index, then the next of each; −1 ends).
    int16_t drawsAt_[SampleChunk::kSlots + 1] = {};
    int16_t drawsNext_[kStretchModules] = {};
    int stretchLength_ = 0;
    bool allOscillatorsChosen_ = false;
    // Chosen oscillators computed before the per-sample pass, which plays back the rows that
    // modules read or meters measure (with their values before the stretch).
    bool oscillatorsFirst_ = false;
    uint8_t replayRows_[kModuleRows] = {};
    double replayBefore_[kModuleRows] = {};
    int replayCount_ = 0;
    // Every row selector of the view's modules: which rows modules read (the audio outputs'
    // inputs apart: the output stage reads those), and each oscillator's own in [begin, end).
    const std::atomic<int>* readSlots_[kSourceSlots] = {};
    int readSlotCount_ = 0;
    const std::atomic<int>* oscSlots_[kSourceSlots] = {};
    uint16_t oscSlotEnd_[kStretchModules] = {};
    bool sourcesFit_ = false;
    // Rows written by a module at every sample (audio rows, the neuron's) in the current view.
    bool rowPerSample_[kRowCount] = {};
    // Per stretch: rows that may change within it, rows some module reads, rows evaluated module
    // by module, and rows the output stage sends (with their values of each sample).
    bool rowMoving_[kRowCount] = {};
    bool rowRead_[kRowCount] = {};
    bool rowBlock_[kRowCount] = {};
    bool rowRouted_[kRowCount] = {};
    uint8_t capturedRows_[kRowCount] = {};
    int capturedRowCount_ = 0;
    struct Route {
        int code;
        int row;
    };
    Route routes_[2 * kModuleRows];
    int routeCount_ = 0;
    std::vector<double> history_; // kRowCount × SampleChunk::kSlots

    // Threads.
    std::thread engineThread_;
    std::thread tickerThread_;
    struct TickEvent;
    TickEvent* tick_;
    MonotonicClock clock_;
};

} // namespace kv

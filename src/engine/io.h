#pragma once
// What the engine calls outside itself: the output stage (buses and output devices), the mouse rows
// and the input devices. Implementations live in devices/ and mouse/; the engine owns none of them.
#include <cstdint>

namespace kv {

struct EngineState;
struct ControlTable;
struct EngineView;

/// Samples handed from the engine to a device for one cycle: 192 slots in engine units
/// (±1024 = full scale), one spare, and the length byte (valid samples − 96).
struct SampleChunk {
    static constexpr int kSlots = 192;
    double samples[kSlots + 1] = {};
    int8_t lengthByte = 0;
    int length() const { return kBaseChunkLength + lengthByte; }
    static constexpr int kBaseChunkLength = 96;
};

/// The output buses and the output device manager, as the engine thread sees them.
/// Every function is called on the engine thread only.
class OutputStage {
  public:
    virtual ~OutputStage() = default;
    /// Engine thread started: bus target adjustments back to 0.
    virtual void engineStarted() = 0;
    /// Start of a cycle: every bus zeroed, given `chunkAdjustment` (frames relative to 96), unused.
    virtual void startCycle(int8_t chunkAdjustment) = 0;
    /// Adds `value` (engine units) at sample `index` to the bus of output device ID `code`
    /// (never −555).
    virtual void addToBus(int index, int code, double value) = 0;
    /// addToBus for samples first..first+count−1 in turn: values[0..count−1].
    virtual void addSamplesToBus(int first, int count, int code, const double* values) {
        for (int s = 0; s < count; ++s)
            addToBus(first + s, code, values[s]);
    }
    /// End of a cycle: output BeginCycle, then FlushBuses, which sets the engine's chunk
    /// adjustment and smoothed latency in `state`.
    virtual void beginCycleAndFlush(EngineState& state) = 0;
    /// What device `code` received in this cycle (for output analysers); false if not open.
    virtual bool readBack(int code, SampleChunk& out) = 0;
    /// End of a cycle: devices not written in it are closed.
    virtual void endCycle() = 0;
    /// Engine thread exit: every device closed.
    virtual void closeAll() = 0;
};

/// The mouse source rows. Engine thread.
class MouseRows {
  public:
    virtual ~MouseRows() = default;
    /// First thing at every control sample: rows 128..154 take the current smoothed metrics.
    /// `rate` is the control-data sample rate as an unsigned 16-bit value.
    virtual void updateMouseRows(ControlTable& table, uint16_t rate) = 0;

    /// Screen rectangle in pixels, edges inclusive.
    struct Rect {
        long left = 0, top = 0, right = 1919, bottom = 1079;
    };
    /// The cursor position in screen pixels, as the mouse layer last read it. Engine thread.
    virtual void cursorPosition(long& x, long& y) { x = y = 0; }
    /// The desktop rectangle (the virtual screen when several monitors are present). Engine
    /// thread.
    virtual Rect desktop() { return {}; }
    /// The main window's client origin in screen pixels (module positions are relative to it).
    /// Engine thread.
    virtual void clientOrigin(long& x, long& y) { x = y = 0; }
};

/// Sees the engine consume its inputs at every control sample (a gesture tape records or plays
/// there). Engine thread; must not allocate, lock for long or wait. `sample`: the engine's sample
/// counter at this control sample.
class ControlSampleTap {
  public:
    virtual ~ControlSampleTap() = default;
    /// First thing at the control sample, before the mouse rows are updated.
    virtual void beforeMouseRows(uint64_t /*sample*/) {}
    /// After the mouse rows are updated, before any module reads its inputs.
    virtual void controlSample(uint64_t sample) = 0;

    /// No sample: the tap needs no call before a particular sample.
    static constexpr uint64_t kNoSample = ~uint64_t{0};
    /// Before the first sample of every cycle, and before the sample that the previous call
    /// returned when it falls within the cycle; before the engine reads the control rate for the
    /// samples that follow. Returns the next sample before which to be called (kNoSample: none).
    virtual uint64_t beforeSample(uint64_t /*sample*/) { return kNoSample; }
    /// The control rate (per second) the engine uses from `sample` on: told at the start of
    /// every cycle and whenever the rate changes within one.
    virtual void rateTaken(uint64_t /*sample*/, double /*rate*/) {}
};

/// Sound-card and MIDI inputs, as the engine sees them. Every function is called on the engine
/// thread; the defaults stand for a program without inputs.
class InputStage {
  public:
    virtual ~InputStage() = default;
    /// After the samples of a cycle: audio inputs read into their modules' FIFOs, then the MIDI
    /// and sound-card devices that the modules of `view` name are kept open (or asked for).
    virtual void endOfCycle(EngineState&, const EngineView&) {}
    /// Engine thread exit: every input device closed.
    virtual void closeAll() {}
    /// MIDI device `device`'s note table (16 channels × 128 keys, velocity, 0 = off); false when
    /// the device is not open.
    virtual bool copyNotes(int /*device*/, uint8_t* /*out2048*/) { return false; }
    /// The last value (0..127) of controller index `index` mod 65536; 0 when not open.
    virtual float getController(int /*device*/, int /*index*/) { return 0.0f; }
    /// The controller index written last; −1 when none or not open.
    virtual int getLastControllerIndex(int /*device*/) { return -1; }
};

} // namespace kv

#pragma once
// A module instance: its type, name, the live values of its controls (16 slots per control kind),
// its output rows and its per-type working storage.
//
// Threads: the user-interface thread creates, names and destroys modules and writes live values;
// the engine thread reads live values (relaxed atomics) and owns the working storage.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modules/catalogue.h"
#include "modules/control_table.h"
#include "modules/published_levels.h"

namespace kv {

/// Working storage of one module type (delay lines, voice tables, ...). Allocated zero-filled when
/// the module is created, used only by the engine thread, released with the module.
struct ModuleState {
    virtual ~ModuleState() = default;
};

/// Creates the working storage for `type`, or nullptr when the type needs none.
/// Throws std::bad_alloc when memory runs out. Defined by the engine's algorithm families.
std::unique_ptr<ModuleState> makeModuleState(int type);

struct InputSliderSlot {
    const ControlDef* def = nullptr; // null: the module has no such control
    std::atomic<int> source{kSourceNone};
    std::atomic<double> manual{0.0};                // in the slider's unit
    std::atomic<double> sensitivity{100.0};         // percent
    std::atomic<double> velocitySensitivity{100.0}; // percent
    std::atomic<bool> option{false};                // the "long interval mode" box
    std::string unitText; // resolved once at creation (user-interface thread)
    std::string noneText;
};

struct SimpleSliderSlot {
    const ControlDef* def = nullptr;
    std::atomic<double> value{0.0};
};

/// SoundOutput, SoundInput and MIDIInput: a device code (−555 = none).
struct DeviceSlot {
    const ControlDef* def = nullptr;
    std::atomic<int> code{-555};
};

struct ControlInputSlot {
    const ControlDef* def = nullptr;
    std::atomic<int> source{-1};
};

struct FrequencySlot {
    const ControlDef* def = nullptr;
    std::atomic<int> source{-1};
    std::atomic<double> base{0.0};       // Hz
    std::atomic<double> multiplier{0.0}; // factor
    std::atomic<double> sensitivity{100.0};
};

struct CheckBoxSlot {
    const ControlDef* def = nullptr;
    std::atomic<bool> state{false};
};

struct WaveWriterSlot {
    const ControlDef* def = nullptr;
    std::atomic<bool> append{false};
    std::atomic<bool> recording{false};
    /// File path; user-interface thread (and the recorder under its own lock).
    std::string path;
};

struct AnalyserSlot {
    const ControlDef* def = nullptr;
    std::atomic<uint8_t> mode{255}; // 0 analyser, 1 oscilloscope, 255 none
};

struct SensorSlot {
    const ControlDef* def = nullptr;
    std::atomic<double> value{0.0}; // the angle
};

struct FlipperSlot {
    const ControlDef* def = nullptr;
    std::atomic<double> upper{0.0};
    std::atomic<double> lower{0.0};
};

/// ModulationEffect and OutputMode.
struct ChoiceSlot {
    const ControlDef* def = nullptr;
    std::atomic<uint8_t> choice{255}; // index into the choice list, 255 = none
};

/// A MIDI controller learnt by a MIDI-slider module.
struct MidiControllerEntry {
    std::atomic<int> controller{-1}; // MIDI controller number, −1 = not assigned
    std::atomic<bool> reversed{false};
    /// Last controller value read (0..127): the engine writes it, the window's list shows it.
    std::atomic<double> value{0.0};
};

/// A lock for short hand-overs between the engine and other threads. The engine only try-locks
/// it, and neither that nor its unlock ever enters the kernel (unlocking a std::mutex may wake a
/// waiter with a system call). Other threads spin, yielding, while the lock is held: every holder
/// keeps it only for a copy or a parse of a short text. Usable with std::lock_guard.
class HandoverMutex {
  public:
    /// Any thread; the engine's only way in.
    bool try_lock() noexcept {
        return !locked_.load(std::memory_order_relaxed) &&
               !locked_.exchange(true, std::memory_order_acquire);
    }
    /// Any thread but the engine's.
    void lock() noexcept {
        while (!try_lock())
            std::this_thread::yield();
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> locked_{false};
};

/// Text shared between the user-interface thread and the engine (sequence text). The engine
/// only try-locks; everyone else locks `mutex` around every access.
struct TextHandover {
    HandoverMutex mutex;
    std::string text;
    /// Set by a writer that replaced `text` without counting `version` (patch loading); the
    /// engine counts it as one more version.
    bool changed = false;
    /// Edit counter: one more at every change of `text`.
    uint64_t version = 0;
    /// Note names recorded by the engine, waiting to be appended to `text`.
    std::string pendingRecord;

    /// Replaces the text as an edit does. Any thread but the engine's.
    void setText(std::string newText) {
        std::lock_guard lock(mutex);
        text = std::move(newText);
        ++version;
    }
    /// Appends the recorded notes to the text (the window's refresh does this); true when there
    /// were any. Any thread but the engine's.
    bool takePendingRecord() {
        std::lock_guard lock(mutex);
        if (pendingRecord.empty()) return false;
        text += pendingRecord;
        pendingRecord.clear();
        ++version;
        return true;
    }
};

class Module {
  public:
    /// User-interface thread. Live values start at the definition's defaults.
    explicit Module(int type);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    int type() const { return type_; }
    uint8_t outputKind() const { return outputKind_; }
    const ModuleTypeInfo& info() const { return typeInfo(type_); }
    const std::vector<ControlDef>& controls() const { return *controls_; }

    // Name and configuration text: user-interface thread only.
    std::string name;
    std::string configText;

    /// Centre of the module window in the main window's client coordinates (pixels).
    long positionX = 0;
    long positionY = 0;
    /// The sensor point in the main window's client coordinates (pixels, y downwards), set by the
    /// module's window from its real geometry whenever it is built or moved; kNoSensorPoint until
    /// a window has set it. User-interface thread writes, engine thread reads.
    static constexpr long kNoSensorPoint = -2147483647L - 1;
    std::atomic<long> sensorPointX{kNoSensorPoint};
    std::atomic<long> sensorPointY{kNoSensorPoint};
    /// Window show state (10 at creation, 5 = shown with level meters).
    std::atomic<uint8_t> showState{10};
    /// First output row (or terminal entry), second output row or −1. Fixed once registered.
    int outputRow = -1;
    int secondOutputRow = -1;

    // Slots per kind, index 0..15. A slot whose def is null is not part of this module.
    std::array<InputSliderSlot, kSlotsPerKind> inputSliders;
    std::array<SimpleSliderSlot, kSlotsPerKind> simpleSliders;
    std::array<DeviceSlot, kSlotsPerKind> soundOutputs;
    std::array<DeviceSlot, kSlotsPerKind> soundInputs;
    std::array<ControlInputSlot, kSlotsPerKind> controlInputs;
    std::array<FrequencySlot, kSlotsPerKind> frequencies;
    std::array<CheckBoxSlot, kSlotsPerKind> checkBoxes;
    std::array<DeviceSlot, kSlotsPerKind> midiInputs;
    std::array<WaveWriterSlot, kSlotsPerKind> waveWriters;
    std::array<AnalyserSlot, kSlotsPerKind> analysers;
    std::array<SensorSlot, kSlotsPerKind> sensors;
    std::array<FlipperSlot, kSlotsPerKind> flippers;
    std::array<ChoiceSlot, kSlotsPerKind> modulationEffects;
    std::array<ChoiceSlot, kSlotsPerKind> outputModes;
    /// MIDISliders and Sequence are module-wide.
    bool hasMidiSliders = false;
    int midiSlidersDeviceSlot = 0;
    std::array<MidiControllerEntry, 128> midiControllers;
    bool hasSequence = false;
    int sequenceDeviceSlot = 0;
    TextHandover sequence;

    /// Levels for the window's compact bars: the engine publishes, the window reads and takes.
    /// Mutable: taking the accumulators is how a window reads them, even through a const module.
    mutable PublishedLevels levels;

    /// Working storage (engine thread); null for types without any.
    std::unique_ptr<ModuleState> state;
    template <class T> T& stateAs() { return static_cast<T&>(*state); }

    /// Sets every live value back to the definition's default (user-interface thread).
    /// `forLoading`: option boxes of the note-envelope and sequence types take the definition's
    /// value instead of starting cleared.
    void resetValues(bool forLoading);

    /// Finds the control with this configuration key (any of its keys, ASCII case-insensitive).
    const ControlDef* findControlByKey(std::string_view key) const;

  private:
    int type_;
    uint8_t outputKind_;
    const std::vector<ControlDef>* controls_;
};

/// Text of a definition field given by id or literally, in the current language.
std::string resolveText(const IdOrText& t);

} // namespace kv

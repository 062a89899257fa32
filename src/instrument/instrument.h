#pragma once
// The instrument: the engine and its state, the modules, the sound outputs and inputs, MIDI,
// the mouse, the wave writers and the gesture tape, wired together in one place. It is given
// its clock and its devices: real time with the sound system's devices and the desktop's mouse
// for the desktop program, or a simulated clock with the capture and scripted devices for an
// offline run. No window here: what a user should read goes to `onMessage`, and the owner keeps
// its views (module windows) in step through `beforeModulesChange` and `afterModulesChange`.
//
// Threads: everything here is called on the user-interface thread (an offline run's only
// thread), unless a function says otherwise. The engine, device and mouse threads it starts
// only read and write the shared state through the parts' own atomics and queues.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devices/audio_in.h"
#include "devices/audio_out.h"
#include "devices/gesture_tape.h"
#include "devices/midi_in.h"
#include "devices/tape_edits.h"
#include "instrument/patch_loading.h"
#include "modules/config_file.h"
#include "mouse/mouse_backend.h"

namespace kv {

class Clock;
struct EngineState;
class Engine;
class ModuleRegistry;
class OutputDeviceManager;
class DeviceOutputStage;
class MidiInputManager;
class WaveInputManager;
class DeviceInputStage;
class WaveWriterList;
class MouseInput;
class MouseSampler;
class MouseSamplerThread;
class GestureTapeWriter;
class GestureTapeRecorder;
class GestureTapePlayer;
class TapeAudioWriter;
class TapeAudioRecorder;
class ModuleEdits;

/// What an instrument plays with; it takes ownership of the devices.
struct InstrumentBackends {
    std::unique_ptr<platform::AudioOut> audioOut;
    std::unique_ptr<platform::MidiIn> midiIn;
    std::unique_ptr<platform::AudioIn> audioIn;
    /// The mouse the sampler reads. Null: none (the mouse rows rest).
    std::unique_ptr<platform::MouseBackend> mouse;
    /// The simulated clock of an offline run: devices are fed and serviced between cycles by the
    /// caller, and the mouse is sampled by the caller. Null: real time, with the device threads,
    /// the engine's threads and the mouse status thread.
    Clock* simulatedClock = nullptr;
    /// Real time: raises the priority of the thread it is called on (device feeders and the
    /// ticker with `realtime` true, the engine thread as its settings say). False when real-time
    /// scheduling was asked for but refused; `refused`, when not null, then says so. May be
    /// empty.
    std::function<bool(bool realtime, std::string* refused)> raisePriority;
    /// Real time: told (on the engine thread) why the engine thread was refused real-time
    /// scheduling; the feeders and the ticker are not told. May be empty: nobody is told.
    std::function<void(const std::string&)> onPriorityRefused;
};

/// The sound system's devices and the desktop's mouse for a real-time instrument. `api` names
/// the sound system ("null": silence, with quiet scripted MIDI and sound-card inputs);
/// `mouseBackend` is the preference; `desktopMouse` false leaves the mouse out. `unavailable` says
/// why the mouse cannot be heard, when it cannot.
InstrumentBackends liveBackends(const std::string& api, const std::string& mouseBackend,
                                bool desktopMouse, std::string& unavailable);
/// The same around a sound output the caller made (and checked for devices) already.
InstrumentBackends liveBackends(std::unique_ptr<platform::AudioOut> audioOut,
                                const std::string& api, const std::string& mouseBackend,
                                bool desktopMouse, std::string& unavailable);

/// A gesture tape read and checked for playing live (see Instrument::readTape).
struct TapeReplay {
    std::string patchText;
    std::vector<TapeEvent> events;
    uint64_t endSample = 0;
    platform::DesktopRect desktop{0, 0, 1919, 1079};
    double rate = 0;
    std::vector<TapeSetLine> sets;
    /// The recorded sound-card input and its reads (pointing into `input`).
    std::vector<std::shared_ptr<std::vector<int16_t>>> input;
    std::vector<TapeInputDelivery> deliveries;
};

/// How a take ended (Instrument::stopTake): what the user should be told.
struct TakeEnd {
    bool saved = false;
    std::string error; // why the tape could not be finished
    bool audioSaved = true;
    std::string audioError; // why its sound-card input could not be saved
    std::vector<std::string> audioFiles;
    uint64_t lost = 0; // events the tape missed
};

class Instrument {
  public:
    /// Assembles the instrument on `backends`. `state`, when given, is the program's engine
    /// state (its settings applied by the caller); else the instrument keeps its own.
    explicit Instrument(InstrumentBackends backends, EngineState* state = nullptr);
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // ---- Parts -----------------------------------------------------------------------------
    EngineState& state() { return *state_; }
    Engine& engine() { return *engine_; }
    ModuleRegistry& registry() { return *registry_; }
    platform::AudioOut& audioOut() { return *audioOut_; }
    OutputDeviceManager& outputs() { return *outputs_; }
    MidiInputManager& midiInputs() { return *midiInputs_; }
    WaveInputManager& waveInputs() { return *waveInputs_; }
    DeviceInputStage& inputStage() { return *inputStage_; }
    WaveWriterList& waveWriters() { return *writers_; }
    MouseInput& mouse() { return *mouse_; }
    MouseSampler& sampler() { return *sampler_; }
    /// The mouse backend, null when there is none.
    platform::MouseBackend* pointer() { return pointer_.get(); }
    /// The mouse status thread (real time with a mouse), else null.
    MouseSamplerThread* samplerThread() { return sampling_.get(); }
    Clock* simulatedClock() const { return clock_; }
    GestureTapeWriter& tapeWriter() { return *tapeWriter_; }
    const GestureTapeWriter& tapeWriter() const { return *tapeWriter_; }
    GestureTapeRecorder& tapeRecorder() { return *tapeRecorder_; }
    GestureTapePlayer& tapePlayer() { return *tapePlayer_; }
    /// The module windows' edits, held for the engine during a take.
    ModuleEdits& edits() { return *edits_; }

    /// Receives what a user should read (a mouse hook that cannot be installed, a recording that
    /// cannot start). Default: standard error.
    std::function<void(const std::string&)> onMessage;
    /// Called before the modules are replaced or removed (views let go of them) and after a
    /// patch was loaded (views open again).
    std::function<void()> beforeModulesChange;
    std::function<void()> afterModulesChange;

    // ---- Running ---------------------------------------------------------------------------
    /// Real time: starts the engine's threads (the mouse hook is installed at the first start).
    void start();
    /// Real time: asks the engine to stop (it does within a cycle).
    void stop();
    bool running() const;
    /// Simulated clock: resets the engine for a run on the caller's thread (once).
    void beginSimulatedRun();

    // ---- The mouse -------------------------------------------------------------------------
    /// Installs the mouse hook on the backend; false (said through onMessage) when it cannot.
    bool installHook();
    bool hookInstalled() const { return hookInstalled_; }
    /// Replaces the mouse backend (after access to the mice was granted): the status thread stops
    /// and the old hook goes before `make` makes the new backend; it gets the hook and the thread
    /// starts again with the same status work.
    void replaceMouse(const std::function<std::unique_ptr<platform::MouseBackend>()>& make);

    // ---- Patches ---------------------------------------------------------------------------
    LoadTarget loadTarget();
    /// Loads a patch file or preset (loadPatchInto); false with `error`, nothing changed then.
    /// The wave writers follow their flags afterwards (problems through onMessage).
    bool loadPatch(const PatchSource& source, std::string& error, LoadReport* report = nullptr);
    /// Loads a patch's text, as the program's load command does: recordings finish and the
    /// views are told around the change. (The owner ends a take or a replay first.)
    void loadPatchText(const std::string& text);
    /// Loads a built-in preset by resource number; false when it is not built in.
    bool loadPresetResource(int resource);
    /// Removes every module: recordings finish and the views let go first.
    void clearModules();
    /// Wave writers follow their recording flags: started when set, stopped when cleared;
    /// problems through onMessage.
    void syncRecordings();
    /// Starts the recordings whose flags are set; `openFailed` is called for each file that
    /// cannot be opened.
    void startFlaggedRecordings(const std::function<void()>& openFailed);
    /// Finishes every recording before modules are replaced or removed.
    void stopRecordings();

    // ---- Gesture tapes ---------------------------------------------------------------------
    /// Begins a take into `base` + ".kvc" (the patch) and `base` + the tape extension: the patch
    /// is saved, the tape's header written and the patch loaded afresh, and the engine records
    /// from its first sample. False with `error` when a file cannot be written.
    bool startTake(const std::string& base, std::string& tapePath, std::string& error);
    bool tapeRecording() const;
    /// Ends a take (nothing when none runs): the tape gets its end line and its name.
    TakeEnd stopTake();
    /// Reads a tape for playing live: its patch (beside it, checked by its checksum), its events
    /// and its recorded input. False with `error` naming the problem (and the line).
    bool readTape(const std::string& path, TapeReplay& replay, std::string& error);
    /// Plays a tape read by readTape: its patch is loaded afresh and the engine restarts; the
    /// desktop's mouse and the replayed inputs' sound cards are ignored until endReplay. False
    /// with `error` when the tape's set lines do not fit its patch.
    bool replay(TapeReplay replay, std::string& error);
    bool replaying() const { return replaying_; }
    /// Whether a replay has played its last event.
    bool replayFinished() const;
    /// Ends a replay (nothing when none plays): the desktop's mouse and the sound cards take
    /// over again. False when none played.
    bool endReplay();

  private:
    void message(const std::string& text);
    /// Loads `patchText` afresh for a take or a replay; `prepare` runs with the engine stopped.
    void loadAfresh(const std::string& patchText, const std::function<void()>& prepare);
    /// Waits (at most 50 ms) for the engine to finish the cycle it may be in.
    void finishCycle();

    std::unique_ptr<EngineState> ownState_;
    EngineState* state_;
    Clock* clock_;
    std::function<bool(bool, std::string*)> raisePriority_;
    std::function<void(const std::string&)> priorityRefused_;
    std::unique_ptr<platform::AudioOut> audioOut_;
    std::unique_ptr<platform::MidiIn> midiIn_;
    std::unique_ptr<platform::AudioIn> audioIn_;
    std::unique_ptr<OutputDeviceManager> outputs_;
    std::unique_ptr<DeviceOutputStage> stage_;
    std::unique_ptr<MidiInputManager> midiInputs_;
    std::unique_ptr<WaveInputManager> waveInputs_;
    std::unique_ptr<DeviceInputStage> inputStage_;
    std::unique_ptr<WaveWriterList> writers_;
    std::unique_ptr<MouseInput> mouse_;
    std::unique_ptr<MouseSampler> sampler_;
    std::unique_ptr<platform::MouseBackend> pointer_;
    std::unique_ptr<MouseSamplerThread> sampling_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<ModuleRegistry> registry_;
    std::unique_ptr<GestureTapeWriter> tapeWriter_;
    std::unique_ptr<GestureTapeRecorder> tapeRecorder_;
    std::unique_ptr<GestureTapePlayer> tapePlayer_;
    std::unique_ptr<TapeAudioWriter> tapeAudioWriter_;
    std::unique_ptr<TapeAudioRecorder> tapeAudioRecorder_;
    std::unique_ptr<ModuleEdits> edits_;
    /// The sound-card input of the tape replaying, which its player hands the engine.
    std::vector<std::shared_ptr<std::vector<int16_t>>> replayInput_;
    bool hookInstalled_ = false;
    bool replaying_ = false;
    bool simulatedRun_ = false;
};

} // namespace kv

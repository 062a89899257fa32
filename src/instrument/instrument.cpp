#include "instrument/instrument.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "devices/device_input_stage.h"
#include "devices/device_output_stage.h"
#include "devices/midi_input_manager.h"
#include "devices/output_device_manager.h"
#include "devices/tape_audio.h"
#include "devices/wav_writer.h"
#include "devices/wave_input_manager.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "instrument/script.h"
#include "instrument/tape_input.h"
#include "instrument/wav_reader.h"
#include "modules/module_registry.h"
#include "modules/presets.h"
#include "mouse/mouse_hook.h"
#include "mouse/mouse_input.h"

namespace kv {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
} // namespace

Instrument::Instrument(InstrumentBackends backends, EngineState* state)
    : ownState_(state ? nullptr : std::make_unique<EngineState>()),
      state_(state ? state : ownState_.get()), clock_(backends.simulatedClock),
      raisePriority_(std::move(backends.raisePriority)),
      priorityRefused_(std::move(backends.onPriorityRefused)),
      audioOut_(std::move(backends.audioOut)), midiIn_(std::move(backends.midiIn)),
      audioIn_(std::move(backends.audioIn)) {
    const bool simulated = clock_ != nullptr;
    // On the simulated clock the caller feeds and services the devices between cycles.
    outputs_ = std::make_unique<OutputDeviceManager>(
        *audioOut_,
        simulated ? OutputDeviceManager::Feeding::Manual : OutputDeviceManager::Feeding::Threads);
    stage_ = std::make_unique<DeviceOutputStage>(*outputs_);
    writers_ = std::make_unique<WaveWriterList>();
    // Wave writers record what the devices play, block by block (on the feeding thread).
    outputs_->setTap([this](const uint8_t* bytes, std::size_t length, int device) {
        writers_->writeBlock(bytes, length, device);
    });
    midiInputs_ = std::make_unique<MidiInputManager>(
        *midiIn_,
        simulated ? MidiInputManager::Servicing::Manual : MidiInputManager::Servicing::Thread);
    waveInputs_ = std::make_unique<WaveInputManager>(
        *audioIn_,
        simulated ? WaveInputManager::Servicing::Manual : WaveInputManager::Servicing::Thread);
    if (raisePriority_) {
        outputs_->setFeederStart([this] { raisePriority_(true, nullptr); });
        waveInputs_->setFeederStart([this] { raisePriority_(true, nullptr); });
    }
    waveInputs_->setMessageSink([this](const std::string& text) { message(text); });
    inputStage_ = std::make_unique<DeviceInputStage>(midiInputs_.get(), waveInputs_.get());
    mouse_ = std::make_unique<MouseInput>();
    sampler_ = std::make_unique<MouseSampler>(*mouse_);
    pointer_ = std::move(backends.mouse);
    if (pointer_ && !simulated)
        sampling_ = std::make_unique<MouseSamplerThread>(*sampler_, *pointer_);
    engine_ = std::make_unique<Engine>(*state_, stage_.get(), mouse_.get(), inputStage_.get());
    tapeWriter_ = std::make_unique<GestureTapeWriter>();
    tapeRecorder_ = std::make_unique<GestureTapeRecorder>(*mouse_, midiInputs_.get(), *tapeWriter_);
    tapePlayer_ = std::make_unique<GestureTapePlayer>(*mouse_, *sampler_, midiInputs_.get());
    tapeAudioWriter_ = std::make_unique<TapeAudioWriter>();
    tapeAudioRecorder_ =
        std::make_unique<TapeAudioRecorder>(*engine_, *tapeWriter_, *tapeAudioWriter_);
    edits_ = std::make_unique<ModuleEdits>();
    tapeRecorder_->setEdits(edits_.get());
    if (simulated) {
        // The scripted mouse's hook cannot fail.
        std::string unused;
        if (pointer_) hookInstalled_ = installMouseHook(mouse_->hook, *pointer_, unused);
    } else {
        // The hook is installed once; each start only clears its button state. Installing it
        // again would replace the X server connection of a hook thread that may be delivering
        // events.
        engine_->onStart = [this] {
            if (hookInstalled_)
                mouse_->hook.clearButtons();
            else
                installHook();
        };
        if (raisePriority_) {
            engine_->onTickerThreadStart = [this] { raisePriority_(true, nullptr); };
            engine_->onEngineThreadStart = [this](bool realtime) {
                std::string refused;
                if (!raisePriority_(realtime, priorityRefused_ ? &refused : nullptr) &&
                    !refused.empty())
                    priorityRefused_(refused);
            };
        }
    }
    registry_ = std::make_unique<ModuleRegistry>(engine_.get());
}

Instrument::~Instrument() {
    if (!clock_) engine_->stopAndWait();
    if (sampling_) sampling_->stop();
    if (pointer_ && !clock_) pointer_->removeHook();
    outputs_->setTap(nullptr);
    writers_->stopAll();
    // Modules go before the engine that may still hold a view of them.
    registry_.reset();
    if (!clock_)
        outputs_->closeAll();
    else if (simulatedRun_)
        engine_->endOffline();
    engine_.reset();
    // The input managers close their devices as they go, before the backends.
    inputStage_.reset();
    waveInputs_.reset();
    midiInputs_.reset();
}

void Instrument::message(const std::string& text) {
    if (onMessage)
        onMessage(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

// ---- Running ------------------------------------------------------------------------------

void Instrument::start() {
    engine_->start();
}

void Instrument::stop() {
    engine_->stop();
}

bool Instrument::running() const {
    return engine_->running();
}

void Instrument::beginSimulatedRun() {
    if (simulatedRun_) return;
    engine_->beginOffline(clock_);
    simulatedRun_ = true;
}

// ---- The mouse ----------------------------------------------------------------------------

bool Instrument::installHook() {
    if (!pointer_) return false;
    std::string text;
    hookInstalled_ = installMouseHook(mouse_->hook, *pointer_, text);
    if (!hookInstalled_) message(text);
    return hookInstalled_;
}

void Instrument::replaceMouse(
    const std::function<std::unique_ptr<platform::MouseBackend>()>& make) {
    // The status thread holds the backend: it stops before the backend is replaced.
    std::function<void()> afterPause;
    if (sampling_) {
        afterPause = sampling_->afterPause;
        sampling_->stop();
    }
    if (pointer_) pointer_->removeHook();
    hookInstalled_ = false;
    sampling_.reset();
    pointer_ = make();
    if (!pointer_) return;
    sampling_ = std::make_unique<MouseSamplerThread>(*sampler_, *pointer_);
    sampling_->afterPause = std::move(afterPause);
    installHook();
    sampling_->start();
}

// ---- Patches ------------------------------------------------------------------------------

LoadTarget Instrument::loadTarget() {
    LoadTarget t;
    t.registry = registry_.get();
    t.engine = engine_.get();
    t.legacyFlag = &state_->settings.legacyPatch;
    return t;
}

bool Instrument::loadPatch(const PatchSource& source, std::string& error, LoadReport* report) {
    if (!loadPatchInto(loadTarget(), source, error, report)) return false;
    syncRecordings();
    return true;
}

void Instrument::loadPatchText(const std::string& text) {
    stopRecordings();
    if (beforeModulesChange) beforeModulesChange();
    loadConfiguration(loadTarget(), text);
    if (afterModulesChange) afterModulesChange();
}

bool Instrument::loadPresetResource(int resource) {
    const PresetInfo* preset = findPreset(resource);
    if (preset && presetAvailable(*preset)) {
        stopRecordings();
        if (beforeModulesChange) beforeModulesChange();
    }
    if (!preset || !loadPreset(loadTarget(), *preset)) return false;
    if (afterModulesChange) afterModulesChange();
    return true;
}

void Instrument::clearModules() {
    stopRecordings();
    if (beforeModulesChange) beforeModulesChange();
    registry_->clearAll();
}

void Instrument::syncRecordings() {
    syncWaveWriters(*registry_, *writers_, [this](const std::string& t) { message(t); });
}

void Instrument::startFlaggedRecordings(const std::function<void()>& openFailed) {
    for (Module* m : registry_->modules(Module_AudioWaveWriter)) {
        if (!m->waveWriters[0].recording.load(rlx)) continue;
        if (writers_->start(*m) == WaveWriterList::StartResult::OpenFailed && openFailed)
            openFailed();
    }
}

void Instrument::stopRecordings() {
    for (Module* m : registry_->modules(Module_AudioWaveWriter))
        writers_->stopModule(*m);
}

// ---- Gesture tapes ------------------------------------------------------------------------

bool Instrument::tapeRecording() const {
    return tapeWriter_->recording();
}

void Instrument::finishCycle() {
    const int64_t cycle = state_->cycleCounter.load(rlx);
    for (int waited = 0;
         waited < 50 && engine_->running() && state_->cycleCounter.load(rlx) < cycle + 2; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Instrument::loadAfresh(const std::string& patchText, const std::function<void()>& prepare) {
    // A take starts as a new run of the program does: the patch loaded afresh, the random
    // numbers from their first state, the mouse at rest and the engine from its first sample,
    // with its MIDI devices open from that sample on. The offline renderer starts the same way.
    stopRecordings();
    if (beforeModulesChange) beforeModulesChange();
    LoadTarget target = loadTarget();
    target.afterLoad = [this, &prepare] {
        state_->rand.seed(1);
        if (sampling_) sampling_->stop();
        sampler_->restart();
        resetMouseForTake(*mouse_, state_->table);
        // MIDI devices opened by the service thread would appear at a moment that depends on
        // the machine and that the tape does not record.
        inputStage_->openBeforeStart(*registry_);
        prepare();
    };
    loadConfiguration(target, patchText);
    if (afterModulesChange) afterModulesChange();
}

bool Instrument::startTake(const std::string& base, std::string& tapePath, std::string& error) {
    namespace fs = std::filesystem;
    const std::string patch = base + ".kvc";
    tapePath = base + std::string(kTapeExtension);
    const SaveResult saved = writeConfiguration(*registry_, patch);
    std::string text, reason;
    if (!saved || !readConfigurationFile(patch, text, reason)) {
        error = patch + ": " + (saved ? reason : saved.reason);
        return false;
    }
    TapeHeader header;
    header.patchFile = fs::path(patch).filename().string();
    header.checksum = patchChecksum(text);
    const MouseRows::Rect desktop = mouse_->desktop();
    header.left = desktop.left;
    header.top = desktop.top;
    header.right = desktop.right;
    header.bottom = desktop.bottom;
    mouse_->clientOrigin(header.originX, header.originY);
    const double rate = state_->settings.controlRate.load(rlx);
    header.rate = std::lround(rate);
    std::string why;
    if (!tapeWriter_->start(tapePath, tapeHeaderText(header), why)) {
        error = tapePath + ": " + why;
        return false;
    }
    tapeAudioWriter_->start(tapePath, why); // cannot fail: the last take has stopped
    loadAfresh(text, [this, rate] {
        // Edits from here on (the windows' own, as they open) are held for the engine.
        edits_->beginTake(*registry_, *tapeWriter_);
        tapeRecorder_->setStartRate(rate);
        tapeRecorder_->begin();
        engine_->setControlSampleTap(tapeRecorder_.get());
        // What the sound-card inputs hand the engine goes beside the tape.
        tapeAudioRecorder_->begin();
        inputStage_->setCapturedAudioTap(tapeAudioRecorder_.get());
        if (sampling_) sampling_->start();
    });
    return true;
}

TakeEnd Instrument::stopTake() {
    TakeEnd end;
    if (!tapeRecording()) return end;
    // The engine may be inside a tap: let it finish its cycle. The input's tap goes last, so
    // that it has seen the end of every cycle the control samples were recorded in.
    engine_->setControlSampleTap(nullptr);
    finishCycle();
    inputStage_->setCapturedAudioTap(nullptr);
    finishCycle();
    tapeRecorder_->end();
    edits_->endTake();
    end.audioSaved = tapeAudioWriter_->stop(end.audioError);
    end.saved =
        tapeWriter_->stop(std::max(tapeRecorder_->endSample(), tapeAudioRecorder_->endSample()),
                          end.error, tapeAudioRecorder_->closingLines());
    end.audioFiles = tapeAudioWriter_->files();
    end.lost = tapeWriter_->lost() + tapeRecorder_->lostPasses() + tapeAudioWriter_->lost() +
               tapeAudioRecorder_->divergent() + edits_->inexact();
    return end;
}

bool Instrument::readTape(const std::string& path, TapeReplay& replay, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    std::ifstream in(path, std::ios::binary);
    if (ec || !in || size > kMaxScriptBytes) {
        error = path + ": the file cannot be read.";
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    Script script;
    std::string problem;
    if (!parseScript(text, script, problem)) {
        error = path + " " + problem;
        return false;
    }
    const ScriptEvent* tape = script.tape();
    if (!tape) {
        error = path + ": not a gesture tape (it has no tape line).";
        return false;
    }
    // Recorded sound-card input lies beside the tape.
    findSoundFilesBeside(script, fs::path(path).parent_path().string());
    const std::string where = path + " line " + std::to_string(tape->line) + ": ";
    const std::string patch = (fs::path(path).parent_path() / tape->file).string();
    std::string reason;
    if (!readConfigurationFile(patch, replay.patchText, reason)) {
        error = where + "its patch '" + patch + "' cannot be read: " + reason;
        return false;
    }
    if (patchChecksum(replay.patchText) != tape->checksum) {
        error = where + "its patch '" + patch + "' has changed since the take";
        return false;
    }
    TapeInputFiles inputFiles;
    replay.rate = state_->settings.controlRate.load(rlx);
    bool rateSeen = false;
    for (const ScriptEvent& e : script.events) {
        const auto& n = e.numbers;
        auto add = [&](TapeEvent::Kind kind, long a, long b, long c = 0, long d = 0) {
            replay.events.push_back({e.sample, kind, static_cast<int32_t>(a),
                                     static_cast<int32_t>(b), static_cast<int32_t>(c),
                                     static_cast<int32_t>(d)});
        };
        const std::string line = path + " line " + std::to_string(e.line) + ": ";
        switch (e.command) {
        case ScriptCommand::Cursor:
            add(TapeEvent::Cursor, n[0], n[1]);
            break;
        case ScriptCommand::Button:
            add(TapeEvent::Button, n[0], n[1]);
            break;
        case ScriptCommand::Wheel:
            if (n[0] < -32768 || n[0] > 32767) {
                error = line + "wheel delta out of range (-32768..32767)";
                return false;
            }
            add(TapeEvent::Wheel, n[0], n[1]);
            break;
        case ScriptCommand::Midi:
            add(TapeEvent::Midi, n[0], n[1], n[2], n[3]);
            break;
        case ScriptCommand::Desktop:
            replay.desktop = {n[0], n[1], n[2], n[3]};
            break;
        case ScriptCommand::Rate:
            // The first rate is the take's; later ones change it where the engine did.
            if (!rateSeen) replay.rate = e.rate;
            rateSeen = true;
            add(TapeEvent::Rate, std::lround(e.rate), 0);
            break;
        case ScriptCommand::Set:
            replay.sets.push_back({e.line, e.sample, e.module, e.key, e.value});
            break;
        case ScriptCommand::AudioIn: {
            // A take's recorded input plays live; a sound file of a hand-written script does not.
            if (!e.recordedInput) {
                error = line + "'audioin' without a recorded take's numbers is not played "
                               "live; render the script with kalvitrope-cli";
                return false;
            }
            if (inputFiles.count(e.file)) break;
            auto samples = std::make_shared<std::vector<int16_t>>();
            std::string why;
            if (!readWavMono(e.file, *samples, why)) {
                error = line + why;
                return false;
            }
            inputFiles[e.file] = std::move(samples);
            break;
        }
        case ScriptCommand::Origin:
        case ScriptCommand::Tape:
        case ScriptCommand::End:
            break;
        default:
            error = line + "'" + std::string(commandName(e.command)) +
                    "' events are not played live; render the tape with kalvitrope-cli";
            return false;
        }
    }
    if (!scheduleTapeInput(script, inputFiles, replay.deliveries, problem)) {
        error = path + " " + problem;
        return false;
    }
    replay.endSample = script.endSample;
    for (auto& [name, samples] : inputFiles)
        replay.input.push_back(std::move(samples));
    return true;
}

bool Instrument::replay(TapeReplay replay, std::string& error) {
    state_->settings.controlRate.store(replay.rate, rlx);
    replaying_ = true;
    replayInput_ = std::move(replay.input);
    std::string unplayable;
    loadAfresh(replay.patchText, [&] {
        // Set lines become the stores they make, against the patch just loaded.
        std::vector<LiveStore> stores;
        if (!resolveTapeSets(*registry_, replay.sets, replay.events, stores, unplayable)) return;
        // The desktop's mouse is ignored while the tape plays its own, and the sensors are
        // where the tape places them.
        edits_->setSensorsFromTape(true);
        mouse_->hook.muted.store(true, rlx);
        mouse_->hook.clearButtons();
        tapePlayer_->load(std::move(replay.events), replay.endSample, replay.desktop,
                          std::move(stores), &state_->settings.controlRate);
        // The recorded input takes the place of the sound card's.
        for (const TapeInputDelivery& d : replay.deliveries)
            inputStage_->setReplayedInput(d.device, true);
        tapePlayer_->loadInput(std::move(replay.deliveries), registry_->modules(Module_AudioInput));
        engine_->setControlSampleTap(tapePlayer_.get());
    });
    if (!unplayable.empty()) {
        replaying_ = false;
        error = unplayable;
        return false;
    }
    return true;
}

bool Instrument::replayFinished() const {
    return tapePlayer_->finished();
}

bool Instrument::endReplay() {
    if (!replaying_) return false;
    replaying_ = false;
    engine_->setControlSampleTap(nullptr);
    // The engine may be in the player's last control sample: let it finish a cycle.
    finishCycle();
    for (int device = -1; device < WaveInputManager::kDeviceSlots - 1; ++device)
        inputStage_->setReplayedInput(device, false);
    replayInput_.clear();
    edits_->setSensorsFromTape(false);
    mouse_->hook.muted.store(false, rlx);
    mouse_->hook.clearButtons();
    // The desktop's cursor takes over from a fresh start, without a jump from the tape's.
    if (sampling_) sampling_->stop();
    sampler_->restart();
    if (sampling_) sampling_->start();
    return true;
}

} // namespace kv

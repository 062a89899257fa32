#include "cli/session.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "devices/tape_audio.h"
#include "engine/audio_input.h"
#include "instrument/wav_reader.h"
#include "modules/config_file.h"
#include "modules/module_controls.h"
#include "modules/presets.h"
#include "persistence/text.h"

namespace kv::cli {

OfflineSession::OfflineSession() {
    InstrumentBackends backends;
    auto capture = std::make_unique<CaptureAudioOut>(kCaptureDevices);
    auto midiIn = std::make_unique<platform::ScriptedMidiIn>();
    auto audioIn = std::make_unique<platform::ScriptedAudioIn>();
    auto pointer = std::make_unique<platform::ScriptedMouse>();
    capture_ = capture.get();
    midiIn_ = midiIn.get();
    audioIn_ = audioIn.get();
    pointer_ = pointer.get();
    backends.audioOut = std::move(capture);
    backends.midiIn = std::move(midiIn);
    backends.audioIn = std::move(audioIn);
    backends.mouse = std::move(pointer);
    backends.simulatedClock = &clock_;
    instrument_ = std::make_unique<Instrument>(std::move(backends));
    instrument_->onMessage = [this](const std::string& text) { message(text); };
    Instrument& i = *instrument_;
    // Loading keeps only the devices the lists offer, as the program's module windows do.
    offerDevices(i.registry(), i.outputs(), &i.waveInputs(), &i.midiInputs());
}

OfflineSession::~OfflineSession() = default;

bool OfflineSession::loadPatch(const PatchSource& source, std::string& error, LoadReport* report) {
    return instrument_->loadPatch(source, error, report);
}

void OfflineSession::message(const std::string& text) {
    if (onMessage)
        onMessage(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

bool OfflineSession::useScript(const Script& script, std::string& error) {
    ScriptEvents events;
    events.assign(script);
    return useScript(std::move(events), error);
}

namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// How far into each recorded input file a run of `runSamples` samples reads: up to the frame the
// next line of the device counts, and for a device's last line the reads that fall in the run.
std::map<std::string, uint64_t> recordedFramesNeeded(const std::vector<ScriptEvent>& lines,
                                                     uint64_t runSamples) {
    std::map<std::string, uint64_t> needed;
    std::map<long, const ScriptEvent*> last;
    auto need = [&](const std::string& file, uint64_t frames) {
        uint64_t& n = needed[file];
        n = std::max(n, frames);
    };
    for (const ScriptEvent& e : lines) {
        if (const ScriptEvent* before = last[e.numbers[0]])
            need(before->file, static_cast<uint64_t>(e.numbers[1]));
        last[e.numbers[0]] = &e;
        need(e.file, static_cast<uint64_t>(e.numbers[1]));
    }
    for (const auto& [device, e] : last) {
        const auto frame = static_cast<uint64_t>(e->numbers[1]);
        const auto step = static_cast<uint64_t>(e->numbers[2]);
        if (step == 0 || runSamples <= e->sample) continue;
        const uint64_t reads = (runSamples - e->sample) / step + 1;
        need(e->file, reads > UINT64_MAX / kTapeInputRead
                          ? UINT64_MAX
                          : saturatingAdd(frame, reads * kTapeInputRead));
    }
    return needed;
}

} // namespace

bool OfflineSession::useScript(ScriptEvents script, std::string& error, uint64_t runSamples) {
    script_ = ScriptEvents{};
    nextEvent_ = 0;
    setModules_.clear();
    nextSet_ = 0;
    recordings_.clear();
    runSamples_ = runSamples;
    // Module names as they will be when each event applies ("set ... Name" renames).
    std::map<Module*, std::string> names;
    instrument_->registry().forEachInListOrder([&](Module& m) { names[&m] = m.name; });
    // The desktop as it will be when each event applies: a cursor must lie on it.
    platform::DesktopRect desktop = pointer_->desktop();
    auto findModule = [&](std::string_view name) -> Module* {
        Module* found = nullptr;
        instrument_->registry().forEachInListOrder([&](Module& m) {
            if (!found && equalsIgnoreCase(names[&m], name)) found = &m;
        });
        return found;
    };
    std::vector<ScriptEvent> recorded; // the recorded input lines
    std::set<std::string> soundFiles;  // sound files whose header was checked
    for (std::size_t i = 0; i < script.size(); ++i) {
        const ScriptEvent e = script.at(i);
        const std::string where = "script line " + std::to_string(e.line) + ": ";
        switch (e.command) {
        case ScriptCommand::Cursor:
            if (e.numbers[0] < desktop.left || e.numbers[0] > desktop.right ||
                e.numbers[1] < desktop.top || e.numbers[1] > desktop.bottom) {
                error = where + "cursor " + std::to_string(e.numbers[0]) + " " +
                        std::to_string(e.numbers[1]) + " lies outside the desktop " +
                        std::to_string(desktop.left) + " " + std::to_string(desktop.top) + " " +
                        std::to_string(desktop.right) + " " + std::to_string(desktop.bottom);
                return false;
            }
            break;
        case ScriptCommand::Wheel:
            // The hook receives the delta as a signed 16-bit number.
            if (e.numbers[0] < -32768 || e.numbers[0] > 32767) {
                error = where + "wheel delta " + std::to_string(e.numbers[0]) +
                        " is out of range (-32768..32767; 120 per notch)";
                return false;
            }
            break;
        case ScriptCommand::Button:
            break;
        case ScriptCommand::Midi:
            if (e.numbers[0] < 0 || e.numbers[0] >= midiIn_->deviceCount()) {
                error = where + "no MIDI input " + std::to_string(e.numbers[0]) + " (inputs 0.." +
                        std::to_string(midiIn_->deviceCount() - 1) + ")";
                return false;
            }
            break;
        case ScriptCommand::AudioIn: {
            if (e.numbers[0] >= audioIn_->deviceCount()) {
                error = where + "no audio input " + std::to_string(e.numbers[0]) + " (inputs -1.." +
                        std::to_string(audioIn_->deviceCount() - 1) + ")";
                return false;
            }
            if (e.recordedInput) {
                recorded.push_back(e);
                break;
            }
            // A sound card's input: its samples are read when the line applies, as far as the
            // run can take them; here only the header is checked.
            std::vector<int16_t> none;
            std::string reason;
            if (soundFiles.insert(e.file).second && !readWavMono(e.file, none, reason, 0)) {
                error = where + reason;
                return false;
            }
            break;
        }
        case ScriptCommand::Set: {
            Module* module = findModule(e.module);
            if (!module) {
                error = where + "no module named '" + shownToken(e.module) + "' in the patch";
                return false;
            }
            if (!hasModuleKey(*module, e.key)) {
                error = where + "module '" + shownToken(e.module) + "' has no key '" +
                        shownToken(e.key) + "'";
                return false;
            }
            if (equalsIgnoreCase(e.key, "Name")) names[module] = std::string(trim(e.value, " \t"));
            setModules_.emplace_back(i, module);
            break;
        }
        case ScriptCommand::Desktop:
            desktop = {e.numbers[0], e.numbers[1], e.numbers[2], e.numbers[3]};
            break;
        case ScriptCommand::Origin:
        case ScriptCommand::Rate:
        case ScriptCommand::Tape:
        case ScriptCommand::End:
            break;
        }
    }
    // Recorded input: each file read (at its first line) as far as the lines and the run reach.
    const std::map<std::string, uint64_t> needed = recordedFramesNeeded(recorded, runSamples);
    for (const ScriptEvent& e : recorded) {
        if (recordings_.count(e.file)) continue;
        auto samples = std::make_shared<std::vector<int16_t>>();
        std::string reason;
        if (!readWavMono(e.file, *samples, reason, needed.at(e.file))) {
            error = "script line " + std::to_string(e.line) + ": " + reason;
            return false;
        }
        recordings_[e.file] = std::move(samples);
    }
    // A gesture tape carries the sampler's passes itself: one per cursor line.
    tapePasses_ = script.tape() != nullptr;
    script_ = std::move(script);
    return scheduleRecordedInput(recorded, error);
}
bool OfflineSession::scheduleRecordedInput(const std::vector<ScriptEvent>& lines,
                                           std::string& error) {
    nextDelivery_ = 0;
    if (!scheduleTapeInput(lines, recordings_, deliveries_, error)) return false;
    for (int device = -1; device < WaveInputManager::kDeviceSlots - 1; ++device)
        instrument_->inputStage().setReplayedInput(device, false);
    for (const TapeInputDelivery& d : deliveries_)
        instrument_->inputStage().setReplayedInput(d.device, true);
    return true;
}

void OfflineSession::deliverRecordedInput(uint64_t sample) {
    if (nextDelivery_ >= deliveries_.size() || deliveries_[nextDelivery_].sample > sample) return;
    const std::vector<Module*> inputs = instrument_->registry().modules(Module_AudioInput);
    for (; nextDelivery_ < deliveries_.size() && deliveries_[nextDelivery_].sample <= sample;
         ++nextDelivery_)
        deliverTapeInput(deliveries_[nextDelivery_], inputs);
}

void OfflineSession::noteCursor() {
    long x = 0, y = 0;
    pointer_->cursorPosition(x, y);
    instrument_->mouse().noteCursor(x, y);
}

void OfflineSession::apply(const ScriptEvent& e) {
    switch (e.command) {
    case ScriptCommand::Midi:
        midiIn_->send(static_cast<int>(e.numbers[0]), static_cast<uint8_t>(e.numbers[1]),
                      static_cast<uint8_t>(e.numbers[2]), static_cast<uint8_t>(e.numbers[3]));
        break;
    case ScriptCommand::AudioIn: {
        if (e.recordedInput) break;
        // What the input can deliver before the run ends (a second more for the blocks the
        // device holds).
        const uint64_t left = runSamples_ > e.sample ? runSamples_ - e.sample : 0;
        std::vector<int16_t> samples;
        std::string reason;
        if (!readWavMono(e.file, samples, reason, saturatingAdd(left, 48000)))
            message("script line " + std::to_string(e.line) + ": " + reason);
        audioIn_->setSource(static_cast<int>(e.numbers[0]), std::move(samples));
        break;
    }
    case ScriptCommand::Set:
        break; // handled with its module by applyEventsUpTo
    case ScriptCommand::Cursor:
        pointer_->moveCursor(e.numbers[0], e.numbers[1]);
        noteCursor(); // modules that read the screen see the pointer at once
        if (tapePasses_) instrument_->sampler().pass(*pointer_);
        break;
    case ScriptCommand::Button:
        pointer_->button(static_cast<int>(e.numbers[0]), e.numbers[1] != 0);
        break;
    case ScriptCommand::Wheel:
        pointer_->wheel(e.numbers[1] != 0, static_cast<int>(e.numbers[0]));
        break;
    case ScriptCommand::Desktop:
        pointer_->setDesktop({e.numbers[0], e.numbers[1], e.numbers[2], e.numbers[3]});
        instrument_->mouse().noteDesktop(pointer_->desktop());
        noteCursor(); // a smaller desktop may have moved the pointer
        break;
    case ScriptCommand::Origin:
        instrument_->mouse().setClientOrigin(e.numbers[0], e.numbers[1]);
        break;
    case ScriptCommand::Rate:
        instrument_->state().settings.controlRate.store(e.rate, std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

void OfflineSession::applyEventsUpTo(uint64_t sample) {
    while (nextEvent_ < script_.size() && script_.sampleAt(nextEvent_) <= sample) {
        const std::size_t index = nextEvent_++;
        const ScriptEvent e = script_.at(index);
        if (e.command != ScriptCommand::Set) {
            apply(e);
            continue;
        }
        while (setModules_[nextSet_].first < index)
            ++nextSet_;
        Module* module = setModules_[nextSet_].second;
        setModuleKey(*module, instrument_->registry(), e.key, e.value);
        if (module->type() == Module_AudioWaveWriter) instrument_->syncRecordings();
        // A slider learnt or forgotten gets or loses its row, as its window does.
        if (module->type() == Module_ControlMIDIControllerInput)
            instrument_->registry().syncMidiSliderRows(*module);
    }
}

void OfflineSession::run(const std::function<bool()>& done) {
    if (!started_) {
        // A gesture tape's take began with its MIDI devices open, as its replay does.
        if (tapePasses_) instrument_->inputStage().openBeforeStart(instrument_->registry());
        instrument_->beginSimulatedRun();
        started_ = true;
    }
    // The engine calls back after the sample before each due one (and the probe's samples).
    auto after = [this](uint64_t due) { return due == 0 ? ControlSampleTap::kNoSample : due - 1; };
    instrument_->engine().afterEvent = [this, after](uint64_t sample) {
        if (onSample) onSample(sample);
        beforeSample(sample + 1);
        uint64_t next = nextDueSample(sample + 1);
        if (onSample) {
            const uint64_t every = onSampleEvery > 0 ? onSampleEvery : 1;
            next = std::min(next, (sample / every + 1) * every + 1);
        }
        return after(next);
    };
    while (!done()) {
        const uint64_t sample = instrument_->engine().sampleCounter();
        beforeSample(sample);
        uint64_t next = nextDueSample(sample + 1);
        if (onSample) {
            const uint64_t every = onSampleEvery > 0 ? onSampleEvery : 1;
            next = std::min(next, (sample + every - 1) / every * every + 1);
        }
        instrument_->engine().setNextEventSample(after(next));
        instrument_->engine().runCycle(&clock_);
        // No windows here: notes a sequence recorded go into its text as its window would.
        for (Module* m : instrument_->registry().modules(Module_ControlSequence))
            m->sequence.takePendingRecord();
        instrument_->outputs().feedPending();
        capture_->advance(kFramesPerCycle);
        // Input devices open between cycles and record as the clock advances.
        instrument_->midiInputs().service();
        instrument_->waveInputs().service();
        instrument_->waveInputs().feedPending();
        audioIn_->advance(kFramesPerCycle);
        clock_.ms += 2.0;
    }
    instrument_->engine().afterEvent = nullptr;
}

uint64_t OfflineSession::nextDueSample(uint64_t sample) const {
    uint64_t due = ControlSampleTap::kNoSample;
    if (nextEvent_ < script_.size()) due = std::max(sample, script_.sampleAt(nextEvent_));
    if (!tapePasses_) due = std::min(due, std::max(sample, nextPass_));
    if (nextDelivery_ < deliveries_.size())
        due = std::min(due, std::max(sample, deliveries_[nextDelivery_].sample));
    return due;
}

void OfflineSession::beforeSample(uint64_t sample) {
    // Input taken at the cycle end before `sample`, before the events of its control sample.
    deliverRecordedInput(sample);
    applyEventsUpTo(sample);
    if (!tapePasses_ && sample >= nextPass_) {
        instrument_->sampler().pass(*pointer_);
        nextPass_ = sample - sample % kSamplesPerMousePass + kSamplesPerMousePass;
    }
}

} // namespace kv::cli

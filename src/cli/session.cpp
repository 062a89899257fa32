#include "cli/session.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "cli/wav_reader.h"
#include "devices/tape_audio.h"
#include "engine/audio_input.h"
#include "modules/module_controls.h"
#include "persistence/config_file.h"
#include "persistence/presets.h"
#include "persistence/text.h"

namespace kv::cli {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
} // namespace

OfflineSession::OfflineSession() {
    engine_ = std::make_unique<Engine>(state_, &stage_, &mouse_, &inputStage_);
    registry_ = std::make_unique<ModuleRegistry>(engine_.get());
    offerDevices(*registry_, manager_, &waveManager_, &midiManager_);
    std::string unused;
    installMouseHook(mouse_.hook, pointer_, unused); // the scripted hook cannot fail
    waveManager_.setMessageSink([this](const std::string& text) { message(text); });
    // Wave writers record what the devices play, block by block, as on a card.
    manager_.setTap([this](const uint8_t* bytes, std::size_t length, int device) {
        waveWriters_.writeBlock(bytes, length, device);
    });
}

OfflineSession::~OfflineSession() {
    manager_.setTap(nullptr);
    waveWriters_.stopAll();
    // Modules go before the engine that may still hold a view of them.
    registry_.reset();
    if (started_) engine_->endOffline();
}

namespace {
bool listed(const std::vector<DeviceListEntry>& entries, int code) {
    for (const DeviceListEntry& e : entries)
        if (e.value == code) return true;
    return false;
}
} // namespace

void offerDevices(ModuleRegistry& registry, const OutputDeviceManager& output,
                  const WaveInputManager* waveInput, const MidiInputManager* midiInput,
                  bool allowMouseAsAudio) {
    DeviceOffers offers;
    offers.output = [&output](int code, bool wholeDevice) {
        return listed(output.deviceList(code, wholeDevice), code);
    };
    if (waveInput)
        offers.input = [waveInput](int code) { return listed(waveInput->deviceList(code), code); };
    if (midiInput)
        offers.midi = [midiInput](int code) { return listed(midiInput->deviceList(code), code); };
    registry.setSelectionContext(allowMouseAsAudio, std::move(offers));
}

bool readPatchFile(const std::string& path, std::string& text, std::string& reason) {
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (!ec && std::filesystem::exists(st) && !std::filesystem::is_directory(st) &&
        !std::filesystem::is_regular_file(st)) {
        reason = "not a regular file";
        return false;
    }
    return readConfigurationFile(path, text, reason);
}

bool loadPatchInto(const LoadTarget& target, const PatchSource& source, std::string& error,
                   LoadReport* report) {
    if (!source.preset.empty()) {
        const PresetInfo* preset = findPreset(source.preset);
        if (!preset) {
            error = "no built-in preset '" + source.preset + "' (see: kalvitrope-cli presets)";
            return false;
        }
        if (!loadPreset(target, *preset)) {
            error = "preset '" + source.preset + "' is not built into this program yet";
            return false;
        }
        return true;
    }
    std::string text, reason;
    if (!readPatchFile(source.file, text, reason)) {
        error = "cannot read patch '" + source.file + "': " + reason;
        return false;
    }
    const LoadReport loaded = loadConfiguration(target, text);
    if (report) *report = loaded;
    return true;
}

bool OfflineSession::loadPatch(const PatchSource& source, std::string& error, LoadReport* report) {
    LoadTarget target;
    target.registry = registry_.get();
    target.engine = engine_.get();
    target.legacyFlag = &state_.settings.legacyPatch;
    if (!loadPatchInto(target, source, error, report)) return false;
    syncRecordings();
    return true;
}

void OfflineSession::message(const std::string& text) {
    if (onMessage)
        onMessage(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

void OfflineSession::syncRecordings() {
    syncWaveWriters(*registry_, waveWriters_, [this](const std::string& t) { message(t); });
}

void syncWaveWriters(ModuleRegistry& registry, WaveWriterList& writers,
                     const std::function<void(const std::string&)>& say) {
    for (Module* m : registry.modules(Module_AudioWaveWriter)) {
        const bool wanted = m->waveWriters[0].recording.load(std::memory_order_relaxed);
        if (wanted == writers.isRecording(*m)) continue;
        if (!wanted) {
            writers.stop(*m);
            continue;
        }
        const auto result = writers.start(*m);
        if (result == WaveWriterList::StartResult::OpenFailed)
            say(m->name + ": " + WaveWriterList::openFailedCaption() + " " +
                WaveWriterList::openFailedText());
        else if (result == WaveWriterList::StartResult::EmptyPath)
            say(m->name + ": no file to record into (FilePath is empty)");
    }
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
    registry_->forEachInListOrder([&](Module& m) { names[&m] = m.name; });
    // The desktop as it will be when each event applies: a cursor must lie on it.
    platform::DesktopRect desktop = pointer_.desktop();
    auto findModule = [&](std::string_view name) -> Module* {
        Module* found = nullptr;
        registry_->forEachInListOrder([&](Module& m) {
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
            if (e.numbers[0] < 0 || e.numbers[0] >= midiIn_.deviceCount()) {
                error = where + "no MIDI input " + std::to_string(e.numbers[0]) + " (inputs 0.." +
                        std::to_string(midiIn_.deviceCount() - 1) + ")";
                return false;
            }
            break;
        case ScriptCommand::AudioIn: {
            if (e.numbers[0] >= audioIn_.deviceCount()) {
                error = where + "no audio input " + std::to_string(e.numbers[0]) + " (inputs -1.." +
                        std::to_string(audioIn_.deviceCount() - 1) + ")";
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

// Turns the recorded input lines into the reads they stand for, device by device: a line's
// read, then one every STEP samples, as many as the device's next line counts.
bool scheduleTapeInput(const Script& script, const TapeInputFiles& files,
                       std::vector<TapeInputDelivery>& deliveries, std::string& error) {
    std::vector<ScriptEvent> lines;
    for (const ScriptEvent& e : script.events)
        if (e.command == ScriptCommand::AudioIn && e.recordedInput) lines.push_back(e);
    return scheduleTapeInput(lines, files, deliveries, error);
}

bool scheduleTapeInput(const std::vector<ScriptEvent>& lines, const TapeInputFiles& files,
                       std::vector<TapeInputDelivery>& deliveries, std::string& error) {
    deliveries.clear();
    std::map<long, std::vector<const ScriptEvent*>> byDevice;
    for (const ScriptEvent& e : lines)
        byDevice[e.numbers[0]].push_back(&e);
    for (const auto& [device, own] : byDevice) {
        for (std::size_t i = 0; i < own.size(); ++i) {
            const ScriptEvent& e = *own[i];
            const ScriptEvent* next = i + 1 < own.size() ? own[i + 1] : nullptr;
            const std::vector<int16_t>& file = *files.at(e.file);
            const auto frame = static_cast<uint64_t>(e.numbers[1]);
            const auto step = static_cast<uint64_t>(e.numbers[2]);
            // How far the file reaches at this line: what the next line counts, else its end.
            uint64_t until = file.size() - file.size() % kTapeInputRead;
            if (next) {
                until = static_cast<uint64_t>(next->numbers[1]);
                const uint64_t reads = until > frame ? (until - frame) / kTapeInputRead : 0;
                const bool fits = step == 0
                                      ? until == frame
                                      : reads > 0 && (reads - 1) * step <= next->sample - e.sample;
                if (!fits || next->file != e.file) {
                    error = "script line " + std::to_string(next->line) + ": frame " +
                            std::to_string(until) + " does not follow from line " +
                            std::to_string(e.line) + " (" + std::to_string(frame) +
                            ", then a read every " + std::to_string(step) + " samples)";
                    return false;
                }
            }
            if (until > file.size() || frame > until) {
                error = "script line " + std::to_string(next ? next->line : e.line) + ": '" +
                        shownToken(e.file) + "' holds " + std::to_string(file.size()) +
                        " samples, but the take read " + std::to_string(std::max(until, frame)) +
                        " from it: the file is truncated";
                return false;
            }
            if (step == 0) continue; // nothing taken here
            uint64_t t = e.sample;
            for (uint64_t offset = frame; offset < until; offset += kTapeInputRead, t += step)
                deliveries.push_back({t, static_cast<int>(device), file.data() + offset});
        }
    }
    std::stable_sort(
        deliveries.begin(), deliveries.end(),
        [](const TapeInputDelivery& a, const TapeInputDelivery& b) { return a.sample < b.sample; });
    return true;
}

bool OfflineSession::scheduleRecordedInput(const std::vector<ScriptEvent>& lines,
                                           std::string& error) {
    nextDelivery_ = 0;
    if (!scheduleTapeInput(lines, recordings_, deliveries_, error)) return false;
    for (int device = -1; device < WaveInputManager::kDeviceSlots - 1; ++device)
        inputStage_.setReplayedInput(device, false);
    for (const TapeInputDelivery& d : deliveries_)
        inputStage_.setReplayedInput(d.device, true);
    return true;
}

void OfflineSession::deliverRecordedInput(uint64_t sample) {
    if (nextDelivery_ >= deliveries_.size() || deliveries_[nextDelivery_].sample > sample) return;
    const std::vector<Module*> inputs = registry_->modules(Module_AudioInput);
    for (; nextDelivery_ < deliveries_.size() && deliveries_[nextDelivery_].sample <= sample;
         ++nextDelivery_)
        deliverTapeInput(deliveries_[nextDelivery_], inputs);
}

void OfflineSession::noteCursor() {
    long x = 0, y = 0;
    pointer_.cursorPosition(x, y);
    mouse_.noteCursor(x, y);
}

void OfflineSession::apply(const ScriptEvent& e) {
    switch (e.command) {
    case ScriptCommand::Midi:
        midiIn_.send(static_cast<int>(e.numbers[0]), static_cast<uint8_t>(e.numbers[1]),
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
        audioIn_.setSource(static_cast<int>(e.numbers[0]), std::move(samples));
        break;
    }
    case ScriptCommand::Set:
        break; // handled with its module by applyEventsUpTo
    case ScriptCommand::Cursor:
        pointer_.moveCursor(e.numbers[0], e.numbers[1]);
        noteCursor(); // modules that read the screen see the pointer at once
        if (tapePasses_) sampler_.pass(pointer_);
        break;
    case ScriptCommand::Button:
        pointer_.button(static_cast<int>(e.numbers[0]), e.numbers[1] != 0);
        break;
    case ScriptCommand::Wheel:
        pointer_.wheel(e.numbers[1] != 0, static_cast<int>(e.numbers[0]));
        break;
    case ScriptCommand::Desktop:
        pointer_.setDesktop({e.numbers[0], e.numbers[1], e.numbers[2], e.numbers[3]});
        mouse_.noteDesktop(pointer_.desktop());
        noteCursor(); // a smaller desktop may have moved the pointer
        break;
    case ScriptCommand::Origin:
        mouse_.setClientOrigin(e.numbers[0], e.numbers[1]);
        break;
    case ScriptCommand::Rate:
        state_.settings.controlRate.store(e.rate, std::memory_order_relaxed);
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
        setModuleKey(*module, *registry_, e.key, e.value);
        if (module->type() == Module_AudioWaveWriter) syncRecordings();
        // A slider learnt or forgotten gets or loses its row, as its window does.
        if (module->type() == Module_ControlMIDIControllerInput)
            registry_->syncMidiSliderRows(*module);
    }
}

void OfflineSession::run(const std::function<bool()>& done) {
    if (!started_) {
        // A gesture tape's take began with its MIDI devices open, as its replay does.
        if (tapePasses_) inputStage_.openBeforeStart(*registry_);
        engine_->beginOffline(&clock_);
        started_ = true;
    }
    engine_->afterSample = [this](uint64_t sample) {
        if (onSample) onSample(sample);
        beforeSample(sample + 1);
    };
    while (!done()) {
        beforeSample(engine_->sampleCounter());
        engine_->runCycle(&clock_);
        // No windows here: notes a sequence recorded go into its text as its window would.
        for (Module* m : registry_->modules(Module_ControlSequence))
            m->sequence.takePendingRecord();
        manager_.feedPending();
        capture_.advance(kFramesPerCycle);
        // Input devices open between cycles and record as the clock advances.
        midiManager_.service();
        waveManager_.service();
        waveManager_.feedPending();
        audioIn_.advance(kFramesPerCycle);
        clock_.ms += 2.0;
    }
    engine_->afterSample = nullptr;
}

void OfflineSession::beforeSample(uint64_t sample) {
    // Input taken at the cycle end before `sample`, before the events of its control sample.
    deliverRecordedInput(sample);
    applyEventsUpTo(sample);
    if (!tapePasses_ && sample >= nextPass_) {
        sampler_.pass(pointer_);
        nextPass_ = sample - sample % kSamplesPerMousePass + kSamplesPerMousePass;
    }
}

int resolveProbeRow(std::string_view text, const ModuleRegistry& registry) {
    const std::string_view trimmed = trim(text, " \t");
    int number = 0;
    auto [end, error] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), number);
    if (!trimmed.empty() && error == std::errc() && end == trimmed.data() + trimmed.size())
        return number >= 0 && number < kRowCount ? number : -1;
    std::string_view name = trimmed;
    int subType = 0;
    const std::size_t at = trimmed.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view suffix = trimmed.substr(at + 1);
        int s = 0;
        auto [e2, err2] = std::from_chars(suffix.data(), suffix.data() + suffix.size(), s);
        if (!suffix.empty() && err2 == std::errc() && e2 == suffix.data() + suffix.size()) {
            name = trimmed.substr(0, at);
            subType = s;
        }
    }
    if (name.empty()) return -1;
    const int row = registry.resolveSource(name, subType);
    return row >= 0 && row < kRowCount ? row : -1;
}

} // namespace kv::cli

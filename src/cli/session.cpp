#include "cli/session.h"

#include <charconv>
#include <map>

#include "persistence/config_file.h"
#include "persistence/presets.h"
#include "persistence/text.h"

namespace kv::cli {

OfflineSession::OfflineSession() {
    engine_ = std::make_unique<Engine>(state_, &stage_);
    registry_ = std::make_unique<ModuleRegistry>(engine_.get());
}

OfflineSession::~OfflineSession() {
    // Modules go before the engine that may still hold a view of them.
    registry_.reset();
    if (started_) engine_->endOffline();
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
    if (!readConfigurationFile(source.file, text, reason)) {
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
    return loadPatchInto(target, source, error, report);
}

bool OfflineSession::useScript(const Script& script, std::string& error) {
    events_.clear();
    nextEvent_ = 0;
    // Module names as they will be when each event applies ("set ... Name" renames).
    std::map<Module*, std::string> names;
    registry_->forEachInListOrder([&](Module& m) { names[&m] = m.name; });
    auto findModule = [&](std::string_view name) -> Module* {
        Module* found = nullptr;
        registry_->forEachInListOrder([&](Module& m) {
            if (!found && equalsIgnoreCase(names[&m], name)) found = &m;
        });
        return found;
    };
    for (const ScriptEvent& e : script.events) {
        const std::string where = "script line " + std::to_string(e.line) + ": ";
        Pending p{e, nullptr};
        switch (e.command) {
        case ScriptCommand::Cursor:
        case ScriptCommand::Button:
        case ScriptCommand::Wheel:
            error = where + "'" + std::string(commandName(e.command)) +
                    "' is not supported yet (mouse input is not part of this build)";
            return false;
        case ScriptCommand::Midi:
            error = where + "'midi' is not supported yet (MIDI input is not part of this build)";
            return false;
        case ScriptCommand::AudioIn:
            error =
                where + "'audioin' is not supported yet (audio input is not part of this build)";
            return false;
        case ScriptCommand::Set:
            p.module = findModule(e.module);
            if (!p.module) {
                error = where + "no module named '" + shownToken(e.module) + "' in the patch";
                return false;
            }
            if (!hasModuleKey(*p.module, e.key)) {
                error = where + "module '" + shownToken(e.module) + "' has no key '" +
                        shownToken(e.key) + "'";
                return false;
            }
            if (equalsIgnoreCase(e.key, "Name"))
                names[p.module] = std::string(trim(e.value, " \t"));
            break;
        case ScriptCommand::Desktop:
        case ScriptCommand::Origin:
        case ScriptCommand::Rate:
            break;
        }
        events_.push_back(std::move(p));
    }
    return true;
}

void OfflineSession::apply(const ScriptEvent& e) {
    switch (e.command) {
    case ScriptCommand::Set:
        break; // handled with its module by applyEventsUpTo
    case ScriptCommand::Desktop:
        screen_.left = e.numbers[0];
        screen_.top = e.numbers[1];
        screen_.right = e.numbers[2];
        screen_.bottom = e.numbers[3];
        break;
    case ScriptCommand::Origin:
        screen_.originX = e.numbers[0];
        screen_.originY = e.numbers[1];
        break;
    case ScriptCommand::Rate:
        state_.settings.controlRate.store(e.rate, std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

void OfflineSession::applyEventsUpTo(uint64_t sample) {
    while (nextEvent_ < events_.size() && events_[nextEvent_].event.sample <= sample) {
        const Pending& p = events_[nextEvent_++];
        if (p.event.command == ScriptCommand::Set && p.module)
            setModuleKey(*p.module, *registry_, p.event.key, p.event.value);
        else
            apply(p.event);
    }
}

void OfflineSession::run(const std::function<bool()>& done) {
    if (!started_) {
        engine_->beginOffline(&clock_);
        started_ = true;
    }
    engine_->afterSample = [this](uint64_t sample) {
        if (onSample) onSample(sample);
        applyEventsUpTo(sample + 1);
    };
    while (!done()) {
        applyEventsUpTo(engine_->sampleCounter());
        engine_->runCycle(&clock_);
        manager_.feedPending();
        capture_.advance(kFramesPerCycle);
        clock_.ms += 2.0;
    }
    engine_->afterSample = nullptr;
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

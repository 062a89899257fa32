#include "instrument/patch_loading.h"

#include <charconv>
#include <filesystem>

#include "devices/midi_input_manager.h"
#include "devices/output_device_manager.h"
#include "devices/wav_writer.h"
#include "devices/wave_input_manager.h"
#include "modules/module_registry.h"
#include "modules/presets.h"
#include "persistence/text.h"

namespace kv {

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

} // namespace kv

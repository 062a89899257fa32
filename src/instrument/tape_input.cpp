#include "instrument/tape_input.h"

#include <algorithm>
#include <map>

#include "devices/tape_audio.h"

namespace kv {

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

} // namespace kv

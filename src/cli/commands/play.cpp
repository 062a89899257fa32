// kalvitrope-cli play: a patch in real time on a sound card.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <memory>
#include <thread>
#include <vector>

#include "cli/commands/command_line.h"
#include "cli/commands/commands.h"
#include "cli/late_cycles.h"
#include "engine/engine_state.h"
#include "instrument/instrument.h"
#include "instrument/patch_loading.h"
#include "mouse/mouse_input.h"
#include "persistence/text.h"
#include "platform/audio_in_scripted.h"
#include "platform/audio_out_rtaudio.h"
#include "platform/library_messages.h"
#include "platform/midi_in_scripted.h"

namespace kv::cli {

namespace {

std::atomic<bool> interrupted{false};
extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

} // namespace

int playCommand(int argc, char** argv) {
    const Settings* settings = commandSettings();
    Options o;
    std::string error;
    PatchSource source;
    double seconds = 0.0;
    if (!parseOptions("play", argc, argv,
                      {{"patch", false}, {"preset", false}, {"seconds", false}, {"api", false}}, 0,
                      o, error) ||
        !patchSource(o, source, error) ||
        !numberOption(o, "seconds", 0.0, 31.0 * 86400.0, seconds, error)) {
        complainUsage("play", error);
        return kExitUsage;
    }
    // --api wins over the settings file's choice.
    std::string api = o.has("api") ? toAsciiLower(o.one("api"))
                      : settings   ? toAsciiLower(settings->audioApi)
                                   : "auto";
    static constexpr const char* kApis[] = {"auto", "jack", "pulse", "alsa", "null"};
    if (std::find(std::begin(kApis), std::end(kApis), api) == std::end(kApis)) {
        complainUsage("play", "unknown --api '" + o.one("api") +
                                  "' (one of: auto, jack, pulse, alsa, null)");
        return kExitUsage;
    }
    // The sound libraries print their own configuration complaints while they look for devices;
    // those go nowhere. The backend's own messages of that time are shown once a device is found
    // (such as another API chosen than the one asked for); later ones at once (any thread).
    std::vector<std::string> backendMessages;
    std::atomic<bool> lookingForDevices{true};
    platform::RtAudioOutOptions audioOptions;
    audioOptions.onMessage = [&](const std::string& m) {
        if (lookingForDevices.load())
            backendMessages.push_back(m);
        else
            complain(m);
    };
    std::unique_ptr<platform::AudioOut> out;
    int devices = 0;
    {
        platform::QuietStderr quiet;
        out = platform::makeAudioOut(api, audioOptions);
        devices = out ? out->deviceCount() : 0;
    }
    lookingForDevices.store(false);
    if (devices == 0) {
        complain(api == "auto" ? "no sound card found; to play silently use --api null"
                               : "no sound card found with --api " + api +
                                     "; try --api auto, or --api null to play silently");
        return kExitFailure;
    }
    for (const std::string& m : backendMessages)
        complain(m);
    // The instrument on that output, the same sound system's inputs and the desktop's mouse (its
    // mouse rows are played when there is a display), as in the program.
    std::string noMouse;
    InstrumentBackends backends = liveBackends(
        std::move(out), api, settings ? settings->mouseBackend : "auto", true, noMouse);
    backends.onPriorityRefused = [](const std::string& text) { complain(text); };
    if (api == "null") { // playing in silence offers no inputs at all
        backends.midiIn = std::make_unique<platform::ScriptedMidiIn>(0);
        backends.audioIn = std::make_unique<platform::ScriptedAudioIn>(0);
    }
    if (!noMouse.empty()) complain(noMouse);
    // The state outlives the instrument: the figures are printed once it has closed its devices.
    EngineState state;
    auto playing = std::make_unique<Instrument>(std::move(backends), &state);
    Instrument& instrument = *playing;
    instrument.onMessage = [](const std::string& text) { complain(text); };
    if (settings) applyCommandSettings(*settings, state, instrument.mouse().settings);
    offerDevices(instrument.registry(), instrument.outputs(), &instrument.waveInputs(),
                 &instrument.midiInputs(), settings && settings->allowMouseInputAsAudioInput);
    LoadReport report;
    if (!loadPatchInto(instrument.loadTarget(), source, error, &report)) {
        complain(error);
        return kExitFailure;
    }
    warnLeftOut(report);
    instrument.syncRecordings();

    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    if (MouseSamplerThread* sampling = instrument.samplerThread()) sampling->start();
    instrument.start();
    // Start-up (until the first cycle has run) is measured on its own, so that it does not count
    // as late cycles; after it the cycle counter is watched every millisecond to tell when ticks
    // found no cycle run.
    double startup = -1;
    LateCycleLog lateCycles;
    while (!interrupted.load() && (seconds <= 0 || elapsed() < seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const long long counter = static_cast<long long>(state.cycleCounter.load());
        if (startup < 0) {
            if (counter > 0) startup = elapsed();
        } else {
            lateCycles.observe(elapsed() - startup, counter - 1);
        }
    }
    // The run is measured up to here: stopping (the devices closing) is not part of it.
    const double played = elapsed();
    const long long cycles = std::max(0LL, static_cast<long long>(state.cycleCounter.load()) - 1);
    if (startup < 0) startup = played;
    playing.reset();

    const long long expected = std::llround((played - startup) / 0.002);
    lateCycles.finish(played - startup, cycles);
    printOut("played %.1f s: %lld cycles of %lld expected (%lld late) after a start-up of "
             "%.1f ms, %.3f ms per cycle, output latency %.1f ms (desired %d ms)\n",
             played, cycles, expected, std::max(0LL, expected - cycles), startup * 1000.0,
             state.millisecondsPerChunk.load(), state.smoothedLatency.load(),
             state.settings.desiredOutputLatency.load());
    writeOut(lateCycles.text() + "\n");
    return 0;
}

} // namespace kv::cli

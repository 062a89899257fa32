// kalvitrope-cli: renders, plays and probes patches without a user interface, converts patch
// files, and lists the built-in presets.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/script.h"
#include "cli/session.h"
#include "cli/wav_file.h"
#include "mouse/mouse_input.h"
#include "persistence/config_file.h"
#include "persistence/language.h"
#include "persistence/presets.h"
#include "persistence/text.h"
#include "platform/audio_out_rtaudio.h"
#include "platform/mouse_backend.h"
#include "platform/thread_priority.h"

namespace {

using namespace kv;
using namespace kv::cli;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage:\n"
    "  kalvitrope-cli render (--patch FILE | --preset NAME) [--seconds S] [--script FILE]"
    " [--device N] --out FILE.wav\n"
    "  kalvitrope-cli play   (--patch FILE | --preset NAME) [--seconds S] [--api NAME]\n"
    "  kalvitrope-cli probe  (--patch FILE | --preset NAME) [--script FILE] --samples N"
    " [--every K] --row ROW...\n"
    "  kalvitrope-cli kvc IN.kvc --out OUT.kvc\n"
    "  kalvitrope-cli presets\n";

void complain(const std::string& message) {
    std::fprintf(stderr, "kalvitrope-cli: %s\n", message.c_str());
}

// ---- Options ----------------------------------------------------------------------------------

struct OptionRule {
    const char* name;
    bool many; // takes every following word up to the next option
};

struct Options {
    std::map<std::string, std::vector<std::string>> values;
    std::vector<std::string> positional;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    const std::string& one(const std::string& name) const { return values.at(name).front(); }
};

bool parseOptions(const std::string& command, int argc, char** argv,
                  std::initializer_list<OptionRule> specs, std::size_t maxPositional,
                  Options& options, std::string& error) {
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (options.positional.size() >= maxPositional) {
                error = "unexpected argument '" + arg + "' for " + command;
                return false;
            }
            options.positional.push_back(arg);
            continue;
        }
        const std::string name = arg.substr(2);
        const OptionRule* rule = nullptr;
        for (const OptionRule& s : specs)
            if (name == s.name) rule = &s;
        if (!rule) {
            error = "unknown option '" + arg + "' for " + command;
            return false;
        }
        if (options.has(name) && !rule->many) {
            error = "option '" + arg + "' given twice";
            return false;
        }
        auto& list = options.values[name];
        const std::size_t before = list.size();
        while (i + 1 < argc) {
            const std::string next = argv[i + 1];
            if (next.size() >= 3 && next.compare(0, 2, "--") == 0) break;
            list.push_back(next);
            ++i;
            if (!rule->many) break;
        }
        if (list.size() == before) {
            error = "option '" + arg + "' needs a value";
            return false;
        }
    }
    return true;
}

bool numberOption(const Options& o, const std::string& name, double min, double max, double& value,
                  std::string& error) {
    if (!o.has(name)) return true;
    const std::string& text = o.one(name);
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < min || v > max) {
        std::ostringstream s;
        s << "bad value '" << text << "' for --" << name << " (a number from " << min << " to "
          << max << ")";
        error = s.str();
        return false;
    }
    value = v;
    return true;
}

bool integerOption(const Options& o, const std::string& name, long long min, long long max,
                   long long& value, std::string& error) {
    if (!o.has(name)) return true;
    const std::string& text = o.one(name);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || v < min || v > max) {
        error = "bad value '" + text + "' for --" + name + " (a whole number from " +
                std::to_string(min) + " to " + std::to_string(max) + ")";
        return false;
    }
    value = v;
    return true;
}

bool patchSource(const Options& o, PatchSource& source, std::string& error) {
    if (o.has("patch") == o.has("preset")) {
        error = "give either --patch FILE or --preset NAME";
        return false;
    }
    if (o.has("patch"))
        source.file = o.one("patch");
    else
        source.preset = o.one("preset");
    return true;
}

bool loadScript(const Options& o, Script& script, std::string& error) {
    if (!o.has("script")) return true;
    const std::string& path = o.one("script");
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = "cannot read script '" + path + "': " + std::strerror(EISDIR);
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read script '" + path + "': " + std::strerror(errno ? errno : ENOENT);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string problem;
    if (!parseScript(text.str(), script, problem)) {
        error = "script '" + path + "' " + problem;
        return false;
    }
    return true;
}

// The session with its patch loaded and the --script events (if any) in place.
bool prepareSession(const Options& o, const PatchSource& source, OfflineSession& session,
                    std::string& error) {
    Script script;
    return loadScript(o, script, error) && session.loadPatch(source, error) &&
           session.useScript(script, error);
}

std::string decibels(double fraction) {
    if (fraction <= 0) return "-inf dBFS";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(fraction));
    return text;
}

// ---- Commands ---------------------------------------------------------------------------------

int render(int argc, char** argv) {
    Options o;
    std::string error;
    PatchSource source;
    double seconds = 10.0;
    long long device = -1;
    if (!parseOptions("render", argc, argv,
                      {{"patch", false},
                       {"preset", false},
                       {"seconds", false},
                       {"script", false},
                       {"device", false},
                       {"out", false}},
                      0, o, error) ||
        !patchSource(o, source, error) ||
        !numberOption(o, "seconds", 0.0, 86400.0, seconds, error) ||
        !integerOption(o, "device", -1, OfflineSession::kCaptureDevices - 1, device, error)) {
        complain(error);
        return kExitUsage;
    }
    if (!o.has("out")) {
        complain("render needs --out FILE.wav");
        return kExitUsage;
    }
    OfflineSession session;
    if (!prepareSession(o, source, session, error)) {
        complain(error);
        return kExitFailure;
    }
    WavFileWriter wav;
    if (!wav.open(o.one("out"), error)) {
        complain(error);
        return kExitFailure;
    }
    const int64_t total = std::llround(seconds * 48000.0);
    const int wanted = static_cast<int>(device);
    session.capture().setSink([&](int d, const int16_t* frames, int64_t count) {
        if (d == wanted) wav.write(frames, std::min(count, total - wav.frames()));
    });

    const auto start = std::chrono::steady_clock::now();
    session.run([&] { return session.capture().clock() >= total; });
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    session.capture().setSink(nullptr);
    if (wav.frames() < total)
        wav.writeSilence(total - wav.frames()); // the device never played, or only late
    if (!wav.finish(error)) {
        complain(error);
        return kExitFailure;
    }
    const double rendered = static_cast<double>(wav.frames()) / 48000.0;
    std::printf("rendered %.3f s: peak %.4f (%s), RMS %.4f (%s), real-time factor %.1f\n", rendered,
                wav.peak(), decibels(wav.peak()).c_str(), wav.rms(), decibels(wav.rms()).c_str(),
                wall > 0 ? rendered / wall : 0.0);
    return 0;
}

int probe(int argc, char** argv) {
    Options o;
    std::string error;
    PatchSource source;
    long long samples = 0, every = 1;
    if (!parseOptions("probe", argc, argv,
                      {{"patch", false},
                       {"preset", false},
                       {"script", false},
                       {"samples", false},
                       {"every", false},
                       {"row", true}},
                      0, o, error) ||
        !patchSource(o, source, error) ||
        !integerOption(o, "samples", 1, int64_t(1) << 36, samples, error) ||
        !integerOption(o, "every", 1, int64_t(1) << 36, every, error)) {
        complain(error);
        return kExitUsage;
    }
    if (!o.has("samples") || !o.has("row")) {
        complain("probe needs --samples N and --row ROW...");
        return kExitUsage;
    }
    OfflineSession session;
    if (!prepareSession(o, source, session, error)) {
        complain(error);
        return kExitFailure;
    }
    std::vector<int> rows;
    for (const std::string& r : o.values.at("row")) {
        const int row = resolveProbeRow(r, session.registry());
        if (row < 0) {
            complain("--row '" + r + "' names no row (a number 0..154 or a module name[@SUBTYPE])");
            return kExitFailure;
        }
        rows.push_back(row);
    }

    std::string out =
        "sample,row,voices,k,note,primary,primarySmoothed,velocity,velocitySmoothed\n";
    const ControlTable& table = session.state().table;
    const uint64_t n = static_cast<uint64_t>(samples), k = static_cast<uint64_t>(every);
    session.onSample = [&](uint64_t s) {
        if (s >= n || s % k != 0) return;
        char line[512];
        for (int row : rows) {
            const ControlRow& r = table.rows[row];
            const int voices = r.voiceCount;
            if (voices == 0) {
                std::snprintf(line, sizeof line, "%llu,%d,0,,,,,,\n",
                              static_cast<unsigned long long>(s), row);
                out += line;
            }
            for (int v = 0; v < voices && v < kVoices; ++v) {
                std::snprintf(line, sizeof line, "%llu,%d,%d,%d,%d,%.17g,%.17g,%.17g,%.17g\n",
                              static_cast<unsigned long long>(s), row, voices, v, r.noteId[v],
                              r.primary[v], r.primarySmoothed[v], r.velocity[v],
                              r.velocitySmoothed[v]);
                out += line;
            }
        }
        if (out.size() > (1u << 20)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    };
    session.run([&] { return session.engine().sampleCounter() >= n; });
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0) {
        complain(std::string("writing the output failed: ") + std::strerror(errno));
        return kExitFailure;
    }
    return 0;
}

int kvc(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parseOptions("kvc", argc, argv, {{"out", false}}, 1, o, error)) {
        complain(error);
        return kExitUsage;
    }
    if (o.positional.size() != 1 || !o.has("out")) {
        complain("kvc needs IN.kvc and --out OUT.kvc");
        return kExitUsage;
    }
    OfflineSession session;
    PatchSource source;
    source.file = o.positional.front();
    if (!session.loadPatch(source, error)) {
        complain(error);
        return kExitFailure;
    }
    const SaveResult saved = writeConfiguration(session.registry(), o.one("out"));
    if (!saved) {
        complain("cannot write '" + o.one("out") + "': " + saved.reason);
        return kExitFailure;
    }
    return 0;
}

int presets(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parseOptions("presets", argc, argv, {}, 0, o, error)) {
        complain(error);
        return kExitUsage;
    }
    for (const PresetInfo& p : presetTable())
        if (presetAvailable(p)) std::printf("%d %s\n", p.resource, p.name);
    return 0;
}

std::atomic<bool> interrupted{false};
extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

int play(int argc, char** argv) {
    Options o;
    std::string error;
    PatchSource source;
    double seconds = 0.0;
    if (!parseOptions("play", argc, argv,
                      {{"patch", false}, {"preset", false}, {"seconds", false}, {"api", false}}, 0,
                      o, error) ||
        !patchSource(o, source, error) ||
        !numberOption(o, "seconds", 0.0, 31.0 * 86400.0, seconds, error)) {
        complain(error);
        return kExitUsage;
    }
    const std::string api = o.has("api") ? o.one("api") : "auto";
    std::unique_ptr<platform::AudioOut> out = platform::makeAudioOut(api);
    if (!out || out->deviceCount() == 0) {
        complain("no sound output device found (API '" + api + "')");
        return kExitFailure;
    }
    OutputDeviceManager manager(*out);
    DeviceOutputStage stage(manager);
    EngineState state;
    // The desktop's mouse plays the mouse rows when there is a display, as in the program.
    std::string noMouse;
    const std::unique_ptr<platform::MouseBackend> pointer = platform::makeMouseBackend(noMouse);
    if (!noMouse.empty()) complain(noMouse);
    MouseInput mouse;
    MouseSampler sampler(mouse);
    MouseSamplerThread sampling(sampler, *pointer);
    Engine engine(state, &stage, &mouse);
    engine.onStart = [&] {
        std::string message;
        if (!installMouseHook(mouse.hook, *pointer, message)) complain(message);
    };
    ModuleRegistry registry(&engine);
    offerOutputDevices(registry, manager);
    LoadTarget target;
    target.registry = &registry;
    target.engine = &engine;
    target.legacyFlag = &state.settings.legacyPatch;
    if (!loadPatchInto(target, source, error)) {
        complain(error);
        return kExitFailure;
    }

    manager.setFeederStart([] { platform::raiseCurrentThreadPriority(true, nullptr); });
    engine.onTickerThreadStart = [] { platform::raiseCurrentThreadPriority(true, nullptr); };
    engine.onEngineThreadStart = [](bool realtime) {
        std::string message;
        if (!platform::raiseCurrentThreadPriority(realtime, &message) && !message.empty())
            complain(message);
    };
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    sampling.start();
    engine.start();
    while (!interrupted.load() && (seconds <= 0 || elapsed() < seconds))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    engine.stopAndWait();
    sampling.stop();
    pointer->removeHook();
    const double played = elapsed();

    const long long cycles = state.cycleCounter.load();
    const long long expected = std::llround(played / 0.002);
    std::printf("played %.1f s: %lld cycles of %lld expected (%lld late), %.3f ms per cycle, "
                "output latency %.1f ms (desired %d ms)\n",
                played, cycles, expected, std::max(0LL, expected - cycles),
                state.millisecondsPerChunk.load(), state.smoothedLatency.load(),
                state.settings.desiredOutputLatency.load());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    kv::languages().initLanguages({});
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    try {
        if (command == "render") return render(argc, argv);
        if (command == "play") return play(argc, argv);
        if (command == "probe") return probe(argc, argv);
        if (command == "kvc") return kvc(argc, argv);
        if (command == "presets") return presets(argc, argv);
        if (command == "help" || command == "--help" || command == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    } catch (const std::exception& e) {
        complain(std::string("failed: ") + e.what());
        return kExitFailure;
    }
    complain("unknown command '" + command + "'");
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

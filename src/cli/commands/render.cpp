// kalvitrope-cli render: a patch on a simulated clock into a WAV file.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include <unistd.h>

#include "cli/commands/command_line.h"
#include "cli/commands/commands.h"
#include "cli/wav_file.h"
#include "persistence/text.h"

namespace kv::cli {

namespace {

/// The longest render, seconds (a day).
constexpr int kMaxRenderSeconds = 86400;

std::string decibels(double fraction) {
    if (fraction <= 0) return "-inf dBFS";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(fraction));
    return text;
}

} // namespace

int renderCommand(int argc, char** argv) {
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
                       {"format", false},
                       {"engine", false},
                       {"out", false}},
                      0, o, error) ||
        !patchSource(o, source, error) || !engineOption(o, error) ||
        !numberOption(o, "seconds", 0.0, kMaxRenderSeconds, seconds, error) ||
        !integerOption(o, "device", -1, OfflineSession::kCaptureDevices - 1, device, error)) {
        complainUsage("render", error);
        return kExitUsage;
    }
    if (!o.has("out")) {
        complainUsage("render", "render needs --out FILE.wav");
        return kExitUsage;
    }
    WavSampleFormat format = WavSampleFormat::S16;
    if (o.has("format")) {
        const std::string name = toAsciiLower(o.one("format"));
        if (name == "s24")
            format = WavSampleFormat::S24;
        else if (name == "f32")
            format = WavSampleFormat::F32;
        else if (name != "s16") {
            complainUsage("render",
                          "unknown --format '" + o.one("format") + "' (one of: s16, s24, f32)");
            return kExitUsage;
        }
    }
    OfflineSession session;
    ScriptEvents script;
    if (!prepareSession(o, source, session, error, script)) {
        complain(error);
        return kExitFailure;
    }
    // Without --seconds, a script with an end line renders up to it, within the same limit.
    if (!o.has("seconds") && script.hasEnd()) {
        seconds = static_cast<double>(script.endSample()) / 48000.0;
        if (seconds > kMaxRenderSeconds) {
            complain("script '" + o.one("script") + "': its end line lies at " +
                     std::to_string(script.endSample()) + " samples, beyond the " +
                     std::to_string(kMaxRenderSeconds) +
                     " seconds a render may last; give --seconds to render a part of it");
            return kExitFailure;
        }
    }
    const int64_t total = !o.has("seconds") && script.hasEnd()
                              ? static_cast<int64_t>(script.endSample())
                              : std::llround(seconds * 48000.0);
    if (!session.useScript(std::move(script), error, static_cast<uint64_t>(total))) {
        complain(error);
        return kExitFailure;
    }
    const bool toStdout = o.one("out") == "-";
    WavFileWriter wav;
    if (!wav.open(o.one("out"), error, total, format)) {
        complain(error);
        return kExitFailure;
    }
    const int wanted = static_cast<int>(device);
    session.capture().setSink([&](int d, const int16_t* frames, int64_t count) {
        if (d == wanted) wav.write(frames, std::min(count, total - wav.frames()));
    });

    const auto start = std::chrono::steady_clock::now();
    // On a terminal, a progress line on standard error, redrawn about four times a second.
    const bool progress = ::isatty(STDERR_FILENO) != 0 && total > 0;
    auto lastShown = start;
    session.run([&] {
        const int64_t clock = session.capture().clock();
        if (progress &&
            std::chrono::steady_clock::now() - lastShown > std::chrono::milliseconds(250)) {
            lastShown = std::chrono::steady_clock::now();
            std::fprintf(stderr, "\rrendering: %.1f of %.1f s (%d%%)", clock / 48000.0, seconds,
                         static_cast<int>(100 * std::min(clock, total) / total));
            std::fflush(stderr);
        }
        return clock >= total;
    });
    if (progress && lastShown != start) std::fputs("\r\033[K", stderr);
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
    // With the WAV on standard output, the summary goes to standard error.
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  "rendered %.3f s: peak %.4f (%s), RMS %.4f (%s), real-time factor %.1f\n",
                  rendered, wav.peak(), decibels(wav.peak()).c_str(), wav.rms(),
                  decibels(wav.rms()).c_str(), wall > 0 ? rendered / wall : 0.0);
    if (toStdout)
        std::fputs(summary, stderr);
    else
        writeOut(summary);
    return 0;
}

} // namespace kv::cli

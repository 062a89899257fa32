// indicator-frame: renders the mouse-status indicator off-screen and writes it as a PNG picture,
// so that a person can look at a frame without running the program.
//
//   indicator-frame --out FILE.png [--width W] [--height H] [--frames N] [--speed S]
//                   [--direction DEGREES] [--distance PIXELS] [--turn T] [--fast]
//
// The inputs are held for N frames (default 60) so that the smoothed values settle; the last
// frame is written.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mouse/indicator_offscreen.h"
#include "persistence/settings.h"

namespace {

bool number(const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(out);
}

constexpr const char* kUsage =
    "usage: indicator-frame --out FILE.png [--width W] [--height H] [--frames N] [--speed S] "
    "[--direction DEGREES] [--distance PIXELS] [--turn T] [--fast]\n";

int usage(const char* message) {
    std::fprintf(stderr, "indicator-frame: %s\n%s", message, kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string out;
    double width = 400, height = 240, frames = 60, degrees = 0;
    kv::IndicatorInputs in;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::printf("%s", kUsage);
            return 0;
        }
        if (a == "--version") {
            std::printf("indicator-frame (Kalvitrope v%s)\n",
                        std::string(kv::kSettingsProgramVersion).c_str());
            return 0;
        }
        if (a == "--fast") {
            in.fast = true;
            continue;
        }
        if (i + 1 >= argc) return usage(("missing value after " + a).c_str());
        const char* v = argv[++i];
        bool ok = true;
        if (a == "--out")
            out = v;
        else if (a == "--width")
            ok = number(v, width) && width >= 1 && width <= 8192;
        else if (a == "--height")
            ok = number(v, height) && height >= 1 && height <= 8192;
        else if (a == "--frames")
            ok = number(v, frames) && frames >= 1 && frames <= 100000;
        else if (a == "--speed")
            ok = number(v, in.speed);
        else if (a == "--direction")
            ok = number(v, degrees);
        else if (a == "--distance")
            ok = number(v, in.totalDistance) && in.totalDistance >= 0;
        else if (a == "--turn")
            ok = number(v, in.turnInertia);
        else
            return usage(("unknown option " + a).c_str());
        if (!ok) return usage(("bad value for " + a + ": " + v).c_str());
    }
    if (out.empty()) return usage("--out FILE.png is required");
    in.theta = degrees * M_PI / 180;

    kv::IndicatorColours colours;
    kv::OffscreenIndicator view(int(width), int(height), colours.dialogBackground);
    if (!view.ok()) {
        std::fprintf(stderr, "indicator-frame: %s\n", view.error().c_str());
        return 1;
    }
    kv::IndicatorState state;
    kv::IndicatorFrame frame;
    for (int i = 0; i < int(frames); ++i)
        view.render(state, in, colours, frame);
    if (!kv::writeFramePng(frame, out)) {
        std::fprintf(stderr, "indicator-frame: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("%s: %d x %d\n", out.c_str(), frame.width, frame.height);
    return 0;
}

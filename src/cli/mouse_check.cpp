#include "cli/mouse_check.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "mouse/mice_rule.h"
#include "mouse/mouse_input.h"
#include "persistence/settings.h"
#include "persistence/text.h"
#include "platform/mouse_libinput.h"

namespace kv::cli {

const char* const kMouseCheckUsage =
    "kalvitrope-cli mouse-check [--seconds S] [--backend auto|x11|devices]";
const char* const kMouseCheckHelp =
    "Prints the session type, the mouse backend chosen and why, each mouse and touchpad found\n"
    "(readable or not), the desktop rectangle, then the sampler's values each pass (about 100 a\n"
    "second): cursor, position and speed sources, buttons held and wheel positions.\n"
    "  --seconds S      how long to sample, 0 to 3600 seconds (default 5; 0: the report only)\n"
    "  --backend NAME   the backend to use instead of Preferences.MouseBackend: auto, x11 or\n"
    "                   devices\n";

namespace {

std::string format(const char* f, auto... v) {
    char text[512];
    std::snprintf(text, sizeof text, f, v...);
    return text;
}

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace

int mouseCheck(const std::vector<std::string>& args, std::string_view setting,
               const std::function<void(std::string_view)>& out, std::string& error) {
    double seconds = 5;
    std::string backendSetting(mouseBackendName(setting));
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--seconds" || a == "--backend") && i + 1 >= args.size()) {
            error = "option '" + a + "' needs a value";
            return 2;
        }
        if (a == "--seconds") {
            const std::string& v = args[++i];
            char* end = nullptr;
            seconds = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(seconds >= 0 && seconds <= 3600)) {
                error = "--seconds takes 0 to 3600, not '" + v + "'";
                return 2;
            }
        } else if (a == "--backend") {
            const std::string& v = args[++i];
            backendSetting = mouseBackendName(v);
            if (backendSetting != toAsciiLower(v)) {
                error = "--backend takes auto, x11 or devices, not '" + v + "'";
                return 2;
            }
        } else {
            error = "unknown option '" + a + "'";
            return 2;
        }
    }

    const platform::MouseSessionReport r = platform::diagnoseMouseSession(backendSetting);
    out(format("session: %s (XDG_SESSION_TYPE=%s, WAYLAND_DISPLAY=%s, DISPLAY=%s)\n",
               sessionTypeName(r.session), env("XDG_SESSION_TYPE"), env("WAYLAND_DISPLAY"),
               env("DISPLAY")));
    out(format("X display: %s\n", r.haveXDisplay ? "open" : "none"));
    out(format("device reading: %s\n",
               platform::deviceMouseSupported() ? "built in" : "not in this build (no libinput)"));
    out("backend: " + std::string(mouseBackendKindName(r.choice.kind)) + " (preference " +
        backendSetting + "): " + r.choice.why + "\n");
    out(format("mice and touchpads: %zu\n", r.devices.size()));
    for (const platform::InputDeviceInfo& d : r.devices)
        out("  " + d.path + "  " + (d.readable ? "readable    " : "not readable") + "  " +
            (d.touchpad ? "touchpad  " : "mouse     ") + d.name + "\n");
    if (r.choice.xwaylandOnly && platform::readableCount(r.devices) == 0 && !r.devices.empty())
        out(std::string("to let this session read its mice (not keyboards), install ") +
            kMiceRulePath + ":\n  " + allowMiceShellLine() + "\n");

    std::string unavailable;
    const std::unique_ptr<platform::MouseBackend> backend =
        platform::makeMouseBackend(unavailable, backendSetting);
    if (!unavailable.empty()) out(unavailable + "\n");
    const platform::DesktopRect desk = backend->desktop();
    out(format("desktop: left %ld top %ld right %ld bottom %ld\n", desk.left, desk.top, desk.right,
               desk.bottom));
    if (seconds <= 0) return 0;

    MouseInput mouse;
    MouseSampler sampler(mouse);
    mouse.settings.wrapAtScreenEdges.store(false); // a check never moves the user's cursor
    std::string message;
    if (!installMouseHook(mouse.hook, *backend, message)) out(message + "\n");
    auto* devices = dynamic_cast<platform::DeviceMouse*>(backend.get());
    if (devices) {
        // The device thread opens the mice as it starts; give it a moment before reporting.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (const auto& d : devices->devices())
            out("  " + d.info.path + (d.open ? "  open      " : "  not open  ") + d.info.name +
                "\n");
    }
    out("pass  x  y  horizontal vertical speed direction  buttons(LMR12)  wheel-v wheel-h\n");
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    for (uint64_t pass = 0;; ++pass) {
        sampler.pass(*backend);
        long x = 0, y = 0;
        mouse.cursorPosition(x, y);
        char buttons[kMouseButtons + 1] = {};
        for (int b = 0; b < kMouseButtons; ++b)
            buttons[b] = mouse.hook.isDown(b) ? "LMR12"[b] : '-';
        const MouseMetrics& m = mouse.metrics;
        out(format("%llu %ld %ld %.0f %.0f %.1f %.0f %s %.0f %.0f\n", (unsigned long long)pass, x,
                   y, m.value(kSourceHorizontalPosition), m.value(kSourceVerticalPosition),
                   m.value(kSourceSpeed), m.value(kSourceDirection), buttons,
                   m.value(kSourceVerticalScrollPosition),
                   m.value(kSourceHorizontalScrollPosition)));
        next += std::chrono::milliseconds(sampler.pauseMs());
        if (std::chrono::duration<double>(next - start).count() >= seconds) break;
        std::this_thread::sleep_until(next);
    }
    if (devices) out(format("device events: %llu\n", (unsigned long long)devices->events()));
    backend->removeHook();
    return 0;
}

} // namespace kv::cli

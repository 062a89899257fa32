#include "mouse/desktop_pointer.h"

#include <charconv>
#include <cmath>

#include "persistence/text.h"

namespace kv {

namespace {

std::optional<double> parseSpeed(std::string_view text) {
    text = trim(text);
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
        return std::nullopt;
    return std::fmax(-1.0, std::fmin(1.0, v));
}

bool parseBool(std::string_view text) {
    text = trim(text);
    return equalsIgnoreCase(text, "true") || text == "1";
}

// One group of an ini file: the keys this reader knows.
struct Group {
    std::optional<double> speed;
    AccelProfile profile = AccelProfile::Default;
    bool any = false;
};

void applyKey(Group& g, std::string_view key, std::string_view value) {
    if (key == "PointerAcceleration" || key == "XLbInptPointerAcceleration") {
        if (auto s = parseSpeed(value)) g.speed = s, g.any = true;
    } else if (key == "PointerAccelerationProfile") {
        const std::string_view v = trim(value);
        if (v == "1")
            g.profile = AccelProfile::Flat, g.any = true;
        else if (v == "2")
            g.profile = AccelProfile::Adaptive, g.any = true;
    } else if (key == "XLbInptAccelProfileFlat") {
        g.profile = parseBool(value) ? AccelProfile::Flat : AccelProfile::Adaptive;
        g.any = true;
    }
}

} // namespace

PointerAccel gnomePointerAccel(std::string_view profileOutput, std::string_view speedOutput) {
    PointerAccel a;
    const std::string_view p = trim(profileOutput, " \t\r\n'\"");
    if (p == "flat")
        a.profile = AccelProfile::Flat;
    else if (p == "adaptive")
        a.profile = AccelProfile::Adaptive;
    a.speed = parseSpeed(speedOutput);
    return a;
}

PointerAccel plasmaPointerAccel(std::string_view text, const PointerDeviceId& device) {
    const std::string deviceGroup = "[Libinput][" + std::to_string(device.vendor) + "][" +
                                    std::to_string(device.product) + "][" + device.name + "]";
    Group mouse, own;
    Group* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            current = line == "[Mouse]" ? &mouse : line == deviceGroup ? &own : nullptr;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!current || eq == std::string_view::npos) continue;
        // Keys may carry a locale or shell-expansion mark ("Key[$e]"): the name is before it.
        std::string_view key = trim(line.substr(0, eq));
        key = key.substr(0, key.find('['));
        applyKey(*current, key, line.substr(eq + 1));
    }
    PointerAccel a;
    for (const Group* g : {&mouse, &own}) {
        if (!g->any) continue;
        if (g->speed) a.speed = g->speed;
        if (g->profile != AccelProfile::Default) a.profile = g->profile;
    }
    return a;
}

bool parseHyprlandCursorPos(std::string_view reply, long& x, long& y) {
    reply = trim(reply);
    const std::size_t comma = reply.find(',');
    if (comma == std::string_view::npos) return false;
    const std::string_view a = trim(reply.substr(0, comma)), b = trim(reply.substr(comma + 1));
    long vx = 0, vy = 0;
    const auto [ea, ca] = std::from_chars(a.data(), a.data() + a.size(), vx);
    const auto [eb, cb] = std::from_chars(b.data(), b.data() + b.size(), vy);
    if (ca != std::errc() || cb != std::errc() || ea != a.data() + a.size() ||
        eb != b.data() + b.size())
        return false;
    x = vx;
    y = vy;
    return true;
}

} // namespace kv

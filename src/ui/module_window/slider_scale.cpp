#include "ui/module_window/slider_scale.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace kv::ui {
namespace {

int clampToInt(double v) {
    if (v > 2147483647.0) return 2147483647;
    if (v < -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(v);
}

int clampLong(long v) {
    return clampToInt(static_cast<double>(v));
}

std::string format(const char* fmt, auto value) {
    const int n = std::snprintf(nullptr, 0, fmt, value);
    if (n <= 0) return {};
    std::vector<char> buf(static_cast<std::size_t>(n) + 1);
    std::snprintf(buf.data(), buf.size(), fmt, value);
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

/// The language string's format with only its first conversion kept; anything else that looks
/// like a conversion is escaped, so a user's strings file cannot make the formatting unsafe.
std::string safeFormat(const std::string& text, const char* allowed) {
    std::string out;
    bool used = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            out += "%%";
            ++i;
            continue;
        }
        const std::string rest = text.substr(i);
        if (!used && rest.rfind(allowed, 0) == 0) {
            out += allowed;
            i += std::string(allowed).size() - 1;
            used = true;
            continue;
        }
        out += "%%";
    }
    return out;
}

} // namespace

int SliderScale::position(double value) const {
    const double p = value * den / num;
    return clampToInt(std::trunc(p + (p >= 0 ? 1e-9 : -1e-9)));
}

SliderScale inputValueScale(const ControlDef& c, bool longMode) {
    if (c.decimals > 0)
        return {clampLong(c.minimum * 10), clampLong(c.maximum * 10), 1, longMode ? 1 : 10};
    return {clampLong(c.minimum), clampLong(c.maximum), longMode ? 10 : 1, 1};
}

SliderScale sensitivityScale(const ControlDef& c) {
    return {c.kind == ControlKind::InputSlider && c.signedSensitivity ? -1000 : 0, 1000, 1, 1};
}

SliderScale velocityScale() {
    return {0, 1000, 1, 1};
}

SliderScale tenthsScale(const ControlDef& c) {
    return {clampLong(c.minimum * 10), clampLong(c.maximum * 10), 1, 10};
}

SliderScale frequencyBaseScale(const ControlDef& c) {
    return c.fineMode ? SliderScale{0, 1000, 1, 100} : SliderScale{0, 600, 1, 10};
}

SliderScale frequencyMultiplierScale(const ControlDef& c) {
    return c.fineMode ? SliderScale{1, 1000, 1, 10} : SliderScale{1, 400, 1, 1};
}

int optionSwitchPosition(const ControlDef& c, double v, bool nowOn) {
    const double x = c.decimals > 0 ? 1.0 : 10.0;
    if (nowOn) return clampToInt(std::floor(v / x + 0.5));
    return SliderScale{0, 0, static_cast<int>(x), 10}.position(v);
}

std::string valueDisplay(double value, int decimals, const std::string& unit) {
    const std::string fmt = "%." +
                            std::to_string(decimals < 0   ? 0
                                           : decimals > 9 ? 9
                                                          : decimals) +
                            "f";
    return format(fmt.c_str(), value) + " " + unit;
}

std::string formatLong(const std::string& text, long value) {
    return format(safeFormat(text, "%ld").c_str(), value);
}

std::string formatDouble(const std::string& text, double value) {
    const char* conv = text.find("%.3f") != std::string::npos ? "%.3f" : "%.0f";
    return format(safeFormat(text, conv).c_str(), value);
}

} // namespace kv::ui

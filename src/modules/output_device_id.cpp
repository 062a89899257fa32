#include "modules/output_device_id.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace kv {

OutputTarget decodeOutputDeviceID(int code) {
    if (code < 99) return {code, true, true};
    if (code < 199) return {code - kLeftOffset, true, false};
    return {code - kRightOffset, false, true};
}

int encodeOutputDeviceID(int device, bool left, bool right) {
    if (left && !right) return device + kLeftOffset;
    if (right && !left) return device + kRightOffset;
    return device;
}

std::string formatOutputDeviceID(int code) {
    const OutputTarget t = decodeOutputDeviceID(code);
    const char* mark = t.bothChannels() ? "(L+R)" : (t.left ? "(L)" : "(R)");
    char text[48];
    std::snprintf(text, sizeof text, "%ld %s", static_cast<long>(t.device), mark);
    return text;
}

int parseOutputDeviceID(std::string_view text) {
    std::size_t run = 0;
    while (run < text.size() && std::string_view("0123456789-").find(text[run]) != text.npos)
        ++run;
    // The run read as "%ld" would: a run that is no number leaves n at 0.
    const std::string digits(text.substr(0, run));
    int64_t n = 0;
    if (!digits.empty()) {
        errno = 0;
        char* end = nullptr;
        const long long value = std::strtoll(digits.c_str(), &end, 10);
        if (end == digits.c_str())
            n = 0;
        else if (errno == ERANGE)
            return kNoDevice;
        else
            n = value;
    }
    int64_t code;
    if (text.find("(L+R)") != text.npos)
        code = n;
    else if (text.find("(L)") != text.npos)
        code = n + kLeftOffset;
    else if (text.find("(R)") != text.npos)
        code = n + kRightOffset;
    else
        return kNoDevice;
    if (code < std::numeric_limits<int>::min() || code > std::numeric_limits<int>::max())
        return kNoDevice;
    return static_cast<int>(code);
}

} // namespace kv

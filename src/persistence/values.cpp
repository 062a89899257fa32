#include "persistence/values.h"

#include "persistence/text.h"

#include <cfloat>
#include <charconv>
#include <climits>
#include <string>
#include <system_error>

namespace kv {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

/// The characters of `text` that occur in `allowed`, in their order.
std::string keepOnly(std::string_view text, std::string_view allowed) {
    std::string out;
    for (char c : text)
        if (allowed.find(c) != std::string_view::npos) out.push_back(c);
    return out;
}

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// Reads an optional "-" and digits of `base` from the front of `s`, as "%ld" / "%lx" do, the
/// magnitude saturating at the limits of long. False when no digit follows the sign.
bool readLong(std::string_view s, int base, long& out) {
    size_t i = 0;
    const bool negative = !s.empty() && s[0] == '-';
    if (negative) i = 1;
    // Accumulate as a negative number so that LONG_MIN itself is reachable.
    long value = 0;
    bool any = false;
    bool saturated = false;
    for (; i < s.size(); ++i) {
        const int d = hexValue(s[i]);
        if (d < 0 || d >= base) break;
        any = true;
        if (saturated) continue;
        if (value < (LONG_MIN + d) / base) {
            saturated = true;
            continue;
        }
        value = value * base - d;
    }
    if (!any) return false;
    if (saturated) {
        out = negative ? LONG_MIN : LONG_MAX;
    } else if (negative) {
        out = value;
    } else {
        out = value == LONG_MIN ? LONG_MAX : -value;
    }
    return true;
}

long clampLong(long v, long min, long max) {
    if (min == 0 && max == 0) return v;
    if (v < min) return min;
    if (v > max) return max;
    return v;
}

double clampDouble(double v, double min, double max) {
    if (min == 0 && max == 0) return v;
    if (v < min) return min;
    if (v > max) return max;
    return v;
}

long parseIntegerIn(std::string_view text, long def, long min, long max, std::string_view chars,
                    int base) {
    const std::string kept = keepOnly(text, chars);
    long value = 0;
    if (kept.empty() || !readLong(kept, base, value)) return def;
    return clampLong(value, min, max);
}

/// Whether a number (no sign, no "0x") that double cannot hold is too small rather than too
/// large: its exponent, from the mantissa's first significant digit and the written exponent
/// (decimal numbers only), is negative.
bool isUnderflow(std::string_view s, bool hex) {
    const size_t e = hex ? std::string_view::npos : s.find_first_of("eE");
    const std::string_view mantissa = s.substr(0, e);
    long long magnitude = 0;
    const size_t point = mantissa.find('.');
    const std::string_view whole = mantissa.substr(0, point);
    const size_t firstWhole = whole.find_first_not_of('0');
    if (firstWhole != std::string_view::npos) {
        magnitude = static_cast<long long>(whole.size() - firstWhole) - 1;
    } else if (point != std::string_view::npos) {
        const std::string_view fraction = mantissa.substr(point + 1);
        const size_t firstFraction = fraction.find_first_not_of('0');
        if (firstFraction == std::string_view::npos) return true; // all zeros
        magnitude = -static_cast<long long>(firstFraction) - 1;
    }
    long exponent = 0;
    if (e != std::string_view::npos) readLong(s.substr(e + 1), 10, exponent);
    return static_cast<long double>(magnitude) + static_cast<long double>(exponent) < 0;
}

} // namespace

long parseInteger(std::string_view text, long def, long min, long max) {
    return parseIntegerIn(text, def, min, max, "-0123456789", 10);
}

long parseHexInteger(std::string_view text, long def, long min, long max) {
    return parseIntegerIn(text, def, min, max, "-0123456789ABCDEFabcdef", 16);
}

double parseDecimal(std::string_view text, double def, double min, double max) {
    const std::string kept = keepOnly(text, "-0123456789.EexX");
    std::string_view s = kept;
    const bool negative = !s.empty() && s[0] == '-';
    if (negative) s.remove_prefix(1);
    if (s.empty()) return def;

    // "0x" introduces a hexadecimal mantissa; "0x" without hexadecimal digits reads as the 0.
    const bool hex = s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    std::string_view digits = hex ? s.substr(2) : s;
    // A second sign ("--5", "0x-1") is not part of a number.
    if (!digits.empty() && digits[0] == '-') {
        if (!hex) return def;
        digits = {};
    }
    double value = 0;
    const auto format = hex ? std::chars_format::hex : std::chars_format::general;
    const auto result =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, format);
    if (result.ec == std::errc::invalid_argument) {
        if (!hex) return def;
        value = 0;
    } else if (result.ec == std::errc::result_out_of_range) {
        const std::string_view used(digits.data(), static_cast<size_t>(result.ptr - digits.data()));
        value = isUnderflow(used, hex) ? 0.0 : DBL_MAX;
    }
    if (negative) value = -value;
    return clampDouble(value, min, max);
}

bool parseFlag(std::string_view text) {
    const std::string_view t = trim(text);
    static constexpr std::string_view kTrue[] = {"1",   "true",   "yes",     "yeah", "on",
                                                 "one", "enable", "enabled", "+"};
    for (std::string_view word : kTrue)
        if (equalsIgnoreCase(t, word)) return true;
    return false;
}

int parseChoice(std::string_view text, std::span<const char* const> names) {
    const long count = static_cast<long>(names.size());
    if (text.empty() || count == 0) return -1;
    if (text.find_first_not_of("0123456789-") == std::string_view::npos) {
        long index = 0;
        if (!readLong(text, 10, index) || index < -1) return -1;
        return static_cast<int>(index >= count ? count - 1 : index);
    }
    for (long i = 0; i < count; ++i)
        if (names[i] != nullptr && equalsIgnoreCase(text, names[i])) return static_cast<int>(i);
    return -1;
}

long parseTokenInteger(std::string_view text, TokenSet allowed, long def) {
    struct Token {
        TokenSet bit;
        std::string_view name; // upper case
        std::string_view value;
    };
    static constexpr Token kTokens[] = {
        {kTokenCbErr, "CB_ERR", "-1"},
        {kTokenMsOffset, "MS_OFFSET", "1000"},
        {kTokenWaveMapper, "WAVE_MAPPER", "-1"},
        {kTokenGenericNoSelCode, "MS_GENERICNOSELCODE", "-555"},
    };
    const std::string_view trimmed = trim(text);
    std::string upper(trimmed.size(), '\0');
    for (size_t i = 0; i < trimmed.size(); ++i)
        upper[i] = asciiUpper(trimmed[i]);

    // One pass: at each position the first allowed token that starts there is replaced.
    std::string replaced;
    replaced.reserve(upper.size());
    const std::string_view u = upper;
    for (size_t i = 0; i < u.size();) {
        bool matched = false;
        for (const Token& token : kTokens) {
            if ((allowed & token.bit) && u.substr(i, token.name.size()) == token.name) {
                replaced += token.value;
                i += token.name.size();
                matched = true;
                break;
            }
        }
        if (!matched) replaced.push_back(u[i++]);
    }
    return parseInteger(replaced, def);
}

long parseBoundInteger(std::string_view text, long def) {
    static constexpr std::string_view kToken = "MS_GMax";
    std::string replaced;
    replaced.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text.substr(i, kToken.size()) == kToken) {
            replaced += "1000";
            i += kToken.size();
        } else {
            replaced.push_back(text[i++]);
        }
    }
    return parseInteger(replaced, def);
}

} // namespace kv

#include "persistence/text.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kv {

// ---- ASCII case folding ----

std::string toAsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = asciiLower(c);
    return out;
}

std::string toAsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = asciiUpper(c);
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::size_t findIgnoreCase(std::string_view text, std::string_view needle, std::size_t from) {
    if (from > text.size()) return std::string_view::npos;
    if (needle.empty()) return from;
    auto it = std::search(text.begin() + from, text.end(), needle.begin(), needle.end(),
                          [](char x, char y) { return asciiLower(x) == asciiLower(y); });
    return it == text.end() ? std::string_view::npos : std::size_t(it - text.begin());
}

// ---- Trimming ----

std::string_view trim(std::string_view text, std::string_view chars) {
    std::size_t first = text.find_first_not_of(chars);
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(chars);
    return text.substr(first, last - first + 1);
}

std::string_view trimRight(std::string_view text, std::string_view chars) {
    std::size_t last = text.find_last_not_of(chars);
    return last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
}

bool isBlank(std::string_view text) {
    return text.find_first_not_of(kBlankChars) == text.npos;
}

// ---- Replacing and line ends ----

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = text.find(from, pos);
        if (hit == text.npos) break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

std::string toCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

// ---- Unicode ----

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Decodes the UTF-8 character at `pos`; returns its size (>= 1 when pos < size) and stores the
// code point, or U+FFFD with size 1 for a malformed sequence.
std::size_t decodeUtf8(std::string_view s, std::size_t pos, char32_t& cp) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(pos);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        cp = kReplacement;
        return 1;
    }
    if (pos + len > s.size()) {
        cp = kReplacement;
        return 1;
    }
    for (std::size_t i = 1; i < len; ++i) {
        unsigned char cc = b(pos + i);
        if ((cc & 0xC0) != 0x80) {
            cp = kReplacement;
            return 1;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = kReplacement;
        return 1;
    }
    return len;
}

std::string decodeUtf16(std::span<const unsigned char> bytes, bool little) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned lo = little ? bytes[i] : bytes[i + 1];
        unsigned hi = little ? bytes[i + 1] : bytes[i];
        units += char16_t(lo | (hi << 8));
    }
    return utf16ToUtf8(units);
}

} // namespace

std::size_t utf8CharSize(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return 0;
    char32_t cp;
    return decodeUtf8(text, pos, cp);
}

std::size_t utf8Length(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t pos = 0; pos < text.size(); pos += utf8CharSize(text, pos))
        ++n;
    return n;
}

std::string sanitizeUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        char32_t cp;
        std::size_t len = decodeUtf8(bytes, pos, cp);
        if (cp == kReplacement && len == 1)
            appendUtf8(out, cp);
        else
            out.append(bytes.substr(pos, len));
        pos += len;
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t cp;
        pos += decodeUtf8(text, pos, cp);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

std::string decodeText(std::span<const unsigned char> bytes) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE)
        return decodeUtf16(bytes.subspan(2), true);
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF)
        return decodeUtf16(bytes.subspan(2), false);
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        bytes = bytes.subspan(3);
    return sanitizeUtf8(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string decodeText(std::string_view bytes) {
    return decodeText(std::span<const unsigned char>(
        reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

std::string encodeUtf16Le(std::string_view text, bool withMark) {
    std::u16string units = utf8ToUtf16(text);
    std::string out;
    out.reserve(units.size() * 2 + 2);
    if (withMark) out += "\xFF\xFE";
    for (char16_t u : units) {
        out += char(u & 0xFF);
        out += char(u >> 8);
    }
    return out;
}

std::string readTextFile(const std::string& path) {
    if (path.empty()) return {};
    std::error_code ec;
    std::filesystem::path p(path);
    if (!std::filesystem::is_regular_file(p, ec) || ec) return {};
    std::uintmax_t size = std::filesystem::file_size(p, ec);
    if (ec || size == 0 || size > kMaxTextFileSize) return {};
    std::ifstream in(p, std::ios::binary);
    if (!in) return {};
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return decodeText(std::string_view(bytes));
}

// ---- Key lookup ----

// Line starts are the start of the text and every position after a line feed, so that files
// with CR LF line ends (as the program writes them) and files with plain LF line ends (as an
// editor may leave them) read the same.
KeyedText::KeyedText(std::string_view text) : original_("\n"), folded_() {
    original_.append(text);
    folded_ = toAsciiLower(original_);
}

std::size_t KeyedText::find(std::string_view key, std::size_t* valueStart) const {
    std::string probe = "\n" + toAsciiLower(key);
    for (char sep : {'\t', '=', ' ', ':'}) {
        std::string withSep = probe + sep;
        std::size_t hit = folded_.find(withSep);
        if (hit != std::string::npos) {
            *valueStart = hit + withSep.size();
            return hit;
        }
    }
    return std::string::npos;
}

std::string KeyedText::value(std::string_view key) const {
    std::size_t start = 0;
    if (find(key, &start) == std::string::npos) return {};
    std::size_t end = original_.find_first_of("\r\n", start);
    if (end == std::string::npos) end = original_.size();
    return std::string(trim(std::string_view(original_).substr(start, end - start), " \t"));
}

bool KeyedText::contains(std::string_view key) const {
    std::size_t start = 0;
    return find(key, &start) != std::string::npos;
}

std::string lookupKey(std::string_view text, std::string_view key) {
    return KeyedText(text).value(key);
}

// ---- Formatting ----

long long FormatArg::asInteger() const {
    switch (kind_) {
    case Kind::Integer:
        return i_;
    case Kind::Unsigned:
        return static_cast<long long>(u_);
    case Kind::Real:
        if (std::isnan(d_)) return 0;
        if (d_ >= 9.2e18) return INT64_MAX;
        if (d_ <= -9.2e18) return INT64_MIN;
        return static_cast<long long>(d_);
    case Kind::Text:
        break;
    }
    return 0;
}

unsigned long long FormatArg::asUnsigned() const {
    if (kind_ == Kind::Unsigned) return u_;
    return static_cast<unsigned long long>(asInteger());
}

double FormatArg::asReal() const {
    switch (kind_) {
    case Kind::Integer:
        return static_cast<double>(i_);
    case Kind::Unsigned:
        return static_cast<double>(u_);
    case Kind::Real:
        return d_;
    case Kind::Text:
        break;
    }
    return 0.0;
}

std::string FormatArg::asText() const {
    char buf[64];
    switch (kind_) {
    case Kind::Integer:
        std::snprintf(buf, sizeof buf, "%lld", i_);
        return buf;
    case Kind::Unsigned:
        std::snprintf(buf, sizeof buf, "%llu", u_);
        return buf;
    case Kind::Real:
        std::snprintf(buf, sizeof buf, "%g", d_);
        return buf;
    case Kind::Text:
        break;
    }
    return std::string(s_);
}

namespace {

constexpr auto npos = std::string_view::npos;
constexpr int kMaxFieldWidth = 300;

// Reads a decimal number at `pos` (digits only), capped.
int readCount(std::string_view p, std::size_t& pos) {
    int n = 0;
    while (pos < p.size() && p[pos] >= '0' && p[pos] <= '9') {
        n = std::min(n * 10 + (p[pos] - '0'), 100000);
        ++pos;
    }
    return std::min(n, kMaxFieldWidth);
}

// Appends snprintf(conversion, value); `conversion` is built by formatPattern and matches the
// value's type.
template <typename T>
void appendFormatted(std::string& out, const std::string& conversion, T value) {
    char buf[256];
    int n = std::snprintf(buf, sizeof buf, conversion.c_str(), value);
    if (n <= 0) return;
    if (static_cast<std::size_t>(n) < sizeof buf) {
        out.append(buf, static_cast<std::size_t>(n));
        return;
    }
    std::string tmp(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(tmp.data(), tmp.size(), conversion.c_str(), value);
    out.append(tmp.data(), static_cast<std::size_t>(n));
}

} // namespace

std::string formatPattern(std::string_view pattern, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(pattern.size() + 16);
    const FormatArg* next = args.begin();
    const FormatArg* end = args.end();
    std::size_t pos = 0;
    while (pos < pattern.size()) {
        if (pattern[pos] != '%') {
            out += pattern[pos++];
            continue;
        }
        std::size_t start = pos++;
        if (pos < pattern.size() && pattern[pos] == '%') {
            out += '%';
            ++pos;
            continue;
        }
        // Parse flags, width, precision and length; the conversion handed to snprintf is
        // rebuilt from them with only the flags that suit the conversion.
        bool left = false, plus = false, space = false, alt = false, zero = false, star = false;
        for (; pos < pattern.size(); ++pos) {
            char f = pattern[pos];
            if (f == '-')
                left = true;
            else if (f == '+')
                plus = true;
            else if (f == ' ')
                space = true;
            else if (f == '#')
                alt = true;
            else if (f == '0')
                zero = true;
            else if (f != '\'')
                break;
        }
        int width = 0, precision = -1;
        if (pos < pattern.size() && pattern[pos] == '*')
            star = true, ++pos;
        else
            width = readCount(pattern, pos);
        if (pos < pattern.size() && pattern[pos] == '.') {
            ++pos;
            if (pos < pattern.size() && pattern[pos] == '*')
                star = true, ++pos;
            else
                precision = readCount(pattern, pos);
        }
        while (pos < pattern.size() && std::string_view("hlLqjzt").find(pattern[pos]) != npos)
            ++pos;
        if (pos >= pattern.size()) {
            out.append(pattern.substr(start)); // an unfinished conversion stays as written
            break;
        }
        char conv = pattern[pos++];
        if (star || conv == 'n') continue;
        if (std::string_view("diuxXocCeEfFgGaAsS").find(conv) == npos) {
            out.append(pattern.substr(start, pos - start)); // no conversion: shown as written
            continue;
        }
        if (next == end) continue;
        const FormatArg& arg = *next++;

        if (conv == 's' || conv == 'S' || conv == 'c' || conv == 'C') {
            std::string text;
            if (conv == 's' || conv == 'S') {
                text = arg.asText();
            } else {
                long long v = arg.asInteger();
                if (v > 0 && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF))
                    appendUtf8(text, char32_t(v));
            }
            // Precision and width count characters, so UTF-8 text is never cut inside one.
            std::size_t cut = text.size(), count = 0;
            for (std::size_t p = 0; p < text.size(); p += utf8CharSize(text, p), ++count) {
                if (precision >= 0 && count == std::size_t(precision)) {
                    cut = p;
                    break;
                }
            }
            text.resize(cut);
            std::size_t length = utf8Length(text);
            std::string pad(length < std::size_t(width) ? std::size_t(width) - length : 0, ' ');
            out += left ? text + pad : pad + text;
            continue;
        }

        std::string conversion = "%";
        bool isSigned = conv == 'd' || conv == 'i';
        bool isReal = std::string_view("eEfFgGaA").find(conv) != npos;
        if (left) conversion += '-';
        if (plus && (isSigned || isReal)) conversion += '+';
        if (space && (isSigned || isReal)) conversion += ' ';
        if (alt && !isSigned) conversion += '#';
        if (zero && !left) conversion += '0';
        if (width > 0) conversion += std::to_string(width);
        if (precision >= 0) conversion += '.' + std::to_string(precision);
        if (isSigned)
            appendFormatted(out, conversion + "lld", arg.asInteger());
        else if (isReal)
            appendFormatted(out, conversion + conv, arg.asReal());
        else
            appendFormatted(out, conversion + "ll" + conv, arg.asUnsigned());
    }
    return out;
}

} // namespace kv

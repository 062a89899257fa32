#pragma once
// Shared text helpers: the text-file reader, UTF-8/UTF-16 conversion, ASCII case folding,
// trimming, CR LF line ends, key lookup in key/value text and a type-checked printf-style
// formatter for language-string patterns. Every function is pure and may be called from any
// thread.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace kv {

// ---- ASCII case folding (only the letters A to Z and a to z are folded) ----

constexpr char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
constexpr char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
std::string toAsciiLower(std::string_view text);
std::string toAsciiUpper(std::string_view text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);
/// Position of the first occurrence of `needle` in `text` at or after `from`, letters compared
/// without regard to case; npos when absent.
std::size_t findIgnoreCase(std::string_view text, std::string_view needle, std::size_t from = 0);

// ---- Trimming and blank tests ----

/// Space, tab, CR and LF: the "blank" characters of the file formats.
inline constexpr std::string_view kBlankChars = " \t\r\n";
std::string_view trim(std::string_view text, std::string_view chars = kBlankChars);
std::string_view trimRight(std::string_view text, std::string_view chars = kBlankChars);
/// True when the text is empty or holds only spaces, tabs, CR and LF.
bool isBlank(std::string_view text);

// ---- Replacing and line ends ----

/// Replaces every occurrence of `from` (exact case, non-overlapping, left to right).
std::string replaceAll(std::string_view text, std::string_view from, std::string_view to);
/// Every line end (CR LF, lone LF or lone CR) becomes CR LF.
std::string toCrLf(std::string_view text);

// ---- Unicode ----

/// Number of code points in UTF-8 text (bytes of malformed sequences count one each).
std::size_t utf8Length(std::string_view text);
/// Length in bytes of the UTF-8 character that starts at `pos` (1 for a malformed byte, 0 at the
/// end of the text).
std::size_t utf8CharSize(std::string_view text, std::size_t pos);
/// Well-formed UTF-8 from any bytes: malformed sequences become U+FFFD.
std::string sanitizeUtf8(std::string_view bytes);
/// UTF-16 code units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view units);
/// UTF-8 to UTF-16 code units; malformed sequences become U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);

/// Decodes file bytes to UTF-8 text: FF FE starts UTF-16 little-endian, FE FF UTF-16 big-endian,
/// EF BB BF UTF-8; anything else is UTF-8. The mark itself is not part of the text; an odd last
/// byte of UTF-16 is dropped; malformed input becomes U+FFFD.
std::string decodeText(std::span<const unsigned char> bytes);
std::string decodeText(std::string_view bytes);

/// The bytes of UTF-16 little-endian text (with the mark FF FE first when `withMark`).
std::string encodeUtf16Le(std::string_view text, bool withMark = true);

/// Largest file the text reader reads, in bytes; larger files read as empty.
inline constexpr std::uintmax_t kMaxTextFileSize = 64u * 1024u * 1024u;

/// The shared text-file reader: the whole file decoded by decodeText. A missing or unreadable
/// file, a folder, an empty file or one larger than kMaxTextFileSize gives an empty text.
/// `path` is a native path.
std::string readTextFile(const std::string& path);

// ---- Key lookup in key/value text ----

/// Value of `key` in key/value text. Keys match only at the start of a line and without regard
/// to case; the separators tab, "=", space and ":" are tried in this order, and the first one
/// that occurs after the key anywhere in the text decides (its first occurrence is used). The
/// value is the rest of that line with spaces and tabs trimmed. Not found gives an empty text.
std::string lookupKey(std::string_view text, std::string_view key);

/// The same lookup for many keys of one text: the text is folded once.
class KeyedText {
  public:
    explicit KeyedText(std::string_view text);
    std::string value(std::string_view key) const;
    bool contains(std::string_view key) const;

  private:
    std::size_t find(std::string_view key, std::size_t* valueStart) const;
    std::string original_; // "\n" + text
    std::string folded_;   // the same, lower case
};

// ---- Formatting ----

/// One argument of formatPattern.
class FormatArg {
  public:
    enum class Kind : uint8_t { Integer, Unsigned, Real, Text };
    FormatArg(int v) : kind_(Kind::Integer), i_(v) {}
    FormatArg(long v) : kind_(Kind::Integer), i_(v) {}
    FormatArg(long long v) : kind_(Kind::Integer), i_(v) {}
    FormatArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(double v) : kind_(Kind::Real), d_(v) {}
    FormatArg(const char* v) : kind_(Kind::Text), s_(v ? v : "") {}
    FormatArg(std::string_view v) : kind_(Kind::Text), s_(v) {}
    FormatArg(const std::string& v) : kind_(Kind::Text), s_(v) {}

    Kind kind() const { return kind_; }
    long long asInteger() const;
    unsigned long long asUnsigned() const;
    double asReal() const;
    std::string asText() const;

  private:
    Kind kind_;
    long long i_ = 0;
    unsigned long long u_ = 0;
    double d_ = 0;
    std::string_view s_;
};

/// printf-style formatting of a pattern that may come from outside (a strings file): each
/// conversion (%d %i %u %x %X %o %c %e %f %g %a %s and their upper-case forms, with flags, width,
/// precision and length modifiers) takes the next argument converted to the type the conversion
/// needs, so a pattern that does not match its arguments never reads memory it should not.
/// "%%" is a percent sign; %n and "*" widths print nothing; a conversion without an argument
/// prints nothing; widths and precisions are capped at 300.
std::string formatPattern(std::string_view pattern, std::initializer_list<FormatArg> args);

} // namespace kv

#pragma once
// Value parsers shared by the definition strings, configuration files and the settings file.
// Every parser accepts any text (binary bytes, megabytes) and never fails: what does not parse
// takes the caller's default. Pure functions; any thread.
#include <cstdint>
#include <span>
#include <string_view>

namespace kv {

/// Symbolic tokens that a field may use in place of a number (see parseTokenInteger).
using TokenSet = uint8_t;
constexpr TokenSet kTokenCbErr = 1u << 0;            // "CB_ERR" -> -1 (no source)
constexpr TokenSet kTokenMsOffset = 1u << 1;         // "MS_OFFSET" -> 1000 ("-MS_Offset" = -1000)
constexpr TokenSet kTokenWaveMapper = 1u << 2;       // "WAVE_MAPPER" -> -1 (default device)
constexpr TokenSet kTokenGenericNoSelCode = 1u << 3; // "MS_GENERICNOSELCODE" -> -555 (none)
/// The tokens of source-selector fields.
constexpr TokenSet kSourceTokens = kTokenCbErr | kTokenMsOffset;

/// Integer from the characters "-0123456789" of `text` (others are dropped), read as a signed
/// decimal that stops at the first character that does not fit ("1-2" gives 1). No number gives
/// `def` unchanged. A number beyond the range of long is limited to it. Unless min and max are
/// both 0 the number is clamped to min..max.
long parseInteger(std::string_view text, long def, long min = 0, long max = 0);

/// As parseInteger, with the characters "-0123456789ABCDEFabcdef" read as hexadecimal.
long parseHexInteger(std::string_view text, long def, long min = 0, long max = 0);

/// Decimal from the characters "-0123456789.EexX" of `text`, read as a double ("1.5e3"; "0x1E"
/// is hexadecimal). No number gives `def` unchanged. A magnitude beyond the range of double is
/// limited to the largest finite value, one too small becomes 0. Unless min and max are both 0
/// the number is clamped to min..max.
double parseDecimal(std::string_view text, double def, double min = 0, double max = 0);

/// Yes/no words: trimmed and without regard to case, "1", "true", "yes", "yeah", "on", "one",
/// "enable", "enabled" and "+" are true; anything else is false.
bool parseFlag(std::string_view text);

/// A choice by name. A text made only of "0123456789-" is an index (below -1 gives -1, at or
/// beyond the end gives the last index); any other text is compared with the names without
/// regard to case. No match, an empty text or an empty list give -1.
int parseChoice(std::string_view text, std::span<const char* const> names);

/// Integer field that may use tokens: trimmed, uppercased, every token of `allowed` replaced by
/// its value in decimal, then read as parseInteger.
long parseTokenInteger(std::string_view text, TokenSet allowed, long def);

/// Bound field: "MS_GMax" (exact case) is replaced by "1000", then read as parseInteger.
long parseBoundInteger(std::string_view text, long def);

} // namespace kv

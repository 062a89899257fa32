// Strings files of any content: loading never crashes, hangs or stores a text out of range, and
// formatting a loaded text with the arguments the program passes never misbehaves, whatever
// conversions the text holds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "persistence/language.h"
#include "persistence/text.h"

namespace {

constexpr const char* kMarkers[] = {"[Zone_Internal]", "[Zone_External]", "[Zone_EN]", "[Zone_DE]"};

void check(const kv::LanguageTables& t, kv::StringTable table) {
    for (int id = 0; id < kv::kStringCount; ++id) {
        const std::string& text = t.text(table, id);
        if (text.empty()) continue;
        // The argument kinds the program hands to language-string patterns.
        std::string out = kv::formatPattern(text, {42L, "host", 3.5, 7u});
        if (out.size() > text.size() * 320 + 1024) {
            std::fprintf(stderr, "formatted text of id %d grew to %zu bytes\n", id, out.size());
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Both ways a file reaches the zone reader: decoded by its mark, and as raw bytes.
    const std::string text = kv::decodeText(bytes);
    auto tables = std::make_unique<kv::LanguageTables>(); // texts are kept per table set
    for (const char* marker : kMarkers) {
        tables->loadZoneFromText(kv::StringTable::Main, marker, text);
        tables->loadZoneFromText(kv::StringTable::Library, marker, bytes);
    }
    tables->loadZoneFromText(kv::StringTable::LanguageList, "[Zone_General]", text);
    check(*tables, kv::StringTable::Main);
    check(*tables, kv::StringTable::Library);
    (void)kv::expandEntryText(bytes);
    return 0;
}

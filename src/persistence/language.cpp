#include "persistence/language.h"

#include <cstdio>
#include <filesystem>

#include "persistence/paths.h"
#include "persistence/resources.h"
#include "persistence/text.h"

namespace kv {

const std::string LanguageTables::kDefaultText;

// ---- Language codes ----

int languageIndex(std::string_view code) {
    for (int i = 0; i < kLanguageCount; ++i)
        if (equalsIgnoreCase(code, kLanguageCodes[i])) return i;
    return -1;
}

std::string_view languageCode(int index) {
    return (index >= 0 && index < kLanguageCount) ? kLanguageCodes[index] : "";
}

std::string languageZoneMarker(int index) {
    if (index < 0 || index >= kLanguageCount) return {};
    return "[Zone_" + toAsciiUpper(kLanguageCodes[index]) + "]";
}

bool usesUnicodeFont(int language) {
    return language == 13 || language == 14 || language == 15 || language == kLanguageStringsFile;
}

std::vector<int> parseLanguageCodes(std::string_view codes) {
    std::vector<int> out;
    while (!codes.empty()) {
        std::size_t comma = codes.find(',');
        int index = languageIndex(trim(codes.substr(0, comma)));
        if (index >= 0) out.push_back(index);
        if (comma == std::string_view::npos) break;
        codes.remove_prefix(comma + 1);
    }
    return out;
}

int localeLanguage(std::string_view lcAll, std::string_view lcMessages, std::string_view lang) {
    std::string_view value = !lcAll.empty() ? lcAll : !lcMessages.empty() ? lcMessages : lang;
    // language[_territory][.codeset][@modifier]
    std::string_view code = value.substr(0, value.find_first_of("_.@"));
    if (code.size() != 2) return -1; // also "C" and "POSIX"
    return languageIndex(code);
}

StartupLanguage chooseStartupLanguage(const StartupLanguageInputs& in) {
    StartupLanguage out;
    const bool settingsChoice =
        in.settingsRead && ((in.settingsLanguage >= 0 && in.settingsLanguage < kLanguageCount) ||
                            in.settingsLanguage == kLanguageStringsFile);
    if (settingsChoice) {
        out.language = in.settingsLanguage;
        out.stringsFile = in.settingsStringsFile;
    } else {
        out.language = std::max(localeLanguage(in.lcAll, in.lcMessages, in.lang), 0);
    }
    for (std::size_t i = 0; i + 1 < in.args.size(); ++i) {
        if (!equalsIgnoreCase(in.args[i], "Language") && !equalsIgnoreCase(in.args[i], "-Language"))
            continue;
        const std::string& value = in.args[i + 1];
        out.fromCommandLine = true;
        if (utf8Length(value) > 2) {
            out.language = kLanguageStringsFile;
            out.commandLineFile = value;
        } else if (int index = languageIndex(value); index >= 0) {
            out.language = index;
        }
    }
    out.askUser = !in.settingsRead && !out.fromCommandLine;
    return out;
}

// ---- Entry text ----

std::string expandEntryText(std::string_view text) {
    static constexpr std::pair<std::string_view, std::string_view> kReplacements[] = {
        {"\\\\r", "[_Special_Sequence_R_]"},
        {"\\\\n", "[_Special_Sequence_N_]"},
        {"\\\\t", "[_Special_Sequence_T_]"},
        {"\\r", "\r"},
        {"\\n", "\n"},
        {"\\t", "\t"},
        {"[_Special_Sequence_R_]", "\\r"},
        {"[_Special_Sequence_N_]", "\\n"},
        {"[_Special_Sequence_T_]", "\\t"},
        {"\\\"", "\""},
        {"\\'", "'"},
        {"ProgNameAndVersion", "Kalvitrope v1.1"},
        {"ProgName", "Kalvitrope"},
        {"ProgVersion", "v1.1"},
    };
    std::string s(text);
    for (const auto& [from, to] : kReplacements)
        if (s.find(from) != std::string::npos) s = replaceAll(s, from, to);
    return s;
}

// ---- Built-in files ----

namespace {

// The decoded text of a built-in strings file; empty when the id or the resource is unknown.
const std::string& builtInText(int file) {
    static const std::string mainText = decodeText(findResource(kMainStringsResource));
    static const std::string libraryText = decodeText(findResource(kLibraryStringsResource));
    static const std::string none;
    if (file == kMainStringsFile) return mainText;
    if (file == kLibraryStringsFile) return libraryText;
    return none;
}

// The decimal number at the start of a bracket's content, after leading blanks; a sign is
// allowed; no number gives 0. Saturates far outside any table's range.
long leadingNumber(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n' ||
                            s[i] == '\v' || s[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long n = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        n = std::min(n * 10 + (s[i] - '0'), 1000000000L);
    return negative ? -n : n;
}

// The stored (portable) form of a strings-file path typed on the command line; a plain relative
// path names a file in the current folder.
std::string commandLinePathToStored(const std::string& value) {
    std::string path = value;
    if (path.find_first_of("%\\") == std::string::npos && path[0] != '/') {
        std::error_code ec;
        std::filesystem::path absolute = std::filesystem::absolute(path, ec);
        if (!ec) path = absolute.string();
    }
    return shortenPath(path);
}

} // namespace

// ---- Tables ----

LanguageTables::LanguageTables() {
    resetAll();
    for (auto& e : list_)
        e.store(&kDefaultText, std::memory_order_relaxed);
}

LanguageTables::Entries* LanguageTables::entries(StringTable table) {
    switch (table) {
    case StringTable::Main:
        return &main_;
    case StringTable::Library:
        return &library_;
    case StringTable::LanguageList:
        return &list_;
    }
    return nullptr;
}

const LanguageTables::Entries* LanguageTables::entries(StringTable table) const {
    return const_cast<LanguageTables*>(this)->entries(table);
}

static int tableSize(StringTable table) {
    return table == StringTable::LanguageList ? kLanguageListCount : kStringCount;
}

const std::string& LanguageTables::text(StringTable table, int id) const {
    const Entries* e = entries(table);
    if (!e || id < 0 || id >= tableSize(table)) return kDefaultText;
    return *(*e)[static_cast<std::size_t>(id)].load(std::memory_order_acquire);
}

const std::string& LanguageTables::languageName(int index) const {
    if (index < 0 || index >= kLanguageCount) return kDefaultText;
    return text(StringTable::LanguageList, 2 * index);
}

const std::string& LanguageTables::languagePrompt(int index) const {
    if (index < 0 || index >= kLanguageCount) return kDefaultText;
    return text(StringTable::LanguageList, 2 * index + 1);
}

void LanguageTables::store(StringTable table, int id, std::string text) {
    Entries* e = entries(table);
    if (!e || id < 0 || id >= tableSize(table)) return;
    const std::string* stored;
    {
        std::lock_guard lock(mutex_);
        stored = &*texts_.insert(std::move(text)).first;
    }
    (*e)[static_cast<std::size_t>(id)].store(stored, std::memory_order_release);
}

void LanguageTables::resetAll() {
    for (auto& e : main_)
        e.store(&kDefaultText, std::memory_order_release);
    for (auto& e : library_)
        e.store(&kDefaultText, std::memory_order_release);
}

bool LanguageTables::setCurrentLanguage(int language) {
    if ((language < 0 || language >= kLanguageCount) && language != kLanguageStringsFile)
        return false;
    current_.store(language, std::memory_order_relaxed);
    return true;
}

std::string LanguageTables::stringsFilePath() const {
    std::lock_guard lock(mutex_);
    return path_;
}

void LanguageTables::setStringsFilePath(std::string storedPath) {
    std::lock_guard lock(mutex_);
    path_ = std::move(storedPath);
}

void LanguageTables::setBlankFileHandler(BlankFileHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

// ---- Loading ----

int LanguageTables::loadZoneFromText(StringTable table, std::string_view marker,
                                     std::string_view source) {
    const int size = tableSize(table);
    std::size_t markerPos = marker.empty() ? std::string_view::npos : source.find(marker);
    if (markerPos == std::string_view::npos) return 0;
    int stored = 0;
    std::size_t p = markerPos + marker.size();
    for (;;) {
        // An entry starts at a line beginning "[" (after CR LF).
        std::size_t open = source.find("\r\n[", p);
        if (open == std::string_view::npos) break;
        open += 2;
        std::size_t close = source.find(']', open + 1);
        if (close == std::string_view::npos) break;
        // A bracket without any digit (a zone marker, a blank bracket) ends the zone.
        std::string_view content = source.substr(open + 1, close - open - 1);
        if (content.find_first_of("0123456789") == std::string_view::npos) break;
        long id = leadingNumber(content);

        // The text: after the "]" and one separator character, up to the next entry.
        std::size_t next = source.find("\r\n[", close + 1);
        bool last = next == std::string_view::npos;
        std::size_t end = last ? source.size() : next;
        std::size_t begin = close + 1 + std::max<std::size_t>(utf8CharSize(source, close + 1), 1);
        std::string text =
            begin < end ? expandEntryText(source.substr(begin, end - begin)) : std::string();
        if (last) text = std::string(trimRight(text, kBlankChars));
        // Empty texts leave the entry as it is; ids outside the table are ignored.
        if (!text.empty() && id >= 0 && id < size) {
            store(table, static_cast<int>(id), std::move(text));
            ++stored;
        }
        if (last) break;
        p = next;
    }
    return stored;
}

std::string LanguageTables::sourceText(std::string_view& marker, int builtInFile,
                                       std::string_view storedPath) {
    if (!isBlank(storedPath)) {
        const std::string path = expandPath(storedPath);
        std::error_code ec;
        const bool tooLarge = std::filesystem::file_size(path, ec) > kMaxTextFileSize && !ec;
        std::string text = tooLarge ? std::string() : readTextFile(path);
        if (!isBlank(text)) return text;
        const std::string_view problem = tooLarge ? kLargeStringsFileText : kBlankStringsFileText;
        BlankFileHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (handler)
            handler(problem, kBlankStringsFileCaption);
        else
            std::fprintf(stderr, "Kalvitrope: %.*s %.*s\n", int(kBlankStringsFileCaption.size()),
                         kBlankStringsFileCaption.data(), int(problem.size()), problem.data());
        marker = "[Zone_EN]";
    }
    return builtInText(builtInFile);
}

int LanguageTables::loadZone(StringTable table, std::string_view marker, int builtInFile,
                             std::string_view storedPath) {
    std::string source = sourceText(marker, builtInFile, storedPath);
    return loadZoneFromText(table, marker, source);
}

bool LanguageTables::loadLanguage(int language, std::string_view storedPath) {
    if (language == kLanguageStringsFile) {
        loadZone(StringTable::Main, "[Zone_Internal]", kMainStringsFile, storedPath);
        loadZone(StringTable::Library, "[Zone_External]", kLibraryStringsFile, storedPath);
        generation_.fetch_add(1, std::memory_order_acq_rel);
        return true;
    }
    if (language < 0 || language >= kLanguageCount) return false;
    std::string marker = languageZoneMarker(language);
    loadZone(StringTable::Main, marker, kMainStringsFile, {});
    loadZone(StringTable::Library, marker, kLibraryStringsFile, {});
    generation_.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

bool LanguageTables::loadCurrentLanguage() {
    return loadLanguage(currentLanguage(), stringsFilePath());
}

bool LanguageTables::changeLanguage(int language, std::string storedPath) {
    if (language == kLanguageStringsFile ? isBlank(storedPath)
                                         : (language < 0 || language >= kLanguageCount))
        return false;
    if (language == kLanguageStringsFile) setStringsFilePath(std::move(storedPath));
    current_.store(language, std::memory_order_relaxed);
    return loadCurrentLanguage();
}

void LanguageTables::applyStartupLanguage(const StartupLanguage& choice) {
    if (!choice.commandLineFile.empty())
        setStringsFilePath(commandLinePathToStored(choice.commandLineFile));
    else if (choice.language == kLanguageStringsFile)
        setStringsFilePath(choice.stringsFile);
    if (!setCurrentLanguage(choice.language)) return;
    fromCommandLine_.store(choice.fromCommandLine);
    // Start-up has English in the tables already; other languages overlay it.
    if (choice.language != 0) loadCurrentLanguage();
}

void LanguageTables::initLanguages(std::span<const std::string> args) {
    current_.store(0);
    fromCommandLine_.store(false);
    for (auto& e : list_)
        e.store(&kDefaultText, std::memory_order_release);
    loadZone(StringTable::LanguageList, "[Zone_General]", kLibraryStringsFile, {});
    resetAll();
    loadLanguage(0, {});
    applyCommandLine(args);
}

void LanguageTables::applyCommandLine(std::span<const std::string> args) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!equalsIgnoreCase(arg, "Language") && !equalsIgnoreCase(arg, "-Language")) continue;
        const std::string& value = args[i + 1];
        if (utf8Length(value) > 2) {
            setStringsFilePath(commandLinePathToStored(value));
            current_.store(kLanguageStringsFile);
        } else {
            int index = languageIndex(value);
            if (index >= 0) current_.store(index);
        }
        fromCommandLine_.store(true);
        loadCurrentLanguage();
    }
}

// ---- Process-wide tables ----

LanguageTables& languages() {
    static LanguageTables tables;
    return tables;
}

const std::string& languageString(int id) {
    return languages().main(id);
}

const std::string& libraryString(int id) {
    return languages().library(id);
}

} // namespace kv

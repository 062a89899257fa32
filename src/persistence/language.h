#pragma once
// Language strings: every text the program shows is taken by number from a table, filled from
// the built-in strings files (or a user's strings file) in the chosen language.
//
// Three tables: the main table (the program's own windows and modules, "language string n"), the
// library table (dialog framework, installer, version check, settings messages, "library string
// n"), 1024 entries each, and the language list (64 entries: entry 2i is the name of language i
// in that language, entry 2i+1 its "please choose your language" prompt).
//
// Threads: loads run on the user-interface thread; any thread may read at any time. An entry is
// an atomic pointer to a text that is never freed while the tables exist, so a reader on another
// thread never sees a freed or half-written text, even while a load replaces the entry.
#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kv {

inline constexpr int kStringCount = 1024;         // entries of the main and library tables
inline constexpr int kLanguageListCount = 64;     // entries of the language list
inline constexpr int kLanguageCount = 16;         // built-in language codes
inline constexpr int kLanguageStringsFile = 1000; // current language: a strings file by path

/// Built-in language codes by index (compared without regard to case).
inline constexpr const char* kLanguageCodes[kLanguageCount] = {
    "en", "af", "nl", "de", "it", "fr", "es", "pt", "ro", "hu", "sv", "pl", "cs", "ru", "ja", "zh"};

/// The languages offered by the first-start and preferences language choice.
inline constexpr std::string_view kOfferedLanguageCodes = "DE,EN,ES,FR,JA,RU";

/// Built-in strings files, by their resource ids.
inline constexpr int kMainStringsFile = 133;
inline constexpr int kLibraryStringsFile = 252;
/// Resource file names of the two built-in strings files.
inline constexpr std::string_view kMainStringsResource = "Strings_Main.txt";
inline constexpr std::string_view kLibraryStringsResource = "Strings_Library.txt";

/// Library string holding the program's help text (the help box of the main window).
inline constexpr int kLibraryHelpText = 42;

/// Message shown (once per table) when a user's strings file is missing, a folder, empty or
/// blank, and English is used instead.
inline constexpr std::string_view kBlankStringsFileText =
    "Language strings file is blank; English will be used...";
/// Shown instead when a user's strings file is larger than the text reader takes (64 MiB).
inline constexpr std::string_view kLargeStringsFileText =
    "Language strings file is larger than 64 MiB; English will be used...";
inline constexpr std::string_view kBlankStringsFileCaption = "No language information found";

enum class StringTable { Main, Library, LanguageList };

/// Index of a built-in language code (case ignored), or -1.
int languageIndex(std::string_view code);
/// The code of language `index` (0..15), or "" out of range.
std::string_view languageCode(int index);
/// The zone marker of language `index` 0..15: "[Zone_" + upper-case code + "]"; "" otherwise.
std::string languageZoneMarker(int index);
/// Languages whose texts need a font with Cyrillic and CJK coverage (13, 14, 15 and a strings
/// file by path).
bool usesUnicodeFont(int language);
/// Language indexes of a comma-separated code list such as kOfferedLanguageCodes, in order;
/// unknown codes are left out.
std::vector<int> parseLanguageCodes(std::string_view codes);

/// The built-in language of a POSIX locale environment: the first non-empty of LC_ALL,
/// LC_MESSAGES and LANG decides; its language part ("de" of "de_AT.UTF-8@euro") is looked up
/// among the built-in codes. -1 when that value is "C", "POSIX" or a language without built-in
/// strings (and when all three are empty).
int localeLanguage(std::string_view lcAll, std::string_view lcMessages, std::string_view lang);

/// Everything the start-up language decision depends on.
struct StartupLanguageInputs {
    std::span<const std::string> args;        // command-line arguments after the program name
    bool settingsRead = false;                // a usable settings file was read
    int settingsLanguage = 0;                 // its Language.Choice
    std::string settingsStringsFile;          // its Language.StringsFilePath (stored form)
    std::string_view lcAll, lcMessages, lang; // the locale environment
};

/// The start-up language decision.
struct StartupLanguage {
    int language = 0;             // 0..15 or kLanguageStringsFile
    std::string stringsFile;      // stored form, from the settings (used with 1000)
    std::string commandLineFile;  // a strings file named on the command line, as typed
    bool fromCommandLine = false; // the command line named a language
    bool askUser = false;         // first start: offer the language choice
};

/// Decides the start-up language; a pure function of its inputs. The settings' choice counts
/// when a settings file was read (an unknown value counts as no choice); on a first start
/// (no settings) the locale's language is taken and the user is asked, unless the command line
/// named a language. A "Language xx" option then wins: a code selects that language (an unknown
/// code keeps the one chosen so far), a value longer than two characters selects that strings
/// file; the last such option counts.
StartupLanguage chooseStartupLanguage(const StartupLanguageInputs& in);

/// Applies the text replacements of a strings-file entry: the escapes \r \n \t (a doubled
/// backslash before r, n or t keeps the backslash and the letter), \" and \', then the
/// placeholders ProgNameAndVersion, ProgName and ProgVersion.
std::string expandEntryText(std::string_view text);

class LanguageTables {
  public:
    /// Every entry refers to the default text (empty); current language 0.
    LanguageTables();
    LanguageTables(const LanguageTables&) = delete;
    LanguageTables& operator=(const LanguageTables&) = delete;

    // ---- Lookups (any thread) ----

    /// The text of `id` in `table`; ids outside the table give the default (empty) text.
    const std::string& text(StringTable table, int id) const;
    const std::string& main(int id) const { return text(StringTable::Main, id); }
    const std::string& library(int id) const { return text(StringTable::Library, id); }
    /// Name of language `index` (0..15) in that language, and its choice prompt.
    const std::string& languageName(int index) const;
    const std::string& languagePrompt(int index) const;

    // ---- State ----

    /// 0..15 (a built-in code) or kLanguageStringsFile.
    int currentLanguage() const { return current_.load(std::memory_order_relaxed); }
    /// Sets the current language; values other than 0..15 and kLanguageStringsFile are refused
    /// (returns false). Does not load it.
    bool setCurrentLanguage(int language);
    /// The user's strings file, in stored (portable) form; used with kLanguageStringsFile.
    std::string stringsFilePath() const;
    void setStringsFilePath(std::string storedPath);
    /// Set when the command line named a language.
    bool languageFromCommandLine() const { return fromCommandLine_.load(); }
    /// Module windows draw text with a font covering Cyrillic and CJK in the current language.
    bool unicodeFont() const { return usesUnicodeFont(currentLanguage()); }
    /// Counts completed language loads; a window that built its captions at an older count
    /// reads them again.
    unsigned generation() const { return generation_.load(std::memory_order_acquire); }

    // ---- Loading (user-interface thread) ----

    /// Called when a user's strings file is blank: text and caption of the message to show.
    /// The default handler writes the message to the standard error stream.
    using BlankFileHandler = std::function<void(std::string_view text, std::string_view caption)>;
    void setBlankFileHandler(BlankFileHandler handler);

    /// Fills `table` from the zone `marker` of the user's strings file `storedPath` when that path
    /// is not blank, else of built-in file `builtInFile` (133 or 252). A user's file that reads as
    /// blank is reported and replaced by the built-in file's English zone. A missing zone leaves
    /// the table as it is. Returns the number of entries stored.
    int loadZone(StringTable table, std::string_view marker, int builtInFile,
                 std::string_view storedPath);
    /// The zone parser on a source text (CR LF line ends required).
    int loadZoneFromText(StringTable table, std::string_view marker, std::string_view source);

    /// Fills the main and library tables in `language` (0..15 from the built-in files,
    /// kLanguageStringsFile from `storedPath`); the language list is not touched. Other values
    /// load nothing and return false.
    bool loadLanguage(int language, std::string_view storedPath);
    /// loadLanguage(currentLanguage(), stringsFilePath()).
    bool loadCurrentLanguage();
    /// A language chosen while the program runs: makes `language` (with the user's strings file
    /// `storedPath` for kLanguageStringsFile) current and loads it. Refuses, changing nothing,
    /// a language outside 0..15 and 1000, and 1000 with a blank path.
    bool changeLanguage(int language, std::string storedPath);
    /// Start-up after the settings were read: takes over the decision (a command-line strings
    /// file is kept in portable form) and loads the language unless it is English from start-up.
    void applyStartupLanguage(const StartupLanguage& choice);

    /// Start-up: language 0, flag cleared, language list from the built-in "[Zone_General]",
    /// every table entry the default text, English loaded; then the command-line scan over
    /// `args` (the arguments after the program name).
    void initLanguages(std::span<const std::string> args);
    /// The command-line scan alone: every "Language"/"-Language" followed by a value selects a
    /// code (two characters or fewer) or a strings file (longer), sets the flag and loads it.
    void applyCommandLine(std::span<const std::string> args);

  private:
    using Entries = std::array<std::atomic<const std::string*>, kStringCount>;
    Entries* entries(StringTable table);
    const Entries* entries(StringTable table) const;
    void store(StringTable table, int id, std::string text);
    void resetAll();
    std::string sourceText(std::string_view& marker, int builtInFile, std::string_view storedPath);

    static const std::string kDefaultText;

    Entries main_;
    Entries library_;
    Entries list_; // only the first kLanguageListCount entries are used
    std::atomic<int> current_{0};
    std::atomic<bool> fromCommandLine_{false};
    std::atomic<unsigned> generation_{0};

    mutable std::mutex mutex_;              // guards texts_, path_ and handler_
    std::unordered_set<std::string> texts_; // every text ever stored; nodes never move
    std::string path_;
    BlankFileHandler handler_;
};

/// The process-wide tables.
LanguageTables& languages();
/// Entry `id` of the main table ("language string n") of the process-wide tables; out-of-range
/// ids give the empty text. Any thread.
const std::string& languageString(int id);
/// Entry `id` of the library table ("library string n"). Any thread.
const std::string& libraryString(int id);

} // namespace kv

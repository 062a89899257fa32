#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "persistence/language.h"
#include "persistence/paths.h"
#include "persistence/resources.h"
#include "persistence/text.h"

using namespace kv;
namespace fs = std::filesystem;

namespace {

// Ids given as "a-b,c,...".
std::set<int> idSet(std::string_view list) {
    std::set<int> out;
    for (std::size_t pos = 0; pos < list.size();) {
        std::size_t comma = std::min(list.find(',', pos), list.size());
        std::string part(list.substr(pos, comma - pos));
        std::size_t dash = part.find('-');
        int a = std::stoi(part.substr(0, dash));
        int b = dash == std::string::npos ? a : std::stoi(part.substr(dash + 1));
        for (int i = a; i <= b; ++i)
            out.insert(i);
        pos = comma + 1;
    }
    return out;
}

// Ids that a zone of a built-in file mentions, and those it gives an empty text.
void zoneIds(std::string_view resource, std::string_view marker, std::set<int>& all,
             std::set<int>& empty) {
    std::string text = decodeText(findResource(resource));
    std::size_t p = text.find(marker);
    ASSERT_NE(p, std::string::npos) << marker;
    for (p = text.find("\r\n[", p); p != std::string::npos; p = text.find("\r\n[", p + 1)) {
        if (text[p + 3] < '0' || text[p + 3] > '9') break;
        std::size_t close = text.find(']', p);
        all.insert(std::stoi(text.substr(p + 3, close - p - 3)));
        std::size_t end = text.find("\r\n", close);
        if (end == close + 2) empty.insert(*all.rbegin());
    }
}

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("kv_lang_" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string write(const std::string& name, const std::string& data) const {
        std::ofstream(path / name, std::ios::binary) << data;
        return (path / name).string();
    }
};

class LanguageTablesTest : public ::testing::Test {
  protected:
    LanguageTables t;
    std::vector<std::string> notices;
    void SetUp() override {
        t.setBlankFileHandler(
            [this](std::string_view text, std::string_view) { notices.emplace_back(text); });
        t.initLanguages({});
    }
    void apply(std::vector<std::string> args) { t.applyCommandLine(args); }
};

} // namespace

TEST(EntryText, EscapesAndPlaceholders) {
    EXPECT_EQ(expandEntryText("One\\nTwo"), "One\nTwo");
    EXPECT_EQ(expandEntryText("One\\\\nTwo"), "One\\nTwo");
    EXPECT_EQ(expandEntryText("a\\rb\\tc\\\\rd\\\\te"), "a\rb\tc\\rd\\te");
    EXPECT_EQ(expandEntryText("\\\"q\\\" it\\'s \\x"), "\"q\" it's \\x");
    EXPECT_EQ(expandEntryText("ProgNameAndVersion|ProgName|ProgVersion"),
              "Kalvitrope v1.1|Kalvitrope|v1.1");
}

TEST(ZoneReading, EntriesIdsAndZoneEnds) {
    LanguageTables t;
    const std::string src = "x\r\n[Zone_EN]\r\n[1]\tOne\r\n[ 12 ]\tTwelve\r\n[x1]\tZero\r\n"
                            "[+7]\tSeven\r\n[-3]\tMinus\r\n[1024]\tBig\r\n[99999999999]\tHuge\r\n"
                            "[5]\r\n[6]\tSix,\r\nsecond line\r\n[abc]\tStop\r\n[8]\tAfter\r\n";
    EXPECT_EQ(t.loadZoneFromText(StringTable::Main, "[Zone_EN]", src), 5);
    EXPECT_EQ(t.main(1), "One");
    EXPECT_EQ(t.main(12), "Twelve");
    EXPECT_EQ(t.main(0), "Zero");
    EXPECT_EQ(t.main(7), "Seven");
    EXPECT_EQ(t.main(5), ""); // no separator and no text
    EXPECT_EQ(t.main(6), "Six,\r\nsecond line");
    EXPECT_EQ(t.main(8), ""); // "[abc]" ended the zone
    EXPECT_EQ(t.main(1023), "");

    // Markers are exact and their first occurrence counts; a blank bracket ends the zone.
    EXPECT_EQ(t.loadZoneFromText(StringTable::Main, "[zone_en]", src), 0);
    EXPECT_EQ(t.loadZoneFromText(StringTable::Main, "[Zone_EN]", "[Zone_EN]\r\n[ ]\r\n[2]\tx"), 0);
    // Lines that end with LF alone carry no entries.
    EXPECT_EQ(t.loadZoneFromText(StringTable::Main, "[Zone_EN]", "[Zone_EN]\n[1]\tLF\n[2]\tx\n"),
              0);
    EXPECT_EQ(t.main(1), "One");
}

TEST(ZoneReading, EmptyTextsAndTrimmingOfTheLastEntry) {
    LanguageTables t;
    t.loadZoneFromText(StringTable::Main, "[Zone_DE]",
                       "[Zone_DE]\r\n[17]\tSiebzehn\r\n[18]\tA\r\n");
    // Empty texts keep the entry; an entry followed by a blank line keeps its CR LF; only the
    // very last entry of the text is trimmed.
    const std::string en = "[Zone_EN]\r\n[17]\t\r\n[18]\tB \r\n\r\n[Zone_FR]\r\n[19]\tC \t\r\n\r\n";
    t.loadZoneFromText(StringTable::Main, "[Zone_EN]", en);
    EXPECT_EQ(t.main(17), "Siebzehn");
    EXPECT_EQ(t.main(18), "B \r\n");
    t.loadZoneFromText(StringTable::Main, "[Zone_FR]", en);
    EXPECT_EQ(t.main(19), "C");
    // The separator is one whole character, even a multi-byte one.
    t.loadZoneFromText(StringTable::Main, "[Z]", "[Z]\r\n[20]\xC3\xA9text");
    EXPECT_EQ(t.main(20), "text");
}

TEST(ZoneReading, LanguageListAndBoundsChecks) {
    LanguageTables t;
    t.loadZoneFromText(StringTable::LanguageList, "[Zone_General]",
                       "[Zone_General]\r\n[0]\tEnglish\r\n[63]\tLast\r\n[64]\tOut\r\n");
    EXPECT_EQ(t.languageName(0), "English");
    EXPECT_EQ(t.text(StringTable::LanguageList, 63), "Last");
    EXPECT_EQ(t.text(StringTable::LanguageList, 64), "");
    EXPECT_EQ(t.languageName(16), "");
    EXPECT_EQ(t.languagePrompt(-1), "");
    EXPECT_EQ(t.text(StringTable::Main, -1), "");
    EXPECT_EQ(t.text(StringTable::Library, 1 << 30), "");
    EXPECT_FALSE(t.setCurrentLanguage(16));
    EXPECT_FALSE(t.loadLanguage(-1, ""));
    EXPECT_TRUE(t.setCurrentLanguage(kLanguageStringsFile));
}

TEST(ZoneReading, GarbageAndLargeSources) {
    LanguageTables t;
    std::mt19937 rng(3);
    std::string noise(3 << 20, '\0');
    for (char& c : noise)
        c = "[]\r\n0123456789 Zone_EN\t\\"[rng() % 24];
    noise = "[Zone_EN]" + noise;
    t.loadZoneFromText(StringTable::Main, "[Zone_EN]", noise);
    std::string many = "[Zone_EN]";
    for (int i = 0; i < 200000; ++i)
        many += "\r\n[" + std::to_string(i % 1024) + "]\ttext " + std::to_string(i);
    EXPECT_EQ(t.loadZoneFromText(StringTable::Main, "[Zone_EN]", many), 200000);
    EXPECT_EQ(t.main(1023), "text 199679");
}

TEST(BuiltInStrings, FilesAreUtf8WithMarkCrLfAndZones) {
    for (std::string_view name : {kMainStringsResource, kLibraryStringsResource}) {
        std::span<const unsigned char> data = findResource(name);
        ASSERT_GT(data.size(), 3u) << name;
        std::string raw(reinterpret_cast<const char*>(data.data()), data.size());
        EXPECT_EQ(raw.substr(0, 3), "\xEF\xBB\xBF");
        EXPECT_EQ(sanitizeUtf8(raw), raw);
        EXPECT_EQ(toCrLf(raw), raw) << name << " has a line end other than CR LF";
        EXPECT_EQ(raw.substr(raw.size() - 4), "\r\n\r\n"); // every zone ends with a blank line
    }
    std::string lib = decodeText(findResource(kLibraryStringsResource));
    EXPECT_LT(lib.find("[Zone_General]"), lib.find("[Zone_EN]"));
}

TEST(BuiltInStrings, EnglishDefinesTheStatedIds) {
    std::set<int> all, empty;
    zoneIds(kMainStringsResource, "[Zone_EN]", all, empty);
    EXPECT_EQ(all, idSet("0-188,193-197,199-202,206-207,209-310,317-318,321-324,400-481,483-520"));
    EXPECT_EQ(empty, idSet("17,69-72,187-188,193,195,228-229,242,244-247,429,480,483,505,514-520"));
    all.clear(), empty.clear();
    zoneIds(kLibraryStringsResource, "[Zone_EN]", all, empty);
    EXPECT_EQ(all, idSet("0-100,600-610,612-626,632-650"));
    EXPECT_EQ(empty, idSet("93-100,643-650"));
    all.clear(), empty.clear();
    zoneIds(kLibraryStringsResource, "[Zone_General]", all, empty);
    EXPECT_EQ(all, idSet("0-31"));
    EXPECT_TRUE(empty.empty());
}

TEST_F(LanguageTablesTest, EnglishTextsAsLoaded) {
    EXPECT_EQ(t.main(94), "%ld milliseconds");
    EXPECT_EQ(t.main(5), "Start && Hide");
    EXPECT_EQ(t.main(18), "Your mouse is currently halted at ");
    EXPECT_EQ(t.main(235), "You can add sliders only while the audio system is running.\r\n"
                           "Please press the main program Start button first.");
    EXPECT_EQ(t.main(158), "Kalvitrope Configuration (KVC)");
    EXPECT_EQ(t.main(271), "S %ld");
    EXPECT_EQ(t.main(441), "Replace Velocity");
    EXPECT_EQ(t.main(155), "Kalvitrope Configurations (*.kvc)|*.kvc;*.kvc_|All Files (*.*)|*.*||");
    const std::string& help = t.main(16);
    EXPECT_EQ(help.rfind("Available command-line options:", 0), 0u);
    for (const char* option : {"AutoStartOnly", "AutoStartAndHide", "WrapMouse x", "MakeNoSound x",
                               "NoInstall", "Language xx", "DE, EN, ES, FR, JA or RU"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_EQ(t.library(600), "Kalvitrope Installer v1.6");
    EXPECT_EQ(t.library(623), "Would you like to install version v1.1 of Kalvitrope?");
    EXPECT_EQ(t.library(624), "Would you like to re-install Kalvitrope v1.1?");
    EXPECT_EQ(t.library(620), "Completely remove\r\nKalvitrope v1.1\r\nfrom this machine");
    EXPECT_EQ(t.library(19), "Error creating directory:\r\n%s\r\n\r\nError code: %s");
    EXPECT_EQ(t.library(kLibraryHelpText).empty(), false);
    EXPECT_EQ(t.library(93), "");
    // The last entry of a zone that is not the file's last keeps the zone's closing blank line.
    EXPECT_EQ(t.library(650), "\r\n");
    for (int id = 0; id < kStringCount; ++id) {
        EXPECT_EQ(t.main(id).find("ProgName"), std::string::npos) << id;
        EXPECT_EQ(t.library(id).find("ProgVersion"), std::string::npos) << id;
        EXPECT_EQ(t.main(id).find('\\'), std::string::npos) << id;
    }
}

TEST(LanguageCodes, OfferedLanguagesAndZones) {
    // The first-start choice: German, English, Spanish, French, Japanese, Russian.
    std::vector<int> buttons;
    for (int i : parseLanguageCodes(kOfferedLanguageCodes))
        buttons.push_back(100 + i);
    EXPECT_EQ(buttons, (std::vector<int>{103, 100, 106, 105, 114, 113}));
    EXPECT_EQ(languageZoneMarker(14), "[Zone_JA]");
    EXPECT_EQ(languageIndex("Zh"), 15);
    EXPECT_EQ(languageIndex("zz"), -1);
}

TEST_F(LanguageTablesTest, CommandLineScan) {
    apply({"-Language", "de"});
    EXPECT_EQ(t.currentLanguage(), 3);
    EXPECT_TRUE(t.languageFromCommandLine());

    t.initLanguages({});
    EXPECT_FALSE(t.languageFromCommandLine());
    apply({"x", "language", "DE"});
    EXPECT_EQ(t.currentLanguage(), 3);

    t.initLanguages(std::vector<std::string>{"-Language", "zz"});
    EXPECT_EQ(t.currentLanguage(), 0); // no such code: unchanged, but the flag is set
    EXPECT_TRUE(t.languageFromCommandLine());

    t.initLanguages(std::vector<std::string>{"NoInstall", "-Language"});
    EXPECT_FALSE(t.languageFromCommandLine()); // "Language" as the last argument does nothing

    // The value is compared like any other argument.
    t.initLanguages(std::vector<std::string>{"-Language", "Language", "ru"});
    EXPECT_EQ(t.currentLanguage(), 13);
}

TEST_F(LanguageTablesTest, StringsFileFromTheCommandLine) {
    TempDir dir;
    std::string file = dir.write("mine.txt", "\xEF\xBB\xBF[Zone_Internal]\r\n[9]\tAdd one\r\n");
    apply({"-Language", file});
    EXPECT_EQ(t.currentLanguage(), kLanguageStringsFile);
    EXPECT_TRUE(fs::equivalent(expandPath(t.stringsFilePath()), file));
    EXPECT_EQ(t.main(9), "Add one");
    EXPECT_EQ(t.library(0), "Okay"); // only "[Zone_Internal]": library strings as they were
    EXPECT_TRUE(notices.empty());

    // A relative path names a file in the current folder.
    fs::path cwd = fs::current_path();
    fs::current_path(dir.path);
    apply({"-Language", "mine.txt"});
    fs::current_path(cwd);
    EXPECT_TRUE(fs::equivalent(expandPath(t.stringsFilePath()), file));
}

TEST_F(LanguageTablesTest, UserStringsFiles) {
    TempDir dir;
    // UTF-16 with both zones; entries that are empty keep what was there.
    std::string both = dir.write(
        "both.txt", encodeUtf16Le("[Zone_External]\r\n[0]\tJawohl\r\n[1]\t\r\n[Zone_Internal]\r\n"
                                  "[17]\tSiebzehn\r\n[9]\tModul hinzuf\xC3\xBCgen\r\n"));
    ASSERT_TRUE(t.loadLanguage(kLanguageStringsFile, both));
    EXPECT_EQ(t.library(0), "Jawohl");
    EXPECT_EQ(t.library(1), "Apply");
    EXPECT_EQ(t.main(9), "Modul hinzuf\xC3\xBCgen");
    // Back to English: ids that English leaves empty keep the other language's text.
    t.loadLanguage(0, "");
    EXPECT_EQ(t.main(9), "Add A Module");
    EXPECT_EQ(t.main(17), "Siebzehn");
    // A language without zones of its own keeps the texts it has.
    t.loadLanguage(4, "");
    EXPECT_EQ(t.main(9), "Add A Module");

    // Missing, folder, empty and blank files: reported once per table, English instead.
    t.loadLanguage(kLanguageStringsFile, both);
    for (const std::string& bad :
         {(dir.path / "missing.txt").string(), dir.path.string(), dir.write("empty.txt", ""),
          dir.write("blank.txt", " \r\n\t\r\n")}) {
        notices.clear();
        t.loadLanguage(kLanguageStringsFile, bad);
        EXPECT_EQ(notices.size(), 2u) << bad;
        EXPECT_EQ(notices.front(), kBlankStringsFileText) << bad;
        EXPECT_EQ(t.library(0), "Okay");
        EXPECT_EQ(t.main(9), "Add A Module");
    }
    // A file beyond 64 MiB (sparse here) is reported as too large, not as blank.
    const std::string large = dir.write("large.txt", "[Zone_Internal]\r\n[9]\tBig\r\n");
    fs::resize_file(large, kMaxTextFileSize + 1);
    notices.clear();
    t.loadLanguage(kLanguageStringsFile, large);
    EXPECT_EQ(notices, std::vector<std::string>(2, std::string(kLargeStringsFileText)));
    EXPECT_EQ(t.main(9), "Add A Module");
    // A file with LF line ends is not blank: nothing is reported and nothing changes.
    notices.clear();
    t.loadLanguage(kLanguageStringsFile, dir.write("lf.txt", "[Zone_Internal]\n[9]\tLF\n"));
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(t.main(9), "Add A Module");
}

TEST_F(LanguageTablesTest, ReplacedTextsStayReadable) {
    TempDir dir;
    std::string a = dir.write("a.txt", "[Zone_Internal]\r\n[94]\t%ld ms\r\n");
    std::string_view before = t.main(94);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::size_t sum = 0;
        while (!stop.load())
            for (int id = 90; id < 100; ++id)
                sum += languageString(id).size() + t.main(id).size();
        EXPECT_GT(sum, 0u);
    });
    for (int i = 0; i < 50; ++i) {
        t.loadLanguage(kLanguageStringsFile, a);
        t.loadLanguage(0, "");
    }
    stop = true;
    reader.join();
    EXPECT_EQ(before, "%ld milliseconds"); // the old text was never freed
    EXPECT_EQ(t.main(94), "%ld milliseconds");
}

namespace {

// The raw text of every entry of a zone of a built-in file, by id.
std::map<int, std::string> zoneLines(std::string_view file, std::string_view marker) {
    std::map<int, std::string> out;
    std::string raw = decodeText(findResource(file));
    std::size_t p = raw.find(marker);
    for (p = raw.find("\r\n[", p); p != std::string::npos && std::isdigit(raw[p + 3]);
         p = raw.find("\r\n[", p + 1)) {
        std::size_t close = raw.find(']', p);
        out[std::stoi(raw.substr(p + 3))] =
            raw.substr(close + 2, raw.find("\r\n", close) - close - 2);
    }
    return out;
}

// What a translation must keep from the English text, in order: printf conversions, product
// names and the "|" separators of button lists and file filters.
std::vector<std::string> placeholders(const std::string& text) {
    static const std::regex token(
        R"(%[-+ #0']*(\d+|\*)?(\.(\d+|\*)?)?[hlLqjzt]*[diuxXocCeEfFgGaAsSn%])"
        R"(|ProgNameAndVersion|ProgName|ProgVersion|\|)");
    std::vector<std::string> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), token);
         it != std::sregex_iterator(); ++it)
        if (it->str() != "%%") out.push_back(it->str());
    return out;
}

} // namespace

TEST(BuiltInStrings, EveryZoneMatchesEnglishIdById) {
    struct File {
        std::string_view resource;
        StringTable table;
        std::vector<std::string> zones;
    };
    const File files[] = {
        {kMainStringsResource, StringTable::Main, {"DE", "FR", "ES", "JA", "RU"}},
        {kLibraryStringsResource,
         StringTable::Library,
         {"DE", "FR", "ES", "PT", "JA", "RU", "CS", "SV", "ZH", "IT", "NL", "AF", "HU", "PL",
          "RO"}},
    };
    for (const File& f : files) {
        const std::map<int, std::string> en = zoneLines(f.resource, "[Zone_EN]");
        for (const std::string& code : f.zones) {
            const std::string marker = "[Zone_" + code + "]";
            std::map<int, std::string> zone = zoneLines(f.resource, marker);
            ASSERT_EQ(zone.size(), en.size()) << f.resource << " " << marker;
            LanguageTables t;
            t.loadZone(f.table, marker,
                       f.table == StringTable::Main ? kMainStringsFile : kLibraryStringsFile, "");
            for (const auto& [id, english] : en) {
                SCOPED_TRACE(std::string(f.resource) + " " + marker + " id " + std::to_string(id));
                ASSERT_TRUE(zone.count(id));
                EXPECT_EQ(zone[id].empty(), english.empty());
                EXPECT_EQ(placeholders(zone[id]), placeholders(english));
                if (!english.empty()) {
                    EXPECT_FALSE(trim(t.text(f.table, id)).empty());
                }
            }
            if (f.table == StringTable::Main) {
                // Option names and file patterns are the same words in every language.
                for (const char* word : {"AutoStartOnly", "AutoStartAndHide", "WrapMouse x",
                                         "MakeNoSound x", "NoInstall", "Language xx"})
                    EXPECT_NE(t.main(16).find(word), std::string::npos) << marker << " " << word;
                EXPECT_NE(t.main(146).find("|*.wav|"), std::string::npos) << marker;
                EXPECT_NE(t.main(155).find("|*.kvc;*.kvc_|"), std::string::npos) << marker;
            } else {
                EXPECT_NE(t.library(18).find("|*.txt|"), std::string::npos) << marker;
                EXPECT_EQ(t.library(62), "yyyy.MM.dd - HH:mm:ss.fff") << marker;
            }
        }
    }
}

TEST(BuiltInStrings, LanguageListAsShippedAndUnicodeFonts) {
    LanguageTables t;
    t.initLanguages({});
    const std::pair<const char*, const char*> list[kLanguageCount] = {
        {"English", "Please choose your language"},
        {"Afrikaans", "Kies jou taal"},
        {"Nederlands", "Kies uw taal"},
        {"Deutsch", "Bitte wählen Sie Ihre Sprache"},
        {"Italiano", "Scegliere la lingua"},
        {"Français", "S'il vous plaît choisissez votre langue"},
        {"Español", "Por favor, elija su idioma"},
        {"Português", "Por favor, escolha o seu idioma"},
        {"Română", "Vă rugăm să alegeți limba"},
        {"Magyar", "Kérjük, válasszon nyelvet"},
        {"Svenska", "Välj ditt språk"},
        {"Polsku", "Proszę wybrać język"},
        {"Česky", "Prosím, vyberte svůj jazyk"},
        {"По-русски", "Пожалуйста, выберите язык"},
        {"日本語", "あなたの言語を選択してください"},
        {"中国的", "请选择您的语言"},
    };
    for (int i = 0; i < kLanguageCount; ++i) {
        EXPECT_EQ(t.languageName(i), list[i].first) << i;
        // The list's last entry keeps the blank line that closes its zone.
        EXPECT_EQ(t.languagePrompt(i), list[i].second + std::string(i == 15 ? "\r\n" : "")) << i;
        EXPECT_EQ(usesUnicodeFont(i), i == 13 || i == 14 || i == 15) << i;
    }
    EXPECT_TRUE(usesUnicodeFont(kLanguageStringsFile));
    EXPECT_FALSE(t.unicodeFont());
    ASSERT_TRUE(t.changeLanguage(14, ""));
    EXPECT_TRUE(t.unicodeFont());
}

TEST_F(LanguageTablesTest, ChangingLanguageReloadsAndOverlays) {
    const unsigned before = t.generation();
    ASSERT_TRUE(t.changeLanguage(3, ""));
    EXPECT_EQ(t.currentLanguage(), 3);
    EXPECT_EQ(t.main(9), "Modul hinzufügen");
    EXPECT_EQ(t.library(2), "Abbrechen");
    EXPECT_GT(t.generation(), before);
    // Italian has library strings only: the main strings stay those loaded before.
    ASSERT_TRUE(t.changeLanguage(4, ""));
    EXPECT_EQ(t.main(9), "Modul hinzufügen");
    EXPECT_EQ(t.library(2), "Annulla");
    ASSERT_TRUE(t.changeLanguage(0, ""));
    EXPECT_EQ(t.main(9), "Add A Module");
    EXPECT_EQ(t.library(2), "Cancel");
    // Refused: unknown languages, and a strings file without a path. Nothing changes.
    const unsigned now = t.generation();
    EXPECT_FALSE(t.changeLanguage(16, ""));
    EXPECT_FALSE(t.changeLanguage(-1, ""));
    EXPECT_FALSE(t.changeLanguage(kLanguageStringsFile, " \t"));
    EXPECT_EQ(t.currentLanguage(), 0);
    EXPECT_EQ(t.generation(), now);
    EXPECT_TRUE(notices.empty());
}

TEST(StartupLanguage, ChoiceFromCommandLineSettingsAndLocale) {
    struct Case {
        std::vector<std::string> args;
        bool settingsRead;
        int settingsLanguage;
        const char *lcAll, *lcMessages, *lang;
        int language;
        bool fromCommandLine, askUser;
        std::string commandLineFile;
    };
    const Case cases[] = {
        // First start: the locale preselects, the user is asked.
        {{}, false, 0, "", "", "de_DE.UTF-8", 3, false, true, ""},
        {{}, false, 0, "ja_JP.UTF-8", "", "de_DE.UTF-8", 14, false, true, ""},
        {{}, false, 0, "", "ru_RU", "en_GB", 13, false, true, ""},
        {{}, false, 0, "", "", "pt_BR.utf8@x", 7, false, true, ""},
        {{}, false, 0, "C", "", "fr_FR", 0, false, true, ""},
        {{}, false, 0, "", "", "POSIX", 0, false, true, ""},
        {{}, false, 0, "", "", "nb_NO.UTF-8", 0, false, true, ""},
        {{}, false, 0, "", "", "", 0, false, true, ""},
        // The settings' choice wins over the locale; an unknown value counts as none.
        {{}, true, 5, "", "", "de_DE", 5, false, false, ""},
        {{}, true, 77, "", "", "de_DE", 3, false, false, ""},
        {{}, true, kLanguageStringsFile, "", "", "", kLanguageStringsFile, false, false, ""},
        // The command line wins over both, and no one is asked.
        {{"-Language", "ES"}, true, 5, "", "", "de_DE", 6, true, false, ""},
        {{"language", "ja"}, false, 0, "", "", "de_DE", 14, true, false, ""},
        {{"-Language", "zz"}, true, 5, "", "", "", 5, true, false, ""},
        {{"-Language", "zz"}, false, 0, "", "", "ru_RU", 13, true, false, ""},
        {{"-Language", "mine.txt"},
         true,
         5,
         "",
         "",
         "",
         kLanguageStringsFile,
         true,
         false,
         "mine.txt"},
        {{"-Language", "de", "Language", "fr"}, true, 0, "", "", "", 5, true, false, ""},
        {{"NoInstall", "-Language"}, true, 3, "", "", "", 3, false, false, ""},
        {{"-Language"}, false, 0, "", "", "es_ES", 6, false, true, ""},
    };
    for (const Case& c : cases) {
        StartupLanguageInputs in;
        in.args = c.args;
        in.settingsRead = c.settingsRead;
        in.settingsLanguage = c.settingsLanguage;
        in.settingsStringsFile = "%APPDATA%\\mine.txt";
        in.lcAll = c.lcAll, in.lcMessages = c.lcMessages, in.lang = c.lang;
        StartupLanguage out = chooseStartupLanguage(in);
        SCOPED_TRACE(::testing::PrintToString(c.args) + " settings " +
                     std::to_string(c.settingsRead) + "/" + std::to_string(c.settingsLanguage) +
                     " LANG " + c.lang);
        EXPECT_EQ(out.language, c.language);
        EXPECT_EQ(out.fromCommandLine, c.fromCommandLine);
        EXPECT_EQ(out.askUser, c.askUser);
        EXPECT_EQ(out.commandLineFile, c.commandLineFile);
        EXPECT_EQ(out.stringsFile,
                  c.settingsRead && c.settingsLanguage != 77 ? in.settingsStringsFile : "");
    }
}

TEST_F(LanguageTablesTest, StartupLanguageIsApplied) {
    StartupLanguage choice;
    choice.language = 13;
    t.applyStartupLanguage(choice);
    EXPECT_EQ(t.currentLanguage(), 13);
    EXPECT_FALSE(t.languageFromCommandLine());
    EXPECT_EQ(t.main(9), "Добавить модуль");

    TempDir dir;
    std::string file = dir.write("mine.txt", "[Zone_External]\r\n[0]\tJawohl\r\n");
    choice.language = kLanguageStringsFile;
    choice.commandLineFile = file;
    choice.fromCommandLine = true;
    t.applyStartupLanguage(choice);
    EXPECT_EQ(t.currentLanguage(), kLanguageStringsFile);
    EXPECT_TRUE(t.languageFromCommandLine());
    EXPECT_TRUE(fs::equivalent(expandPath(t.stringsFilePath()), file));
    EXPECT_EQ(t.library(0), "Jawohl");
    EXPECT_EQ(t.main(9), "Добавить модуль"); // no main zone in the file: as before
}

// A user's file with faults: every id it lacks, or gives no usable text, keeps the English text;
// odd escapes stay as written; a pattern with dangerous conversions formats safely.
TEST_F(LanguageTablesTest, FaultyUserStringsFile) {
    TempDir dir;
    const std::string longLine(200000, 'x');
    std::string text = "[Zone_Internal]\r\n"
                       "[94]\t%n%ld Millisekunden %s%s%999999999d\r\n"
                       "[95]\tBad \\q \\ escapes \\\r\n"
                       "[96]\t" +
                       longLine +
                       "\r\n"
                       "[97]\tLatin-1 \xE9\xE8\r\n"
                       "[98]\t\r\n"
                       "[2000]\tOut of range\r\n"
                       "[Zone_External]\r\n[0]\tJa\r\n";
    ASSERT_TRUE(t.changeLanguage(kLanguageStringsFile, dir.write("bad.txt", text)));
    EXPECT_EQ(t.main(95), "Bad \\q \\ escapes \\");
    EXPECT_EQ(t.main(96), longLine);
    EXPECT_EQ(t.main(97),
              "Latin-1 \xEF\xBF\xBD\xEF\xBF\xBD");    // another encoding: replaced, never cut
    EXPECT_EQ(t.main(98), "Control-Echo Module %ld"); // empty: English kept
    EXPECT_EQ(t.main(9), "Add A Module");             // missing: English kept
    EXPECT_EQ(t.library(0), "Ja");
    EXPECT_EQ(t.library(1), "Apply");
    const std::string shown = formatPattern(t.main(94), {25L});
    EXPECT_EQ(shown, "25 Millisekunden "); // %n and conversions without an argument print nothing
}

#include "persistence/settings.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unordered_map>
#include <variant>
#include <vector>

#include "persistence/language.h"
#include "persistence/paths.h"
#include "persistence/text.h"
#include "persistence/values.h"

namespace kv {

namespace fs = std::filesystem;

namespace {

constexpr auto rlx = std::memory_order_relaxed;

// Messages of the settings component (library strings unless marked main).
constexpr int kLibCaptionAbnormal = 25;
constexpr int kLibNewerVersion = 26;
constexpr int kLibNotSettingsFile = 27;
constexpr int kMainLegacyNewer = 196;
constexpr int kMainLegacyNewerCaption = 197;
constexpr int kMainCannotWrite = 149;
constexpr int kMainWriteError = 156;

/// Largest settings file read; anything bigger is no settings file of ours.
constexpr std::uintmax_t kMaxSettingsFileSize = 16u * 1024u * 1024u;

// How a key's value is written and read.
enum class Form : uint8_t {
    Text,         // as stored
    Path,         // as stored; brought into the stored form after reading
    Real,         // "%lg"
    Integer,      // "%ld"; read as a decimal truncated toward zero
    Window,       // an integer written "%lg"
    Whole,        // a real written "%ld" of its whole part, read as a real
    YesNo,        // "Yes" or "No "
    Sign,         // "+" or "-"; read as a yes/no word, true meaning "+"
    Colour,       // "#RRGGBB"
    Negated,      // an integer stored as its negative
    AudioApi,     // one of kAudioApis
    MouseBackend, // one of kMouseBackends
};

using Member = std::variant<std::string Settings::*, double Settings::*, long Settings::*,
                            bool Settings::*, UiColour>;

struct KeyDef {
    const char* heading; // group heading written before the key, or null
    const char* key;
    int width; // padded to this many characters with spaces
    Form form;
    Member member;
};

constexpr const char* kHeadLanguage = "\r\n\r\n# Language settings:\r\n";
constexpr const char* kHeadWindow = "\r\n\r\n# Window settings:\r\n";
constexpr const char* kHeadState = "\r\n\r\n# Other state information:\r\n";
constexpr const char* kHeadDefaults = "\r\n\r\n# Defaults:\r\n";
constexpr const char* kHeadPreferences = "\r\n\r\n# Preferences:\r\n";

using S = Settings;
using C = UiColour;

// Every key in the order written.
const KeyDef kKeys[] = {
    {nullptr, "ProgramName", 15, Form::Text, &S::programName},
    {nullptr, "ProgramVersion", 15, Form::Text, &S::programVersion},
    {nullptr, "SettingsVersion", 15, Form::Real, &S::settingsVersion},
    {kHeadLanguage, "Language.Choice", 24, Form::Text, &S::languageChoice},
    {nullptr, "Language.StringsFilePath", 24, Form::Path, &S::languageStringsFilePath},
    {kHeadWindow, "WindowPosition.Top", 21, Form::Window, &S::windowTop},
    {nullptr, "WindowPosition.Left", 21, Form::Window, &S::windowLeft},
    {nullptr, "WindowPosition.Right", 21, Form::Window, &S::windowRight},
    {nullptr, "WindowPosition.Bottom", 21, Form::Window, &S::windowBottom},
    {nullptr, "WindowState", 21, Form::Window, &S::windowState},
    {kHeadState, "ProgramHasRunPreviously", 26, Form::YesNo, &S::programHasRunPreviously},
    {nullptr, "ProgramHasClosedPreviously", 26, Form::YesNo, &S::programHasClosedPreviously},
    {nullptr, "UserHasMinimisedPreviously", 26, Form::YesNo, &S::userHasMinimisedPreviously},
    {nullptr, "UserHasEscapedPreviously", 26, Form::YesNo, &S::userHasEscapedPreviously},
    {nullptr, "MillisecondsPerChunk", 26, Form::Whole, &S::millisecondsPerChunk},
    {kHeadDefaults, "Defaults.SliderSignLast", 23, Form::Sign, &S::sliderSignNegative},
    {nullptr, "Defaults.WaveWriterPath", 23, Form::Path, &S::waveWriterPath},
    {nullptr, "Defaults.KVCPath", 23, Form::Path, &S::kvcPath},
    {nullptr, "Defaults.KVCFolderPath", 23, Form::Path, &S::kvcFolderPath},
    {nullptr, "Defaults.AutoSavePath", 23, Form::Path, &S::autoSavePath},
    {kHeadPreferences, "Preferences.Minimisation.SystemTrayOnlyWhenMinimised", 52, Form::YesNo,
     &S::systemTrayOnlyWhenMinimised},
    {nullptr, "Preferences.Minimisation.HideWindowWhenMinimised", 52, Form::YesNo,
     &S::hideWindowWhenMinimised},
    {nullptr, "Preferences.Minimisation.SystemTrayIconEnabled", 52, Form::YesNo,
     &S::systemTrayIconEnabled},
    {nullptr, "Preferences.Minimisation.MinimiseOnStartup", 52, Form::YesNo, &S::minimiseOnStartup},
    {nullptr, "Preferences.Minimisation.MinimiseOnClose", 52, Form::YesNo, &S::minimiseOnClose},
    {nullptr, "Preferences.Minimisation.MinimiseOnEsc", 52, Form::YesNo, &S::minimiseOnEsc},
    {nullptr, "Preferences.Colours.DialogBackground", 44, Form::Colour, C::DialogBackground},
    {nullptr, "Preferences.Colours.DialogText", 44, Form::Colour, C::DialogText},
    {nullptr, "Preferences.Colours.ModuleBackground", 44, Form::Colour, C::ModuleBackground},
    {nullptr, "Preferences.Colours.ModuleText", 44, Form::Colour, C::ModuleText},
    {nullptr, "Preferences.Colours.ButtonNormalBackground", 44, Form::Colour,
     C::ButtonNormalBackground},
    {nullptr, "Preferences.Colours.ButtonNormalText", 44, Form::Colour, C::ButtonNormalText},
    {nullptr, "Preferences.Colours.ButtonDefaultBackground", 44, Form::Colour,
     C::ButtonDefaultBackground},
    {nullptr, "Preferences.Colours.ButtonDefaultText", 44, Form::Colour, C::ButtonDefaultText},
    {nullptr, "Preferences.Colours.ButtonFocusedBackground", 44, Form::Colour,
     C::ButtonFocusedBackground},
    {nullptr, "Preferences.Colours.ButtonFocusedText", 44, Form::Colour, C::ButtonFocusedText},
    {nullptr, "Preferences.Colours.ButtonDisabledBackground", 44, Form::Colour,
     C::ButtonDisabledBackground},
    {nullptr, "Preferences.Colours.ButtonDisabledText", 44, Form::Colour, C::ButtonDisabledText},
    {nullptr, "Preferences.Colours.ButtonInactiveBackground", 44, Form::Colour,
     C::ButtonInactiveBackground},
    {nullptr, "Preferences.Colours.ButtonInactiveText", 44, Form::Colour, C::ButtonInactiveText},
    {nullptr, "Preferences.Colours.ModuleDropdownBackground", 44, Form::Colour,
     C::ModuleDropdownBackground},
    {nullptr, "Preferences.Colours.ModuleDropdownText", 44, Form::Colour, C::ModuleDropdownText},
    {nullptr, "Preferences.Colours.ProgressBarBackground", 44, Form::Colour,
     C::ProgressBarBackground},
    {nullptr, "Preferences.Colours.ProgressBarForeground", 44, Form::Colour,
     C::ProgressBarForeground},
    {nullptr, "Preferences.MakeNoSound", 41, Form::YesNo, &S::makeNoSound},
    {nullptr, "Preferences.MouseOrigin.x", 41, Form::Integer, &S::mouseOriginX},
    {nullptr, "Preferences.MouseOrigin.y", 41, Form::Negated, &S::mouseOriginY},
    {nullptr, "Preferences.ShowMouseStatus", 41, Form::YesNo, &S::showMouseStatus},
    {nullptr, "Preferences.Use3DMouseStatus", 41, Form::YesNo, &S::use3DMouseStatus},
    {nullptr, "Preferences.DoFastMouseStatus", 41, Form::YesNo, &S::doFastMouseStatus},
    {nullptr, "Preferences.UseWindowsColours", 41, Form::YesNo, &S::useWindowsColours},
    {nullptr, "Preferences.DesiredInputLatency", 41, Form::Integer, &S::desiredInputLatency},
    {nullptr, "Preferences.DesiredOutputLatency", 41, Form::Integer, &S::desiredOutputLatency},
    {nullptr, "Preferences.ControlDataSampleRate", 41, Form::Whole, &S::controlDataSampleRate},
    {nullptr, "Preferences.OpenGL.UseSwapBuffers", 41, Form::YesNo, &S::openGLUseSwapBuffers},
    {nullptr, "Preferences.CheckVersionOnStartup", 41, Form::YesNo, &S::checkVersionOnStartup},
    {nullptr, "Preferences.StartSoundingOnStartup", 41, Form::YesNo, &S::startSoundingOnStartup},
    {nullptr, "Preferences.LockWindowToScreenEdges", 41, Form::YesNo, &S::lockWindowToScreenEdges},
    {nullptr, "Preferences.DoNotAskAboutInstallation", 41, Form::YesNo,
     &S::doNotAskAboutInstallation},
    {nullptr, "Preferences.LoadLastAutoSaveOnStartup", 41, Form::YesNo,
     &S::loadLastAutoSaveOnStartup},
    {nullptr, "Preferences.OscillatorFrequencyMinimum", 41, Form::Real,
     &S::oscillatorFrequencyMinimum},
    {nullptr, "Preferences.AllowMouseInputAsAudioInput", 41, Form::YesNo,
     &S::allowMouseInputAsAudioInput},
    {nullptr, "Preferences.WrapMouseCursorAtScreenEdges", 41, Form::YesNo,
     &S::wrapMouseCursorAtScreenEdges},
    {nullptr, "Preferences.RealtimePriorityForMainThread", 41, Form::YesNo,
     &S::realtimePriorityForMainThread},
    // Our own key: the sound system of the device layer.
    {nullptr, "Preferences.AudioApi", 41, Form::AudioApi, &S::audioApi},
    // Our own key: the product web site's host ("name" or "name:port").
    {nullptr, "Preferences.Online.SiteHost", 41, Form::Text, &S::onlineSiteHost},
    // Our own key: the folder gesture tapes are recorded into (empty: beside the autosave).
    {nullptr, "Defaults.GestureTapePath", 41, Form::Path, &S::gestureTapePath},
    // Our own key: where the desktop's mouse is read (files without it read as "auto").
    {nullptr, "Preferences.MouseBackend", 41, Form::MouseBackend, &S::mouseBackend},
};

std::string paddedKey(const KeyDef& k) {
    std::string key = k.key;
    if (static_cast<int>(key.size()) < k.width) key.append(k.width - key.size(), ' ');
    return key;
}

/// A double as a long: truncated toward zero, limited to the range of long, NaN as 0.
long toLong(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18) return LONG_MAX;
    if (v <= -9.2e18) return LONG_MIN;
    return static_cast<long>(v);
}

std::string formatReal(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string formatLong(long v) {
    return std::to_string(v);
}

/// A text as it can be written and read back: up to its first line end (one value never spills
/// into the next line), without spaces and tabs at its ends (reading trims them).
std::string oneLine(std::string_view text) {
    return std::string(trim(text.substr(0, text.find_first_of("\r\n")), " \t"));
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// "#RRGGBB" with blanks and "#" around it; pairs that are not hexadecimal read as 0.
Colour parseColour(std::string_view text) {
    text = trim(text, " \t\r\n#");
    uint8_t channel[3] = {0, 0, 0};
    for (int i = 0; i < 3 && std::size_t(2 * i + 1) < text.size(); ++i) {
        const int hi = hexDigit(text[2 * i]), lo = hexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) break;
        channel[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return {channel[0], channel[1], channel[2]};
}

std::string formatColour(Colour c) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", c.red, c.green, c.blue);
    return text;
}

std::string writeValue(const KeyDef& k, const Settings& s) {
    switch (k.form) {
    case Form::Text:
    case Form::Path:
    case Form::AudioApi:
    case Form::MouseBackend:
        return oneLine(s.*std::get<std::string S::*>(k.member));
    case Form::Real:
        return formatReal(s.*std::get<double S::*>(k.member));
    case Form::Integer:
        return formatLong(s.*std::get<long S::*>(k.member));
    case Form::Window:
        return formatReal(static_cast<double>(s.*std::get<long S::*>(k.member)));
    case Form::Whole:
        return formatLong(toLong(s.*std::get<double S::*>(k.member)));
    case Form::YesNo:
        return s.*std::get<bool S::*>(k.member) ? "Yes" : "No ";
    case Form::Sign:
        return s.*std::get<bool S::*>(k.member) ? "-" : "+";
    case Form::Colour:
        return formatColour(s.colour(std::get<UiColour>(k.member)));
    case Form::Negated: {
        const long v = s.*std::get<long S::*>(k.member);
        return formatLong(v == LONG_MIN ? LONG_MAX : -v);
    }
    }
    return {};
}

void readValue(const KeyDef& k, std::string_view value, Settings& s, const PathEnvironment& env) {
    switch (k.form) {
    case Form::Text:
        s.*std::get<std::string S::*>(k.member) = std::string(value);
        break;
    case Form::Path:
        s.*std::get<std::string S::*>(k.member) = shortenPath(value, env);
        break;
    case Form::AudioApi:
        s.*std::get<std::string S::*>(k.member) = std::string(audioApiName(value));
        break;
    case Form::MouseBackend:
        s.*std::get<std::string S::*>(k.member) = std::string(mouseBackendName(value));
        break;
    case Form::Real:
    case Form::Whole:
        s.*std::get<double S::*>(k.member) = parseDecimal(value, 0.0);
        break;
    case Form::Integer:
    case Form::Window:
        s.*std::get<long S::*>(k.member) = toLong(parseDecimal(value, 0.0));
        break;
    case Form::Negated: {
        const long v = toLong(parseDecimal(value, 0.0));
        s.*std::get<long S::*>(k.member) = v == LONG_MIN ? LONG_MAX : -v;
        break;
    }
    case Form::YesNo:
        s.*std::get<bool S::*>(k.member) = parseFlag(value);
        break;
    case Form::Sign:
        s.*std::get<bool S::*>(k.member) = !parseFlag(value);
        break;
    case Form::Colour:
        s.colour(std::get<UiColour>(k.member)) = parseColour(value);
        break;
    }
}

std::size_t keyIndex(std::string_view key) {
    for (std::size_t i = 0; i < std::size(kKeys); ++i)
        if (key == kKeys[i].key) return i;
    return 0;
}

// The key lookup of KeyedText for every key of the table at once: a key is found at the start
// of a line, letters compared without regard to case, followed by a tab, else "=", else a space,
// else ":", each at its first occurrence. One pass over the lines instead of one search per key.
class IndexedKeys {
  public:
    explicit IndexedKeys(std::string text) : text_("\n" + std::move(text)) {
        static constexpr std::string_view kSeparators = "\t= :";
        static const Index index = buildIndex();
        found_.fill({kNone, kNone, kNone, kNone});
        std::string candidate;
        for (std::size_t nl = 0; nl != std::string::npos; nl = text_.find('\n', nl + 1)) {
            const std::size_t start = nl + 1;
            for (std::size_t width : index.widths) {
                if (start + width >= text_.size()) continue;
                const std::size_t sep = kSeparators.find(text_[start + width]);
                if (sep == std::string_view::npos) continue;
                candidate.assign(text_, start, width);
                for (char& c : candidate)
                    c = asciiLower(c);
                const auto hit = index.keys.find(candidate);
                if (hit != index.keys.end() && found_[hit->second][sep] == kNone)
                    found_[hit->second][sep] = start + width + 1;
            }
        }
    }

    /// The value of key `i` of the table: the rest of its line, spaces and tabs trimmed.
    std::string value(std::size_t i) const {
        for (std::size_t start : found_[i]) {
            if (start == kNone) continue;
            const std::size_t end = text_.find_first_of("\r\n", start);
            return std::string(trim(std::string_view(text_).substr(start, end - start), " \t"));
        }
        return {};
    }

  private:
    static constexpr std::size_t kNone = std::string::npos;
    struct Index {
        std::unordered_map<std::string, std::size_t> keys; // padded key, lower case -> index
        std::vector<std::size_t> widths;                   // the padded widths in use
    };
    static Index buildIndex() {
        Index index;
        for (std::size_t i = 0; i < std::size(kKeys); ++i) {
            const std::string key = toAsciiLower(paddedKey(kKeys[i]));
            index.keys.emplace(key, i);
            if (std::find(index.widths.begin(), index.widths.end(), key.size()) ==
                index.widths.end())
                index.widths.push_back(key.size());
        }
        return index;
    }

    std::string text_; // "\n" + the text
    std::array<std::array<std::size_t, 4>, std::size(kKeys)> found_;
};

// ---- Messages ---------------------------------------------------------------------------------

void inform(const SettingsMessages& m, std::string_view text, std::string_view caption) {
    if (m.inform)
        m.inform(text, caption);
    else
        std::fprintf(stderr, "%.*s: %.*s\n", int(caption.size()), caption.data(), int(text.size()),
                     text.data());
}

bool ask(const SettingsMessages& m, std::string_view text, std::string_view caption) {
    return m.ask ? m.ask(text, caption) : false;
}

SettingsLoadResult notSettingsFile(const SettingsMessages& m) {
    inform(m, libraryString(kLibNotSettingsFile), libraryString(kLibCaptionAbnormal));
    return {SettingsLoadStatus::NotSettingsFile, false};
}

// ---- The older binary form --------------------------------------------------------------------

constexpr unsigned char kLegacySignature[16] = {0x7C, 0x55, 0xD3, 0x92, 0x6E, 0x94, 0x45, 0x48,
                                                0xA5, 0x51, 0xF5, 0xF1, 0xD0, 0xAF, 0xE4, 0x69};
constexpr uint32_t kLegacyMaxString = 1000000; // bytes

class LegacyReader {
  public:
    explicit LegacyReader(std::string_view bytes) : b_(bytes) {}

    bool skip(std::size_t n) {
        if (b_.size() - pos_ < n) return false;
        pos_ += n;
        return true;
    }
    bool u8(uint8_t& v) {
        if (pos_ >= b_.size()) return false;
        v = static_cast<uint8_t>(b_[pos_++]);
        return true;
    }
    bool flag(bool& v) {
        uint8_t x = 0;
        if (!u8(x)) return false;
        v = x != 0;
        return true;
    }
    bool u32(uint32_t& v) {
        if (b_.size() - pos_ < 4) return false;
        v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | static_cast<uint8_t>(b_[pos_ + i]);
        pos_ += 4;
        return true;
    }
    bool i32(long& v) {
        uint32_t x = 0;
        if (!u32(x)) return false;
        v = static_cast<int32_t>(x);
        return true;
    }
    bool u16(uint16_t& v) {
        if (b_.size() - pos_ < 2) return false;
        v = static_cast<uint16_t>(uint8_t(b_[pos_]) | uint8_t(b_[pos_ + 1]) << 8);
        pos_ += 2;
        return true;
    }
    bool real(double& v) {
        uint32_t lo = 0, hi = 0;
        if (b_.size() - pos_ < 8 || !u32(lo) || !u32(hi)) return false;
        v = std::bit_cast<double>(uint64_t(hi) << 32 | lo);
        return true;
    }
    bool colour(Colour& c) {
        if (b_.size() - pos_ < 4) return false;
        c = {uint8_t(b_[pos_]), uint8_t(b_[pos_ + 1]), uint8_t(b_[pos_ + 2])};
        pos_ += 4;
        return true;
    }
    /// A byte length and that many bytes of UTF-16 text. The text ends at its first NUL, and at
    /// its first line break, which no value of the text form can hold; blanks at its ends go.
    bool text(std::string& v) {
        uint32_t n = 0;
        if (!u32(n) || n > kLegacyMaxString || b_.size() - pos_ < n) return false;
        std::u16string units;
        for (uint32_t i = 0; i + 1 < n; i += 2)
            units.push_back(
                static_cast<char16_t>(uint8_t(b_[pos_ + i]) | uint8_t(b_[pos_ + i + 1]) << 8));
        pos_ += n;
        units = units.substr(0, units.find_first_of(std::u16string_view(u"\0\r\n", 3)));
        v = trim(utf16ToUtf8(units), " \t"); // as a value of the text form reads
        return true;
    }

  private:
    std::string_view b_;
    std::size_t pos_ = 0;
};

SettingsLoadResult readLegacy(std::string_view bytes, Settings& s, const SettingsMessages& m,
                              bool explicitPath) {
    LegacyReader r(bytes);
    const SettingsLoadResult loaded{SettingsLoadStatus::Loaded, true};
    std::string name;
    r.skip(16);
    if (!r.text(name) || name != kSettingsProgramName) return notSettingsFile(m);
    s.programName = name;

    long major = 0, minor = 0;
    if (!r.i32(major) || !r.i32(minor)) return loaded;
    const std::string version = std::to_string(major) + "." + std::to_string(minor);
    s.programVersion = version;
    if (parseDecimal(version, 0.0) > kSettingsProgramVersionNumber && !explicitPath &&
        !ask(m, languageString(kMainLegacyNewer), languageString(kMainLegacyNewerCaption))) {
        s = Settings{};
        return {SettingsLoadStatus::NewerDeclined, true};
    }

    uint8_t unnamedByte = 0;
    std::string unnamedText;
    uint16_t language = 0;
    if (!r.skip(16) || !r.u8(unnamedByte) || !r.text(unnamedText) || !r.u16(language))
        return loaded;
    s.languageChoice = std::to_string(language);

    auto flags = [&](std::initializer_list<bool*> list) {
        for (bool* f : list)
            if (!r.flag(*f)) return false;
        return true;
    };
    auto integers = [&](std::initializer_list<long*> list) {
        for (long* v : list)
            if (!r.i32(*v)) return false;
        return true;
    };
    auto texts = [&](std::initializer_list<std::string*> list) {
        for (std::string* v : list)
            if (!r.text(*v)) return false;
        return true;
    };

    if (!flags({&s.systemTrayIconEnabled, &s.systemTrayOnlyWhenMinimised,
                &s.hideWindowWhenMinimised, &s.minimiseOnStartup, &s.minimiseOnClose}) ||
        !r.skip(1) || !flags({&s.useWindowsColours}) ||
        !integers({&s.windowLeft, &s.windowTop, &s.windowRight, &s.windowBottom, &s.windowState}) ||
        !flags({&s.programHasRunPreviously, &s.minimiseOnEsc, &s.userHasMinimisedPreviously,
                &s.programHasClosedPreviously, &s.userHasEscapedPreviously,
                &s.checkVersionOnStartup, &s.startSoundingOnStartup}) ||
        !texts({&s.languageStringsFilePath}) ||
        !flags({&s.lockWindowToScreenEdges, &s.wrapMouseCursorAtScreenEdges, &s.makeNoSound,
                &s.showMouseStatus}) ||
        !integers({&s.desiredOutputLatency, &s.desiredInputLatency}) ||
        !texts({&s.waveWriterPath, &s.kvcPath, &s.kvcFolderPath}))
        return loaded;

    // Eighteen colours; the two after the disabled pair replace the focused pair again.
    static constexpr UiColour kColourOrder[18] = {
        C::DialogBackground,         C::DialogText,
        C::ModuleBackground,         C::ModuleText,
        C::ButtonNormalBackground,   C::ButtonNormalText,
        C::ButtonDefaultBackground,  C::ButtonDefaultText,
        C::ButtonFocusedBackground,  C::ButtonFocusedText,
        C::ButtonDisabledBackground, C::ButtonDisabledText,
        C::ButtonFocusedBackground,  C::ButtonFocusedText,
        C::ButtonInactiveBackground, C::ButtonInactiveText,
        C::ModuleDropdownBackground, C::ModuleDropdownText};
    for (UiColour c : kColourOrder)
        if (!r.colour(s.colour(c))) return loaded;

    uint8_t unnamed[2];
    bool negativeSign = false;
    if (!r.real(s.controlDataSampleRate) || !r.real(s.millisecondsPerChunk) || !r.u8(unnamed[0]) ||
        !r.u8(unnamed[1]) || !flags({&s.realtimePriorityForMainThread, &negativeSign}))
        return loaded;
    s.sliderSignNegative = negativeSign;
    // The last fields: each is read only when the ones before it were complete.
    (void)(r.colour(s.colour(C::ProgressBarBackground)) &&
           r.colour(s.colour(C::ProgressBarForeground)) && texts({&s.autoSavePath}) &&
           flags(
               {&s.loadLastAutoSaveOnStartup, &s.doFastMouseStatus, &s.doNotAskAboutInstallation}));
    return loaded;
}

} // namespace

// ---- Values -----------------------------------------------------------------------------------

std::array<Colour, kUiColourCount> Settings::defaultColours() {
    return {{
        {0xFF, 0xF5, 0xE8}, // dialog background
        {0x00, 0x00, 0x00}, // dialog text
        {0xD5, 0xD5, 0xE6}, // module background
        {0x00, 0x00, 0x00}, // module text
        {0x7D, 0x4A, 0x80}, // normal button background
        {0xEB, 0xE0, 0xDA}, // normal button text
        {0x00, 0x00, 0x00}, // default button background
        {0x00, 0x00, 0x00}, // default button text
        {0xA1, 0x58, 0x90}, // focused button background
        {0xFF, 0xEF, 0xF5}, // focused button text
        {0x91, 0x77, 0x8A}, // disabled button background
        {0xC8, 0xC8, 0xC8}, // disabled button text
        {0x00, 0x00, 0x00}, // inactive button background
        {0x00, 0x00, 0x00}, // inactive button text
        {0xB9, 0xFF, 0x93}, // module drop-down background
        {0x00, 0x00, 0x00}, // module drop-down text
        {0x5A, 0x68, 0x2E}, // progress bar background
        {0xFF, 0xB0, 0x30}, // progress bar foreground
    }};
}

std::string_view audioApiName(std::string_view value) {
    value = trim(value);
    for (const char* api : kAudioApis)
        if (equalsIgnoreCase(value, api)) return api;
    return kAudioApis[0];
}

std::string_view mouseBackendName(std::string_view value) {
    value = trim(value);
    for (const char* backend : kMouseBackends)
        if (equalsIgnoreCase(value, backend)) return backend;
    return kMouseBackends[0];
}

// ---- Writing ----------------------------------------------------------------------------------

std::string settingsBytes(const Settings& settings) {
    // The identity keys always say who wrote the file.
    Settings s = settings;
    s.programName = kSettingsProgramName;
    s.programVersion = kSettingsProgramVersion;
    s.settingsVersion = kSettingsFormatVersion;

    std::string text = "\r\n### This is a settings file for ";
    text += kSettingsProgramName;
    text += " ";
    text += kSettingsProgramVersion;
    text += " ###\r\n";
    for (const KeyDef& k : kKeys) {
        if (k.heading) text += k.heading;
        text += "\r\n";
        text += paddedKey(k);
        text += '\t';
        text += writeValue(k, s);
    }
    return encodeUtf16Le(text, true);
}

SaveResult saveSettings(const std::string& path, const Settings& settings,
                        const SettingsMessages& messages) {
    std::error_code ec;
    const fs::path folder = fs::path(path).parent_path();
    if (!folder.empty() && !fs::exists(folder, ec)) fs::create_directories(folder, ec);
    const SaveResult result = writeFileReplacing(path, settingsBytes(settings));
    if (!result) {
        const int id =
            result.status == SaveStatus::CannotCreate ? kMainCannotWrite : kMainWriteError;
        inform(messages, languageString(id) + "\n" + path + ": " + result.reason,
               libraryString(kLibCaptionAbnormal));
    }
    return result;
}

// ---- Reading ----------------------------------------------------------------------------------

double limitedControlRate(double rate) {
    constexpr double kSamplesPerSecond = 48000.0; // the engine's fixed rate
    if (!std::isfinite(rate) || rate < 0) return 4000.0;
    return std::min(rate, kSamplesPerSecond);
}

double limitedChunkMilliseconds(double ms) {
    if (!std::isfinite(ms) || ms <= 0) return 2.0;
    return std::min(ms, 1000.0);
}

SettingsLoadResult readSettings(std::string_view bytes, Settings& s,
                                const SettingsMessages& messages, bool explicitPath,
                                const PathEnvironment& env) {
    s = Settings{};
    if (bytes.size() < 16) return notSettingsFile(messages);
    if (std::memcmp(bytes.data(), kLegacySignature, 16) == 0) {
        SettingsLoadResult r = readLegacy(bytes, s, messages, explicitPath);
        s.controlDataSampleRate = limitedControlRate(s.controlDataSampleRate);
        s.millisecondsPerChunk = limitedChunkMilliseconds(s.millisecondsPerChunk);
        for (std::string* p : {&s.languageStringsFilePath, &s.waveWriterPath, &s.kvcPath,
                               &s.kvcFolderPath, &s.autoSavePath})
            *p = shortenPath(*p, env);
        return r;
    }

    const IndexedKeys keyed(decodeText(bytes));
    if (keyed.value(keyIndex("ProgramName")) != kSettingsProgramName)
        return notSettingsFile(messages);
    if (parseDecimal(keyed.value(keyIndex("ProgramVersion")), 0.0) >
            kSettingsProgramVersionNumber &&
        !ask(messages, libraryString(kLibNewerVersion), libraryString(kLibCaptionAbnormal)))
        return {SettingsLoadStatus::NewerDeclined, false};

    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        const std::string v = keyed.value(i);
        if (!v.empty()) readValue(kKeys[i], v, s, env);
    }
    s.controlDataSampleRate = limitedControlRate(s.controlDataSampleRate);
    s.millisecondsPerChunk = limitedChunkMilliseconds(s.millisecondsPerChunk);
    return {SettingsLoadStatus::Loaded, false};
}

SettingsLoadResult loadSettings(const std::string& path, Settings& settings,
                                const SettingsMessages& messages, bool explicitPath) {
    settings = Settings{};
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    // What cannot be opened as a file (nothing there, a folder, a device, no permission) leaves
    // the defaults without a word; a file far too big for settings is not ours.
    if (ec || !fs::is_regular_file(st)) return {SettingsLoadStatus::Missing, false};
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) return {SettingsLoadStatus::Missing, false};
    if (size > kMaxSettingsFileSize) return notSettingsFile(messages);
    std::ifstream in(path, std::ios::binary);
    if (!in) return {SettingsLoadStatus::Missing, false};
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    if (in.bad()) return notSettingsFile(messages);
    return readSettings(bytes, settings, messages, explicitPath, PathEnvironment::current());
}

// ---- Where the file lies ----------------------------------------------------------------------

namespace {

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string runningProgramPath() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

} // namespace

std::string settingsFileName(std::string_view name) {
    const std::size_t n = name.size();
    if (n >= 4 && name[n - 4] == '.' && name.substr(n - 3).find('.') == std::string_view::npos)
        return std::string(name.substr(0, n - 3)) + "KVS";
    return std::string(name) + ".KVS";
}

std::string userSettingsFolder(const PathEnvironment& env) {
    const auto config = env.lookup("XDG_CONFIG_HOME");
    if (config && !config->empty() && config->front() == '/')
        return withoutTrailingSlashes(*config) + "/Kalvitrope";
    const auto home = env.lookup("HOME");
    if (home && !home->empty() && home->front() == '/')
        return withoutTrailingSlashes(*home) + "/.config/Kalvitrope";
    return {};
}

std::string settingsFolder(std::string_view programPath, std::string_view commandLineFolder,
                           const PathEnvironment& env) {
    const std::string user = userSettingsFolder(env);
    if (!commandLineFolder.empty()) {
        if (inSystemProgramFolder(commandLineFolder) && !user.empty()) return user;
        return withoutTrailingSlashes(std::string(commandLineFolder));
    }
    if (isSystemCopy(programPath) && !user.empty()) return user;
    const std::string folder = fs::path(programPath).parent_path().string();
    return folder.empty() ? env.programFolder : withoutTrailingSlashes(folder);
}

std::string settingsFolderFromCommandLine(std::span<const std::string> args) {
    std::string folder;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        std::string_view name = args[i];
        if (name.starts_with("-")) name.remove_prefix(1);
        if (!equalsIgnoreCase(name, "SettingsFolderPath") || args[i + 1].size() <= 2) continue;
        std::error_code ec;
        const fs::path absolute = fs::absolute(args[i + 1], ec);
        folder = withoutTrailingSlashes(ec ? args[i + 1] : absolute.string());
    }
    return folder;
}

std::string settingsFilePath(std::string_view programPath, std::string_view commandLineFolder,
                             const PathEnvironment& env) {
    const std::string folder = settingsFolder(programPath, commandLineFolder, env);
    const std::string name = fs::path(programPath).filename().string();
    return (fs::path(folder) / settingsFileName(name.empty() ? "kalvitrope" : name)).string();
}

std::string defaultSettingsPath(std::string_view commandLineFolder) {
    const PathEnvironment env = PathEnvironment::current();
    std::string program = runningProgramPath();
    if (program.empty()) program = env.programFolder + "/kalvitrope";
    return settingsFilePath(program, commandLineFolder, env);
}

// ---- Sharing with the engine and the language tables ------------------------------------------

int languageFromChoice(std::string_view choice) {
    choice = trim(choice);
    if (equalsIgnoreCase(choice, "Other")) return kLanguageStringsFile;
    if (const int index = languageIndex(choice); index >= 0) return index;
    if (choice.empty() || choice.find_first_not_of("0123456789") != std::string_view::npos ||
        choice.size() > 4)
        return -1;
    const int index = std::stoi(std::string(choice));
    return index < kLanguageCount ? index : -1;
}

std::string languageChoiceText(int language) {
    if (language == kLanguageStringsFile) return "Other";
    return std::string(languageCode(language));
}

bool applyLanguageSettings(const Settings& s, LanguageTables& tables) {
    const int language = languageFromChoice(s.languageChoice);
    if (language < 0) return false;
    tables.setStringsFilePath(s.languageStringsFilePath);
    return tables.setCurrentLanguage(language);
}

void captureLanguageSettings(const LanguageTables& tables, Settings& s) {
    s.languageChoice = languageChoiceText(tables.currentLanguage());
    s.languageStringsFilePath = tables.stringsFilePath();
}

} // namespace kv

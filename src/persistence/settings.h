#pragma once
// The settings file: the program's preferences, window placement, remembered paths and first-run
// flags, kept in one UTF-16 key/value text file that is written in full whenever settings change
// and read once at start-up. An older binary form of the file is accepted on reading.
//
// Settings is a plain record of every key; the key table in settings.cpp says how each key is
// written and read. Reading and writing bytes are pure functions; loadSettings and saveSettings
// add the file and the messages. Threads: the user-interface thread (or the thread acting as it,
// such as the headless tool's main thread).
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "persistence/safe_save.h"

namespace kv {

struct PathEnvironment;
class LanguageTables;

/// Product identity written into and checked in the file.
inline constexpr std::string_view kSettingsProgramName = "Kalvitrope";
inline constexpr std::string_view kSettingsProgramVersion = "1.1";
inline constexpr double kSettingsProgramVersionNumber = 1.1;
inline constexpr double kSettingsFormatVersion = 4.01;

/// An sRGB colour, 0..255 per channel.
struct Colour {
    uint8_t red = 0, green = 0, blue = 0;
    friend bool operator==(const Colour&, const Colour&) = default;
};

/// The user-interface colours, in the order of the file.
enum class UiColour : int {
    DialogBackground,
    DialogText,
    ModuleBackground,
    ModuleText,
    ButtonNormalBackground,
    ButtonNormalText,
    ButtonDefaultBackground,
    ButtonDefaultText,
    ButtonFocusedBackground,
    ButtonFocusedText,
    ButtonDisabledBackground,
    ButtonDisabledText,
    ButtonInactiveBackground,
    ButtonInactiveText,
    ModuleDropdownBackground,
    ModuleDropdownText,
    ProgressBarBackground,
    ProgressBarForeground,
    Count
};
inline constexpr int kUiColourCount = static_cast<int>(UiColour::Count);

/// The product web site's host when the settings name none.
inline constexpr std::string_view kDefaultOnlineSiteHost = "kalvitrope.org";

/// Sound systems the device layer may use (`Preferences.AudioApi`); the value is what
/// platform::makeAudioOut takes.
inline constexpr const char* kAudioApis[] = {"auto", "jack", "pulse", "alsa", "null"};
/// One of kAudioApis for a stored value (case ignored, trimmed); anything else gives "auto".
std::string_view audioApiName(std::string_view value);

/// Where the desktop's mouse is read (`Preferences.MouseBackend`): "auto" (X11 in an X11 session,
/// the input devices in a Wayland one when a mouse can be read), "x11" (XInput2 and the X pointer
/// only) or "devices" (the input devices, even in an X11 session).
inline constexpr const char* kMouseBackends[] = {"auto", "x11", "devices"};
/// One of kMouseBackends for a stored value (case ignored, trimmed); anything else gives "auto".
std::string_view mouseBackendName(std::string_view value);

/// Every key of the settings file, with its default. Paths are in the stored (portable) form.
struct Settings {
    std::string programName{kSettingsProgramName};
    std::string programVersion{kSettingsProgramVersion};
    double settingsVersion = kSettingsFormatVersion;

    /// A two-letter language code, "Other" (a strings file by path) or a language index.
    std::string languageChoice = "en";
    std::string languageStringsFilePath;

    // Main window rectangle and show state, pixels.
    long windowTop = 0, windowLeft = 0, windowRight = 0, windowBottom = 0;
    long windowState = 0;

    bool programHasRunPreviously = false;
    bool programHasClosedPreviously = false;
    bool userHasMinimisedPreviously = false;
    bool userHasEscapedPreviously = false;
    double millisecondsPerChunk = 2.0; // measured average cycle duration, ms

    bool sliderSignNegative = false; // sign last chosen in a slider's value dialog
    std::string waveWriterPath;
    std::string kvcPath;
    std::string kvcFolderPath;
    std::string autoSavePath;
    std::string gestureTapePath; // folder of recorded gesture tapes; empty: the autosave's

    bool systemTrayOnlyWhenMinimised = true;
    bool hideWindowWhenMinimised = false;
    bool systemTrayIconEnabled = false;
    bool minimiseOnStartup = false;
    bool minimiseOnClose = false;
    bool minimiseOnEsc = false;

    std::array<Colour, kUiColourCount> colours = defaultColours();

    bool makeNoSound = false;
    long mouseOriginX = 0; // pixels
    long mouseOriginY = 0; // pixels (the file holds the negative)
    bool showMouseStatus = true;
    bool use3DMouseStatus = true;
    bool doFastMouseStatus = true;
    bool useWindowsColours = false;
    long desiredInputLatency = 20;       // ms
    long desiredOutputLatency = 36;      // ms
    double controlDataSampleRate = 4000; // control samples per second
    bool openGLUseSwapBuffers = true;
    bool checkVersionOnStartup = true;
    bool startSoundingOnStartup = false;
    bool lockWindowToScreenEdges = true;
    bool doNotAskAboutInstallation = false;
    bool loadLastAutoSaveOnStartup = true;
    double oscillatorFrequencyMinimum = 5; // Hz
    bool allowMouseInputAsAudioInput = false;
    bool wrapMouseCursorAtScreenEdges = true;
    bool realtimePriorityForMainThread = false;

    /// One of kAudioApis.
    std::string audioApi = "auto";
    /// The product web site's host for the version check and feedback: "name" or "name:port".
    std::string onlineSiteHost{kDefaultOnlineSiteHost};
    /// One of kMouseBackends.
    std::string mouseBackend = "auto";

    Colour& colour(UiColour c) { return colours[static_cast<int>(c)]; }
    const Colour& colour(UiColour c) const { return colours[static_cast<int>(c)]; }
    static std::array<Colour, kUiColourCount> defaultColours();
    friend bool operator==(const Settings&, const Settings&) = default;
};

/// How the settings component talks to the user. Both default to plain behaviour without a
/// window: `inform` writes to the standard error stream, `ask` answers No.
struct SettingsMessages {
    /// A message box with an OK button.
    std::function<void(std::string_view text, std::string_view caption)> inform;
    /// A Yes/No question; true for Yes.
    std::function<bool(std::string_view text, std::string_view caption)> ask;
};

enum class SettingsLoadStatus {
    Loaded,          // the file was read (keys it lacks keep their defaults)
    Missing,         // no file, or none that can be opened: defaults
    NotSettingsFile, // too short, another program's, or unreadable: defaults, the user was told
    NewerDeclined,   // from a newer version and the user chose not to load it: defaults
};

struct SettingsLoadResult {
    SettingsLoadStatus status = SettingsLoadStatus::Missing;
    bool legacy = false; // read from the older binary form
    /// Whether start-up should offer the language choice (no usable settings file).
    bool wantsLanguageChoice() const {
        return status == SettingsLoadStatus::Missing ||
               status == SettingsLoadStatus::NotSettingsFile;
    }
};

/// The bytes of a settings file: FF FE, then the header, group headings and every key in file
/// order, as UTF-16 little-endian text with CR LF line ends.
std::string settingsBytes(const Settings& settings);

/// Reads settings file bytes (either form) into `settings`, which is first reset to the
/// defaults. Never fails: what cannot be read keeps its default. `explicitPath`: the caller named
/// the file (the older form then loads a newer version without asking). Paths are brought into
/// the stored form with `env`.
SettingsLoadResult readSettings(std::string_view bytes, Settings& settings,
                                const SettingsMessages& messages, bool explicitPath,
                                const PathEnvironment& env);

/// Reads the file at `path` (native). A file that is missing or cannot be opened (a folder, no
/// permission) gives the defaults silently; one larger than 16 MiB is not a settings file.
SettingsLoadResult loadSettings(const std::string& path, Settings& settings,
                                const SettingsMessages& messages, bool explicitPath = false);

/// Writes the whole file to `path` (native), creating its folder when missing. The file is
/// replaced only once the new one is complete; on failure the old file stays and the user is
/// told why (language strings 149 or 156 with the system's reason).
SaveResult saveSettings(const std::string& path, const Settings& settings,
                        const SettingsMessages& messages);

// ---- Where the file lies ----

/// The settings file's name for a program file name: its last three characters replaced by
/// "KVS" when it has a three-letter extension, else ".KVS" appended ("kalvitrope.KVS").
std::string settingsFileName(std::string_view programFileName);

/// The per-user settings folder: $XDG_CONFIG_HOME/Kalvitrope, or ~/.config/Kalvitrope when that
/// variable is unset or not absolute. Empty when no home folder is known.
std::string userSettingsFolder(const PathEnvironment& env);

/// The settings folder (native, no trailing "/"): the folder given on the command line, else the
/// per-user folder for a system copy of the program (isSystemCopy), else the program's own
/// folder. A command-line folder inside a system program folder is replaced by the per-user one.
std::string settingsFolder(std::string_view programPath, std::string_view commandLineFolder,
                           const PathEnvironment& env);

/// The folder named by "SettingsFolderPath" (or "-SettingsFolderPath", any case) followed by a
/// value of more than two characters in `args` (the arguments after the program name), made
/// absolute; the last such option counts. Empty when there is none.
std::string settingsFolderFromCommandLine(std::span<const std::string> args);

/// The settings file of the program at `programPath` (native): the folder rule and the name rule.
/// Also gives the settings file of another installation.
std::string settingsFilePath(std::string_view programPath, std::string_view commandLineFolder,
                             const PathEnvironment& env);
/// The running program's settings file.
std::string defaultSettingsPath(std::string_view commandLineFolder);

// ---- Sharing with the engine and the language tables ----

/// A control rate the engine can take, per second: 0 (none) up to one control sample per sample;
/// what is not a number or is negative gives the default 4000.
double limitedControlRate(double rate);
/// A measured chunk duration, ms: above 0 and at most 1000; otherwise the default 2.
double limitedChunkMilliseconds(double ms);

/// The language a `Language.Choice` text names: 0..15, 1000 for "Other", or −1 when it names none.
int languageFromChoice(std::string_view choice);
/// The `Language.Choice` text of a language: its code, "Other" for a strings file by path.
std::string languageChoiceText(int language);
/// Sets the tables' current language and strings file path from the settings (without loading).
/// A choice that names no language leaves the current language. False when nothing was set.
bool applyLanguageSettings(const Settings& settings, LanguageTables& tables);
/// Takes the current language and strings file path into the settings.
void captureLanguageSettings(const LanguageTables& tables, Settings& settings);

} // namespace kv

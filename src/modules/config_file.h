#pragma once
// Configuration (patch) files: the ".kvc" writer and reader, the autosave path rule and the
// load-at-start decision.
//
// A patch file is UTF-16 little-endian text with the mark FF FE and CR LF line ends: a header line
// "## <title> [revision B] ##", then one section per module, headed by its type's section name in
// brackets and holding "Key=Value" lines. Files without "[revision B]" are old-style files: their
// oscillator amplitudes are rescaled on reading and the engine is told to treat the patch as old.
//
// Threads: everything here runs on the user-interface thread (or the thread that acts as it, such
// as the headless tool's main thread). Saving reads live values while the engine runs; loading
// stops the engine around the change.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "persistence/paths.h"
#include "persistence/safe_save.h"

namespace kv {

class Module;
class ModuleRegistry;
class ViewSink;

/// Text of the header line, "## <title> [revision B] ##", for `title` (language string 158; an
/// empty title gives the English one).
std::string configurationHeader(std::string_view title);

/// The whole configuration as UTF-8 text with CR LF line ends (no byte-order mark): the header
/// with the current language's title, then every module in list order.
std::string configurationText(const ModuleRegistry& registry);
/// The same with another header title (another language's string 158).
std::string configurationText(const ModuleRegistry& registry, std::string_view title);

/// The bytes of a patch file: FF FE, then configurationText as UTF-16 little-endian.
std::string configurationBytes(const ModuleRegistry& registry);

/// Writes the configuration to `path` (a native path, already expanded) with the safe-save rules
/// (persistence/safe_save.h): a failed or interrupted save leaves any previous file untouched.
SaveResult writeConfiguration(const ModuleRegistry& registry, const std::string& path);

/// What loading works on.
struct LoadTarget {
    ModuleRegistry* registry = nullptr;
    /// Stopped (and waited for) before the modules are replaced and restarted afterwards if it
    /// was running. May be null.
    ViewSink* engine = nullptr;
    /// The engine's old-style-patch flag: cleared with the modules, set by an old-style file.
    /// May be null.
    std::atomic<bool>* legacyFlag = nullptr;
    /// Called after the modules have been created and their sources resolved, before the engine
    /// restarts (the user interface refreshes its module windows and device lists there).
    std::function<void()> afterLoad;
};

/// What a load did.
struct LoadReport {
    int sections = 0; // sections found in the text
    int created = 0;  // modules created
    int skipped = 0;  // sections of no known type, or modules that could not be created
    int noRoom = 0;   // of those, modules left out because every output row was taken
    bool legacy = false;
};

/// Replaces every module by those of the configuration `text` (UTF-8; a leading byte-order mark
/// or any other header text is allowed). Never fails: sections of no known type are skipped,
/// missing keys take their defaults, unresolvable sources become none, and a module that cannot
/// be created (no free output row) is left out. Sources are resolved by name after every module
/// exists, so a section may refer to a module defined later.
LoadReport loadConfiguration(const LoadTarget& target, std::string_view text);

/// Reads a patch file into UTF-8 text. A file starting with a byte-order mark is decoded by it;
/// one without a mark is read as UTF-16 little-endian when its second byte is 0 (an ASCII first
/// character), else as UTF-8. False with a reason when the file cannot be read, is a folder, or
/// is larger than the text reader's limit.
bool readConfigurationFile(const std::string& path, std::string& text, std::string& reason);

/// Applies a section's own values to a module being created (name, position, show state, manual
/// values, flags, controllers, sequence text, wave-writer settings, analyser mode). Sources,
/// device texts, device numbers and choices follow in the post-load pass. Installed as the
/// registry's configuration applier by loadConfiguration.
void applyConfigSection(Module& module, std::string_view section);

/// The post-load pass for one module: sources resolved by name and sub-type, output device texts,
/// input and MIDI device numbers, and choices, all read from the module's configuration text.
void resolveConfigSection(Module& module, const ModuleRegistry& registry);

/// Sets one key of a module as loading a section with "KEY=VALUE" would, without touching the
/// module's other values. Source names resolve with the module's current sub-type (a "...SubType"
/// key re-resolves the current source name with the new sub-type). Returns false when the module
/// has no such key. User-interface thread (or while the engine does not run concurrently).
bool setModuleKey(Module& module, ModuleRegistry& registry, std::string_view key,
                  std::string_view value);
/// Whether setModuleKey accepts `key` for this module.
bool hasModuleKey(Module& module, std::string_view key);

/// A live value of a module: the atomic that the engine reads, and its type.
struct LiveValueRef {
    enum Type : uint8_t { Real, Integer, Flag, Byte, Long };
    Type type = Real;
    void* address = nullptr; // std::atomic<double>, <int>, <bool>, <uint8_t> or <long>
};

/// The live values that setModuleKey may change for `key`, in the module's key order (a source
/// key and its "SubType" key: the selector; a controller key: the controller and its sign). Empty
/// when the key sets no live value (Name, Position, ShowState, paths, sequence text) or the
/// module has no such key. User-interface thread.
std::vector<LiveValueRef> liveValuesOfKey(Module& module, std::string_view key);

/// One "KEY VALUE" pair as setModuleKey takes it.
struct KeySetting {
    std::string key;
    std::string value;
};

/// The settings that, given to setModuleKey in this order, set the live value at `live` to
/// `value` (converted to the live value's type) and leave the module's other live values as they
/// are. Numbers are written so that they read back to the same bits. `exact` is false when the
/// text cannot name the value (a source whose name several modules share, a reversed controller
/// 0): the settings then give what a patch file would. Empty when no key of the module stores
/// `live`. `pending`, when given, holds values that live values will have by the time the
/// settings apply (edits not yet taken by the engine). User-interface thread.
std::vector<KeySetting> keySettingsFor(Module& module, const ModuleRegistry& registry,
                                       const void* live, double value, bool& exact,
                                       const std::map<const void*, double>* pending = nullptr);

/// Sequence text as stored: line breaks become the two characters "\n", spaces "%20", tabs "%09";
/// "%" and "\" are written as "%25" and "%5C" so that every text reads back unchanged.
std::string escapeSequence(std::string_view text);
/// The stored form back to the text: "\n" becomes CR LF, then "%%" becomes "%" and "%" with two
/// hexadecimal digits the character with that code.
std::string unescapeSequence(std::string_view stored);

/// The file the autosave goes to: `autoSaveSetting` (a stored path, trimmed and expanded against
/// the program folder of `env`, never the current folder) when not blank; otherwise the settings
/// file's path up to the "." of its file name, followed by "_AutoSave.KVC". Empty when there is
/// no such path (nothing is saved then).
std::string autosavePath(std::string_view autoSaveSetting, std::string_view settingsFilePath,
                         const PathEnvironment& env);
std::string autosavePath(std::string_view autoSaveSetting, std::string_view settingsFilePath);

/// Whether the autosave is loaded at start: a path is set, the preference is on, and the file
/// exists, is not a folder and is not empty.
bool shouldLoadAutosaveAtStart(std::string_view autoSavePath, bool loadLastAutoSaveOnStartup);

} // namespace kv

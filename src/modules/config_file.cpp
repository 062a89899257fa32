#include "modules/config_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "modules/module_registry.h"
#include "modules/output_device_id.h"
#include "persistence/language.h"
#include "persistence/text.h"
#include "persistence/values.h"

namespace kv {

namespace {

namespace fs = std::filesystem;
constexpr auto kRelaxed = std::memory_order_relaxed;

constexpr std::string_view kEnglishTitle = "Kalvitrope Configuration (KVC)";
constexpr std::string_view kRevisionTag = "[revision B]";
constexpr std::string_view kSequenceKey = "SequenceValue";
constexpr int kTitleStringId = 158;

std::string formatReal(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string formatInteger(long v) {
    return std::to_string(v);
}

// How a key's value is written and read.
enum class KeyKind : uint8_t {
    SourceName,    // a source selector written as its source's name
    SourceSubType, // the same selector's sub-index
    Decimal,       // "%g"
    Option,        // 1/0; blank on reading keeps the definition's state
    Flag,          // 1/0; missing reads as 0
    DeviceText,    // output device ID in its text form
    DeviceCode,    // input or MIDI device number
    Path,          // wave-writer path, as written
    AnalyserMode,  // "Analyser", "Oscilloscope" or empty
    Choice,        // ModulationEffect / OutputMode by name
    Controller,    // a learnt MIDI controller, negative when reversed
    Sequence,      // the escaped sequence text
};

// One key of a module and the live value behind it.
struct KeyRef {
    std::string_view key;
    KeyKind kind;
    std::atomic<int>* integer = nullptr; // selectors and device codes
    std::atomic<double>* real = nullptr;
    std::atomic<bool>* flag = nullptr;
    bool flagDefault = false;
    std::string* path = nullptr;
    std::atomic<uint8_t>* choice = nullptr;
    std::span<const char* const> choiceNames{};
    MidiControllerEntry* controller = nullptr;
    TextHandover* text = nullptr;
};

// Names of the controller keys ("Controller1" .. "Controller128"), built once.
const std::array<std::string, 128>& controllerKeys() {
    static const std::array<std::string, 128> keys = [] {
        std::array<std::string, 128> k;
        for (int i = 0; i < 128; ++i)
            k[i] = "Controller" + std::to_string(i + 1);
        return k;
    }();
    return keys;
}

// Calls `fn` for every key of the module in the order the file lists them. `writing` leaves out
// controller entries that are not assigned.
template <class Fn> void forEachKey(Module& m, bool writing, Fn&& fn) {
    auto sourcePair = [&](const std::string& key, std::atomic<int>& selector) {
        if (key.empty()) return;
        KeyRef name{key, KeyKind::SourceName};
        name.integer = &selector;
        fn(name);
        // The sub-type key is the source key followed by "SubType".
        const std::string subKey = key + "SubType";
        KeyRef sub{subKey, KeyKind::SourceSubType};
        sub.integer = &selector;
        fn(sub);
    };
    auto real = [&](const std::string& key, std::atomic<double>& value) {
        KeyRef r{key, KeyKind::Decimal};
        r.real = &value;
        fn(r);
    };
    auto flag = [&](const std::string& key, std::atomic<bool>& value, KeyKind kind, bool def) {
        KeyRef r{key, kind};
        r.flag = &value;
        r.flagDefault = def;
        fn(r);
    };
    auto code = [&](const std::string& key, std::atomic<int>& value, KeyKind kind) {
        KeyRef r{key, kind};
        r.integer = &value;
        fn(r);
    };
    auto choice = [&](const std::string& key, std::atomic<uint8_t>& value,
                      std::span<const char* const> names) {
        KeyRef r{key, KeyKind::Choice};
        r.choice = &value;
        r.choiceNames = names;
        fn(r);
    };

    for (auto& s : m.inputSliders)
        if (s.def) sourcePair(s.def->sourceKey, s.source);
    for (auto& s : m.inputSliders)
        if (s.def) real(s.def->valueKey, s.manual);
    for (auto& s : m.inputSliders)
        if (s.def) real(s.def->sensitivityKey, s.sensitivity);
    for (auto& s : m.inputSliders)
        if (s.def && s.def->hasVelocity) real(s.def->velocityKey, s.velocitySensitivity);
    for (auto& s : m.inputSliders)
        if (s.def && !s.def->optionKey.empty())
            flag(s.def->optionKey, s.option, KeyKind::Option, s.def->optionDefault);
    for (auto& s : m.simpleSliders)
        if (s.def) real(s.def->valueKey, s.value);
    for (auto& s : m.soundOutputs)
        if (s.def) code(s.def->valueKey, s.code, KeyKind::DeviceText);
    for (auto& s : m.soundInputs)
        if (s.def) code(s.def->valueKey, s.code, KeyKind::DeviceCode);
    for (auto& s : m.controlInputs)
        if (s.def) sourcePair(s.def->sourceKey, s.source);
    for (auto& s : m.frequencies)
        if (s.def) sourcePair(s.def->sourceKey, s.source);
    for (auto& s : m.frequencies)
        if (s.def) real(s.def->valueKey, s.base);
    for (auto& s : m.frequencies)
        if (s.def) real(s.def->secondKey, s.multiplier);
    for (auto& s : m.frequencies)
        if (s.def && !s.def->sensitivityKey.empty()) real(s.def->sensitivityKey, s.sensitivity);
    for (auto& s : m.checkBoxes)
        if (s.def) flag(s.def->valueKey, s.state, KeyKind::Flag, false);
    for (auto& s : m.midiInputs)
        if (s.def) code(s.def->valueKey, s.code, KeyKind::DeviceCode);
    if (m.hasMidiSliders) {
        const auto& keys = controllerKeys();
        for (int k = 0; k < 128; ++k) {
            MidiControllerEntry& e = m.midiControllers[k];
            if (writing && e.controller.load(kRelaxed) == -1) continue;
            KeyRef r{keys[k], KeyKind::Controller};
            r.controller = &e;
            fn(r);
        }
    }
    if (m.hasSequence) {
        KeyRef r{kSequenceKey, KeyKind::Sequence};
        r.text = &m.sequence;
        fn(r);
    }
    for (auto& s : m.waveWriters) {
        if (!s.def) continue;
        KeyRef p{s.def->valueKey, KeyKind::Path};
        p.path = &s.path;
        fn(p);
        flag(s.def->secondKey, s.append, KeyKind::Flag, false);
        flag(s.def->optionKey, s.recording, KeyKind::Flag, false);
    }
    for (auto& s : m.analysers)
        if (s.def) {
            KeyRef r{s.def->valueKey, KeyKind::AnalyserMode};
            r.choice = &s.mode;
            fn(r);
        }
    for (auto& s : m.sensors)
        if (s.def) real(s.def->valueKey, s.value);
    for (auto& s : m.flippers)
        if (s.def) {
            real(s.def->valueKey, s.upper);
            real(s.def->secondKey, s.lower);
        }
    for (auto& s : m.modulationEffects)
        if (s.def) choice(s.def->valueKey, s.choice, kModulationEffectNames);
    for (auto& s : m.outputModes)
        if (s.def) choice(s.def->valueKey, s.choice, kOutputModeNames);
}

// A value written into a file must not break its line.
std::string oneLine(std::string_view value) {
    std::string out(value);
    std::replace(out.begin(), out.end(), '\r', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

std::string formatKey(const KeyRef& r, const ModuleRegistry& registry) {
    switch (r.kind) {
    case KeyKind::SourceName:
        return registry.sourceName(r.integer->load(kRelaxed));
    case KeyKind::SourceSubType:
        return formatInteger(registry.sourceSubType(r.integer->load(kRelaxed)));
    case KeyKind::Decimal:
        return formatReal(r.real->load(kRelaxed));
    case KeyKind::Option:
    case KeyKind::Flag:
        return r.flag->load(kRelaxed) ? "1" : "0";
    case KeyKind::DeviceText:
        return formatOutputDeviceID(r.integer->load(kRelaxed));
    case KeyKind::DeviceCode:
        return formatInteger(r.integer->load(kRelaxed));
    case KeyKind::Path:
        return *r.path;
    case KeyKind::AnalyserMode: {
        const uint8_t mode = r.choice->load(kRelaxed);
        return mode == 0 ? "Analyser" : mode == 1 ? "Oscilloscope" : "";
    }
    case KeyKind::Choice: {
        const uint8_t c = r.choice->load(kRelaxed);
        return c < r.choiceNames.size() ? r.choiceNames[c] : "";
    }
    case KeyKind::Controller: {
        const long n = r.controller->controller.load(kRelaxed);
        return formatInteger(r.controller->reversed.load(kRelaxed) ? -n : n);
    }
    case KeyKind::Sequence: {
        std::lock_guard lock(r.text->mutex);
        return escapeSequence(r.text->text);
    }
    }
    return {};
}

// The analyser's mode names on reading ("Analyzer" is accepted too).
uint8_t parseAnalyserMode(std::string_view value) {
    if (equalsIgnoreCase(value, "Analyser") || equalsIgnoreCase(value, "Analyzer")) return 0;
    if (equalsIgnoreCase(value, "Oscilloscope")) return 1;
    return 255;
}

// A learnt controller: the leading run of "0123456789-" read as n; negative n means reversed
// polarity; the controller number is n reduced to 16 bits.
void applyController(MidiControllerEntry& e, std::string_view value) {
    const std::size_t run = value.find_first_not_of("0123456789-");
    const std::string_view digits = value.substr(0, run);
    if (digits.empty()) return;
    constexpr long kUnread = LONG_MIN;
    const long n = parseInteger(digits, kUnread);
    if (n == kUnread) return;
    const bool reversed = n < 0;
    const unsigned long magnitude =
        reversed ? 0ul - static_cast<unsigned long>(n) : static_cast<unsigned long>(n);
    e.reversed.store(reversed, kRelaxed);
    e.controller.store(static_cast<int>(magnitude & 0xFFFFu), kRelaxed);
}

// Values that a section sets while its module is created (first phase).
void applyOwnValue(const KeyRef& r, std::string_view value) {
    switch (r.kind) {
    case KeyKind::Decimal:
        r.real->store(parseDecimal(value, 0.0), kRelaxed);
        break;
    case KeyKind::Option:
        r.flag->store(isBlank(value) ? r.flagDefault : parseFlag(value), kRelaxed);
        break;
    case KeyKind::Flag:
        r.flag->store(parseFlag(value), kRelaxed);
        break;
    case KeyKind::Path:
        *r.path = std::string(value);
        break;
    case KeyKind::AnalyserMode:
        r.choice->store(parseAnalyserMode(value), kRelaxed);
        break;
    case KeyKind::Controller:
        applyController(*r.controller, value);
        break;
    case KeyKind::Sequence: {
        std::string text = unescapeSequence(value);
        std::lock_guard lock(r.text->mutex);
        r.text->text = std::move(text);
        r.text->changed = true;
        break;
    }
    default:
        break;
    }
}

int parseDeviceCode(std::string_view value) {
    return static_cast<int>(parseInteger(value, 0, INT_MIN, INT_MAX));
}

uint8_t parseChoiceByte(std::string_view value, std::span<const char* const> names) {
    const int c = parseChoice(value, names);
    return c < 0 || c > 254 ? 255 : static_cast<uint8_t>(c);
}

// Values resolved after every module exists (second phase). Source sub-types are read with
// their source names.
void resolveValue(const KeyRef& r, const ModuleRegistry& registry, const KeyedText& keyed) {
    switch (r.kind) {
    case KeyKind::SourceName: {
        const std::string name = keyed.value(r.key);
        const std::string subKey = std::string(r.key) + "SubType";
        const int subType =
            static_cast<int>(parseInteger(keyed.value(subKey), 0, INT_MIN, INT_MAX));
        r.integer->store(registry.resolveSource(name, subType), kRelaxed);
        break;
    }
    case KeyKind::DeviceText:
        r.integer->store(parseOutputDeviceID(toAsciiUpper(keyed.value(r.key))), kRelaxed);
        break;
    case KeyKind::DeviceCode:
        r.integer->store(parseDeviceCode(keyed.value(r.key)), kRelaxed);
        break;
    case KeyKind::Choice:
        r.choice->store(parseChoiceByte(keyed.value(r.key), r.choiceNames), kRelaxed);
        break;
    default:
        break;
    }
}

void applyPosition(Module& m, std::string_view value) {
    constexpr long kUnread = LONG_MIN;
    const long x = parseInteger(value.substr(0, value.find(',')), kUnread);
    // y follows the digits and signs of x and the comma.
    std::string_view rest =
        value.substr(std::min(value.find_first_not_of("0123456789-"), value.size()));
    rest = rest.substr(std::min(rest.find_first_not_of(','), rest.size()));
    const long y = parseInteger(rest, kUnread);
    // Without a readable position the module keeps the place it was created at.
    if (x == kUnread || y == kUnread) return;
    m.positionX = x;
    m.positionY = y;
}

// The type name of a section: leading brackets, parentheses, braces, spaces and tabs removed,
// then the text up to the first comma, space, tab, bracket, parenthesis or brace.
std::string_view sectionName(std::string_view section) {
    const std::size_t begin = section.find_first_not_of("[(){}[] \t");
    if (begin == std::string_view::npos) return {};
    std::string_view name = section.substr(begin);
    return name.substr(0, name.find_first_of(", \t][(){}"));
}

// Old-style files kept the oscillator amplitude ten times larger.
std::string rescaleLegacyAmplitude(std::string_view section) {
    constexpr std::string_view kKey = "AmplitudeValue=";
    const std::size_t at = section.find(kKey);
    if (at == std::string_view::npos) return std::string(section);
    const std::size_t start = at + kKey.size();
    const std::size_t end = std::min(section.find_first_of("\r\n", start), section.size());
    const std::string_view old = section.substr(start, end - start);
    const std::string now = formatReal(parseDecimal(old, 0.0) / 10.0);
    return replaceAll(section, std::string(kKey) + std::string(old), std::string(kKey) + now);
}

// Whether a module of `type` can get its output rows or terminal entry now.
bool hasRoomFor(const ModuleRegistry& registry, int type) {
    if (typeInfo(type).outputKind != kOutputKindRow) {
        for (int j = 0; j < kModuleRows; ++j)
            if (!registry.terminal(j)) return true;
        return false;
    }
    const int needed = isBlank(ModuleRegistry::outputLabels(type)[1]) ? 1 : 2;
    int free = 0;
    for (int r = 0; r < kModuleRows && free < needed; ++r)
        if (!registry.row(r).owner) ++free;
    return free >= needed;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendCodePoint(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

// ---- Sequence text ----------------------------------------------------------------------------

std::string escapeSequence(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
        case '\r':
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += "\\n";
            break;
        case '\n':
            out += "\\n";
            break;
        case ' ':
            out += "%20";
            break;
        case '\t':
            out += "%09";
            break;
        case '%':
            out += "%25";
            break;
        case '\\':
            out += "%5C";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned>(c));
                out += hex;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string unescapeSequence(std::string_view stored) {
    const std::string lines = replaceAll(stored, "\\n", "\r\n");
    std::string out;
    out.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != '%') {
            out += lines[i];
            continue;
        }
        if (i + 1 < lines.size() && lines[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (i + 2 < lines.size()) {
            const int hi = hexDigit(lines[i + 1]);
            const int lo = hexDigit(lines[i + 2]);
            if (hi >= 0 && lo >= 0) {
                appendCodePoint(out, static_cast<unsigned>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out += '%';
    }
    return out;
}

// ---- Writing ----------------------------------------------------------------------------------

std::string configurationHeader(std::string_view title) {
    std::string header = "## ";
    header += title.empty() ? kEnglishTitle : title;
    header += " ";
    header += kRevisionTag;
    header += " ##";
    return header;
}

std::string configurationText(const ModuleRegistry& registry) {
    return configurationText(registry, languageString(kTitleStringId));
}

std::string configurationText(const ModuleRegistry& registry, std::string_view title) {
    std::string out = configurationHeader(title);
    out += "\r\n";
    auto line = [&out](std::string_view key, std::string_view value) {
        out += "\r\n";
        out += key;
        out += '=';
        out += oneLine(value);
    };
    registry.forEachInListOrder([&](Module& m) {
        out += "\r\n[";
        out += firstSectionName(m.type());
        out += ']';
        line("Name", m.name);
        line("Position", formatInteger(m.positionX) + "," + formatInteger(m.positionY));
        line("ShowState", formatInteger(m.showState.load(kRelaxed)));
        forEachKey(m, true, [&](const KeyRef& r) { line(r.key, formatKey(r, registry)); });
        out += "\r\n";
    });
    return out;
}

std::string configurationBytes(const ModuleRegistry& registry) {
    return encodeUtf16Le(configurationText(registry), true);
}

SaveResult writeConfiguration(const ModuleRegistry& registry, const std::string& path) {
    std::string bytes;
    try {
        bytes = configurationBytes(registry);
    } catch (const std::bad_alloc&) {
        SaveResult r;
        r.status = SaveStatus::WriteFailed;
        r.reason = "out of memory";
        return r;
    }
    return writeFileReplacing(path, bytes);
}

// ---- Reading ----------------------------------------------------------------------------------

void applyConfigSection(Module& m, std::string_view section) {
    const KeyedText keyed(section);
    m.resetValues(true);
    m.name = keyed.value("Name");
    applyPosition(m, keyed.value("Position"));
    m.showState.store(static_cast<uint8_t>(parseInteger(keyed.value("ShowState"), 10, 0, 255)),
                      kRelaxed);
    forEachKey(m, false, [&](const KeyRef& r) { applyOwnValue(r, keyed.value(r.key)); });
}

void resolveConfigSection(Module& m, const ModuleRegistry& registry) {
    const KeyedText keyed(m.configText);
    forEachKey(m, false, [&](const KeyRef& r) { resolveValue(r, registry, keyed); });
}

bool setModuleKey(Module& m, ModuleRegistry& registry, std::string_view key,
                  std::string_view value) {
    value = trim(value, " \t");
    if (equalsIgnoreCase(key, "Name")) {
        registry.renameModule(&m, std::string(value));
        return true;
    }
    if (equalsIgnoreCase(key, "Position")) {
        applyPosition(m, value);
        return true;
    }
    if (equalsIgnoreCase(key, "ShowState")) {
        m.showState.store(static_cast<uint8_t>(parseInteger(value, 10, 0, 255)), kRelaxed);
        return true;
    }
    bool found = false;
    forEachKey(m, false, [&](const KeyRef& r) {
        if (found || r.key.empty() || !equalsIgnoreCase(r.key, key)) return;
        found = true;
        switch (r.kind) {
        case KeyKind::SourceName: {
            const int subType = registry.sourceSubType(r.integer->load(kRelaxed));
            r.integer->store(registry.resolveSource(value, subType), kRelaxed);
            break;
        }
        case KeyKind::SourceSubType: {
            const std::string name = registry.sourceName(r.integer->load(kRelaxed));
            const int subType = static_cast<int>(parseInteger(value, 0, INT_MIN, INT_MAX));
            r.integer->store(registry.resolveSource(name, subType), kRelaxed);
            break;
        }
        case KeyKind::DeviceText:
            r.integer->store(parseOutputDeviceID(toAsciiUpper(value)), kRelaxed);
            break;
        case KeyKind::DeviceCode:
            r.integer->store(parseDeviceCode(value), kRelaxed);
            break;
        case KeyKind::Choice:
            r.choice->store(parseChoiceByte(value, r.choiceNames), kRelaxed);
            break;
        case KeyKind::Controller:
            // A blank controller is an unassigned one, as a section without the key loads.
            if (isBlank(value)) {
                r.controller->controller.store(-1, kRelaxed);
                r.controller->reversed.store(false, kRelaxed);
            } else {
                applyController(*r.controller, value);
            }
            break;
        default:
            applyOwnValue(r, value);
            break;
        }
    });
    return found;
}

bool hasModuleKey(Module& m, std::string_view key) {
    if (equalsIgnoreCase(key, "Name") || equalsIgnoreCase(key, "Position") ||
        equalsIgnoreCase(key, "ShowState"))
        return true;
    bool found = false;
    forEachKey(m, false, [&](const KeyRef& r) {
        if (!r.key.empty() && equalsIgnoreCase(r.key, key)) found = true;
    });
    return found;
}

std::vector<LiveValueRef> liveValuesOfKey(Module& m, std::string_view key) {
    std::vector<LiveValueRef> out;
    bool found = false;
    forEachKey(m, false, [&](const KeyRef& r) {
        if (found || r.key.empty() || !equalsIgnoreCase(r.key, key)) return;
        found = true;
        switch (r.kind) {
        case KeyKind::SourceName:
        case KeyKind::SourceSubType:
        case KeyKind::DeviceText:
        case KeyKind::DeviceCode:
            out.push_back({LiveValueRef::Integer, r.integer});
            break;
        case KeyKind::Decimal:
            out.push_back({LiveValueRef::Real, r.real});
            break;
        case KeyKind::Option:
        case KeyKind::Flag:
            out.push_back({LiveValueRef::Flag, r.flag});
            break;
        case KeyKind::AnalyserMode:
        case KeyKind::Choice:
            out.push_back({LiveValueRef::Byte, r.choice});
            break;
        case KeyKind::Controller:
            out.push_back({LiveValueRef::Integer, &r.controller->controller});
            out.push_back({LiveValueRef::Flag, &r.controller->reversed});
            break;
        case KeyKind::Path:
        case KeyKind::Sequence:
            break;
        }
    });
    return out;
}

namespace {

// A decimal that reads back to the same double ("%g" would round it).
std::string exactReal(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// The settings that move a source selector from `from` to `to`. A source key resolves its name
// with the selector's current sub-type and a sub-type key re-resolves the current name, so a
// change of sub-type needs the steps in the right order; the first order that resolves to `to`
// is taken.
std::vector<KeySetting> sourceSettings(std::string_view key, const ModuleRegistry& registry,
                                       int from, int to, bool& exact) {
    const std::string subKey = std::string(key) + "SubType";
    const std::string name = registry.sourceName(to);
    const int sub = registry.sourceSubType(to);
    struct Step {
        bool isName;
        int subType;
    };
    const std::vector<std::vector<Step>> orders = {
        {{true, 0}},
        {{true, 0}, {false, sub}},
        {{false, sub}, {true, 0}},
        {{false, 0}, {true, 0}, {false, sub}},
    };
    auto run = [&](const std::vector<Step>& steps) {
        int sel = from;
        for (const Step& s : steps)
            sel = s.isName ? registry.resolveSource(name, registry.sourceSubType(sel))
                           : registry.resolveSource(registry.sourceName(sel), s.subType);
        return sel;
    };
    const std::vector<Step>* chosen = &orders.back();
    exact = false;
    for (const auto& steps : orders)
        if (run(steps) == to) {
            chosen = &steps;
            exact = true;
            break;
        }
    std::vector<KeySetting> out;
    for (const Step& s : *chosen)
        out.push_back(s.isName ? KeySetting{std::string(key), name}
                               : KeySetting{subKey, formatInteger(s.subType)});
    return out;
}

} // namespace

std::vector<KeySetting> keySettingsFor(Module& m, const ModuleRegistry& registry, const void* live,
                                       double value, bool& exact,
                                       const std::map<const void*, double>* pending) {
    auto current = [pending](const auto& atomic) -> double {
        if (pending)
            if (const auto it = pending->find(&atomic); it != pending->end()) return it->second;
        return atomic.load(kRelaxed);
    };
    std::vector<KeySetting> out;
    exact = true;
    bool found = false;
    forEachKey(m, false, [&](const KeyRef& r) {
        if (found || r.key.empty()) return;
        const std::string key(r.key);
        switch (r.kind) {
        case KeyKind::SourceName:
            if (r.integer != live) return;
            found = true;
            out = sourceSettings(key, registry, static_cast<int>(current(*r.integer)),
                                 static_cast<int>(value), exact);
            return;
        case KeyKind::DeviceText:
            if (r.integer != live) return;
            found = true;
            out.push_back({key, formatOutputDeviceID(static_cast<int>(value))});
            return;
        case KeyKind::DeviceCode:
            if (r.integer != live) return;
            found = true;
            out.push_back({key, formatInteger(static_cast<long>(value))});
            return;
        case KeyKind::Decimal:
            if (r.real != live) return;
            found = true;
            out.push_back({key, exactReal(value)});
            return;
        case KeyKind::Option:
        case KeyKind::Flag:
            if (r.flag != live) return;
            found = true;
            out.push_back({key, value != 0 ? "1" : "0"});
            return;
        case KeyKind::AnalyserMode:
        case KeyKind::Choice: {
            if (r.choice != live) return;
            found = true;
            const auto c = static_cast<uint8_t>(value);
            if (r.kind == KeyKind::AnalyserMode) {
                out.push_back({key, c == 0 ? "Analyser" : c == 1 ? "Oscilloscope" : ""});
                exact = c <= 1 || c == 255;
            } else {
                out.push_back({key, c < r.choiceNames.size() && r.choiceNames[c]
                                        ? std::string(r.choiceNames[c])
                                        : std::string()});
                exact = out.back().value.size() > 0 || c == 255;
            }
            return;
        }
        case KeyKind::Controller: {
            MidiControllerEntry& e = *r.controller;
            if (&e.controller != live && &e.reversed != live) return;
            found = true;
            const long n = static_cast<long>(&e.controller == live ? value : current(e.controller));
            const bool reversed = (&e.reversed == live ? value : current(e.reversed)) != 0;
            if (n < 0) {
                out.push_back({key, ""}); // not assigned
            } else {
                out.push_back({key, formatInteger(reversed ? -n : n)});
                exact = !(reversed && n == 0) && n <= 0xFFFF; // "-0" cannot say reversed
            }
            return;
        }
        default:
            return;
        }
    });
    if (!found) exact = false;
    return out;
}

LoadReport loadConfiguration(const LoadTarget& target, std::string_view text) {
    LoadReport report;
    if (!target.registry) return report;
    ModuleRegistry& registry = *target.registry;

    // The engine must not run while the module lists are replaced; it restarts afterwards even
    // when something below fails.
    const bool wasRunning = target.engine ? target.engine->quiesce() : false;
    struct Resume {
        ViewSink* engine;
        bool wasRunning;
        ~Resume() {
            if (engine) engine->resume(wasRunning);
        }
    } resume{target.engine, wasRunning};

    registry.clearAllQuiesced();
    if (target.engine) target.engine->clearLegacyPatch();
    if (target.legacyFlag) target.legacyFlag->store(false, kRelaxed);
    registry.setConfigApplier(&applyConfigSection);

    // A section starts at a "[" that begins the text or follows a line feed.
    std::size_t start = text.empty()     ? std::string_view::npos
                        : text[0] == '[' ? 0
                                         : text.find("\n[");
    if (start != std::string_view::npos && start > 0) ++start;
    const bool legacy = start != std::string_view::npos &&
                        text.substr(0, start).find(kRevisionTag) == std::string_view::npos;
    if (legacy) {
        report.legacy = true;
        if (target.legacyFlag) target.legacyFlag->store(true, kRelaxed);
    }

    try {
        while (start != std::string_view::npos && start < text.size()) {
            std::size_t next = text.find("\n[", start);
            const std::size_t end = next == std::string_view::npos ? text.size() : next + 1;
            const std::string_view section = text.substr(start, end - start);
            start = next == std::string_view::npos ? next : next + 1;
            ++report.sections;

            const int type = typeForSectionName(sectionName(section));
            if (type == kNoType) {
                ++report.skipped;
                continue;
            }
            if (!hasRoomFor(registry, type)) {
                ++report.skipped;
                ++report.noRoom;
                continue;
            }
            const std::string config =
                legacy ? rescaleLegacyAmplitude(section) : std::string(section);
            if (registry.createModule(type, std::string(), ModuleRegistry::outputLabels(type),
                                      config)) {
                ++report.created;
            } else {
                ++report.skipped;
                ++report.noRoom;
            }
        }
    } catch (const std::exception&) {
        // Out of memory on absurd input: keep the modules created so far.
    }

    // Learned MIDI sliders own their rows before names are resolved, as their windows register
    // them when created, so sources can name a slider row.
    for (Module* m : registry.modules(Module_ControlMIDIControllerInput))
        registry.syncMidiSliderRows(*m);
    // Every module exists now, so sources may name modules defined later in the file.
    try {
        registry.forEachInListOrder([&](Module& m) { resolveConfigSection(m, registry); });
    } catch (const std::exception&) {
    }
    registry.refreshSelectors();
    if (target.afterLoad) target.afterLoad();
    return report;
}

bool readConfigurationFile(const std::string& path, std::string& text, std::string& reason) {
    text.clear();
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        reason = std::strerror(ENOENT);
        return false;
    }
    if (fs::is_directory(status)) {
        reason = std::strerror(EISDIR);
        return false;
    }
    // A pipe would block the open or the read for ever, a device read without end.
    if (!fs::is_regular_file(status)) {
        reason = "not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::strerror(errno ? errno : EACCES);
        return false;
    }
    std::string bytes;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > kMaxTextFileSize) {
            reason = "file too large";
            return false;
        }
    }
    if (in.bad()) {
        reason = std::strerror(EIO);
        return false;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const bool marked = bytes.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) ||
                                              (byte(0) == 0xFE && byte(1) == 0xFF));
    if (!marked && bytes.size() >= 2 && byte(1) == 0 && byte(0) != 0)
        bytes.insert(0, "\xFF\xFE"); // UTF-16 little-endian without its mark
    text = decodeText(bytes);
    return true;
}

// ---- Autosave -----------------------------------------------------------------------------------

std::string autosavePath(std::string_view autoSaveSetting, std::string_view settingsFilePath,
                         const PathEnvironment& env) {
    if (!isBlank(autoSaveSetting)) return expandPath(trim(autoSaveSetting), env);
    const std::size_t slash = settingsFilePath.find_last_of('/');
    const std::size_t dot = settingsFilePath.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return {};
    return std::string(settingsFilePath.substr(0, dot)) + "_AutoSave.KVC";
}

std::string autosavePath(std::string_view autoSaveSetting, std::string_view settingsFilePath) {
    return autosavePath(autoSaveSetting, settingsFilePath, PathEnvironment::current());
}

bool shouldLoadAutosaveAtStart(std::string_view autoSavePath, bool loadLastAutoSaveOnStartup) {
    if (!loadLastAutoSaveOnStartup || isBlank(autoSavePath)) return false;
    std::error_code ec;
    const fs::path path{std::string(autoSavePath)};
    return fs::is_regular_file(path, ec) && fs::file_size(path, ec) > 0 && !ec;
}

} // namespace kv

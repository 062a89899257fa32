#include "modules/module_registry.h"

#include <cstdio>
#include <limits>

#include "persistence/language.h"
#include "persistence/text.h"

namespace kv {

const std::array<const char*, kMouseRowCount> kMouseRowNames = {
    "Direction",
    "Turn Inertia",
    "Turn Inertia'",
    "Speed",
    "Acceleration",
    "Horizontal Position",
    "Vertical Position",
    "Horizontal Velocity",
    "Vertical Velocity",
    "Horizontal Acceleration",
    "Vertical Acceleration",
    "Speed ( Raw )",
    "Direction Horizontal Unsigned",
    "Direction Horizontal Signed",
    "Direction Vertical Unsigned",
    "Direction Vertical Signed",
    "Vertical Scrollwheel Position",
    "Vertical Scrollwheel Velocity",
    "Vertical Scrollwheel Acceleration",
    "Horizontal Scrollwheel Position",
    "Horizontal Scrollwheel Velocity",
    "Horizontal Scrollwheel Acceleration",
    "Mouse Button Left",
    "Mouse Button Middle",
    "Mouse Button Right",
    "Mouse Button X1",
    "Mouse Button X2",
};

const std::array<int, kMouseRowCount> kMouseRowStringIds = {
    58,  59,  60,  61,  62,  63,  64,  65,  66,  67,  68,  309, 417, 418,
    419, 420, 181, 182, 183, 184, 185, 186, 424, 425, 426, 427, 428,
};

// List positions 1..26 of the offered mouse rows.
const std::array<int, kMouseRowCount - 1> kMouseRowsInListOrder = {
    140, 141, 142, 143, 129, 130, 131, 139, 132, 133, 135, 137, 134,
    136, 138, 147, 148, 149, 144, 145, 146, 150, 151, 152, 153, 154,
};

const std::array<std::vector<int>, 5> kAddModuleMenu = {{
    {1, 2, 0, 11, 15, 10, 4},
    {9, 5, 8, 7, 17, 13, 6, 3, 14, 19, 16, 12, 18},
    {22, 29, 20},
    {23, 30, 28, 31, 24, 27, 32, 25, 26},
    {21, 33, 34},
}};

namespace {

constexpr const char* kManualName = "-[Manual]-";
constexpr const char* kInvalidName = "-[Invalid]-";

bool validType(int type) {
    return type >= 0 && type < kTypeCount;
}

// The digits of a name read as one decimal number (0 if none); saturates instead of overflowing.
long digitsOf(const std::string& name) {
    long n = 0;
    for (char c : name) {
        if (c < '0' || c > '9') continue;
        if (n > (std::numeric_limits<long>::max() - 9) / 10)
            return std::numeric_limits<long>::max() - 1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// "%ld" inside a language string replaced by `number`.
std::string formatWithNumber(std::string_view pattern, long number) {
    std::string out(pattern);
    const auto pos = out.find("%ld");
    if (pos != std::string::npos) out.replace(pos, 3, std::to_string(number));
    return out;
}

// Clearing deletes lists in this order of list positions.
constexpr int kClearOrder[kTypeCount] = {0,  1,  2,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                         13, 14, 15, 16, 3,  17, 18, 19, 20, 21, 22, 23,
                                         24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34};

} // namespace

ModuleRegistry::ModuleRegistry(ViewSink* engine) : engine_(engine) {
    terminalKinds_.fill(255);
    views_.push_back(std::make_unique<EngineView>());
    publish();
}

ModuleRegistry::~ModuleRegistry() {
    clearAllQuiesced();
    // Hand the engine an empty view and make sure it adopted it before our views go away.
    if (engine_) engine_->waitUntilAdopted(sequence_, 1000);
}

long ModuleRegistry::nextModuleNumber(int type) const {
    if (!validType(type)) return 1;
    const List& list = lists_[type];
    std::lock_guard lock(list.mutex);
    long result = static_cast<long>(list.modules.size()) + 1;
    for (const auto& m : list.modules) {
        const long n = digitsOf(m->name);
        if (n >= result) result = n + 1;
    }
    return result;
}

std::string ModuleRegistry::formatModuleName(int type, long number) {
    return formatWithNumber(languageString(typeInfo(type).namePatternId), number);
}

std::array<std::string, 2> ModuleRegistry::outputLabels(int type) {
    if (type == Module_ControlSensor)
        return {std::string(languageString(272)), std::string(languageString(273))};
    if (type == Module_AudioOutputSplit)
        return {formatWithNumber(languageString(132), 1), formatWithNumber(languageString(132), 2)};
    return {};
}

int ModuleRegistry::registerRow(Module* m, uint8_t subIndex, const std::string& label) {
    for (int r = 0; r < kModuleRows; ++r) {
        OutputRowRegistration& reg = rows_[r];
        if (reg.owner) continue;
        reg.owner = m;
        reg.type = static_cast<uint8_t>(m->type());
        reg.subIndex = subIndex;
        reg.label = label;
        reg.name = m->name;
        reg.audio = m->info().audio;
        ++reg.generation;
        return r;
    }
    return -1;
}

bool ModuleRegistry::syncMidiSliderRows(Module& m) {
    if (m.type() != Module_ControlMIDIControllerInput) return false;
    std::array<int, kModuleRows> rowOfSlot;
    rowOfSlot.fill(-1);
    for (int r = 0; r < kModuleRows; ++r)
        if (rows_[r].owner == &m) rowOfSlot[rows_[r].subIndex & 127] = r;
    bool changed = false;
    for (int slot = 0; slot < static_cast<int>(m.midiControllers.size()); ++slot) {
        const bool used = m.midiControllers[slot].controller.load(std::memory_order_relaxed) >= 0;
        const int r = rowOfSlot[slot];
        if (!used && r >= 0) {
            OutputRowRegistration& reg = rows_[r];
            reg.owner = nullptr;
            reg.type = 255;
            reg.label.clear();
            reg.name.clear();
            ++reg.generation;
            changed = true;
        } else if (used && r < 0) {
            std::string label(languageString(486));
            const std::size_t at = label.find("%ld");
            if (at != std::string::npos) label.replace(at, 3, std::to_string(slot + 1));
            if (registerRow(&m, static_cast<uint8_t>(slot), label) >= 0) changed = true;
        }
    }
    if (changed) publish();
    return changed;
}

void ModuleRegistry::releaseRowsOf(Module* m) {
    for (auto& reg : rows_) {
        if (reg.owner != m) continue;
        reg.owner = nullptr;
        reg.type = 255;
        reg.label.clear();
        ++reg.generation;
    }
    for (int j = 0; j < kModuleRows; ++j)
        if (terminals_[j] == m) {
            terminals_[j] = nullptr;
            terminalKinds_[j] = 255;
        }
}

Module* ModuleRegistry::createModule(int type, const std::string& name,
                                     const std::array<std::string, 2>& labels,
                                     const std::string& configText) {
    if (!validType(type)) return nullptr;
    reclaim();
    std::unique_ptr<Module> m;
    try {
        m = std::make_unique<Module>(type);
    } catch (const std::bad_alloc&) {
        return nullptr; // storage could not be allocated: no module, no message
    }
    m->name = name;
    m->configText = configText;
    if (!isBlank(configText) && applier_) applier_(*m, configText);

    if (m->outputKind() == kOutputKindRow) {
        const int r0 = registerRow(m.get(), 0, labels[0]);
        if (r0 < 0) return nullptr;
        m->outputRow = r0;
        if (!isBlank(labels[1])) {
            const int r1 = registerRow(m.get(), 1, labels[1]);
            if (r1 < 0) {
                releaseRowsOf(m.get());
                return nullptr;
            }
            m->secondOutputRow = r1;
        }
    } else {
        int entry = -1;
        for (int j = 0; j < kModuleRows && entry < 0; ++j)
            if (!terminals_[j]) entry = j;
        if (entry < 0) return nullptr;
        terminals_[entry] = m.get();
        terminalKinds_[entry] = m->outputKind();
        m->outputRow = entry;
    }

    Module* raw = m.get();
    {
        List& list = lists_[type];
        std::lock_guard lock(list.mutex);
        list.modules.push_back(std::move(m));
    }
    publish();
    return raw;
}

Module* ModuleRegistry::addModule(int type) {
    if (!validType(type)) return nullptr;
    return createModule(type, formatModuleName(type, nextModuleNumber(type)), outputLabels(type),
                        std::string());
}

bool ModuleRegistry::removeModule(Module* module) {
    if (!module) return false;
    // Found by address alone: a pointer to a module that is already gone is never dereferenced.
    std::unique_ptr<Module> owned;
    for (List& list : lists_) {
        std::lock_guard lock(list.mutex);
        for (auto it = list.modules.begin(); it != list.modules.end(); ++it)
            if (it->get() == module) {
                owned = std::move(*it);
                list.modules.erase(it);
                break;
            }
        if (owned) break;
    }
    if (!owned) return false;
    // Recording wave writers stop with their module.
    for (auto& w : owned->waveWriters)
        w.recording.store(false, std::memory_order_relaxed);
    releaseRowsOf(module);
    publish();
    retired_.push_back({std::move(owned), sequence_});
    if (engine_) engine_->waitUntilAdopted(sequence_, 200);
    reclaim();
    return true;
}

void ModuleRegistry::renameModule(Module* module, const std::string& name) {
    if (!module) return;
    module->name = name;
    for (auto& reg : rows_)
        if (reg.owner == module) reg.name = name;
}

void ModuleRegistry::clearAll() {
    const bool wasRunning = engine_ ? engine_->quiesce() : false;
    clearAllQuiesced();
    if (engine_) engine_->clearLegacyPatch();
    if (engine_) engine_->resume(wasRunning);
}

void ModuleRegistry::clearAllQuiesced() {
    for (int position : kClearOrder) {
        const int type = typeAtListPosition(position);
        if (!validType(type)) continue;
        for (Module* m : modules(type))
            removeModule(m);
    }
}

std::vector<Module*> ModuleRegistry::modules(int type) const {
    std::vector<Module*> out;
    if (!validType(type)) return out;
    const List& list = lists_[type];
    std::lock_guard lock(list.mutex);
    out.reserve(list.modules.size());
    for (const auto& m : list.modules)
        out.push_back(m.get());
    return out;
}

int ModuleRegistry::count(int type) const {
    if (!validType(type)) return 0;
    std::lock_guard lock(lists_[type].mutex);
    return static_cast<int>(lists_[type].modules.size());
}

int ModuleRegistry::totalCount() const {
    int n = 0;
    for (int t = 0; t < kTypeCount; ++t)
        n += count(t);
    return n;
}

void ModuleRegistry::forEachInListOrder(const std::function<void(Module&)>& fn) const {
    for (int position = 0; position < kTypeCount; ++position) {
        const int type = typeAtListPosition(position);
        for (Module* m : modules(type))
            fn(*m);
    }
}

const OutputRowRegistration& ModuleRegistry::row(int row) const {
    static const OutputRowRegistration none;
    if (row < 0 || row >= kModuleRows) return none;
    return rows_[row];
}

Module* ModuleRegistry::terminal(int index) const {
    if (index < 0 || index >= kModuleRows) return nullptr;
    return terminals_[index];
}

std::string ModuleRegistry::sourceName(int selector) const {
    if (selector == kSourceManual) return kManualName;
    if (selector >= 0 && selector < kModuleRows)
        return rows_[selector].owner ? rows_[selector].owner->name : kInvalidName;
    if (selector >= kMouseRowBase && selector < kRowCount)
        return kMouseRowNames[selector - kMouseRowBase];
    return {};
}

int ModuleRegistry::sourceSubType(int selector) const {
    if (selector >= 0 && selector < kModuleRows && rows_[selector].owner)
        return rows_[selector].subIndex;
    return 0;
}

int ModuleRegistry::resolveSource(std::string_view name, int subType) const {
    if (equalsIgnoreCase(name, kManualName)) return kSourceManual;
    if (name.empty()) return kSourceNone;
    for (int i = 0; i < kMouseRowCount; ++i)
        if (equalsIgnoreCase(name, kMouseRowNames[i])) return kMouseRowBase + i;
    if (equalsIgnoreCase(name, kInvalidName)) return kSourceNone;
    for (int r = 0; r < kModuleRows; ++r)
        if (rows_[r].owner && rows_[r].subIndex == subType && equalsIgnoreCase(rows_[r].name, name))
            return r;
    return kSourceNone;
}

std::vector<ListEntry> ModuleRegistry::sourceListEntries(const ControlDef& def,
                                                         bool allowMouseAsAudio) const {
    bool none = false, manual = false, mouse = false;
    std::string noneText;
    switch (def.kind) {
    case ControlKind::InputSlider:
        none = def.offersNone;
        manual = def.offersManual;
        mouse = true;
        noneText = resolveText(def.noneText);
        break;
    case ControlKind::Frequency:
        none = def.offersNone;
        manual = true;
        mouse = true;
        noneText = resolveText(def.noneText);
        break;
    case ControlKind::ControlInput:
        none = def.offersNone;
        manual = def.offersManual;
        mouse = def.offersMouse || allowMouseAsAudio;
        noneText = resolveText(def.noneText);
        break;
    default:
        return {};
    }
    std::vector<ListEntry> out;
    if (none) out.push_back({noneText, kSourceNone});
    if (manual) out.push_back({std::string(languageString(87)), kSourceManual});
    if (mouse)
        for (int rowNumber : kMouseRowsInListOrder)
            out.push_back(
                {std::string(languageString(kMouseRowStringIds[rowNumber - kMouseRowBase])),
                 rowNumber});
    for (int r = 0; r < kModuleRows; ++r) {
        if (!rows_[r].owner) continue;
        std::string text = rows_[r].name;
        if (!rows_[r].label.empty()) text += " - ( " + rows_[r].label + " )";
        out.push_back({std::move(text), r});
    }
    return out;
}

namespace {
constexpr int kNoDeviceCode = -555; // a device list without selection
} // namespace

void ModuleRegistry::setSelectionContext(bool allowMouseAsAudio, DeviceOffers offers) {
    allowMouseAsAudio_ = allowMouseAsAudio;
    offers_ = std::move(offers);
}

bool ModuleRegistry::isRecordedOutput(const Module& m, int slot) {
    for (const auto& w : m.waveWriters)
        if (w.def && w.def->linkedSlot == slot) return true;
    return false;
}

void ModuleRegistry::refreshSelectors() {
    constexpr auto rl = std::memory_order_relaxed;
    auto fixSource = [&](std::atomic<int>& sel, const ControlDef& def) {
        const int s = sel.load(rl);
        if (s == kMouseRowBase) return; // "Direction": accepted from files, never listed
        for (const ListEntry& e : sourceListEntries(def, allowMouseAsAudio_))
            if (e.value == s) return;
        sel.store(kSourceNone, rl);
    };
    auto fixDevice = [&](std::atomic<int>& code, const std::function<bool(int)>& offered) {
        if (!offered) return;
        const int c = code.load(rl);
        if (c != kNoDeviceCode && !offered(c)) code.store(kNoDeviceCode, rl);
    };
    forEachInListOrder([&](Module& m) {
        for (auto& s : m.inputSliders)
            if (s.def) fixSource(s.source, *s.def);
        for (auto& s : m.controlInputs)
            if (s.def) fixSource(s.source, *s.def);
        for (auto& s : m.frequencies)
            if (s.def && s.def->hasSource()) fixSource(s.source, *s.def);
        for (int i = 0; i < kSlotsPerKind; ++i) {
            if (m.soundOutputs[i].def && offers_.output) {
                const bool whole = isRecordedOutput(m, i);
                fixDevice(m.soundOutputs[i].code, [&](int c) { return offers_.output(c, whole); });
            }
            if (m.soundInputs[i].def) fixDevice(m.soundInputs[i].code, offers_.input);
            if (m.midiInputs[i].def) fixDevice(m.midiInputs[i].code, offers_.midi);
        }
    });
}

void ModuleRegistry::publish() {
    auto view = std::make_unique<EngineView>();
    view->sequence = ++sequence_;
    for (int t = 0; t < kTypeCount; ++t)
        view->byType[t] = modules(t);
    for (int r = 0; r < kModuleRows; ++r) {
        const OutputRowRegistration& reg = rows_[r];
        auto& info = view->rows[r];
        info.owner = reg.owner;
        info.type = reg.type;
        info.subIndex = reg.subIndex;
        info.audio = reg.audio;
        info.generation = reg.generation;
        if (reg.owner)
            (reg.audio ? view->audioRows : view->controlRows).push_back(static_cast<uint8_t>(r));
        view->terminals[r] = {terminals_[r], terminalKinds_[r]};
    }
    views_.push_back(std::move(view));
    if (engine_) engine_->publish(views_.back().get());
    reclaim();
}

void ModuleRegistry::reclaim() {
    const bool adopted = !engine_ || engine_->waitUntilAdopted(sequence_, 0);
    if (adopted) {
        while (views_.size() > 1)
            views_.pop_front();
        retired_.clear();
        return;
    }
    // Partial progress is not tracked: keep everything until the newest view is adopted.
}

} // namespace kv

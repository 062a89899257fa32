#pragma once
// The 35 module lists, the registration of output rows, the terminal table, and source routing
// (names, resolution, source-list entries). Owned by the main window; every function is called on
// the user-interface thread unless it says otherwise.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "modules/engine_view.h"
#include "modules/module.h"

namespace kv {

/// Registration data of one module output row.
struct OutputRowRegistration {
    Module* owner = nullptr; // null: free
    uint8_t type = 255;
    uint8_t subIndex = 0;
    std::string label;
    std::string name; // owner's name as registered
    bool audio = false;
    uint32_t generation = 0;
};

/// One entry of a source or device drop-down list.
struct ListEntry {
    std::string text;
    int value = 0;
};

/// Which device codes the device lists of module windows offer, i.e. the devices present. An
/// empty function means that kind of device is not known here: its codes are left as they are.
struct DeviceOffers {
    /// A SoundOutput code; `wholeDevice` for an output that a wave writer records (no channel
    /// codes then).
    std::function<bool(int code, bool wholeDevice)> output;
    std::function<bool(int code)> input; // SoundInput device numbers
    std::function<bool(int code)> midi;  // MIDIInput device numbers
};

/// Fixed English names of the 27 mouse rows (row 128 + index), as written in files.
extern const std::array<const char*, kMouseRowCount> kMouseRowNames;
/// Language string shown for each mouse row in source lists.
extern const std::array<int, kMouseRowCount> kMouseRowStringIds;
/// Mouse rows in the order source lists offer them (row 128, "Direction", is not offered).
extern const std::array<int, kMouseRowCount - 1> kMouseRowsInListOrder;

/// Add-module menu: per group, the types in menu order.
extern const std::array<std::vector<int>, 5> kAddModuleMenu;

class ModuleRegistry {
  public:
    /// Applies a module's configuration text (a patch section); set by the patch reader.
    using ConfigApplier = std::function<void(Module&, std::string_view)>;

    /// `engine` may be null: then views are only built, never handed over.
    explicit ModuleRegistry(ViewSink* engine = nullptr);
    ~ModuleRegistry();
    ModuleRegistry(const ModuleRegistry&) = delete;
    ModuleRegistry& operator=(const ModuleRegistry&) = delete;

    void setConfigApplier(ConfigApplier applier) { applier_ = std::move(applier); }

    // --- Numbering and naming ---------------------------------------------------------------
    /// The number for a new module's name: max(count + 1, 1 + largest number in the names).
    long nextModuleNumber(int type) const;
    /// The type's name pattern formatted with `number`.
    static std::string formatModuleName(int type, long number);
    /// The two output labels of a type (empty for types with one output).
    static std::array<std::string, 2> outputLabels(int type);

    // --- Creation and removal -----------------------------------------------------------------
    /// Creates a module and appends it to its list; null when no row or terminal entry is free
    /// or storage cannot be allocated. A non-blank `configText` is applied (it may set the name).
    Module* createModule(int type, const std::string& name,
                         const std::array<std::string, 2>& labels, const std::string& configText);
    /// As the add-module menu does: next number, pattern name, the type's labels.
    Module* addModule(int type);
    /// Unlinks, releases its rows and entries, and destroys the module once the engine no longer
    /// uses it. False when the module is not in its list.
    bool removeModule(Module* module);
    /// Matches the output rows of a MIDI controller input module to its learned sliders: a slider
    /// in use without a row gets one (sub-index the slot, label "Slider n"), a row whose slider is
    /// no longer in use is released. True when a row was added or released (every module window
    /// is refreshed then). Rows run out silently: the slider stays without a row.
    bool syncMidiSliderRows(Module& module);
    /// New window name and registered row names.
    void renameModule(Module* module, const std::string& name);
    /// Deletes every module (engine stopped meanwhile), in the clearing list order.
    void clearAll();
    /// Deletes every module without touching the engine (the caller has quiesced it).
    void clearAllQuiesced();

    // --- Lists --------------------------------------------------------------------------------
    /// Modules of `type` in list order (a copy taken under the list's lock).
    std::vector<Module*> modules(int type) const;
    int count(int type) const;
    int totalCount() const;
    /// Calls `fn` for every module, list position 0..34, list order within a list.
    void forEachInListOrder(const std::function<void(Module&)>& fn) const;

    // --- Rows and routing ---------------------------------------------------------------------
    const OutputRowRegistration& row(int row) const;
    /// Terminal-table entry (module or null).
    Module* terminal(int index) const;
    /// Name written to files for a selector: "-[Manual]-", "", owner name, "-[Invalid]-", mouse
    /// name.
    std::string sourceName(int selector) const;
    /// Sub-index of an owned row 0..127, else 0.
    int sourceSubType(int selector) const;
    /// A saved name and sub-type back to a selector (ASCII case-insensitive).
    int resolveSource(std::string_view name, int subType) const;
    /// Entries of a parameter's source list, in list order. `allowMouseAsAudio` is the setting
    /// that makes a ControlInput offer the mouse sources.
    std::vector<ListEntry> sourceListEntries(const ControlDef& def, bool allowMouseAsAudio) const;
    /// What the lists of the module windows offer: the mouse-as-audio setting and the devices.
    void setSelectionContext(bool allowMouseAsAudio, DeviceOffers offers);
    bool allowMouseAsAudio() const { return allowMouseAsAudio_; }
    const DeviceOffers& deviceOffers() const { return offers_; }
    /// Whether a SoundOutput slot of `m` is recorded by a wave writer of the same module (its list
    /// then offers whole devices only).
    static bool isRecordedOutput(const Module& m, int slot);
    /// What a refresh of every module window does to the selections, with or without windows: a
    /// source that the control's list does not offer (a deleted module's row, a mouse row where
    /// the list has no mouse rows, manual where there is no manual entry) becomes none; a device
    /// code that the device list does not offer becomes −555. "Direction" (row 128) stays: files
    /// may select it although no list offers it.
    void refreshSelectors();

    /// The view last built (for tests and for running the engine without a sink).
    const EngineView& currentView() const { return *views_.back(); }

  private:
    struct List {
        mutable std::mutex mutex;
        std::vector<std::unique_ptr<Module>> modules; // chain order
    };

    int registerRow(Module* m, uint8_t subIndex, const std::string& label);
    void releaseRowsOf(Module* m);
    void publish();
    void reclaim();

    ViewSink* engine_;
    ConfigApplier applier_;
    bool allowMouseAsAudio_ = false;
    DeviceOffers offers_;
    std::array<List, kTypeCount> lists_; // indexed by type
    std::array<OutputRowRegistration, kModuleRows> rows_;
    std::array<Module*, kModuleRows> terminals_{};
    std::array<uint8_t, kModuleRows> terminalKinds_{};
    uint64_t sequence_ = 0;
    std::deque<std::unique_ptr<EngineView>> views_; // the newest is back(); older may be in use
    struct Retired {
        std::unique_ptr<Module> module;
        uint64_t sequence; // first view without it
    };
    std::vector<Retired> retired_;
};

} // namespace kv

#pragma once
// Module edits on their way from the module windows to the engine.
//
// Without a gesture tape a window's edit is stored into the module's live value at once, as
// ever. While a take records, the edit is held in a preallocated single-producer queue instead,
// with the "set" lines that name it in the patch file's key and value syntax; the tape's recorder
// applies the held edits on the engine thread at the start of a cycle or at a control sample,
// before any module is evaluated, and stamps each set line with that sample. So the take's engine
// and an offline replay of its tape see every edit before the same sample.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "modules/config_file.h"
#include "modules/module.h"

namespace kv {

class GestureTapeWriter;
class ModuleRegistry;
struct TapeEvent;

/// A value for a live value of a module.
struct LiveStore {
    LiveValueRef ref;
    double value = 0; // converted to the live value's type when stored
};

/// The live value as a double (exact for every type). Any thread.
double loadLive(const LiveValueRef& ref);
/// Stores `value`, converted to the live value's type, with relaxed order. Any thread.
void storeLive(const LiveValueRef& ref, double value);

/// The edit path of the module windows. Store functions: user-interface thread (one producer);
/// applyHeld: engine thread.
class ModuleEdits {
  public:
    /// Edits held at once. When the engine has not taken them for so long that the queue is
    /// full, they are applied on the user-interface thread in order and counted as not
    /// replayable.
    static constexpr uint32_t kCapacity = 4096;

    ModuleEdits();
    ModuleEdits(const ModuleEdits&) = delete;
    ModuleEdits& operator=(const ModuleEdits&) = delete;

    void store(Module& module, std::atomic<double>& live, double value);
    void store(Module& module, std::atomic<int>& live, int value);
    void store(Module& module, std::atomic<bool>& live, bool value);
    void store(Module& module, std::atomic<uint8_t>& live, uint8_t value);
    /// A sensor's point as its window shows it (main-window client pixels): while a take
    /// records it reaches the engine with the edits, and the tape gives the sensor the
    /// position that puts its point there. Ignored while a replaying tape places the sensors.
    void storeSensorPoint(Module& module, long x, long y);
    /// While set, the windows' sensor points are ignored: a tape playing live places them.
    /// User-interface thread.
    void setSensorsFromTape(bool fromTape) { sensorsFromTape_ = fromTape; }
    bool sensorsFromTape() const { return sensorsFromTape_; }
    /// A module renamed (already done) while a take records: its set line goes on the tape in
    /// order with the edits, so that later lines may name the module by its new name.
    void renamed(const std::string& oldName, const std::string& newName);
    /// An edit that the tape cannot carry (sequence text): counted when a take records.
    void notTaped();

    /// From now on edits are held for the engine and their set lines go to `writer`. Source
    /// names come from `registry`. User-interface thread.
    void beginTake(const ModuleRegistry& registry, GestureTapeWriter& writer);
    /// Applies what is still held and stores at once again. User-interface thread.
    void endTake();
    /// Applies what is held now, before modules are removed (a held edit must not outlive its
    /// module); counted as not replayable. User-interface thread.
    void flush();
    bool holding() const { return holding_.load(std::memory_order_relaxed); }
    /// Edits of the current (or last) take that its tape cannot replay exactly.
    uint64_t inexact() const { return inexact_.load(std::memory_order_relaxed); }

    /// Applies the held edits and queues their set events stamped with `sample`. Never
    /// allocates, waits or blocks: when the user-interface thread is applying them itself, they
    /// wait for the next call. Engine thread.
    void applyHeld(uint64_t sample) noexcept;

  private:
    struct Held {
        LiveStore store;
        LiveStore second;  // a sensor point's y, applied with its x
        uint32_t text = 0; // number of the set lines' text
        bool hasText = false;
    };
    void edit(Module& module, LiveValueRef ref, double value);
    /// A set line names the first module of its name.
    bool firstOfItsName(const Module& module) const;
    void hold(const Held& held);
    void drain(uint64_t sample, bool toTape);

    std::unique_ptr<Held[]> ring_;
    std::atomic<uint32_t> head_{0}, tail_{0};
    HandoverMutex consumer_; // the engine only try-locks
    std::atomic<bool> holding_{false};
    std::atomic<uint64_t> inexact_{0};
    const ModuleRegistry* registry_ = nullptr; // user-interface thread
    GestureTapeWriter* writer_ = nullptr;      // set while holding
    uint32_t nextText_ = 0;                    // user-interface thread
    std::map<const void*, double> pending_;    // user-interface thread: values held in this take
    bool sensorsFromTape_ = false;             // user-interface thread
};

/// A set line of a tape, as the live player takes it.
struct TapeSetLine {
    int line = 0;
    uint64_t sample = 0;
    std::string module, key, value;
};

/// Turns a tape's set lines into the stores they make, for the live player: the lines are
/// applied one after the other with setModuleKey (so source names resolve as in an offline
/// replay), every live value a line changes is noted as a store, and then every changed live
/// value and module name is put back. `events` receives one set event per line (sample, first
/// store, count). Renames leave no stores. False with `error` naming the line when a line names
/// no module, a key the module lacks, or a key that sets no live value (sequence text, a path):
/// those cannot be played at an exact sample. Engine stopped; user-interface thread.
bool resolveTapeSets(ModuleRegistry& registry, const std::vector<TapeSetLine>& lines,
                     std::vector<TapeEvent>& events, std::vector<LiveStore>& stores,
                     std::string& error);

/// A word of a tape line (a module name, a value, a file name), quoted ("\"" and "\\" escaped).
std::string quotedWord(std::string_view text);

} // namespace kv

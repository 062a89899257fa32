#pragma once
// An immutable picture of the module lists, output rows and terminal table, handed from the
// user-interface thread to the engine. The engine takes a new view only at a cycle boundary.
#include <array>
#include <cstdint>
#include <vector>

#include "modules/catalogue.h"
#include "modules/control_table.h"

namespace kv {

class Module;

struct EngineView {
    uint64_t sequence = 0; // increases with every published view

    /// Modules of each type, in list order.
    std::array<std::vector<Module*>, kTypeCount> byType;

    struct RowInfo {
        Module* owner = nullptr; // null: the row is free
        uint8_t type = 255;      // owner's type, 255 when free
        uint8_t subIndex = 0;    // owner's first (0) or second (1) output
        bool audio = false;
        uint32_t generation = 0; // changes with every registration or release of the row
    };
    std::array<RowInfo, kModuleRows> rows;

    struct Terminal {
        Module* module = nullptr;
        uint8_t kind = 255; // 0 audio output, 1 wave writer, 2 analyser, 3 MIDI controller input
    };
    std::array<Terminal, kModuleRows> terminals;

    /// Rows that are owned and control rows (audio flag 0), ascending; the rows the engine
    /// snapshots and smooths.
    std::vector<uint8_t> controlRows;
    /// Rows that are owned audio rows, ascending.
    std::vector<uint8_t> audioRows;
};

/// Where views go: the engine. Called on the user-interface thread.
class ViewSink {
  public:
    virtual ~ViewSink() = default;
    /// Hands a new view to the engine (which takes it at its next cycle boundary, or at once when
    /// no engine thread runs). The view stays alive until a later view has been adopted.
    virtual void publish(const EngineView* view) = 0;
    /// Returns once the engine no longer uses any view older than `sequence` (the engine adopted
    /// it or stopped), or false after `timeoutMs`.
    virtual bool waitUntilAdopted(uint64_t sequence, int timeoutMs) = 0;
    /// Bulk changes: if the engine runs, stop it and wait until it has stopped; returns whether
    /// it was running.
    virtual bool quiesce() = 0;
    /// After a bulk change: restart the engine if `wasRunning`.
    virtual void resume(bool wasRunning) = 0;
    /// The patch in use no longer comes from an old-style file.
    virtual void clearLegacyPatch() = 0;
};

} // namespace kv

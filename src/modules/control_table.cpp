#include "modules/control_table.h"

#include <algorithm>
#include <iterator>

namespace kv {

void ControlTable::initialise() {
    for (int r = 0; r < kRowCount; ++r) {
        ControlRow& row = rows[r];
        row = ControlRow{};
        if (r >= kMouseRowBase) {
            row.voiceCount = 1;
            std::fill(std::begin(row.noteId), std::end(row.noteId), static_cast<uint8_t>(r));
            std::fill(std::begin(row.velocity), std::end(row.velocity), 127.0);
            std::fill(std::begin(row.velocitySmoothed), std::end(row.velocitySmoothed), 127.0);
        }
    }
}

void ControlTable::registerRow(int r, uint8_t voices, uint8_t velocity) {
    if (r < 0 || r >= kModuleRows) return;
    ControlRow& row = rows[r];
    row = ControlRow{};
    row.voiceCount = voices;
    row.velocity[0] = velocity;
    row.velocitySmoothed[0] = velocity;
    row.noteId[0] = 0;
}

void ControlTable::releaseRow(int r) {
    if (r < 0 || r >= kModuleRows) return;
    ControlRow& row = rows[r];
    std::fill(std::begin(row.primary), std::end(row.primary), 0.0);
    std::fill(std::begin(row.primarySmoothed), std::end(row.primarySmoothed), 0.0);
}

} // namespace kv

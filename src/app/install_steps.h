#pragma once
// Installing and removing from start-up: the installer and what follows it (the installed copy's
// settings file, its log entries, starting it), and the remover. User-interface thread.
#include <string>

namespace kv {
struct EngineState;
namespace ui {
class SettingsStore;
}
} // namespace kv

namespace kv::app {

/// Runs the installer for this program and finishes the installation; returns the exit code.
int installProgram(ui::SettingsStore& store, const EngineState& state);

/// Runs the remover when this program is an installed copy (else says so and removes nothing);
/// returns the exit code.
int removeProgram();

} // namespace kv::app

#pragma once
// The settings as the windows use them: the record, its file, and the messages of loading and
// saving shown in the program's own boxes. Every window reads and changes the settings through
// this one store. User-interface thread.
#include <string>

#include "persistence/settings.h"

class QWidget;

namespace kv {
struct EngineState;
}

namespace kv::ui {

class SettingsStore {
  public:
    /// `path`: the settings file (native); empty keeps the settings in memory only.
    explicit SettingsStore(std::string path = {}) : path_(std::move(path)) {}

    Settings& values() { return values_; }
    const Settings& values() const { return values_; }
    const std::string& path() const { return path_; }

    /// Reads the file (messages in button boxes over `owner`).
    SettingsLoadResult load(QWidget* owner = nullptr);
    /// Takes the engine's values and the current language into the record and writes the file.
    /// False when it could not be written (the user has been told why).
    bool save(const EngineState& state, QWidget* owner = nullptr);
    /// Writes the record as it is.
    bool save(QWidget* owner = nullptr);

    /// The messages of the settings component as button boxes over `owner`.
    static SettingsMessages messages(QWidget* owner);

  private:
    std::string path_;
    Settings values_;
};

} // namespace kv::ui

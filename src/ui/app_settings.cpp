#include "ui/app_settings.h"
#include "engine/engine_settings.h"

#include <QString>

#include "persistence/language.h"
#include "ui/button_box.h"

namespace kv::ui {

SettingsMessages SettingsStore::messages(QWidget* owner) {
    SettingsMessages m;
    m.inform = [owner](std::string_view text, std::string_view caption) {
        informBox(owner, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                  QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
    };
    m.ask = [owner](std::string_view text, std::string_view caption) {
        return askYesNo(owner, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                        QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
    };
    return m;
}

SettingsLoadResult SettingsStore::load(QWidget* owner) {
    if (path_.empty()) return {};
    return loadSettings(path_, values_, messages(owner));
}

bool SettingsStore::save(const EngineState& state, QWidget* owner) {
    captureSettings(state, values_);
    captureLanguageSettings(languages(), values_);
    return save(owner);
}

bool SettingsStore::save(QWidget* owner) {
    if (path_.empty()) return true;
    return static_cast<bool>(saveSettings(path_, values_, messages(owner)));
}

} // namespace kv::ui

#pragma once
// The colours of module windows, taken from the settings.
#include <QColor>

#include "persistence/settings.h"

namespace kv::ui {

struct ModuleColours {
    QColor dialogBackground;
    QColor dialogText;
    QColor moduleBackground;
    QColor moduleText;
    QColor dropdownBackground;
    QColor dropdownText;
    QColor progressBackground;
    QColor progressForeground;

    /// The settings' colours (the defaults of a fresh settings record without arguments).
    static ModuleColours from(const Settings& settings);
};

/// The colours in use; windows built afterwards take them. User-interface thread.
ModuleColours& moduleColours();
/// Takes the colours of `settings` for the windows built from now on (the main window calls it
/// at start-up and when a preference changes). User-interface thread.
void setModuleColours(const Settings& settings);

/// Per channel a·t + (1 − a)·b, each channel truncated: the border frames' colours.
inline QColor blendColour(const QColor& t, const QColor& b, double a) {
    auto ch = [a](int x, int y) { return static_cast<int>(a * x + (1.0 - a) * y); };
    return QColor(ch(t.red(), b.red()), ch(t.green(), b.green()), ch(t.blue(), b.blue()));
}

} // namespace kv::ui

#pragma once
// The colours of module windows. One place to switch from the defaults of the settings table to
// the settings file once the program's settings are reachable from here.
#include <QColor>

namespace kv::ui {

struct ModuleColours {
    QColor dialogBackground{0xFF, 0xF5, 0xE8};
    QColor dialogText{0x00, 0x00, 0x00};
    QColor moduleBackground{0xD5, 0xD5, 0xE6};
    QColor moduleText{0x00, 0x00, 0x00};
    QColor dropdownBackground{0xB9, 0xFF, 0x93};
    QColor dropdownText{0x00, 0x00, 0x00};
    QColor progressBackground{0x5A, 0x68, 0x2E};
    QColor progressForeground{0xFF, 0xB0, 0x30};
};

/// The colours in use (the defaults until settings are wired in). User-interface thread.
ModuleColours& moduleColours();

/// Per channel a·t + (1 − a)·b, each channel truncated: the border frames' colours.
inline QColor blendColour(const QColor& t, const QColor& b, double a) {
    auto ch = [a](int x, int y) { return static_cast<int>(a * x + (1.0 - a) * y); };
    return QColor(ch(t.red(), b.red()), ch(t.green(), b.green()), ch(t.blue(), b.blue()));
}

} // namespace kv::ui

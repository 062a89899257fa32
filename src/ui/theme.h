#pragma once
// The user's interface colours as the dialogs use them, and the dialog font and its units.
// User-interface thread.
#include <QColor>
#include <QFont>
#include <QString>

#include "persistence/settings.h"

class QWidget;

namespace kv::ui {

/// Which pair of colours a button's rings blend: the dialogs' or the module windows'.
enum class PaletteChoice { Dialog, Module };

/// Button states in the order their colour pairs are chosen when painting.
enum class ButtonState { Normal, Default, Focused, Disabled, Inactive };

struct Theme {
    bool useDesktopColours = false; // Preferences.UseWindowsColours: the desktop's own palette
    QColor dialogText, dialogBackground, moduleText, moduleBackground;
    QColor buttonText[5], buttonBackground[5]; // by ButtonState

    /// The theme of `settings`.
    static Theme fromSettings(const Settings& settings);
    /// The process-wide theme (defaults until set). User-interface thread.
    static const Theme& current();
    static void setCurrent(const Theme& theme);

    QColor paletteText(PaletteChoice c) const {
        return c == PaletteChoice::Dialog ? dialogText : moduleText;
    }
    QColor paletteBackground(PaletteChoice c) const {
        return c == PaletteChoice::Dialog ? dialogBackground : moduleBackground;
    }
};

/// Rich-text fields: white on dark green.
inline QColor editText() {
    return QColor(0xFF, 0xFF, 0xFF);
}
inline QColor editBackground() {
    return QColor(0x00, 0x50, 0x00);
}

QColor toQColor(const Colour& c);

/// Gives `widget` and its children the dialog colours (text and background), and the rich-text
/// fields' colours to text fields and lists; nothing when the desktop's palette is wanted.
void applyDialogColours(QWidget* widget, const Theme& theme);

/// The dialog font: the desktop's sans font at 11 points ("Arial" 11 of the dialog templates);
/// `unicode` picks a font that covers Cyrillic and CJK for the languages that need it.
QFont dialogFont(bool unicode = false);
/// The button font ("Lucida Sans Unicode") at `points`.
QFont buttonFont(double points);

/// Dialog units of a font: a horizontal unit is a quarter of the font's average character
/// width, a vertical unit an eighth of its height, so layouts scale with the font (and so with
/// the screen's resolution).
struct DialogScale {
    double pixelsPerUnitX = 1.5;
    double pixelsPerUnitY = 1.5;
    static DialogScale of(const QFont& font);
    int x(double units) const { return static_cast<int>(units * pixelsPerUnitX + 0.5); }
    int y(double units) const { return static_cast<int>(units * pixelsPerUnitY + 0.5); }
    double unitsX(double pixels) const { return pixels / pixelsPerUnitX; }
    double unitsY(double pixels) const { return pixels / pixelsPerUnitY; }
};

/// A library or language string as a QString.
QString libraryText(int id);
QString languageText(int id);

} // namespace kv::ui

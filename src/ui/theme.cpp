#include "ui/theme.h"

#include <QAbstractItemView>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLineEdit>
#include <QPalette>
#include <QTextEdit>
#include <QWidget>

#include "persistence/language.h"

namespace kv::ui {

namespace {

Theme& currentTheme() {
    static Theme theme = Theme::fromSettings(Settings());
    return theme;
}

} // namespace

QColor toQColor(const Colour& c) {
    return QColor(c.red, c.green, c.blue);
}

Theme Theme::fromSettings(const Settings& s) {
    Theme t;
    t.useDesktopColours = s.useWindowsColours;
    t.dialogText = toQColor(s.colour(UiColour::DialogText));
    t.dialogBackground = toQColor(s.colour(UiColour::DialogBackground));
    t.moduleText = toQColor(s.colour(UiColour::ModuleText));
    t.moduleBackground = toQColor(s.colour(UiColour::ModuleBackground));
    const UiColour texts[5] = {UiColour::ButtonNormalText, UiColour::ButtonDefaultText,
                               UiColour::ButtonFocusedText, UiColour::ButtonDisabledText,
                               UiColour::ButtonInactiveText};
    const UiColour fills[5] = {UiColour::ButtonNormalBackground, UiColour::ButtonDefaultBackground,
                               UiColour::ButtonFocusedBackground,
                               UiColour::ButtonDisabledBackground,
                               UiColour::ButtonInactiveBackground};
    for (int i = 0; i < 5; ++i) {
        t.buttonText[i] = toQColor(s.colour(texts[i]));
        t.buttonBackground[i] = toQColor(s.colour(fills[i]));
    }
    return t;
}

const Theme& Theme::current() {
    return currentTheme();
}

void Theme::setCurrent(const Theme& theme) {
    currentTheme() = theme;
}

void applyDialogColours(QWidget* widget, const Theme& theme) {
    if (theme.useDesktopColours) {
        widget->setPalette(QPalette());
        return;
    }
    QPalette p = widget->palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(g, QPalette::Window, theme.dialogBackground);
        p.setColor(g, QPalette::WindowText, theme.dialogText);
        p.setColor(g, QPalette::Button, theme.dialogBackground);
        p.setColor(g, QPalette::ButtonText, theme.dialogText);
        p.setColor(g, QPalette::Base, editBackground());
        p.setColor(g, QPalette::Text, editText());
    }
    widget->setAutoFillBackground(true);
    widget->setPalette(p);
}

QFont dialogFont(bool unicode) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (unicode) f.setFamilies({QStringLiteral("Noto Sans CJK SC"), f.family()});
    f.setPointSizeF(11.0);
    return f;
}

QFont buttonFont(double points) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPointSizeF(points);
    return f;
}

DialogScale DialogScale::of(const QFont& font) {
    const QFontMetricsF fm(font);
    const double average = fm.horizontalAdvance(QStringLiteral(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                           52.0;
    DialogScale u;
    u.pixelsPerUnitX = average / 4.0;
    u.pixelsPerUnitY = fm.height() / 8.0;
    return u;
}

QString libraryText(int id) {
    return QString::fromStdString(libraryString(id));
}

QString languageText(int id) {
    return QString::fromStdString(languageString(id));
}

} // namespace kv::ui

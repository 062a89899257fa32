#include "ui/dialog.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QStyle>
#include <QTextCursor>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "modules/config_file.h"
#include "persistence/language.h"
#include "persistence/text.h"

namespace kv::ui {

// ---- OwnerButton --------------------------------------------------------------------------

OwnerButton::OwnerButton(const QString& text, QWidget* parent, PaletteChoice palette)
    : QPushButton(text, parent), palette_(palette) {
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::StrongFocus);
}

ButtonState OwnerButton::currentState() const {
    if (!isEnabled()) return ButtonState::Disabled;
    if (hasFocus() || hot_) return ButtonState::Focused;
    // A pair whose text and fill are one colour (as the default and inactive pairs are out of
    // the box) would hide the label: such a pair is passed over for the normal one.
    const Theme& t = Theme::current();
    auto usable = [&](ButtonState s) { return t.buttonText[int(s)] != t.buttonBackground[int(s)]; };
    if (!isActiveWindow() && usable(ButtonState::Inactive)) return ButtonState::Inactive;
    if (isDefault() && usable(ButtonState::Default)) return ButtonState::Default;
    return ButtonState::Normal;
}

void OwnerButton::enterEvent(QEnterEvent* event) {
    // Hovering takes the keyboard focus from another owner-drawn button, so only one is hot.
    if (isEnabled() && qobject_cast<OwnerButton*>(QApplication::focusWidget()))
        setFocus(Qt::MouseFocusReason);
    hot_ = isEnabled();
    if (currentState() != painted_) update();
    QPushButton::enterEvent(event);
}

void OwnerButton::leaveEvent(QEvent* event) {
    hot_ = false;
    if (isEnabled() && currentState() != painted_) update();
    QPushButton::leaveEvent(event);
}

QSize OwnerButton::sizeHint() const {
    const QSize base = QPushButton::sizeHint();
    if (text().contains(QLatin1Char('\n'))) return base;
    const QFontMetrics hotFont(buttonFont(11.8));
    const int h = std::max(base.height(), hotFont.height() + 8);
    // The ends are half circles of the corner diameter; the label keeps 6 pixels from each.
    const int corner = static_cast<int>(h / 1.5);
    return {std::max(base.width(), hotFont.horizontalAdvance(text()) + corner + 12), h};
}

void OwnerButton::paintEvent(QPaintEvent*) {
    const Theme& theme = Theme::current();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    QRect r = rect();
    const bool tall = r.height() > 70;
    const bool pressed = isDown();
    const ButtonState state = currentState();
    const bool hot = state == ButtonState::Focused;
    p.setFont(buttonFont(pressed ? 9.9 : hot ? 11.8 : 11.0));
    if (pressed) {
        const int inset = tall ? 4 : 2;
        r.adjust(inset, inset, -inset, -inset);
    }
    const double c = static_cast<int>(r.height() / 1.5);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(r), c / 2, c / 2);
    p.setClipPath(outline);

    QColor textColour, fill;
    if (theme.useDesktopColours) {
        textColour = palette().color(QPalette::ButtonText);
        fill = hot ? palette().color(QPalette::Highlight) : palette().color(QPalette::Button);
    } else {
        textColour = theme.buttonText[static_cast<int>(state)];
        fill = theme.buttonBackground[static_cast<int>(state)];
    }
    p.fillRect(r, fill);

    p.setPen(isEnabled() || theme.useDesktopColours ? textColour
                                                    : theme.buttonText[int(ButtonState::Disabled)]);
    QRect textRect = r.adjusted(0, hot ? -4 : -2, 0, 0);
    if (tall) {
        const int h = hot ? 1 : 0;
        textRect.adjust(20, 0, -20, 0);
        textRect.translate(0, 20 - 2 * h);
        p.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap | Qt::TextDontClip,
                   text());
    } else {
        p.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextDontClip, text());
    }

    // Three rings from the outside in, each a blend of the palette's text and background.
    const double g[2][3] = {{0.75, 0.7, 0.5}, {0.5, 0.9, 0.3}};
    const QColor pt = theme.paletteText(palette_), pb = theme.paletteBackground(palette_);
    QRectF ring = QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
        const double k = g[hot ? 1 : 0][i];
        const QColor colour(static_cast<int>(pt.red() * (1 - k) + pb.red() * k),
                            static_cast<int>(pt.green() * (1 - k) + pb.green() * k),
                            static_cast<int>(pt.blue() * (1 - k) + pb.blue() * k));
        p.setPen(QPen(colour, 1));
        p.drawRoundedRect(ring, c / 2, c / 2);
        ring.adjust(1, 1, -1, -1);
    }
    painted_ = state;
}

// ---- RichTextField ------------------------------------------------------------------------

RichTextField::RichTextField(QWidget* parent) : QTextEdit(parent) {
    QPalette p = palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(g, QPalette::Base, editBackground());
        p.setColor(g, QPalette::Text, editText());
    }
    setPalette(p);
    setViewportMargins(7, 0, 7, 0);
    setAcceptRichText(false);
}

QMenu* RichTextField::createEditMenu() {
    auto* menu = new QMenu(this);
    const bool readOnly = isReadOnly();
    const bool selection = textCursor().hasSelection();
    const QMimeData* clip = QGuiApplication::clipboard()->mimeData();
    const bool clipText = clip && clip->hasText();
    QAction* undoAction = menu->addAction(libraryText(64), this, &QTextEdit::undo);
    undoAction->setEnabled(!readOnly && document()->isUndoAvailable());
    menu->addSeparator();
    QAction* cutAction = menu->addAction(libraryText(65), this, &QTextEdit::cut);
    cutAction->setEnabled(!readOnly && selection);
    QAction* copyAction = menu->addAction(libraryText(66), this, &QTextEdit::copy);
    copyAction->setEnabled(selection);
    QAction* pasteAction = menu->addAction(libraryText(67), this, &QTextEdit::paste);
    pasteAction->setEnabled(!readOnly && clipText);
    QAction* deleteAction =
        menu->addAction(libraryText(68), this, [this] { textCursor().removeSelectedText(); });
    deleteAction->setEnabled(!readOnly && selection);
    menu->addSeparator();
    menu->addAction(libraryText(69), this, &QTextEdit::selectAll);
    menu->addSeparator();
    menu->addAction(libraryText(37), this, &RichTextField::saveAs);
    return menu;
}

void RichTextField::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createEditMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

bool RichTextField::saveText(const QString& path, QString& reason) const {
    const QString caption = window() ? window()->windowTitle() : QString();
    const std::string text = toCrLf((caption + "\n" + toPlainText() + "\n").toStdString());
    const SaveResult result = writeFileReplacing(path.toStdString(), encodeUtf16Le(text, true));
    if (!result) reason = QString::fromStdString(result.reason);
    return static_cast<bool>(result);
}

void RichTextField::saveAs() {
    // "Text Files (*.txt)|*.txt|All Files (*.*)|*.*||" as a file-dialog filter.
    const QStringList parts = libraryText(18).split('|', Qt::SkipEmptyParts);
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i];
    QFileDialog dialog(this, libraryText(37), QStringLiteral("Message Text.txt"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.setNameFilters(filters);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    QString reason;
    if (!saveText(dialog.selectedFiles().front(), reason))
        QMessageBox::warning(this, languageText(150), languageText(149) + "\n\n" + reason);
}

// ---- Error texts --------------------------------------------------------------------------

QString systemErrorText(int code) {
    if (code == 0) code = errno;
    if (code == 0) return QStringLiteral("SUCCESS");
    char buffer[4096];
    // The GNU strerror_r returns the text, which may or may not be in the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    if (!text || !*text)
        return QStringLiteral("FormatMessage() failed with error code %1.").arg(code);
    return QString::fromLocal8Bit(text);
}

// ---- Placement ----------------------------------------------------------------------------

QRect placeDialog(QSize size, const QPoint* centre, const QWidget* owner) {
    QPoint c;
    if (owner) {
        c = owner->frameGeometry().center();
    } else if (centre) {
        c = *centre;
    } else {
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
        const int caption = QApplication::style()->pixelMetric(QStyle::PM_TitleBarHeight);
        c = QPoint((work.left() + work.right() + 1) / 2,
                   (work.top() + work.bottom() + 1) / 2 + caption / 2);
    }
    return QRect(c.x() - size.width() / 2, c.y() - size.height() / 2, size.width(), size.height());
}

// ---- Dialog -------------------------------------------------------------------------------

Dialog::Dialog(QWidget* parent, Qt::WindowFlags flags) : QDialog(parent, flags) {
    setFont(dialogFont(usesUnicodeFont(languages().currentLanguage())));
    units_ = DialogScale::of(font());
    applyDialogColours(this, Theme::current());
    setWindowIcon(QApplication::windowIcon());
}

void Dialog::markReady() {
    initial_ = size();
    setMinimumSize(initial_);
    ready_ = kDialogReadyMarker;
}

// ---- StackLayout --------------------------------------------------------------------------

void StackLayout::add(QWidget* w, double height) {
    w->setGeometry(units_.x(margin_), units_.y(offset_), units_.x(width_ - 2 * margin_),
                   units_.y(height));
    if (height > 0) offset_ += height + gap_;
}

void StackLayout::addAt(QWidget* w, double x, double width, double height, double advance) {
    w->setGeometry(units_.x(x), units_.y(offset_), units_.x(width), units_.y(height));
    offset_ += advance;
}

} // namespace kv::ui

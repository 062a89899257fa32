#include "ui/button_box.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QLabel>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kv::ui {

namespace {

std::function<void(QDialog&)>& shownHook() {
    static std::function<void(QDialog&)> hook;
    return hook;
}

bool& declinedFlag() {
    static bool declined = false;
    return declined;
}

bool blank(const QString& s) {
    for (QChar c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    return true;
}

} // namespace

QStringList splitBarList(const QString& list) {
    QStringList parts = list.split('|');
    for (int i = 0; i < parts.size(); ++i) {
        if (i > 0 && parts[i].startsWith(' ')) parts[i].remove(0, 1);
        if (i + 1 < parts.size() && parts[i].endsWith(' ')) parts[i].chop(1);
    }
    return parts;
}

ButtonBoxLayout layoutButtonBox(const QStringList& labels, const QString& text,
                                const QString& caption,
                                const std::function<double(const QString&, bool)>& measure) {
    ButtonBoxLayout l;
    l.text = text.isEmpty() ? QString() : "\r\n" + text + "\r\n";
    l.buttons = static_cast<int>(labels.size());

    QString longestLine = caption, longestLabel;
    for (const QString& line : l.text.split(QStringLiteral("\r\n")))
        if (line.size() > longestLine.size()) longestLine = line;
    for (const QString& label : labels) {
        if (label.size() > longestLine.size()) longestLine = label;
        if (label.size() > longestLabel.size()) longestLabel = label;
    }
    const QString digits = QStringLiteral("123456789");
    l.width = std::min(360.0, std::max(measure(longestLine + digits, false),
                                       measure(longestLabel + digits, true)) +
                                  10.0);

    const double buttonRows = 19.0 * l.buttons;
    if (!l.text.isEmpty()) {
        l.textHeight = 8.0 * (text.count('\r') + 3);
        if (l.width / (buttonRows + l.textHeight + 5) > 1.618)
            l.textHeight = l.width / 1.618 - (buttonRows + 5);
        l.textHeight = std::min(l.textHeight, 300.0);
    }
    if (blank(l.text)) l.textHeight = 0;
    l.textHeight = static_cast<int>(l.textHeight);

    const double margin = 5, gap = 5;
    const double field = l.textHeight > 0 ? l.textHeight + gap : 0;
    l.height = margin + field + buttonRows;
    l.minimumHeight = l.textHeight > 0 ? l.height - field + 28 + gap : l.height;
    return l;
}

void fitTextHeight(ButtonBoxLayout& l, double neededUnits) {
    if (l.textHeight <= 0) return;
    const double fitted = std::max(28.0, std::ceil(neededUnits));
    if (fitted >= l.textHeight) return;
    l.height -= l.textHeight - fitted;
    l.textHeight = fitted;
}

ButtonBoxDialog::ButtonBoxDialog(QWidget* owner, const QString& labels, const QString& keys,
                                 const QString& defaultKey, const QString& text,
                                 const QString& caption, bool centreText)
    : Dialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                        Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      keys_(splitBarList(keys)), defaultKey_(defaultKey), result_(defaultKey) {
    setWindowTitle(caption);
    setModal(true);
    const QStringList labelList = splitBarList(labels);
    const int thumb = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const QFontMetricsF messageMetrics(font());
    const QFontMetricsF labelMetrics(buttonFont(11.0));
    layout_ = layoutButtonBox(labelList, text, caption, [&](const QString& s, bool label) {
        const double pixels = (label ? labelMetrics : messageMetrics).horizontalAdvance(s) + thumb;
        return units_.unitsX(pixels);
    });

    field_ = new RichTextField(this);
    field_->setReadOnly(true);
    field_->setPlainText(layout_.text);
    if (centreText) field_->setAlignment(Qt::AlignHCenter);
    {
        // A short text does not need the golden-ratio field: the box fits the wrapped text.
        QTextDocument wrapped;
        wrapped.setDefaultFont(field_->font());
        wrapped.setDocumentMargin(field_->document()->documentMargin());
        wrapped.setPlainText(layout_.text);
        wrapped.setTextWidth(units_.x(layout_.width - 10) - 14 - thumb - 2 * field_->frameWidth());
        fitTextHeight(layout_,
                      units_.unitsY(wrapped.size().height() + 2 * field_->frameWidth() + 2));
    }
    StackLayout stack(units_, layout_.width, 5, 5, 5);
    field_->setVisible(layout_.textHeight > 0);
    stack.add(field_, layout_.textHeight);
    for (int i = 0; i < labelList.size(); ++i) {
        auto* b = new OwnerButton(labelList[i], this);
        b->setAutoDefault(false);
        stack.add(b, 14);
        connect(b, &QPushButton::clicked, this, [this, i] { choose(i); });
        if (i < keys_.size() && keys_[i] == defaultKey_) {
            b->setDefault(true);
            b->setFocus();
        }
        buttons_.push_back(b);
    }
    resize(units_.x(layout_.width), units_.y(layout_.height));
    setGeometry(placeDialog(size(), nullptr, owner));
    fieldRect_ = field_->geometry();
    for (OwnerButton* b : buttons_)
        buttonRects_.push_back(b->geometry());
    markReady();
    setMinimumSize(units_.x(100), units_.y(layout_.minimumHeight));
}

void ButtonBoxDialog::choose(int index) {
    result_ = index < keys_.size() ? keys_[index] : QString();
    done(index + 16);
}

void ButtonBoxDialog::reject() {
    result_ = defaultKey_;
    QDialog::reject();
}

void ButtonBoxDialog::resizeEvent(QResizeEvent* event) {
    Dialog::resizeEvent(event);
    if (!ready_) return;
    const int dw = width() - initial_.width(), dh = height() - initial_.height();
    field_->setGeometry(fieldRect_.adjusted(0, 0, dw, dh));
    for (std::size_t i = 0; i < buttons_.size(); ++i)
        buttons_[i]->setGeometry(buttonRects_[i].translated(0, dh).adjusted(0, 0, dw, 0));
}

void setDialogShownHook(std::function<void(QDialog&)> hook) {
    shownHook() = std::move(hook);
}

void setDialogsDeclined(bool declined) {
    declinedFlag() = declined;
}

bool dialogsDeclined() {
    return declinedFlag();
}

int runDialog(QDialog& dialog) {
    if (dialogsDeclined()) {
        dialog.reject();
        return dialog.result();
    }
    if (shownHook()) {
        QDialog* d = &dialog;
        QTimer::singleShot(0, d, [d] {
            // A copy: the hook may replace itself while it runs.
            if (const std::function<void(QDialog&)> hook = shownHook()) hook(*d);
        });
    }
    return dialog.exec();
}

QString buttonBox(QWidget* owner, const QString& labels, const QString& keys,
                  const QString& defaultKey, const QString& text, const QString& caption,
                  bool centreText) {
    ButtonBoxDialog box(owner, labels, keys, defaultKey, text, caption, centreText);
    if (dialogsDeclined())
        std::fprintf(stderr, "kalvitrope: %s: %s\n", caption.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
    runDialog(box);
    return box.result();
}

void informBox(QWidget* owner, const QString& text, const QString& caption) {
    buttonBox(owner, libraryText(0), QStringLiteral("Okay"), QStringLiteral("Okay"), text, caption);
}

bool askYesNo(QWidget* owner, const QString& text, const QString& caption) {
    return buttonBox(owner, QObject::tr("Yes") + "|" + QObject::tr("No"), QStringLiteral("Yes|No"),
                     QStringLiteral("No"), text, caption) == QStringLiteral("Yes");
}

// ---- ValueBox -----------------------------------------------------------------------------

ValueBoxDialog::ValueBoxDialog(QWidget* owner, const QString& caption, const QString& value,
                               const QPoint* centre)
    : Dialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                        Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(caption);
    setModal(true);
    StackLayout stack(units_, 190, 4, 4, 4);
    auto* oldLabel = new QLabel(libraryText(20), this);
    oldLabel->setAlignment(Qt::AlignCenter);
    stack.add(oldLabel, 8);
    oldValue_ = new RichTextField(this);
    oldValue_->setReadOnly(true);
    oldValue_->setPlainText(value);
    stack.add(oldValue_, 11);
    auto* newLabel = new QLabel(libraryText(21), this);
    newLabel->setAlignment(Qt::AlignCenter);
    stack.add(newLabel, 8);
    newValue_ = new RichTextField(this);
    newValue_->setPlainText(value);
    newValue_->selectAll();
    stack.add(newValue_, 11);
    for (RichTextField* f : {oldValue_, newValue_}) {
        QFont big = f->font();
        big.setPointSizeF(14.0);
        f->setFont(big);
        f->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        f->setLineWrapMode(QTextEdit::NoWrap);
    }
    connect(newValue_, &QTextEdit::textChanged, this, [this] {
        // Limited to 4095 characters, as the field of the box always was.
        if (newValue_->toPlainText().size() > 4095) {
            QTextCursor c = newValue_->textCursor();
            newValue_->setPlainText(newValue_->toPlainText().left(4095));
            c.movePosition(QTextCursor::End);
            newValue_->setTextCursor(c);
        }
    });
    auto* okay = new OwnerButton(libraryText(0), this);
    auto* cancel = new OwnerButton(libraryText(2), this);
    okay->setDefault(true);
    stack.addAt(okay, 4, 89, 14, 0);
    stack.addAt(cancel, 97, 89, 14, 18);
    connect(okay, &QPushButton::clicked, this, &ValueBoxDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    resize(units_.x(190), units_.y(stack.offset()));
    setGeometry(placeDialog(size(), centre, owner));
    newValue_->setFocus();
    markReady();
}

QString ValueBoxDialog::value() const {
    return newValue_->toPlainText();
}

void ValueBoxDialog::accept() {
    warned_ = value().isEmpty();
    if (warned_) {
        informBox(this, libraryText(22), libraryText(23));
        return;
    }
    QDialog::accept();
}

bool valueBox(QWidget* owner, const QString& caption, QString& value, const QPoint* centre) {
    ValueBoxDialog box(owner, caption, value, centre);
    if (runDialog(box) != QDialog::Accepted) return false;
    value = box.value();
    return true;
}

} // namespace kv::ui

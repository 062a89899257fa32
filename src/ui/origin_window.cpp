#include "ui/origin_window.h"

#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QWindow>

#include "mouse/mouse_hook.h"

namespace kv::ui {

namespace {
constexpr int kHalfBar = 5;      // the bars are 10 pixels thick
constexpr int kFollowMs = 100;   // the cross follows the cursor ten times a second
constexpr int kWatchMs = 10;     // how often the desktop's press counts are compared
constexpr int kLabelSquare = 80; // the label is centred in this square around the cross
} // namespace

OriginWindow::OriginWindow(OriginMode mode, OriginWindowContext context)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::BypassWindowManagerHint),
      static_(mode != OriginMode::Choose), autoClose_(mode == OriginMode::Reset),
      context_(std::move(context)) {
    setAttribute(Qt::WA_DeleteOnClose);
    // The window is cut to the cross and its label: the desktop shows through everywhere else,
    // with or without a compositor, and a click there goes to what lies beneath.
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::StrongFocus);
    const auto& d = context_.desktop;
    setGeometry(int(d.left), int(d.top), int(d.right - d.left + 1), int(d.bottom - d.top + 1));
    cross_ = centre() + QPoint(int(context_.originX), int(context_.originY));
    if (context_.hook)
        for (int b = 0; b < kMouseButtons; ++b)
            snapshot_[size_t(b)] = context_.hook->presses(b);

    closeTimer_.setSingleShot(true);
    connect(&closeTimer_, &QTimer::timeout, this, &QWidget::close);
    followTimer_.setInterval(kFollowMs);
    connect(&followTimer_, &QTimer::timeout, this, &OriginWindow::follow);
    connect(&grabTimer_, &QTimer::timeout, this, &OriginWindow::tryGrabs);
    watchTimer_.setInterval(kWatchMs);
    connect(&watchTimer_, &QTimer::timeout, this, &OriginWindow::watch);
    if (autoClose_) closeSoon(kCloseDelayMs);
    watchTimer_.start();
    if (!static_) {
        follow();
        followTimer_.start();
    }
    reshape();
}

QRect OriginWindow::labelBox(QPoint at) const {
    const QRect square(at.x() - kLabelSquare / 2, at.y() - kLabelSquare / 2, kLabelSquare,
                       kLabelSquare);
    // Centred on one line and not clipped to the square: wide labels reach past it.
    return QFontMetrics(labelFont())
        .boundingRect(square, Qt::AlignCenter | Qt::TextDontClip | Qt::TextSingleLine, labelText());
}

QFont OriginWindow::labelFont() {
    QFont font(QStringLiteral("Lucida Sans Unicode"));
    font.setPointSize(22);
    return font;
}

void OriginWindow::reshape() {
    const QPoint at = cross_ - geometry().topLeft();
    QRegion shape(0, at.y() - kHalfBar, width(), 2 * kHalfBar);
    shape += QRect(at.x() - kHalfBar, 0, 2 * kHalfBar, height());
    shape += labelBox(at);
    setMask(shape);
    update();
}

void OriginWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Without a compositor the shape leaves no transparent cover to click on: while choosing,
    // the window takes the pointer, so a press anywhere chooses; a key closes it in every mode.
    // The server grants a grab only once the window is on the screen: try until it does.
    grabTries_ = 0;
    grabTimer_.start(20);
}

void OriginWindow::tryGrabs() {
    QWindow* w = windowHandle();
    bool done = w != nullptr;
    if (w) {
        if (!keyboardGrabbed_) keyboardGrabbed_ = w->setKeyboardGrabEnabled(true);
        if (!static_ && !chosen_ && !mouseGrabbed_) mouseGrabbed_ = w->setMouseGrabEnabled(true);
        done = keyboardGrabbed_ && (static_ || chosen_ || mouseGrabbed_);
    }
    if (done || ++grabTries_ >= 100) grabTimer_.stop();
}

void OriginWindow::releaseGrabs(bool keyboardToo) {
    if (QWindow* w = windowHandle()) {
        if (mouseGrabbed_) w->setMouseGrabEnabled(false);
        if (keyboardToo && keyboardGrabbed_) w->setKeyboardGrabEnabled(false);
    }
    mouseGrabbed_ = false;
    if (keyboardToo) keyboardGrabbed_ = false;
}

void OriginWindow::hideEvent(QHideEvent* event) {
    grabTimer_.stop();
    releaseGrabs(true);
    QWidget::hideEvent(event);
}

OriginWindow* OriginWindow::open(OriginMode mode, OriginWindowContext context) {
    auto* w = new OriginWindow(mode, std::move(context));
    w->show();
    w->raise();
    w->activateWindow();
    return w;
}

QPoint OriginWindow::centre() const {
    const auto& d = context_.desktop;
    return {int((d.left + d.right) / 2), int((d.top + d.bottom) / 2)};
}

QString OriginWindow::labelText() const {
    const QPoint c = centre();
    return QStringLiteral("(%1, %2)").arg(cross_.x() - c.x()).arg(c.y() - cross_.y());
}

QColor OriginWindow::crossColour() const {
    if (autoClose_) return QColor(0, 255, 0);
    return chosen_ ? QColor(0, 0, 255) : QColor(255, 0, 0);
}

void OriginWindow::follow() {
    if (static_ || chosen_ || !context_.cursor) return;
    long x = 0, y = 0;
    if (!context_.cursor(x, y)) return;
    const QPoint p{int(x), int(y)};
    if (p != cross_) {
        cross_ = p;
        reshape();
    }
}

void OriginWindow::watch() {
    if (!context_.hook) return;
    for (int b = 0; b < kMouseButtons; ++b)
        if (context_.hook->presses(b) != snapshot_[size_t(b)]) {
            watchTimer_.stop();
            buttonDown(true);
            return;
        }
}

void OriginWindow::buttonDown(bool synthetic) {
    if (!static_ && !chosen_) {
        // The point under the cursor now, not where the cross last followed it.
        follow();
        const QPoint c = centre();
        chosen_ = true;
        followTimer_.stop();
        watchTimer_.stop();
        if (context_.setOrigin) context_.setOrigin(cross_.x() - c.x(), cross_.y() - c.y());
        closeSoon(kCloseDelayMs);
        releaseGrabs(false);
        reshape();
        return;
    }
    if (!synthetic) closeSoon(1);
}

void OriginWindow::closeSoon(int ms) {
    closeTimer_.start(ms);
}

void OriginWindow::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton || e->button() == Qt::RightButton ||
        e->button() == Qt::MiddleButton)
        buttonDown(false);
}

void OriginWindow::keyPressEvent(QKeyEvent*) {
    closeSoon(1);
}

void OriginWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPoint at = cross_ - geometry().topLeft();
    const QColor colour = crossColour();
    p.fillRect(QRect(0, at.y() - kHalfBar, width(), 2 * kHalfBar), colour);
    p.fillRect(QRect(at.x() - kHalfBar, 0, 2 * kHalfBar, height()), colour);

    p.setFont(labelFont());
    const QString text = labelText();
    const QRect square(at.x() - kLabelSquare / 2, at.y() - kLabelSquare / 2, kLabelSquare,
                       kLabelSquare);
    p.fillRect(labelBox(at), QColor(0, 0, 68));
    p.setPen(QColor(170, 255, 170));
    p.drawText(square, Qt::AlignCenter | Qt::TextDontClip | Qt::TextSingleLine, text);
}

} // namespace kv::ui

// The window's shape, sizing and dragging, and the desktop's mouse: what the instrument hears of it
// and the origin cross.
#include "ui/main_window.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWindow>
#include <cmath>

#include "engine/engine_state.h"
#include "mouse/mouse_backend.h"
#include "mouse/mouse_hook.h"
#include "mouse/mouse_input.h"
#include "platform/work_area.h"
#include "ui/button_box.h"
#include "ui/main_window_parts.h"
#include "ui/module_window/module_window.h"
#include "ui/mouse_access.h"
#include "ui/origin_window.h"

namespace kv::ui {

HitArea hitTest(int x, int y, int w, int h, bool maximised) {
    if (maximised) return HitArea::Body;
    auto near = [&](int cx, int cy) { return std::hypot(double(x - cx), double(y - cy)) < 27.0; };
    if (near(0, 0)) return HitArea::TopLeft;
    if (near(w, 0)) return HitArea::TopRight;
    if (near(0, h)) return HitArea::BottomLeft;
    if (near(w, h)) return HitArea::BottomRight;
    if (y >= 1 && y <= 7) return HitArea::Top;
    if (x >= 1 && x <= 7) return HitArea::Left;
    if (y > h - 8 && y < h) return HitArea::Bottom;
    if (x > w - 8 && x < w) return HitArea::Right;
    return HitArea::Body;
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !windowHandle()) return Dialog::mousePressEvent(event);
    const QPoint p = event->position().toPoint();
    Qt::Edges edges;
    switch (hitTest(p.x(), p.y(), width(), height(), isMaximized())) {
    case HitArea::TopLeft:
        edges = Qt::TopEdge | Qt::LeftEdge;
        break;
    case HitArea::TopRight:
        edges = Qt::TopEdge | Qt::RightEdge;
        break;
    case HitArea::BottomLeft:
        edges = Qt::BottomEdge | Qt::LeftEdge;
        break;
    case HitArea::BottomRight:
        edges = Qt::BottomEdge | Qt::RightEdge;
        break;
    case HitArea::Top:
        edges = Qt::TopEdge;
        break;
    case HitArea::Left:
        edges = Qt::LeftEdge;
        break;
    case HitArea::Bottom:
        edges = Qt::BottomEdge;
        break;
    case HitArea::Right:
        edges = Qt::RightEdge;
        break;
    case HitArea::Body:
        if (!isMaximized() && !minimised_) beginDrag();
        return;
    }
    windowHandle()->startSystemResize(edges);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) endDrag();
    Dialog::mouseReleaseEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() == Qt::NoButton || isMaximized()) endDrag();
    Dialog::mouseMoveEvent(event);
}

// The drag follows the cursor from a 1 ms timer on this thread rather than from a thread of its
// own: every window move has to happen on the user-interface thread anyway, so a separate thread
// would only poll the cursor and then wait for this thread to move the windows.
void MainWindow::beginDrag() {
    dragDesktop_ = currentDesktop();
    platform::ScreenArea area;
    if (platform::readWorkArea(area))
        dragDesktop_.workArea = {area.x, area.y, area.x + area.width, area.y + area.height};
    const QRect r = frameGeometry();
    drag_.begin(QCursor::pos(), {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()});
    state_.dragging.store(true, std::memory_order_relaxed);
    dragTimer_.start(1);
}

void MainWindow::endDrag() {
    state_.dragging.store(false, std::memory_order_relaxed);
    dragTimer_.stop();
    drag_.end();
}

void MainWindow::followDrag() {
    if (!state_.dragging.load(std::memory_order_relaxed) || minimised_ || isMinimized()) {
        endDrag();
        return;
    }
    // A frameless window: its visible edges are its own edges.
    const auto step = drag_.follow(QCursor::pos(), settings_.values().lockWindowToScreenEdges,
                                   WindowFrame{}, dragDesktop_);
    if (!step) return;
    move(step->window.left, step->window.top);
    if (!step->carry.isNull()) carryModuleWindows(*moduleWindows_, step->carry);
}

void MainWindow::applyShape() {
    if (isMaximized()) {
        clearMask();
        return;
    }
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 25, 25);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void MainWindow::moveEvent(QMoveEvent* event) {
    Dialog::moveEvent(event);
    // Module positions and sensor points are relative to the client area: the engine learns where
    // it is now, and a move that is not the user's drag (placement by the window manager, a
    // restored rectangle, maximising) takes the module windows along to their stored places. A drag
    // carries them itself, with the cursor.
    const QPoint origin = geometry().topLeft();
    if (instrument_) instrument_->mouse().setClientOrigin(origin.x(), origin.y());
    if (!state_.dragging.load(std::memory_order_relaxed) && moduleWindows_)
        moduleWindows_->placeAll();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    Dialog::resizeEvent(event);
    applyShape();
}

void MainWindow::paintEvent(QPaintEvent*) {
    // Six frames shading from the normal button colour into the dialog background.
    const Theme& theme = Theme::current();
    if (theme.useDesktopColours) return;
    QPainter p(this);
    const QColor a = theme.buttonBackground[int(ButtonState::Normal)], b = theme.dialogBackground;
    QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    for (int i = 0; i < 6; ++i) {
        const double f = i / 6.0;
        p.setPen(QColor(int((1 - f) * a.red() + f * b.red()),
                        int((1 - f) * a.green() + f * b.green()),
                        int((1 - f) * a.blue() + f * b.blue())));
        if (isMaximized())
            p.drawRect(r);
        else
            p.drawRoundedRect(r, 25, 25);
        r.adjust(1, 1, -1, -1);
    }
}

void MainWindow::mouseNotice() {
    mouseHearing_ = currentMouseHearing(settings_.values().mouseBackend, instrument_->pointer());
    if (showMouseNotice(this, mouseHearing_)) onMiceAllowed();
}

void MainWindow::onMiceAllowed() {
    platform::MouseBackend* pointer = instrument_->pointer();
    if (!pointer) return;
    if (!mouseAccessGranted(*pointer)) {
        // The backend is made anew so that it can take over.
        instrument_->replaceMouse([this] {
            std::string noMouse;
            auto backend = platform::makeMouseBackend(noMouse, settings_.values().mouseBackend);
            if (!noMouse.empty()) addMessage(fromStd(noMouse));
            return backend;
        });
    }
    mouseHearing_ = currentMouseHearing(settings_.values().mouseBackend, instrument_->pointer());
}

void MainWindow::openOriginWindow(OriginMode mode) {
    OriginWindowContext c;
    if (instrument_->samplerThread()) {
        const auto d = instrument_->mouse().desktop();
        c.desktop = {d.left, d.top, d.right, d.bottom};
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect g = screen->virtualGeometry();
        c.desktop = {g.left(), g.top(), g.right(), g.bottom()};
    }
    c.originX = settings_.values().mouseOriginX;
    c.originY = settings_.values().mouseOriginY;
    c.cursor = [](long& x, long& y) {
        const QPoint p = QCursor::pos();
        x = p.x();
        y = p.y();
        return true;
    };
    c.setOrigin = [this](long x, long y) {
        settings_.values().mouseOriginX = x;
        settings_.values().mouseOriginY = y;
        instrument_->mouse().settings.originX.store(x);
        instrument_->mouse().settings.originY.store(y);
    };
    c.hook = instrument_->hookInstalled() ? &instrument_->mouse().hook : nullptr;
    // One cross at a time: a new command replaces a window still open.
    if (originWindow_) originWindow_->close();
    originWindow_ = OriginWindow::open(mode, std::move(c));
}

} // namespace kv::ui

#include "ui/module_window/window_drag.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <cstdlib>
#include <set>

#include "ui/module_window/module_window.h"

namespace kv::ui {

EdgeRect snapTo(EdgeRect w, const WindowFrame& f, const EdgeRect& ref) {
    if (std::abs((w.right - f.frameX) - ref.right) < kSnapDistance)
        w = w.moved(ref.right - (w.right - f.frameX), 0);
    if (std::abs((w.left + f.frameX) - ref.left) < kSnapDistance)
        w = w.moved(ref.left - (w.left + f.frameX), 0);
    if (std::abs((w.top + f.frameY + f.caption) - ref.top) < kSnapDistance)
        w = w.moved(0, ref.top - (w.top + f.frameY + f.caption));
    if (std::abs((w.bottom - f.frameY) - ref.bottom) < kSnapDistance)
        w = w.moved(0, ref.bottom - (w.bottom - f.frameY));
    return w;
}

Desktop currentDesktop() {
    Desktop d;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary) return d;
    const QRect area = primary->availableGeometry();
    const QRect screen = primary->geometry();
    d.workArea = {area.left(), area.top(), area.left() + area.width(), area.top() + area.height()};
    d.primaryScreen = {0, 0, screen.width() - 1, screen.height() - 1};
    d.monitors = static_cast<int>(QGuiApplication::screens().size());
    const QRect all = primary->virtualGeometry();
    d.virtualScreen = {all.left(), all.top(), all.left() + all.width() - 1,
                       all.top() + all.height() - 1};
    return d;
}

EdgeRect snapCandidate(const EdgeRect& candidate, QPoint startSize, const WindowFrame& frame,
                       const Desktop& desktop) {
    const int cx = candidate.left + startSize.x() / 2;
    const int cy = candidate.top + startSize.y() / 2;
    const EdgeRect& s = desktop.primaryScreen;
    const bool onPrimary = cx >= s.left && cx < s.right && cy >= s.top && cy < s.bottom;
    EdgeRect r = snapTo(candidate, frame, onPrimary ? desktop.workArea : s);
    if (desktop.monitors > 1) r = snapTo(r, frame, desktop.virtualScreen);
    return r;
}

void WindowDrag::begin(QPoint cursor, const EdgeRect& window) {
    startCursor_ = cursor;
    startWindow_ = window;
    active_ = true;
}

void WindowDrag::end() {
    active_ = false;
    lastOffset_ = {0, 0};
}

std::optional<WindowDrag::Step>
WindowDrag::follow(QPoint cursor, bool lock, const WindowFrame& frame, const Desktop& desktop) {
    if (!active_ || cursor == lastCursor_) return std::nullopt;
    lastCursor_ = cursor;
    const QPoint offset = cursor - startCursor_;
    EdgeRect candidate = startWindow_.moved(offset.x(), offset.y());
    if (lock) {
        const QPoint size(startWindow_.right - startWindow_.left,
                          startWindow_.bottom - startWindow_.top);
        candidate = snapCandidate(candidate, size, frame, desktop);
    }
    // The module windows follow the cursor, not the snapped main window.
    const Step step{candidate, offset - lastOffset_};
    lastOffset_ = offset;
    return step;
}

QPoint reachableShift(const QRect& visible, const std::vector<QRect>& screens) {
    if (screens.empty() || visible.isEmpty()) return {};
    const QRect* best = nullptr;
    long long bestArea = 0, bestDistance = 0;
    for (const QRect& s : screens) {
        if (s.contains(visible)) return {};
        const QRect common = s.intersected(visible);
        const long long area = common.isEmpty() ? 0 : 1LL * common.width() * common.height();
        const QPoint c = visible.center();
        const long long dx = c.x() < s.left() ? s.left() - c.x() : std::max(0, c.x() - s.right());
        const long long dy = c.y() < s.top() ? s.top() - c.y() : std::max(0, c.y() - s.bottom());
        const long long distance = dx * dx + dy * dy;
        if (!best || area > bestArea ||
            (area == bestArea && area == 0 && distance < bestDistance)) {
            best = &s;
            bestArea = area;
            bestDistance = distance;
        }
    }
    auto shift = [](int lo, int hi, int screenLo, int screenHi) {
        if (lo < screenLo || hi - lo > screenHi - screenLo) return screenLo - lo;
        if (hi > screenHi) return screenHi - hi;
        return 0;
    };
    return {shift(visible.left(), visible.right(), best->left(), best->right()),
            shift(visible.top(), visible.bottom(), best->top(), best->bottom())};
}

void carryModuleWindows(ModuleWindows& windows, QPoint step) {
    ModuleRegistry& registry = windows.registry();
    std::set<const Module*> moved;
    auto carry = [&](Module* m) {
        if (!m || !moved.insert(m).second) return;
        if (ModuleWindow* w = windows.windowOf(m)) w->move(w->pos() + step);
    };
    for (int r = 0; r < kModuleRows; ++r) {
        const OutputRowRegistration& row = registry.row(r);
        if (row.owner && row.subIndex == 0) carry(row.owner);
    }
    for (int t = 0; t < kModuleRows; ++t)
        carry(registry.terminal(t));
}

} // namespace kv::ui

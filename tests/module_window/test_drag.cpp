// Dragging the main window: snapping at the screen edges and module windows carried along.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

#include "engine/engine.h"
#include "ui/module_window/module_window.h"
#include "ui/module_window/window_drag.h"

namespace kv::ui {
namespace {

const Desktop kOneScreen{{0, 0, 1920, 1040}, {0, 0, 1919, 1079}, 1, {0, 0, 1919, 1079}};

TEST(WindowSnap, EachEdgeWithinAndJustBeyondTheDistance) {
    const WindowFrame frame{4, 4, 0};
    const EdgeRect ref{0, 0, 1920, 1040};
    const struct {
        EdgeRect window;
        EdgeRect snapped;
    } cases[] = {
        {{-15, 300, 385, 600}, {-4, 300, 396, 600}},      // left, client at -11: snaps
        {{-24, 300, 376, 600}, {-24, 300, 376, 600}},     // client at -20: stays
        {{1500, 300, 1943, 600}, {1481, 300, 1924, 600}}, // right, 19 beyond: snaps
        {{1500, 300, 1944, 600}, {1500, 300, 1944, 600}}, // 20 beyond: stays
        {{500, 15, 900, 315}, {500, -4, 900, 296}},       // top, client at 19: snaps
        {{500, 16, 900, 316}, {500, 16, 900, 316}},       // client at 20: stays
        {{500, 700, 900, 1025}, {500, 719, 900, 1044}},   // bottom, client 19 short: snaps
        {{500, 700, 900, 1024}, {500, 700, 900, 1024}},   // 20 short: stays
    };
    for (const auto& c : cases)
        EXPECT_EQ(snapTo(c.window, frame, ref), c.snapped) << c.window.left << "," << c.window.top;
}

TEST(WindowSnap, ScreenInsteadOfWorkAreaAndTheVirtualScreen) {
    Desktop two = kOneScreen;
    two.monitors = 2;
    two.virtualScreen = {0, 0, 3839, 1079};
    // Centre beyond the primary screen: its rectangle is the reference, then the whole desktop.
    const EdgeRect far{3000, 500, 3830, 900};
    EXPECT_EQ(snapCandidate(far, {830, 400}, {}, two), (EdgeRect{3009, 500, 3839, 900}));
    EXPECT_EQ(snapCandidate(far, {830, 400}, {}, kOneScreen), far);
}

TEST(WindowDragging, SnappedWindowStaysWhileModulesFollowTheCursor) {
    WindowDrag drag;
    EXPECT_FALSE(drag.follow({10, 10}, true, {}, kOneScreen));
    drag.begin({100, 100}, {30, 30, 430, 330});
    auto step = drag.follow({80, 85}, true, {}, kOneScreen); // window at (10, 15): snaps to 0
    ASSERT_TRUE(step);
    EXPECT_EQ(step->window, (EdgeRect{0, 0, 400, 300}));
    EXPECT_EQ(step->carry, QPoint(-20, -15));
    EXPECT_FALSE(drag.follow({80, 85}, true, {}, kOneScreen)); // the cursor stands still
    step = drag.follow({85, 85}, true, {}, kOneScreen);
    EXPECT_EQ(step->window, (EdgeRect{0, 0, 400, 300}));
    EXPECT_EQ(step->carry, QPoint(5, 0));
    drag.end();
    EXPECT_FALSE(drag.follow({300, 300}, true, {}, kOneScreen));
}

TEST(WindowDragging, ModuleWindowsMoveByTheSameOffset) {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    ModuleWindows windows{registry};
    registry.addModule(Module_ControlSensor); // two rows: moved once
    registry.addModule(Module_AudioOutput);   // terminal entry
    registry.addModule(Module_AudioOsc);
    windows.openAll();
    std::vector<QPoint> before;
    for (ModuleWindow* w : windows.windows())
        before.push_back(w->pos());
    carryModuleWindows(windows, {37, -12});
    const auto after = windows.windows();
    ASSERT_EQ(after.size(), 3u);
    for (std::size_t i = 0; i < after.size(); ++i)
        EXPECT_EQ(after[i]->pos(), before[i] + QPoint(37, -12));
}

/// Runs the event loop until `done` or `ms` milliseconds have passed.
template <typename F> bool waitFor(F done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

void pressOrRelease(QWidget* w, QEvent::Type type, QPoint at) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
    QMouseEvent e(type, at, w->mapToGlobal(at), Qt::LeftButton, held, {});
    QCoreApplication::sendEvent(w, &e);
}

TEST(WindowDragging, ADraggedModuleWindowSnapsToTheScreenEdges) {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    ModuleWindows windows{registry};
    bool lock = true;
    windows.setEdgeLock(&lock);
    ModuleWindow* w = windows.open(*registry.addModule(Module_AudioOsc));
    ASSERT_NE(w, nullptr);
    w->show();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const struct {
        bool lock;
        int top;      // where the drag would put the window's top edge
        int expected; // strictly closer than 20 snaps
    } cases[] = {{true, area.top() + 19, area.top()},
                 {true, area.top() + 20, area.top() + 20},
                 {false, area.top() + 5, area.top() + 5}};
    for (const auto& c : cases) {
        lock = c.lock;
        w->move(300, 300);
        waitFor([] { return false; }, 30);
        const QPoint press(8, 8), start = w->mapToGlobal(press);
        QCursor::setPos(start);
        waitFor([] { return false; }, 20);
        pressOrRelease(w, QEvent::MouseButtonPress, press);
        QCursor::setPos(start + QPoint(25, c.top - 300));
        EXPECT_TRUE(waitFor([&] { return w->pos().x() == 325; }, 1000)) << c.top;
        waitFor([] { return false; }, 30);
        pressOrRelease(w, QEvent::MouseButtonRelease, press);
        EXPECT_EQ(w->pos(), QPoint(325, c.expected)) << c.top;
    }
}

TEST(ModuleWindowPlacement, AWindowFallingOffTheScreensIsMovedOntoThem) {
    const std::vector<QRect> screens{{0, 0, 1280, 1024}, {1280, 0, 1024, 768}};
    const struct {
        QRect visible;
        QPoint shift;
    } cases[] = {
        {{100, 100, 300, 200}, {0, 0}},       // on the first screen
        {{1400, 100, 300, 200}, {0, 0}},      // on the second
        {{100, -103, 300, 200}, {0, 103}},    // above the top
        {{1100, 900, 300, 200}, {-120, -76}}, // past the bottom-right corner
        {{1500, 700, 300, 200}, {0, -132}},   // below the shorter second screen
        {{-900, 400, 300, 200}, {900, 0}},    // left of every screen: the nearest
        {{50, 50, 1400, 100}, {-50, 0}},      // wider than the screen: its left edge shows
    };
    for (const auto& c : cases)
        EXPECT_EQ(reachableShift(c.visible, screens), c.shift)
            << c.visible.x() << "," << c.visible.y();
}

TEST(ModuleWindowPlacement, StoredCentresAreRelativeToTheOwnersClientArea) {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    QWidget owner(nullptr, Qt::Window | Qt::FramelessWindowHint);
    owner.setGeometry(120, 90, 400, 300);
    ModuleWindows windows{registry, &owner};
    Module* near = registry.addModule(Module_AudioOsc);
    near->positionX = 200;
    near->positionY = 400;
    Module* far = registry.addModule(Module_ControlModulator);
    far->positionX = 50;
    far->positionY = -900; // above every screen
    ModuleWindow* a = windows.open(*near);
    ModuleWindow* b = windows.open(*far);
    EXPECT_EQ(a->geometry().topLeft(), QPoint(320, 490) - QPoint(a->width() / 2, a->height() / 2));
    // Moved in to stay reachable, without changing what the patch keeps.
    EXPECT_GE(b->geometry().top(), QGuiApplication::primaryScreen()->geometry().top());
    waitFor([] { return false; }, 50);
    EXPECT_EQ(far->positionY, -900);
    // The owner moves: the windows go with it, still at their stored places.
    owner.move(150, 100);
    windows.placeAll();
    waitFor([] { return false; }, 50);
    EXPECT_EQ(a->geometry().topLeft(), QPoint(350, 500) - QPoint(a->width() / 2, a->height() / 2));
    EXPECT_EQ(QPoint(int(near->positionX), int(near->positionY)), QPoint(200, 400));
    EXPECT_EQ(far->positionY, -900);
}

} // namespace
} // namespace kv::ui

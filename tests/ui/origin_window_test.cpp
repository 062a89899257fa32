#include <gtest/gtest.h>

#include <QPointer>
#include <QTest>

#include "mouse/mouse_hook.h"
#include "ui/origin_window.h"

using namespace kv;
using namespace kv::ui;

namespace {

/// An origin window over a 1920 × 1080 desktop (centre (959, 539)) with a scripted cursor and
/// hook, recording the origin it stores.
struct Origin {
    long cursorX = 959, cursorY = 539;
    bool stored = false;
    long storedX = 0, storedY = 0;
    MouseHookState hook;
    QPointer<OriginWindow> window;

    explicit Origin(OriginMode mode, long originX = 0, long originY = 0,
                    platform::DesktopRect desktop = {}) {
        OriginWindowContext c;
        c.desktop = desktop;
        c.originX = originX;
        c.originY = originY;
        c.cursor = [this](long& x, long& y) {
            x = cursorX;
            y = cursorY;
            return true;
        };
        c.setOrigin = [this](long x, long y) {
            stored = true;
            storedX = x;
            storedY = y;
        };
        c.hook = &hook;
        window = new OriginWindow(mode, std::move(c));
        window->resize(200, 200); // keep the offscreen surface small; the cross is unaffected
        window->show();
    }
    ~Origin() { delete window.data(); }
    bool closesWithin(int ms) {
        return QTest::qWaitFor([&] { return !window || !window->isVisible(); }, ms);
    }
};

} // namespace

TEST(OriginWindow, ResetShowsAGreenCrossAtTheCentreAndClosesByItself) {
    Origin o(OriginMode::Reset);
    EXPECT_EQ(o.window->crossPoint(), QPoint(959, 539));
    EXPECT_EQ(o.window->labelText(), QStringLiteral("(0, 0)"));
    EXPECT_EQ(o.window->crossColour(), QColor(0, 255, 0));
    QTest::qWait(OriginWindow::kCloseDelayMs / 2);
    EXPECT_TRUE(o.window && o.window->isVisible());
    EXPECT_TRUE(o.closesWithin(2000));
    EXPECT_FALSE(o.stored);
}

TEST(OriginWindow, ChoosingStoresTheCursorOffsetWithYDownAndLabelsItWithYUp) {
    Origin o(OriginMode::Choose);
    o.cursorX = 959 + 100;
    o.cursorY = 539 - 50;
    EXPECT_EQ(o.window->crossColour(), QColor(255, 0, 0));
    QTest::qWait(250); // the cross follows the cursor
    EXPECT_EQ(o.window->crossPoint(), QPoint(1059, 489));
    QTest::mouseClick(o.window, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(o.stored);
    EXPECT_EQ(o.storedX, 100);
    EXPECT_EQ(o.storedY, -50);
    EXPECT_EQ(o.window->labelText(), QStringLiteral("(100, 50)"));
    EXPECT_EQ(o.window->crossColour(), QColor(0, 0, 255));
    o.cursorX = 0; // the chosen cross no longer follows
    QTest::qWait(250);
    EXPECT_EQ(o.window->crossPoint(), QPoint(1059, 489));
    EXPECT_TRUE(o.closesWithin(2000));
}

TEST(OriginWindow, APressAnywhereOnTheDesktopChoosesThePointUnderTheCursor) {
    Origin o(OriginMode::Choose);
    o.cursorX = 959 - 300;
    o.cursorY = 539 + 20;
    o.hook.onEvent(HookMessage::RightDown, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return o.stored; }, 1000));
    EXPECT_EQ(o.storedX, -300);
    EXPECT_EQ(o.storedY, 20);
}

TEST(OriginWindow, AKeyClosesWithoutChangingTheOrigin) {
    for (OriginMode mode : {OriginMode::Choose, OriginMode::Show}) {
        Origin o(mode);
        QTest::keyClick(o.window, Qt::Key_Escape);
        EXPECT_TRUE(o.closesWithin(500));
        EXPECT_FALSE(o.stored);
    }
}

TEST(OriginWindow, ShowingStaysOnAPressElsewhereAndClosesOnAClickOnIt) {
    Origin o(OriginMode::Show, 30, -20);
    EXPECT_EQ(o.window->crossPoint(), QPoint(989, 519));
    EXPECT_EQ(o.window->labelText(), QStringLiteral("(30, 20)"));
    o.hook.onEvent(HookMessage::LeftDown, 0);
    QTest::qWait(200);
    EXPECT_TRUE(o.window && o.window->isVisible());
    QTest::mouseClick(o.window, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(o.closesWithin(500));
    EXPECT_FALSE(o.stored);
}

TEST(OriginWindow, TheCentreIsThatOfTheWholeVirtualDesktop) {
    // Two monitors side by side, the left one at negative x.
    Origin o(OriginMode::Show, 0, 0, {-1920, 0, 1919, 1079});
    EXPECT_EQ(o.window->crossPoint(), QPoint(0, 539));
    EXPECT_EQ(o.window->labelText(), QStringLiteral("(0, 0)"));
}

TEST(OriginWindow, DrawsTheCrossThroughTheOriginInItsColour) {
    Origin o(OriginMode::Show, 0, 0, {0, 0, 399, 299});
    o.window->setGeometry(0, 0, 400, 300);
    const QImage image = o.window->grab().toImage();
    const QPoint at = o.window->crossPoint();                             // (199, 149)
    EXPECT_EQ(image.pixelColor(at.x() + 150, at.y()), QColor(255, 0, 0)); // horizontal bar
    EXPECT_EQ(image.pixelColor(at.x(), at.y() - 120), QColor(255, 0, 0)); // vertical bar
    // Ten pixels thick: rows y - 5 .. y + 4.
    EXPECT_EQ(image.pixelColor(at.x() + 150, at.y() - 5), QColor(255, 0, 0));
    EXPECT_EQ(image.pixelColor(at.x() + 150, at.y() + 4), QColor(255, 0, 0));
    EXPECT_NE(image.pixelColor(at.x() + 150, at.y() + 5), QColor(255, 0, 0));
    EXPECT_NE(image.pixelColor(at.x() + 150, at.y() - 6), QColor(255, 0, 0));
    // The label sits on its dark box over the crossing.
    int box = 0, text = 0;
    for (int y = at.y() - 40; y < at.y() + 40; ++y)
        for (int x = at.x() - 40; x < at.x() + 40; ++x) {
            box += image.pixelColor(x, y) == QColor(0, 0, 68);
            text += image.pixelColor(x, y) == QColor(170, 255, 170);
        }
    EXPECT_GT(box, 100);
    EXPECT_GT(text, 20);
}

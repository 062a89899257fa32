#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QProgressBar>
#include <QSlider>
#include <QTest>
#include <thread>

#include "mouse/mouse_input.h"
#include "mouse/mouse_metrics.h"
#include "ui/status_display.h"

using namespace kv;
using namespace kv::ui;

namespace {

// Runs `passes` status passes on a thread of their own, as the mouse status thread does, while
// this thread serves the display (the resize hand-shake needs both).
void runPasses(StatusDisplay& display, int passes) {
    std::atomic<bool> done{false}, stop{false};
    std::thread status([&] {
        for (int i = 0; i < passes; ++i) {
            display.statusPass(stop);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        done = true;
    });
    while (!done)
        QTest::qWait(2);
    status.join();
    QTest::qWait(20);
}

bool glWindows() {
    return QGuiApplication::platformName() != QLatin1String("offscreen");
}

} // namespace

TEST(StatusDisplay, TheOptionsChooseWhatIsShownAndTheOldStyleFollowsTheMetrics) {
    MouseInput mouse;
    StatusDisplay display(mouse, nullptr);
    display.resize(400, 200);
    display.show();
    StatusDisplayOptions& o = display.options();
    o.use3D = false;
    display.applyOptions();
    mouse.metrics.set(kSourceSpeed, 1000);
    mouse.metrics.set(kSourceTurnInertia, -1000);
    runPasses(display, 3);
    EXPECT_TRUE(display.oldStyle()->isVisible());
    EXPECT_EQ(display.speedBar()->value(), 200);
    EXPECT_EQ(display.slider(kIndicatorTurnInertia)->value(), -180);

    // Hidden items stop following the metrics.
    o.show = false;
    display.applyOptions();
    mouse.metrics.set(kSourceSpeed, 500);
    runPasses(display, 3);
    EXPECT_FALSE(display.oldStyle()->isVisible());
    EXPECT_EQ(display.speedBar()->value(), 200);

    o.show = true;
    o.use3D = true;
    o.swapBuffers = false;
    display.applyOptions();
    EXPECT_TRUE(display.picture()->isVisible());
    if (glWindows()) {
        o.swapBuffers = true;
        display.applyOptions();
        EXPECT_TRUE(display.view()->isVisible());
    }
}

TEST(StatusDisplay, ThreeDFramesComeEverySecondPassUnlessFastAndNotWhileMinimised) {
    if (!glWindows()) GTEST_SKIP() << "no GL windows on this platform";
    MouseInput mouse;
    StatusDisplay display(mouse, nullptr);
    display.resize(300, 200);
    display.show();
    StatusDisplayOptions& o = display.options();
    o.use3D = true;
    o.swapBuffers = false; // drawn off screen and shown as a picture
    o.fast = false;
    display.applyOptions();
    runPasses(display, 10);
    EXPECT_EQ(display.framesAsked(), 5);
    EXPECT_GE(display.framesDrawn(), 1);
    o.fast = true;
    runPasses(display, 10);
    EXPECT_EQ(display.framesAsked(), 15);
    o.minimised = true;
    runPasses(display, 6);
    EXPECT_EQ(display.framesAsked(), 15);

    // The picture really carries a frame: its centre (the hub) is not the background.
    const QImage image = display.picture()->pixmap().toImage();
    ASSERT_FALSE(image.isNull());
    const IndicatorColours colours;
    const QColor background(colours.dialogBackground.r, colours.dialogBackground.g,
                            colours.dialogBackground.b);
    EXPECT_EQ(image.pixelColor(1, 1), background);
    EXPECT_NE(image.pixelColor(image.width() / 2, image.height() / 2), background);
}

TEST(StatusDisplay, AColourChangeRepaintsTheCompass) {
    MouseInput mouse;
    StatusDisplay display(mouse, nullptr);
    display.setCompassSide(40);
    IndicatorColours colours;
    colours.dialogBackground = {10, 200, 30};
    display.setColours(colours, 0x000000);
    const QImage image = display.compass()->pixmap().toImage();
    ASSERT_EQ(image.width(), 40);
    EXPECT_EQ(image.pixelColor(0, 0), QColor(10, 200, 30));
}

TEST(StatusDisplay, AStillCursorDrawsTenFramesASecond) {
    const struct {
        std::uint64_t pass;
        bool fast;
        int still;
        bool due;
    } cases[] = {
        {4, false, 0, true},     {5, false, 0, false},   {5, true, 99, true}, // moving
        {20, true, 100, true},   {21, true, 100, false},                      // still for 1 s
        {22, false, 500, false}, {30, false, 500, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(indicatorFrameDue(c.pass, c.fast, c.still), c.due) << c.pass << " " << c.still;

    // Through the display: a cursor that never moves asks for half the frames for a second,
    // then one in ten.
    MouseInput mouse;
    StatusDisplay display(mouse, nullptr);
    StatusDisplayOptions& o = display.options();
    o.use3D = true;
    o.swapBuffers = false;
    o.fast = false;
    display.applyOptions();
    runPasses(display, 300);
    EXPECT_EQ(display.framesAsked(), 50 + 20);
}

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "mouse/mouse_metrics.h"
#include "mouse/status_indicators.h"

using namespace kv;

TEST(OldStyleIndicators, PositionsFollowTheMetricsAtTheirScales) {
    MouseMetrics m;
    m.set(kSourceTurnInertia, 1000);       // full turn: the slider's end, 180
    m.set(kSourceTurnInertiaChange, -500); // −90
    m.set(kSourceSpeed, 1499);             // ÷ 5, truncated: 299
    m.set(kSourceAcceleration, -999);      // ÷ 10 toward zero: −99
    m.set(kSourceHorizontalPosition, 0);   // the desktop's middle column
    m.set(kSourceVerticalPosition, -1000); // its top row
    m.set(kSourceVerticalScrollVelocity, 55);
    m.set(kSourceHorizontalScrollAcceleration, std::nan(""));
    const platform::DesktopRect desktop{0, 0, 1280, 1024};
    const auto p = oldStylePositions(m, desktop);
    EXPECT_EQ(p[kIndicatorTurnInertia], 180);
    EXPECT_EQ(p[kIndicatorTurnInertiaChange], -90);
    EXPECT_EQ(p[kIndicatorSpeed], 299);
    EXPECT_EQ(p[kIndicatorAcceleration], -99);
    EXPECT_EQ(p[kIndicatorHorizontalPosition], 640);
    EXPECT_EQ(p[kIndicatorVerticalPosition], 0);
    EXPECT_EQ(p[kIndicatorVerticalWheelVelocity], 5);
    EXPECT_EQ(p[kIndicatorHorizontalWheelAcceleration], 0);
    const auto r = oldStyleRanges(desktop);
    EXPECT_EQ(r[kIndicatorSpeed].maximum, 300);
    EXPECT_EQ(r[kIndicatorTurnInertia].minimum, -180);
    EXPECT_EQ(r[kIndicatorHorizontalPosition].maximum, 1280);
    EXPECT_EQ(r[kIndicatorVerticalWheelPosition].minimum, -100);
}

namespace {

std::uint32_t pixel(const CompassPicture& p, int x, int y) {
    return p.pixels[std::size_t(y * p.width + x)] & 0xFFFFFF;
}

// How much darker than the background a pixel is (sum of the channels' differences).
int ink(const CompassPicture& p, int x, int y) {
    const std::uint32_t v = pixel(p, x, y);
    return 3 * 0xFF - int((v >> 16) & 0xFF) - int((v >> 8) & 0xFF) - int(v & 0xFF);
}

} // namespace

TEST(Compass, TheTipPointsInTheDirectionOfTravelAndTheTailIsHalfTone) {
    CompassPicture p;
    const double pi = 3.14159265358979323846;
    // θ = 0 points right, θ = π/2 down (screen y grows downward).
    for (auto [theta, tipX, tipY, tailX, tailY] :
         {std::tuple{0.0, 36, 20, 4, 20}, std::tuple{pi / 2, 20, 36, 20, 4}}) {
        drawCompass(p, 41, 41, theta, 0xFFFFFF, 0x000000);
        ASSERT_EQ(p.pixels.size(), 41u * 41u);
        EXPECT_EQ(pixel(p, 0, 0), 0xFFFFFFu); // a corner stays background
        EXPECT_GT(ink(p, tipX, tipY), 200) << theta;
        // The tail is drawn in the half-tone: visible, but never as dark as the text.
        const int tail = ink(p, tailX, tailY);
        EXPECT_GT(tail, 50) << theta;
        EXPECT_LE(tail, 3 * 0x80) << theta;
    }
    // Equal colours draw nothing visible (blending truncates, so a unit or two may go); a size
    // change resizes the picture.
    drawCompass(p, 10, 6, 1.0, 0x808080, 0x808080);
    ASSERT_EQ(p.pixels.size(), 60u);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_LE(std::abs(ink(p, x, y) - 3 * 0x7F), 9) << x << "," << y;
    drawCompass(p, 0, 0, 1.0, 0, 0xFFFFFF); // nothing to draw into, no crash
    EXPECT_TRUE(p.pixels.empty());
}

TEST(StatusRebuild, TheThreadWaitsForTheNewSizeAndAStopEndsTheWait) {
    StatusRebuild rebuild;
    std::atomic<bool> stop{false};
    EXPECT_FALSE(rebuild.acknowledgeAndWait(stop)); // nothing asked: the pass goes on
    EXPECT_FALSE(rebuild.complete(10, 10));         // nothing acknowledged yet

    // Many rebuilds while the thread passes: each one ends with the size the window stored.
    std::atomic<int> rebuilt{0};
    std::thread status([&] {
        while (!stop.load())
            if (rebuild.acknowledgeAndWait(stop)) {
                EXPECT_GT(rebuild.width(), 0);
                ++rebuilt;
            }
    });
    for (int i = 1; i <= 20; ++i) {
        rebuild.request();
        while (!rebuild.complete(i, 2 * i))
            std::this_thread::yield();
        EXPECT_EQ(rebuild.height(), 2 * i);
    }
    // A rebuild the window never completes: stopping still ends the thread.
    rebuild.request();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    status.join();
    EXPECT_EQ(rebuilt.load(), 20);
}

#include <gtest/gtest.h>

#include "ui/status_text.h"

using namespace kv::ui;

TEST(StatusText, TheTierSentenceChangesExactlyAtEachBoundary) {
    struct Case {
        double windowDistance; // pixels moved in one 333 ms window
        uint32_t speed;
        int string;
    } cases[] = {
        {0, 0, 18},
        {6, 18, 19},
        {7, 21, 20},
        {99.0 / 3, 99, 20},
        {100.0 / 3 + 1e-9, 100, 21},
        {1599.0 / 3, 1599, 21},
        {1600.0 / 3 + 1e-9, 1600, 22},
        {6999.0 / 3, 6999, 22},
        {7000.0 / 3 + 1e-9, 7000, 23},
        {39999.0 / 3, 39999, 23},
        {40000.0 / 3 + 1e-9, 40000, 24},
        {1e12, UINT32_MAX, 24},
        {-5, 0, 18},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(windowSpeed(c.windowDistance), c.speed) << c.windowDistance;
        EXPECT_EQ(speedTierString(c.speed), c.string) << c.speed;
    }
}

TEST(StatusText, SentencesCarryTheNumbers) {
    EXPECT_EQ(speedTierText(150), QStringLiteral("Your mouse is currently jogging at "));
    EXPECT_EQ(speedText(21), QStringLiteral("21 pixels per second."));
    EXPECT_EQ(distanceText(1234.6),
              QStringLiteral(
                  "Your mouse has travelled a total of 1235 pixels since this program started."));
}

TEST(StatusText, TheTickerTakesTheSpeedEvery333MsAndResetsTheWindow) {
    StatusTextTicker ticker;
    double window = 0;
    EXPECT_TRUE(ticker.pass(window, 0, 1000)); // first pass shows the texts
    EXPECT_EQ(ticker.speed(), 0u);
    window = 7;
    EXPECT_FALSE(ticker.pass(window, 0, 1332)); // before the deadline: nothing
    EXPECT_EQ(window, 7);
    EXPECT_TRUE(ticker.pass(window, 0, 1333));
    EXPECT_EQ(window, 0);
    EXPECT_EQ(ticker.speed(), 21u);
    EXPECT_EQ(ticker.speedLine(),
              QStringLiteral("Your mouse is currently walking at 21 pixels per second."));
    EXPECT_TRUE(ticker.pass(window, 50, 1340)); // the distance changes at once
    EXPECT_EQ(ticker.distanceLine(),
              QStringLiteral(
                  "Your mouse has travelled a total of 50 pixels since this program started."));
    window = 7;
    EXPECT_FALSE(ticker.pass(window, 50, 1666)); // same speed, same total: nothing to show
}

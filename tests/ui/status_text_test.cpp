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

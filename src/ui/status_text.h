#pragma once
// The texts of the mouse status display: the speed tier sentence, the speed and the total
// distance. Mouse status thread (pure functions of their arguments and the current language).
#include <QString>
#include <cstdint>

namespace kv::ui {

/// The speed shown for a 333 ms window in which the cursor moved `distance` pixels: the
/// distance times three, truncated (pixels per second). Negative or not-a-number reads 0.
uint32_t windowSpeed(double distance);
/// The language string of the sentence naming the tier of `speed` (pixels per second):
/// 18 halted, 19 crawling, 20 walking, 21 jogging, 22 running, 23 blazing, 24 burning up.
int speedTierString(uint32_t speed);
/// The tier sentence in the current language ("Your mouse is currently jogging at ").
QString speedTierText(uint32_t speed);
/// "%u pixels per second." in the current language.
QString speedText(uint32_t speed);
/// "Your mouse has travelled a total of … pixels since this program started.", whole pixels.
QString distanceText(double pixels);

} // namespace kv::ui

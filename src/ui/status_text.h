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

/// The status texts as the mouse status thread refreshes them: the speed every 333 ms from the
/// distance moved meanwhile, the total distance whenever it changed. Mouse status thread.
class StatusTextTicker {
  public:
    static constexpr int64_t kSpeedPeriodMs = 333;
    /// One pass at `nowMs` (a millisecond clock). At a deadline it takes the speed from
    /// `windowDistance` and resets that to 0. True when a text changed.
    bool pass(double& windowDistance, double totalDistance, int64_t nowMs);
    uint32_t speed() const { return speed_; }
    /// The tier sentence followed by the speed, and the distance sentence.
    const QString& speedLine() const { return speedLine_; }
    const QString& distanceLine() const { return distanceLine_; }

  private:
    int64_t deadline_ = -1;
    uint32_t speed_ = 0;
    double total_ = -1;
    QString speedLine_, distanceLine_;
};

} // namespace kv::ui

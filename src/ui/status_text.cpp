#include "ui/status_text.h"

#include <cmath>

#include "ui/theme.h"

namespace kv::ui {

uint32_t windowSpeed(double distance) {
    const double speed = distance * 3.0;
    if (!(speed > 0)) return 0;
    if (speed >= 4294967295.0) return UINT32_MAX;
    return uint32_t(speed);
}

int speedTierString(uint32_t speed) {
    // Lowest speed of each tier, from the fastest down.
    static constexpr struct {
        uint32_t from;
        int string;
    } kTiers[] = {{40000, 24}, {7000, 23}, {1600, 22}, {100, 21}, {20, 20}, {1, 19}, {0, 18}};
    for (const auto& tier : kTiers)
        if (speed >= tier.from) return tier.string;
    return 18;
}

QString speedTierText(uint32_t speed) {
    return languageText(speedTierString(speed));
}

QString speedText(uint32_t speed) {
    QString text = languageText(25);
    return text.replace(QStringLiteral("%u"), QString::number(speed));
}

QString distanceText(double pixels) {
    QString text = languageText(53);
    const QString value =
        std::isfinite(pixels) ? QString::number(pixels, 'f', 0) : QStringLiteral("0");
    return text.replace(QStringLiteral("%.00f"), value);
}

bool StatusTextTicker::pass(double& windowDistance, double totalDistance, int64_t nowMs) {
    bool changed = false;
    if (deadline_ < 0 || nowMs >= deadline_) {
        const bool first = deadline_ < 0;
        deadline_ = nowMs + kSpeedPeriodMs;
        const uint32_t speed = windowSpeed(windowDistance);
        windowDistance = 0;
        if (first || speed != speed_) {
            speed_ = speed;
            speedLine_ = speedTierText(speed) + speedText(speed);
            changed = true;
        }
    }
    if (totalDistance != total_) {
        total_ = totalDistance;
        distanceLine_ = distanceText(totalDistance);
        changed = true;
    }
    return changed;
}

} // namespace kv::ui

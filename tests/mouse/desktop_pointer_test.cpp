// The desktop's mouse acceleration as GNOME's and Plasma's settings tools give it.
#include <gtest/gtest.h>

#include "mouse/desktop_pointer.h"

namespace kv {
namespace {

using P = AccelProfile;

TEST(DesktopPointer, GnomeSettingsOutput) {
    const struct {
        const char *profile, *speed;
        PointerAccel expected;
    } cases[] = {
        {"'default'\n", "0.0\n", {P::Default, 0.0}},
        {"'flat'\n", "-0.5\n", {P::Flat, -0.5}},
        {"'adaptive'\n", "0.27272727272727271\n", {P::Adaptive, 0.27272727272727271}},
        {"'adaptive'", "3", {P::Adaptive, 1.0}}, // out of range: held at the end
        // gsettings without the schema (no GNOME): errors on the output leave the defaults.
        {"No such schema \"org.gnome.desktop.peripherals.mouse\"\n", "", {P::Default, {}}},
        {"", "nan", {P::Default, {}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(gnomePointerAccel(c.profile, c.speed), c.expected) << c.profile << c.speed;
}

TEST(DesktopPointer, PlasmaKcminputrcMouseAndDeviceGroups) {
    const char* file = "[$Version]\n"
                       "update_info=kcminputrc_fix_botched_5_21_0.upd\n"
                       "\n"
                       "[Keyboard]\n"
                       "PointerAcceleration=0.9\n"
                       "\n"
                       "[Libinput][1133][49291][Logitech G502 HERO Gaming Mouse]\n"
                       "PointerAcceleration=-0.400\n"
                       "PointerAccelerationProfile=1\n"
                       "\r\n"
                       "[Libinput][1739][52783][SYNA2393:00 06CB:CE2F Touchpad]\n"
                       "PointerAcceleration=0.6\n"
                       "\n"
                       "[Mouse]\n"
                       "PointerAcceleration=0.2\r\n"
                       "PointerAccelerationProfile=2\n"
                       "cursorTheme=breeze_cursors\n";
    const PointerDeviceId g502{1133, 49291, "Logitech G502 HERO Gaming Mouse"};
    const PointerDeviceId touchpad{1739, 52783, "SYNA2393:00 06CB:CE2F Touchpad"};
    const PointerDeviceId other{1, 2, "Other Mouse"};
    EXPECT_EQ(plasmaPointerAccel(file, g502), (PointerAccel{P::Flat, -0.4}));
    EXPECT_EQ(plasmaPointerAccel(file, touchpad), (PointerAccel{P::Adaptive, 0.6}));
    EXPECT_EQ(plasmaPointerAccel(file, other), (PointerAccel{P::Adaptive, 0.2}));
    // Plasma's X11 session keys.
    EXPECT_EQ(plasmaPointerAccel("[Mouse]\nXLbInptAccelProfileFlat=true\n"
                                 "XLbInptPointerAcceleration=-1\n",
                                 other),
              (PointerAccel{P::Flat, -1.0}));
    EXPECT_EQ(plasmaPointerAccel("", other), PointerAccel{});
    EXPECT_EQ(plasmaPointerAccel("[Mouse]\nPointerAcceleration=fast\n", other), PointerAccel{});
}

TEST(DesktopPointer, HyprlandCursorPosition) {
    const struct {
        const char* reply;
        bool ok;
        long x, y;
    } cases[] = {{"1234, 567", true, 1234, 567},   {"-80, 20\n", true, -80, 20},
                 {"unknown request", false, 0, 0}, {"12, ", false, 0, 0},
                 {"1.5, 2", false, 0, 0},          {"", false, 0, 0}};
    for (const auto& c : cases) {
        long x = 0, y = 0;
        EXPECT_EQ(parseHyprlandCursorPos(c.reply, x, y), c.ok) << c.reply;
        EXPECT_EQ(x, c.x) << c.reply;
        EXPECT_EQ(y, c.y) << c.reply;
    }
}

} // namespace
} // namespace kv

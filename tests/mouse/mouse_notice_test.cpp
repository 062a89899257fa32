// The notice about what the instrument can hear of the mouse, for each kind of session.
#include <gtest/gtest.h>

#include "mouse/mouse_notice.h"

namespace kv {
namespace {

TEST(MouseNotice, SaysWhatIsHeardAndHowToFixIt) {
    using K = MouseBackendKind;
    const auto W = SessionType::Wayland, X = SessionType::X11;
    const struct {
        MouseHearing hearing;
        const char* says; // "" : no notice
        bool offersRule;
    } cases[] = {
        {{X, K::X11, false, true, 2, 0}, "", false}, // X11: nothing to say
        {{W, K::X11, true, true, 1, 0}, "only while the pointer is over an X11 window", true},
        {{W, K::X11, true, false, 1, 0}, "built without libinput", false},
        {{W, K::Devices, false, true, 2, 2}, "Positions are estimated", false},
        {{W, K::Devices, false, true, 2, 1}, "Some mice or touchpads cannot be read yet", true},
        {{W, K::None, false, true, 0, 0}, "hears no mouse", false},
    };
    for (const auto& c : cases) {
        const std::string text = mouseNoticeText(c.hearing);
        if (!*c.says) {
            EXPECT_EQ(text, "");
            continue;
        }
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        EXPECT_EQ(canAllowReadingMice(c.hearing), c.offersRule) << c.says;
        // The text names the command exactly where the menu and the box offer it.
        EXPECT_EQ(text.find("\"Allow Kalvitrope to read mice\"") != std::string::npos, c.offersRule)
            << text;
        EXPECT_EQ(text.find("input group"), std::string::npos);
    }
}

} // namespace
} // namespace kv

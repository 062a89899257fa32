// Which backend hears the mouse in each kind of session, and the setting that forces one.
#include <gtest/gtest.h>

#include "mouse/backend_choice.h"
#include "persistence/paths.h"
#include "persistence/settings.h"

namespace kv {
namespace {

TEST(MouseBackendChoice, SessionTypeFromTheEnvironment) {
    const struct {
        const char *xdg, *wayland, *display;
        SessionType expected;
    } cases[] = {
        {"wayland", "wayland-0", ":0", SessionType::Wayland},
        {"x11", nullptr, ":0", SessionType::X11},
        {"x11", "wayland-1", ":1", SessionType::Wayland}, // X11 stated, yet a Wayland display
        {"Wayland", "", ":0", SessionType::Wayland},
        {"tty", nullptr, ":99", SessionType::X11}, // an X server started by hand (Xvfb)
        {nullptr, nullptr, nullptr, SessionType::Unknown},
        {"", "", "", SessionType::Unknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sessionType(c.xdg, c.wayland, c.display), c.expected)
            << (c.xdg ? c.xdg : "-") << " " << (c.wayland ? c.wayland : "-");
}

TEST(MouseBackendChoice, EachSessionAndSetting) {
    using K = MouseBackendKind;
    const auto W = SessionType::Wayland, X = SessionType::X11, U = SessionType::Unknown;
    const struct {
        SessionType session;
        const char* setting;
        bool xDisplay;
        int mice;
        bool deviceSupport;
        K kind;
        bool xwaylandOnly;
    } cases[] = {
        {X, "auto", true, 2, true, K::X11, false}, // X11: nothing changes
        {W, "auto", true, 1, true, K::Devices, false},
        {W, "auto", true, 0, true, K::X11, true}, // no rule installed yet
        {W, "auto", true, 3, false, K::X11, true},
        {W, "auto", false, 0, true, K::None, false},
        {W, "x11", true, 2, true, K::X11, true},
        {X, "devices", true, 0, true, K::Devices, false},
        {X, "devices", true, 1, false, K::X11, false},
        {U, "auto", false, 1, true, K::None, false},
        {W, "bogus", true, 1, true, K::Devices, false}, // an unknown value is "auto"
    };
    for (const auto& c : cases) {
        const MouseBackendChoice choice =
            chooseMouseBackend(c.session, c.setting, c.xDisplay, c.mice, c.deviceSupport);
        EXPECT_EQ(choice.kind, c.kind) << choice.why;
        EXPECT_EQ(choice.xwaylandOnly, c.xwaylandOnly) << choice.why;
        EXPECT_FALSE(choice.why.empty());
    }
}

TEST(MouseBackendChoice, SettingsKeyReadsOlderFilesAsAutomatic) {
    EXPECT_EQ(Settings{}.mouseBackend, "auto");
    const struct {
        const char *stored, *read;
    } values[] = {{"devices", "devices"}, {" X11 ", "x11"}, {"evdev", "auto"}, {"", "auto"}};
    for (const auto& v : values)
        EXPECT_EQ(mouseBackendName(v.stored), v.read) << v.stored;
    // The key is written last, after every key an older version wrote, and read back.
    Settings s;
    s.mouseBackend = "devices";
    const std::string bytes = settingsBytes(s);
    Settings back;
    readSettings(bytes, back, {}, true, PathEnvironment{});
    EXPECT_EQ(back.mouseBackend, "devices");
    const std::string tail = bytes.substr(bytes.size() - 2 * 50);
    std::string ascii;
    for (std::size_t i = 0; i < tail.size(); i += 2)
        ascii += tail[i];
    EXPECT_EQ(ascii, "\nPreferences.MouseBackend                 \tdevices");
}

} // namespace
} // namespace kv

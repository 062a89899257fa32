// The global mouse on a real X server (Xvfb, driven by xdotool): button and wheel events reach the
// hook state, the cursor is read and moved, the desktop is the screen's rectangle.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "mouse/mouse_hook.h"
#include "platform/mouse_x11.h"

namespace kv::platform {
namespace {

// Runs a shell command and returns its standard output.
std::string command(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, p))
            out += buffer;
        pclose(p);
    }
    return out;
}

// Waits up to two seconds for `condition`.
template <class F> bool eventually(F condition) {
    for (int i = 0; i < 200; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

class X11MouseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (DISPLAY is not set)";
        if (std::system("command -v xdotool >/dev/null") != 0)
            GTEST_SKIP() << "xdotool is not installed";
        std::string error;
        mouse = X11Mouse::open(error);
        ASSERT_TRUE(mouse) << error;
    }
    std::unique_ptr<X11Mouse> mouse;
};

TEST_F(X11MouseTest, ClicksAndWheelsReachTheHook) {
    MouseHookState hook;
    std::string message;
    ASSERT_TRUE(installMouseHook(hook, *mouse, message)) << message;
    const struct {
        int xButton;
        int button; // −1: a wheel
    } clicks[] = {
        {1, kButtonLeft}, {2, kButtonMiddle}, {3, kButtonRight}, {8, kButtonX1}, {9, kButtonX2}};
    for (const auto& c : clicks) {
        ASSERT_EQ(std::system(("xdotool click " + std::to_string(c.xButton)).c_str()), 0);
        EXPECT_TRUE(eventually([&] { return hook.presses(c.button) == 1; }))
            << "X button " << c.xButton;
    }
    for (int b = 0; b < kMouseButtons; ++b) {
        EXPECT_TRUE(eventually([&] { return !hook.isDown(b); })) << "button " << b;
        EXPECT_EQ(hook.presses(b), 1u) << "button " << b;
    }

    // Held down, then released.
    ASSERT_EQ(std::system("xdotool mousedown 3"), 0);
    EXPECT_TRUE(eventually([&] { return hook.isDown(kButtonRight); }));
    ASSERT_EQ(std::system("xdotool mouseup 3"), 0);
    EXPECT_TRUE(eventually([&] { return !hook.isDown(kButtonRight); }));

    // Wheels: 4 away from the user, 5 towards; 6 left, 7 right. One event per notch.
    ASSERT_EQ(std::system("xdotool click --repeat 3 --delay 1 4"), 0);
    EXPECT_TRUE(eventually([&] { return hook.vertical.load() == -24; }));
    ASSERT_EQ(std::system("xdotool click 5"), 0);
    EXPECT_TRUE(eventually([&] { return hook.vertical.load() == -16; }));
    ASSERT_EQ(std::system("xdotool click 7 click 7 click 6"), 0);
    EXPECT_TRUE(eventually([&] { return hook.horizontal.load() == 8; }));

    // Reinstalling clears the buttons; after removal nothing arrives.
    ASSERT_TRUE(installMouseHook(hook, *mouse, message)) << message;
    EXPECT_EQ(hook.presses(kButtonLeft), 0u);
    mouse->removeHook();
    ASSERT_EQ(std::system("xdotool click 1"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(hook.presses(kButtonLeft), 0u);
}

TEST_F(X11MouseTest, CursorIsReadAndMovedOnTheDesktop) {
    // The desktop is the screen's rectangle.
    int width = 0, height = 0;
    ASSERT_EQ(std::sscanf(command("xdotool getdisplaygeometry").c_str(), "%d %d", &width, &height),
              2);
    EXPECT_EQ(mouse->desktop(), (DesktopRect{0, 0, width - 1, height - 1}));

    ASSERT_EQ(std::system("xdotool mousemove 100 200"), 0);
    long x = -1, y = -1;
    EXPECT_TRUE(eventually([&] { return mouse->cursorPosition(x, y) && x == 100 && y == 200; }))
        << x << "," << y;

    mouse->warpCursor(width - 2, 7);
    EXPECT_TRUE(mouse->cursorPosition(x, y));
    EXPECT_EQ(x, width - 2);
    EXPECT_EQ(y, 7);
    int sx = -1, sy = -1;
    ASSERT_EQ(std::sscanf(command("xdotool getmouselocation").c_str(), "x:%d y:%d", &sx, &sy), 2);
    EXPECT_EQ(sx, width - 2);
    EXPECT_EQ(sy, 7);
}

} // namespace
} // namespace kv::platform

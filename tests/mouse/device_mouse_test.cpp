// The mouse read from the input devices: recorded event sequences through the cursor estimate, its
// edge stop and re-anchoring, and the hook state the buttons and wheels reach.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "mouse/device_mouse.h"

namespace kv {
namespace {

using E = DeviceEvent;
namespace code = input_code;

E motion(uint64_t t, double dx, double dy) {
    E e;
    e.kind = E::Motion;
    e.timeUs = t;
    e.dx = dx;
    e.dy = dy;
    return e;
}
E button(uint64_t t, uint32_t c, bool pressed) {
    E e;
    e.kind = E::Button;
    e.timeUs = t;
    e.code = c;
    e.pressed = pressed;
    return e;
}
E wheel(uint64_t t, double v120, bool vertical = true) {
    E e;
    e.kind = vertical ? E::VerticalWheel : E::HorizontalWheel;
    e.timeUs = t;
    e.v120 = v120;
    return e;
}

TEST(DeviceMouse, MotionSumsIntoTheEstimateAndStopsAtTheDesktopEdges) {
    DeviceMouseFeed feed;
    MouseHookState hook;
    feed.setDesktop({0, 0, 1279, 799});
    feed.place(1200, 40);
    struct Step {
        E event;
        long x, y; // the estimate after it
    };
    // A recorded flick to the top right corner, then back: the way back starts at the edge.
    const Step steps[] = {
        {motion(1000, 30.4, -10), 1230, 30},  {motion(9000, 30.4, -10), 1261, 20},
        {motion(17000, 30.4, -25), 1279, 0},  {motion(25000, 50, -50), 1279, 0},
        {motion(33000, -10.5, 4), 1269, 4},   {motion(41000, -0.25, 0.25), 1268, 4},
        {motion(49000, -2000, 2000), 0, 799}, {motion(57000, NAN, 3), 0, 799},
    };
    for (const Step& s : steps) {
        feed.feed(s.event, hook);
        long x = 0, y = 0;
        feed.samplerPass(false, 0, 0, x, y);
        EXPECT_EQ(x, s.x) << "at " << s.event.timeUs;
        EXPECT_EQ(y, s.y) << "at " << s.event.timeUs;
    }
    // A smaller desktop brings the estimate inside it.
    feed.setDesktop({0, 0, 639, 479});
    long x = 0, y = 0;
    feed.samplerPass(false, 0, 0, x, y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 479);
}

TEST(DeviceMouse, ReanchoringDrawsTheEstimateInWithinTheBoundNeverInOneJump) {
    // The estimate has drifted far from the true position; the user keeps moving meanwhile.
    DeviceMouseFeed feed;
    MouseHookState hook;
    feed.setDesktop({0, 0, 1919, 1079});
    feed.place(100, 100);
    double trueX = 1100, trueY = 600;
    long x = 100, y = 100;
    int passes = 0;
    for (; passes < 100; ++passes) {
        const double mx = passes < 10 ? 3 : 0; // moving right for the first ten passes
        feed.feed(motion(passes * 10000, mx, 0), hook);
        trueX += mx;
        const long before = x;
        const long beforeY = y;
        feed.samplerPass(true, long(trueX), long(trueY), x, y);
        // The pass's correction beyond the motion stays within the bound (rounding: 1 pixel).
        EXPECT_LE(std::hypot(x - before - mx, y - beforeY), kAnchorStepMax + 1) << passes;
        if (x == long(trueX) && y == long(trueY)) break;
    }
    EXPECT_GT(passes, 10); // more than one pass ...
    EXPECT_LT(passes, 40); // ... but a fraction of a second (100 passes a second)
    // Once there it stays, and a small error is closed exactly.
    feed.samplerPass(true, 1130, 600, x, y);
    EXPECT_EQ(x, 1130);
    feed.samplerPass(false, 0, 0, x, y);
    EXPECT_EQ(x, 1130);
}

// The X server's button numbers the X11 backend would have given for each device button.
TEST(DeviceMouse, ButtonsReachTheHookAsTheX11BackendsNumbers) {
    struct Case {
        uint32_t code;
        int xButton; // 0: not heard
    };
    const Case cases[] = {{code::kLeft, 1},    {code::kMiddle, 2}, {code::kRight, 3},
                          {code::kSide, 8},    {code::kExtra, 9},  {code::kBack, 8},
                          {code::kForward, 9}, {code::kTask, 0},   {0x118, 0},
                          {0x100, 0}};
    for (const Case& c : cases) {
        MouseHookState viaDevice, viaX11;
        DeviceMouseFeed feed;
        for (bool pressed : {true, false, true}) {
            feed.feed(button(0, c.code, pressed), viaDevice);
            HookMessage m;
            int16_t data;
            if (c.xButton && hookEventForXButton(c.xButton, pressed, m, data))
                viaX11.onEvent(m, data);
        }
        uint64_t presses = 0;
        for (int b = 0; b < kMouseButtons; ++b) {
            EXPECT_EQ(viaDevice.isDown(b), viaX11.isDown(b)) << c.code << " button " << b;
            EXPECT_EQ(viaDevice.presses(b), viaX11.presses(b)) << c.code << " button " << b;
            presses += viaDevice.presses(b);
        }
        EXPECT_EQ(presses, c.xButton ? 2u : 0u) << c.code;
    }
}

TEST(DeviceMouse, WheelValuesBecomeWholeNotchesInTheHooksDirection) {
    struct Case {
        const char* what;
        std::vector<E> events;
        double vertical, horizontal; // hook positions after them
        int64_t verticalDeltas, horizontalDeltas;
    };
    std::vector<E> away10, hiResAway, hiResThenBack, tiltRight, thirteen;
    for (int i = 0; i < 10; ++i)
        away10.push_back(wheel(i * 8000, -120));
    for (int i = 0; i < 16; ++i) // a high-resolution wheel: 8 steps of 15 per notch
        hiResAway.push_back(wheel(i * 2000, -15));
    hiResThenBack = {wheel(0, 60), wheel(1, 30), wheel(2, -30), wheel(3, 90), wheel(4, 120)};
    tiltRight = {wheel(0, 120, false), wheel(1, 120, false), wheel(2, -120, false)};
    for (int i = 0; i < 13; ++i)
        thirteen.push_back(wheel(i, -120));
    const Case cases[] = {
        {"ten notches away from the user", away10, -80, 0, 1200, 0},
        {"two notches of a high-resolution wheel", hiResAway, -16, 0, 240, 0},
        {"a part notch rolled back is dropped", hiResThenBack, 8, 0, -120, 0},
        {"tilting right twice, left once", tiltRight, 0, 8, 0, 120},
        {"thirteen notches wrap", thirteen, 96, 0, 1560, 0},
    };
    for (const Case& c : cases) {
        DeviceMouseFeed feed;
        MouseHookState hook;
        for (const E& e : c.events)
            feed.feed(e, hook);
        EXPECT_DOUBLE_EQ(hook.vertical.load(), c.vertical) << c.what;
        EXPECT_DOUBLE_EQ(hook.horizontal.load(), c.horizontal) << c.what;
        EXPECT_EQ(hook.verticalDeltas.load(), c.verticalDeltas) << c.what;
        EXPECT_EQ(hook.horizontalDeltas.load(), c.horizontalDeltas) << c.what;
    }
}

TEST(DeviceMouse, APolledPositionIsCurrentWhileItFollowsTheDevices) {
    PolledAnchor anchor;
    const struct {
        long x, y;
        bool devicesMoved, fresh;
    } polls[] = {
        {500, 300, false, false}, // the first poll may be an old position
        {500, 300, false, false}, // resting, never seen moving: not trusted
        {501, 300, true, true},   // moves with the devices: over an X11 window
        {501, 300, false, true},  // both rest: still where it stopped
        {501, 300, true, false},  // the devices move, it does not: over another application
        {501, 300, false, false}, {501, 299, false, true},
    };
    for (const auto& p : polls)
        EXPECT_EQ(anchor.fresh(p.x, p.y, p.devicesMoved), p.fresh) << p.x << "," << p.y;
}

// The device thread feeds while the sampler re-anchors and reads (run under ThreadSanitizer too).
TEST(DeviceMouse, DeviceThreadAndSamplerShareTheFeed) {
    DeviceMouseFeed feed;
    MouseHookState hook;
    feed.setDesktop({0, 0, 799, 599});
    std::atomic<bool> done{false};
    std::thread device([&] {
        for (int i = 0; i < 20000; ++i) {
            feed.feed(motion(i, (i & 256) ? 7 : -7, (i & 512) ? 5 : -5), hook);
            if (i % 100 == 0) feed.feed(wheel(i, -120), hook);
        }
        done = true;
    });
    PolledAnchor anchor;
    long x = 0, y = 0, passes = 0;
    while (!done || passes < 10) {
        const bool known = anchor.fresh(400 + passes % 3, 300, feed.takeMoved());
        feed.samplerPass(known, 400 + passes % 3, 300, x, y);
        EXPECT_TRUE(x >= 0 && x <= 799 && y >= 0 && y <= 599) << x << "," << y;
        ++passes;
    }
    device.join();
    EXPECT_EQ(hook.verticalDeltas.load(), 200 * 120);
}

} // namespace
} // namespace kv

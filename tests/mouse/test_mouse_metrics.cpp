// The mouse hook's buttons and wheels, and what the sampler makes of cursor positions: the figures
// users rely on when they play the mouse.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "mouse/mouse_hook.h"
#include "mouse/mouse_metrics.h"

namespace kv {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(MouseHook, ButtonEventsCountPressesAndHoldFlags) {
    struct Case {
        HookMessage message;
        int16_t data;
        int button; // −1: nothing may change
        bool down;
    };
    const Case cases[] = {
        {HookMessage::LeftDown, 0, kButtonLeft, true},
        {HookMessage::LeftUp, 0, kButtonLeft, false},
        {HookMessage::MiddleDown, 0, kButtonMiddle, true},
        {HookMessage::RightDown, 0, kButtonRight, true},
        {HookMessage::RightUp, 0, kButtonRight, false},
        {HookMessage::XDown, 1, kButtonX1, true},
        {HookMessage::XDown, 2, kButtonX2, true},
        {HookMessage::XUp, 2, kButtonX2, false},
        {HookMessage::XDown, 3, -1, false}, // numbers other than 1 and 2 change nothing
        {HookMessage::XUp, 0, -1, false},
        {HookMessage::Other, 120, -1, false},
    };
    MouseHookState hook;
    uint64_t presses[kMouseButtons] = {};
    bool down[kMouseButtons] = {};
    for (const Case& c : cases) {
        hook.onEvent(c.message, c.data);
        if (c.button >= 0) {
            if (c.down) ++presses[c.button];
            down[c.button] = c.down;
        }
        for (int b = 0; b < kMouseButtons; ++b) {
            EXPECT_EQ(hook.presses(b), presses[b])
                << "button " << b << " after case " << &c - cases;
            EXPECT_EQ(hook.isDown(b), down[b]) << "button " << b << " after case " << &c - cases;
        }
    }
    EXPECT_EQ(hook.vertical.load(), 0.0);
    EXPECT_EQ(hook.horizontal.load(), 0.0);
    hook.clearButtons();
    for (int b = 0; b < kMouseButtons; ++b) {
        EXPECT_FALSE(hook.isDown(b));
        EXPECT_EQ(hook.presses(b), 0u);
    }
}

TEST(MouseHook, XServerButtonNumbers) {
    struct Case {
        int button;
        bool press;
        bool mapped;
        HookMessage message;
        int16_t data;
    };
    const Case cases[] = {
        {1, true, true, HookMessage::LeftDown, 0},   {1, false, true, HookMessage::LeftUp, 0},
        {2, true, true, HookMessage::MiddleDown, 0}, {3, false, true, HookMessage::RightUp, 0},
        {4, true, true, HookMessage::Wheel, 120},    {5, true, true, HookMessage::Wheel, -120},
        {6, true, true, HookMessage::HWheel, -120},  {7, true, true, HookMessage::HWheel, 120},
        {4, false, false, HookMessage::Other, 0},    {8, true, true, HookMessage::XDown, 1},
        {9, false, true, HookMessage::XUp, 2},       {10, true, false, HookMessage::Other, 0},
        {0, true, false, HookMessage::Other, 0},
    };
    for (const Case& c : cases) {
        HookMessage m = HookMessage::Other;
        int16_t data = 0;
        ASSERT_EQ(hookEventForXButton(c.button, c.press, m, data), c.mapped) << c.button;
        if (!c.mapped) continue;
        EXPECT_EQ(m, c.message) << c.button;
        EXPECT_EQ(data, c.data) << c.button;
    }
}

// A sampler on a 1920 × 1080 desktop with the cursor starting at (x, y).
struct Sampler {
    MouseHookState hook;
    MouseMetrics m;
    SamplerState s;
    SamplerInput in;
    explicit Sampler(long x = 960, long y = 540, platform::DesktopRect d = {}) {
        in.desktop = d;
        in.x = x;
        in.y = y;
        startSampler(s, d, x, y);
    }
    SamplerWarp to(long x, long y) {
        in.x = x;
        in.y = y;
        return samplerPass(s, in, hook, m);
    }
    SamplerWarp by(long dx, long dy) { return to(in.x + dx, in.y + dy); }
    double operator[](int source) const { return m.value(source); }
};

TEST(MouseHook, WheelNotchesWrapWithoutAVelocitySpike) {
    Sampler p;
    for (int i = 0; i < 10; ++i) {
        p.hook.onEvent(HookMessage::Wheel, 120); // away from the user
        p.by(0, 0);
    }
    EXPECT_DOUBLE_EQ(p.hook.vertical.load(), -80);
    EXPECT_DOUBLE_EQ(p[kSourceVerticalScrollPosition], -800);
    const double velocity = p[kSourceVerticalScrollVelocity];
    EXPECT_LT(velocity, 0);
    for (int i = 0; i < 3; ++i)
        p.hook.onEvent(HookMessage::Wheel, 120);
    EXPECT_DOUBLE_EQ(p.hook.vertical.load(), 96); // −104 wrapped
    p.by(0, 0);
    EXPECT_DOUBLE_EQ(p[kSourceVerticalScrollPosition], 960);
    // Three more notches away: the velocity keeps its sign and size, no jump of 200 units.
    EXPECT_LT(p[kSourceVerticalScrollVelocity], 0);
    EXPECT_GT(p[kSourceVerticalScrollVelocity], velocity * 2);

    // Tilting right raises the horizontal position; one event of many notches still lands in
    // range.
    p.hook.onEvent(HookMessage::HWheel, 240);
    EXPECT_DOUBLE_EQ(p.hook.horizontal.load(), 16);
    p.hook.onEvent(HookMessage::HWheel, 32767); // 2184.5 units: eleven turns
    const double h = p.hook.horizontal.load();
    EXPECT_GE(h, -100);
    EXPECT_LE(h, 100);
    EXPECT_NEAR(std::remainder(h - 16 - 32767 / 120.0 * 8, 200), 0, 1e-9);
    EXPECT_NEAR(p.hook.horizontal.load() - p.hook.horizontalPrevious.load(), 32767 / 120.0 * 8 + 16,
                1e-9); // the previous value moved with it
}

TEST(MouseSampler, RestingCursorKeepsDirectionAndSpeedDecays) {
    Sampler p;
    for (int i = 0; i < 4; ++i)
        p.by(5, 0);
    const double direction = p[kSourceDirection], theta = p.m.theta.load();
    double speed = p[kSourceSpeed];
    for (int i = 0; i < 5; ++i) {
        p.by(0, 0);
        EXPECT_NEAR(p[kSourceSpeed], speed * 0.7, 1e-9);
        EXPECT_EQ(p[kSourceSpeedRaw], 0);
        speed = p[kSourceSpeed];
    }
    EXPECT_EQ(p[kSourceDirection], direction);
    EXPECT_EQ(p.m.theta.load(), theta);
    EXPECT_DOUBLE_EQ(p.m.totalDistance.load(), 20);
}

TEST(MouseSampler, StraightMovesGiveTheirDirection) {
    struct Case {
        const char* name;
        long dx, dy;
        double theta, direction, hSigned, hUnsigned, vSigned, vUnsigned;
    };
    const Case cases[] = {
        {"right", 5, 0, 0, -500, 1000, 1000, 0, 500},
        {"up", 0, -5, 1.5 * kPi, 1000, 0, 500, 1000, 1000},
        {"left", -5, 0, kPi, 500, -1000, 0, 0, 500},
        {"down", 0, 5, kPi / 2, 0, 0, 500, -1000, 0},
    };
    for (const Case& c : cases) {
        Sampler p;
        for (int i = 0; i < 3; ++i)
            p.by(c.dx, c.dy);
        EXPECT_EQ(p[kSourceDirection], 0) << c.name << ": not yet 20 pixels";
        p.by(c.dx, c.dy);
        EXPECT_NEAR(p.m.theta.load(), c.theta, 1e-12) << c.name;
        EXPECT_NEAR(p[kSourceDirection], c.direction, 1e-9) << c.name;
        EXPECT_NEAR(p[kSourceDirectionHorizontalSigned], c.hSigned, 1e-9) << c.name;
        EXPECT_NEAR(p[kSourceDirectionHorizontalUnsigned], c.hUnsigned, 1e-9) << c.name;
        EXPECT_NEAR(p[kSourceDirectionVerticalSigned], c.vSigned, 1e-9) << c.name;
        EXPECT_NEAR(p[kSourceDirectionVerticalUnsigned], c.vUnsigned, 1e-9) << c.name;
        EXPECT_NEAR(p[kSourceSpeedRaw], 25, 1e-12) << c.name;
    }
    // Ten short moves also update the direction.
    Sampler p;
    for (int i = 0; i < 10; ++i)
        p.by(1, 1);
    EXPECT_NEAR(p.m.theta.load(), kPi / 4, 1e-12);
}

TEST(MouseSampler, HeadingTakesTheShortWayAcrossZero) {
    EXPECT_DOUBLE_EQ(headingChange(350, 10), 20);
    EXPECT_DOUBLE_EQ(headingChange(10, 350), -20);
    EXPECT_DOUBLE_EQ(headingChange(100, 130), 30);
    EXPECT_DOUBLE_EQ(headingChange(200, 100), -100);

    // Turning through the heading 0: from 10° above the rightward line to 10° below it is a
    // clockwise turn of 20° (negative), seen as Turn Inertia of 0.1 × −20 × 8000 / 180.
    Sampler p;
    const double rad = 10 * kPi / 180;
    p.by(std::lround(200 * std::cos(rad)), -std::lround(200 * std::sin(rad))); // heading ≈ 10°
    p.by(0, 0);
    const double tiBefore = p.s.ti;
    p.by(std::lround(200 * std::cos(rad)), std::lround(200 * std::sin(rad))); // heading ≈ 350°
    const double delta = (p.s.ti - 0.9 * tiBefore) / 0.1;
    EXPECT_NEAR(delta, -20, 0.3);
    EXPECT_NEAR(p[kSourceTurnInertia], p.s.ti * 8 * 1000 / 180, 1e-9);
}

TEST(MouseSampler, PositionRunsAroundTheOrigin) {
    struct Case {
        platform::DesktopRect desktop;
        long originX, originY, x, y;
        double h, v;
    };
    const Case cases[] = {
        {{0, 0, 2000, 1000}, 0, 0, 1000, 500, 0, 0},         // the centre
        {{0, 0, 2000, 1000}, 0, 0, 1, 999, -999, 998},       // near left and bottom edges
        {{0, 0, 2000, 1000}, 100, -50, 1100, 450, 0, 0},     // the origin moved right and up
        {{0, 0, 2000, 1000}, 500, 0, 100, 500, 600, 0},      // left of the origin: wraps round
        {{-1000, 0, 1000, 1000}, 0, 0, -999, 1, -999, -998}, // a monitor left of the primary
        {{-1000, 0, 1000, 1000}, 0, 0, 1000, 1000, 1000, 1000},
    };
    for (const Case& c : cases) {
        Sampler p(c.x + 1, c.y + 1, c.desktop);
        p.in.originX = c.originX;
        p.in.originY = c.originY;
        p.to(c.x, c.y);
        EXPECT_NEAR(p[kSourceHorizontalPosition], c.h, 1e-9) << c.x << "," << c.y;
        EXPECT_NEAR(p[kSourceVerticalPosition], c.v, 1e-9) << c.x << "," << c.y;
    }
}

TEST(MouseSampler, CursorWrapsAtTheEdgesWithoutSpeed) {
    Sampler p(10, 500);
    EXPECT_FALSE(p.to(5, 500).moved);
    const SamplerWarp w = p.to(0, 500); // reaches the left edge
    ASSERT_TRUE(w.moved);
    EXPECT_EQ(w.x, 1918);
    EXPECT_EQ(w.y, 500);
    const double speed = p[kSourceSpeed], hv = p[kSourceHorizontalVelocity];
    p.to(1918, 500); // where the cursor now is: no movement
    EXPECT_EQ(p[kSourceSpeedRaw], 0);
    EXPECT_NEAR(p[kSourceSpeed], speed * 0.7, 1e-9);
    EXPECT_NEAR(p[kSourceHorizontalVelocity], hv * 0.8, 1e-9);

    const SamplerWarp corner = p.to(1919, 1079); // the bottom-right corner
    EXPECT_TRUE(corner.moved);
    EXPECT_EQ(corner.x, 1);
    EXPECT_EQ(corner.y, 1);
    p.in.wrap = false;
    EXPECT_FALSE(p.to(0, 0).moved);
}

} // namespace
} // namespace kv

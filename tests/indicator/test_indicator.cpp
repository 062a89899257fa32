// The 3D mouse-status indicator: the animation state's steps, and frames rendered off-screen and
// checked through their pixels.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "mouse/indicator_offscreen.h"
#include "mouse/mouse_metrics.h"

namespace kv {
namespace {

constexpr double kPi = 3.14159265358979323846;

// ---- The animation state, without GL ----

TEST(IndicatorState, PhasesTravelAndRestartAtTheEnds) {
    IndicatorState s;
    s.phase[0] = 2 * kPi - 0.01; // crosses 2π: restarts at 0
    s.phase[1] = 0.01;           // falls below 0: restarts at 2π
    s.phase[2] = 1;
    IndicatorInputs in;
    in.horizontalPosition = 1000; // +0.02 per frame
    in.verticalPosition = 1000;   // −0.03
    in.direction = 500;           // +0.01
    stepIndicator(s, in);
    EXPECT_EQ(s.phase[0], 0);
    EXPECT_EQ(s.phase[1], 2 * kPi);
    EXPECT_DOUBLE_EQ(s.phase[2], 1.01);
    // Fast mode draws twice as often, so each frame travels 1/1.8 as far; turning adds to all.
    in.fast = true;
    in.turnInertia = 1000; // +0.1 for each phase (the second turns the other way)
    stepIndicator(s, in);
    EXPECT_DOUBLE_EQ(s.phase[0], 0.12 / 1.8);
    EXPECT_DOUBLE_EQ(s.phase[1], 2 * kPi - 0.13 / 1.8);
    EXPECT_DOUBLE_EQ(s.phase[2], 1.01 + 0.11 / 1.8);
}

TEST(IndicatorState, ArrowGaugeAndViewStayWithinTheirLimits) {
    struct Case {
        double theta, speed, acceleration;
        double arrowAngle, halfWidth, gaugeAngle, fieldOfView;
    } cases[] = {
        {0, 0, 0, -90, 0.15, -220, 37},           // rightward: turned to point right
        {kPi / 2, 1000, 0, -180, 0.10, -400, 37}, // downward: turned to point down
        {kPi, 1e6, 0, -270, 0.06, -540, 37},      // the needle stops at 320°, the arrow at 0.06
        {0, -1e4, 0, -90, 0.30, -220, 37},        // never wider than 0.3, never below −220
        {0, 0, 1e6, -90, 0.15, -220, 179},        // the view never turns inside out
        {0, 0, -1e6, -90, 0.15, -220, 1},
    };
    for (const Case& c : cases) {
        IndicatorState s;
        s.gauge = c.speed / 1000; // settled at this speed
        s.accel = c.acceleration / -450;
        IndicatorInputs in;
        in.theta = c.theta;
        in.speed = c.speed;
        in.acceleration = c.acceleration;
        IndicatorPose p = stepIndicator(s, in);
        SCOPED_TRACE(c.speed);
        EXPECT_NEAR(p.arrowAngle, c.arrowAngle, 1e-9);
        EXPECT_NEAR(p.arrowHalfWidth, c.halfWidth, 1e-9);
        EXPECT_NEAR(p.gaugeAngle, c.gaugeAngle, 1e-9);
        EXPECT_NEAR(p.fieldOfView, c.fieldOfView, 1e-9);
    }
}

TEST(IndicatorState, OdometerTurnsHalfADegreePerPixelAndWrapsForward) {
    IndicatorState s;
    IndicatorInputs in;
    in.totalDistance = 180; // 90°: the needle follows halfway each frame
    EXPECT_DOUBLE_EQ(stepIndicator(s, in).odometerAngle, -45);
    EXPECT_DOUBLE_EQ(stepIndicator(s, in).odometerAngle, -67.5);
    // From 359.5° on to 360° (= 0°) and 0.5°: the needle passes forward, never swinging back.
    s.odometer = 359.5;
    in.totalDistance = 720;
    EXPECT_DOUBLE_EQ(stepIndicator(s, in).odometerAngle, 0.25);
    in.totalDistance = 721;
    EXPECT_DOUBLE_EQ(stepIndicator(s, in).odometerAngle, -0.125);
    // Unusable distances leave the needle at 0 rather than misbehaving.
    s.odometer = 0;
    in.totalDistance = NAN;
    EXPECT_EQ(stepIndicator(s, in).odometerAngle, 0);
}

TEST(IndicatorState, RingTubeIsClosedAndSwellsAwayFromThePhases) {
    double phase[3] = {0.3, 2.0, 4.5};
    RingSection r[kRingSegments + 1];
    ringSections(phase, r);
    EXPECT_NEAR(r[0].angle + 2 * kPi, r[kRingSegments].angle, 1e-12);
    EXPECT_EQ(r[0].radius, r[kRingSegments].radius);
    // All phases at the top: the tube has its rest radius there and is fattest opposite.
    double top[3] = {0, 0, 0};
    ringSections(top, r);
    EXPECT_DOUBLE_EQ(r[kRingSegments].radius, 0.11);
    EXPECT_DOUBLE_EQ(r[kRingSegments].angle, 2 * kPi);
    EXPECT_GT(r[12].radius, 0.11);
    EXPECT_GT(r[24].radius, r[12].radius);
    EXPECT_LT(r[24].angle, kPi); // twisted back where it swells
}

TEST(IndicatorState, InputsComeFromTheMetrics) {
    MouseMetrics m;
    m.set(kSourceDirection, 1);
    m.set(kSourceTurnInertia, 2);
    m.set(kSourceSpeed, 3);
    m.set(kSourceAcceleration, 4);
    m.set(kSourceHorizontalPosition, 5);
    m.set(kSourceVerticalPosition, 6);
    m.set(kSourceSpeedRaw, 99);
    m.theta = 0.5;
    m.totalDistance = 700;
    IndicatorInputs in = indicatorInputs(m, true);
    EXPECT_EQ(in.direction, 1);
    EXPECT_EQ(in.turnInertia, 2);
    EXPECT_EQ(in.speed, 3);
    EXPECT_EQ(in.acceleration, 4);
    EXPECT_EQ(in.horizontalPosition, 5);
    EXPECT_EQ(in.verticalPosition, 6);
    EXPECT_EQ(in.theta, 0.5);
    EXPECT_EQ(in.totalDistance, 700);
    EXPECT_TRUE(in.fast);
}

// ---- Frames ----

constexpr int kW = 800, kH = 480;

// Colours that tell the parts apart: a green background, a red arrow tip and ring, and black
// needles and hub; the dials are then grey (equal channels of at least 40).
IndicatorColours testColours() {
    IndicatorColours c;
    c.dialogBackground = {0, 255, 0};
    c.moduleBackground = {255, 0, 0};
    c.moduleText = {0, 0, 0};
    c.buttonFocusedBackground = {255, 255, 255};
    c.buttonDisabledText = {0, 0, 255};
    c.progressBarForeground = {0, 0, 0};
    c.progressBarBackground = {128, 128, 128};
    c.moduleDropdownBackground = {0, 0, 0};
    return c;
}

bool black(Rgb p) {
    return p.r < 25 && p.g < 25 && p.b < 25;
}
bool needle(Rgb p) {
    return p.r < 25 && p.b < 25;
} // black toward the green background

// Where a point of the scene (view coordinates, before the camera's own tilt) lands on the
// frame while the scene is at rest: the camera looks 0.7 above it, tilted 6° about x, with a
// vertical field of view of 37°.
struct Px {
    int x, y;
};
Px project(double x, double y, double z) {
    double t = 6 * kPi / 180;
    double y1 = y * std::cos(t) - z * std::sin(t) - 0.7;
    double z1 = y * std::sin(t) + z * std::cos(t);
    double f = 1 / std::tan(18.5 * kPi / 180);
    double nx = f / (double(kW) / kH) * x / -z1, ny = f * y1 / -z1;
    return {int((nx + 1) / 2 * kW), int((1 - ny) / 2 * kH)};
}
// A point at distance r from the centre (cx, cy) of a dial or the arrow, in the direction a
// needle turned by `degrees` (counter-clockwise, from pointing up) points.
Px along(double cx, double cy, double z, double degrees, double r) {
    double a = degrees * kPi / 180;
    return project(cx - r * std::sin(a), cy + r * std::cos(a), z);
}

class IndicatorFrames : public ::testing::Test {
  protected:
    IndicatorFrames() : view(kW, kH, testColours().dialogBackground) {}
    IndicatorFrame render(IndicatorState& s, const IndicatorInputs& in) {
        IndicatorFrame f;
        EXPECT_TRUE(view.render(s, in, testColours(), f)) << view.error();
        return f;
    }
    OffscreenIndicator view;
};

TEST_F(IndicatorFrames, ContextDrawsAndTheFrameLeavesNoError) {
    ASSERT_TRUE(view.ok()) << view.error();
    ASSERT_NE(glGetString(GL_RENDERER), nullptr);
    Rgb bg = testColours().dialogBackground;
    EXPECT_TRUE(indicatorContextWorks(kW, kH, bg, {255, 0, 255}));
    EXPECT_TRUE(indicatorContextWorks(kW, kH, bg, bg)); // nothing to tell apart: accepted
    IndicatorState s;
    IndicatorInputs in;
    in.speed = 900;
    in.turnInertia = 300;
    in.totalDistance = 12345;
    render(s, in);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(IndicatorFrames, BackgroundRingAndHubWhereTheSceneHasThem) {
    IndicatorState s;
    IndicatorFrame f = render(s, {});
    Rgb bg = testColours().dialogBackground;
    for (Px p : {Px{0, 0}, Px{kW - 1, 0}, Px{0, kH - 1}, Px{kW - 1, kH - 1}})
        EXPECT_EQ(f.pixel(p.x, p.y), bg);
    // The ring lies at radius 1.4 around the centre; inside and outside it the background shows.
    for (double degrees : {90.0, 180.0, 270.0}) {
        SCOPED_TRACE(degrees);
        Px on = along(0, 0, -6, degrees, 1.4), in = along(0, 0, -6, degrees, 1.0),
           out = along(0, 0, -6, degrees, 1.8);
        EXPECT_NE(f.pixel(on.x, on.y), bg);
        EXPECT_EQ(f.pixel(in.x, in.y), bg);
        EXPECT_EQ(f.pixel(out.x, out.y), bg);
    }
    // The hub (at rest in the colour of module text) fills the centre beside the arrow.
    Px hub = project(0, 0.25, -7);
    EXPECT_TRUE(black(f.pixel(hub.x, hub.y)));
}

TEST_F(IndicatorFrames, ArrowPointsTheWayTheCursorTravels) {
    // θ clockwise on screen from rightward; the tip is red, behind the notched tail the hub shows.
    for (double degrees : {0.0, 90.0, 180.0, 270.0, 45.0}) {
        SCOPED_TRACE(degrees);
        IndicatorState s;
        IndicatorInputs in;
        in.theta = degrees * kPi / 180;
        IndicatorFrame f = render(s, in);
        double turned = -degrees - 90;
        Px tip = along(0, 0, -6.99, turned, 0.18), tail = along(0, 0, -6.99, turned, -0.18);
        Rgb t = f.pixel(tip.x, tip.y);
        EXPECT_TRUE(t.r > 120 && t.b < 60) << int(t.r) << "," << int(t.g) << "," << int(t.b);
        EXPECT_TRUE(black(f.pixel(tail.x, tail.y)));
    }
}

TEST_F(IndicatorFrames, GaugeNeedleSweepsWithTheSpeed) {
    struct Case {
        double speed, turned;
    } cases[] = {{0, -220}, {1000, -400}, {1500, -490}, {1e6, -540}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.speed);
        IndicatorState s;
        s.gauge = c.speed / 1000;
        IndicatorInputs in;
        in.speed = c.speed;
        IndicatorFrame f = render(s, in);
        Px tip = along(0.8, 0.55, -8.9, c.turned, 0.25);
        Px back = along(0.8, 0.55, -8.9, c.turned, -0.25);
        Rgb t = f.pixel(tip.x, tip.y), b = f.pixel(back.x, back.y);
        EXPECT_TRUE(needle(t)) << int(t.r) << "," << int(t.g) << "," << int(t.b);
        EXPECT_FALSE(needle(b)) << int(b.r) << "," << int(b.g) << "," << int(b.b);
    }
}

TEST_F(IndicatorFrames, OdometerNeedleTurnsWithTheDistance) {
    // Half a degree per pixel: 0, 90 px = 45°, 180 px = 90°, 719 px = 359.5°.
    for (double distance : {0.0, 90.0, 180.0, 719.0}) {
        SCOPED_TRACE(distance);
        IndicatorState s;
        s.odometer = distance / 2; // settled
        IndicatorInputs in;
        in.totalDistance = distance;
        IndicatorFrame f = render(s, in);
        double turned = -distance / 2;
        for (double r : {0.1, -0.1}) {
            Px on = along(-0.772, 0.42, -9.4, turned, r);
            Px across = along(-0.772, 0.42, -9.4, turned + 90, r);
            EXPECT_TRUE(needle(f.pixel(on.x, on.y)));
            EXPECT_FALSE(needle(f.pixel(across.x, across.y)));
        }
    }
}

TEST(IndicatorOffscreen, RefusesAnEmptyViewAndWritesAPicture) {
    OffscreenIndicator empty(0, 10, {});
    EXPECT_FALSE(empty.ok());
    EXPECT_FALSE(empty.error().empty());
    IndicatorState s;
    IndicatorFrame f;
    EXPECT_FALSE(empty.render(s, {}, {}, f));
    EXPECT_FALSE(writeFramePng(f, KV_BINARY_DIR "/indicator-empty.png"));

    OffscreenIndicator view(40, 30, IndicatorColours{}.dialogBackground);
    ASSERT_TRUE(view.ok()) << view.error();
    ASSERT_TRUE(view.render(s, {}, {}, f));
    std::string path = KV_BINARY_DIR "/indicator-test-frame.png";
    ASSERT_TRUE(writeFramePng(f, path));
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(bytes.size(), 33u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(bytes.substr(12, 4), "IHDR");
    EXPECT_EQ(std::string(bytes.data() + 16, 8), std::string("\0\0\0\x28\0\0\0\x1e", 8)); // 40 × 30
    // Stored blocks: 30 rows of 1 + 40 × 3 bytes, plus the PNG and deflate framing.
    EXPECT_EQ(bytes.size(), 8u + 25 + (12 + 2 + 5 + 30 * 121 + 4) + 12);
    EXPECT_FALSE(writeFramePng(f, KV_BINARY_DIR "/no-such-folder/frame.png"));
}

} // namespace
} // namespace kv

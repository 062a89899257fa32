#include "mouse/indicator_renderer.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <cmath>

#include "mouse/mouse_metrics.h"

namespace kv {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2 * kPi;
constexpr double kDegree = kPi / 180;

// A colour being mixed: channels as doubles, truncated to bytes before use.
struct Mix {
    double r, g, b;
};
Mix operator*(Rgb c, double k) {
    return {c.r * k, c.g * k, c.b * k};
}
Mix operator*(Mix c, double k) {
    return {c.r * k, c.g * k, c.b * k};
}
Mix operator+(Mix a, Mix b) {
    return {a.r + b.r, a.g + b.g, a.b + b.b};
}
Mix operator+(Mix a, double k) {
    return {a.r + k, a.g + k, a.b + k};
}
Mix grey(double v) {
    return {v, v, v};
}
Mix mix(Rgb c) {
    return {double(c.r), double(c.g), double(c.b)};
}

std::uint8_t byteOf(double v) {
    return std::uint8_t(std::clamp(int(v), 0, 255));
}
Rgb bytes(Mix m) {
    return {byteOf(m.r), byteOf(m.g), byteOf(m.b)};
}
Rgb half(Rgb a, Rgb b) {
    return bytes(a * 0.5 + b * 0.5);
}

void colour(Rgb c) {
    glColor3f(c.r / 255.0f, c.g / 255.0f, c.b / 255.0f);
}
void vertex(double x, double y, double z) {
    glVertex3f(float(x), float(y), float(z));
}

double wrapPhase(double p) {
    if (p > kTwoPi) return 0;
    if (p < 0) return kTwoPi;
    return p;
}

// Angular distance of two angles (radians), 0..π.
double angularDistance(double a, double b) {
    if (a < 0)
        a += kTwoPi;
    else if (a > kTwoPi)
        a -= kTwoPi;
    if (b < 0)
        b += kTwoPi;
    else if (b > kTwoPi)
        b -= kTwoPi;
    double d = std::fabs(a - b);
    return d > kPi ? kTwoPi - d : d;
}

RingSection ringSectionAt(const double phase[3], double w) {
    double d1 = angularDistance(phase[0], w), d2 = angularDistance(phase[1], w),
           d3 = angularDistance(phase[2], w);
    double r = 0.11 - 0.0001 * std::pow(d1, 5) + 0.001 * std::pow(d2, 3) + 0.0004 * std::pow(d3, 4);
    return {w - (r - 0.11) * 4, r};
}

// A point of the tube: ring position psi, cross-section angle beta, tube radius r.
void tubeVertex(const RingSection& s, double beta) {
    double out = std::sin(beta) * s.radius + 1.4;
    vertex(out * std::sin(s.angle), out * std::cos(s.angle), std::cos(beta) * s.radius);
}

// A dial of 32 sectors at depth z with side walls from z to zFront and to zBack.
void drawDial(double radius, double z, double zFront, double zBack, Rgb centre, Rgb rim, Rgb wall) {
    constexpr double step = kPi / 16;
    for (int i = 0; i < 32; ++i) {
        double a0 = i * step, a1 = (i + 1) * step;
        double x0 = radius * std::sin(a0), y0 = radius * std::cos(a0);
        double x1 = radius * std::sin(a1), y1 = radius * std::cos(a1);
        glBegin(GL_TRIANGLES);
        colour(centre);
        vertex(0, 0, z);
        colour(rim);
        vertex(x0, y0, z);
        vertex(x1, y1, z);
        glEnd();
        for (double zEnd : {zFront, zBack}) {
            glBegin(GL_POLYGON);
            colour(wall);
            vertex(x0, y0, z);
            vertex(x1, y1, z);
            vertex(x1, y1, zEnd);
            vertex(x0, y0, zEnd);
            glEnd();
        }
    }
}

} // namespace

IndicatorInputs indicatorInputs(const MouseMetrics& m, bool fastMode) {
    IndicatorInputs in;
    in.direction = m.value(kSourceDirection);
    in.turnInertia = m.value(kSourceTurnInertia);
    in.speed = m.value(kSourceSpeed);
    in.acceleration = m.value(kSourceAcceleration);
    in.horizontalPosition = m.value(kSourceHorizontalPosition);
    in.verticalPosition = m.value(kSourceVerticalPosition);
    in.theta = m.theta.load(std::memory_order_relaxed);
    in.totalDistance = m.totalDistance.load(std::memory_order_relaxed);
    in.fast = fastMode;
    return in;
}

IndicatorPose stepIndicator(IndicatorState& s, const IndicatorInputs& in) {
    // The ring's phases travel with the position, the direction and the turning.
    double f = in.turnInertia * 0.1 / 1000;
    double w = in.fast ? 1.8 : 1.0;
    s.phase[0] = wrapPhase(s.phase[0] + (in.horizontalPosition / 1000 * 0.02 + f) / w);
    s.phase[1] = wrapPhase(s.phase[1] - (in.verticalPosition / 1000 * 0.03 + f) / w);
    s.phase[2] = wrapPhase(s.phase[2] + (in.direction / 1000 * 0.02 + f) / w);

    s.turn = in.turnInertia / 4.85 * 0.07 + s.turn * 0.93;
    s.accel = in.acceleration / -1000 / 0.45 * 0.07 + s.accel * 0.93;
    double h = std::min(std::fabs(in.speed / 1000 / 1.5), 1.0);
    s.glow = h * 0.1 + s.glow * 0.9;
    s.gauge = in.speed / 1000 * 0.07 + s.gauge * 0.93;

    IndicatorPose p;
    // A violent flick must not turn the view inside out or collapse it.
    p.fieldOfView = std::clamp(37 - s.accel, 1.0, 179.0);
    p.arrowAngle = in.theta / -kPi * 180 - 90;
    p.arrowHalfWidth = std::clamp(0.15 - in.speed / 1000 / 20, 0.06, 0.3);
    p.gaugeAngle = -std::clamp(s.gauge * 180, 0.0, 320.0) - 220;

    // Half a degree per pixel travelled; the needle follows halfway each frame and passes
    // forward across 360°/0° rather than swinging back.
    double d = std::isfinite(in.totalDistance) ? in.totalDistance * 5 : 0;
    std::int64_t tenths = std::int64_t(std::clamp(d, -9e18, 9e18)) % 3600;
    if (tenths < 0) tenths += 3600;
    double o = tenths / 10.0;
    double previous = s.odometer > o ? s.odometer - 360 : s.odometer;
    s.odometer = o * 0.5 + previous * 0.5;
    p.odometerAngle = -s.odometer;
    p.odometerHalfLength = std::min(std::fabs(in.speed / 1000 / 10 + 0.16), 0.35);
    p.odometerWidth =
        std::clamp(std::fabs(p.odometerHalfLength * 0.125 * in.speed / 1000), 0.02, 0.08);
    return p;
}

void ringSections(const double phase[3], RingSection out[kRingSegments + 1]) {
    for (int i = 1; i <= kRingSegments; ++i)
        out[i] = ringSectionAt(phase, i * kPi / 24);
    // The first segment starts where the last one ends, one turn earlier, so the tube closes.
    out[0] = {out[kRingSegments].angle - kTwoPi, out[kRingSegments].radius};
}

void drawIndicatorFrame(IndicatorState& s, const IndicatorInputs& in, const IndicatorColours& c,
                        int width, int height) {
    IndicatorPose p = stepIndicator(s, in);
    const Rgb bg = c.dialogBackground;

    glClearColor(bg.r / 255.0f, bg.g / 255.0f, bg.b / 255.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    // The camera sways with the turning and zooms with the acceleration.
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(p.fieldOfView, double(std::max(width, 1)) / std::max(height, 1), 0.1, 100);
    glTranslatef(float(s.turn / 150), float(std::fabs(s.turn / 1000) - 0.7), 0.0f);
    glRotatef(float(s.turn / 15), 0, 1, 0);
    glRotatef(float(s.turn / -70), 0, 0, 1);
    glRotatef(6, 1, 0, 0);
    glMatrixMode(GL_MODELVIEW);

    // Arrow: a dart pointing the way the cursor travels, narrowing as the speed rises.
    glLoadIdentity();
    glTranslatef(0, 0, -6);
    glRotatef(float(p.arrowAngle), 0, 0, 1);
    glBegin(GL_POLYGON);
    colour(c.moduleBackground);
    vertex(0, 0.3, -0.99);
    colour(c.buttonDisabledText);
    vertex(-p.arrowHalfWidth, -0.3, -0.99);
    colour(bg);
    vertex(0, 0, -0.99);
    colour(c.buttonDisabledText);
    vertex(p.arrowHalfWidth, -0.3, -0.99);
    glEnd();

    // Colours that glow with the speed.
    const double l = s.glow, m = 1 - l;
    const Rgb ring = bytes(c.moduleBackground * m + mix({255, 130, 20}) * l);
    const Rgb accent = bytes(c.progressBarForeground * l + c.moduleText * m);
    const Rgb dial = bytes(c.moduleDropdownBackground * l + c.moduleText * m);

    // Ring, hub and spokes turn together with the turning.
    glLoadIdentity();
    glTranslatef(0, 0, -6);
    glRotatef(float(s.turn * 2), 0, 0, 1);

    RingSection sections[kRingSegments + 1];
    ringSections(s.phase, sections);
    const Rgb ringShade = half(c.progressBarBackground, ring);
    const Rgb ringInner = half(c.moduleText, accent);
    glBegin(GL_TRIANGLES);
    for (int i = 1; i <= kRingSegments; ++i) {
        const RingSection &prev = sections[i - 1], &cur = sections[i];
        for (int k = 1; k <= 8; ++k) {
            double beta = k * 45 * kDegree, before = (k - 1) * 45 * kDegree;
            colour(ring);
            tubeVertex(cur, before);
            tubeVertex(cur, beta);
            colour(ringShade);
            tubeVertex(prev, beta);
            colour(ringInner);
            tubeVertex(prev, before);
            tubeVertex(cur, before);
            tubeVertex(prev, beta);
        }
    }
    glEnd();

    // Hub: a disc with a tube receding into the view.
    const Rgb hub = bytes(c.moduleText * (1 - l / 2) + mix({0, 100, 100}) * (l / 2));
    colour(hub);
    for (int i = 0; i < 32; ++i) {
        double a0 = i * kPi / 16, a1 = (i + 1) * kPi / 16;
        double x0 = 0.4 * std::sin(a0), y0 = 0.4 * std::cos(a0);
        double x1 = 0.4 * std::sin(a1), y1 = 0.4 * std::cos(a1);
        glBegin(GL_TRIANGLES);
        vertex(0, 0, -1);
        vertex(x0, y0, -1);
        vertex(x1, y1, -1);
        glEnd();
        glBegin(GL_POLYGON);
        vertex(x0, y0, -1);
        vertex(x1, y1, -1);
        vertex(x1, y1, -13);
        vertex(x0, y0, -13);
        glEnd();
    }

    // Two spokes from the hub to the ring.
    const double a = l / 2 + 0.1;
    const Rgb spokeInner = bytes(c.buttonFocusedBackground * a + c.moduleText * (1 - a));
    auto at = [](double radius, double degrees, double dy, double z) {
        vertex(radius * std::sin(degrees * kDegree), radius * std::cos(degrees * kDegree) + dy, z);
    };
    glBegin(GL_POLYGON);
    colour(spokeInner);
    at(0.4, 95, 0.1, -1.01);
    at(0.4, 125, 0, -1.01);
    colour(c.moduleBackground);
    at(1.4, 125, 0, -0.01);
    at(1.4, 95, 0, -0.01);
    glEnd();
    glBegin(GL_POLYGON);
    colour(spokeInner);
    at(0.4, 235, 0, -1.01);
    at(0.4, 265, 0.1, -1.01);
    colour(c.moduleBackground);
    at(1.4, 265, 0, -0.01);
    at(1.4, 235, 0, -0.01);
    glEnd();

    // Speed gauge: a dial whose needle sweeps up to 320° with the speed.
    const double k = (1 - l) * 0.5;
    const Rgb wall = bytes(ring * (1 - k)); // the ring colour darkened
    glLoadIdentity();
    glTranslatef(0.8f, 0.55f, -5);
    {
        double cg = (1 - l) * 0.4;
        drawDial(0.5, -4, -3.6, -5.5, bytes(accent * 0.6 + 40),
                 bytes(dial * (1 - cg) + grey(250 * cg)), wall);
    }
    glRotatef(float(p.gaugeAngle), 0, 0, 1);
    glBegin(GL_POLYGON);
    colour(accent);
    vertex(0, 0.45, -3.9);
    colour(bg);
    vertex(-0.1125, -0.45, -3.9);
    colour(dial);
    vertex(0, 0, -3.9);
    colour(bg);
    vertex(0.1125, -0.45, -3.9);
    glEnd();

    // Odometer: a dial whose double needle turns with the distance travelled.
    glLoadIdentity();
    glTranslatef(-0.772f, 0.42f, -5.5f);
    {
        double co = (1 - l) * 0.5;
        drawDial(0.4, -4, -3.68, -5.2, bytes(dial * 0.6 + 40),
                 bytes(accent * (1 - co) + grey(250 * co)), wall);
    }
    glRotatef(float(p.odometerAngle), 0, 0, 1);
    const double hl = p.odometerHalfLength, iw = p.odometerWidth;
    for (double sign : {1.0, -1.0}) {
        glBegin(GL_POLYGON);
        colour(dial);
        vertex(2 * iw * sign, hl * sign, -3.9);
        colour(bg);
        vertex(-2 * iw * sign, hl * sign, -3.9);
        colour(accent);
        vertex(-iw * sign, 0, -3.9);
        vertex(iw * sign, 0, -3.9);
        glEnd();
    }
}

void prepareIndicatorContext(int width, int height, Rgb background) {
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    glViewport(0, 0, width, height == 0 ? 1 : height);
    glMatrixMode(GLenum(mode));
    glShadeModel(GL_SMOOTH);
    glClearColor(background.r / 255.0f, background.g / 255.0f, background.b / 255.0f, 0.0f);
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
}

bool indicatorContextWorks(int width, int height, Rgb background, Rgb text) {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(100, double(std::max(width, 1)) / std::max(height, 1), 0.1, 100);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0, 0, -6);
    glBegin(GL_TRIANGLES);
    colour(text);
    vertex(1, 1, 0);
    vertex(1, -1, 0);
    vertex(-1, 0, 0);
    glEnd();
    glFinish();
    std::uint8_t corner[4] = {}, centre[4] = {};
    glReadPixels(0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, corner);
    glReadPixels(width / 2, height / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, centre);
    bool differ = corner[0] != centre[0] || corner[1] != centre[1] || corner[2] != centre[2];
    return (differ || background == text) && glGetError() == GL_NO_ERROR;
}

void readIndicatorPixels(int width, int height, std::uint8_t* bgra) {
    glFinish();
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, width, height, GL_BGRA, GL_UNSIGNED_BYTE, bgra);
}

} // namespace kv

#pragma once
// The 3D mouse-status indicator: one frame of the animated scene (the status wheel with its three
// travelling phases, hub, spokes, direction arrow, speed gauge and odometer dial), drawn with the
// legacy fixed pipeline and GLU on whatever context is current. The only part of src/mouse that
// touches OpenGL.
#include <cstdint>

namespace kv {

struct MouseMetrics;

/// One colour preference: red, green, blue bytes.
struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

/// The eight colour preferences the indicator is painted with (defaults: the settings file's).
struct IndicatorColours {
    Rgb dialogBackground{0xFF, 0xF5, 0xE8};         // background of the whole view
    Rgb moduleBackground{0xD5, 0xD5, 0xE6};         // ring at rest, arrow tip, spokes' outer ends
    Rgb moduleText{0x00, 0x00, 0x00};               // hub, accents at rest
    Rgb buttonFocusedBackground{0xA1, 0x58, 0x90};  // spokes' inner ends when glowing
    Rgb buttonDisabledText{0xC8, 0xC8, 0xC8};       // arrow tail
    Rgb progressBarForeground{0xFF, 0xB0, 0x30};    // accents when glowing
    Rgb progressBarBackground{0x5A, 0x68, 0x2E};    // the ring's shading
    Rgb moduleDropdownBackground{0xB9, 0xFF, 0x93}; // dials when glowing
};

/// What one frame reads from the mouse metrics (a snapshot, so a frame sees one consistent set).
struct IndicatorInputs {
    double direction = 0;          // direction source, −500..1500
    double turnInertia = 0;        // turn inertia source
    double speed = 0;              // speed source (smoothed pixels per pass × 5)
    double acceleration = 0;       // acceleration source
    double horizontalPosition = 0; // −1000..1000
    double verticalPosition = 0;   // −1000..1000
    double theta = 0;              // direction of travel, radians, clockwise from rightward
    double totalDistance = 0;      // pixels travelled
    bool fast = false;             // fast status mode: frames come twice as often
};

/// Snapshot of the metrics for one frame. Mouse status thread.
IndicatorInputs indicatorInputs(const MouseMetrics& m, bool fastMode);

/// Animation state carried from frame to frame for the life of the display (mouse status thread
/// only). All start at 0.
struct IndicatorState {
    double phase[3] = {0, 0, 0}; // the ring's travelling phases, radians 0..2π
    double turn = 0;             // smoothed turn inertia (tilts and swings the scene)
    double accel = 0;            // smoothed acceleration (widens or narrows the field of view)
    double glow = 0;             // 0..1, rises with speed
    double gauge = 0;            // smoothed speed for the gauge needle
    double odometer = 0;         // odometer needle angle, degrees
};

/// Everything a frame draws that follows from the state and the inputs: the state after this
/// frame's step, plus the derived angles and sizes. Computed without GL.
struct IndicatorPose {
    double fieldOfView; // vertical, degrees
    double arrowAngle;  // rotation of the arrow about the view axis, degrees
    double arrowHalfWidth;
    double gaugeAngle;    // rotation of the gauge needle, degrees
    double odometerAngle; // rotation of the odometer needle, degrees
    double odometerHalfLength, odometerWidth;
};

/// Advances the animation state by one frame and returns the frame's pose. Mouse status thread.
IndicatorPose stepIndicator(IndicatorState& s, const IndicatorInputs& in);

/// One cross-section of the ring: where it sits around the ring (radians, after the twist) and
/// the tube's radius there.
struct RingSection {
    double angle, radius;
};
constexpr int kRingSegments = 48;

/// The ring's cross-sections for the given phases: entry 0 is where the first segment starts,
/// entries 1..48 the ends of the 48 segments (every 7.5°). The tube is closed: entry 0 is the
/// same section as entry 48.
void ringSections(const double phase[3], RingSection out[kRingSegments + 1]);

/// Draws one complete frame into the current context's draw buffer: steps the state, clears to
/// the background and draws the scene. The caller has set the viewport to width × height and the
/// GL state of prepareIndicatorContext. Mouse status thread (the context's thread).
void drawIndicatorFrame(IndicatorState& s, const IndicatorInputs& in, const IndicatorColours& c,
                        int width, int height);

/// Sets the GL state the indicator expects on a freshly made-current context: the viewport
/// (a zero height counts as 1), smooth shading, the background as clear colour (alpha 0), clear
/// depth 1, depth test with GL_LEQUAL, nicest perspective correction.
void prepareIndicatorContext(int width, int height, Rgb background);

/// Checks that the current context really draws: renders one triangle in `text` over `background`
/// and compares the corner pixel with the centre pixel. True when they differ (or when the two
/// colours are equal, so that no difference can be expected) and GL reported no error. The caller
/// also checks that its context is still the current one.
bool indicatorContextWorks(int width, int height, Rgb background, Rgb text);

/// Reads the current read buffer (origin bottom-left, width × height) into `bgra` as blue, green,
/// red, alpha bytes, bottom row first: the layout of the status display's picture buffer.
void readIndicatorPixels(int width, int height, std::uint8_t* bgra);

} // namespace kv

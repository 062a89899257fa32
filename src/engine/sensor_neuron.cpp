#include "engine/sensor_neuron.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <numbers>

#include "engine/algorithms.h"
#include "engine/params.h"
#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;
constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// The sensor's module window, in dialog units of the module font. Without a display the window
// is laid out with a fixed scale: the 8-point module font on a 96-dpi screen has a 6 by 13 pixel
// character cell, so a horizontal unit is 6/4 and a vertical unit 13/8 pixels. Pixel positions
// are the unit positions scaled and truncated.
constexpr double kPixelsPerUnitX = 6.0 / 4.0;
constexpr double kPixelsPerUnitY = 13.0 / 8.0;
constexpr int kSensorWindowWidth = 90; // units
constexpr int kControlsTop = 24;       // first control row below the header
constexpr int kMargin = 7;             // left edge of every control

constexpr long px(int units, double scale) {
    return static_cast<long>(units * scale);
}

} // namespace

SensorPointOffset sensorPointOffset() {
    // The window: the direction picture (no caption), then the "Signed" check box (no help
    // button), then 3 units of margin.
    const int pictureWidth = kSensorWindowWidth - 2 * kMargin;
    // Square on screen.
    const int pictureHeight = static_cast<int>(pictureWidth * kPixelsPerUnitX / kPixelsPerUnitY);
    int y = kControlsTop + pictureHeight + 1; // below the picture
    y += 11;                                  // check box row
    const int windowHeight = y + 3;

    const long windowW = px(kSensorWindowWidth, kPixelsPerUnitX);
    const long windowH = px(windowHeight, kPixelsPerUnitY);
    const long pictureLeft = px(kMargin, kPixelsPerUnitX);
    const long pictureTop = px(kControlsTop, kPixelsPerUnitY);
    const long centreX = pictureLeft + px(pictureWidth, kPixelsPerUnitX) / 2;
    const long centreY = pictureTop + px(pictureHeight, kPixelsPerUnitY) / 2;
    // The window is placed with its centre on the stored position: its client area starts half
    // its size up and to the left.
    return {centreX - windowW / 2, centreY - windowH / 2};
}

void sensorPointOnScreen(const Module& m, MouseRows* mouse, long& x, long& y) {
    const SensorPointOffset offset = sensorPointOffset(); // a few integer operations
    long ox = 0, oy = 0;
    if (mouse) mouse->clientOrigin(ox, oy);
    // A shown window tells its real point; without one, the point follows from the stored centre.
    const long wx = m.sensorPointX.load(std::memory_order_relaxed);
    const long wy = m.sensorPointY.load(std::memory_order_relaxed);
    if (wx != Module::kNoSensorPoint && wy != Module::kNoSensorPoint) {
        x = ox + wx;
        y = oy + wy;
        return;
    }
    x = ox + m.positionX + offset.dx;
    y = oy + m.positionY + offset.dy;
}

void evaluateSensor(Module& m, EngineContext& ctx) {
    const ControlSensorControls c{m};
    long px = 0, py = 0;
    sensorPointOnScreen(m, ctx.mouse, px, py);
    long cx = 0, cy = 0;
    MouseRows::Rect desk;
    if (ctx.mouse) {
        ctx.mouse->cursorPosition(cx, cy);
        desk = ctx.mouse->desktop();
    }
    const double dxDesk = static_cast<double>(desk.right - desk.left);
    const double dyDesk = static_cast<double>(desk.bottom - desk.top);
    // A desktop of a single pixel still has a distance scale.
    const double diagonal = std::max(std::sqrt(dxDesk * dxDesk + dyDesk * dyDesk), 1.0);

    const double dx = static_cast<double>(px - cx);
    const double dy = static_cast<double>(py - cy);
    ControlTable& t = ctx.table;
    if (m.outputRow >= 0 && m.outputRow < kModuleRows) {
        const double g = (1.0 - std::sqrt(dx * dx + dy * dy) / diagonal) * 1000.0;
        ControlRow& row = t.rows[m.outputRow];
        row.primary[0] = g * g * g * g * g / 1e12; // 1000 × (1 − d/D)^5
        row.velocity[0] = 127.0;
    }
    if (m.secondOutputRow >= 0 && m.secondOutputRow < kModuleRows) {
        // Direction from the cursor to the point, against the chosen one.
        const double a = std::atan2(dy, dx);
        double delta = std::fabs(a - c.angle().value.load(rlx));
        // An angle stored outside −π..π still measures the distance around the circle.
        if (delta > kTwoPi) delta = std::fmod(delta, kTwoPi);
        delta = std::min(delta, kTwoPi - delta);
        double p = (2.0 * delta / kPi - 1.0) * 1000.0;
        if (!c.doSignedOutput().state.load(rlx)) p = (p + 1000.0) * 0.5;
        ControlRow& row = t.rows[m.secondOutputRow];
        row.primary[0] = p;
        row.velocity[0] = 127.0;
    }
}

void evaluateNeuron(Module& m, EngineContext& ctx) {
    const ControlNeuronControls c{m};
    NeuronState& st = m.stateAs<NeuronState>();
    const ControlTable& t = ctx.table;
    // Rates in "% per millisecond" as fractions, made positive and at most 100 per millisecond.
    auto rate = [&](const InputSliderSlot& s) {
        return std::min(std::fabs(effectiveValue(s, t, 0.01, 0.001, true)), 100.0);
    };
    const double k = effectiveValue(c.inputOutputRatio(), t, 0.01, 0.001, true);
    const double rd = rate(c.dischargeRate());
    const double theta = effectiveValue(c.threshold(), t, 1.0, 10.0, true);
    const double rt = rate(c.leakthrough());
    const double rl = rate(c.leakage());
    const bool positive = c.doMakeAllInputsPositive().state.load(rlx);
    double sum = 0;
    for (const InputSliderSlot* d :
         {&c.dendrite0(), &c.dendrite1(), &c.dendrite2(), &c.dendrite3(), &c.dendrite4()}) {
        const double x = effectiveValue(*d, t, 0.01, 0.001, true);
        sum += positive ? std::fabs(x) : x;
    }

    double& P = st.potential;
    double& Q = st.charge;
    P += sum / 48.0;
    const double through = rt / 48.0 * P;
    P -= through;
    P -= rl / 48.0 * P; // lost
    if ((theta > 0 && P >= theta) || (theta < 0 && P <= theta)) {
        Q += P;
        P = 0;
    }
    const double q = rd / 48.0 * Q;
    Q -= q;
    if (m.outputRow < 0 || m.outputRow >= kModuleRows) return;
    ControlRow& row = ctx.table.rows[m.outputRow];
    row.primary[0] = row.primarySmoothed[0] = (q + through) * 48.0 * k * 1000.0;
}

void registerSensorNeuron(Evaluators& e) {
    e.control[Module_ControlSensor] = &evaluateSensor;
    e.perSample[Module_ControlNeuron] = &evaluateNeuron;
}

std::unique_ptr<ModuleState> makeSensorNeuronState(int type) {
    if (type == Module_ControlNeuron) return std::make_unique<NeuronState>();
    return nullptr;
}

} // namespace kv

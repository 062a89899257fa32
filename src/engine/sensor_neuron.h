#pragma once
// The control sensor (how near the cursor is to a point of the module window, and from which
// direction) and the integrate-and-fire neuron.
#include <memory>

#include "engine/engine.h"
#include "modules/module.h"

namespace kv {

/// Potential and charge of a neuron (0 at creation).
struct NeuronState final : ModuleState {
    double potential = 0;
    double charge = 0;
};

/// Where the sensor point lies relative to the centre of the sensor's module window, in pixels
/// (y downwards): the centre of the window's direction picture.
struct SensorPointOffset {
    long dx;
    long dy;
};
SensorPointOffset sensorPointOffset();

/// The sensor point of module `m` in screen pixels: the main window's client origin, plus the
/// module's stored window centre, plus the offset above. `mouse` may be null (origin (0, 0)).
/// Engine thread.
void sensorPointOnScreen(const Module& m, MouseRows* mouse, long& x, long& y);

/// Sensor, at control samples: proximity (per mille) into its first row, direction into its
/// second. Engine thread.
void evaluateSensor(Module& m, EngineContext& ctx) KV_NONBLOCKING;
/// Neuron, at every sample after the smoothing: one step of 1/48 ms. Engine thread.
void evaluateNeuron(Module& m, EngineContext& ctx) KV_NONBLOCKING;

std::unique_ptr<ModuleState> makeSensorNeuronState(int type);

} // namespace kv

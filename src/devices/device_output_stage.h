#pragma once
// The engine's output stage: the ten buses in front of the output device manager.
#include "devices/output_buses.h"
#include "devices/output_device_manager.h"
#include "engine/io.h"

namespace kv {

class DeviceOutputStage : public OutputStage {
  public:
    explicit DeviceOutputStage(OutputDeviceManager& manager) : manager_(manager) {}

    void engineStarted() override { buses_.resetTargets(); }
    void startCycle(int8_t chunkAdjustment) override { buses_.startCycle(chunkAdjustment); }
    void addToBus(int index, int code, double value) override { buses_.add(index, code, value); }
    void addSamplesToBus(int first, int count, int code, const double* values) override {
        buses_.addSamples(first, count, code, values);
    }
    void beginCycleAndFlush(EngineState& state) override;
    bool readBack(int code, SampleChunk& out) override { return manager_.readBack(code, out); }
    void endCycle() override { manager_.endCycle(); }
    void closeAll() override { manager_.closeAll(); }

    /// Output BeginCycle, then FlushBuses with the latency figures in `latency`. Engine thread.
    void beginCycleAndFlush(LatencyControl& latency);

    OutputBuses& buses() { return buses_; }
    OutputDeviceManager& manager() { return manager_; }

  private:
    OutputDeviceManager& manager_;
    OutputBuses buses_;
};

} // namespace kv

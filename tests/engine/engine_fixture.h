#pragma once
// Shared pieces of the engine tests: a recording output stage, a recording mouse-row source and a
// fixture with a registry wired to an engine.
#include <atomic>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "modules/module_registry.h"

namespace kv::test {

/// Sums each cycle into a mono buffer per device code; counts calls.
class RecordingOutput final : public OutputStage {
  public:
    struct Add {
        int index;
        int code;
        double value;
    };
    void engineStarted() override { ++starts; }
    void startCycle(int8_t adjustment) override {
        lastAdjustment = adjustment;
        adds.clear();
        ++cycles;
    }
    void addToBus(int index, int code, double value) override {
        if (keepAdds) adds.push_back({index, code, value});
        ++addCount;
    }
    void beginCycleAndFlush(EngineState&) override {}
    bool readBack(int, SampleChunk&) override { return false; }
    void endCycle() override {}
    void closeAll() override { closed.store(true); }

    bool keepAdds = true;
    std::vector<Add> adds;
    std::atomic<int> starts{0};
    std::atomic<long> cycles{0};
    std::atomic<long> addCount{0};
    std::atomic<bool> closed{false};
    int lastAdjustment = 0;
};

/// Remembers the sample counter of every mouse-row update.
class RecordingMouse final : public MouseRows {
  public:
    void updateMouseRows(ControlTable& table, uint16_t rate) override {
        if (engine) samples.push_back(engine->sampleCounter());
        lastRate = rate;
        table.rows[131].primary[0] = table.rows[131].primarySmoothed[0] = 250.0;
    }
    Engine* engine = nullptr;
    std::vector<uint64_t> samples;
    uint16_t lastRate = 0;
};

} // namespace kv::test

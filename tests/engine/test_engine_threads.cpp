// The real-time driver: start and stop, and the sharing between the user-interface thread and the
// engine thread while modules come and go. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "engine_fixture.h"
#include "modules/config_file.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using test::RecordingOutput;

TEST(EngineThreads, StartsRunsAndStopsWithinOneCyclePlusTenMilliseconds) {
    EngineState state;
    RecordingOutput output;
    output.keepAdds = false;
    Engine engine{state, &output};
    ModuleRegistry registry{&engine};
    registry.addModule(Module_AudioOsc);

    int starts = 0;
    engine.onStart = [&] { ++starts; };
    engine.start();
    EXPECT_EQ(starts, 1);
    for (int i = 0; i < 1000 && output.cycles.load() < 20; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_GE(output.cycles.load(), 20);
    EXPECT_TRUE(engine.running());
    EXPECT_FALSE(state.stopFlag.load());

    const auto t0 = std::chrono::steady_clock::now();
    engine.stop();
    while (engine.running())
        std::this_thread::sleep_for(100us);
    const auto took = std::chrono::steady_clock::now() - t0;
    // One cycle plus 10 ms, with room for a loaded machine or a sanitizer.
    EXPECT_LT(took, 60ms);
    EXPECT_TRUE(output.closed.load());
    engine.stopAndWait();

    // Counters restart at every start; the table persists.
    output.closed = false;
    engine.start();
    for (int i = 0; i < 1000 && output.starts.load() < 2; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(output.starts.load(), 2);
    engine.stopAndWait();
    EXPECT_FALSE(engine.running());
    EXPECT_TRUE(output.closed.load());
}

TEST(EngineThreads, QuiesceStopsAndResumeRestarts) {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    EXPECT_FALSE(engine.quiesce()); // not running: nothing to stop
    engine.start();
    EXPECT_TRUE(engine.quiesce());
    EXPECT_FALSE(engine.running());
    registry.addModule(Module_AudioOsc);
    engine.resume(true);
    for (int i = 0; i < 1000 && state.cycleCounter.load() < 2; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_GE(state.cycleCounter.load(), 2);
    registry.clearAll(); // quiesces and restarts around the change
    EXPECT_EQ(registry.totalCount(), 0);
    EXPECT_FALSE(state.stopFlag.load());
    engine.stopAndWait();
}

// Loading a patch stops the engine around the change and leaves it running as it was.
TEST(EngineThreads, LoadingPatchesWhileTheEngineRuns) {
    EngineState state;
    RecordingOutput output;
    output.keepAdds = false;
    Engine engine{state, &output};
    ModuleRegistry registry{&engine};
    for (int i = 0; i < 3; ++i)
        registry.addModule(Module_AudioOsc);
    const std::string patch = configurationText(registry);
    ASSERT_NE(patch.find("[Module_AudioOsc]"), std::string::npos);

    LoadTarget target;
    target.registry = &registry;
    target.engine = &engine;
    target.legacyFlag = &state.settings.legacyPatch;
    engine.start();
    for (int i = 0; i < 20; ++i) {
        const LoadReport report = loadConfiguration(target, patch);
        EXPECT_EQ(report.created, 3);
        EXPECT_EQ(registry.count(Module_AudioOsc), 3);
        EXPECT_FALSE(state.stopFlag.load()); // restarted
        // A module's values change while the engine runs between loads.
        registry.modules(Module_AudioOsc)[0]->inputSliders[0].manual = 10.0 + i;
        std::this_thread::sleep_for(2ms);
    }
    engine.stopAndWait();
    const LoadReport stopped = loadConfiguration(target, patch);
    EXPECT_EQ(stopped.created, 3);
    EXPECT_FALSE(engine.running()); // a stopped engine stays stopped
}

// Creates, renames and removes modules, changes values and switches sources while the real-time
// engine evaluates them. Any use of a destroyed module or unsynchronised access shows up under
// AddressSanitizer or ThreadSanitizer.
TEST(EngineThreads, StressModulesChangingWhileEngineRuns) {
    EngineState state;
    RecordingOutput output;
    output.keepAdds = false;
    Engine engine{state, &output};
    ModuleRegistry registry{&engine};
    engine.start();

    std::mt19937 rng(7);
    std::vector<Module*> live;
    const int types[] = {Module_AudioOsc,      Module_AudioOutput,      Module_ControlGain,
                         Module_ControlSensor, Module_AudioOutputSplit, Module_ControlSequence};
    // 1.5 s at least, longer (up to 30 s) until enough has happened on a slow or loaded machine.
    const auto start = std::chrono::steady_clock::now();
    long operations = 0;
    while (std::chrono::steady_clock::now() < start + 1500ms ||
           ((operations <= 200 || output.cycles.load() <= 100) &&
            std::chrono::steady_clock::now() < start + 30s)) {
        const int action = static_cast<int>(rng() % 10);
        if (action < 4 || live.empty()) {
            if (Module* m = registry.addModule(types[rng() % std::size(types)])) live.push_back(m);
        } else if (action < 6) {
            const size_t i = rng() % live.size();
            EXPECT_TRUE(registry.removeModule(live[i]));
            live.erase(live.begin() + static_cast<long>(i));
            registry.refreshSelectors();
        } else if (action < 7) {
            registry.renameModule(live[rng() % live.size()],
                                  "Renamed " + std::to_string(operations));
        } else {
            Module* m = live[rng() % live.size()];
            const int source = static_cast<int>(rng() % 156) - 1;
            for (auto& s : m->inputSliders)
                if (s.def) {
                    s.source = source;
                    s.manual = static_cast<double>(rng() % 1000);
                }
            for (auto& f : m->frequencies)
                if (f.def) {
                    f.source = (rng() % 2) ? kSourceManual : source;
                    f.base = 1.0 + rng() % 100;
                }
            for (auto& c : m->controlInputs)
                if (c.def) c.source = source;
            for (auto& d : m->soundOutputs)
                if (d.def) d.code = (rng() % 3) ? -1 : -555;
            m->showState = (rng() % 2) ? 5 : 10;
        }
        ++operations;
        if (operations % 50 == 0) std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(output.cycles.load(), 100);
    EXPECT_GT(operations, 200);
    registry.clearAll();
    engine.stopAndWait();
    EXPECT_EQ(registry.totalCount(), 0);
}

} // namespace
} // namespace kv

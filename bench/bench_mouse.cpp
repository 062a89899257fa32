// The mouse layer's regular work: one sampler pass (100 per second on the mouse status thread) and
// one mouse-row update (at every control sample on the engine thread, 4000 per second by default).
#include <benchmark/benchmark.h>

#include "modules/control_table.h"
#include "mouse/mouse_input.h"

namespace {

using namespace kv;

void BM_MouseSamplerPass(benchmark::State& st) {
    MouseHookState hook;
    MouseMetrics metrics;
    SamplerState s;
    startSampler(s, {}, 960, 540);
    SamplerInput in;
    long step = 0;
    for (auto _ : st) {
        // A moving cursor that turns and a wheel that rolls: every branch of a pass does work.
        ++step;
        in.x = 500 + (step * 7) % 900;
        in.y = 300 + (step * 3) % 400;
        hook.onEvent(HookMessage::Wheel, 120);
        benchmark::DoNotOptimize(samplerPass(s, in, hook, metrics));
    }
}
BENCHMARK(BM_MouseSamplerPass);

void BM_MouseRowUpdate(benchmark::State& st) {
    MouseInput mouse;
    ControlTable table;
    table.initialise();
    for (int i = 0; i < kMetricSources; ++i)
        mouse.metrics.set(i, i * 10.0);
    mouse.hook.onEvent(HookMessage::LeftDown, 0);
    for (auto _ : st) {
        mouse.updateMouseRows(table, 4000);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MouseRowUpdate);

} // namespace

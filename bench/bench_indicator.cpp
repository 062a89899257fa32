// One frame of the 3D mouse-status indicator at 400 × 240, drawn and read back off-screen (the
// "bitmap buffers" presentation), and the state step alone.
#include <benchmark/benchmark.h>

#include "mouse/indicator_offscreen.h"

static void BM_IndicatorFrame(benchmark::State& st) {
    kv::IndicatorColours colours;
    kv::OffscreenIndicator view(400, 240, colours.dialogBackground);
    if (!view.ok()) {
        st.SkipWithError(view.error().c_str());
        return;
    }
    kv::IndicatorState state;
    kv::IndicatorInputs in;
    in.speed = 800;
    in.turnInertia = 50;
    kv::IndicatorFrame frame;
    for (auto _ : st) {
        in.totalDistance += 3;
        view.render(state, in, colours, frame);
        benchmark::DoNotOptimize(frame.bgra.data());
    }
}
BENCHMARK(BM_IndicatorFrame)->Unit(benchmark::kMillisecond);

static void BM_IndicatorStep(benchmark::State& st) {
    kv::IndicatorState state;
    kv::IndicatorInputs in;
    in.speed = 800;
    for (auto _ : st) {
        in.totalDistance += 3;
        benchmark::DoNotOptimize(kv::stepIndicator(state, in));
    }
}
BENCHMARK(BM_IndicatorStep);

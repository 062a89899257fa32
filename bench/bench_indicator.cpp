// One frame of the 3D mouse-status indicator drawn and read back off-screen (the "bitmap buffers"
// presentation) at 400 × 240 and at the main window's default status size, 513 × 129; and the
// state step alone.
#include <benchmark/benchmark.h>

#include "mouse/indicator_offscreen.h"

static void BM_IndicatorFrame(benchmark::State& st) {
    kv::IndicatorColours colours;
    kv::OffscreenIndicator view(int(st.range(0)), int(st.range(1)), colours.dialogBackground);
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
BENCHMARK(BM_IndicatorFrame)->Args({400, 240})->Args({513, 129})->Unit(benchmark::kMillisecond);

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

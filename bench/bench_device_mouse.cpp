// The mouse read from the input devices: the device thread's work per event (motion into the
// cursor estimate, a button or a high-resolution wheel step into the hook) and the sampler's
// extra work per pass (re-anchoring and reading the estimate).
#include <benchmark/benchmark.h>

#include "mouse/device_mouse.h"
#include "mouse/mouse_metrics.h"

namespace {

using namespace kv;

void BM_DeviceEventMotion(benchmark::State& st) {
    DeviceMouseFeed feed;
    MouseHookState hook;
    DeviceEvent e;
    e.kind = DeviceEvent::Motion;
    long step = 0;
    for (auto _ : st) {
        ++step;
        e.dx = (step & 64) ? 3.5 : -3.5; // back and forth, now and then against an edge
        e.dy = (step & 128) ? 1.25 : -1.25;
        feed.feed(e, hook);
    }
}
BENCHMARK(BM_DeviceEventMotion);

void BM_DeviceEventButton(benchmark::State& st) {
    DeviceMouseFeed feed;
    MouseHookState hook;
    DeviceEvent e;
    e.kind = DeviceEvent::Button;
    e.code = input_code::kLeft;
    for (auto _ : st) {
        e.pressed = !e.pressed;
        feed.feed(e, hook);
    }
}
BENCHMARK(BM_DeviceEventButton);

void BM_DeviceEventHiResWheel(benchmark::State& st) {
    DeviceMouseFeed feed;
    MouseHookState hook;
    DeviceEvent e;
    e.kind = DeviceEvent::VerticalWheel;
    e.v120 = 15; // eight events a notch
    for (auto _ : st)
        feed.feed(e, hook);
}
BENCHMARK(BM_DeviceEventHiResWheel);

// One sampler pass on the estimate: re-anchoring to a moving X pointer, then the metric pass.
void BM_DeviceSamplerPass(benchmark::State& st) {
    DeviceMouseFeed feed;
    PolledAnchor anchor;
    MouseHookState hook;
    MouseMetrics metrics;
    SamplerState s;
    startSampler(s, {}, 960, 540);
    SamplerInput in;
    DeviceEvent e;
    e.kind = DeviceEvent::Motion;
    long step = 0;
    for (auto _ : st) {
        ++step;
        e.dx = 3;
        e.dy = (step & 16) ? 2 : -2;
        feed.feed(e, hook);
        const long px = 500 + (step * 3) % 900;
        const bool known = anchor.fresh(px, 400, feed.takeMoved());
        feed.samplerPass(known, px, 400, in.x, in.y);
        benchmark::DoNotOptimize(samplerPass(s, in, hook, metrics));
    }
}
BENCHMARK(BM_DeviceSamplerPass);

} // namespace

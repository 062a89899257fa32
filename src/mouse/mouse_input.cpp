#include "mouse/mouse_input.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "modules/control_table.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;

uint64_t pack(long a, long b) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(static_cast<int32_t>(a))) << 32) |
           static_cast<uint32_t>(static_cast<int32_t>(b));
}
long first(uint64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v >> 32));
}
long second(uint64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

} // namespace

void MouseInput::updateMouseRows(ControlTable& table, uint16_t rate) {
    if (rate == 0) return;
    // The rows follow the metrics with a time constant of 10 ms. Below 100 control samples per
    // second a step would overshoot (and below 50 diverge), so there the rows take the metrics
    // as they are.
    const double c = std::min(1.0, (1000.0 / rate) * 0.1);
    const double k = 1 - c;
    // The metrics of a whole pass: while one is being written, those of the pass before.
    // The values are taken with acquire: one written by a later pass makes that pass's odd
    // sequence visible to the second read, which then differs from the first.
    const uint64_t before = passSequence_.load(std::memory_order_acquire);
    double read[kMetricSources];
    for (int i = 0; i < kMetricSources; ++i)
        read[i] = metrics.valueOfPass(i);
    const uint64_t passes = passCount_.load(std::memory_order_acquire);
    if ((before & 1) == 0 && passSequence_.load(rlx) == before) {
        std::copy(std::begin(read), std::end(read), consumed_);
        consumedPasses_ = passes;
    }
    for (int i = 0; i < kMetricSources; ++i) {
        ControlRow& row = table.rows[kMouseRowBase + i];
        const double v = consumed_[i] * c + row.primary[0] * k;
        row.primary[0] = v;
        row.primarySmoothed[0] = v;
    }
    for (int b = 0; b < kMouseButtons; ++b) {
        ControlRow& row = table.rows[kMouseRowBase + kSourceButtonLeft + b];
        const bool held = hook.isDown(b);
        consumedButtons_[b] = held;
        row.primary[0] = row.primarySmoothed[0] = held ? 1000.0 : 0.0;
        row.voiceCount = held ? 1 : 0;
    }
}

void MouseInput::cursorPosition(long& x, long& y) {
    const uint64_t v = cursor_.load(rlx);
    x = first(v);
    y = second(v);
}

MouseRows::Rect MouseInput::desktop() {
    const uint64_t tl = desktopTopLeft_.load(rlx), br = desktopBottomRight_.load(rlx);
    return {first(tl), second(tl), first(br), second(br)};
}

void MouseInput::clientOrigin(long& x, long& y) {
    const uint64_t v = clientOrigin_.load(rlx);
    x = first(v);
    y = second(v);
}

void MouseInput::noteCursor(long x, long y) {
    cursor_.store(pack(x, y), rlx);
}

void MouseInput::noteDesktop(const platform::DesktopRect& r) {
    desktopTopLeft_.store(pack(r.left, r.top), rlx);
    desktopBottomRight_.store(pack(r.right, r.bottom), rlx);
}

void MouseInput::setClientOrigin(long x, long y) {
    clientOrigin_.store(pack(x, y), rlx);
}

MouseInput::PassReading MouseInput::passReading(uint64_t n) const {
    const LoggedPass& p = passLog_[n % kPassLog];
    const uint64_t c = p.cursor.load(rlx);
    return {first(c), second(c), p.vertical.load(rlx), p.horizontal.load(rlx)};
}

void MouseInput::beginPass() {
    // Odd: the metrics the pass stores next (with release) carry it to an engine that reads them.
    passSequence_.store(passSequence_.load(rlx) + 1, rlx);
}

void MouseInput::endPass(const PassReading& r) {
    const uint64_t n = passCount_.load(rlx);
    LoggedPass& p = passLog_[n % kPassLog];
    p.cursor.store(pack(r.x, r.y), rlx);
    p.vertical.store(r.verticalDeltas, rlx);
    p.horizontal.store(r.horizontalDeltas, rlx);
    passCount_.store(n + 1, std::memory_order_release);
    passSequence_.store(passSequence_.load(rlx) + 1, std::memory_order_release);
}

void MouseInput::resetConsumed() {
    std::fill(std::begin(consumed_), std::end(consumed_), 0.0);
    std::fill(std::begin(consumedButtons_), std::end(consumedButtons_), false);
    consumedPasses_ = passCount_.load(std::memory_order_acquire);
}

void MouseSampler::restart() {
    state_ = SamplerState{};
    started_ = false;
}

void MouseSampler::start(platform::MouseBackend& backend) {
    const platform::DesktopRect desktop = backend.desktop();
    long x = 0, y = 0;
    startWith(desktop, backend.cursorPosition(x, y), x, y);
}

void MouseSampler::startWith(const platform::DesktopRect& desktop, bool cursorRead, long x,
                             long y) {
    if (!cursorRead) {
        x = (desktop.left + desktop.right) / 2;
        y = (desktop.top + desktop.bottom) / 2;
    }
    startSampler(state_, desktop, x, y);
    input_.noteDesktop(desktop);
    input_.noteCursor(x, y);
    started_ = true;
}

void MouseSampler::pass(platform::MouseBackend& backend) {
    SamplerInput in;
    in.cursorRead = backend.cursorPosition(in.x, in.y);
    in.desktop = backend.desktop();
    // The first pass starts from the position it reads, so that it sees no movement (reading
    // the cursor twice could see it move in between).
    if (!started_) startWith(in.desktop, in.cursorRead, in.x, in.y);
    in.originX = input_.settings.originX.load(rlx);
    in.originY = input_.settings.originY.load(rlx);
    in.wrap = input_.settings.wrapAtScreenEdges.load(rlx);
    input_.noteDesktop(in.desktop);
    if (in.cursorRead) input_.noteCursor(in.x, in.y);
    // The wheel's delta sums (for a tape) and positions (for the metrics) of one moment: a
    // notch either counts in this pass for both or waits for the next.
    MouseInput::PassReading reading;
    const MouseHookState& hook = input_.hook;
    // (A wheel turned without a pause for a thousand tries is taken as it is.)
    for (int tries = 0;; ++tries) {
        const uint32_t change = hook.wheelChange.load(std::memory_order_acquire);
        if ((change & 1) && tries < 1000) {
            std::this_thread::yield();
            continue;
        }
        // Acquire: a field written by a later event brings that event's odd count with it.
        reading.verticalDeltas = hook.verticalDeltas.load(std::memory_order_acquire);
        reading.horizontalDeltas = hook.horizontalDeltas.load(std::memory_order_acquire);
        in.vertical = hook.vertical.load(std::memory_order_acquire);
        in.horizontal = hook.horizontal.load(std::memory_order_acquire);
        if (hook.wheelChange.load(rlx) == change || tries >= 1000) break;
    }
    in.wheelTaken = true;
    input_.cursorPosition(reading.x, reading.y);
    input_.beginPass();
    const SamplerWarp warp = samplerPass(state_, in, input_.hook, input_.metrics);
    input_.endPass(reading);
    if (warp.moved) {
        backend.warpCursor(warp.x, warp.y);
        input_.noteCursor(warp.x, warp.y);
    }
}

int MouseSampler::pauseMs() const {
    return input_.settings.showMouseStatus.load(rlx) ? 9 : 10;
}

void MouseSamplerThread::start() {
    if (thread_.joinable()) return;
    stop_.store(false, rlx);
    thread_ = std::thread([this] { loop(); });
}

void MouseSamplerThread::stop() {
    stop_.store(true, rlx);
    if (thread_.joinable()) thread_.join();
}

void MouseSamplerThread::loop() {
    while (!stop_.load(rlx)) {
        sampler_.pass(backend_);
        std::this_thread::sleep_for(std::chrono::milliseconds(sampler_.pauseMs()));
        if (afterPause) afterPause();
    }
}

} // namespace kv

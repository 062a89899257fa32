#pragma once
// The mouse layer as the rest of the program uses it: the hook state, the metrics, the settings,
// the mouse rows of the engine, and the sampler that polls the cursor.
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "engine/io.h"
#include "mouse/mouse_backend.h"
#include "mouse/mouse_hook.h"
#include "mouse/mouse_metrics.h"

namespace kv {

class MouseInput final : public MouseRows {
  public:
    MouseHookState hook;
    MouseMetrics metrics;
    MouseSettings settings;

    /// Rows 128..149 take the smoothed metrics (factor c = 100 / rate per control sample), the
    /// five button rows the buttons as gates: 1000 with one voice while held, 0 with no voice.
    /// Engine thread; constant work. A rate of 0 updates nothing.
    void updateMouseRows(ControlTable& table, uint16_t rate) override;

    /// The cursor as the sampler last read (or moved) it. Engine thread (any thread).
    void cursorPosition(long& x, long& y) override;
    /// The desktop rectangle as the sampler last took it. Engine thread (any thread).
    Rect desktop() override;
    /// The main window's client origin on the screen. Engine thread (any thread).
    void clientOrigin(long& x, long& y) override;

    /// Written by the sampler after each reading. Mouse status thread.
    void noteCursor(long x, long y);
    void noteDesktop(const platform::DesktopRect& r);
    /// Written when the main window moves. User-interface thread.
    void setClientOrigin(long x, long y);

    /// What one sampler pass read: the cursor (the last known one when it could not be read)
    /// and the sums of the wheel deltas the hook had received by then.
    struct PassReading {
        long x = 0, y = 0;
        int64_t verticalDeltas = 0, horizontalDeltas = 0;
    };
    /// The last kPassLog passes are kept for a gesture tape.
    static constexpr int kPassLog = 64;
    /// Passes made since the program started. Any thread (acquire: the pass's reading and
    /// metrics are visible).
    uint64_t passCount() const { return passCount_.load(std::memory_order_acquire); }
    /// The reading of pass `n` (0-based); valid while n + kPassLog > passCount(). Any thread.
    PassReading passReading(uint64_t n) const;
    /// Brackets a pass: between the two the metrics are being written. Mouse status thread.
    void beginPass();
    void endPass(const PassReading& reading);
    /// The passes whose metrics the mouse rows took at the last control sample, and the buttons
    /// they took then. Engine thread.
    uint64_t consumedPasses() const { return consumedPasses_; }
    bool consumedButton(int b) const { return consumedButtons_[b]; }
    /// The rows' view of the metrics back to rest (0, no passes beyond the current ones). Engine
    /// stopped.
    void resetConsumed();

  private:
    // Pairs of 32-bit coordinates in one word, so that a reader never sees x of one position and
    // y of another.
    std::atomic<uint64_t> cursor_{0};
    std::atomic<uint64_t> clientOrigin_{0};
    std::atomic<uint64_t> desktopTopLeft_{0};
    std::atomic<uint64_t> desktopBottomRight_{(uint64_t(1919) << 32) | 1079};
    struct LoggedPass {
        std::atomic<uint64_t> cursor{0};
        std::atomic<int64_t> vertical{0}, horizontal{0};
    };
    LoggedPass passLog_[kPassLog];
    std::atomic<uint64_t> passCount_{0};
    // Odd while a pass writes the metrics: the engine takes them only as a whole pass's, so that
    // a recorded take knows exactly which passes each control sample saw.
    std::atomic<uint64_t> passSequence_{0};
    // Engine thread: the metrics of the last whole pass taken, and what went with them.
    double consumed_[kMetricSources] = {};
    uint64_t consumedPasses_ = 0;
    bool consumedButtons_[kMouseButtons] = {};
};

/// The mouse sampler: reads the cursor and the desktop from a backend, runs the metric pass and
/// moves the cursor when the pass wraps it. Mouse status thread (or the offline session's).
class MouseSampler {
  public:
    explicit MouseSampler(MouseInput& input) : input_(input) {}
    /// Takes the desktop for the position scaling and the cursor as the previous position.
    void start(platform::MouseBackend& backend);
    /// One pass (starts first when not started yet).
    void pass(platform::MouseBackend& backend);
    /// The pause after a pass: 10 ms, 9 ms while the status display is shown.
    int pauseMs() const;
    bool started() const { return started_; }
    /// The next pass starts afresh (desktop, cursor and every smoothed value taken anew), as a
    /// new program would. Mouse status thread, or any thread while the sampler thread is stopped.
    void restart();
    SamplerState& state() { return state_; }

  private:
    void startWith(const platform::DesktopRect& desktop, bool cursorRead, long x, long y);
    MouseInput& input_;
    SamplerState state_;
    bool started_ = false;
};

/// The mouse status thread's pass loop: pass, pause, status display work, again.
class MouseSamplerThread {
  public:
    MouseSamplerThread(MouseSampler& sampler, platform::MouseBackend& backend)
        : sampler_(sampler), backend_(backend) {}
    ~MouseSamplerThread() { stop(); }
    MouseSamplerThread(const MouseSamplerThread&) = delete;
    MouseSamplerThread& operator=(const MouseSamplerThread&) = delete;

    /// Status display work after each pause, on the mouse status thread. Set before start().
    std::function<void()> afterPause;
    /// Starts the loop (nothing when it runs). User-interface thread.
    void start();
    /// Leaves the loop after the current pass and joins; the sampler's state survives.
    /// User-interface thread.
    void stop();
    /// Set while stop() waits for the loop; status work that waits checks it to leave at once.
    const std::atomic<bool>& stopping() const { return stop_; }

  private:
    void loop();
    MouseSampler& sampler_;
    platform::MouseBackend& backend_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace kv

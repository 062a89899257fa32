#pragma once
// The output analyser: collects what one output device plays, 1600 samples at a time, and draws
// either a spectrum of 50 bands or an oscilloscope trace into a 32-bit pixel picture that the
// module window shows. In the window's compact state it only tracks the peak level.
// The spectrum of a full buffer is measured and drawn a few bands per cycle over the following
// cycles (from a frozen copy, while the live buffer fills again), so that no one cycle does all
// 50; its picture is published once the last column is drawn, before the next buffer fills.
//
// Threads: the engine thread draws (once per cycle, after the output devices have their chunks)
// and publishes finished pictures; the user-interface thread takes the latest picture, the peak,
// and may ask for the picture to be cleared. The hand-over is a triple buffer: each picture is
// owned by one side at a time and changes hands through one atomic exchange.
#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "modules/module.h"

namespace kv {

/// A picture in 0xAARRGGBB pixels (alpha always 255), rows top to bottom.
struct AnalyserPicture {
    int width = 0;
    int height = 0;
    uint64_t serial = 0; // pictures drawn before this one
    std::vector<uint32_t> pixels;

    void resize(int w, int h);
    void fill(uint32_t colour);
    /// Spreads `colour` over the four pixels nearest to (x, y) with bilinear weights, blended
    /// with what is there; pixels outside the picture are skipped.
    void blendPoint(double x, double y, uint32_t colour);
    /// Points one pixel apart from (x0, y0) to (x1, y1), both ends included.
    void blendLine(double x0, double y0, double x1, double y1, uint32_t colour);
};

constexpr uint32_t kAnalyserTrace = 0xFFF0F0FFu; // red 240, green 240, blue 255
constexpr uint32_t kAnalyserBlack = 0xFF000000u;

struct AnalyserState final : ModuleState {
    static constexpr int kBufferSamples = 1600;
    static constexpr int kBands = 50;
    /// Picture size until the window sets its own (pixels).
    static constexpr int kDefaultWidth = 452;
    static constexpr int kDefaultHeight = 200;

    AnalyserState();

    // --- Engine thread -------------------------------------------------------------------------
    double buffer[kBufferSamples] = {}; // full scale ±1
    int fill = 0;
    /// A full buffer whose spectrum is being measured and drawn, its bands (raw, then smoothed
    /// as their columns are drawn), and how many are measured and drawn.
    double frozen[kBufferSamples] = {};
    double frozenBands[kBands] = {};
    int bandsDone = 0;
    int columnsDone = 0;
    bool spectrumPending = false; // a picture of `frozen` is owed
    AnalyserPicture canvas;       // the picture being drawn; points blend with what it holds
    /// Copies the canvas into the free picture and hands it to the user-interface side.
    void publish();

    // --- User-interface thread -----------------------------------------------------------------
    /// The most recently published picture (valid until the next call). Never blocks.
    const AnalyserPicture& latest();
    /// Asks the engine to clear the picture before it draws again (mode changed, resized).
    void requestClear(int width, int height);
    /// The peak level (1250 = full scale) since the last call; resets it.
    double takePeak() { return peak.exchange(0.0, std::memory_order_relaxed); }

    // --- Shared --------------------------------------------------------------------------------
    std::atomic<double> peak{0.0};
    std::atomic<uint32_t> pendingSize{0}; // (width << 16 | height) + clear request, 0 = none

  private:
    static constexpr uint8_t kFresh = 4;
    AnalyserPicture pictures_[3];
    uint8_t back_ = 0;               // engine thread
    std::atomic<uint8_t> middle_{1}; // index | kFresh when not yet taken
    uint8_t front_ = 2;              // user-interface thread
};

/// The periodicity of `samples` (n of them) at `frequency` Hz: 1 minus the mean absolute
/// difference between values one period apart (at most 33 values, linearly interpolated), not
/// below 0. 0 when fewer than two values fit.
double periodicity(const double* samples, int n, double frequency);

/// The 50 spectrum bands (0..1) of 1600 buffered samples.
void spectrumBands(const double* samples, double bands[AnalyserState::kBands]);

/// Draws the 50 bands (0..1) as columns over what `pic` holds. Engine thread.
void drawSpectrum(AnalyserPicture& pic, const double bands[AnalyserState::kBands]);

/// Draws the trace of 1600 buffered samples on black. Engine thread.
void drawOscilloscope(AnalyserPicture& pic, const double* samples);

/// The analyser's work at the end of a cycle. Engine thread.
void evaluateOutputAnalyser(Module& m, EngineContext& ctx) KV_NONBLOCKING;

} // namespace kv

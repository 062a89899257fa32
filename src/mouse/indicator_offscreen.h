#pragma once
// Renders indicator frames without a window, into memory (Mesa's off-screen renderer): for tests,
// benchmarks, pictures of a frame, and a display that cannot get a window context.
#include <cstdint>
#include <string>
#include <vector>

#include "mouse/indicator_renderer.h"

namespace kv {

/// One rendered frame: 32-bit pixels, blue, green, red, alpha bytes, bottom row first.
struct IndicatorFrame {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bgra;

    /// The pixel at column x, row y counted from the top. Outside the frame: black.
    Rgb pixel(int x, int y) const;
};

/// An off-screen rendering context of a fixed size, owned by the thread that uses it (one
/// context may be current per thread at a time).
class OffscreenIndicator {
  public:
    OffscreenIndicator(int width, int height, Rgb background);
    ~OffscreenIndicator();
    OffscreenIndicator(const OffscreenIndicator&) = delete;
    OffscreenIndicator& operator=(const OffscreenIndicator&) = delete;

    /// False when the context could not be created or does not draw; error() says why.
    bool ok() const { return context_ != nullptr; }
    const std::string& error() const { return error_; }
    int width() const { return width_; }
    int height() const { return height_; }

    /// Makes the context current on the calling thread, draws one frame and reads it back.
    /// False (frame untouched) when the context is not usable.
    bool render(IndicatorState& s, const IndicatorInputs& in, const IndicatorColours& c,
                IndicatorFrame& out);

  private:
    bool makeCurrent();

    void* context_ = nullptr;
    int width_, height_;
    std::vector<std::uint8_t> buffer_; // the context's own colour buffer
    std::string error_;
};

/// Writes the frame as a PNG picture (8-bit RGB, top row first). False when the file cannot be
/// written or the frame is empty.
bool writeFramePng(const IndicatorFrame& f, const std::string& path);

} // namespace kv

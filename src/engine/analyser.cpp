#include "engine/analyser.h"

#include <algorithm>
#include <cmath>

#include "modules/module_controls.h"

namespace kv {

namespace {

constexpr auto rlx = std::memory_order_relaxed;
constexpr int kMaxWidth = 640; // pixels; the picture memory is reserved with the module
constexpr int kMaxHeight = 320;
constexpr uint8_t kShowFull = 10;
constexpr uint8_t kShowCompact = 5;
constexpr uint8_t kModeSpectrum = 0;
constexpr uint8_t kModeOscilloscope = 1;
constexpr int kNoDevice = -555;
constexpr int kMaxSteps = 32;
// Samples over which a frozen buffer's bands are measured and drawn: the next buffer fills no
// sooner than 1600 samples after, less the rest of the chunk that filled this one (at most 191).
constexpr int kSpreadSamples = AnalyserState::kBufferSamples - SampleChunk::kSlots;

// Evens out the bands' response: band k is divided by weight k after smoothing.
constexpr double kBandWeights[AnalyserState::kBands] = {
    0.34521,  0.374694, 0.39933,  0.459876, 0.48038,  0.492922, 0.520591, 0.540657, 0.545577,
    0.557106, 0.541894, 0.554603, 0.552932, 0.578742, 0.550723, 0.567479, 0.546979, 0.536098,
    0.555351, 0.574768, 0.543248, 0.518728, 0.520394, 0.601906, 0.601437, 0.508924, 0.436514,
    0.472742, 0.459886, 0.461224, 0.464471, 0.517557, 0.511833, 0.436098, 0.412968, 0.374343,
    0.312975, 0.316214, 0.282825, 0.272955, 0.252784, 0.250746, 0.237953, 0.241982, 0.228912,
    0.243649, 0.292937, 0.28945,  0.475985, 0.475985,
};

// Mixes `colour` into `old` by `w` (0..256 = 0..1), channel by channel.
uint32_t blend(uint32_t old, uint32_t colour, int w) {
    uint32_t out = 0xFF000000u;
    for (int shift = 0; shift <= 16; shift += 8) {
        const int a = static_cast<int>((old >> shift) & 0xFF);
        const int b = static_cast<int>((colour >> shift) & 0xFF);
        out |= static_cast<uint32_t>(a + (((b - a) * w + 128) >> 8)) << shift;
    }
    return out;
}

// Linear interpolation at a fractional position; the last sample stands alone.
double sampleAt(const double* s, int n, double pos) {
    const int i = static_cast<int>(pos);
    if (i >= n - 1) return s[n - 1];
    const double f = pos - i;
    return s[i] + (s[i + 1] - s[i]) * f;
}

// Band k (1..50) before smoothing: the periodicity at 480·k Hz less that at twice the frequency.
double rawBand(const double* samples, int k) {
    constexpr int n = AnalyserState::kBufferSamples;
    const double g = 480.0 * k;
    return std::max(0.0, periodicity(samples, n, g) - periodicity(samples, n, 2 * g));
}

// Band i (0..49) averaged with the raw band above it and evened out; in place, so the bands are
// smoothed in rising order.
void smoothBand(double bands[AnalyserState::kBands], int i) {
    // The band above the last one is never measured: it reads 0.
    const double next = i + 1 < AnalyserState::kBands ? bands[i + 1] : 0.0;
    bands[i] = std::clamp((bands[i] + next) / 2.0 / kBandWeights[i], 0.0, 1.0);
}

// The column of smoothed band i (0..49), over what `pic` holds.
void drawColumn(AnalyserPicture& pic, int i, double band) {
    const double w = pic.width;
    const double h = pic.height;
    const double x = w / AnalyserState::kBands * (i + 0.6);
    const double y = (1.0 - band) * (h - 1);
    pic.blendLine(x, y, x, h + 1, kAnalyserTrace);
    pic.blendLine(x, 0, x, y, kAnalyserBlack);
}

// Measures up to `quota` more bands of the frozen buffer and draws up to `quota` more columns
// (a column needs the band above it); once the last column is drawn, publishes the picture.
// Engine thread.
void advanceSpectrum(AnalyserState& st, int quota) {
    if (!st.spectrumPending) return;
    constexpr int K = AnalyserState::kBands;
    const int bandsEnd = std::min(st.bandsDone + quota, K);
    for (; st.bandsDone < bandsEnd; ++st.bandsDone)
        st.frozenBands[st.bandsDone] = rawBand(st.frozen, st.bandsDone + 1);
    const int drawable = st.bandsDone == K ? K : st.bandsDone - 1;
    const int columnsEnd = std::min(st.columnsDone + quota, drawable);
    for (; st.columnsDone < columnsEnd; ++st.columnsDone) {
        smoothBand(st.frozenBands, st.columnsDone);
        drawColumn(st.canvas, st.columnsDone, st.frozenBands[st.columnsDone]);
    }
    if (st.columnsDone < K) return;
    st.publish();
    st.spectrumPending = false;
}

void raisePeak(std::atomic<double>& peak, double level) {
    double current = peak.load(rlx);
    while (level > current && !peak.compare_exchange_weak(current, level, rlx))
        ;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Picture

void AnalyserPicture::resize(int w, int h) {
    width = std::clamp(w, 1, kMaxWidth);
    height = std::clamp(h, 1, kMaxHeight);
    pixels.resize(static_cast<std::size_t>(width) * height); // within the reserved memory
}

void AnalyserPicture::fill(uint32_t colour) {
    std::fill(pixels.begin(), pixels.end(), colour);
}

void AnalyserPicture::blendPoint(double x, double y, uint32_t colour) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    const double fx0 = std::floor(x);
    const double fy0 = std::floor(y);
    if (fx0 < -1 || fy0 < -1 || fx0 >= width || fy0 >= height) return;
    const int x0 = static_cast<int>(fx0);
    const int y0 = static_cast<int>(fy0);
    const double fx = x - fx0;
    const double fy = y - fy0;
    const double weights[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
    for (int c = 0; c < 4; ++c) {
        const int px = x0 + (c & 1);
        const int py = y0 + (c >> 1);
        const int w = static_cast<int>(weights[c] * 256.0 + 0.5);
        if (px < 0 || py < 0 || px >= width || py >= height || w <= 0) continue;
        uint32_t& p = pixels[static_cast<std::size_t>(py) * width + px];
        p = blend(p, colour, w);
    }
}

void AnalyserPicture::blendLine(double x0, double y0, double x1, double y1, uint32_t colour) {
    const double dx = x1 - x0;
    const double dy = y1 - y0;
    const double length = std::hypot(dx, dy);
    if (!std::isfinite(length)) return;
    const int steps = static_cast<int>(length);
    for (int i = 0; i <= steps; ++i) {
        const double t = length > 0 ? i / length : 0.0;
        blendPoint(x0 + dx * t, y0 + dy * t, colour);
    }
    if (length > steps) blendPoint(x1, y1, colour);
}

// ---------------------------------------------------------------------------------------------
// Hand-over

AnalyserState::AnalyserState() {
    for (AnalyserPicture* p : {&canvas, &pictures_[0], &pictures_[1], &pictures_[2]}) {
        p->pixels.reserve(static_cast<std::size_t>(kMaxWidth) * kMaxHeight);
        p->resize(kDefaultWidth, kDefaultHeight);
        p->fill(kAnalyserBlack);
    }
}

void AnalyserState::publish() {
    AnalyserPicture& out = pictures_[back_];
    out.resize(canvas.width, canvas.height);
    std::copy(canvas.pixels.begin(), canvas.pixels.end(), out.pixels.begin());
    out.serial = ++canvas.serial;
    back_ = middle_.exchange(static_cast<uint8_t>(back_ | kFresh), std::memory_order_acq_rel) & 3;
}

const AnalyserPicture& AnalyserState::latest() {
    if (middle_.load(std::memory_order_relaxed) & kFresh)
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & 3;
    return pictures_[front_];
}

void AnalyserState::requestClear(int width, int height) {
    const uint32_t w = static_cast<uint32_t>(std::clamp(width, 1, kMaxWidth));
    const uint32_t h = static_cast<uint32_t>(std::clamp(height, 1, kMaxHeight));
    pendingSize.store(w << 16 | h, rlx);
}

// ---------------------------------------------------------------------------------------------
// Measures

double periodicity(const double* samples, int n, double frequency) {
    if (n <= 0 || !(frequency > 0)) return 0.0;
    const double P = 48000.0 / frequency;
    const double N = std::trunc(n / P);
    // Values at 0, P, 2P, ... for at most 32 steps, below N positions.
    int positions = 0;
    double sum = 0;
    double previous = 0;
    for (int j = 0; j < N && j <= kMaxSteps; ++j) {
        const double v = sampleAt(samples, n, j * P);
        if (j > 0) sum += std::fabs(v - previous);
        previous = v;
        ++positions;
    }
    // Fewer than two values have no difference to average: no periodicity is measured.
    if (positions < 2) return 0.0;
    return std::max(1.0 - sum / (positions - 1), 0.0);
}

void spectrumBands(const double* samples, double bands[AnalyserState::kBands]) {
    for (int k = 1; k <= AnalyserState::kBands; ++k)
        bands[k - 1] = rawBand(samples, k);
    for (int i = 0; i < AnalyserState::kBands; ++i)
        smoothBand(bands, i);
}

// ---------------------------------------------------------------------------------------------
// Drawing

void drawSpectrum(AnalyserPicture& pic, const double bands[AnalyserState::kBands]) {
    for (int i = 0; i < AnalyserState::kBands; ++i)
        drawColumn(pic, i, bands[i]);
}

void drawOscilloscope(AnalyserPicture& pic, const double* samples) {
    pic.fill(kAnalyserBlack);
    const double h = pic.height;
    for (double x = 0; x < pic.width; x += 0.5) {
        const int i = static_cast<int>(x * AnalyserState::kBufferSamples / pic.width);
        const double y = std::clamp(h / 2 + samples[i] * h / 2, 0.0, h - 1);
        pic.blendPoint(x, y, kAnalyserTrace);
    }
}

// ---------------------------------------------------------------------------------------------
// Engine work

void evaluateOutputAnalyser(Module& m, EngineContext& ctx) {
    const AudioOutputAnalyserControls c{m};
    AnalyserState& st = m.stateAs<AnalyserState>();

    SampleChunk chunk;
    chunk.lengthByte = static_cast<int8_t>(ctx.chunkLength - SampleChunk::kBaseChunkLength);
    const int code = c.outputDeviceId().code.load(rlx);
    if (code == kNoDevice || !ctx.output || !ctx.output->readBack(code, chunk)) {
        std::fill(std::begin(chunk.samples), std::end(chunk.samples), 0.0);
        chunk.lengthByte = static_cast<int8_t>(ctx.chunkLength - SampleChunk::kBaseChunkLength);
    }
    const int length = std::clamp(chunk.length(), 0, SampleChunk::kSlots);

    // A share of the pending bands and columns in proportion to the chunk, so that the picture
    // is done before the next buffer fills, however long the chunks (the columns lag the bands
    // by one: 51 shares are granted by then).
    const int quota = (AnalyserState::kBands * length + kSpreadSamples - 1) / kSpreadSamples;
    advanceSpectrum(st, std::max(quota, 1));

    for (int i = 0; i < length; ++i) {
        st.buffer[st.fill++] = chunk.samples[i];
        if (st.fill < AnalyserState::kBufferSamples) continue;
        st.fill = 0;
        // The quota has drawn every column by now; should a buffer ever fill sooner, its
        // predecessor's picture is finished first rather than lost.
        advanceSpectrum(st, AnalyserState::kBands);

        const uint8_t show = m.showState.load(rlx);
        if (show == kShowCompact) {
            double level = 0;
            for (double s : st.buffer)
                level = std::max(level, 1250.0 * std::fabs(s));
            raisePeak(st.peak, level);
        } else if (show == kShowFull) {
            if (const uint32_t size = st.pendingSize.exchange(0, rlx)) {
                st.canvas.resize(static_cast<int>(size >> 16), static_cast<int>(size & 0xFFFF));
                st.canvas.fill(kAnalyserBlack);
            }
            const uint8_t mode = c.mode().mode.load(rlx);
            if (mode == kModeSpectrum) {
                // Measured over the next cycles. The picture is finished even if the window
                // turns compact or hidden meanwhile (it is due now); a new size or mode takes
                // effect at the next buffer, as it would had the picture been drawn at once.
                std::copy(std::begin(st.buffer), std::end(st.buffer), std::begin(st.frozen));
                st.bandsDone = st.columnsDone = 0;
                st.spectrumPending = true;
            } else if (mode == kModeOscilloscope) {
                drawOscilloscope(st.canvas, st.buffer);
                st.publish();
            }
        }
    }
}

} // namespace kv

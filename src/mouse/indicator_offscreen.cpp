#include "mouse/indicator_offscreen.h"

#include <GL/osmesa.h>

#include <array>
#include <cstdio>
#include <memory>

namespace kv {

Rgb IndicatorFrame::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return {};
    const std::uint8_t* p = &bgra[(std::size_t(height - 1 - y) * width + x) * 4];
    return {p[2], p[1], p[0]};
}

OffscreenIndicator::OffscreenIndicator(int width, int height, Rgb background)
    : width_(width), height_(height) {
    if (width <= 0 || height <= 0) {
        error_ = "the indicator needs a size of at least 1 × 1 pixel";
        return;
    }
    // 32 depth bits as the window context asks for; Mesa may offer only 24.
    OSMesaContext ctx = OSMesaCreateContextExt(OSMESA_RGBA, 32, 0, 0, nullptr);
    if (!ctx) ctx = OSMesaCreateContextExt(OSMESA_RGBA, 24, 0, 0, nullptr);
    if (!ctx) {
        error_ = "Unable create the rendering context";
        return;
    }
    context_ = ctx;
    buffer_.assign(std::size_t(width) * height * 4, 0);
    if (!makeCurrent()) {
        OSMesaDestroyContext(ctx);
        context_ = nullptr;
        error_ = "Unable make rendering context current";
        return;
    }
    if (!glGetString(GL_RENDERER)) {
        OSMesaDestroyContext(ctx);
        context_ = nullptr;
        error_ = "the rendering context names no renderer";
        return;
    }
    prepareIndicatorContext(width, height, background);
    // The self-test would always pass when background and triangle share a colour; use a
    // contrasting one so that the test means something here.
    Rgb probe{std::uint8_t(255 - background.r), std::uint8_t(255 - background.g),
              std::uint8_t(255 - background.b)};
    if (!indicatorContextWorks(width, height, background, probe)) {
        OSMesaDestroyContext(ctx);
        context_ = nullptr;
        error_ = "the rendering context does not draw";
    }
}

OffscreenIndicator::~OffscreenIndicator() {
    if (context_) {
        if (OSMesaGetCurrentContext() == static_cast<OSMesaContext>(context_))
            OSMesaMakeCurrent(nullptr, nullptr, GL_UNSIGNED_BYTE, 0, 0);
        OSMesaDestroyContext(static_cast<OSMesaContext>(context_));
    }
}

bool OffscreenIndicator::makeCurrent() {
    return OSMesaMakeCurrent(static_cast<OSMesaContext>(context_), buffer_.data(), GL_UNSIGNED_BYTE,
                             width_, height_) == GL_TRUE;
}

bool OffscreenIndicator::render(IndicatorState& s, const IndicatorInputs& in,
                                const IndicatorColours& c, IndicatorFrame& out) {
    if (!context_ || !makeCurrent()) return false;
    drawIndicatorFrame(s, in, c, width_, height_);
    out.width = width_;
    out.height = height_;
    out.bgra.resize(std::size_t(width_) * height_ * 4);
    readIndicatorPixels(width_, height_, out.bgra.data());
    return true;
}

namespace {

std::uint32_t crc32(const std::uint8_t* p, std::size_t n, std::uint32_t crc = 0) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void putBigEndian(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8)
        v.push_back(std::uint8_t(x >> shift));
}

void putChunk(std::vector<std::uint8_t>& png, const char type[4],
              const std::vector<std::uint8_t>& data) {
    putBigEndian(png, std::uint32_t(data.size()));
    std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    putBigEndian(png, crc32(&png[start], png.size() - start));
}

} // namespace

bool writeFramePng(const IndicatorFrame& f, const std::string& path) {
    if (f.width <= 0 || f.height <= 0 || f.bgra.size() < std::size_t(f.width) * f.height * 4)
        return false;
    // Scanlines top row first, each led by filter type 0, in stored (uncompressed) deflate blocks.
    std::vector<std::uint8_t> raw;
    raw.reserve(std::size_t(f.height) * (f.width * 3 + 1));
    for (int y = 0; y < f.height; ++y) {
        raw.push_back(0);
        for (int x = 0; x < f.width; ++x) {
            Rgb p = f.pixel(x, y);
            raw.insert(raw.end(), {p.r, p.g, p.b});
        }
    }
    std::vector<std::uint8_t> z = {0x78, 0x01};
    std::size_t pos = 0;
    do {
        std::size_t n = std::min<std::size_t>(65535, raw.size() - pos);
        bool last = pos + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.insert(z.end(),
                 {std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(~n), std::uint8_t(~n >> 8)});
        z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
        pos += n;
    } while (pos < raw.size());
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    putBigEndian(z, (b << 16) | a);

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    putBigEndian(header, std::uint32_t(f.width));
    putBigEndian(header, std::uint32_t(f.height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter, no interlace
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", z);
    putChunk(png, "IEND", {});

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                         &std::fclose);
    if (!file) return false;
    bool written = std::fwrite(png.data(), 1, png.size(), file.get()) == png.size();
    return std::fclose(file.release()) == 0 && written;
}

} // namespace kv

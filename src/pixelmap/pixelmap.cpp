#include "pixelmap/pixelmap.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>

#include "low/Errors.h"
#include "pixelmap/Blend.h"

namespace quenlo {

int32_t TPixelMap::CheckedDataSize(int64_t w, int64_t h, int bpp) {
    // The row stride must fit, even when there are no rows. w * h * bpp can
    // pass 2^63 for w, h below 2^31, so the whole is checked by division.
    if (w < 0 || h < 0 || w > INT32_MAX || h > INT32_MAX || w * bpp > INT32_MAX ||
        (h > 0 && w * bpp > INT32_MAX / h))
        throw EInvalidImageSize(w, h);
    return static_cast<int32_t>(w * h * bpp);
}

namespace {
// Large maps are laid on 2 MiB boundaries and offered to the kernel for
// huge pages: a 70 MB image then costs tens of page faults, not 17,000.
constexpr size_t kHugePage = size_t{2} << 20;

uint8_t* AllocateBuffer(size_t bytes) {
    void* p = nullptr;
    if (bytes >= 2 * kHugePage) {
        p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
#ifdef MADV_HUGEPAGE
        if (p) ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
    } else {
        p = std::malloc(bytes);
    }
    if (!p) throw std::bad_alloc();
    return static_cast<uint8_t*>(p);
}
}  // namespace

void TPixelMap::FreeBuffer::operator()(uint8_t* p) const noexcept { std::free(p); }

void TPixelMap::SetSize(int32_t w, int32_t h) {
    data_.reset();
    width_ = height_ = stride_ = dataSize_ = 0;
    const int32_t size = CheckedDataSize(w, h, bpp_);
    if (size > 0) data_.reset(AllocateBuffer(static_cast<size_t>(size)));  // may throw bad_alloc: map stays empty
    width_ = w;
    height_ = h;
    stride_ = w * bpp_;
    dataSize_ = size;
}

void TPixelMap::SetBounds(const TRect& r) {
    const int64_t w = std::llabs(static_cast<int64_t>(r.Right) - r.Left) + 1;
    const int64_t h = std::llabs(static_cast<int64_t>(r.Bottom) - r.Top) + 1;
    if (w > INT32_MAX || h > INT32_MAX) throw EInvalidImageSize(w, h);
    SetSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
    Top = r.Top;
    Left = r.Left;
}

void TPixelMap::GetBounds(TRect& r) const {
    // A map placed at the far end of the plane reaches no further than it;
    // a wrapped edge would turn the rectangle inside out.
    const auto edge = [](int32_t start, int32_t extent) {
        return int32_t(std::clamp<int64_t>(int64_t{start} + extent - 1, INT32_MIN, INT32_MAX));
    };
    r = {Left, Top, edge(Left, width_), edge(Top, height_)};
}

bool TPixelMap::InMap(int32_t x, int32_t y) const {
    return x >= 0 && x < width_ && y >= 0 && y < height_;
}

void TPixelMap::PutPixel(int32_t x, int32_t y) {
    if (TPixelMap::InMap(x, y)) std::memcpy(PixelAddr(x, y), Pen, bpp_);
}

void TPixelMap::GetPixel(int32_t x, int32_t y) {
    std::memcpy(Pen, PixelAddr(x, y), bpp_);
}

void TPixelMap::BlendPixel(int32_t, int32_t, uint32_t) {}

uint32_t BlendWeight(float alpha) {
    // Callers keep alpha within 0..1; NaN and out-of-range values are pinned
    // so the conversion itself stays defined.
    float w = alpha * 65535.0f;
    if (!(w >= 0.0f)) w = 0.0f;
    if (w > 65535.0f) w = 65535.0f;
    return static_cast<uint32_t>(std::nearbyint(w));
}

void TPixelMap::BlendPixelF(int32_t x, int32_t y, float alpha) { BlendPixel(x, y, BlendWeight(alpha)); }

void TPixelMap::FillRect(int32_t x, int32_t y, int32_t w, int32_t h) {
    if (w <= 0 || h <= 0) return;
    // Clip once, then fill row spans; same result as PutPixel on every point.
    const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
    const int64_t x1 = std::min<int64_t>(int64_t{x} + w, width_), y1 = std::min<int64_t>(int64_t{y} + h, height_);
    if (x0 >= x1 || y0 >= y1) return;
    const size_t n = static_cast<size_t>(x1 - x0);
    // The first span pixel by pixel, then each further row a copy of it.
    uint8_t* first = PixelAddr(static_cast<int32_t>(x0), static_cast<int32_t>(y0));
    if (bpp_ == 1) {
        std::memset(first, Pen[0], n);
    } else {
        uint8_t* p = first;
        for (size_t i = 0; i < n; ++i, p += bpp_) std::memcpy(p, Pen, bpp_);
    }
    for (int64_t yy = y0 + 1; yy < y1; ++yy)
        std::memcpy(PixelAddr(static_cast<int32_t>(x0), static_cast<int32_t>(yy)), first, n * bpp_);
}

void TPixelMap::Clear() { FillRect(0, 0, width_, height_); }

void TPixelMap::CopyRect(int32_t srcX, int32_t srcY, int32_t dstX, int32_t dstY, int32_t w, int32_t h,
                         const TPixelMap& src) {
    if (int64_t{srcX} + w > src.width_) w = src.width_ - srcX;
    if (int64_t{srcY} + h > src.height_) h = src.height_ - srcY;
    if (int64_t{dstX} + w > width_) w = width_ - dstX;
    if (int64_t{dstY} + h > height_) h = height_ - dstY;
    if (src.bpp_ != bpp_ || h <= 0 || w <= 0) return;
    // Coordinates are the caller's to keep non-negative; refuse rather than
    // address memory before the buffers.
    if (srcX < 0 || srcY < 0 || dstX < 0 || dstY < 0) return;
    const size_t n = static_cast<size_t>(w) * bpp_;
    for (int32_t i = 0; i < h; ++i)
        std::memmove(PixelAddr(dstX, dstY + i), src.PixelAddr(srcX, srcY + i), n);
}

void TPixelMap::DrawGaussSpot(float x, float y, float radius, float soft, float alpha) {
    DrawSpot(2, x, y, radius, soft, alpha);
}

// --- kinds ---------------------------------------------------------------

std::unique_ptr<TPixelMap> CreatePixelMap(PixelKind kind) {
    switch (kind) {
        case PixelKind::RGB: return std::make_unique<TPixelMapRGB>();
        case PixelKind::Gray: return std::make_unique<TPixelMapGray>();
        case PixelKind::WGray: return std::make_unique<TPixelMapWGray>();
        case PixelKind::ARGB: return std::make_unique<TPixelMapARGB>();
    }
    return nullptr;
}

TColor TPixelMapRGB::GetPen() const {
    return static_cast<TColor>(Pen[0]) << 16 | static_cast<TColor>(Pen[1]) << 8 | Pen[2];
}

void TPixelMapRGB::SetPen(TColor c) {
    Pen[0] = static_cast<uint8_t>(c >> 16);
    Pen[1] = static_cast<uint8_t>(c >> 8);
    Pen[2] = static_cast<uint8_t>(c);
}

void TPixelMapRGB::BlendPixel(int32_t x, int32_t y, uint32_t w) {
    if (!InMap(x, y)) return;
    if (w == 65535) { PutPixel(x, y); return; }
    uint8_t* p = PixelAddr(x, y);
    for (int k = 0; k < 3; ++k) p[k] = MixByte(p[k], Pen[k], w);
}

TColor TPixelMapGray::GetPenColor() const { return ColorFromRGB(Pen[0], Pen[0], Pen[0]); }

void TPixelMapGray::SetPenColor(TColor c) {
    Pen[0] = static_cast<uint8_t>(((c & 0xFF) + (c >> 8 & 0xFF) + (c >> 16 & 0xFF)) / 3);
}

void TPixelMapGray::BlendPixel(int32_t x, int32_t y, uint32_t w) {
    if (!InMap(x, y)) return;
    if (w == 65535) { PutPixel(x, y); return; }
    uint8_t* p = PixelAddr(x, y);
    *p = MixByte(*p, Pen[0], w);
}

TColor TPixelMapWGray::GetPenColor() const {
    const int v = static_cast<int>(GetPen() >> 8);
    return ColorFromRGB(v, v, v);
}

void TPixelMapWGray::SetPenColor(TColor c) {
    SetPen(((c & 0xFF) + (c >> 8 & 0xFF) + (c >> 16 & 0xFF)) * 257 / 3);
}

void TPixelMapWGray::BlendPixel(int32_t x, int32_t y, uint32_t w) {
    if (!InMap(x, y)) return;
    if (w == 65535) { PutPixel(x, y); return; }
    uint8_t* p = PixelAddr(x, y);
    const uint64_t level = p[0] | p[1] << 8;
    const uint64_t v = (level * (65535u - w) + uint64_t{GetPen()} * w) / 65535u;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

TColor TPixelMapARGB::GetPen() const {
    const TColor rgb = static_cast<TColor>(Pen[0]) << 16 | static_cast<TColor>(Pen[1]) << 8 | Pen[2];
    switch (PenMode) {
        case ModeAll: return rgb | static_cast<TColor>(Pen[3]) << 24;
        case ModeColor: return rgb;
        case ModeAlpha: return Pen[3];
        default: return 0;
    }
}

void TPixelMapARGB::SetPen(TColor c) {
    switch (PenMode) {
        case ModeAll:
            Pen[3] = static_cast<uint8_t>(c >> 24);
            [[fallthrough]];
        case ModeColor:
            Pen[0] = static_cast<uint8_t>(c >> 16);
            Pen[1] = static_cast<uint8_t>(c >> 8);
            Pen[2] = static_cast<uint8_t>(c);
            break;
        case ModeAlpha:
            Pen[3] = static_cast<uint8_t>(c);
            break;
        default:
            break;
    }
}

TColor TPixelMapARGB::GetPenColor() const {
    // Alpha-only mode gives and takes the alpha as a gray level.
    if (PenMode == ModeAlpha) return ColorFromRGB(Pen[3], Pen[3], Pen[3]);
    return GetPen();
}

void TPixelMapARGB::SetPenColor(TColor c) {
    if (PenMode == ModeAlpha) {
        Pen[3] = static_cast<uint8_t>(((c & 0xFF) + (c >> 8 & 0xFF) + (c >> 16 & 0xFF)) / 3);
        return;
    }
    SetPen(c);
}

void TPixelMapARGB::BlendPixel(int32_t x, int32_t y, uint32_t w) {
    if (!InMap(x, y)) return;
    uint8_t* p = PixelAddr(x, y);
    switch (PenMode) {
        case ModeAll: {
            const uint32_t a = p[3];
            const uint32_t c = w * Pen[3] / 65535u;
            const uint32_t s = a + c;
            p[3] = static_cast<uint8_t>(s > 255 ? 255 : s);
            if (s == 0) return;
            for (int k = 0; k < 3; ++k) p[k] = static_cast<uint8_t>((p[k] * a + Pen[k] * c) / s);
            break;
        }
        case ModeColor:
            for (int k = 0; k < 3; ++k) p[k] = MixByte(p[k], Pen[k], w);
            break;
        case ModeAlpha:
            p[3] = MixByte(p[3], Pen[3], w);
            break;
        default:
            break;
    }
}

TColor TPixelMapARGB::GetPixelColor(int32_t x, int32_t y) const {
    if (!InMap(x, y)) return 0;
    const uint8_t* p = PixelAddr(x, y);
    const TColor rgb = static_cast<TColor>(p[0]) << 16 | static_cast<TColor>(p[1]) << 8 | p[2];
    switch (PenMode) {
        case ModeAll: return rgb | static_cast<TColor>(p[3]) << 24;
        case ModeColor: return rgb;
        case ModeAlpha: return static_cast<TColor>(p[3]) << 24;
        default: return 0;
    }
}

void TPixelMapARGB::GetAlphaBounds(TRect& r) {
    PenMode = ModeColor;
    r = {MaxX(), MaxY(), 0, 0};
    for (int32_t y = 0; y < Height(); ++y) {
        const uint8_t* row = ScanLine(y);
        for (int32_t x = 0; x < Width(); ++x) {
            if (row[x * 4 + 3] == 0) continue;
            if (x < r.Left) r.Left = x;
            if (y < r.Top) r.Top = y;
            if (x > r.Right) r.Right = x;
            if (y > r.Bottom) r.Bottom = y;
        }
    }
}

}  // namespace quenlo

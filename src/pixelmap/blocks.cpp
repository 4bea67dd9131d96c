// Block copies between maps, with optional wrap-around for tiling.
#include <algorithm>
#include <cstring>

#include "pixelmap/pixelmap.h"

namespace quenlo {

namespace {

// v modulo n in 0 .. n - 1, also for negative v; n > 0.
int64_t WrapInto(int64_t v, int64_t n) {
    v %= n;
    return v < 0 ? v + n : v;
}

// memmove, not memcpy: a map may copy a block within itself.
void MovePixels(uint8_t* dst, const uint8_t* src, int64_t count, int bpp) {
    if (count > 0) std::memmove(dst, src, static_cast<size_t>(count) * static_cast<size_t>(bpp));
}

// Block rows i (0 <= i < h) whose row y + i exists in a map of the given
// height; without wrap that is one contiguous range, decided once.
void RowRange(int64_t y, int64_t h, int64_t height, bool wrap, int64_t& first, int64_t& end) {
    if (wrap) {
        first = 0;
        end = h;
    } else {
        first = std::max<int64_t>(0, -y);
        end = std::min<int64_t>(h, height - y);
    }
}

}  // namespace

void TPixelMap::GetRect(int32_t x, int32_t y, int32_t w, int32_t h, TPixelMap& dest) const {
    if (w < 0 || h < 0 || dest.bpp_ != bpp_) return;
    w = std::min(w, dest.width_);
    h = std::min(h, dest.height_);
    // An empty source has no rows to take, and no modulus for the wrap.
    if (w == 0 || h == 0 || width_ <= 0 || height_ <= 0) return;

    int64_t sx = x, sy = y;
    if (WrapY) sy = WrapInto(sy, height_);
    else if (sy < -h) return;
    if (WrapX) sx = WrapInto(sx, width_);
    else if (sx < -w) return;

    int64_t first, end;
    RowRange(sy, h, height_, WrapY, first, end);
    const int bpp = bpp_;
    for (int64_t i = first; i < end; ++i) {
        const int64_t row = WrapY ? (sy + i) % height_ : sy + i;
        const uint8_t* s = ScanLine(static_cast<int32_t>(row));
        uint8_t* d = dest.ScanLine(static_cast<int32_t>(i));
        if (sx < 0) {
            MovePixels(d + -sx * bpp, s, std::min<int64_t>(w + sx, width_), bpp);
            continue;
        }
        if (sx >= width_) continue;  // only without wrap
        int64_t done = std::min<int64_t>(w, width_ - sx);
        MovePixels(d, s + sx * bpp, done, bpp);
        if (!WrapX) continue;
        // Tiling: start over at column 0 of the same row until the block row is full.
        while (done < w) {
            const int64_t n = std::min<int64_t>(w - done, width_);
            MovePixels(d + done * bpp, s, n, bpp);
            done += n;
        }
    }
}

void TPixelMap::PutRect(int32_t x, int32_t y, int32_t w, int32_t h, const TPixelMap& src) {
    if (src.bpp_ != bpp_ || w < 0 || h < 0) return;
    w = std::min(w, width_);
    h = std::min(h, height_);
    // Take no more than the source holds rather than read past its rows.
    w = std::min(w, src.width_);
    h = std::min(h, src.height_);
    if (w == 0 || h == 0) return;

    int64_t tx = x, ty = y;
    if (WrapY) ty = WrapInto(ty, height_);
    else if (ty < -h) return;
    if (WrapX) tx = WrapInto(tx, width_);
    else if (tx < -w) return;

    int64_t first, end;
    RowRange(ty, h, height_, WrapY, first, end);
    const int bpp = bpp_;
    for (int64_t i = first; i < end; ++i) {
        const int64_t row = WrapY ? (ty + i) % height_ : ty + i;
        const uint8_t* s = src.ScanLine(static_cast<int32_t>(i));
        uint8_t* t = ScanLine(static_cast<int32_t>(row));
        if (tx < 0) {
            MovePixels(t, s + -tx * bpp, w + tx, bpp);
        } else if (w <= width_ - tx) {
            MovePixels(t + tx * bpp, s, w, bpp);
        } else if (tx < width_) {
            // w <= width_, so with wrap the rest fits before column tx.
            const int64_t n = width_ - tx;
            MovePixels(t + tx * bpp, s, n, bpp);
            if (WrapX) MovePixels(t, s + n * bpp, w - n, bpp);
        }
    }
}

}  // namespace quenlo

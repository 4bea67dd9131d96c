#include "scene/DrawBlock.h"

#include <algorithm>

namespace quenlo {

namespace {

// One axis of ClipDrawBlock, in 64 bits so that no sum can wrap.
bool ClipAxis(int64_t& dst, int64_t& src, int64_t& n, int64_t dstSize, int64_t srcSize) {
    if (dst < 0) {
        src -= dst;
        n += dst;
        dst = 0;
    }
    if (src < 0) {
        dst -= src;
        n += src;
        src = 0;
    }
    n = std::min({n, dstSize - dst, srcSize - src});
    return n > 0;
}

}  // namespace

bool ClipDrawBlock(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                   int32_t tw, int32_t th, int32_t sw, int32_t sh, TDrawBlock& out) {
    int64_t dx = dstX, dy = dstY, sx = srcX, sy = srcY, nw = w, nh = h;
    if (!ClipAxis(dx, sx, nw, tw, sw) || !ClipAxis(dy, sy, nh, th, sh)) return false;
    out = {int32_t(dx), int32_t(dy), int32_t(sx), int32_t(sy), int32_t(nw), int32_t(nh)};
    return true;
}

}  // namespace quenlo

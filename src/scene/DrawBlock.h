#pragma once
#include <cstdint>

namespace quenlo {

// A DrawArea request cut down once to the pixels that exist on both sides,
// so the row loops never test bounds. The one clip rule of every DrawArea:
// the plain fill, the kinds that draw from a map and the drafters.
struct TDrawBlock {
    int32_t DstX = 0;
    int32_t DstY = 0;
    int32_t SrcX = 0;
    int32_t SrcY = 0;
    int32_t W = 0;
    int32_t H = 0;
};

// False when nothing of the w x h block lies inside both the target
// (tw x th) and the source (sw x sh). Source and target move together:
// the result keeps DstX - SrcX = dstX - srcX.
bool ClipDrawBlock(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                   int32_t tw, int32_t th, int32_t sw, int32_t sh, TDrawBlock& out);

}  // namespace quenlo

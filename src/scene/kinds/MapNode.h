#pragma once
// The skeleton of the kinds that own a map of their own size (image, cel,
// stencil): a new map on every size change, and DrawArea up to the row
// kernel that each kind keeps for itself.
#include <climits>
#include <cstdint>
#include <memory>

#include "pixelmap/pixelmap.h"
#include "scene/DrawBlock.h"
#include "scene/Velora.h"

namespace quenlo {

// Fills map, when there is one, with pen: "wipe".
template <class TMap>
void FillMap(TMap* map, uint32_t pen) {
    if (!map) return;
    map->SetPen(pen);
    map->Clear();
}

// Gives node a new w x h map cleared to pen and makes it visible. The old
// map goes before the size changes: a view that repaints on hearing of the
// new size would read it with the wrong dimensions. A negative size throws
// from the map and leaves the node without one.
template <class TMap>
void ResetMap(TVelora& node, std::unique_ptr<TMap>& map, int32_t w, int32_t h, uint32_t pen) {
    // The same size again needs no new map, only the clear: a size repeated
    // many times costs no allocation.
    if (map && w >= 0 && h >= 0 && map->Width() == w && map->Height() == h) {
        node.SetWidth(w);
        node.SetHeight(h);
        FillMap(map.get(), pen);
        node.SetVisible(true);
        return;
    }
    map.reset();
    node.SetWidth(w);
    node.SetHeight(h);
    auto fresh = std::make_unique<TMap>();
    fresh->SetSize(w, h);
    FillMap(fresh.get(), pen);
    map = std::move(fresh);
    node.SetVisible(true);
}

// DrawArea of a map-owning node. Without a map the node draws as the base
// does; at opacity 0 it draws nothing. Otherwise the block is cut to the
// target and to the map too (LoadFile swaps a map in before the node takes
// its size), and row(src, dst, width, alpha) runs on each row, alpha 1..255.
template <class TMap, class TRow>
void DrawMapRows(TVelora& node, const TMap* map, int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY,
                 int32_t w, int32_t h, TPixelMapRGB& target, TRow&& row) {
    if (!map) {
        node.TVelora::DrawArea(dstX, dstY, srcX, srcY, w, h, target);
        return;
    }
    const uint32_t a = AlphaFromOpq(node.EffectiveOpq());
    if (a == 0) return;
    TDrawBlock b;
    if (!ClipDrawBlock(dstX, dstY, srcX, srcY, w, h, target.Width(), target.Height(), map->Width(),
                       map->Height(), b))
        return;
    // Rows of both maps' full width lie back to back on both sides: one
    // long row, where its pixel count fits the kernel's.
    if (b.W == target.Width() && b.W == map->Width() && int64_t(b.W) * b.H <= INT32_MAX) {
        row(map->PixelAddr(0, b.SrcY), target.PixelAddr(0, b.DstY), b.W * b.H, a);
        return;
    }
    for (int32_t r = 0; r < b.H; ++r)
        row(map->PixelAddr(b.SrcX, b.SrcY + r), target.PixelAddr(b.DstX, b.DstY + r), b.W, a);
}

}  // namespace quenlo

#include "scene/kinds/VlxImg.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>

#include "imageio/VlxIo.h"
#include "pixelmap/Blend.h"
#include "scene/kinds/DrawBlock.h"
#include "low/VeloreLow.h"
#include "scene/PointingMsg.h"

namespace quenlo {

int32_t Random(int32_t n) {
    static std::mt19937 engine{std::random_device{}()};
    if (n <= 1) return 0;
    return std::uniform_int_distribution<int32_t>(0, n - 1)(engine);
}

TVlxImg::TVlxImg() {
    SetCol(0xFFFFFF);  // through the setter, so "col" is written back
    Grabs = true;
}

void TVlxImg::ApplyStatement(std::string& stmt) {
    TVelora::ApplyStatement(stmt);
    if (stmt.empty()) return;
    TKindArgs a;
    if (MatchCommand("wipe", 0, stmt, a)) {
        Wipe();
        stmt.clear();
    }
}

void TVlxImg::Wipe() {
    if (!Map) return;
    Map->SetPen(Col);
    Map->Clear();
}

void TVlxImg::SetSize(int32_t w, int32_t h) {
    // The old map must be gone before the view hears of the new size: a
    // repaint in between would read it with the wrong dimensions.
    Map.reset();
    SetWidth(w);
    SetHeight(h);
    auto map = std::make_unique<TPixelMapRGB>();
    map->SetSize(w, h);
    map->SetPen(Col);
    map->Clear();
    Map = std::move(map);
    SetVisible(true);
}

void TVlxImg::LoadFile(const std::string& fileName) {
    std::unique_ptr<TPixelMap> loaded = LoadImageFile(PixelKind::RGB, fileName);
    if (!loaded || loaded->Kind() != PixelKind::RGB) return;
    Map.reset(static_cast<TPixelMapRGB*>(loaded.release()));
    SetWidth(Map->Width());
    SetHeight(Map->Height());
    SetVisible(true);
    FileName = fileName;
}

void TVlxImg::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                       int32_t h, TPixelMapRGB& target) {
    if (!Map) {
        TVelora::DrawArea(dstX, dstY, srcX, srcY, w, h, target);
        return;
    }
    const uint32_t a = AlphaFromOpq(EffectiveOpq());
    if (a == 0) return;

    // The map is clipped to as well: LoadFile swaps it in before the node takes its size.
    TDrawBlock b;
    if (!ClipDrawBlock(dstX, dstY, srcX, srcY, w, h, target.Width(), target.Height(), Map->Width(),
                       Map->Height(), b))
        return;
    const size_t rowBytes = size_t(b.W) * 3;
    for (int32_t r = 0; r < b.H; ++r) {
        const uint8_t* s = Map->PixelAddr(b.SrcX, b.SrcY + r);
        uint8_t* d = target.PixelAddr(b.DstX, b.DstY + r);
        if (a == 255) {
            std::memcpy(d, s, rowBytes);
            continue;
        }
        BlendRowRounded(d, s, rowBytes, a);
    }
}

void TVlxImg::DoPointing(TPoint pt, TPointF, TPointingMsg& msg) {
    if (msg.State != kPointMove || !(msg.LeftDown || msg.RightDown) || !Map) return;
    const float x = float(pt.X), y = float(pt.Y);
    LastPaint = {x, y};

    TColor pen;
    if (msg.LeftDown) {
        pen = ColorFromRGB(128, 255, 0);
    } else {
        // Drawn blue first, then green, then red.
        const int b = Random(150) + 100;
        const int g = Random(150) + 50;
        const int r = Random(50);
        pen = ColorFromRGB(r, g, b);
    }
    Map->SetPen(pen);
    const float r = float(Random(50) + 10);
    Map->DrawGaussSpot(x, y, r, 0.2f * r, 0.1f);

    AddDirty(MakeRect(RoundToInt32(x - r - 1), RoundToInt32(y - r - 1), RoundToInt32(x + r + 1),
                      RoundToInt32(y + r + 1)));
    Refresh();
}

}  // namespace quenlo

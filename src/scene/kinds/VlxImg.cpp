#include "scene/kinds/VlxImg.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>

#include "imageio/VlxIo.h"
#include "pixelmap/Blend.h"
#include "low/VeloreLow.h"
#include "scene/PointingMsg.h"

namespace quenlo {

namespace {

// Nearest, halves to even; far-off pointer positions clamp.
int32_t RoundInt(float v) {
    const double r = std::nearbyint(double(v));
    return int32_t(std::clamp(r, double(INT32_MIN), double(INT32_MAX)));
}

}  // namespace

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
    std::array<std::string, 5> a;
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

    // Clip once against both maps, in 64 bits. The map is also checked
    // because LoadFile swaps it in before the node takes its size.
    int64_t dx = dstX, dy = dstY, sx = srcX, sy = srcY;
    const int64_t skipX = std::max<int64_t>({0, -dx, -sx});
    const int64_t skipY = std::max<int64_t>({0, -dy, -sy});
    dx += skipX, sx += skipX, dy += skipY, sy += skipY;
    const int64_t cw = std::min<int64_t>({int64_t(w) - skipX, target.Width() - dx, Map->Width() - sx});
    const int64_t ch = std::min<int64_t>({int64_t(h) - skipY, target.Height() - dy, Map->Height() - sy});
    if (cw <= 0 || ch <= 0) return;
    const size_t rowBytes = size_t(cw) * 3;

    for (int64_t r = 0; r < ch; ++r) {
        const uint8_t* s = Map->PixelAddr(int32_t(sx), int32_t(sy + r));
        uint8_t* d = target.PixelAddr(int32_t(dx), int32_t(dy + r));
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

    AddDirty(MakeRect(RoundInt(x - r - 1), RoundInt(y - r - 1), RoundInt(x + r + 1),
                      RoundInt(y + r + 1)));
    Refresh();
}

}  // namespace quenlo

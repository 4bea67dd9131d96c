#include "scene/kinds/VlxMat.h"

#include <algorithm>
#include <cstring>

#include "low/VeloreLow.h"
#include "pixelmap/Blend.h"
#include "scene/kinds/MapNode.h"

namespace quenlo {

// ---- TVlxMat ---------------------------------------------------------------

TVlxMat::TVlxMat() {
    SetCol(0xFFFFFF);
    Grabs = false;  // a press on a matte never captures the pointer
}

// ---- TVlxCel ---------------------------------------------------------------

TVlxCel::TVlxCel() {
    SetCol(0x000000);
    Grabs = true;
}

void TVlxCel::ApplyStatement(std::string& stmt) {
    TVelora::ApplyStatement(stmt);
    if (!stmt.empty() && MatchCommand("wipe", 0, stmt, {})) {
        FillMap(Map.get(), Col);  // all four pen bytes, in whatever mode the pen was left
        stmt.clear();
    }
}

// Col's alpha byte is 0 for every ColorFromRGB colour: all transparent.
void TVlxCel::SetSize(int32_t w, int32_t h) { ResetMap(*this, Map, w, h, Col); }

void TVlxCel::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                       int32_t h, TPixelMapRGB& target) {
    // Per block of pixels: spread each pixel's weight and colour over its
    // three bytes, then blend byte by byte in a loop the compiler can
    // vectorise. Truncates: no rounding term, unlike the image node. At
    // weight 0 the rule gives d and at 255 it gives s exactly, so those need
    // no branch.
    DrawMapRows(*this, Map.get(), dstX, dstY, srcX, srcY, w, h, target,
                [](const uint8_t* s, uint8_t* d, int32_t width, uint32_t a) {
                    constexpr int32_t kBlock = 256;
                    uint8_t weight[3 * kBlock], colour[3 * kBlock];
                    for (int32_t c0 = 0; c0 < width; c0 += kBlock) {
                        const int32_t n = std::min(kBlock, width - c0);
                        const uint8_t* sp = s + 4 * c0;
                        for (int32_t i = 0; i < n; ++i) {
                            const uint8_t g = uint8_t(Div255(a * sp[4 * i + 3]));
                            weight[3 * i] = weight[3 * i + 1] = weight[3 * i + 2] = g;
                            colour[3 * i] = sp[4 * i];
                            colour[3 * i + 1] = sp[4 * i + 1];
                            colour[3 * i + 2] = sp[4 * i + 2];
                        }
                        uint8_t* dp = d + 3 * c0;
                        for (int32_t i = 0; i < 3 * n; ++i) {
                            const uint16_t g = weight[i];
                            const uint16_t t = uint16_t((255 - g) * dp[i] + g * colour[i]);
                            dp[i] = uint8_t((t + 1 + (t >> 8)) >> 8);
                        }
                    }
                });
}

namespace {

// GetAlphaBounds reports "nothing" as (MaxX, MaxY, 0, 0), which looks like a
// real rectangle on maps 0 or 1 pixels wide. A genuine result always has an
// alpha pixel in its top row, so that row decides.
bool HasAlphaIn(const TPixelMapARGB& map, const TRect& r) {
    if (map.Width() <= 0 || map.Height() <= 0) return false;
    if (r.Right < r.Left || r.Bottom < r.Top) return false;
    if (r.Left < 0 || r.Top < 0 || r.Right > map.MaxX() || r.Bottom > map.MaxY()) return false;
    const uint8_t* p = map.PixelAddr(r.Left, r.Top);
    for (int32_t x = r.Left; x <= r.Right; ++x, p += 4)
        if (p[3] != 0) return true;
    return false;
}

}  // namespace

TVlxCel* TVlxCel::CutOut() {
    if (!Map) return nullptr;
    Map->PenMode = TPixelMapARGB::ModeAll;
    Map->SetPen(Col);
    TRect r;
    Map->GetAlphaBounds(r);
    if (!HasAlphaIn(*Map, r)) return nullptr;

    const int32_t w = r.Right - r.Left + 1;
    const int32_t h = r.Bottom - r.Top + 1;
    auto cel = MakeVelora<TVlxCel>();
    cel->SetSize(w, h);
    cel->Map->CopyRect(r.Left, r.Top, 0, 0, w, h, *Map);
    cel->SetPosition(int32_t(uint32_t(Left) + uint32_t(r.Left)),
                     int32_t(uint32_t(Top) + uint32_t(r.Top)));
    // Transparent pixels let the pointer through to the nodes below.
    TVlxCel* self = cel.get();
    cel->OnHitTest = [self](TVelora&, TPoint pt) {
        if (!self->Map) return false;
        self->Map->PenMode = TPixelMapARGB::ModeAlpha;
        return self->Map->GetPixelColor(pt.X, pt.Y) != 0;
    };
    // The lifted pixels take this cel's place; this cel stays above them.
    cel->MoveAfter(this);
    MoveAfter(cel.get());

    Map->PenMode = TPixelMapARGB::ModeAll;
    Map->SetPen(Col);
    Map->Clear();
    return cel.release();
}

}  // namespace quenlo

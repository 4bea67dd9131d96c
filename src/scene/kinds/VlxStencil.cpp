#include "scene/kinds/VlxStencil.h"

#include <cstdint>

#include "low/VeloreLow.h"
#include "scene/DrawBlock.h"
#include "scene/PointingMsg.h"
#include "scene/kinds/MapNode.h"

namespace quenlo {

// ---- TVlxStencil -----------------------------------------------------------

TVlxStencil::TVlxStencil() {
    SetCol(0xFFFFFF);
    Grabs = true;
}

void TVlxStencil::ApplyStatement(std::string& stmt) {
    TVelora::ApplyStatement(stmt);
    if (stmt.empty()) return;
    if (MatchCommand("wipe", 0, stmt, {})) {
        FillMap(Map.get(), 0);
        Sprays = 0;
        stmt.clear();
    } else if (MatchCommand("airbrush", 0, stmt, {})) {
        // Blends into what is there: repeated sprays build up towards 65535.
        if (Map) {
            ++Sprays;
            Map->SetPen(65535);
            const float half = float(Width) / 2;  // odd widths centre on a half pixel
            Map->DrawSpot(2, half, float(Height) / 2, half, half, 0.9f);
        }
        stmt.clear();
    }
}

void TVlxStencil::WriteStatements(std::string& text) {
    TVelora::WriteStatements(text);
    for (int32_t i = 0; i < Sprays; ++i) text += FormatCommand("airbrush", {}, 0);
}

void TVlxStencil::SetSize(int32_t w, int32_t h) {
    Sprays = 0;
    ResetMap(*this, Map, w, h, 0);
}

void TVlxStencil::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                           int32_t h, TPixelMapRGB& target) {
    const uint32_t k[3] = {(Col >> 16) & 0xFF, (Col >> 8) & 0xFF, Col & 0xFF};
    // No branches: at m = 0 the rule gives d and at m = 65535 it gives k
    // exactly, so weights of 0 and 255 need no path of their own.
    DrawMapRows(*this, Map.get(), dstX, dstY, srcX, srcY, w, h, target,
                [&k](const uint8_t* s, uint8_t* d, int32_t width, uint32_t a) {
                    for (int32_t c = 0; c < width; ++c, s += 2, d += 3) {
                        const uint32_t v = uint32_t(s[0]) | uint32_t(s[1]) << 8;
                        const uint32_t m = a * v / 255;
                        const uint32_t im = 65535 - m;
                        d[0] = uint8_t((d[0] * im + k[0] * m + 32768) >> 16);
                        d[1] = uint8_t((d[1] * im + k[1] * m + 32768) >> 16);
                        d[2] = uint8_t((d[2] * im + k[2] * m + 32768) >> 16);
                    }
                });
}

// ---- TVlx2 -----------------------------------------------------------------

TVlx2::TVlx2() { Grabs = true; }

void TVlx2::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                     TPixelMapRGB& target) {
    // Unhovered it is exactly the plain fill of the base.
    if (!Hovered) {
        TVelora::DrawArea(dstX, dstY, srcX, srcY, w, h, target);
        return;
    }
    TDrawBlock b;
    if (!ClipDrawBlock(dstX, dstY, srcX, srcY, w, h, target.Width(), target.Height(), INT32_MAX,
                       INT32_MAX, b))
        return;

    // Two fixed weights: even cells 180, odd cells 140, one table each.
    const uint32_t k[3] = {(Col >> 16) & 0xFF, (Col >> 8) & 0xFF, Col & 0xFF};
    uint8_t lut[2][3][256];
    for (int ch = 0; ch < 3; ++ch)
        for (uint32_t d = 0; d < 256; ++d) {
            lut[0][ch][d] = BlendByte(d, k[ch], 180);
            lut[1][ch][d] = BlendByte(d, k[ch], 140);
        }

    for (int32_t r = 0; r < b.H; ++r) {
        const int32_t cellY = (b.SrcY + r) / 10;
        uint8_t* d = target.PixelAddr(b.DstX, b.DstY + r);
        for (int32_t c = 0; c < b.W; ++c, d += 3) {
            const auto& t = lut[((b.SrcX + c) / 10 + cellY) & 1];
            d[0] = t[0][d[0]];
            d[1] = t[1][d[1]];
            d[2] = t[2][d[2]];
        }
    }
}

void TVlx2::DoPointing(TPoint pt, TPointF, TPointingMsg& msg) {
    Grabs = true;
    // The grabbed point stays under the pointer, vertically.
    if (msg.LeftDown && msg.State == kPointMove) MoveBy(0, WrapSub(pt.Y, LastPointer.Y));
}

void TVlx2::PointerEnter() {
    Hovered = true;
    Redraw();
}

void TVlx2::PointerLeave() {
    Hovered = false;
    Redraw();
}

// ---- TVlxSlider ------------------------------------------------------------

TVlxSlider::TVlxSlider() { Grabs = true; }

void TVlxSlider::DoPointing(TPoint pt, TPointF, TPointingMsg& msg) {
    TVelora* parent = GetParent();
    if (!parent || !msg.LeftDown || msg.State != kPointMove) return;
    // The slider rides along, so its local LastPointer stays valid.
    parent->MoveBy(WrapSub(pt.X, LastPointer.X), WrapSub(pt.Y, LastPointer.Y));
}

// The slider's own Opq stays "inherit", so it fades with the parent.
void TVlxSlider::PointerEnter() {
    if (TVelora* parent = GetParent()) {
        parent->SetOpq(0.9f);
        parent->RedrawTree();
    }
}

void TVlxSlider::PointerLeave() {
    if (TVelora* parent = GetParent()) {
        parent->SetOpq(0.1f);
        parent->RedrawTree();
    }
}

}  // namespace quenlo

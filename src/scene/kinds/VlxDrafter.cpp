#include "scene/kinds/VlxDrafter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "low/Low.h"
#include "low/VeloreLow.h"
#include "pixelmap/Blend.h"
#include "pixelmap/pixelmap.h"
#include "scene/DrawBlock.h"

namespace quenlo {

namespace {

// "vertex(x,y);" with the shortest decimals that read back to the same floats.
std::string VertexStatement(TPointF p) {
    // to_chars gives the shortest text that reads back exactly, with "."
    // whatever the locale.
    auto real = [](float v) {
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        return std::string(buf, r.ptr);
    };
    return "vertex(" + real(p.X) + "," + real(p.Y) + ");";
}

// FillRow's tables for the drawing in hand. One set per thread is enough:
// a node draws its rows before the next node starts, and the weight table,
// which depends only on the face opacity, is remade only when that changes.
struct TRowTables {
    bool HaveWeights = false;
    float Weight = 0;
    std::array<uint32_t, 256> CoverWeight{};  // coverage byte -> BlendPixel weight
    std::vector<uint8_t> PenRow;              // the pen over the clip's width
};

TRowTables& RowTables() {
    thread_local TRowTables t;
    return t;
}

void MakeRowTables(TRowTables& t, float faceWeight, const uint8_t* pen, size_t width) {
    // Compared as bits, so a NaN weight is made once too.
    if (!t.HaveWeights || std::memcmp(&t.Weight, &faceWeight, sizeof faceWeight) != 0) {
        for (size_t c = 0; c < t.CoverWeight.size(); ++c)
            t.CoverWeight[c] = BlendWeight(float(c) / 255.0f * faceWeight);
        t.Weight = faceWeight;
        t.HaveWeights = true;
    }
    // Another node may have left another pen or a shorter row.
    if (t.PenRow.size() < width * 3) t.PenRow.resize(width * 3);
    for (size_t i = 0; i < width * 3; i += 3) std::memcpy(t.PenRow.data() + i, pen, 3);
}

TVlxDrafter::TDraftState& DraftState() {
    thread_local TVlxDrafter::TDraftState state;
    return state;
}

}  // namespace

// ---- TVlxDrafter ---------------------------------------------------------

TVlxDrafter::TVlxDrafter() { Grabs = true; }

const TVlxDrafter::TDraftState& TVlxDrafter::Draft() const {
    static const TDraftState kNone;
    const TDraftState& s = DraftState();
    return s.Owner == this ? s : kNone;
}

void TVlxDrafter::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                           int32_t h, TPixelMapRGB& target) {
    TDraftState& d = DraftState();
    const int64_t ox = int64_t(dstX) - srcX, oy = int64_t(dstY) - srcY;
    d.Owner = this;
    d.DrawOffset = {int32_t(uint32_t(ox)), int32_t(uint32_t(oy))};
    d.DrawTarget = &target;
    d.FaceWeight = EffectiveFaceOpq();
    d.LineWeight = EffectiveLineOpq();
    d.PlotWeight = RoundToInt32(double(EffectiveOpq()) * 65535.0);
    d.RowTablesReady = false;

    // The callbacks may only touch the drawn area inside the node and the
    // target; RenderInto asks for no more, direct callers might.
    TDrawBlock b;
    if (ClipDrawBlock(dstX, dstY, srcX, srcY, w, h, target.Width(), target.Height(), Width, Height, b))
        d.DrawClip = RectFromSize(b.SrcX, b.SrcY, b.W, b.H);
    else
        d.DrawClip = {0, 0, -1, -1};

    // The box, cut like the glyphs so that it never lands outside the node.
    if (FillFirst && !ClipIsEmpty()) TVelora::DrawArea(b.DstX, b.DstY, b.SrcX, b.SrcY, b.W, b.H, target);
}

void TVlxDrafter::PlotPixel(int32_t x, int32_t y) {
    const TDraftState& d = Draft();
    if (!d.DrawTarget || x < d.DrawClip.Left || x > d.DrawClip.Right || y < d.DrawClip.Top ||
        y > d.DrawClip.Bottom)
        return;
    // The map expects 0..65535; an opacity above 1 draws fully.
    const int32_t w = std::clamp(d.PlotWeight, 0, 65535);
    if (w == 0) return;
    d.DrawTarget->BlendPixel(x + d.DrawOffset.X, y + d.DrawOffset.Y, uint32_t(w));
}

void TVlxDrafter::FillPixel(TPoint p, float alpha) {
    const TDraftState& d = Draft();
    // TPoly reports the pixel right of a row's last span too, at coverage 0;
    // the clip only keeps such pixels from leaving the area.
    if (!d.DrawTarget || p.X < d.DrawClip.Left || p.X > d.DrawClip.Right || p.Y < d.DrawClip.Top ||
        p.Y > d.DrawClip.Bottom)
        return;
    d.DrawTarget->BlendPixelF(p.X + d.DrawOffset.X, p.Y + d.DrawOffset.Y, alpha * d.FaceWeight);
}

void TVlxDrafter::FillRow(int32_t y, std::span<const TCoverageRun> runs) {
    const TDraftState& d = Draft();
    if (!d.DrawTarget || y < d.DrawClip.Top || y > d.DrawClip.Bottom) return;
    // FillPixel's weight for each coverage byte, computed the same way.
    const size_t width = size_t(int64_t(d.DrawClip.Right) - d.DrawClip.Left + 1);
    TRowTables& tables = RowTables();
    if (!d.RowTablesReady) {
        MakeRowTables(tables, d.FaceWeight, d.DrawTarget->Pen, width);
        DraftState().RowTablesReady = true;
    }
    uint8_t* const line = d.DrawTarget->ScanLine(y + d.DrawOffset.Y);
    const uint8_t* const pen = tables.PenRow.data();
    const std::array<uint32_t, 256>& coverWeight = tables.CoverWeight;
    // A fill goes down row by row, and the next row's edge pixels lie near
    // this row's: asking for them now hides their first read.
    const ptrdiff_t below = y < d.DrawClip.Bottom ? d.DrawTarget->Stride() : 0;
    auto paint = [&](uint8_t* px, size_t bytes, uint32_t w) {
        if (w == 65535) {
            std::memcpy(px, pen, bytes);
        } else if (bytes == 3) {  // most edge runs: one pixel
#if defined(__GNUC__)
            __builtin_prefetch(px + below, 1);
#endif
            px[0] = MixByte(px[0], pen[0], w);
            px[1] = MixByte(px[1], pen[1], w);
            px[2] = MixByte(px[2], pen[2], w);
        } else if (bytes < 16) {  // below MixRow's vectors
            for (size_t i = 0; i < bytes; ++i) px[i] = MixByte(px[i], pen[i], w);
        } else {
            MixRow(px, pen, bytes, w);
        }
    };
    if (runs.empty()) return;
    // Mostly the whole row lies inside the clip: then no run needs clipping.
    if (runs.front().X >= d.DrawClip.Left &&
        int64_t(runs.back().X) + runs.back().Len - 1 <= d.DrawClip.Right) {
        uint8_t* px = line + 3 * (int64_t(runs.front().X) + d.DrawOffset.X);
        for (const TCoverageRun& r : runs) {
            const size_t bytes = size_t(r.Len) * 3;
            if (const uint32_t w = coverWeight[r.Cover]) paint(px, bytes, w);
            px += bytes;
        }
        return;
    }
    for (const TCoverageRun& r : runs) {
        // TPoly reports the pixel right of a row's last span too, at coverage
        // 0; the clip only keeps such pixels from leaving the area.
        const uint32_t w = coverWeight[r.Cover];
        if (w == 0) continue;
        const int64_t x0 = std::max<int64_t>(r.X, d.DrawClip.Left);
        const int64_t x1 = std::min<int64_t>(int64_t(r.X) + r.Len - 1, d.DrawClip.Right);
        if (x0 > x1) continue;
        paint(line + 3 * (x0 + d.DrawOffset.X), size_t(x1 - x0 + 1) * 3, w);
    }
}

void TVlxDrafter::DrawEdge(TPointF a, TPointF b) {
    const TDraftState& d = Draft();
    if (!d.DrawTarget) return;
    const float ox = float(d.DrawOffset.X), oy = float(d.DrawOffset.Y);
    d.DrawTarget->DrawLineAA(true, a.X + ox, a.Y + oy, b.X + ox, b.Y + oy, d.LineWeight);
}

// ---- TVlxPoly ------------------------------------------------------------

TVlxPoly::TVlxPoly() {
    // Through the setters, so these are written back as set.
    SetCol(0xFFFFFF);
    SetLineCol(0xFF3344);
    SetLineOpq(0.3f);
    SetFaceCol(0xFF0000);
    SetFaceOpq(0.4f);
    Poly.OnCoverage = [this](TPoint p, float alpha) { FillPixel(p, alpha); };
    Poly.OnCoverageRow = [this](int32_t y, std::span<const TCoverageRun> runs) { FillRow(y, runs); };
    Poly.OnEdge = [this](TPointF a, TPointF b) { DrawEdge(a, b); };
}

void TVlxPoly::ApplyStatement(std::string& stmt) {
    TVlxDrafter::ApplyStatement(stmt);
    if (stmt.empty()) return;
    TKindArgs a;
    if (MatchCommand("polygon", 0, stmt, a))
        Fill = true;
    else if (MatchCommand("polyline", 0, stmt, a))
        Outline = true;
    else if (MatchCommand("vertex", 2, stmt, a))
        Poly.Points.push_back({StatementFloat(a[0]), StatementFloat(a[1])});
    else
        return;
    stmt.clear();
}

void TVlxPoly::WriteStatements(std::string& text) {
    TVlxDrafter::WriteStatements(text);
    for (const TPointF& p : Poly.Points) text += VertexStatement(p);
    if (Fill) text += "polygon;";
    if (Outline) text += "polyline;";
}

void TVlxPoly::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                        int32_t h, TPixelMapRGB& target) {
    TVlxDrafter::DrawArea(dstX, dstY, srcX, srcY, w, h, target);
    if (ClipIsEmpty()) return;
    const TRect clip = Draft().DrawClip;
    Poly.SetClip(clip.Left, clip.Top, clip.Right, clip.Bottom);
    if (Outline) {
        target.SetPen(LineCol);
        Poly.DrawOutline(OpenOutline);
    }
    // After the outline, so the fill lies over it. TPoly leaves the last
    // column and row of its clip empty; a clip one wider and higher lets the
    // fill cover the whole area, so that no pixel depends on which area is
    // being drawn. FillPixel keeps the extra column and row out.
    if (Fill) {
        target.SetPen(FaceCol);
        Poly.SetClip(clip.Left, clip.Top, clip.Right + 1, clip.Bottom + 1);
        Poly.FillPolygon();
    }
}

// ---- TVlxAnk88 -----------------------------------------------------------

TVlxAnk88::TVlxAnk88() {
    Font.OnPlot = [this](int32_t x, int32_t y) { PlotPixel(x, y); };
    SetWidth(0);
    SetHeight(0);
    FillFirst = true;
}

void TVlxAnk88::ApplyStatement(std::string& stmt) {
    TVlxDrafter::ApplyStatement(stmt);
    if (stmt.empty()) return;
    TKindArgs a;
    if (!MatchCommand("text", 1, stmt, a)) return;
    SetText(StripQuotes(a[0]));
    stmt.clear();
}

void TVlxAnk88::WriteStatements(std::string& text) {
    TVlxDrafter::WriteStatements(text);
    if (!Text.empty()) text += TextStatement(Text);
}

void TVlxAnk88::SetText(std::string_view s) {
    if (Width != 0 && Height != 0) {
        TextY = int32_t((int64_t(Height) - kAnkCellHeight) / 2);  // truncates toward zero
        TextX = kAnkCellWidth;
    } else {
        SetWidth(ClampToInt32(int64_t(kAnkCellWidth) * int64_t(s.size())));
        SetHeight(kAnkCellHeight);
        TextX = 0;
        TextY = 0;
    }
    Text = s;
    SetVisible(true);
}

void TVlxAnk88::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                         int32_t h, TPixelMapRGB& target) {
    TVlxDrafter::DrawArea(dstX, dstY, srcX, srcY, w, h, target);
    target.SetPen(LineCol);
    const TDraftState& d = Draft();
    if (Text.empty() || ClipIsEmpty() || d.PlotWeight <= 0) return;

    // DrawText's walk with 16-bit positions, skipping cells that cannot
    // meet the clip; PlotPixel cuts the rest to the pixel.
    const uint16_t y = uint16_t(TextY);
    if (int32_t(y) + kAnkCellHeight - 1 < d.DrawClip.Top || int32_t(y) > d.DrawClip.Bottom) return;
    uint16_t x = uint16_t(TextX);
    for (const char c : Text) {
        if (int32_t(x) + kAnkCellWidth - 1 >= d.DrawClip.Left && int32_t(x) <= d.DrawClip.Right)
            Font.DrawChar(uint8_t(c), x, y);
        x = uint16_t(x + kAnkCellWidth);
    }
}

}  // namespace quenlo

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
    const void* Owner = nullptr;  // the node whose DrawArea they were made for
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

}  // namespace

// ---- TVlxDrafter ---------------------------------------------------------

TVlxDrafter::TVlxDrafter() { Grabs = true; }

void TVlxDrafter::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                           int32_t h, TPixelMapRGB& target) {
    const int64_t ox = int64_t(dstX) - srcX, oy = int64_t(dstY) - srcY;
    DrawOffset = {int32_t(uint32_t(ox)), int32_t(uint32_t(oy))};
    DrawTarget = &target;
    FaceWeight = EffectiveFaceOpq();
    LineWeight = EffectiveLineOpq();
    PlotWeight = RoundToInt32(double(EffectiveOpq()) * 65535.0);
    rowTablesReady_ = false;

    // The callbacks may only touch the drawn area inside the node and the
    // target; RenderInto asks for no more, direct callers might.
    TDrawBlock b;
    if (ClipDrawBlock(dstX, dstY, srcX, srcY, w, h, target.Width(), target.Height(), Width, Height, b))
        DrawClip = RectFromSize(b.SrcX, b.SrcY, b.W, b.H);
    else
        DrawClip = {0, 0, -1, -1};

    // The box, cut like the glyphs so that it never lands outside the node.
    if (FillFirst && !ClipIsEmpty()) TVelora::DrawArea(b.DstX, b.DstY, b.SrcX, b.SrcY, b.W, b.H, target);
}

void TVlxDrafter::PlotPixel(int32_t x, int32_t y) {
    if (!DrawTarget || x < DrawClip.Left || x > DrawClip.Right || y < DrawClip.Top ||
        y > DrawClip.Bottom)
        return;
    // The map expects 0..65535; an opacity above 1 draws fully.
    const int32_t w = std::clamp(PlotWeight, 0, 65535);
    if (w == 0) return;
    DrawTarget->BlendPixel(x + DrawOffset.X, y + DrawOffset.Y, uint32_t(w));
}

void TVlxDrafter::FillPixel(TPoint p, float alpha) {
    // TPoly reports the pixel right of a row's last span too, at coverage 0;
    // the clip only keeps such pixels from leaving the area.
    if (!DrawTarget || p.X < DrawClip.Left || p.X > DrawClip.Right || p.Y < DrawClip.Top ||
        p.Y > DrawClip.Bottom)
        return;
    DrawTarget->BlendPixelF(p.X + DrawOffset.X, p.Y + DrawOffset.Y, alpha * FaceWeight);
}

void TVlxDrafter::FillRow(int32_t y, std::span<const TCoverageRun> runs) {
    if (!DrawTarget || y < DrawClip.Top || y > DrawClip.Bottom) return;
    // FillPixel's weight for each coverage byte, computed the same way.
    const size_t width = size_t(int64_t(DrawClip.Right) - DrawClip.Left + 1);
    TRowTables& tables = RowTables();
    if (!rowTablesReady_ || tables.Owner != this) {
        MakeRowTables(tables, FaceWeight, DrawTarget->Pen, width);
        tables.Owner = this;
        rowTablesReady_ = true;
    }
    const std::array<uint32_t, 256>& coverWeight = tables.CoverWeight;
    const std::vector<uint8_t>& penRow = tables.PenRow;
    for (const TCoverageRun& r : runs) {
        // TPoly reports the pixel right of a row's last span too, at coverage
        // 0; the clip only keeps such pixels from leaving the area.
        const uint32_t w = coverWeight[r.Cover];
        if (w == 0) continue;
        const int64_t x0 = std::max<int64_t>(r.X, DrawClip.Left);
        const int64_t x1 = std::min<int64_t>(int64_t(r.X) + r.Len - 1, DrawClip.Right);
        if (x0 > x1) continue;
        uint8_t* d = DrawTarget->PixelAddr(int32_t(x0 + DrawOffset.X), y + DrawOffset.Y);
        const size_t bytes = size_t(x1 - x0 + 1) * 3;
        if (w == 65535)
            std::memcpy(d, penRow.data(), bytes);
        else if (bytes <= 6)  // the edge pixels, one or two: cheaper than the call
            for (size_t i = 0; i < bytes; ++i) d[i] = MixByte(d[i], penRow[i], w);
        else
            MixRow(d, penRow.data(), bytes, w);
    }
}

void TVlxDrafter::DrawEdge(TPointF a, TPointF b) {
    if (!DrawTarget) return;
    const float ox = float(DrawOffset.X), oy = float(DrawOffset.Y);
    DrawTarget->DrawLineAA(true, a.X + ox, a.Y + oy, b.X + ox, b.Y + oy, LineWeight);
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
    Poly.SetClip(DrawClip.Left, DrawClip.Top, DrawClip.Right, DrawClip.Bottom);
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
        Poly.SetClip(DrawClip.Left, DrawClip.Top, DrawClip.Right + 1, DrawClip.Bottom + 1);
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
    if (Text.empty() || ClipIsEmpty() || PlotWeight <= 0) return;

    // DrawText's walk with 16-bit positions, skipping cells that cannot
    // meet the clip; PlotPixel cuts the rest to the pixel.
    const uint16_t y = uint16_t(TextY);
    if (int32_t(y) + kAnkCellHeight - 1 < DrawClip.Top || int32_t(y) > DrawClip.Bottom) return;
    uint16_t x = uint16_t(TextX);
    for (const char c : Text) {
        if (int32_t(x) + kAnkCellWidth - 1 >= DrawClip.Left && int32_t(x) <= DrawClip.Right)
            Font.DrawChar(uint8_t(c), x, y);
        x = uint16_t(x + kAnkCellWidth);
    }
}

}  // namespace quenlo

#pragma once
// Drafters: nodes that draw vector shapes and ANK text straight into the
// target map while the scene renders.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "low/ANK88vlx.h"
#include "low/Types.h"
#include "low/polygons.h"
#include "pixelmap/Color.h"
#include "scene/Velora.h"

namespace quenlo {

class TPixelMapRGB;

// Base of nodes that keep no pixels of their own. DrawArea records where
// the node lands in the target and its weights; the shape renderers then
// call back into PlotPixel, FillPixel and DrawEdge. Never registered.
class TVlxDrafter : public TVelora {
public:
    TVlxDrafter();

    void DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                  TPixelMapRGB& target) override;

    // Renderer callbacks; positions are node-local. Valid only during the
    // DrawArea that set the drafting state.
    void PlotPixel(int32_t x, int32_t y);            // one glyph pixel, PlotWeight
    void FillPixel(TPoint p, float alpha);           // fill coverage times FaceWeight
    // A row of fill coverage; the same pixels as FillPixel on each of them.
    void FillRow(int32_t y, std::span<const TCoverageRun> runs);
    void DrawEdge(TPointF a, TPointF b);             // anti-aliased segment, LineWeight

    // Drafting state of a DrawArea. Only the node being drawn needs it, so
    // there is one per thread instead of one per node.
    struct TDraftState {
        const TVlxDrafter* Owner = nullptr;  // the node whose DrawArea set it
        TPoint DrawOffset;                   // node-local + offset = target pixel
        TPixelMapRGB* DrawTarget = nullptr;  // not owned
        float FaceWeight = 0;
        float LineWeight = 0;
        int32_t PlotWeight = 0;  // Round(EffectiveOpq * 65535)
        // Node-local pixels the DrawArea may touch: the drawn area cut to
        // the node and to the target. Right < Left when there are none.
        TRect DrawClip{0, 0, -1, -1};
        bool RowTablesReady = false;  // FillRow's tables made for it
    };
    // This node's drafting state; one with no target and an empty clip
    // when another node has drawn since (the callbacks then do nothing).
    const TDraftState& Draft() const;

    // Fill the box with Col before drafting.
    bool FillFirst = false;

protected:
    ~TVlxDrafter() override = default;
    bool ClipIsEmpty() const {
        const TRect& c = Draft().DrawClip;
        return c.Right < c.Left || c.Bottom < c.Top;
    }
};

// A polygon or polyline of float vertices in node coordinates. "vertex"
// appends one point to Poly.Points (hosts may also fill it directly);
// "polyline" and "polygon" switch outline and fill on.
class TVlxPoly : public TVlxDrafter {
public:
    static std::string_view KindName() { return "VlxPoly"; }

    TVlxPoly();

    void ApplyStatement(std::string& stmt) override;
    // The inherited statements, one "vertex(x,y);" per point, then
    // "polygon;" and "polyline;".
    void WriteStatements(std::string& text) override;
    // Outline, then the fill over it.
    void DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                  TPixelMapRGB& target) override;

    bool OpenOutline = true;  // no closing segment
    bool Outline = false;     // "polyline"
    bool Fill = false;        // "polygon"
    TPoly Poly;

protected:
    ~TVlxPoly() override = default;
};

// One line of 8 x 7 ANK text in LineCol over a box in Col. Sizes itself to
// the text unless it already has a size; a later size change keeps the
// text where SetText put it.
class TVlxAnk88 : public TVlxDrafter {
public:
    static std::string_view KindName() { return "VlxAnk88"; }

    TVlxAnk88();

    void ApplyStatement(std::string& stmt) override;
    void WriteStatements(std::string& text) override;
    // Box, then glyphs, both kept inside the node and the drawn area.
    void DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                  TPixelMapRGB& target) override;
    // A fixed box keeps its size and puts the text at x 8, centred
    // vertically; a node without one becomes 8 * length x 7.
    virtual void SetText(std::string_view s);

    int32_t TextX = 0;
    int32_t TextY = 0;
    TAnk88 Font;  // OnPlot bound to PlotPixel
    std::string Text;

protected:
    ~TVlxAnk88() override = default;
};

}  // namespace quenlo

#pragma once
// Unit SimpleVelore, stencil, panel and slider: Col painted through a
// 16-bit mask; a panel that shows a checkerboard under the pointer and is
// dragged up and down; a handle that fades and drags its parent.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "pixelmap/pixelmap.h"
#include "scene/Velora.h"

namespace quenlo {

// Adds the statements "wipe" and "airbrush".
class TVlxStencil : public TVelora {
public:
    static std::string_view KindName() { return "VlxStencil"; }
    TVlxStencil();

    void ApplyStatement(std::string& stmt) override;
    // The inherited statements, then one "airbrush" per spray since the
    // mask was last emptied, so the written text rebuilds the mask.
    void WriteStatements(std::string& text) override;
    // Replaces Map by an empty (all 0) mask of w x h; makes the node visible.
    void SetSize(int32_t w, int32_t h) override;
    // m := (a * level) div 255, then (d * (65535 - m) + k * m + 32768) shr 16.
    void DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                  TPixelMapRGB& target) override;

    // Absent until the first SetSize.
    std::unique_ptr<TPixelMapWGray> Map;
    int32_t Sprays = 0;  // airbrush sprays in Map since it was sized or wiped

protected:
    ~TVlxStencil() override = default;
};

// The panel. Hovered follows the view's hover node.
class TVlx2 : public TVelora {
public:
    static std::string_view KindName() { return "Vlx2"; }
    TVlx2();

    // Hovered: weights 180 and 140 in 10 x 10 cells, opacity ignored;
    // otherwise Col at the effective opacity.
    void DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                  TPixelMapRGB& target) override;
    // A left drag moves the panel vertically only.
    void DoPointing(TPoint pt, TPointF ptF, TPointingMsg& msg) override;
    void PointerEnter() override;
    void PointerLeave() override;

    bool Hovered = false;

protected:
    ~TVlx2() override = default;
};

// The slider: acts on its parent and never shows the checkerboard itself.
class TVlxSlider : public TVlx2 {
public:
    static std::string_view KindName() { return "VlxSlider"; }
    TVlxSlider();

    // A left drag moves the parent (and the slider with it).
    void DoPointing(TPoint pt, TPointF ptF, TPointingMsg& msg) override;
    // Parent opq 0.9 on enter, 0.1 on leave, then its subtree is redrawn.
    void PointerEnter() override;
    void PointerLeave() override;

protected:
    ~TVlxSlider() override = default;
};

}  // namespace quenlo

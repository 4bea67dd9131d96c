#pragma once
// Unit SimpleVelore, matte and cel: a plain rectangle of Col, and a
// transparent ARGB drawing layer whose drawn pixels can be lifted out into
// a new cel.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "pixelmap/pixelmap.h"
#include "scene/Velora.h"

namespace quenlo {

// The matte: Col at the effective opacity, over the whole node.
class TVlxMat : public TVelora {
public:
    static std::string_view KindName() { return "VlxMat"; }
    TVlxMat();

protected:
    ~TVlxMat() override = default;
};

// The cel: a layer drawn pixel by pixel, weighted by its alpha and by the
// node's opacity. Adds the statement "wipe".
class TVlxCel : public TVelora {
public:
    static std::string_view KindName() { return "VlxCel"; }
    TVlxCel();

    void ApplyStatement(std::string& stmt) override;
    // Replaces Map by a transparent one of w x h; makes the node visible.
    void SetSize(int32_t w, int32_t h) override;
    // (a * alpha) div 255 per pixel, then a truncating blend.
    void DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                  TPixelMapRGB& target) override;
    // A cel is drawn on, never loaded.
    void LoadFile(const std::string&) override {}

    // Lifts every pixel with alpha into a new, tightly sized cel placed where
    // they were, linked just before this cel among its siblings, and leaves
    // this cel transparent. The new cel is hit only through its opaque
    // pixels. Returns nullptr when nothing is drawn (or there is no Map).
    // The caller owns the new cel (Destroy, or DestroyTree of the scene) and
    // refreshes the view.
    virtual TVlxCel* CutOut();

    // Absent until the first SetSize.
    std::unique_ptr<TPixelMapARGB> Map;

protected:
    ~TVlxCel() override = default;
};

}  // namespace quenlo

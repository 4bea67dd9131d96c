#include "scene/script/SceneRender.h"

#include <cstring>

#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

std::unique_ptr<TPixelMapRGB> RenderScene(TVelora& root, TColor background) {
    if (root.Width <= 0 || root.Height <= 0)
        throw EQuenlo(Tr("the scene is empty: its first line must size the image node, for example "
                         "\"VlxImg size(320,240)\""));
    auto map = std::make_unique<TPixelMapRGB>();
    map->SetBounds(root.LocalBounds());
    map->SetPen(background);
    map->Clear();
    root.RenderInto(*map);
    return map;
}

bool FirstDifference(const TPixelMapRGB& a, const TPixelMapRGB& b, TPoint& at) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) {
        at = {0, 0};
        return true;
    }
    // An empty map has no rows to compare (and null scan lines).
    if (a.Width() <= 0 || a.Height() <= 0) return false;
    const size_t row = size_t(a.Width()) * 3;
    for (int32_t y = 0; y < a.Height(); ++y) {
        const uint8_t* p = a.ScanLine(y);
        const uint8_t* q = b.ScanLine(y);
        if (std::memcmp(p, q, row) == 0) continue;
        for (int32_t x = 0; x < a.Width(); ++x)
            if (std::memcmp(p + x * 3, q + x * 3, 3) != 0) {
                at = {x, y};
                return true;
            }
    }
    return false;
}

}  // namespace quenlo

#include "pixelmap/Orientation.h"

#include <cstring>

namespace quenlo {

std::unique_ptr<TPixelMap> TurnUpright(const TPixelMap& map, int orientation) {
    const int32_t w = map.Width(), h = map.Height();
    const bool swap = SwapsSides(orientation);
    std::unique_ptr<TPixelMap> out = map.CreateSame();
    out->SetSize(swap ? h : w, swap ? w : h);
    const size_t bpp = map.BytesPerPixel();
    if (orientation < 2 || orientation > 8) {
        if (map.DataSize() > 0) std::memcpy(out->Data(), map.Data(), static_cast<size_t>(map.DataSize()));
        return out;
    }
    // Each stored pixel (x, y) goes to (u, v) of the upright picture, whose
    // width is ow and height oh.
    const int32_t ow = out->Width(), oh = out->Height();
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* src = map.ScanLine(y);
        for (int32_t x = 0; x < w; ++x, src += bpp) {
            int32_t u = x, v = y;
            switch (orientation) {
                case 2: u = ow - 1 - x; break;
                case 3: u = ow - 1 - x; v = oh - 1 - y; break;
                case 4: v = oh - 1 - y; break;
                case 5: u = y; v = x; break;
                case 6: u = ow - 1 - y; v = x; break;
                case 7: u = ow - 1 - y; v = oh - 1 - x; break;
                case 8: u = y; v = oh - 1 - x; break;
            }
            std::memcpy(out->PixelAddr(u, v), src, bpp);
        }
    }
    return out;
}

}  // namespace quenlo

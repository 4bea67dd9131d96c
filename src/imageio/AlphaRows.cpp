#include "imageio/AlphaRows.h"

#include "pixelmap/Blend.h"

namespace quenlo {

std::unique_ptr<TPixelMap> NewDecodedMap(int32_t width, int32_t height, bool fileHasAlpha, bool keepAlpha) {
    std::unique_ptr<TPixelMap> map;
    if (fileHasAlpha && keepAlpha)
        map = std::make_unique<TPixelMapARGB>();
    else
        map = std::make_unique<TPixelMapRGB>();
    map->SetSize(width, height);
    return map;
}

void PutRgbaRow(TPixelMap& map, int32_t y, const uint8_t* rgba, TColor background) {
    uint8_t* d = map.ScanLine(y);
    const size_t n = static_cast<size_t>(map.Width());
    if (map.Kind() == PixelKind::ARGB) {
        for (size_t x = 0; x < n; ++x, d += 4, rgba += 4) {
            d[0] = rgba[2];
            d[1] = rgba[1];
            d[2] = rgba[0];
            d[3] = rgba[3];
        }
        return;
    }
    // Laid over in R, G, B order, then turned round in place.
    const uint8_t rgb[3] = {uint8_t(background), uint8_t(background >> 8), uint8_t(background >> 16)};
    CompositeRowOver(d, rgba, n, rgb);
    for (size_t x = 0; x < n; ++x, d += 3) std::swap(d[0], d[2]);
}

void PutRgbRow(TPixelMap& map, int32_t y, const uint8_t* rgb) {
    uint8_t* d = map.ScanLine(y);
    const size_t n = static_cast<size_t>(map.Width());
    const size_t step = map.Kind() == PixelKind::ARGB ? 4 : 3;
    for (size_t x = 0; x < n; ++x, d += step, rgb += 3) {
        d[0] = rgb[2];
        d[1] = rgb[1];
        d[2] = rgb[0];
        if (step == 4) d[3] = 255;
    }
}

}  // namespace quenlo

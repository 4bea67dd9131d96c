#pragma once
// Sizes as image tools' users write them for a resize: "W", "xH", "WxH",
// "N%" or "WxH%" (scale), with "!" (exact size, aspect not kept), "^" (fill:
// at least this size), and ">" (only shrink) or "<" (only enlarge). The
// other side and every fraction round as that family of tools rounds them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "pixelmap/Resample.h"

namespace quenlo {

struct ResizeGeometry {
    double width = 0, height = 0;  // pixels, or percent with percent set
    bool hasWidth = false, hasHeight = false;
    bool percent = false, exact = false, fill = false, onlyShrink = false, onlyEnlarge = false;
};

// Throws EQuenlo naming what is wrong: empty, a zero or negative size, a
// fraction of a pixel, stray characters, or ">" with "<".
ResizeGeometry ParseResizeGeometry(const std::string& text);

// The size an image of w x h becomes. Throws EInvalidImageSize when that is
// no pixel (a scale that rounds to 0) or beyond 2^31 - 1 on a side.
std::pair<int32_t, int32_t> ResizedSize(const ResizeGeometry& g, int64_t w, int64_t h);

// What --resize or --thumbnail ask of every image.
struct ResizeRequest {
    ResizeGeometry geometry;
    // A thumbnail fits inside, never enlarges, and is shrunk while it loads.
    bool thumbnail = false;
    ResampleFilter filter = ResampleFilter::Lanczos;
};

// "nearest", "box", "bilinear", "bicubic" or "lanczos"; nothing for another name.
std::optional<ResampleFilter> ResampleFilterByName(std::string_view name);
const char* ResampleFilterName(ResampleFilter filter);

// Throws EQuenlo for what a thumbnail cannot do ("!", "^", "<").
void CheckThumbnailGeometry(const ResizeGeometry& g);
// The box a w x h image's thumbnail fits in; a side not given is unbounded.
std::pair<int64_t, int64_t> ThumbnailBox(const ResizeGeometry& g, int64_t w, int64_t h);

}  // namespace quenlo

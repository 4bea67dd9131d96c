#pragma once
// A file's resolution in the units other formats state it in.
#include <cmath>
#include <cstdint>

#include "imageio/ImageMeta.h"

namespace quenlo {

// Pixels per metre along one axis, rounded (BMP, PNG pHYs); 0 when the
// unit is unknown or the value is not a positive number that fits.
inline uint32_t PixelsPerMetre(double perUnit, ResolutionUnit unit) {
    const double perMetre = unit == ResolutionUnit::Inch ? perUnit / 0.0254
                            : unit == ResolutionUnit::Centimetre ? perUnit * 100
                                                                 : 0;
    return perMetre >= 0.5 && perMetre < 4294967295.0 ? static_cast<uint32_t>(std::lround(perMetre)) : 0;
}

}  // namespace quenlo

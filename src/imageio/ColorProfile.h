#pragma once
// Pixels carried from a file's ICC profile into sRGB, through Little CMS.
#include <cstdint>
#include <span>

#include "pixelmap/pixelmap.h"

namespace quenlo {

// What --icc does with a file's profile: keep it in outputs that hold one,
// strip it, or convert the pixels to sRGB and write none.
enum class IccMode { Keep, Strip, Srgb };

// Converts an RGB or ARGB map (alpha untouched) from the profile to sRGB
// with the perceptual intent. False, with the map unchanged, when the
// profile is damaged or not an RGB one.
bool ConvertToSrgb(TPixelMap& map, std::span<const uint8_t> icc);

}  // namespace quenlo

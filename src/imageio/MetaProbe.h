#pragma once
// What a file holds besides 8-bit RGB pixels, read from its headers alone
// (no pixel is decoded), so that a batch can tell what rewriting it would lose.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "imageio/ImageKind.h"
#include "imageio/ImageMeta.h"

namespace quenlo {

// By the file's content, whatever its name: BMP (bit count, colour masks,
// an embedded profile, pixels per metre), PNG (colour type and depth, tRNS,
// iCCP, pHYs, acTL frames), TIFF (pages, bits, extra samples, ICC,
// resolution, orientation) and JPEG (precision, ICC, EXIF orientation, JFIF
// density) and WebP (alpha, ICCP, EXIF orientation and resolution, animation
// frames). A PNG's profile is kept compressed, as it is stored. Pages are
// counted up to 1024. Nullopt for a kind not probed here or a file whose
// headers cannot be read. kind, when given, gets what the file holds.
// Throws nothing.
std::optional<ImageMeta> ProbeImageMeta(const std::string& fileName, std::optional<ImageKind>* kind = nullptr);
// The same over a file's bytes in memory.
std::optional<ImageMeta> ProbeImageMeta(std::span<const uint8_t> file, std::optional<ImageKind>* kind = nullptr);

}  // namespace quenlo

#pragma once
// What a file says besides its pixels: carried from its reader to a writer
// that can hold it, and what a 24-bit map of one page would lose of it.
#include <cstdint>
#include <optional>
#include <vector>

namespace quenlo {

enum class ResolutionUnit : uint8_t { None, Inch, Centimetre };

// Pixels per unit along each axis; with None only their ratio is known.
struct Resolution {
    double x = 0, y = 0;
    ResolutionUnit unit = ResolutionUnit::None;
};

struct ImageMeta {
    std::optional<Resolution> resolution;  // unset: the file states none
    std::vector<uint8_t> icc;              // the ICC profile as stored; empty: none
    int orientation = 1;                   // EXIF/TIFF Orientation (1-8) of the stored pixels
    // Beyond one page of 8-bit RGB: what replacing the source could lose.
    bool alpha = false;
    int bitsPerSample = 8;  // the widest sample the file stores
    int pages = 1;
};

}  // namespace quenlo

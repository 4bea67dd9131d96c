#pragma once
// The decompression-bomb guard shared by every reader that holds a whole
// image: the size a header claims is checked against it before anything is
// allocated, so a small file cannot make the process take gigabytes.
#include <cstdint>
#include <string>

namespace quenlo {

// 16384 x 16384: above any camera or scanner page, well below what a few
// jobs side by side could not hold (768 MiB as 24-bit pixels).
inline constexpr int64_t kDefaultMaxPixels = int64_t(1) << 28;

struct PixelLimit {
    int64_t maxPixels = kDefaultMaxPixels;  // per image; width x height
    // How the user raises the limit ("--max-pixels N"), named in the
    // message; empty where it cannot be raised.
    std::string raiseWith = "--max-pixels N";
};

// Throws EInvalidImageSize for a size no 24-bit map can hold, then
// EImageTooLarge when width x height exceeds the limit. Sizes that are
// negative or zero are left to the callers' own checks.
void CheckPixelLimit(int64_t width, int64_t height, const PixelLimit& limit);

}  // namespace quenlo

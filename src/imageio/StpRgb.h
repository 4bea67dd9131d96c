#pragma once
// The raw raster pair: a .ipr text file with width, height and two unused
// integers, and a headerless .rgb file of R,G,B rows, top row first.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <sys/stat.h>

#include "imageio/PixelLimit.h"
#include "low/FileNames.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

// The four .ipr values, read by the text rules: blank-separated tokens of at
// most 32 characters, decimal or $/0x hex; a missing value reads as 0; a
// token that is not a 32-bit integer sets code 106.
struct IprValues {
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Value3 = 0;
    int32_t Value4 = 0;
};

// Pulls up to n bytes into dst; returns fewer only at the end of the data.
using ByteSource = std::function<size_t(uint8_t* dst, size_t n)>;

// Throws EInOutError(106) when a token is not an integer.
IprValues ParseIpr(const ByteSource& src);
IprValues ParseIpr(std::span<const uint8_t> text);

// Integer conversion of one token: optional sign, then decimal digits or hex
// after "$", "0x" or "0X". False when the token is not a 32-bit integer.
bool ParseIprInteger(std::string_view token, int32_t& value);

// Fills a sized map from R,G,B rows. Bytes the source does not supply stay white.
void ReadRgbRows(TPixelMapRGB& raster, const ByteSource& src);

// The member of fileName's pair with the extension upperExt (".IPR" or
// ".RGB"): the extension spelled in the case the user chose (q.rgb gives
// q.ipr), else in lower, else in upper case, else the same name in any
// case, else the upper-case spelling (which then fails to open). Listings
// remember folders across calls.
std::string PairName(const std::string& fileName, std::string_view upperExt, TFolderListings* listings = nullptr);
// The same, with what was found: st is the member's stat, through links, when it exists.
struct PairMember {
    std::string name;
    bool exists = false;
    struct stat st {};
};
PairMember FindPairMember(const std::string& fileName, std::string_view upperExt, TFolderListings* listings = nullptr);

class TStpRgb {
public:
    // Reads name.IPR and name.RGB, whichever member of the pair is named.
    // A size above the limit raises EImageTooLarge before the map is allocated.
    void Load(const std::string& fileName, const PixelLimit& limit = {});
    bool ReadHeader(const std::string& iprName);
    void ReadPixels(const std::string& rgbName);

    // Hands the raster to the caller without copying it.
    std::unique_ptr<TPixelMapRGB> TakeBitmap() { return std::move(Bitmap); }

    std::unique_ptr<TPixelMapRGB> Bitmap;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t HeaderValue3 = 0;
    int32_t HeaderValue4 = 0;
};

}  // namespace quenlo

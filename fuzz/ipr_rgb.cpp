// The .ipr parser and the .rgb reader on one input that holds both files:
//   byte 0      flags (which member Load names, spellings, a missing .rgb,
//               the map kind LoadImageFile converts to)
//   bytes 1, 2  length of the .ipr text, little-endian
//   then        the .ipr text, then the .rgb bytes
// Both are read from memory and, when the size is in reach, as real files
// through TStpRgb::Load and LoadImageFile.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "imageio/StpRgb.h"
#include "imageio/VlxIo.h"

using namespace quenlo;

namespace {

enum : uint8_t {
    kNameRgb = 1,   // Load gets the .rgb member's name
    kIprUpper = 2,  // .IPR on disk
    kRgbUpper = 4,  // .RGB on disk
    kNoRgb = 8,     // only the .ipr exists
    kKindShift = 4, // two bits: RGB, Gray, WGray, ARGB
};

// A private folder for the pair, emptied after each input, removed at exit.
class TPairDir {
public:
    TPairDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/quenlo-fuzz-XXXXXX";
        if (!mkdtemp(templ.data())) std::abort();
        dir_ = templ;
    }
    ~TPairDir() {
        for (const char* ext : {".ipr", ".IPR", ".rgb", ".RGB"}) std::remove(Path(ext).c_str());
        rmdir(dir_.c_str());
    }
    std::string Path(const char* ext) const { return dir_ + "/pair" + ext; }

private:
    std::string dir_;
};

void WriteFile(const std::string& name, std::span<const uint8_t> bytes) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}

ByteSource MemorySource(std::span<const uint8_t> bytes, size_t& pos) {
    return [bytes, &pos](uint8_t* dst, size_t n) {
        n = std::min(n, bytes.size() - pos);
        if (n) std::memcpy(dst, bytes.data() + pos, n);
        pos += n;
        return n;
    };
}

// ReadRgbRows's result is fully determined: supplied pixels swapped to
// B,G,R, everything after them white.
void CheckRaster(const TPixelMapRGB& map, std::span<const uint8_t> rgb) {
    const uint8_t* d = map.Data();
    const size_t total = size_t(map.DataSize());
    const size_t whole = std::min(rgb.size(), total) / 3 * 3;
    for (size_t i = 0; i < whole; i += 3)
        if (d[i] != rgb[i + 2] || d[i + 1] != rgb[i + 1] || d[i + 2] != rgb[i]) std::abort();
    static const std::vector<uint8_t> kWhite(64 << 10, 255);
    for (size_t i = std::min(total, (std::min(rgb.size(), total) + 2) / 3 * 3); i < total; i += kWhite.size())
        if (std::memcmp(d + i, kWhite.data(), std::min(kWhite.size(), total - i)) != 0) std::abort();
}

bool InReach(const IprValues& v) {
    return v.Width >= 0 && v.Height >= 0 && int64_t(v.Width) * v.Height <= fuzz::kMaxPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return -1;
    const uint8_t flags = data[0];
    const size_t iprLen = std::min<size_t>(size - 3, data[1] | data[2] << 8);
    const std::span<const uint8_t> ipr(data + 3, iprLen);
    const std::span<const uint8_t> rgb(data + 3 + iprLen, size - 3 - iprLen);

    IprValues v;
    try {
        v = ParseIpr(ipr);
    } catch (const EInOutError& e) {
        if (e.Code() != 106) std::abort();
        return 0;
    }
    if (!InReach(v)) return 0;

    // Sizes beyond the map's limit are refused by every path alike.
    bool sizeOk = true;
    TPixelMapRGB map;
    try {
        map.SetSize(v.Width, v.Height);
    } catch (const EInvalidImageSize&) {
        sizeOk = false;
    }
    if (sizeOk) {
        size_t pos = 0;
        ReadRgbRows(map, MemorySource(rgb, pos));
        CheckRaster(map, rgb);
    }

    static TPairDir dir;
    const std::string iprName = dir.Path(flags & kIprUpper ? ".IPR" : ".ipr");
    const std::string rgbName = dir.Path(flags & kRgbUpper ? ".RGB" : ".rgb");
    WriteFile(iprName, ipr);
    if (!(flags & kNoRgb)) WriteFile(rgbName, rgb);
    const std::string named = flags & kNameRgb ? rgbName : iprName;

    try {
        TStpRgb pair;
        pair.Load(named);
        if (!pair.Bitmap || pair.Width != v.Width || pair.Height != v.Height) std::abort();
        CheckRaster(*pair.Bitmap, rgb);
    } catch (const EQuenlo&) {
        // Once the header parsed, only the size and a missing .rgb can fail.
        if (sizeOk && !(flags & kNoRgb)) std::abort();
    }
    // LoadImageFile answers null for a name that does not exist.
    const bool namedExists = !(flags & kNoRgb) || !(flags & kNameRgb);
    const auto kind = PixelKind((flags >> kKindShift) & 3);
    // Wider pixels may put the converted map beyond the limit.
    try {
        TPixelMap::CheckedDataSize(v.Width, v.Height, CreatePixelMap(kind)->BytesPerPixel());
    } catch (const EInvalidImageSize&) {
        sizeOk = false;
    }
    try {
        const auto loaded = LoadImageFile(kind, named);
        if (!namedExists) {
            if (loaded) std::abort();
        } else if (!loaded || loaded->Kind() != kind || loaded->Width() != v.Width ||
                   loaded->Height() != v.Height) {
            std::abort();
        } else {
            fuzz::CheckAddressable(loaded->Data(), loaded->DataSize());
        }
    } catch (const EQuenlo&) {
        if (sizeOk && !(flags & kNoRgb)) std::abort();
    }
    for (const char* ext : {".ipr", ".IPR", ".rgb", ".RGB"}) std::remove(dir.Path(ext).c_str());
    return 0;
}

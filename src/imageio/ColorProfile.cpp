#include "imageio/ColorProfile.h"

#include <lcms2.h>

namespace quenlo {

namespace {
struct Profile {
    cmsHPROFILE h;
    ~Profile() {
        if (h) cmsCloseProfile(h);
    }
};
struct Transform {
    cmsHTRANSFORM h;
    ~Transform() {
        if (h) cmsDeleteTransform(h);
    }
};
}  // namespace

bool ConvertToSrgb(TPixelMap& map, std::span<const uint8_t> icc) {
    if (icc.empty() || (map.Kind() != PixelKind::RGB && map.Kind() != PixelKind::ARGB)) return false;
    Profile in{cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()))};
    if (!in.h || cmsGetColorSpace(in.h) != cmsSigRgbData) return false;
    Profile srgb{cmsCreate_sRGBProfile()};
    const bool alpha = map.Kind() == PixelKind::ARGB;
    // Alpha rides along untouched (copied, not converted).
    const cmsUInt32Number format = alpha ? TYPE_BGRA_8 : TYPE_BGR_8;
    Transform t{cmsCreateTransform(in.h, format, srgb.h, format, INTENT_PERCEPTUAL, alpha ? cmsFLAGS_COPY_ALPHA : 0)};
    if (!t.h) return false;
    for (int32_t y = 0; y < map.Height(); ++y)
        cmsDoTransform(t.h, map.ScanLine(y), map.ScanLine(y), static_cast<cmsUInt32Number>(map.Width()));
    return true;
}

}  // namespace quenlo

#include "imageio/Exif.h"

#include <algorithm>
#include <cmath>

namespace quenlo {

namespace {

constexpr uint16_t kOrientation = 274, kXResolution = 282, kYResolution = 283, kResolutionUnit = 296;
constexpr uint16_t kShort = 3, kRational = 5;

// A positive value as a fraction of 32-bit parts: whole values over 1,
// others to 1/10000 where that fits.
std::pair<uint32_t, uint32_t> Rational(double v) {
    if (!(v > 0) || v >= 4294967295.0) return {0, 1};
    if (v == std::floor(v)) return {static_cast<uint32_t>(v), 1};
    uint32_t den = 10000;
    while (den > 1 && v * den >= 4294967295.0) den /= 10;
    return {static_cast<uint32_t>(std::lround(v * den)), den};
}

}  // namespace

ExifFacts ReadExif(std::span<const uint8_t> tiff) {
    ExifFacts facts;
    if (tiff.size() >= 6 && std::equal(tiff.begin(), tiff.begin() + 6, "Exif\0\0")) tiff = tiff.subspan(6);
    if (tiff.size() < 8) return facts;
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return facts;
    auto u16 = [&](uint64_t at) -> uint32_t {
        return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1];
    };
    auto u32 = [&](uint64_t at) -> uint32_t { return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2); };
    if (u16(2) != 42) return facts;
    const uint64_t ifd = u32(4);
    if (ifd + 2 > tiff.size()) return facts;
    // A RATIONAL's value lies at the offset its entry holds; 0 when it cannot be read.
    auto rational = [&](uint64_t entry) -> double {
        if (u16(entry + 2) != kRational || u32(entry + 4) != 1) return 0;
        const uint64_t at = u32(entry + 8);
        if (at + 8 > tiff.size()) return 0;
        const uint32_t den = u32(at + 4);
        return den ? double(u32(at)) / den : 0;
    };
    double x = 0, y = 0;
    uint32_t unit = 2;
    const uint32_t entries = u16(ifd);
    for (uint32_t i = 0; i < entries; ++i) {
        const uint64_t at = ifd + 2 + uint64_t(i) * 12;
        if (at + 12 > tiff.size()) break;
        const uint32_t tag = u16(at);
        // A SHORT sits in the entry's value field.
        const bool oneShort = u16(at + 2) == kShort && u32(at + 4) == 1;
        if (tag == kOrientation && oneShort && u16(at + 8) >= 1 && u16(at + 8) <= 8) facts.orientation = int(u16(at + 8));
        else if (tag == kXResolution) x = rational(at);
        else if (tag == kYResolution) y = rational(at);
        else if (tag == kResolutionUnit && oneShort) unit = u16(at + 8);
    }
    if (x > 0 && y > 0 && unit >= 1 && unit <= 3)
        facts.resolution = Resolution{x, y, unit == 2   ? ResolutionUnit::Inch
                                            : unit == 3 ? ResolutionUnit::Centimetre
                                                        : ResolutionUnit::None};
    return facts;
}

std::vector<uint8_t> MakeExif(int orientation, const std::optional<Resolution>& resolution) {
    const bool turned = orientation >= 2 && orientation <= 8;
    if (!turned && !resolution) return {};
    std::vector<uint8_t> out = {'M', 'M', 0, 42, 0, 0, 0, 8};
    auto put16 = [&](uint32_t v) { out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v)}); };
    auto put32 = [&](uint32_t v) { put16(v >> 16), put16(v & 0xFFFF); };
    const uint32_t entries = (turned ? 1 : 0) + (resolution ? 3 : 0);
    // The rationals follow the IFD: count, entries, next-IFD offset.
    uint32_t rationals = 8 + 2 + entries * 12 + 4;
    put16(entries);
    auto shortEntry = [&](uint16_t tag, uint32_t v) {
        put16(tag), put16(kShort), put32(1), put16(v), put16(0);
    };
    auto rationalEntry = [&](uint16_t tag) {
        put16(tag), put16(kRational), put32(1), put32(rationals);
        rationals += 8;
    };
    if (turned) shortEntry(kOrientation, uint32_t(orientation));
    if (resolution) {
        rationalEntry(kXResolution);
        rationalEntry(kYResolution);
        shortEntry(kResolutionUnit, resolution->unit == ResolutionUnit::Inch         ? 2
                                    : resolution->unit == ResolutionUnit::Centimetre ? 3
                                                                                     : 1);
    }
    put32(0);  // no next IFD
    if (resolution)
        for (const double v : {resolution->x, resolution->y}) {
            const auto [num, den] = Rational(v);
            put32(num), put32(den);
        }
    return out;
}

}  // namespace quenlo

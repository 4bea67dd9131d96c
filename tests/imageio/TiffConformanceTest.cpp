// Every TIFF layout written by libtiff from known samples, each read back
// and held to pixels computed here from those samples.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tiffio.h>

#include "TestUtil.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

using namespace quenlo;
using namespace quenlo::test;

namespace {

enum class Model { Grey, White, Rgb, RgbAlpha, RgbPremultiplied, GreyAlpha, Palette, Cmyk };

struct Layout {
    Model model;
    int bits;
    bool isSigned, planar, tiled;
    uint16_t compression;
    int orientation;
};

int Samples(Model m) {
    switch (m) {
        case Model::Rgb: return 3;
        case Model::RgbAlpha:
        case Model::RgbPremultiplied:
        case Model::Cmyk: return 4;
        case Model::GreyAlpha: return 2;
        default: return 1;
    }
}

constexpr int kW = 7, kH = 5, kTile = 16;

// Stored sample s of pixel (x, y), as its unsigned code 0..2^bits-1 (a
// signed sample's two's complement). Corners take the extremes; alpha takes
// every few values, 0 and full among them; premultiplied colour never
// passes its alpha.
uint32_t Code(const Layout& l, int x, int y, int s) {
    const uint32_t max = (1u << l.bits) - 1;
    uint32_t v = (static_cast<uint32_t>(x * 2654435761u + y * 40503u + s * 9973u) >> 7) & max;
    if (x == 0 && y == 0) v = 0;
    if (x == kW - 1 && y == kH - 1) v = max;
    if (l.isSigned && x == 1 && y == 0) v = 1u << (l.bits - 1);  // the most negative
    const bool alphaSample = (l.model == Model::RgbAlpha || l.model == Model::RgbPremultiplied) ? s == 3
                             : l.model == Model::GreyAlpha                                    ? s == 1
                                                                                              : false;
    if (alphaSample) v = (x + y) % 3 == 0 ? max : (x + y) % 3 == 1 ? 0 : v;
    if (l.model == Model::RgbPremultiplied && !alphaSample) v = v * Code(l, x, y, 3) / (max ? max : 1);
    return v;
}

// A code as the file means it, scaled to 0..255: signed codes offset by half
// the range; depths above 8 keep their high bits, lower ones are scaled.
double Level(const Layout& l, uint32_t code) {
    const uint32_t max = (1u << l.bits) - 1;
    const uint32_t u = l.isSigned ? (code + (1u << (l.bits - 1))) & max : code;
    return l.bits > 8 ? double(u >> (l.bits - 8)) : u * 255.0 / max;
}

uint16_t PaletteEntry(int i, int c) { return static_cast<uint16_t>(i * 4099 + c * 21845 + 300); }

// The picture in stored order, R,G,B rows, alpha laid over white; with
// keepAlpha R,G,B,A rows, premultiplied colour made straight as documented.
std::vector<double> Reference(const Layout& l, bool keepAlpha) {
    std::vector<double> out;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            double c[4];
            for (int s = 0; s < Samples(l.model); ++s) c[s] = Level(l, Code(l, x, y, s));
            double r = c[0], g = c[0], b = c[0], a = 255;
            switch (l.model) {
                case Model::White: r = g = b = 255 - c[0]; break;
                case Model::GreyAlpha: a = c[1]; break;
                case Model::Rgb: g = c[1], b = c[2]; break;
                case Model::RgbAlpha:
                case Model::RgbPremultiplied: g = c[1], b = c[2], a = c[3]; break;
                case Model::Palette: {
                    const int i = static_cast<int>(Code(l, x, y, 0));
                    r = PaletteEntry(i, 0) >> 8, g = PaletteEntry(i, 1) >> 8, b = PaletteEntry(i, 2) >> 8;
                    break;
                }
                case Model::Cmyk: {
                    const double k = 255 - std::round(c[3]);
                    r = std::floor(k * (255 - std::round(c[0])) / 255);
                    g = std::floor(k * (255 - std::round(c[1])) / 255);
                    b = std::floor(k * (255 - std::round(c[2])) / 255);
                    break;
                }
                default: break;
            }
            a = std::round(a);
            for (double v : {r, g, b}) {
                v = std::round(v);
                if (keepAlpha) {
                    const int c = static_cast<int>(v), ai = static_cast<int>(a);
                    out.push_back(l.model != Model::RgbPremultiplied ? v : ai == 0 ? 0 : std::min(255, (c * 255 + ai / 2) / ai));
                    continue;
                }
                // Premultiplied colour already holds its share of alpha.
                out.push_back(l.model == Model::RgbPremultiplied ? v + 255 * (255 - a) / 255
                                                                 : (v * a + 255 * (255 - a)) / 255);
            }
            if (keepAlpha) out.push_back(a);
        }
    return out;
}

// Samples packed from the most significant bit, rows starting on a byte.
void Pack(std::vector<uint8_t>& buf, size_t bitAt, int bits, uint32_t code) {
    if (bits == 16) {
        const uint16_t v = static_cast<uint16_t>(code);
        std::memcpy(&buf[bitAt / 8], &v, 2);  // libtiff takes them in the machine's order
        return;
    }
    for (int i = bits - 1; i >= 0; --i, ++bitAt)
        if (code >> i & 1) buf[bitAt / 8] |= static_cast<uint8_t>(0x80 >> (bitAt % 8));
}

void Write(const std::string& name, const Layout& l) {
    TIFF* tif = TIFFOpen(name.c_str(), "w");
    ASSERT_TRUE(tif);
    const int spp = Samples(l.model);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kW);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kH);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, l.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, l.isSigned ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, l.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, l.compression);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, l.orientation);
    const uint16_t photo = l.model == Model::White     ? PHOTOMETRIC_MINISWHITE
                           : l.model == Model::Palette ? PHOTOMETRIC_PALETTE
                           : l.model == Model::Cmyk    ? PHOTOMETRIC_SEPARATED
                           : spp >= 3                  ? PHOTOMETRIC_RGB
                                                       : PHOTOMETRIC_MINISBLACK;
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photo);
    if (l.model == Model::RgbAlpha || l.model == Model::GreyAlpha || l.model == Model::RgbPremultiplied) {
        const uint16_t kind = l.model == Model::RgbPremultiplied ? EXTRASAMPLE_ASSOCALPHA : EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
    }
    if (l.model == Model::Palette) {
        std::vector<uint16_t> map[3];
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 1 << l.bits; ++i) map[c].push_back(PaletteEntry(i, c));
        TIFFSetField(tif, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
    }
    const int cw = l.tiled ? kTile : kW, ch = l.tiled ? kTile : 2;
    if (l.tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, kTile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, kTile);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, ch);
    }
    const int planes = l.planar ? spp : 1, perPlane = l.planar ? 1 : spp;
    const size_t rowBytes = (size_t(cw) * perPlane * l.bits + 7) / 8;
    for (int p = 0; p < planes; ++p)
        for (int top = 0; top < kH; top += ch)
            for (int left = 0; left < kW; left += cw) {
                const int rows = l.tiled ? ch : std::min(ch, kH - top);
                std::vector<uint8_t> buf(rowBytes * rows, 0);
                for (int y = 0; y < rows && top + y < kH; ++y)
                    for (int x = 0; x < cw && left + x < kW; ++x)
                        for (int s = 0; s < perPlane; ++s)
                            Pack(buf, y * rowBytes * 8 + size_t(x * perPlane + s) * l.bits, l.bits,
                                 Code(l, left + x, top + y, l.planar ? p : s));
                const tmsize_t n = static_cast<tmsize_t>(buf.size());
                const tmsize_t put =
                    l.tiled ? TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, left, top, 0, uint16_t(p)), buf.data(), n)
                            : TIFFWriteEncodedStrip(tif, TIFFComputeStrip(tif, top, uint16_t(p)), buf.data(), n);
                ASSERT_GE(put, 0);
            }
    TIFFClose(tif);
}

// Stored pixel (x, y) of a kW x kH picture: where it shows upright.
std::pair<int, int> Upright(int orientation, int x, int y) {
    switch (orientation) {
        case 2: return {kW - 1 - x, y};
        case 3: return {kW - 1 - x, kH - 1 - y};
        case 4: return {x, kH - 1 - y};
        case 5: return {y, x};
        case 6: return {kH - 1 - y, x};
        case 7: return {kH - 1 - y, kW - 1 - x};
        case 8: return {y, kW - 1 - x};
        default: return {x, y};
    }
}

}  // namespace

TEST(TiffConformance, EveryLayoutGivesThePixelsItsSamplesMean) {
    TempDir dir;
    int n = 0, checked = 0;
    for (const Model model : {Model::Grey, Model::White, Model::Rgb, Model::RgbAlpha, Model::RgbPremultiplied,
                              Model::GreyAlpha, Model::Palette, Model::Cmyk})
        for (const int bits : {1, 2, 4, 8, 12, 16})
            for (const bool isSigned : {false, true})
                for (const bool planar : {false, true})
                    for (const bool tiled : {false, true}) {
                        // Signed alpha has no premultiplied meaning.
                        if ((model == Model::Palette && bits > 8) || (isSigned && (model == Model::Palette || model == Model::RgbPremultiplied))) continue;
                        if (planar && Samples(model) == 1) continue;
                        const uint16_t compression =
                            n % 3 == 0 ? COMPRESSION_NONE : n % 3 == 1 ? COMPRESSION_LZW : COMPRESSION_ADOBE_DEFLATE;
                        const Layout l{model, bits, isSigned, planar, tiled, compression, 1 + n % 8};
                        const std::string name = dir / ("l" + std::to_string(n++) + ".tif");
                        Write(name, l);
                        SCOPED_TRACE(name + " model " + std::to_string(int(model)) + " bits " + std::to_string(bits) +
                                     (isSigned ? " signed" : "") + (planar ? " planar" : "") +
                                     (tiled ? " tiled" : " strips") + " orientation " + std::to_string(l.orientation));
                        const bool alpha = model == Model::RgbAlpha || model == Model::GreyAlpha ||
                                           model == Model::RgbPremultiplied;
                        // As stored, turned upright, and turned with alpha kept.
                        for (int way = 0; way < (alpha ? 3 : 2); ++way) {
                            const bool autoOrient = way > 0, keep = way == 2;
                            const std::vector<double> want = Reference(l, keep);
                            // Premultiplied colour is made straight before it is laid over white.
                            const double slack = model == Model::RgbPremultiplied && !keep ? 1.0 : 0.5;
                            const size_t channels = keep ? 4 : 3;
                            ImageMeta meta;
                            LoadOptions options;
                            options.meta = &meta;
                            options.autoOrient = autoOrient;
                            options.keepAlpha = keep;
                            std::unique_ptr<TPixelMap> map;
                            try {
                                map = LoadImageFile(PixelKind::RGB, name, options);
                            } catch (const EQuenlo& e) {
                                ADD_FAILURE() << DescribeError(e);
                                break;
                            }
                            ASSERT_TRUE(map);
                            const bool turned = autoOrient && l.orientation >= 5;
                            ASSERT_EQ(map->Width(), turned ? kH : kW);
                            EXPECT_EQ(meta.orientation, autoOrient ? 1 : l.orientation);
                            EXPECT_EQ(meta.bitsPerSample, bits);
                            EXPECT_EQ(meta.alpha, alpha);
                            ASSERT_EQ(map->BytesPerPixel(), channels);
                            for (int y = 0; y < kH; ++y)
                                for (int x = 0; x < kW; ++x) {
                                    const auto [u, v] = autoOrient ? Upright(l.orientation, x, y) : std::pair{x, y};
                                    const uint8_t* got = map->ScanLine(v) + channels * u;  // B,G,R(,A)
                                    for (size_t c = 0; c < channels; ++c)
                                        ASSERT_NEAR(got[c == 3 ? 3 : 2 - c], want[(size_t(y) * kW + x) * channels + c], slack)
                                            << "pixel " << x << "," << y << " channel " << c
                                            << (autoOrient ? " turned" : "") << (keep ? " alpha kept" : "");
                                }
                            ++checked;
                        }
                    }
    EXPECT_GT(checked, 500);
}


// A 137-byte file claiming a tile of 16384 x 16384 is refused before the
// tile's 768 MiB buffer exists; a tile its image allows reads.
TEST(TiffConformance, ChunksLargerThanTheImageAreRefused) {
    TempDir dir;
    WriteBytes(dir / "bomb.tif", OneTileTiff(16384, {200, 100, 50}));
    try {
        LoadImageFile(PixelKind::RGB, dir / "bomb.tif");
        ADD_FAILURE() << "read";
    } catch (const EInvalidGraphic& e) {
        EXPECT_NE(e.Detail().find("a tile of 16384 x 16384 pixels is larger than the 1 x 1 image allows"),
                  std::string::npos)
            << e.Detail();
    }
    std::vector<uint8_t> tile(64 * 64 * 3, 0);
    tile[0] = 200;
    WriteBytes(dir / "fine.tif", OneTileTiff(64, tile));
    const auto map = LoadImageFile(PixelKind::RGB, dir / "fine.tif");
    ASSERT_TRUE(map);
    EXPECT_EQ(map->ScanLine(0)[2], 200);
}

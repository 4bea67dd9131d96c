#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <png.h>
#include <tiffio.h>

#include "TestUtil.h"
#include "imageio/PngReader.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

using namespace quenlo;
using namespace quenlo::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

using Pixels = std::vector<uint8_t>;  // R,G,B rows, top first

Pixels RgbOf(const TPixelMap& map) {
    Pixels out(map.Data(), map.Data() + map.DataSize());
    for (size_t i = 0; i + 2 < out.size(); i += 3) std::swap(out[i], out[i + 2]);
    return out;
}

// The reference: libpng's own expansion to 8-bit RGB, keeping the high
// byte of 16-bit samples, with alpha and transparency laid over white.
// Empty when libpng refuses.
Pixels LibpngPixels(const std::string& name) {
    FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return {};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    static Pixels out;  // outside the jump's reach
    out.clear();
    if (setjmp(png_jmpbuf(png))) {
        out.clear();
    } else {
        png_init_io(png, f);
        png_read_info(png, info);
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
        png_set_interlace_handling(png);
        png_read_update_info(png, info);
        const png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
        Pixels rgba(size_t{w} * h * 4, 0);
        std::vector<png_bytep> rows(h);
        for (png_uint_32 y = 0; y < h; ++y) rows[y] = rgba.data() + size_t{y} * w * 4;
        png_read_image(png, rows.data());
        // Laid over white, rounded to nearest.
        for (size_t i = 0; i < rgba.size(); i += 4)
            for (int c = 0; c < 3; ++c) out.push_back(uint8_t((rgba[i + c] * rgba[i + 3] + 255 * (255 - rgba[i + 3]) + 127) / 255));
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return out;
}

}  // namespace

TEST(PngReader, EveryPngSuiteFileGivesLibpngsPixelsOrAClearError) {
    const fs::path suite = QUENLO_CONFORMANCE_DIR "/pngsuite/png";
    if (!fs::is_directory(suite)) GTEST_SKIP() << "no PngSuite at " << suite;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(suite)) {
        const std::string name = entry.path().string(), base = entry.path().filename().string();
        ++files;
        if (base[0] == 'x') {
            try {
                LoadImageFile(PixelKind::RGB, name);
                ADD_FAILURE() << base << " was read";
            } catch (const EInvalidGraphic& e) {
                EXPECT_THAT(e.Detail(), HasSubstr("PNG: ")) << base;
            }
            continue;
        }
        const auto map = LoadImageFile(PixelKind::RGB, name);
        ASSERT_TRUE(map) << base;
        const Pixels want = LibpngPixels(name);
        ASSERT_FALSE(want.empty()) << base;
        EXPECT_TRUE(RgbOf(*map) == want) << base;
    }
    EXPECT_GT(files, 150);
}

namespace {

enum class Photo { Rgb, Grey, Palette, Cmyk };
struct TiffVariant {
    Photo photo;
    int bits;
    uint16_t compression;
    bool tiled;
    int pages = 1;
};

// An odd-size picture in one layout. Greys carry the red channel; the CMYK
// inks are the colour's complements with no black.
void WriteTiff(const std::string& name, const TiffVariant& v, int w, int h) {
    TIFF* tif = TIFFOpen(name.c_str(), "w");
    ASSERT_TRUE(tif);
    for (int page = 0; page < v.pages; ++page) {
        const int spp = v.photo == Photo::Rgb ? 3 : v.photo == Photo::Cmyk ? 4 : 1;
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, v.bits);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, v.compression);
        const uint16_t photo = v.photo == Photo::Rgb     ? PHOTOMETRIC_RGB
                               : v.photo == Photo::Grey ? PHOTOMETRIC_MINISBLACK
                               : v.photo == Photo::Cmyk ? PHOTOMETRIC_SEPARATED
                                                        : PHOTOMETRIC_PALETTE;
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photo);
        if (v.compression == COMPRESSION_JPEG) TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 95);
        if (v.photo == Photo::Palette) {
            std::vector<uint16_t> r(256), g(256), b(256);
            for (int i = 0; i < 256; ++i) {
                uint8_t cr, cg, cb;
                TestPixel(i % w, i / w, cr, cg, cb);
                r[i] = cr * 257, g[i] = cg * 257, b[i] = cb * 257;
            }
            TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
        }
        if (v.tiled) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, v.compression == COMPRESSION_JPEG ? 16 : 2);
        }
        // Samples of the whole picture, then cut into strips or tiles.
        const int bps = v.bits / 8;
        const int tw = v.tiled ? 16 : w, th = v.tiled ? 16 : h;
        const int cols = v.tiled ? (w + 15) / 16 * 16 : w, rows = v.tiled ? (h + 15) / 16 * 16 : h;
        std::vector<uint8_t> all(size_t(cols) * rows * spp * bps, 0);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t c[4] = {};
                TestPixel(x, y, c[0], c[1], c[2]);
                if (v.photo == Photo::Palette) c[0] = static_cast<uint8_t>(y * w + x);
                if (v.photo == Photo::Cmyk) c[0] = 255 - c[0], c[1] = 255 - c[1], c[2] = 255 - c[2], c[3] = 0;
                for (int s = 0; s < spp; ++s) {
                    uint8_t* d = &all[((size_t(y) * cols + x) * spp + s) * bps];
                    if (bps == 2) {
                        const uint16_t wide = c[s] * 257;
                        std::memcpy(d, &wide, 2);
                    } else {
                        *d = c[s];
                    }
                }
            }
        const size_t rowBytes = size_t(cols) * spp * bps;
        if (v.tiled) {
            std::vector<uint8_t> tile(size_t(tw) * th * spp * bps);
            for (int ty = 0; ty < rows; ty += th)
                for (int tx = 0; tx < cols; tx += tw) {
                    for (int y = 0; y < th; ++y)
                        std::memcpy(&tile[size_t(y) * tw * spp * bps], &all[(ty + y) * rowBytes + size_t(tx) * spp * bps],
                                    size_t(tw) * spp * bps);
                    ASSERT_GE(TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0), 0);
                }
        } else {
            for (int y = 0; y < h; ++y) ASSERT_EQ(TIFFWriteScanline(tif, &all[y * rowBytes], y, 0), 1);
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
}

// What each variant must read as: the picture, its red channel as grey.
Pixels Expected(Photo photo, int w, int h) {
    Pixels out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t r, g, b;
            TestPixel(x, y, r, g, b);
            if (photo == Photo::Grey) g = b = r;
            out.insert(out.end(), {r, g, b});
        }
    return out;
}

}  // namespace

TEST(TiffReader, EveryLayoutAndCompressionGivesThePicture) {
    TempDir dir;
    const int w = 7, h = 5;
    std::vector<TiffVariant> variants;
    for (const uint16_t c : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS})
        for (const bool tiled : {false, true}) {
            for (const Photo p : {Photo::Rgb, Photo::Grey}) {
                variants.push_back({p, 8, c, tiled});
                variants.push_back({p, 16, c, tiled});
            }
            variants.push_back({Photo::Palette, 8, c, tiled});
            variants.push_back({Photo::Cmyk, 8, c, tiled});
            variants.push_back({Photo::Cmyk, 16, c, tiled});
        }
    for (const bool tiled : {false, true}) variants.push_back({Photo::Rgb, 8, COMPRESSION_JPEG, tiled});
    variants.push_back({Photo::Rgb, 8, COMPRESSION_NONE, false, 3});
    int n = 0;
    for (const TiffVariant& v : variants) {
        const std::string name = dir / ("v" + std::to_string(n) + (n % 2 ? ".tif" : ".TIFF"));
        ++n;
        WriteTiff(name, v, w, h);
        SCOPED_TRACE(name + " photometric " + std::to_string(int(v.photo)) + " bits " + std::to_string(v.bits) +
                     " compression " + std::to_string(v.compression) + (v.tiled ? " tiled" : " strips"));
        std::vector<std::string> warnings;
        LoadOptions options;
        options.onWarning = [&](const std::string& text) { warnings.push_back(text); };
        std::unique_ptr<TPixelMap> map;
        try {
            map = LoadImageFile(PixelKind::RGB, name, options);
        } catch (const EQuenlo& e) {
            ADD_FAILURE() << DescribeError(e);
            continue;
        }
        ASSERT_TRUE(map);
        ASSERT_EQ(map->Width(), w);
        ASSERT_EQ(map->Height(), h);
        const Pixels got = RgbOf(*map), want = Expected(v.photo, w, h);
        if (v.compression == COMPRESSION_JPEG) {
            for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 12) << i;
        } else {
            EXPECT_EQ(got, want);
        }
        if (v.pages > 1) EXPECT_THAT(warnings, ::testing::ElementsAre("the file holds 3 pages; only the first is converted"));
        else EXPECT_TRUE(warnings.empty());
    }
}

TEST(ImageReaders, FilesNamedForAnotherFormatAreReadAsWhatTheyHoldWithAWarning) {
    TempDir dir;
    const std::string png = QUENLO_CONFORMANCE_DIR "/pngsuite/png/basn2c08.png";
    if (!fs::exists(png)) GTEST_SKIP();
    fs::copy_file(png, dir / "photo.jpg");
    std::vector<std::string> warnings;
    LoadOptions options;
    options.onWarning = [&](const std::string& text) { warnings.push_back(text); };
    const auto map = LoadImageFile(PixelKind::RGB, dir / "photo.jpg", options);
    ASSERT_TRUE(map);
    EXPECT_EQ(RgbOf(*map), LibpngPixels(png));
    EXPECT_THAT(warnings, ::testing::ElementsAre("not a JPEG file: it holds a PNG image"));
}

TEST(ImageReaders, SizesAboveThePixelLimitAreRefusedBeforeDecoding) {
    TempDir dir;
    WriteTiff(dir / "big.tif", {Photo::Rgb, 8, COMPRESSION_LZW, false}, 7, 5);
    const std::string png = QUENLO_CONFORMANCE_DIR "/pngsuite/png/basn2c08.png";  // 32 x 32
    LoadOptions options;
    options.limit.maxPixels = 34;
    EXPECT_THROW(LoadImageFile(PixelKind::RGB, dir / "big.tif", options), EImageTooLarge);
    if (fs::exists(png)) {
        EXPECT_THROW(LoadImageFile(PixelKind::RGB, png, options), EImageTooLarge);
    }
}

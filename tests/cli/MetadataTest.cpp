// What outputs keep besides the pixels: resolution, ICC profile,
// orientation and alpha, from sources Pillow writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <tiffio.h>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "imageio/VlxIo.h"

using namespace quenlo;
using namespace quenlo::test;

namespace {

bool HavePillow() { return std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0; }

void MakeSources(const TempDir& dir) {
    ASSERT_EQ(std::system(("/usr/bin/python3 '" QUENLO_SOURCE_DIR "/tests/imageio/format_refs.py' meta '" + dir.str() + "'").c_str()), 0);
}

struct Loaded {
    std::unique_ptr<TPixelMap> map;
    ImageMeta meta;
};

Loaded Load(const std::string& name, bool keepAlpha = false) {
    Loaded l;
    LoadOptions options;
    options.meta = &l.meta;
    options.keepAlpha = keepAlpha;
    l.map = LoadImageFile(PixelKind::RGB, name, options);
    return l;
}

// Dots per inch, however the file states them.
double PerInch(double v, ResolutionUnit unit) { return unit == ResolutionUnit::Centimetre ? v * 2.54 : v; }

std::vector<uint8_t> Bytes(const TPixelMap& map) { return {map.Data(), map.Data() + map.DataSize()}; }

// A TIFF's samples as libtiff decodes its strips, and its orientation.
struct TiffSamples {
    std::vector<uint8_t> bytes;  // R, G, B (, A) rows
    int orientation = 0;
};
TiffSamples ReadTiffSamples(const std::string& name) {
    TiffSamples t;
    TIFF* tif = TIFFOpen(name.c_str(), "r");
    if (!tif) return t;
    uint16_t orientation = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    t.orientation = orientation;
    for (tstrip_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
        std::vector<uint8_t> strip(static_cast<size_t>(TIFFStripSize(tif)));
        const tmsize_t n = TIFFReadEncodedStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size()));
        if (n > 0) t.bytes.insert(t.bytes.end(), strip.begin(), strip.begin() + n);
    }
    TIFFClose(tif);
    return t;
}

// B, G, R (, A) pixels as R, G, B (, A).
std::vector<uint8_t> Rgb(const TPixelMap& map) {
    std::vector<uint8_t> out = Bytes(map);
    const size_t step = map.Kind() == PixelKind::ARGB ? 4 : 3;
    for (size_t i = 0; i + 2 < out.size(); i += step) std::swap(out[i], out[i + 2]);
    return out;
}

const char* const kFormats[] = {"bmp", "png", "tiff", "jpg", "webp"};
std::string Ext(const std::string& format) { return format == "tiff" ? ".tif" : "." + format; }

}  // namespace

TEST(Metadata, ResolutionProfileAndOrientationRoundTripThroughEachOutput) {
    if (!HavePillow()) GTEST_SKIP() << "needs Pillow";
    TempDir dir;
    MakeSources(dir);
    for (const char* source : {"res.png", "res.jpg", "res.tif", "rgb.png"}) {
        const Loaded in = Load(dir / source);
        ASSERT_TRUE(in.map) << source;
        // Every source but rgb.png states both; the JPEG is turned.
        EXPECT_EQ(in.meta.resolution.has_value(), std::string(source) != "rgb.png") << source;
        EXPECT_EQ(in.meta.icc.empty(), std::string(source) == "rgb.png") << source;
        EXPECT_EQ(in.meta.orientation, std::string(source) == "res.jpg" ? 6 : 1) << source;
        // Resized, the profile stays and the resolution scales with the pixels.
        std::vector<std::pair<std::string, std::string>> ways;
        for (const std::string format : kFormats)
            for (const char* way : {"", "--resize=200%", "--thumbnail=16", "--icc=strip"}) ways.emplace_back(format, way);
        for (const auto& [format, way] : ways) {
            SCOPED_TRACE(std::string(source) + " to " + format + " " + way);
            const std::string out = dir / (format + way.substr(0, 4));
            const bool strip = way == "--icc=strip";
            const std::string resize = strip ? "" : way;
            std::vector<std::string> args = {"-q", "--format", format, "-o", out, dir / source};
            if (!way.empty()) args.push_back(way);
            const CliRun r = RunConvert(args);
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string stem = std::string(source).substr(0, std::string(source).find('.'));
            const Loaded back = Load(out + "/" + stem + Ext(format));
            ASSERT_TRUE(back.map);
            const double sx = double(back.map->Width()) / in.map->Width(), sy = double(back.map->Height()) / in.map->Height();
            if (!resize.empty()) {
                EXPECT_NE(sx, 1.0);
                EXPECT_EQ(back.meta.orientation, format == "bmp" || format == "png" ? 1 : in.meta.orientation);
            } else if (format == "tiff") {
                // The stored pixels, and the orientation they are shown in.
                const TiffSamples t = ReadTiffSamples(out + "/" + stem + ".tif");
                EXPECT_EQ(t.bytes, Rgb(*in.map));
                EXPECT_EQ(t.orientation, in.meta.orientation);
            } else if (format == "jpg" || format == "webp") {
                // Lossy pixels; the orientation rides in EXIF.
                EXPECT_EQ(back.meta.orientation, in.meta.orientation);
            } else {
                EXPECT_EQ(Bytes(*back.map), Bytes(*in.map));
            }
            ASSERT_EQ(back.meta.resolution.has_value(), in.meta.resolution.has_value());
            if (in.meta.resolution) {
                // BMP and PNG hold whole pixels per metre, JPEG whole ones per inch or cm.
                const double near = format == "jpg" ? 0.5 : 0.02;
                EXPECT_NEAR(PerInch(back.meta.resolution->x, back.meta.resolution->unit),
                            PerInch(in.meta.resolution->x, in.meta.resolution->unit) * sx, near);
                EXPECT_NEAR(PerInch(back.meta.resolution->y, back.meta.resolution->unit),
                            PerInch(in.meta.resolution->y, in.meta.resolution->unit) * sy, near);
            }
            EXPECT_EQ(back.meta.icc, strip ? std::vector<uint8_t>() : in.meta.icc);
            if (format == "bmp" && !in.meta.icc.empty() && way.empty() && std::system("convert -version >/dev/null 2>&1") == 0) {
                // ImageMagick finds the same profile embedded in the version 5 header.
                ASSERT_EQ(std::system(("convert '" + out + "/" + stem + ".bmp' '" + (dir / "bmp.icc") + "'").c_str()), 0);
                EXPECT_EQ(ReadBytes(dir / "bmp.icc"), in.meta.icc);
            }
            if (format == "webp" && in.meta.resolution && way.empty()) {
                // Pillow finds the same in the WebP's ICCP and EXIF chunks.
                const Resolution& r = *in.meta.resolution;
                const std::string check = "from PIL import Image\nim = Image.open('" + out + "/" + stem + ".webp')\ne = im.getexif()\n"
                    "assert len(im.info['icc_profile']) == " + std::to_string(in.meta.icc.size()) + "\n"
                    "assert e.get(274, 1) == " + std::to_string(in.meta.orientation) + " and e[296] == " +
                    std::to_string(r.unit == ResolutionUnit::Inch ? 2 : 3) + "\n"
                    "assert abs(float(e[282]) - " + std::to_string(r.x) + ") < 0.01 and abs(float(e[283]) - " + std::to_string(r.y) + ") < 0.01\n";
                WriteBytes(dir / "check.py", std::vector<uint8_t>(check.begin(), check.end()));
                EXPECT_EQ(std::system(("/usr/bin/python3 '" + (dir / "check.py") + "'").c_str()), 0);
            }
        }
        // The TIFF states the orientation, which --auto-orient applies, also from the WebP made of the JPEG.
        for (const std::string from : {dir / source, dir / "webp/res.webp"}) {
            if (std::string(source) != "res.jpg") break;
            const std::string out = dir / "turned";
            ASSERT_EQ(RunConvert({"-q", "--format", "tiff", "--auto-orient", "--icc", "strip", "-o", out, from}).status, 0);
            const Loaded turned = Load(out + "/res.tif");
            EXPECT_EQ(turned.map->Width(), in.map->Height());
            EXPECT_EQ(ReadTiffSamples(out + "/res.tif").orientation, 1);
            EXPECT_TRUE(turned.meta.icc.empty());
            // A quarter turn clockwise: the stored bottom-left pixel comes to the top left.
            if (from == dir / source)
                EXPECT_TRUE(std::equal(turned.map->ScanLine(0), turned.map->ScanLine(0) + 3, in.map->PixelAddr(0, in.map->Height() - 1)));
        }
    }
}

TEST(Metadata, AlphaIsKeptWhereTheOutputHoldsItElseLaidOverTheBackground) {
    if (!HavePillow()) GTEST_SKIP() << "needs Pillow";
    TempDir dir;
    MakeSources(dir);
    ASSERT_EQ(Load(dir / "alpha.png", true).map->Kind(), PixelKind::ARGB);
    struct Way {
        std::vector<std::string> args;
        std::optional<TColor> over;  // unset: alpha kept
    };
    const Way ways[] = {{{"--format", "png"}, {}},
                        {{"--format", "tiff"}, {}},
                        {{"--format", "tiff", "--tiff-compression", "lzw"}, {}},
                        {{"--format", "webp", "--lossless"}, {}},
                        {{"--format", "bmp"}, 0xFFFFFF},
                        {{"--format", "png", "--background", "#2080c0"}, 0xC08020},
                        {{"--format", "tiff", "--background", "Black"}, 0x000000},
                        // Resampled as RGB: laid over first, at the same size here.
                        {{"--format", "png", "--resize", "100%"}, 0xFFFFFF},
                        {{"--format", "bmp", "--thumbnail", "999", "--background", "Black"}, 0x000000}};
    int n = 0;
    for (const Way& w : ways) {
        const std::string out = dir / ("out" + std::to_string(n++));
        std::vector<std::string> args = w.args;
        args.insert(args.end(), {"-q", "-o", out, dir / "alpha.png"});
        ASSERT_EQ(RunConvert(args).status, 0);
        const std::string name = out + "/alpha" + Ext(w.args[1]);
        SCOPED_TRACE(name);
        LoadOptions over;
        over.background = w.over.value_or(0);
        const auto want = w.over ? LoadImageFile(PixelKind::RGB, dir / "alpha.png", over) : std::move(Load(dir / "alpha.png", true).map);
        if (w.args[1] == "tiff") EXPECT_EQ(ReadTiffSamples(name).bytes, Rgb(*want));
        else EXPECT_EQ(Bytes(*Load(name, true).map), Bytes(*want));
    }
    EXPECT_NE(RunConvert({"-q", "--background", "#12345", dir / "alpha.png"}).status, 0);
}

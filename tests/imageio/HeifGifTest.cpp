// HEIC, AVIF and GIF against independent decoders: files made with the
// formats' own tools, compared with heif-convert's and Pillow's pixels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "TestUtil.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

using namespace quenlo;
using namespace quenlo::test;

namespace {

// Debian's own interpreter, which has Pillow; another python3 may come first.
const std::string kPython = "/usr/bin/python3";
const std::string kRefs = std::string(QUENLO_SOURCE_DIR) + "/tests/imageio/format_refs.py";

bool HaveTools() {
    return std::system(("command -v heif-enc >/dev/null && command -v heif-convert >/dev/null && "
                        "command -v gifsicle >/dev/null && " + kPython + " -c 'import PIL' 2>/dev/null").c_str()) == 0;
}

bool RunIn(const TempDir& dir, const std::string& cmd) {
    return std::system(("cd '" + dir.str() + "' && (" + cmd + ") >/dev/null 2>&1").c_str()) == 0;
}

// A reference decoding: R, G, B, A rows.
struct Reference {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    bool Translucent() const {
        for (size_t i = 3; i < rgba.size(); i += 4)
            if (rgba[i] != 255) return true;
        return false;
    }
};

Reference ReadReference(const std::string& path) {
    const std::vector<uint8_t> b = ReadBytes(path);
    Reference r;
    if (b.size() < 8) return r;
    std::memcpy(&r.width, &b[0], 4);
    std::memcpy(&r.height, &b[4], 4);
    r.rgba.assign(b.begin() + 8, b.end());
    return r;
}

// The reference laid over a background, by the plain formula.
std::vector<uint8_t> Over(const Reference& ref, TColor bg) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < ref.rgba.size(); i += 4) {
        const double a = ref.rgba[i + 3] / 255.0;
        for (int c = 0; c < 3; ++c)
            out.push_back(uint8_t(std::lround(ref.rgba[i + c] * a + ((bg >> (8 * c)) & 255) * (1 - a))));
    }
    return out;
}

// R, G, B, A with the colour of fully transparent pixels, which no
// decoder defines, made black.
std::vector<uint8_t> Visible(std::vector<uint8_t> rgba) {
    for (size_t i = 0; i < rgba.size(); i += 4)
        if (rgba[i + 3] == 0) rgba[i] = rgba[i + 1] = rgba[i + 2] = 0;
    return rgba;
}

// The map's pixels in R, G, B (, A) order.
std::vector<uint8_t> Pixels(const TPixelMap& map) {
    std::vector<uint8_t> out(map.Data(), map.Data() + map.DataSize());
    const size_t step = map.Kind() == PixelKind::ARGB ? 4 : 3;
    for (size_t i = 0; i + 2 < out.size(); i += step) std::swap(out[i], out[i + 2]);
    return step == 4 ? Visible(out) : out;
}

struct Case {
    const char* what;
    const char* file;  // made in the folder by make
    const char* make;
    bool gif;          // decoded by Pillow, else by heif-convert
    int bits = 8, pages = 1, orientation = 1;
    int warnings = 0;  // other formats' names, pages
};

const Case kCases[] = {
    {"HEIC", "t.heic", "heif-enc -q 90 rgb.png -o t.heic", false},
    {"HEIC with alpha", "t.heic", "heif-enc -q 90 rgba.png -o t.heic", false},
    {"HEIC 10-bit", "t.heic", "heif-enc -b 10 -q 90 rgb16.png -o t.heic", false, 10},
    {"HEIC 12-bit", "t.heic", "heif-enc -b 12 -q 90 rgb16.png -o t.heic", false, 12},
    {"HEIC with EXIF orientation 6, kept as stored", "t.heic", "heif-enc -q 90 o6.jpg -o t.heic", false, 8, 1, 6},
    {"HEIC named .jpg", "t.jpg", "heif-enc -q 90 rgb.png -o t.heic && mv t.heic t.jpg", false, 8, 1, 1, 1},
    {"AVIF", "t.avif", "heif-enc -A -q 90 rgb.png -o t.avif", false},
    {"AVIF with alpha", "t.avif", "heif-enc -A -q 90 rgba.png -o t.avif", false},
    {"AVIF 12-bit 4:4:4", "t.avif", "heif-enc -A -b 12 -p chroma=444 -q 90 rgb16.png -o t.avif", false, 12},
    {"GIF", "t.gif", "gifsicle --no-interlace plain.gif > t.gif", true},
    {"GIF interlaced", "t.gif", "gifsicle --interlace plain.gif > t.gif", true},
    {"GIF transparent", "t.gif", "gifsicle --transparent 5 plain.gif > t.gif", true},
    {"GIF animation, first frame inside a larger screen", "t.gif",
     "gifsicle --logical-screen 40x23 --position 3,2 plain.gif --position 0,0 plain.gif > t.gif", true, 8, 2, 1, 1},
    {"GIF animation, transparent, interlaced, inside a larger screen", "t.gif",
     "gifsicle -i -t 5 --logical-screen 40x23 --position 6,1 plain.gif plain.gif plain.gif > t.gif", true, 8, 3, 1, 1},
    {"GIF named .png", "t.png", "gifsicle plain.gif > t.png", true, 8, 1, 1, 1},
};

// Each case's own folder.
std::string Sub(size_t i) { return std::string("c").append(std::to_string(i)); }

TEST(HeifGifConformance, PixelsAsTheReferenceDecodersGiveThem) {
    if (!HaveTools()) GTEST_SKIP() << "needs heif-enc, heif-convert, gifsicle and Pillow";
    // Every case's file and reference in one folder, Pillow started twice.
    TempDir dir;
    ASSERT_TRUE(RunIn(dir, kPython + " '" + kRefs + "' sources ."));
    std::string refs;
    for (size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        const std::string sub = Sub(i);
        ASSERT_TRUE(RunIn(dir, "mkdir " + sub + " && cp *.png *.gif *.jpg " + sub + " && cd " + sub + " && " + c.make)) << c.what;
        if (!c.gif) {
            ASSERT_TRUE(RunIn(dir, "heif-convert " + sub + "/" + c.file + " " + sub + "/ref.png")) << c.what;
        }
        refs += " " + sub + "/" + (c.gif ? std::string(c.file) : "ref.png") + " " + sub + "/ref.rgba";
    }
    ASSERT_TRUE(RunIn(dir, kPython + " '" + kRefs + "' rgba" + refs));

    for (size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        SCOPED_TRACE(c.what);
        const std::string file = dir / (Sub(i) + "/" + c.file);
        const Reference ref = ReadReference(dir / (Sub(i) + "/ref.rgba"));
        ASSERT_GT(ref.width, 0);

        for (const TColor bg : {TColor(0xFFFFFF), TColor(0x2080C0)}) {
            for (const bool keep : {false, true}) {
                ImageMeta meta;
                int warnings = 0;
                LoadOptions options;
                options.meta = &meta;
                options.background = bg;
                options.keepAlpha = keep;
                options.onWarning = [&](const std::string&) { ++warnings; };
                const auto map = LoadImageFile(PixelKind::RGB, file, options);
                ASSERT_TRUE(map);
                ASSERT_EQ(map->Width(), ref.width);
                ASSERT_EQ(map->Height(), ref.height);
                if (keep && ref.Translucent()) {
                    ASSERT_EQ(map->Kind(), PixelKind::ARGB);
                    EXPECT_EQ(Pixels(*map), Visible(ref.rgba));
                } else {
                    ASSERT_EQ(map->Kind(), PixelKind::RGB);
                    EXPECT_EQ(Pixels(*map), Over(ref, bg)) << "background " << bg;
                }
                if (ref.Translucent()) {
                    EXPECT_TRUE(meta.alpha);
                }
                EXPECT_EQ(meta.bitsPerSample, c.bits);
                EXPECT_EQ(meta.pages, c.pages);
                EXPECT_EQ(meta.orientation, c.orientation);
                EXPECT_EQ(warnings, c.warnings);
            }
        }

        // Refused from the header, one pixel over the limit.
        LoadOptions small;
        small.limit.maxPixels = int64_t(ref.width) * ref.height - 1;
        EXPECT_THROW(LoadImageFile(PixelKind::RGB, file, small), EImageTooLarge);
    }
}

}  // namespace

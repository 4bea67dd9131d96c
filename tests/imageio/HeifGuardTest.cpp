// HEIF files whose bitstream or derived-image canvas asks for more than
// their boxes declare: refused before the decoder allocates it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "TestUtil.h"
#include "imageio/HeifBoxes.h"
#include "imageio/HeifReader.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

using namespace quenlo;
using namespace quenlo::test;

namespace {

// Sets every 'ispe' box's size.
void ClaimSize(std::vector<uint8_t>& file, uint32_t w, uint32_t h) {
    const std::string tag = "ispe";
    int found = 0;
    for (auto at = file.begin(); (at = std::search(at, file.end(), tag.begin(), tag.end())) != file.end(); ++at, ++found) {
        ASSERT_GE(file.end() - at, 12);
        uint8_t* p = &*at + 8;
        for (int i = 0; i < 4; ++i) {
            p[i] = uint8_t(w >> (24 - 8 * i));
            p[4 + i] = uint8_t(h >> (24 - 8 * i));
        }
    }
    ASSERT_GT(found, 0);
}

TEST(HeifGuard, BitstreamLargerThanTheBoxesDeclareIsRefused) {
    if (std::system("command -v heif-enc >/dev/null && /usr/bin/python3 -c 'import PIL' 2>/dev/null") != 0)
        GTEST_SKIP() << "needs heif-enc and Pillow";
    TempDir dir;
    // heif-enc codes a width that is no multiple of 8 as a one-tile grid:
    // 301 checks the canvas, 304 the bitstream.
    for (const int width : {301, 304}) {
        const std::string png = dir / "p.png";
        ASSERT_EQ(std::system(("/usr/bin/python3 -c \"from PIL import Image; Image.new('RGB', (" + std::to_string(width) +
                               ", 256), (9, 120, 230)).save('" + png + "')\"").c_str()), 0);
        for (const char* codec : {"", "-A "}) {
            SCOPED_TRACE(std::string(codec) + std::to_string(width));
            const std::string out = dir / "t.heif";
            ASSERT_EQ(std::system(("heif-enc " + std::string(codec) + "-q 50 '" + png + "' -o '" + out + "' >/dev/null").c_str()), 0);
            std::vector<uint8_t> file = ReadBytes(out);
            EXPECT_EQ(DecodeHeif(file)->Width(), width);
            // Thin enough that even libheif's per-side limit lets it through.
            ClaimSize(file, 1, 256);
            EXPECT_THROW(DecodeHeif(file), EInvalidGraphic);
        }
    }
}

// A file of one 'meta' box holding items in 'iinf', 'iloc' and 'idat'.
struct Bytes : std::vector<uint8_t> {
    Bytes& U(uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Bytes& S(const char* s) {
        while (*s) push_back(uint8_t(*s++));
        return *this;
    }
    Bytes& Box(const char* type, const Bytes& body) {
        U(body.size() + 8, 4).S(type);
        insert(end(), body.begin(), body.end());
        return *this;
    }
};

Bytes Meta(const Bytes& idat, uint16_t gridLength) {
    Bytes infe1, infe2, iinf, iloc, meta, file;
    infe1.U(0x02000000, 4).U(1, 2).U(0, 2).S("grid");
    infe2.U(0x02000000, 4).U(2, 2).U(0, 2).S("iovl");
    iinf.U(0, 4).U(2, 2).Box("infe", infe1).Box("infe", infe2);
    // Version 1: construction method 1 (inside 'idat'), 4-byte offsets and lengths.
    iloc.U(0x01000000, 4).U(0x44, 1).U(0x00, 1).U(2, 2);
    iloc.U(1, 2).U(1, 2).U(0, 2).U(1, 2).U(0, 4).U(gridLength, 4);
    iloc.U(2, 2).U(1, 2).U(0, 2).U(1, 2).U(gridLength, 4).U(idat.size() - gridLength, 4);
    meta.U(0, 4).Box("iinf", iinf).Box("iloc", iloc).Box("idat", idat);
    return file.Box("meta", meta);
}

TEST(HeifGuard, DerivedCanvasSizes) {
    Bytes idat;
    idat.U(0, 1).U(0, 1).U(1, 1).U(2, 1).U(3000, 2).U(2001, 2);                 // grid, 16-bit sizes
    idat.U(0, 1).U(1, 1).U(0, 8).U(70000, 4).U(5, 4);                            // overlay, 32-bit sizes
    const auto sizes = ReadHeifBoxes(Meta(idat, 8)).canvases;
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0].width, 3000u);
    EXPECT_EQ(sizes[0].height, 2001u);
    EXPECT_EQ(sizes[1].width, 70000u);
    EXPECT_EQ(sizes[1].height, 5u);
    // A grid whose data stops before its size cannot be checked.
    Bytes cut;
    cut.U(0, 1).U(0, 1).U(1, 1).U(2, 1).U(3000, 2).U(0, 2);
    Bytes truncated = Meta(cut, 5);
    EXPECT_THROW(ReadHeifBoxes(truncated), EInvalidGraphic);
}

// A 'meta' box whose primary item 2 has the given properties of ipco
// (1-based: irot 90, irot 180, imir axis 1, imir axis 0); item 3 has all.
Bytes Turned(const std::vector<int>& properties) {
    Bytes pitm, irot90, irot180, imir1, imir0, ipco, ipma, iprp, meta, file;
    pitm.U(0, 4).U(2, 2);
    irot90.U(1, 1), irot180.U(2, 1), imir1.U(1, 1), imir0.U(0, 1);
    ipco.Box("irot", irot90).Box("irot", irot180).Box("imir", imir1).Box("imir", imir0);
    ipma.U(0, 4).U(2, 4).U(2, 2).U(properties.size(), 1);
    for (int p : properties) ipma.U(p, 1);
    ipma.U(3, 2).U(4, 1).U(1, 1).U(2, 1).U(3, 1).U(4, 1);
    iprp.Box("ipco", ipco).Box("ipma", ipma);
    meta.U(0, 4).Box("pitm", pitm).Box("iprp", iprp);
    return file.Box("meta", meta);
}

TEST(HeifBoxes, TransformsAsOneOrientation) {
    const struct {
        std::vector<int> properties;
        int orientation;
    } cases[] = {
        {{}, 0}, {{1}, 8}, {{2}, 3}, {{3}, 2}, {{4}, 4}, {{1, 3}, 7}, {{3, 1}, 5}, {{2, 2}, 1}, {{1, 2}, 6},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadHeifBoxes(Turned(c.properties)).orientation, c.orientation) << c.properties.size();
}

// heif-enc writes no 'irot'; its 'pixi' box, 16 bytes on the primary
// image, becomes one (libheif reads one byte of it).
TEST(HeifBoxes, AutoOrientTurnsAsHeifConvertDoes) {
    if (std::system("command -v heif-enc >/dev/null && command -v heif-convert >/dev/null && "
                    "/usr/bin/python3 -c 'import PIL' 2>/dev/null") != 0)
        GTEST_SKIP() << "needs heif-enc, heif-convert and Pillow";
    TempDir dir;
    const std::string png = dir / "a.png", heic = dir / "a.heic", ref = dir / "ref.png";
    ASSERT_EQ(std::system(("/usr/bin/python3 -c \"from PIL import Image; im = Image.new('RGB', (31, 17)); "
                           "im.putdata([(x * 8, y * 15, x * y % 256) for y in range(17) for x in range(31)]); im.save('" +
                           png + "')\" && heif-enc -q 90 '" + png + "' -o '" + heic + "' >/dev/null").c_str()), 0);
    std::vector<uint8_t> file = ReadBytes(heic);
    const std::string pixi = "pixi";
    const auto at = std::search(file.begin(), file.end(), pixi.begin(), pixi.end());
    ASSERT_NE(at, file.end());
    std::copy_n("irot", 4, at);
    at[4] = 1;
    WriteBytes(heic, file);
    ASSERT_EQ(std::system(("heif-convert '" + heic + "' '" + ref + "' >/dev/null").c_str()), 0);

    ImageMeta meta;
    LoadOptions options;
    options.meta = &meta;
    EXPECT_EQ(LoadImageFile(PixelKind::RGB, heic, options)->Width(), 31);
    EXPECT_EQ(meta.orientation, 8);
    options.autoOrient = true;
    const auto upright = LoadImageFile(PixelKind::RGB, heic, options);
    const auto expected = LoadImageFile(PixelKind::RGB, ref);
    ASSERT_EQ(upright->Width(), 17);
    ASSERT_EQ(expected->Width(), 17);
    for (int y = 0; y < 31; ++y)
        ASSERT_EQ(std::memcmp(upright->ScanLine(y), expected->ScanLine(y), 17 * 3), 0) << y;
}

}  // namespace

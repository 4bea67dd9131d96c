#include "imageio/BmpReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "low/Errors.h"

using namespace quenlo;

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> 8 * i));
}

// A bitmap with a 40-byte header; masks and palette follow it in that order.
struct Bmp {
    int32_t w = 1, h = 1;
    uint16_t bpp = 24;
    uint32_t comp = 0;
    std::vector<uint32_t> masks{};
    std::vector<uint32_t> pal{};  // 0x00RRGGBB
    Bytes data{};                 // stored pixel data
    int64_t clrUsed = -1;         // -1: the palette's size

    Bytes Build() const {
        const uint32_t off = 54 + 4 * static_cast<uint32_t>(masks.size() + pal.size());
        Bytes b{'B', 'M'};
        Put(b, off + data.size(), 4); Put(b, 0, 4); Put(b, off, 4);
        Put(b, 40, 4); Put(b, w, 4); Put(b, h, 4); Put(b, 1, 2); Put(b, bpp, 2); Put(b, comp, 4);
        Put(b, data.size(), 4); Put(b, 2835, 4); Put(b, 2835, 4);
        Put(b, clrUsed < 0 ? pal.size() : clrUsed, 4); Put(b, 0, 4);
        for (uint32_t m : masks) Put(b, m, 4);
        for (uint32_t c : pal) Put(b, c, 4);
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }
};

// Stored rows, each padded to 4 bytes.
Bytes Rows(const std::vector<Bytes>& rows) {
    Bytes out;
    for (const Bytes& r : rows) {
        out.insert(out.end(), r.begin(), r.end());
        out.resize((out.size() + 3) & ~size_t{3}, 0);
    }
    return out;
}

uint32_t Rgb(const TPixelMapRGB& m, int x, int y) {
    const uint8_t* p = m.PixelAddr(x, y);
    return p[2] << 16 | p[1] << 8 | p[0];
}

bool SamePixels(const TPixelMapRGB& a, const TPixelMapRGB& b, int tolerance = 0) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
    for (int32_t i = 0; i < a.DataSize(); ++i)
        if (std::abs(a.Data()[i] - b.Data()[i]) > tolerance) return false;
    return true;
}

// Decodes, accepting only the two documented refusals.
bool Decodes(const Bytes& file) {
    try {
        DecodeBmp(file);
        return true;
    } catch (const EInvalidGraphic&) {
        return false;
    } catch (const EInvalidImageSize&) {
        return false;
    }
}

}  // namespace

TEST(BmpReader, Rgb24OddWidthAndTopDownRowsMatch) {
    Bmp bmp{.w = 3, .h = 2};
    bmp.data = Rows({{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}});
    auto up = DecodeBmp(bmp.Build());
    ASSERT_EQ(up->Width(), 3);
    ASSERT_EQ(up->Height(), 2);
    EXPECT_EQ(Rgb(*up, 0, 0), 0x0C0B0Au);  // the last stored row is the top one
    EXPECT_EQ(Rgb(*up, 2, 1), 0x090807u);

    bmp.h = -2;
    bmp.data = Rows({{10, 11, 12, 13, 14, 15, 16, 17, 18}, {1, 2, 3, 4, 5, 6, 7, 8, 9}});
    EXPECT_TRUE(SamePixels(*up, *DecodeBmp(bmp.Build())));
}

TEST(BmpReader, PalettizedDepthsGiveThePaletteColours) {
    for (uint16_t bpp : {1, 2, 4, 8}) {
        const int n = 1 << bpp, w = 5, h = 3;
        Bmp bmp{.w = w, .h = h, .bpp = bpp};
        for (int i = 0; i < n; ++i) bmp.pal.push_back(0x804020u + i * 0x010305u);
        auto index = [&](int x, int fileRow) { return (x + 2 * fileRow + 1) % n; };
        std::vector<Bytes> rows(h, Bytes((w * bpp + 7) / 8, 0));
        for (int r = 0; r < h; ++r)
            for (int x = 0; x < w; ++x)  // leftmost pixel in the high bits
                rows[r][x * bpp / 8] |= index(x, r) << (8 - bpp - x * bpp % 8);
        bmp.data = Rows(rows);
        auto m = DecodeBmp(bmp.Build());
        for (int r = 0; r < h; ++r)
            for (int x = 0; x < w; ++x)
                EXPECT_EQ(Rgb(*m, x, h - 1 - r), bmp.pal[index(x, r)]) << bpp << " bits, " << x << "," << r;
    }
}

TEST(BmpReader, PaletteEdgeCases) {
    Bmp bmp{.w = 2, .h = 1, .bpp = 8, .pal = {0x123456, 0x654321}, .data = Rows({{1, 7}})};
    auto m = DecodeBmp(bmp.Build());
    EXPECT_EQ(Rgb(*m, 0, 0), 0x654321u);
    EXPECT_EQ(Rgb(*m, 1, 0), 0u) << "index beyond the palette is black";

    // More entries than the depth allows: fine when they are all stored, refused otherwise.
    Bmp one{.w = 2, .h = 1, .bpp = 1, .pal = {0xFF0000, 0x00FF00, 0x0000FF}, .data = Rows({{0x40}})};
    m = DecodeBmp(one.Build());
    EXPECT_EQ(Rgb(*m, 0, 0), 0xFF0000u);
    EXPECT_EQ(Rgb(*m, 1, 0), 0x00FF00u);
    one.clrUsed = 4;
    EXPECT_THROW(DecodeBmp(one.Build()), EInvalidGraphic);
}

TEST(BmpReader, BitfieldsScaleEveryMaskWidthToFullRange) {
    Bmp rgb565{.w = 4, .h = 1, .bpp = 16, .comp = 3, .masks = {0xF800, 0x07E0, 0x001F}};
    rgb565.data = Rows({{0xFF, 0xFF, 0x10, 0x00, 0x00, 0x04, 0x00, 0x80}});
    auto m = DecodeBmp(rgb565.Build());
    EXPECT_EQ(Rgb(*m, 0, 0), 0xFFFFFFu);
    EXPECT_EQ(Rgb(*m, 1, 0), 132u);            // 16 of 31
    EXPECT_EQ(Rgb(*m, 2, 0), 130u << 8);       // 32 of 63
    EXPECT_EQ(Rgb(*m, 3, 0), 132u << 16);

    Bmp rgb555{.w = 2, .h = 1, .bpp = 16, .data = Rows({{0x00, 0x7C, 0x00, 0x80}})};
    m = DecodeBmp(rgb555.Build());
    EXPECT_EQ(Rgb(*m, 0, 0), 0xFF0000u);
    EXPECT_EQ(Rgb(*m, 1, 0), 0u) << "top bit of 5-5-5 is unused";

    // 10-10-10 and a 20-bit red (no lookup table) with a 1-bit green.
    Bmp wide{.w = 2, .h = 1, .bpp = 32, .comp = 3, .masks = {0x3FF00000, 0x000FFC00, 0x000003FF}};
    wide.data = Rows({{0x03, 0x00, 0xF0, 0x3F, 0x00, 0x00, 0x08, 0x00}});
    m = DecodeBmp(wide.Build());
    EXPECT_EQ(Rgb(*m, 0, 0), 0xFF0001u);  // blue 3 of 1023 rounds to 1
    EXPECT_EQ(Rgb(*m, 1, 0), 128u << 8);  // 512 of 1023
    wide.masks = {0xFFFFF000, 0x00000800, 0x000000FF};
    wide.data = Rows({{0x00, 0x08, 0x00, 0x80, 0xFF, 0xF7, 0xFF, 0x7F}});
    m = DecodeBmp(wide.Build());
    EXPECT_EQ(Rgb(*m, 0, 0), 0x80FF00u);
    EXPECT_EQ(Rgb(*m, 1, 0), 0x7F00FFu);
}

TEST(BmpReader, RleRunsAbsoluteRunsDeltasAndSkippedPixelsBlack) {
    const std::vector<uint32_t> pal = {0x112233, 0x445566, 0x778899, 0xAABBCC};
    Bmp rle8{.w = 4, .h = 3, .bpp = 8, .comp = 1, .pal = pal};
    rle8.data = {0, 3, 2, 3, 1, 0, 1, 0, 0, 0,  // absolute 2 3 1 + pad, run of 0, EOL
                 2, 1, 0, 2, 1, 1,              // run of 1 1, delta right 1 up 1
                 1, 3, 0, 1};                   // one 3, end of bitmap
    auto m = DecodeBmp(rle8.Build());
    const uint32_t k = 0;
    const std::vector<std::vector<uint32_t>> want = {
        {k, k, k, pal[3]}, {pal[1], pal[1], k, k}, {pal[2], pal[3], pal[1], pal[0]}};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(Rgb(*m, x, y), want[y][x]) << x << "," << y;

    Bmp rle4{.w = 8, .h = 1, .bpp = 4, .comp = 2, .pal = pal};
    rle4.data = {0, 5, 0x32, 0x10, 0x30, 0, 3, 0x12, 0, 1};
    m = DecodeBmp(rle4.Build());
    const int idx[8] = {3, 2, 1, 0, 3, 1, 2, 1};
    for (int x = 0; x < 8; ++x) EXPECT_EQ(Rgb(*m, x, 0), pal[idx[x]]) << x;

    for (const Bytes& bad : {Bytes{0, 2, 0, 3, 1, 1}, Bytes{0, 2, 0, 4, 0, 1}, Bytes{0, 2, 5, 0, 0, 1},
                             Bytes{2, 1, 0, 0}, Bytes{0, 4, 1, 2}}) {
        rle8.data = bad;
        EXPECT_THROW(DecodeBmp(rle8.Build()), EInvalidGraphic) << testing::PrintToString(bad);
    }
    rle8.h = 1;
    rle8.data = {4, 2};
    EXPECT_EQ(Rgb(*DecodeBmp(rle8.Build()), 3, 0), pal[2]) << "complete picture, no end marker";

    // Size alone cannot condemn a stream, but the map must still fit.
    rle8.w = rle8.h = 50000;
    rle8.data = {0, 1};
    EXPECT_THROW(DecodeBmp(rle8.Build()), EInvalidImageSize);
    rle8.w = rle8.h = 20000;  // a map could hold it, the pixel limit refuses it
    EXPECT_THROW(DecodeBmp(rle8.Build()), EImageTooLarge);
}

// Writers pad a narrow image's rows with a run past the row's end; those
// pixels are dropped, so the file reads as its uncompressed twin.
TEST(BmpReader, RlePixelsPastTheRowEndAreDropped) {
    const std::vector<uint32_t> pal = {0x112233, 0x445566, 0x778899, 0xAABBCC};
    Bmp twin{.w = 5, .h = 2, .bpp = 8, .pal = pal, .data = Rows({{1, 1, 1, 2, 3}, {3, 0, 0, 0, 0}})};
    Bmp rle8{.w = 5, .h = 2, .bpp = 8, .comp = 1, .pal = pal};
    rle8.data = {3, 1, 0, 4, 2, 3, 0, 0, 0, 0,  // 3 x 1, absolute 2 3 0 0 (two past the end), EOL
                 1, 3, 7, 0, 0, 0, 0, 1};       // 3, then 7 x 0 (three past the end), EOL, EOB
    EXPECT_TRUE(SamePixels(*DecodeBmp(twin.Build()), *DecodeBmp(rle8.Build())));

    Bmp rle4{.w = 5, .h = 2, .bpp = 4, .comp = 2, .pal = pal};
    rle4.data = {3, 0x11, 0, 3, 0x23, 0x00, 0, 0,  // 1 1 1, absolute 2 3 0 (one past the end)
                 8, 0x30, 0, 1};                   // 3 0 3 0 3 0 3 0 (three past the end)
    twin.data = Rows({{1, 1, 1, 2, 3}, {3, 0, 3, 0, 3}});
    EXPECT_TRUE(SamePixels(*DecodeBmp(twin.Build()), *DecodeBmp(rle4.Build())));
}

TEST(BmpReader, MalformedHeadersAreRefused) {
    const Bmp good{.w = 2, .h = 2, .bpp = 8, .pal = {0, 0xFFFFFF}, .data = Rows({{0, 1}, {1, 0}})};
    ASSERT_TRUE(Decodes(good.Build()));
    auto poke = [&](size_t at, uint32_t v, int n) {
        Bytes b = good.Build();
        for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> 8 * i);
        return b;
    };
    auto with = [&](auto change) { Bmp b = good; change(b); return b.Build(); };
    const std::map<std::string, Bytes> cases = {
        {"signature", poke(0, 'B' | 'A' << 8, 2)},
        {"header size", poke(14, 66, 4)},
        {"planes", poke(26, 2, 2)},
        {"bit count 3", poke(28, 3, 2)},
        {"bit count 64", poke(28, 64, 2)},
        {"unknown compression", poke(30, 9, 4)},
        {"offset in header", poke(10, 20, 4)},
        {"offset past end", poke(10, 100000, 4)},
        {"palette too large", poke(46, 1000, 4)},
        {"zero width", with([](Bmp& b) { b.w = 0; })},
        {"negative width", with([](Bmp& b) { b.w = -2; })},
        {"zero height", with([](Bmp& b) { b.h = 0; })},
        {"RLE8 on 24 bits", with([](Bmp& b) { b.bpp = 24; b.comp = 1; })},
        {"RLE4 on 8 bits", with([](Bmp& b) { b.comp = 2; })},
        {"top-down RLE", with([](Bmp& b) { b.h = -2; b.comp = 1; b.data = {0, 1}; })},
        {"bitfields on 8 bits", with([](Bmp& b) { b.comp = 3; b.masks = {0xE0, 0x1C, 0x03}; })},
        {"zero mask", with([](Bmp& b) { b.bpp = 16; b.comp = 3; b.masks = {0xF800, 0, 0x1F}; })},
        {"split mask", with([](Bmp& b) { b.bpp = 16; b.comp = 3; b.masks = {0xF0F0, 0x0F00, 0x0F}; })},
        {"mask past 16 bits", with([](Bmp& b) { b.bpp = 16; b.comp = 3; b.masks = {0x1F0000, 0x7E0, 0x1F}; })},
        {"huge claim, tiny file", with([](Bmp& b) { b.w = b.h = 60000; b.bpp = 24; })},
    };
    for (const auto& [name, file] : cases) EXPECT_THROW(DecodeBmp(file), EInvalidGraphic) << name;
}

TEST(BmpReader, EveryTruncationIsRefusedCleanly) {
    const std::vector<uint32_t> pal = {0x112233, 0x445566, 0x778899, 0xAABBCC};
    const std::vector<Bmp> files = {
        {.w = 3, .h = 2, .data = Rows({Bytes(9, 7), Bytes(9, 8)})},
        {.w = 5, .h = 2, .bpp = 4, .pal = pal, .data = Rows({{0x12, 0x30, 0x10}, {0x01, 0x23, 0x00}})},
        {.w = 3, .h = 1, .bpp = 16, .comp = 3, .masks = {0xF800, 0x07E0, 0x1F}, .data = Rows({Bytes(6, 9)})},
        {.w = 4, .h = 2, .bpp = 8, .comp = 1, .pal = pal, .data = {0, 3, 2, 3, 1, 0, 1, 0, 0, 0, 4, 1, 0, 1}},
        {.w = 8, .h = 1, .bpp = 4, .comp = 2, .pal = pal, .data = {0, 5, 0x32, 0x10, 0x30, 0, 3, 0x12, 0, 1}},
    };
    for (const Bmp& bmp : files) {
        const Bytes full = bmp.Build();
        ASSERT_TRUE(Decodes(full));
        for (size_t len = 0; len < full.size(); ++len)
            Decodes(Bytes(full.begin(), full.begin() + len));  // an exact-size copy: overreads show
    }
    // The last row's padding may be missing; its pixels may not.
    const Bytes rgb = files[0].Build();
    EXPECT_TRUE(Decodes(Bytes(rgb.begin(), rgb.end() - 3)));
    EXPECT_FALSE(Decodes(Bytes(rgb.begin(), rgb.end() - 4)));
}

namespace {

const std::string kSuite = std::string(QUENLO_CONFORMANCE_DIR) + "/bmpsuite/";

Bytes ReadSuite(const std::string& name) {
    std::ifstream in(kSuite + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

std::unique_ptr<TPixelMapRGB> Load(const std::string& name) { return DecodeBmp(ReadSuite(name)); }

// Mean colour of each cell of a 8 x 4 grid, for pictures drawn at another size or dithered.
std::vector<double> Thumbnail(const TPixelMapRGB& m) {
    std::vector<double> out;
    for (int gy = 0; gy < 4; ++gy)
        for (int gx = 0; gx < 8; ++gx)
            for (int c = 0; c < 3; ++c) {
                double sum = 0;
                int n = 0;
                for (int y = gy * m.Height() / 4; y < (gy + 1) * m.Height() / 4; ++y)
                    for (int x = gx * m.Width() / 8; x < (gx + 1) * m.Width() / 8; ++x, ++n)
                        sum += m.PixelAddr(x, y)[c];
                out.push_back(sum / n);
            }
    return out;
}

double ThumbnailDistance(const TPixelMapRGB& a, const TPixelMapRGB& b) {
    const auto ta = Thumbnail(a), tb = Thumbnail(b);
    double worst = 0;
    for (size_t i = 0; i < ta.size(); ++i) worst = std::max(worst, std::abs(ta[i] - tb[i]));
    return worst;
}

// The suite lives beside the checkout, not in it.
class BmpConformance : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::is_directory(kSuite)) GTEST_SKIP() << "no BMP conformance suite at " << kSuite;
    }
};

}  // namespace

TEST_F(BmpConformance, GoodFilesShowTheReferencePicture) {
    const auto rgb24 = Load("g/rgb24.bmp");
    ASSERT_EQ(rgb24->Width(), 127);
    ASSERT_EQ(rgb24->Height(), 64);
    for (const char* f : {"g/rgb24pal.bmp", "g/rgb32.bmp", "g/rgb32bf.bmp", "g/rgb32bfdef.bmp",
                          "q/rgb24largepal.bmp", "q/rgb24prof.bmp", "q/rgb24lprof.bmp",
                          "q/rgb32-xbgr.bmp", "q/rgb32fakealpha.bmp", "q/rgb32h52.bmp"})
        EXPECT_TRUE(SamePixels(*rgb24, *Load(f))) << f;
    for (const char* f : {"q/rgb32-111110.bmp", "q/rgb32-7187.bmp"})
        EXPECT_TRUE(SamePixels(*rgb24, *Load(f), 1)) << f;
    for (const char* f : {"g/rgb16.bmp", "g/rgb16bfdef.bmp", "g/rgb16-565.bmp", "g/rgb16-565pal.bmp",
                          "q/rgb16faketrns.bmp", "q/rgba16-5551.bmp"})
        EXPECT_TRUE(SamePixels(*rgb24, *Load(f), 4)) << f;  // 5 and 6-bit channels

    // The 8-bit variants share one dithered palette picture.
    const auto pal8 = Load("g/pal8.bmp");
    EXPECT_LT(ThumbnailDistance(*rgb24, *pal8), 8);
    for (const char* f : {"g/pal8-0.bmp", "g/pal8os2.bmp", "g/pal8rle.bmp", "g/pal8topdown.bmp",
                          "g/pal8v4.bmp", "g/pal8v5.bmp", "q/pal8offs.bmp", "q/pal8os2-hs.bmp",
                          "q/pal8os2-sz.bmp", "q/pal8os2sp.bmp", "q/pal8os2v2.bmp", "q/pal8os2v2-16.bmp",
                          "q/pal8os2v2-40sz.bmp", "q/pal8os2v2-sz.bmp", "q/pal8oversizepal.bmp"})
        EXPECT_TRUE(SamePixels(*pal8, *Load(f))) << f;
    for (const char* f : {"g/pal8w124.bmp", "g/pal8w125.bmp", "g/pal8w126.bmp", "g/pal8nonsquare.bmp"})
        EXPECT_LT(ThumbnailDistance(*rgb24, *Load(f)), 25) << f;  // drawn at their own size

    EXPECT_TRUE(SamePixels(*Load("g/pal4.bmp"), *Load("g/pal4rle.bmp")));
    // Inverted palette and inverted bits: the same black-and-white picture.
    EXPECT_TRUE(SamePixels(*Load("g/pal1.bmp"), *Load("g/pal1wb.bmp")));

    // Every good file decodes; the grayscale-palette ones to grays.
    for (const auto& entry : std::filesystem::directory_iterator(kSuite + "g")) {
        const std::string name = "g/" + entry.path().filename().string();
        const auto m = Load(name);
        for (int32_t i = 0; name.find("gs.") != std::string::npos && i < m->DataSize(); i += 3)
            ASSERT_TRUE(m->Data()[i] == m->Data()[i + 1] && m->Data()[i] == m->Data()[i + 2]) << name;
    }

    // Alpha dropped: each mask layout gives the same colours.
    const auto rgba = Load("q/rgba32-1.bmp");
    for (const char* f : {"q/rgba32-2.bmp", "q/rgba32-1010102.bmp", "q/rgba32-81284.bmp",
                          "q/rgba32abf.bmp", "q/rgba32h56.bmp"})
        EXPECT_TRUE(SamePixels(*rgba, *Load(f))) << f;
}

TEST_F(BmpConformance, BadAndQuestionableFilesDecodeOrRefuseAsDecided) {
    // Recoverable damage in b/ (ignored size and density fields, an index past the
    // palette); in q/, compressions this reader does not implement and 64-bit pixels.
    const std::set<std::string> exceptions = {
        "b/badbitssize.bmp", "b/baddens1.bmp", "b/baddens2.bmp", "b/badfilesize.bmp",
        "b/pal8badindex.bmp", "q/pal1huffmsb.bmp", "q/rgb24jpeg.bmp", "q/rgb24png.bmp",
        "q/rgb24rle24.bmp", "q/rgba64.bmp"};
    int seen = 0;
    for (const char* dir : {"b", "q"}) {
        for (const auto& entry : std::filesystem::directory_iterator(kSuite + dir)) {
            const std::string name = std::string(dir) + "/" + entry.path().filename().string();
            const bool want = (dir[0] == 'q') != exceptions.contains(name);
            EXPECT_EQ(Decodes(ReadSuite(name)), want) << name;
            ++seen;
        }
    }
    EXPECT_GE(seen, 60);
}

#include <gtest/gtest.h>

#include <cstring>

#include "TestUtil.h"
#include "imageio/StpRgb.h"
#include "low/Errors.h"

using namespace quenlo;
using quenlo::test::TempDir;
using quenlo::test::WriteBytes;
using quenlo::test::WriteText;

namespace {
IprValues Parse(const std::string& text) {
    return ParseIpr(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}
int ErrorCodeOf(const std::string& text) {
    try {
        Parse(text);
    } catch (const EInOutError& e) {
        return e.Code();
    }
    return 0;
}
}  // namespace

TEST(IprText, ReadsFourValuesByTheTextRules) {
    struct Case {
        const char* text;
        int32_t w, h, v3, v4;
    } cases[] = {
        {"640 480 0 0", 640, 480, 0, 0},
        {"640\n480\n7\n9\n", 640, 480, 7, 9},
        {"\t 2 \r\n 1", 2, 1, 0, 0},                       // missing values read as 0
        {"2 2 7 9 junk", 2, 2, 7, 9},                       // the rest is ignored
        {"$10 8 0 0", 16, 8, 0, 0},
        {"0x1F 0X1f $aB -$10", 31, 31, 171, -16},
        {"+12 -3 2147483647 -2147483648", 12, -3, 2147483647, INT32_MIN},
        {"", 0, 0, 0, 0},
        {"5 \x1a 9 9", 5, 0, 0, 0},                         // Ctrl-Z ends the text
        {"7\x01" "8", 7, 8, 0, 0},                          // any code up to 32 separates
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const IprValues v = Parse(c.text);
        EXPECT_EQ(v.Width, c.w);
        EXPECT_EQ(v.Height, c.h);
        EXPECT_EQ(v.Value3, c.v3);
        EXPECT_EQ(v.Value4, c.v4);
    }
}

TEST(IprText, NonNumbersRaise106) {
    for (const char* text : {"2 x2 0 0", "X10", "1.5 2", "2147483648 1", "-2147483649", "$ 1", "+ 1", "0x", "12a",
                             "$80000000", "1 2 3 4z"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ErrorCodeOf(text), 106);
    }
    try {
        Parse("x2");
    } catch (const EInOutError& e) {
        EXPECT_STREQ(e.what(), "入力値が数値ではありません");
    }
}

TEST(IprText, LongTokensAreCutAt32Characters) {
    // 33 digits: the first 32 overflow (106); a 32-digit zero run and its rest read as two tokens.
    EXPECT_EQ(ErrorCodeOf(std::string(33, '1')), 106);
    const IprValues v = Parse(std::string(32, '0') + "5 6");
    EXPECT_EQ(v.Width, 0);
    EXPECT_EQ(v.Height, 5);
    EXPECT_EQ(v.Value3, 6);
}

TEST(RgbRows, SwapsToBlueGreenRedAndCompletesInWhite) {
    TPixelMapRGB map;
    map.SetSize(3, 2);
    const std::vector<uint8_t> file = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20};  // a pixel and a half of row 2
    size_t pos = 0;
    ReadRgbRows(map, [&](uint8_t* dst, size_t n) {
        n = std::min(n, file.size() - pos);
        std::memcpy(dst, file.data() + pos, n);
        pos += n;
        return n;
    });
    const std::vector<uint8_t> want = {0, 0, 255, 0, 255, 0, 255, 0, 0,  // row 0
                                       255, 20, 10, 255, 255, 255, 255, 255, 255};
    EXPECT_EQ(std::vector<uint8_t>(map.Data(), map.Data() + 18), want);
}

TEST(StpRgb, LoadsEitherMemberOfThePair) {
    TempDir dir;
    WriteText(dir / "img.ipr", "2 1");
    WriteBytes(dir / "img.rgb", {255, 0, 0, 0, 0, 255});
    for (const char* name : {"img.rgb", "img.ipr", "img.IPR", "img", "img.other"}) {
        SCOPED_TRACE(name);
        TStpRgb pair;
        pair.Load(dir / name);
        ASSERT_TRUE(pair.Bitmap);
        EXPECT_EQ(pair.Width, 2);
        EXPECT_EQ(pair.Height, 1);
        EXPECT_EQ(std::vector<uint8_t>(pair.Bitmap->Data(), pair.Bitmap->Data() + 6),
                  (std::vector<uint8_t>{0, 0, 255, 255, 0, 0}));
    }
}

TEST(StpRgb, ThePartnerIsSpelledAsTheUserChose) {
    TempDir dir;
    for (const char* name : {"q.ipr", "q.rgb", "q.IPR", "q.RGB"}) WriteText(dir / name, "");
    EXPECT_EQ(PairName(dir / "q.rgb", ".IPR"), dir / "q.ipr");
    EXPECT_EQ(PairName(dir / "q.rgb", ".RGB"), dir / "q.rgb");
    EXPECT_EQ(PairName(dir / "q.RGB", ".IPR"), dir / "q.IPR");
    EXPECT_EQ(PairName(dir / "q.Rgb", ".IPR"), dir / "q.ipr");  // no q.Ipr: lower case next
    std::filesystem::remove(dir / "q.ipr");
    EXPECT_EQ(PairName(dir / "q.rgb", ".IPR"), dir / "q.IPR");
    // Only a mixed spelling: found by listing the folder, once for many names.
    WriteText(dir / "m.iPr", "");
    TFolderListings listings;
    EXPECT_EQ(PairName(dir / "m.rgb", ".IPR", &listings), dir / "m.iPr");
    WriteText(dir / "n.Ipr", "");  // after the listing: not seen through it
    EXPECT_EQ(PairName(dir / "n.rgb", ".IPR", &listings), dir / "n.IPR");
    EXPECT_EQ(PairName(dir / "n.rgb", ".IPR"), dir / "n.Ipr");
}

TEST(StpRgb, ExtensionIsTheLastDotOfTheFileName) {
    TempDir dir;
    std::filesystem::create_directories(dir / "data.old");
    WriteText(dir / "data.old/IMG.IPR", "1 1 0 0");
    WriteBytes(dir / "data.old/Img.Rgb", {1, 2, 3});
    TStpRgb pair;
    pair.Load(dir / "data.old/img");
    EXPECT_EQ(pair.Bitmap->Data()[0], 3);
}

TEST(StpRgb, ShortRgbIsCompletedInWhite) {
    TempDir dir;
    WriteText(dir / "a.ipr", "3 2 0 0");
    WriteBytes(dir / "a.rgb", std::vector<uint8_t>(9, 7));
    TStpRgb pair;
    pair.Load(dir / "a.ipr");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(pair.Bitmap->Data()[i], 7);
    for (int i = 9; i < 18; ++i) EXPECT_EQ(pair.Bitmap->Data()[i], 255);
}

TEST(StpRgb, FailuresKeepTheirCodesAndState) {
    TempDir dir;
    TStpRgb pair;
    try {
        pair.Load(dir / "none.ipr");
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Code(), 2);
        EXPECT_STREQ(e.what(), "ファイルが見つかりません");
    }
    EXPECT_FALSE(pair.Bitmap);

    WriteText(dir / "b.ipr", "2 x2 0 0");
    try {
        pair.Load(dir / "b.ipr");
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Code(), 106);
    }
    EXPECT_FALSE(pair.Bitmap);  // nothing sized
    EXPECT_EQ(pair.Width, 0);

    WriteText(dir / "c.ipr", "4 3 0 0");  // no .rgb: sized and white, then code 2
    EXPECT_THROW(pair.Load(dir / "c.ipr"), EInOutError);
    ASSERT_TRUE(pair.Bitmap);
    EXPECT_EQ(pair.Bitmap->Width(), 4);
    EXPECT_EQ(pair.Bitmap->Data()[35], 255);

    WriteText(dir / "d.ipr", "-4 3 0 0");
    EXPECT_THROW(pair.Load(dir / "d.ipr"), EInvalidImageSize);
    WriteText(dir / "e.ipr", "70000 70000 0 0");
    EXPECT_THROW(pair.Load(dir / "e.ipr"), EInvalidImageSize);
}

// The 8 x 7 font: what DrawChar and DrawText plot where, and a glyph sheet
// written to the build folder for the eye.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "low/ANK88vlx.h"

namespace quenlo {
namespace {

using Points = std::vector<std::pair<int32_t, int32_t>>;

struct Recorder {
    TAnk88 ank;
    Points got;
    Recorder() { ank.OnPlot = [this](int32_t x, int32_t y) { got.emplace_back(x, y); }; }
    Points Char(int ch, int32_t x = 0, int32_t y = 0) {
        got.clear();
        ank.DrawChar(static_cast<uint8_t>(ch), x, y);
        return got;
    }
    Points Text(std::string_view s, uint16_t x, uint16_t y) {
        got.clear();
        ank.DrawText(s, x, y);
        return got;
    }
};

// A glyph as "#." rows, read through DrawChar.
std::vector<std::string> Art(int ch) {
    std::vector<std::string> rows(kAnkCellHeight, std::string(kAnkCellWidth, '.'));
    for (auto [x, y] : Recorder().Char(ch)) rows.at(y).at(x) = '#';
    return rows;
}

TEST(Ank88, DrawCharPlotsTheTableBitsRowByRowLeftBitFirst) {
    Recorder r;
    for (int c = kAnkFirstCode; c < kAnkFirstCode + kAnkGlyphCount; ++c) {
        Points want;
        for (int row = 0; row < kAnkCellHeight; ++row)
            for (int k = 0; k < kAnkCellWidth; ++k)
                if (kAnk88Glyphs[(c - kAnkFirstCode) * kAnkCellHeight + row] >> (7 - k) & 1)
                    want.emplace_back(100 + k, -50 + row);
        EXPECT_EQ(r.Char(c, 100, -50), want) << "code " << c;
    }
    EXPECT_FALSE(r.Char('M', INT32_MAX, INT32_MAX).empty());  // no overflow at the end of the range
    TAnk88 silent;  // unassigned OnPlot: nothing, no error
    silent.DrawText("HELLO", 1, 1);
}

TEST(Ank88, GlyphsAreDistinctInkedAndKeepTheirRightColumnBlank) {
    EXPECT_TRUE(Recorder().Char(' ').empty());
    for (int a = kAnkFirstCode + 1; a < kAnkFirstCode + kAnkGlyphCount; ++a) {
        const auto art = Art(a);
        EXPECT_NE(art, Art(' ')) << "code " << a;
        for (const auto& row : art) EXPECT_EQ(row.back(), '.') << "code " << a;  // neighbours never touch
        for (int b = a + 1; b < kAnkFirstCode + kAnkGlyphCount; ++b) EXPECT_NE(art, Art(b)) << a << " " << b;
    }
}

TEST(Ank88, Code92IsTheYenSign) {
    // Arms from the top corners, two full bars, a centred stem: mirror-symmetric, unlike a backslash.
    const auto yen = Art(92);
    int bars = 0;
    for (const auto& row : yen) {
        for (int k = 0; k <= 6; ++k) EXPECT_EQ(row[k], row[6 - k]) << row;
        bars += std::count(row.begin(), row.end(), '#') >= 5;
    }
    EXPECT_EQ(bars, 2);
    EXPECT_EQ(yen.front(), ".#...#..");
    EXPECT_EQ(yen.back(), "...#....");
}

TEST(Ank88, LowerCaseDrawsTheCapitalsAndOtherCodesNothing) {
    Recorder r;
    for (int c = 'a'; c <= 'z'; ++c) EXPECT_EQ(r.Char(c, 3, 4), r.Char(c - 32, 3, 4)) << static_cast<char>(c);
    for (int c = 0; c < 256; ++c) {
        if (c < kAnkFirstCode || c == '`' || c > 'z') {
            EXPECT_TRUE(r.Char(c).empty()) << "code " << c;
        }
    }
}

TEST(Ank88, DrawTextAdvancesEightPerCharacterIn16Bits) {
    Recorder r;
    EXPECT_TRUE(r.Text("", 10, 20).empty());
    auto cells = [](std::vector<std::pair<char, int>> at, int y) {
        Points all;
        for (auto [ch, x] : at) {
            const auto p = Recorder().Char(ch, x, y);
            all.insert(all.end(), p.begin(), p.end());
        }
        return all;
    };
    const auto abc = r.Text("A#z", 10, 20);
    EXPECT_EQ(abc, cells({{'A', 10}, {'#', 18}, {'Z', 26}}, 20));
    for (auto [x, y] : abc) EXPECT_TRUE(x >= 10 && x <= 33 && y >= 20 && y <= 26);
    for (const char* s : {"\tB", "`B", "{B", "\x80" "B", " B"})  // no glyph, but a cell all the same
        EXPECT_EQ(r.Text(s, 0, 0), cells({{'B', 8}}, 0)) << int(static_cast<uint8_t>(s[0]));
    EXPECT_EQ(r.Text("H", 0, static_cast<uint16_t>(-1)), cells({{'H', 0}}, 65535));
    EXPECT_EQ(r.Text("HH", 65530, 0), cells({{'H', 65530}, {'H', 2}}, 0));
}

// The 64 glyphs in an 8 x 8 grid of cells on alternating grounds, then a
// line of text; each pixel drawn 4 x 4 into a 24-bit bottom-up BMP.
TEST(Ank88, GlyphSheet) {
    constexpr int kScale = 4, kCols = 8, w = 24 * kAnkCellWidth, h = 10 * kAnkCellHeight;
    std::vector<uint8_t> gray(w * h, 255);
    for (int c = 0; c < kAnkGlyphCount; ++c)
        for (int y = 0; y < kAnkCellHeight; ++y)
            for (int x = 0; x < kAnkCellWidth; ++x)
                if ((c + c / kCols) % 2) gray[(c / kCols * kAnkCellHeight + y) * w + c % kCols * kAnkCellWidth + x] = 215;

    TAnk88 ank;
    int cell = -1;
    ank.OnPlot = [&](int32_t x, int32_t y) {
        const int cx = cell % kCols * kAnkCellWidth, cy = cell / kCols * kAnkCellHeight;
        if (cell >= 0) {
            EXPECT_TRUE(x >= cx && x < cx + kAnkCellWidth && y >= cy && y < cy + kAnkCellHeight) << cell;
        }
        ASSERT_TRUE(x >= 0 && x < w && y >= 0 && y < h);
        gray[y * w + x] = 0;
    };
    for (cell = 0; cell < kAnkGlyphCount; ++cell)
        ank.DrawChar(static_cast<uint8_t>(kAnkFirstCode + cell), cell % kCols * kAnkCellWidth, cell / kCols * kAnkCellHeight);
    cell = -1;
    ank.DrawText("Quick fox \\1,980 (50%)?", 0, 9 * kAnkCellHeight);

    const int W = w * kScale, H = h * kScale, stride = (W * 3 + 3) & ~3;
    std::vector<uint8_t> file(54 + stride * H);
    auto put = [&](int at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(0, 'B' | 'M' << 8, 2), put(2, file.size(), 4), put(10, 54, 4), put(14, 40, 4);
    put(18, W, 4), put(22, H, 4), put(26, 1, 2), put(28, 24, 2);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) put(54 + (H - 1 - y) * stride + x * 3, gray[y / kScale * w + x / kScale] * 0x010101u, 3);
    const std::string path = std::string(QUENLO_BINARY_DIR) + "/ank88_sheet.bmp";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    EXPECT_EQ(std::fwrite(file.data(), 1, file.size(), f), file.size());
    EXPECT_EQ(std::fclose(f), 0);
}

}  // namespace
}  // namespace quenlo

#include <gtest/gtest.h>

#include "low/Errors.h"
#include "pixelmap/pixelmap.h"

using namespace quenlo;

namespace {
const PixelKind kKinds[] = {PixelKind::RGB, PixelKind::Gray, PixelKind::WGray, PixelKind::ARGB};
}

TEST(PixelMap, NewMapsAreEmptyAndIgnoreWrites) {
    for (PixelKind k : kKinds) {
        auto m = CreatePixelMap(k);
        EXPECT_EQ(m->Data(), nullptr);
        EXPECT_EQ(m->MaxX(), -1);
        EXPECT_EQ(m->MaxY(), -1);
        EXPECT_FALSE(m->InMap(0, 0));
        m->SetPenColor(0xFFFFFF);
        m->PutPixel(0, 0);
        m->BlendPixel(0, 0, 40000);
        m->BlendPixelF(0, 0, 0.5f);
        m->Clear();
    }
    EXPECT_EQ(CreatePixelMap(PixelKind::RGB)->BytesPerPixel(), 3);
    EXPECT_EQ(CreatePixelMap(PixelKind::Gray)->BytesPerPixel(), 1);
    EXPECT_EQ(CreatePixelMap(PixelKind::WGray)->BytesPerPixel(), 2);
    EXPECT_EQ(CreatePixelMap(PixelKind::ARGB)->BytesPerPixel(), 4);
}

TEST(PixelMap, SizeAndBounds) {
    TPixelMapRGB m;
    m.SetSize(4, 3);
    EXPECT_EQ(m.Stride(), 12);
    EXPECT_EQ(m.DataSize(), 36);
    EXPECT_EQ(m.MaxX(), 3);
    EXPECT_EQ(m.MaxY(), 2);
    EXPECT_TRUE(m.InMap(3, 2));
    EXPECT_FALSE(m.InMap(4, 2));
    EXPECT_FALSE(m.InMap(3, 3));
    EXPECT_FALSE(m.InMap(-1, 0));
    m.SetSize(0, 5);
    EXPECT_EQ(m.Data(), nullptr);
    EXPECT_EQ(m.MaxX(), -1);
    EXPECT_EQ(m.DataSize(), 0);

    TPixelMapGray g;
    g.SetBounds({10, 20, 14, 22});
    EXPECT_EQ(g.Width(), 5);
    EXPECT_EQ(g.Height(), 3);
    EXPECT_EQ(g.Left, 10);
    EXPECT_EQ(g.Top, 20);
    TRect r;
    g.GetBounds(r);
    EXPECT_EQ(r, (TRect{10, 20, 14, 22}));
    // Reversed corners give the same size.
    g.SetBounds({14, 22, 10, 20});
    EXPECT_EQ(g.Width(), 5);
    EXPECT_EQ(g.Height(), 3);
}

TEST(PixelMap, RefusesSizesThatOverflow) {
    TPixelMapRGB m;
    m.SetSize(2, 2);
    EXPECT_THROW(m.SetSize(70000, 70000), EInvalidImageSize);
    EXPECT_EQ(m.Width(), 0);  // left empty, never half-sized
    EXPECT_EQ(m.Data(), nullptr);
    EXPECT_THROW(m.SetSize(-1, 5), EInvalidImageSize);
    EXPECT_THROW(m.SetSize(5, -1), EInvalidImageSize);
    try {
        m.SetSize(70000, 70000);
    } catch (const EInvalidImageSize& e) {
        EXPECT_STREQ(e.what(), "invalid image size 70000 x 70000");
    }
    // The largest allowed byte count is exactly INT32_MAX.
    EXPECT_EQ(TPixelMap::CheckedDataSize(715827882, 1, 3), 2147483646);
    EXPECT_THROW(TPixelMap::CheckedDataSize(715827883, 1, 3), EInvalidImageSize);
    EXPECT_THROW(TPixelMap::CheckedDataSize(46341, 46341, 1), EInvalidImageSize);
}

TEST(PixelMap, RgbPenIsBlueGreenRed) {
    TPixelMapRGB m;
    m.SetSize(3, 2);
    m.SetPen(0x0000FF);
    EXPECT_EQ(m.Pen[0], 0);
    EXPECT_EQ(m.Pen[1], 0);
    EXPECT_EQ(m.Pen[2], 255);
    m.PutPixel(2, 1);
    const uint8_t* p = m.PixelAddr(2, 1);
    EXPECT_EQ(p - m.Data(), 15);  // packed rows: 1 * 9 + 2 * 3
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 255);
    m.SetPen(0x123456);
    EXPECT_EQ(m.GetPenColor(), 0x123456u);
    m.GetPixel(2, 1);
    EXPECT_EQ(m.GetPen(), 0x0000FFu);
}

TEST(PixelMap, GrayPens) {
    TPixelMapGray g;
    g.SetPenColor(0xFFFFFF);
    EXPECT_EQ(g.GetPen(), 255u);
    g.SetPenColor(0x010101);
    EXPECT_EQ(g.GetPen(), 1u);
    g.SetPenColor(ColorFromRGB(30, 60, 91));  // (30 + 60 + 91) div 3
    EXPECT_EQ(g.GetPen(), 60u);
    EXPECT_EQ(g.GetPenColor(), ColorFromRGB(60, 60, 60));

    TPixelMapWGray w;
    w.SetPenColor(0xFFFFFF);
    EXPECT_EQ(w.GetPen(), 65535u);
    EXPECT_EQ(w.GetPenColor(), 0xFFFFFFu);
    w.SetPenColor(0x000001);  // 1 * 257 div 3
    EXPECT_EQ(w.GetPen(), 85u);
    w.SetSize(1, 1);
    w.SetPen(0xABCD);
    w.PutPixel(0, 0);
    EXPECT_EQ(w.Data()[0], 0xCD);  // little-endian
    EXPECT_EQ(w.Data()[1], 0xAB);
}

TEST(PixelMap, BlendPixelPerKind) {
    TPixelMapRGB m;
    m.SetSize(2, 1);
    m.SetPen(0);
    m.Clear();
    m.SetPen(ColorFromRGB(255, 255, 255));
    m.BlendPixel(0, 0, 0);
    EXPECT_EQ(m.Data()[0], 0);
    m.BlendPixel(0, 0, 32768);  // 255 * 32768 div 65535 truncates
    EXPECT_EQ(m.Data()[0], 127);
    EXPECT_EQ(m.Data()[2], 127);
    m.BlendPixel(1, 0, 65535);
    EXPECT_EQ(m.Data()[3], 255);
    m.BlendPixel(2, 0, 65535);  // outside: nothing
    m.BlendPixelF(0, 0, 1.0f);
    EXPECT_EQ(m.Data()[0], 255);

    TPixelMapGray g;
    g.SetSize(1, 1);
    g.SetPen(200);
    g.Clear();
    g.SetPen(100);
    g.BlendPixel(0, 0, 16384);  // (200 * 49151 + 100 * 16384) div 65535
    EXPECT_EQ(g.Data()[0], (200u * 49151 + 100u * 16384) / 65535);

    TPixelMapWGray w;
    w.SetSize(1, 1);
    w.SetPen(65535);
    w.Clear();
    w.SetPen(0);
    w.BlendPixel(0, 0, 1);  // needs a 64-bit product
    EXPECT_EQ(w.Data()[0] | w.Data()[1] << 8, 65534);
}

TEST(PixelMap, ArgbAccumulatesAlpha) {
    TPixelMapARGB m;
    m.SetSize(2, 1);
    m.SetPen(0);
    m.Clear();
    m.SetPen(0xFF0080FFu);  // alpha 255, blue 0x00, green 0x80, red 0xFF
    m.BlendPixel(0, 0, 65535);
    m.BlendPixel(1, 0, 32768);
    m.PenMode = TPixelMapARGB::ModeAll;
    EXPECT_EQ(m.GetPixelColor(0, 0), 0xFF0080FFu);
    EXPECT_EQ(m.GetPixelColor(1, 0), 0x7F0080FFu);  // alpha 127, exactly the pen colour

    // a = 200, c = 100: alpha saturates, colour weighted 200 : 100.
    uint8_t* p = m.PixelAddr(0, 0);
    p[0] = 0; p[1] = 0; p[2] = 0; p[3] = 200;
    m.SetPen(ColorFromRGB(0, 0, 255) | 100u << 24);
    m.BlendPixel(0, 0, 65535);
    EXPECT_EQ(p[3], 255);
    EXPECT_EQ(p[0], 255 * 100 / 300);
    EXPECT_EQ(p[2], 0);

    m.PenMode = TPixelMapARGB::ModeColor;
    m.SetPen(0x00000011);
    EXPECT_EQ(m.Pen[3], 100);  // alpha kept
    EXPECT_EQ(m.GetPixelColor(0, 0) >> 24, 0u);
    m.PenMode = TPixelMapARGB::ModeAlpha;
    m.SetPen(0x42);
    EXPECT_EQ(m.Pen[3], 0x42);
    EXPECT_EQ(m.Pen[2], 0x11);  // colour kept
    EXPECT_EQ(m.GetPen(), 0x42u);
    EXPECT_EQ(m.GetPixelColor(0, 0), 255u << 24);
    EXPECT_EQ(m.GetPixelColor(5, 0), 0u);
    m.PenMode = 7;
    EXPECT_EQ(m.GetPen(), 0u);
    EXPECT_EQ(m.GetPixelColor(0, 0), 0u);
    const uint8_t before = p[0];
    m.BlendPixel(0, 0, 65535);
    EXPECT_EQ(p[0], before);
}

TEST(PixelMap, AlphaBounds) {
    TPixelMapARGB m;
    m.SetSize(7, 5);
    m.SetPen(0);
    m.Clear();
    TRect r;
    m.GetAlphaBounds(r);
    EXPECT_LT(r.Right, r.Left);  // nothing opaque
    m.PenMode = TPixelMapARGB::ModeAll;
    m.SetPen(0x01000000);
    m.PutPixel(3, 2);
    m.GetAlphaBounds(r);
    EXPECT_EQ(r, (TRect{3, 2, 3, 2}));
    EXPECT_EQ(m.PenMode, TPixelMapARGB::ModeColor);
    m.PenMode = TPixelMapARGB::ModeAll;
    m.PutPixel(6, 4);
    m.PutPixel(0, 3);
    m.GetAlphaBounds(r);
    EXPECT_EQ(r, (TRect{0, 2, 6, 4}));
}

TEST(PixelMap, ColorFromRGBClamps) {
    EXPECT_EQ(ColorFromRGB(300, -5, 128), 0x8000FFu);
    EXPECT_EQ(ColorFromRGB(1, 2, 3), 0x030201u);
}

TEST(PixelMap, FillRectClipsAtEveryEdge) {
    TPixelMapGray g;
    g.SetSize(5, 4);
    g.SetPen(0);
    g.Clear();
    g.SetPen(9);
    g.FillRect(-2, 3, 4, 5);  // covers (0..1, 3)
    g.FillRect(4, -1, 3, 2);  // covers (4, 0)
    int count = 0;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) count += g.PixelAddr(x, y)[0] == 9;
    EXPECT_EQ(count, 3);
    EXPECT_EQ(g.PixelAddr(0, 3)[0], 9);
    EXPECT_EQ(g.PixelAddr(1, 3)[0], 9);
    EXPECT_EQ(g.PixelAddr(4, 0)[0], 9);
    g.FillRect(0, 0, 0, 3);
    g.FillRect(2147483600, 2147483600, 100, 100);  // no overflow
}

TEST(PixelMap, CopyRectClipsToBothMaps) {
    TPixelMapGray src, dst;
    src.SetSize(8, 8);
    for (int i = 0; i < 64; ++i) src.Data()[i] = static_cast<uint8_t>(i);
    dst.SetSize(8, 8);
    dst.SetPen(255);
    dst.Clear();
    dst.CopyRect(5, 5, 0, 0, 10, 10, src);
    int copied = 0;
    for (int i = 0; i < 64; ++i) copied += dst.Data()[i] != 255;
    EXPECT_EQ(copied, 9);
    EXPECT_EQ(dst.PixelAddr(2, 2)[0], 7 * 8 + 7);
    TPixelMapRGB rgb;
    rgb.SetSize(8, 8);
    rgb.CopyRect(0, 0, 0, 0, 4, 4, src);  // mismatched formats do nothing
}

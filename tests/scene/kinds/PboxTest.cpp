// The paint-box view against a fake control: sizing, presenting, paint
// events and mouse events down to pointer painting.
#include <gtest/gtest.h>

#include <vector>

#include "TestUtil.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/FakePaintBox.h"
#include "scene/kinds/Pbox.h"
#include "scene/kinds/VlxImg.h"

namespace quenlo {
namespace {

using test::PixelAt;
using test::TFakePaintBox;

// An image node of w x h with a distinct colour in every pixel.
TVeloraPtr<TVlxImg> PatternImage(int32_t w, int32_t h) {
    auto img = MakeVelora<TVlxImg>();
    img->SetSize(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            uint8_t r, g, b;
            test::TestPixel(x, y, r, g, b);
            img->Map->SetPen(ColorFromRGB(r, g, b));
            img->Map->PutPixel(x, y);
        }
    return img;
}

TEST(Pbox, ControlIsRootSizeTimesZoom) {
    TFakePaintBox box;
    TPbox view(&box);
    EXPECT_EQ(box.Width(), 0);  // sized by the constructor
    EXPECT_EQ(box.Height(), 0);
    EXPECT_TRUE(box.IsHooked());

    auto img = MakeVelora<TVlxImg>();
    view.SetRoot(img.get());
    img->SetSize(640, 480);  // announced through SizeChanged
    EXPECT_EQ(box.Width(), 640);
    EXPECT_EQ(box.Height(), 480);
    img->SetSize(3, 5);
    view.SetZoom(50);  // truncated, not rounded
    EXPECT_EQ(box.Width(), 1);
    EXPECT_EQ(box.Height(), 2);

    TPbox bare(nullptr);  // without a control only the size is kept
    bare.SetWidth(7);
    EXPECT_EQ(bare.GetWidth(), 7);
}

TEST(Pbox, PresentReachesLastColumnAndRow) {
    TFakePaintBox box;
    TPbox view(&box);
    auto img = PatternImage(5, 3);  // 15-byte rows: the bitmap pads them
    view.SetRoot(img.get());
    view.AdoptRootSize();
    view.RepaintAll();
    ASSERT_EQ(box.copies.size(), 1u);
    EXPECT_EQ(box.copies[0].Src, MakeRect(0, 0, 5, 3));
    EXPECT_EQ(box.copies[0].Dst, MakeRect(0, 0, 5, 3));
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 5; ++x) EXPECT_EQ(box.ScreenPixel(x, y), PixelAt(*img->Map, x, y));
}

TEST(Pbox, PaintEventRepaintsOnlyTheClip) {
    TFakePaintBox box;
    TPbox view(&box);
    box.SendPaint(MakeRect(0, 0, 10, 10));  // no root: nothing to do
    auto img = PatternImage(100, 100);
    view.SetRoot(img.get());
    view.AdoptRootSize();
    box.SendPaint(MakeRect(20, 30, 40, 50));

    ASSERT_EQ(box.copies.size(), 1u);
    const TRect d = box.copies[0].Dst;  // the clip and the repaint margins
    EXPECT_TRUE(d.Left <= 20 && d.Top <= 30 && d.Right >= 40 && d.Bottom >= 50);
    EXPECT_TRUE(d.Right - d.Left <= 24 && d.Bottom - d.Top <= 24);
    for (int32_t y = 30; y < 50; ++y)
        for (int32_t x = 20; x < 40; ++x) ASSERT_EQ(box.ScreenPixel(x, y), PixelAt(*img->Map, x, y));
    EXPECT_EQ(box.ScreenPixel(10, 40), TFakePaintBox::kUnpainted);
    EXPECT_EQ(box.ScreenPixel(30, 60), TFakePaintBox::kUnpainted);
}

TEST(Pbox, MouseEventsReachTheNodeInScenePixels) {
    TFakePaintBox box;
    TPbox view(&box);
    EXPECT_EQ(view.Msg.State, 0);
    auto img = MakeVelora<TVlxImg>();
    img->SetSize(50, 50);
    view.SetRoot(img.get());
    view.SetZoom(200);

    struct TSeen {
        TPoint Pt;
        TPointF PtF;
        uint8_t State;
        bool Left, Right;
    };
    std::vector<TSeen> seen;
    img->OnPointing = [&](TVelora&, TPoint pt, TPointF ptF, TPointingMsg& m) {
        seen.push_back({pt, ptF, m.State, m.LeftDown, m.RightDown});
    };
    box.SendDown(TMouseButton::Left, kLeftButton | kShiftKey, 11, 7);
    box.SendMove(kLeftButton | kMiddleButton, 20, 20);
    box.SendUp(TMouseButton::Left, 0, 20, 20);
    box.SendDown(TMouseButton::Right, kRightButton, 4, 4);
    box.SendUp(TMouseButton::Middle, kRightButton, 4, 4);
    box.SendUp(TMouseButton::Right, 0, 4, 4);

    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].PtF, (TPointF{5.5f, 3.5f}));
    EXPECT_EQ(seen[0].Pt, (TPoint{6, 4}));  // halves to even
    EXPECT_TRUE(view.Msg.Pressed);
    const uint8_t states[] = {0, 1, 2, 3, 4, 4};
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].State, states[i]) << i;
    EXPECT_TRUE(seen[1].Left && !seen[1].Right);  // the middle button is not reported
    EXPECT_FALSE(seen[2].Left);
    EXPECT_TRUE(seen[3].Right);
    EXPECT_EQ(box.processCalls, 1);  // after moves only
}

TEST(Pbox, DragPaintsOnlyWhileAButtonIsHeld) {
    TFakePaintBox box;
    TPbox view(&box);
    auto img = MakeVelora<TVlxImg>();
    img->SetSize(100, 100);
    view.SetRoot(img.get());
    view.AdoptRootSize();
    auto pixels = [&] {
        return std::vector<uint8_t>(img->Map->Data(), img->Map->Data() + img->Map->DataSize());
    };
    const std::vector<uint8_t> white = pixels();

    box.SendMove(0, 50, 50);
    box.SendDown(TMouseButton::Left, kLeftButton, 50, 50);
    box.SendUp(TMouseButton::Left, 0, 50, 50);
    EXPECT_EQ(pixels(), white);
    EXPECT_TRUE(box.copies.empty());

    // Pending events run only once the spot is painted.
    bool paintedFirst = false;
    box.onProcess = [&] { paintedFirst = pixels() != white; };
    box.SendDown(TMouseButton::Left, kLeftButton, 40, 40);
    box.SendMove(kLeftButton, 42, 41);
    EXPECT_TRUE(paintedFirst);
    ASSERT_FALSE(box.copies.empty());  // the spot was refreshed on screen
    EXPECT_EQ(box.ScreenPixel(42, 41), PixelAt(*img->Map, 42, 41));
    EXPECT_NE(box.ScreenPixel(42, 41), 0xFFFFFFu);

    box.SendUp(TMouseButton::Left, 0, 42, 41);
    const std::vector<uint8_t> afterDrag = pixels();
    box.SendMove(0, 60, 60);
    EXPECT_EQ(pixels(), afterDrag);
    box.SendDown(TMouseButton::Right, kRightButton, 10, 10);
    box.SendMove(kRightButton, 12, 12);
    EXPECT_NE(pixels(), afterDrag);
}

TEST(Pbox, NoEventReachesADeadViewOrADeadRoot) {
    TFakePaintBox box;
    auto img = MakeVelora<TVlxImg>();
    img->SetSize(10, 10);
    {
        TPbox view(&box);
        view.SetRoot(img.get());
    }
    EXPECT_FALSE(box.hooked.Paint || box.hooked.MouseDown || box.hooked.MouseMove || box.hooked.MouseUp);
    EXPECT_EQ(img->View, nullptr);

    TPbox view(&box);  // the converter destroys the node first
    view.SetRoot(img.get());
    img.reset();
    box.SendPaint(MakeRect(0, 0, 10, 10));
    box.SendMove(kLeftButton, 3, 3);
    EXPECT_TRUE(box.copies.empty());
}

}  // namespace
}  // namespace quenlo

// Views: repaint geometry, zoom, and the links between a view and its root.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <vector>

#include "TestUtil.h"
#include "low/VeloreLow.h"
#include "pixelmap/pixelmap.h"
#include "scene/OnScreen.h"
#include "scene/Velora.h"

namespace quenlo {
namespace {

// Records what the base hands to a concrete view.
class TFakeView : public TOnScreen {
public:
    struct TShown {
        TRect MapBounds;
        TRect Screen;
        TColor First;  // the map's top-left pixel
    };

    void Present(const TPixelMapRGB& map, const TRect& screenRect) override {
        shown.push_back({map.Bounds(), screenRect, test::PixelAt(map, 0, 0)});
    }
    TRect GetPaintRect() const override { return clip ? *clip : TOnScreen::GetPaintRect(); }
    void SetWidth(int32_t w) override {
        TOnScreen::SetWidth(w);
        widths.push_back(w);
    }

    std::vector<TShown> shown;
    std::vector<int32_t> widths;
    std::optional<TRect> clip;
};

TVeloraPtr<> MakeRoot(int32_t w, int32_t h, TColor col) {
    auto root = MakeVelora<TVelora>();
    root->SetSize(w, h);
    root->SetCol(col);
    return root;
}

TEST(OnScreenRepaint, ClampsToPaintRectAndRoot) {
    auto root = MakeRoot(100, 100, 0x0000FF);
    TFakeView view;
    view.SetRoot(root.get());
    view.AdoptRootSize();
    view.RepaintRect(MakeRect(-2, -2, 101, 101));
    ASSERT_EQ(view.shown.size(), 1u);
    EXPECT_EQ(view.shown[0].MapBounds, MakeRect(0, 0, 99, 99));
    EXPECT_EQ(view.shown[0].Screen, MakeRect(0, 0, 99, 99));
    EXPECT_EQ(view.shown[0].First, 0x0000FFu);

    view.clip = MakeRect(20, 30, 39, 49);  // only the exposed part is rendered
    view.RepaintAll();
    ASSERT_EQ(view.shown.size(), 2u);
    EXPECT_EQ(view.shown[1].MapBounds, MakeRect(19, 29, 40, 50));
    EXPECT_EQ(view.shown[1].Screen, MakeRect(19, 29, 40, 50));
}

TEST(OnScreenRepaint, ZoomedRepaintsRenderAtSceneResolution) {
    auto root = MakeRoot(100, 100, 0xFFFFFF);
    TFakeView view;
    view.SetRoot(root.get());
    view.SetZoom(50);
    view.RepaintRect(MakeRect(10, 10, 19, 19));
    ASSERT_EQ(view.shown.size(), 1u);
    EXPECT_EQ(view.shown[0].MapBounds, MakeRect(9, 9, 19, 19));  // 11 x 11, with the margin
    EXPECT_EQ(view.shown[0].Screen, MakeRect(4, 4, 9, 9));

    view.SetZoom(200);  // the base paint rect is the whole zoomed scene
    view.RepaintAll();
    ASSERT_EQ(view.shown.size(), 2u);
    EXPECT_EQ(view.shown[1].MapBounds, MakeRect(0, 0, 99, 99));
    // Up to where scene pixel 100 would start: the last column is shown too.
    EXPECT_EQ(view.shown[1].Screen, MakeRect(0, 0, 199, 199));
}

TEST(OnScreenRepaint, MapStartsAsBackgroundAndHoldsTheScene) {
    auto root = MakeRoot(100, 100, 0xFFFFFF);
    root->SetOpq(0);  // the root draws nothing: the background shows
    auto child = MakeRoot(20, 20, 0x00FF00);
    child->SetPosition(10, 10);
    child->SetOpq(1);
    root->AddChild(child.get());
    TFakeView view;
    view.Background = 0x123456;
    view.SetRoot(root.get());
    view.AdoptRootSize();

    view.RepaintRect(MakeRect(50, 50, 60, 60));
    view.RepaintRect(MakeRect(11, 11, 15, 15));  // map origin (10, 10) lies on the child
    ASSERT_EQ(view.shown.size(), 2u);
    EXPECT_EQ(view.shown[0].First, 0x123456u);
    EXPECT_EQ(view.shown[1].First, 0x00FF00u);
}

TEST(OnScreenRepaint, NothingWithoutRootAreaOrOverlap) {
    TFakeView view;
    view.RepaintAll();  // no root
    view.RepaintRect(MakeRect(0, 0, 10, 10));

    auto root = MakeRoot(100, 100, 0xFFFFFF);
    view.SetRoot(root.get());
    view.AdoptRootSize();
    view.clip = MakeRect(0, 0, 9, 9);
    view.RepaintRect(MakeRect(50, 50, 60, 60));     // outside the paint rect
    view.clip.reset();
    view.RepaintRect(MakeRect(300, 300, 400, 400));  // outside the root

    auto empty = MakeVelora<TVelora>();  // 0 x 0
    view.SetRoot(empty.get());
    view.RepaintRect(MakeRect(-5, -5, 5, 5));
    EXPECT_TRUE(view.shown.empty());
}

TEST(OnScreenRepaint, ExtremeZoomsAndRectsStayInRange) {
    auto root = MakeRoot(64, 64, 0xFFFFFF);
    TFakeView view;
    view.SetRoot(root.get());
    view.SetZoom(INT32_MAX);
    view.RepaintRect(MakeRect(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX));
    ASSERT_EQ(view.shown.size(), 1u);
    EXPECT_EQ(view.shown[0].MapBounds, MakeRect(0, 0, 63, 63));
    EXPECT_EQ(view.shown[0].Screen.Right, int32_t(int64_t(INT32_MAX) * 64 / 100 - 1));

    view.SetZoom(1);
    view.RepaintRect(MakeRect(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX));
    // The whole scene ends before screen pixel 0 would show its pixel 99:
    // nothing to show, as the control is 0 x 0.
    EXPECT_EQ(view.shown.size(), 1u);
}

TEST(OnScreenZoom, NotifiesFirstAdoptsRootSizeAndRefusesNonPositive) {
    auto root = MakeRoot(30, 20, 0xFFFFFF);
    TFakeView view;
    view.SetRoot(root.get());
    std::vector<std::pair<int32_t, int32_t>> calls;  // (percent, ZoomNum at the call)
    view.OnZoom = [&](int32_t p) { calls.emplace_back(p, view.ZoomNum()); };
    view.SetZoom(150);
    EXPECT_EQ(calls, (std::vector<std::pair<int32_t, int32_t>>{{150, 100}}));
    EXPECT_EQ(view.GetZoom(), 150);
    EXPECT_EQ(view.ZoomDen(), 100);
    EXPECT_EQ(view.widths, (std::vector<int32_t>{30}));
    EXPECT_EQ(view.GetHeight(), 20);

    EXPECT_THROW(view.SetZoom(0), EVelore);
    EXPECT_THROW(view.SetZoom(INT32_MIN), EVelore);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(view.GetZoom(), 150);
}

TEST(OnScreenLinks, SetRootAttachesAndDetaches) {
    auto a = MakeRoot(10, 10, 0);
    auto b = MakeRoot(20, 20, 0);
    TFakeView view;
    EXPECT_EQ(view.GetWidth(), 0);
    view.AdoptRootSize();  // no root: nothing
    EXPECT_TRUE(view.widths.empty());

    view.SetRoot(a.get());
    EXPECT_EQ(view.Root(), a.get());
    EXPECT_EQ(a->View, &view);
    EXPECT_TRUE(view.widths.empty());  // showing does not resize

    view.SetRoot(b.get());
    EXPECT_EQ(a->View, nullptr);
    EXPECT_EQ(b->View, &view);

    TFakeView other;  // a node shows in one view only
    other.SetRoot(b.get());
    EXPECT_EQ(view.Root(), nullptr);
    EXPECT_EQ(b->View, &other);

    other.SetRoot(nullptr);
    EXPECT_EQ(other.Root(), nullptr);
    EXPECT_EQ(b->View, nullptr);
}

TEST(OnScreenLinks, DestroyingEitherSideClearsTheOther) {
    auto root = MakeRoot(10, 10, 0);
    {
        TFakeView view;
        view.SetRoot(root.get());
    }
    EXPECT_EQ(root->View, nullptr);
    root->Redraw();  // must not reach the freed view

    TFakeView view;
    view.SetRoot(root.get());
    root->Destroy();
    root.release();
    EXPECT_EQ(view.Root(), nullptr);
    view.RepaintAll();
    TPointingMsg msg;
    msg.SetPointer(5, 5, false, true);
    view.DispatchPointing(msg);
    EXPECT_EQ(msg.Root, nullptr);
    EXPECT_TRUE(view.shown.empty());
}

}  // namespace
}  // namespace quenlo

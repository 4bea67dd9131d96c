// Stencil and panel drawing against their rules; airbrush; hover and drags.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <cstring>
#include <random>
#include <string>

#include "pixelmap/pixelmap.h"
#include "scene/OnScreen.h"
#include "scene/PointingMsg.h"
#include "scene/Velora.h"
#include "scene/kinds/VlxStencil.h"

namespace quenlo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

uint32_t Level(const TPixelMapWGray& m, int32_t x, int32_t y) {
    return m.PixelAddr(x, y)[0] | uint32_t(m.PixelAddr(x, y)[1]) << 8;
}

// Draws node's 17 x 13 block at (2, 5) onto a random target at (4, 3) and
// compares with blend(d, k, x, y) applied by a plain loop over the block.
template <class Blend>
void ExpectDrawnLike(TVelora& node, Blend blend) {
    std::mt19937 rng(9);
    TPixelMapRGB target, expected;
    target.SetSize(25, 18);
    expected.SetSize(25, 18);
    for (int32_t i = 0; i < target.DataSize(); ++i) target.Data()[i] = uint8_t(rng());
    std::memcpy(expected.Data(), target.Data(), size_t(target.DataSize()));
    const uint32_t k[3] = {(node.Col >> 16) & 0xFF, (node.Col >> 8) & 0xFF, node.Col & 0xFF};
    for (int32_t r = 0; r < 13; ++r)
        for (int32_t c = 0; c < 17; ++c)
            for (int i = 0; i < 3; ++i) {
                uint8_t& d = expected.PixelAddr(4 + c, 3 + r)[i];
                d = blend(d, k[i], 2 + c, 5 + r);
            }
    node.DrawArea(4, 3, 2, 5, 17, 13, target);
    EXPECT_EQ(0, std::memcmp(target.Data(), expected.Data(), size_t(target.DataSize())));
}

class StencilPanelOpacityTest : public ::testing::TestWithParam<float> {};

TEST_P(StencilPanelOpacityTest, StencilMatchesThe16BitRule) {
    auto st = MakeVelora<TVlxStencil>();
    st->SetSize(21, 20);
    st->SetCol(ColorFromRGB(200, 17, 99));
    st->SetOpq(GetParam());
    std::mt19937 rng(5);
    for (int32_t i = 0; i < st->Map->DataSize(); i += 2) {
        const uint32_t pick = rng() % 4;  // 0 and 65535 often: the fast paths
        const uint32_t v = pick == 0 ? 0 : pick == 1 ? 65535 : rng();
        st->Map->Data()[i] = uint8_t(v);
        st->Map->Data()[i + 1] = uint8_t(v >> 8);
    }
    const uint32_t a = AlphaFromOpq(GetParam());
    ExpectDrawnLike(*st, [&](uint32_t d, uint32_t k, int32_t x, int32_t y) {
        const uint32_t m = a * Level(*st->Map, x, y) / 255;
        return m == 0 ? d : m == 65535 ? k : (d * (65535 - m) + k * m + 32768) >> 16;
    });
}

TEST_P(StencilPanelOpacityTest, PanelMatchesItsRuleHoveredOrNot) {
    auto panel = MakeVelora<TVlx2>();
    panel->SetSize(40, 40);
    panel->SetCol(ColorFromRGB(10, 250, 128));
    panel->SetOpq(GetParam());
    for (bool hovered : {false, true}) {
        panel->Hovered = hovered;
        ExpectDrawnLike(*panel, [&](uint32_t d, uint32_t k, int32_t x, int32_t y) {
            const uint32_t w = hovered ? ((x / 10 + y / 10) % 2 ? 140 : 180) : AlphaFromOpq(GetParam());
            return w == 0 ? d : w == 255 ? k : ((255 - w) * d + w * k + 128) / 255;
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Opacities, StencilPanelOpacityTest, ::testing::Values(0.0f, 0.5f, 1.0f, 1.5f));

TEST(VlxStencilTest, AirbrushSpraysAGaussianSpot) {
    auto st = MakeVelora<TVlxStencil>();
    st->RunStatements("airbrush");  // no mask yet: nothing
    st->RunStatements("size(100,100);airbrush");
    TPixelMapRGB target;
    target.SetSize(100, 100);
    target.SetPen(0);
    target.Clear();
    st->DrawArea(0, 0, 0, 0, 100, 100, target);
    EXPECT_NEAR(target.PixelAddr(50, 50)[0], 0.9 * 255, 1.0);
    for (int32_t xy : {0, 99}) {
        EXPECT_EQ(target.PixelAddr(xy, xy)[0], 0);
        EXPECT_EQ(target.PixelAddr(xy, 99 - xy)[0], 0);
    }
    // An odd width centres the spot between two pixels.
    st->RunStatements("wipe;size(101,9);airbrush");
    for (int32_t d = 0; d <= 49; ++d) EXPECT_EQ(Level(*st->Map, 50 - d, 4), Level(*st->Map, 51 + d, 4));
}

TEST(VlxStencilTest, WrittenSpraysRebuildTheMask) {
    auto st = MakeVelora<TVlxStencil>();
    st->RunStatements("size(40,30);airbrush;wipe;airbrush;airbrush");
    std::string text;
    st->WriteStatements(text);
    EXPECT_EQ(text.find("airbrush();airbrush();"), text.size() - 22) << text;  // two since the wipe, last
    auto back = MakeVelora<TVlxStencil>();
    back->RunStatements(text);
    ASSERT_TRUE(back->Map);
    EXPECT_TRUE(std::equal(st->Map->Data(), st->Map->Data() + st->Map->DataSize(), back->Map->Data()));
    st->RunStatements("size(40,30)");  // a new mask is empty again
    text.clear();
    st->WriteStatements(text);
    EXPECT_THAT(text, Not(HasSubstr("airbrush")));
}

// A 200 x 200 root in a bare view; a panel with a slider inside.
class StencilPanelPointerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root->SetSize(200, 200);
        root->AddChild(panel.get());
        panel->AddChild(slider.get());
        panel->SetSize(100, 100);
        panel->SetPosition(50, 50);
        slider->SetSize(10, 10);
        slider->SetPosition(80, 80);
        view.SetRoot(root.get());
    }

    void Send(uint8_t state, int32_t x, int32_t y, bool left, bool right = false) {
        msg.SetPointer(x, y, right, left);
        msg.State = state;
        view.DispatchPointing(msg);
    }

    TVeloraPtr<TVelora> root = MakeVelora<TVelora>();
    TVeloraPtr<TVlx2> panel = MakeVelora<TVlx2>();
    TVeloraPtr<TVlxSlider> slider = MakeVelora<TVlxSlider>();
    TOnScreen view;
    TPointingMsg msg;
};

TEST_F(StencilPanelPointerTest, PanelHoverCheckerboardAndVerticalDrag) {
    panel->SetCol(0xFFFFFF);
    panel->SetOpq(0);  // hovering ignores the opacity
    Send(kPointMove, 60, 60, false);
    ASSERT_TRUE(panel->Hovered);
    TPixelMapRGB target;
    target.SetSize(20, 20);
    target.SetPen(0);
    target.Clear();
    panel->DrawArea(0, 0, 0, 0, 20, 20, target);
    EXPECT_EQ(target.PixelAddr(5, 5)[0], 180);
    EXPECT_EQ(target.PixelAddr(15, 5)[0], 140);
    EXPECT_EQ(target.PixelAddr(15, 15)[0], 180);

    Send(kPointLeftDown, 60, 60, true);
    Send(kPointMove, 90, 80, true);  // 30 right, 20 down
    EXPECT_EQ(panel->Position(), (TPoint{50, 70}));
    Send(kPointMove, 91, 85, true);  // the grabbed point follows the pointer
    EXPECT_EQ(panel->Position(), (TPoint{50, 75}));
    Send(kPointLeftUp, 91, 85, false);
    Send(kPointOtherDown, 60, 90, false, true);
    Send(kPointMove, 60, 110, false, true);
    EXPECT_EQ(panel->Top, 75) << "a right drag moves nothing";
    Send(kPointOtherUp, 60, 110, false);

    Send(kPointMove, 10, 10, false);
    EXPECT_FALSE(panel->Hovered);
}

// However the view loses its root, the panel gets its PointerLeave and
// shows no checkerboard when its tree is shown again.
TEST_F(StencilPanelPointerTest, LosingTheRootEndsTheHover) {
    TOnScreen other;
    const std::function<void()> losses[] = {
        [&] { view.ClearRoot(); },
        [&] { view.SetRoot(slider.get()); },
        [&] { other.SetRoot(root.get()); },
        [&] { panel->Unlink(), Send(kPointMove, 5, 5, false), root->AddChild(panel.get()); },
    };
    for (size_t i = 0; i < std::size(losses); ++i) {
        view.SetRoot(root.get());
        Send(kPointMove, 60, 60, false);
        ASSERT_TRUE(panel->Hovered);
        losses[i]();
        EXPECT_FALSE(panel->Hovered) << i;
    }
    auto gone = std::make_unique<TOnScreen>();
    gone->SetRoot(root.get());
    msg.SetPointer(60, 60, false, false);
    gone->DispatchPointing(msg);
    ASSERT_TRUE(panel->Hovered);
    gone.reset();
    EXPECT_FALSE(panel->Hovered);
}

TEST_F(StencilPanelPointerTest, SliderFadesAndDragsItsParent) {
    Send(kPointMove, 135, 135, false);
    EXPECT_FLOAT_EQ(panel->Opq, 0.9f);
    EXPECT_FALSE(slider->Hovered);
    EXPECT_FLOAT_EQ(slider->EffectiveOpq(), 0.9f);
    Send(kPointMove, 60, 60, false);  // onto the panel itself
    EXPECT_FLOAT_EQ(panel->Opq, 0.1f);
    std::string text;
    panel->WriteStatements(text);
    EXPECT_THAT(text, HasSubstr("opq(0.10);"));

    Send(kPointLeftDown, 135, 135, true);
    Send(kPointMove, 145, 130, true);
    Send(kPointMove, 148, 138, true);
    EXPECT_EQ(panel->Position(), (TPoint{63, 53}));
    EXPECT_EQ(slider->Position(), (TPoint{80, 80}));
    Send(kPointLeftUp, 148, 138, false);
}

}  // namespace
}  // namespace quenlo

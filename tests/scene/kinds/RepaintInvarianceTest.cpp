// What a pixel shows must not depend on which area was being drawn: seeded
// random scenes of every kind, rendered whole and in random tiles, and shown
// through the view at several zooms by paint events on random pieces.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/FakePaintBox.h"
#include "scene/kinds/Pbox.h"
#include "scene/kinds/SimpleVelore.h"

namespace quenlo {
namespace {

using test::TFakePaintBox;

constexpr TColor kBackground = 0x3C2814;

// A scene of 41 x 29 with children of every kind, nested, overlapping,
// partly outside their parents and the scene, at various opacities and
// z-orders. Only polygon outlines are left out: their dots restart where a
// segment is clipped to the drawn area.
class TRandomScene {
public:
    explicit TRandomScene(unsigned seed) : rnd_(seed) {
        root_ = MakeVelora<TVlxImg>();
        root_->SetSize(41, 29);
        Pattern(*root_);
        std::vector<TVelora*> parents{root_.get()};
        for (int i = 0; i < 14; ++i) {
            TVelora* parent = parents[Int(0, int(parents.size()) - 1)];
            parents.push_back(AddChild(*parent, i % 9));
        }
    }
    ~TRandomScene() { root_.release()->DestroyTree(); }

    TVlxImg& Root() { return *root_; }
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rnd_); }

    // Splits [0, n) at random points.
    std::vector<int> Cuts(int n) {
        std::vector<int> cuts{0};
        while (cuts.back() < n) cuts.push_back(std::min(n, cuts.back() + Int(1, n / 3 + 1)));
        return cuts;
    }

private:
    TVelora* AddChild(TVelora& parent, int kind) {
        std::string common = "size(" + std::to_string(Int(3, 30)) + "," + std::to_string(Int(3, 24)) +
                             ");pos(" + std::to_string(Int(-8, 34)) + "," + std::to_string(Int(-8, 24)) +
                             ");col(" + std::to_string(Int(0, 255)) + "," + std::to_string(Int(0, 255)) + "," +
                             std::to_string(Int(0, 255)) + ");facecol(" + std::to_string(Int(0, 255)) + ",40," +
                             std::to_string(Int(0, 255)) + ");FaceOpq(0." + std::to_string(Int(3, 9)) + ")";
        if (Int(0, 2) == 0) common += ";opq(0." + std::to_string(Int(2, 9)) + ")";
        if (Int(0, 2) == 0) common += ";zorder(" + std::to_string(Int(-1, 2)) + ")";
        switch (kind) {
            case 0: return parent.NewChildOf<TVlxMat>(common);
            case 1: {
                auto* img = parent.NewChildOf<TVlxImg>(common);
                Pattern(*img);
                return img;
            }
            case 2: {
                auto* cel = parent.NewChildOf<TVlxCel>(common);
                for (int i = 0; i < cel->Map->DataSize(); ++i) cel->Map->Data()[i] = uint8_t(Int(0, 255));
                return cel;
            }
            case 3: return parent.NewChildOf<TVlxStencil>(common + ";airbrush");
            case 4: {
                // A closed loop, mostly inside the node, sometimes past its edges.
                std::string poly = common + ";polygon";
                const int n = Int(3, 6);
                std::string first;
                for (int i = 0; i < n; ++i) {
                    const std::string v = "vertex(" + std::to_string(Int(-4, 32)) + "." +
                                          std::to_string(Int(0, 9)) + "," + std::to_string(Int(-4, 26)) + ".5)";
                    if (i == 0) first = v;
                    poly += ";" + v;
                }
                return parent.NewChildOf<TVlxPoly>(poly + ";" + first);
            }
            case 5: {
                auto* panel = parent.NewChildOf<TVlx2>(common);
                panel->Hovered = Int(0, 1) == 1;
                return panel;
            }
            case 6: {
                auto* slider = parent.NewChildOf<TVlxSlider>(common);
                slider->Hovered = true;  // never shows: a slider draws like a panel
                return slider;
            }
            case 7: return parent.NewChildOf<TVlxAnk88>(Int(0, 1) ? common + ";text(\"Q7,x\")" : "text(AB);pos(3,5)");
            default: return parent.NewChildOf<TVlxAnk>(common + ";PenPos(1,2);PenCol(9,200,90);text(\"Hi!\")");
        }
    }

    void Pattern(TVlxImg& img) {
        for (int32_t y = 0; y < img.Height; ++y)
            for (int32_t x = 0; x < img.Width; ++x) {
                uint8_t r, g, b;
                test::TestPixel(x + Int(0, 1), y, r, g, b);
                img.Map->SetPen(ColorFromRGB(r, g, b));
                img.Map->PutPixel(x, y);
            }
    }

    std::mt19937 rnd_;
    TVeloraPtr<TVlxImg> root_;
};

TColor At(const TPixelMapRGB& m, int32_t x, int32_t y) {
    const uint8_t* p = m.PixelAddr(x, y);
    return TColor(p[2] | p[1] << 8 | p[0] << 16);
}

const TPixelMapRGB& RenderWhole(TVelora& root, TPixelMapRGB& map) {
    return test::RenderScene(root, map, kBackground);
}

TEST(RepaintInvariance, TilesAssembleToTheWholeRender) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        TRandomScene scene(seed);
        TPixelMapRGB map;
        const TPixelMapRGB& whole = RenderWhole(scene.Root(), map);
        TPixelMapRGB tiled;
        tiled.SetSize(whole.Width(), whole.Height());
        const std::vector<int> xs = scene.Cuts(whole.Width()), ys = scene.Cuts(whole.Height());
        for (size_t j = 0; j + 1 < ys.size(); ++j)
            for (size_t i = 0; i + 1 < xs.size(); ++i) {
                TPixelMapRGB tile;
                tile.SetBounds(MakeRect(xs[i], ys[j], xs[i + 1] - 1, ys[j + 1] - 1));
                tile.SetPen(kBackground);
                tile.Clear();
                scene.Root().RenderInto(tile);
                for (int32_t y = 0; y < tile.Height(); ++y)
                    std::memcpy(tiled.PixelAddr(tile.Left, tile.Top + y), tile.ScanLine(y), size_t(tile.Width()) * 3);
            }
        for (int32_t y = 0; y < whole.Height(); ++y)
            for (int32_t x = 0; x < whole.Width(); ++x)
                ASSERT_EQ(At(tiled, x, y), At(whole, x, y)) << "seed " << seed << " at " << x << "," << y;
    }
}

TEST(RepaintInvariance, EveryScreenPixelShowsTheWholeRenderStretched) {
    for (const int32_t zoom : {50, 100, 150, 200, 300}) {
        for (unsigned seed = 100; seed < 110; ++seed) {
            TRandomScene scene(seed);
            scene.Root().SetOpq(0.7f);  // lets the background through
            TPixelMapRGB map;
        const TPixelMapRGB& whole = RenderWhole(scene.Root(), map);
            TFakePaintBox box;
            TPbox view(&box);
            view.Background = kBackground;
            view.SetRoot(&scene.Root());
            view.SetZoom(zoom);
            ASSERT_EQ(box.Width(), whole.Width() * zoom / 100);

            // Scene pixel v covers screen pixels v * zoom div 100 up to the
            // next one's first.
            std::vector<int32_t> colOf(size_t(box.Width()), -1), rowOf(size_t(box.Height()), -1);
            for (int32_t v = 0; v < whole.Width(); ++v)
                for (int32_t s = v * zoom / 100; s < (v + 1) * zoom / 100; ++s) colOf[size_t(s)] = v;
            for (int32_t v = 0; v < whole.Height(); ++v)
                for (int32_t s = v * zoom / 100; s < (v + 1) * zoom / 100; ++s) rowOf[size_t(s)] = v;

            // Paint events on random pieces that together cover the control.
            const std::vector<int> xs = scene.Cuts(box.Width()), ys = scene.Cuts(box.Height());
            for (size_t j = 0; j + 1 < ys.size(); ++j)
                for (size_t i = 0; i + 1 < xs.size(); ++i) box.SendPaint(MakeRect(xs[i], ys[j], xs[i + 1], ys[j + 1]));
            for (int32_t y = 0; y < box.Height(); ++y)
                for (int32_t x = 0; x < box.Width(); ++x)
                    ASSERT_EQ(box.ScreenPixel(x, y), At(whole, colOf[size_t(x)], rowOf[size_t(y)]))
                        << "zoom " << zoom << " seed " << seed << " at " << x << "," << y;
        }
    }
}

TEST(RepaintInvariance, PolygonFillCoversItsWholeNode) {
    TRandomScene scene(7);
    auto* poly = scene.Root().NewChildOf<TVlxPoly>(
        "size(20,20);pos(3,4);FaceOpq(1);facecol(10,200,30);polygon;"
        "vertex(-5,-5);vertex(30,-5);vertex(30,30);vertex(-5,30);vertex(-5,-5)");
    poly->SetZOrder(5);
    TPixelMapRGB map;
        const TPixelMapRGB& whole = RenderWhole(scene.Root(), map);
    for (int32_t y = 4; y < 24; ++y)
        for (int32_t x = 3; x < 23; ++x) ASSERT_EQ(At(whole, x, y), ColorFromRGB(10, 200, 30)) << x << "," << y;
    EXPECT_NE(At(whole, 23, 10), ColorFromRGB(10, 200, 30));
    EXPECT_NE(At(whole, 10, 24), ColorFromRGB(10, 200, 30));
}

}  // namespace
}  // namespace quenlo

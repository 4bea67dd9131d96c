// What a pixel shows must not depend on which area was being drawn: seeded
// random scenes of every kind, rendered whole and in random tiles, and shown
// through the view at several zooms by paint events on random pieces.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "TestUtil.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/FakePaintBox.h"
#include "scene/kinds/SimpleVelore.h"

namespace quenlo {
namespace {

constexpr TColor kBackground = 0x3C2814;

// 41 x 29 with 14 nested, overlapping nodes of every kind, partly outside
// their parents and the scene. Polygons fill only: an outline's dots
// restart where a segment is cut to the drawn area.
class TRandomScene {
public:
    explicit TRandomScene(unsigned seed) : rnd_(seed) {
        root_->SetSize(41, 29);
        Paint(*root_);
        std::vector<TVelora*> nodes{root_.get()};
        for (int i = 0; i < 14; ++i) nodes.push_back(Add(*nodes[Int(0, int(nodes.size()) - 1)], i % 9));
    }
    ~TRandomScene() { root_.release()->DestroyTree(); }

    TVlxImg& Root() { return *root_; }
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rnd_); }
    // [0, n) cut at random points.
    std::vector<int> Cuts(int n) {
        std::vector<int> cuts{0};
        while (cuts.back() < n) cuts.push_back(std::min(n, cuts.back() + Int(1, n / 3 + 1)));
        return cuts;
    }

private:
    TVelora* Add(TVelora& parent, int kind) {
        static const TVeloraClass* const kinds[] = {
            &ClassOf<TVlxMat>(), &ClassOf<TVlxImg>(), &ClassOf<TVlxCel>(), &ClassOf<TVlxStencil>(),
            &ClassOf<TVlxPoly>(), &ClassOf<TVlx2>(), &ClassOf<TVlxSlider>(), &ClassOf<TVlxAnk88>(),
            &ClassOf<TVlxAnk>()};
        static const char* const extras[] = {"", "", "", "airbrush", "", "", "", "text(\"Q7,x\")",
                                             "PenPos(1,2);PenCol(9,200,90);text(\"Hi!\")"};
        static const char* const layers[] = {"", ";zorder(1)", ";zorder(-1)", ";opq(0.6)"};
        char text[200];
        std::snprintf(text, sizeof text, "size(%d,%d);pos(%d,%d);col(%d,90,%d);facecol(%d,40,9);FaceOpq(0.%d)%s",
                      Int(3, 30), Int(3, 24), Int(-8, 34), Int(-8, 24), Int(0, 255), Int(0, 255),
                      Int(0, 255), Int(3, 9), layers[Int(0, 3)]);
        TVelora* n = parent.NewChild(*kinds[kind], text);
        if (auto* img = dynamic_cast<TVlxImg*>(n)) Paint(*img);
        if (auto* cel = dynamic_cast<TVlxCel*>(n))
            for (int i = 0; i < cel->Map->DataSize(); ++i) cel->Map->Data()[i] = uint8_t(Int(0, 255));
        if (auto* panel = dynamic_cast<TVlx2*>(n)) panel->Hovered = Int(0, 1);  // a slider never shows it
        if (auto* poly = dynamic_cast<TVlxPoly*>(n)) {
            poly->Fill = true;
            for (int i = Int(3, 6); i > 0; --i) poly->Poly.Points.push_back({Int(-40, 320) / 10.0f, Int(-4, 26) + 0.5f});
            poly->Poly.Points.push_back(poly->Poly.Points[0]);
        }
        n->RunStatements(extras[kind]);
        return n;
    }
    void Paint(TVlxImg& img) {
        for (int32_t y = 0; y < img.Height; ++y)
            for (int32_t x = 0; x < img.Width; ++x) {
                uint8_t r, g, b;
                test::TestPixel(x + Int(0, 1), y, r, g, b);
                img.Map->SetPen(ColorFromRGB(r, g, b));
                img.Map->PutPixel(x, y);
            }
    }

    std::mt19937 rnd_;
    TVeloraPtr<TVlxImg> root_ = MakeVelora<TVlxImg>();
};

TEST(RepaintInvariance, TilesAssembleToTheWholeRender) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        TRandomScene scene(seed);
        const auto whole = test::RenderOver(scene.Root(), kBackground);
        TPixelMapRGB tiled, tile;
        tiled.SetSize(whole->Width(), whole->Height());
        const std::vector<int> xs = scene.Cuts(whole->Width()), ys = scene.Cuts(whole->Height());
        for (size_t j = 0; j + 1 < ys.size(); ++j)
            for (size_t i = 0; i + 1 < xs.size(); ++i) {
                tile.SetBounds(MakeRect(xs[i], ys[j], xs[i + 1] - 1, ys[j + 1] - 1));
                tile.SetPen(kBackground);
                tile.Clear();
                scene.Root().RenderInto(tile);
                for (int32_t y = 0; y < tile.Height(); ++y)
                    std::memcpy(tiled.PixelAddr(tile.Left, tile.Top + y), tile.ScanLine(y), size_t(tile.Width()) * 3);
            }
        ASSERT_EQ(0, std::memcmp(tiled.Data(), whole->Data(), size_t(whole->DataSize()))) << "seed " << seed;
    }
}

TEST(RepaintInvariance, EveryScreenPixelShowsTheWholeRenderStretchedOrAveraged) {
    for (const int32_t zoom : {50, 100, 150, 200, 300})
        for (unsigned seed = 100; seed < 110; ++seed) {
            TRandomScene scene(seed);
            scene.Root().SetOpq(0.7f);  // lets the background through
            const auto whole = test::RenderOver(scene.Root(), kBackground);
            test::TFakePaintBox box;
            TPbox view(&box);
            view.Background = kBackground;
            view.SetRoot(&scene.Root());
            view.SetZoom(zoom);
            // Scene pixel v covers the screen from v * zoom div 100 to the next one's start;
            // zoomed out, a screen pixel shows the mean of the scene pixels falling on it.
            std::vector<int32_t> shown(size_t(std::max(box.Width(), box.Height())), -1);
            std::vector<std::vector<int32_t>> covered(shown.size());
            for (int32_t v = 0; v < std::max(whole->Width(), whole->Height()); ++v) {
                for (int32_t s = v * zoom / 100; s < (v + 1) * zoom / 100; ++s) shown[size_t(s)] = v;
                if (size_t(v * zoom / 100) < covered.size()) covered[size_t(v * zoom / 100)].push_back(v);
            }
            auto expected = [&](int32_t x, int32_t y) -> TColor {
                if (zoom >= 100) return test::PixelAt(*whole, shown[size_t(x)], shown[size_t(y)]);
                uint32_t sum[3] = {}, n = 0;
                for (int32_t sy : covered[size_t(y)])
                    for (int32_t sx : covered[size_t(x)]) {
                        if (sx >= whole->Width() || sy >= whole->Height()) continue;
                        const uint8_t* p = whole->PixelAddr(sx, sy);
                        for (int c = 0; c < 3; ++c) sum[c] += p[c];
                        ++n;
                    }
                return ColorFromRGB(uint8_t((sum[2] + n / 2) / n), uint8_t((sum[1] + n / 2) / n), uint8_t((sum[0] + n / 2) / n));
            };

            const std::vector<int> xs = scene.Cuts(box.Width()), ys = scene.Cuts(box.Height());
            for (size_t j = 0; j + 1 < ys.size(); ++j)
                for (size_t i = 0; i + 1 < xs.size(); ++i) box.SendPaint(MakeRect(xs[i], ys[j], xs[i + 1], ys[j + 1]));
            for (int32_t y = 0; y < box.Height(); ++y)
                for (int32_t x = 0; x < box.Width(); ++x)
                    ASSERT_EQ(box.ScreenPixel(x, y), expected(x, y))
                        << "zoom " << zoom << " seed " << seed << " at " << x << "," << y;
        }
}

TEST(RepaintInvariance, PolygonFillReachesTheNodesLastColumnAndRow) {
    auto root = MakeVelora<TVelora>();
    root->SetSize(24, 25);
    root->NewChildOf<TVlxPoly>("size(20,20);pos(3,4);FaceOpq(1);facecol(10,200,30);polygon")->Poly.Points = {
        {-5, -5}, {30, -5}, {30, 30}, {-5, 30}, {-5, -5}};
    const auto whole = test::RenderOver(*root, kBackground);
    for (int32_t y = 0; y < 25; ++y)
        for (int32_t x = 0; x < 24; ++x)
            ASSERT_EQ(test::PixelAt(*whole, x, y), x >= 3 && x < 23 && y >= 4 && y < 24 ? 0x1EC80Au : 0u) << x << "," << y;
    root.release()->DestroyTree();
}

}  // namespace
}  // namespace quenlo

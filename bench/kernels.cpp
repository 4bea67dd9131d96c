// Throughput of the hot paths. Figures only: nothing here can fail a build.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "imageio/BmpWriter.h"
#include "imageio/RgbSwap.h"
#include "imageio/StpRgb.h"
#include "low/ANK88vlx.h"
#include "low/polygons.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/SimpleVelore.h"

using namespace quenlo;

namespace {

constexpr int kW = 1920, kH = 1080;

void Fill(TPixelMap& m, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int32_t i = 0; i < m.DataSize(); ++i) m.Data()[i] = static_cast<uint8_t>(rng());
}

void RawRowsIntoMap(benchmark::State& state) {
    std::vector<uint8_t> file(size_t(kW) * kH * 3, 77);
    TPixelMapRGB map;
    map.SetSize(kW, kH);
    for (auto _ : state) {
        size_t pos = 0;
        ReadRgbRows(map, [&](uint8_t* dst, size_t n) {
            n = std::min(n, file.size() - pos);
            std::memcpy(dst, file.data() + pos, n);
            pos += n;
            return n;
        });
        benchmark::DoNotOptimize(map.Data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * map.DataSize());
}
BENCHMARK(RawRowsIntoMap);

void SwapOnly(benchmark::State& state) {
    std::vector<uint8_t> buf(size_t(kW) * 3 * 64, 5);
    for (auto _ : state) {
        SwapRedBlue(buf.data(), buf.data(), buf.size() / 3);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size()));
}
BENCHMARK(SwapOnly);

void MapRowsIntoBmpRows(benchmark::State& state) {
    TPixelMapRGB map;
    map.SetSize(kW + 1, kH);  // odd width: padded rows
    Fill(map, 1);
    for (auto _ : state) {
        size_t total = 0;
        WriteBmp(map, [&](const uint8_t* p, size_t n) {
            benchmark::DoNotOptimize(p);
            total += n;
        });
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * map.DataSize());
}
BENCHMARK(MapRowsIntoBmpRows);

template <class Node>
TVeloraPtr<Node> SizedNode() {
    auto node = MakeVelora<Node>();
    node->SetSize(kW, kH);
    return node;
}

void RenderImageNode(benchmark::State& state) {
    auto node = SizedNode<TVlxImg>();
    Fill(*node->Map, 2);
    node->SetOpq(static_cast<float>(state.range(0)) / 100.0f);
    TPixelMapRGB target;
    target.SetSize(kW, kH);
    Fill(target, 3);
    for (auto _ : state) {
        node->RenderInto(target);
        benchmark::DoNotOptimize(target.Data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * target.DataSize());
    state.SetLabel("opacity " + std::to_string(state.range(0)) + "%");
}
BENCHMARK(RenderImageNode)->Arg(100)->Arg(50);

template <class Node>
void DrawNode(benchmark::State& state) {
    auto node = SizedNode<Node>();
    if constexpr (requires { node->Map; }) Fill(*node->Map, 4);
    node->SetOpq(0.5f);
    TPixelMapRGB target;
    target.SetSize(kW, kH);
    Fill(target, 5);
    for (auto _ : state) {
        node->DrawArea(0, 0, 0, 0, kW, kH, target);
        benchmark::DoNotOptimize(target.Data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * target.DataSize());
}
BENCHMARK(DrawNode<TVlxCel>)->Name("CelDrawArea");
BENCHMARK(DrawNode<TVlxMat>)->Name("MatteDrawArea");
BENCHMARK(DrawNode<TVlxStencil>)->Name("StencilDrawArea");

void GaussSpot(benchmark::State& state) {
    TPixelMapRGB map;
    map.SetSize(200, 200);
    map.SetPen(0x00FF80);
    for (auto _ : state) map.DrawGaussSpot(100.3f, 99.7f, 30.0f, 6.0f, 0.1f);
    state.SetItemsProcessed(int64_t(state.iterations()) * 61 * 61);
}
BENCHMARK(GaussSpot);

void LineAA(benchmark::State& state) {
    TPixelMapRGB map;
    map.SetSize(600, 600);
    map.SetPen(0xFFFFFF);
    for (auto _ : state) map.DrawLineAA(false, 10.5f, 20.25f, 580.75f, 470.5f, 0.5f);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(2.5 * std::hypot(570.25, 450.25)));
}
BENCHMARK(LineAA);

// The 500 x 500 star, opaque, into an RGB map.
TArrayOfPointF Star() {
    TArrayOfPointF pts;
    const float cx = 250, cy = 250;
    for (int i = 0; i <= 10; ++i) {
        const float r = i % 2 ? 100.0f : 249.0f;
        const float t = float(i % 10) * 3.14159265f / 5.0f;
        pts.push_back({cx + r * std::sin(t), cy - r * std::cos(t)});
    }
    return pts;
}

// Through the polygon node, as a scene draws it: coverage by rows.
void StarFill(benchmark::State& state) {
    auto node = MakeVelora<TVlxPoly>();
    node->RunStatements("size(500,500);polygon;FaceOpq(1);facecol(255,64,32)");
    node->Poly.Points = Star();
    TPixelMapRGB map;
    map.SetSize(500, 500);
    for (auto _ : state) {
        node->DrawArea(0, 0, 0, 0, 500, 500, map);
        benchmark::DoNotOptimize(map.Data());
    }
}
BENCHMARK(StarFill);

// The same coverage one pixel at a time through OnCoverage.
void StarFillPerPixel(benchmark::State& state) {
    TPoly poly;
    poly.Points = Star();
    poly.SetClip(0, 0, 500, 500);
    TPixelMapRGB map;
    map.SetSize(500, 500);
    map.SetPen(0x2040FF);
    poly.OnCoverage = [&](TPoint p, float a) { map.BlendPixelF(p.X, p.Y, a); };
    for (auto _ : state) poly.FillPolygon();
}
BENCHMARK(StarFillPerPixel);

// The coverage runs alone, painting nothing: the scan conversion's share.
void StarCoverage(benchmark::State& state) {
    TPoly poly;
    poly.Points = Star();
    poly.SetClip(0, 0, 500, 500);
    size_t total = 0;
    poly.OnCoverageRow = [&](int32_t, std::span<const TCoverageRun> r) { total += r.size(); };
    for (auto _ : state) poly.FillPolygon();
    benchmark::DoNotOptimize(total);
}
BENCHMARK(StarCoverage);

void LabelText(benchmark::State& state) {
    TPixelMapRGB map;
    map.SetSize(330, 10);
    map.SetPen(0);
    TAnk88 font;
    font.OnPlot = [&](int32_t x, int32_t y) { map.PutPixel(x, y); };
    const std::string text = "THE QUICK BROWN FOX JUMPS OVER 13 DOGS.";  // 40 characters
    for (auto _ : state) font.DrawText(text, 1, 1);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(LabelText);

}  // namespace

BENCHMARK_MAIN();

// quenlo-scene: exit statuses, messages and output streams, and the
// samples checked against the same trees built through the API.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "cli/SceneCli.h"
#include "imageio/BmpWriter.h"
#include "imageio/VlxIo.h"
#include "scene/kinds/SimpleVelore.h"
#include "scene/script/SceneRender.h"

using namespace quenlo;
using quenlo::test::ReadBytes;
using quenlo::test::TempDir;
using quenlo::test::WriteText;
namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

const std::string kSamples = std::string(QUENLO_SOURCE_DIR) + "/samples/scenes/";

using test::CliRun;

CliRun Scene(std::vector<std::string> args, TSceneViewer viewer = {}) {
    return test::RunCli("quenlo-scene", std::move(args), [&](int argc, const char* const* argv, FILE* out, FILE* err) {
        return RunSceneCli(argc, argv, out, err, viewer);
    });
}

TEST(SceneCli, ScriptErrorsExitOneAndWriteNothing) {
    TempDir dir;
    // The command line: exit status 1, the place on stderr, nothing written.
    WriteText(dir / "bad.scene", "VlxImg size(10,10)\n{\n  VlxMat opq(abc)\n}\n");
    const CliRun r = Scene({"render", dir / "bad.scene", "-o", dir / "bad.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("bad.scene:3: 'abc' is not a valid floating point value"));
    EXPECT_FALSE(fs::exists(dir / "bad.bmp"));
    EXPECT_EQ(Scene({"write", dir / "bad.scene"}).status, 1);
}

TEST(SceneCli, EmptySceneFailsToRender) {
    TempDir dir;
    WriteText(dir / "empty.scene", "// nothing sizes the root\n");
    const CliRun r = Scene({"render", "--strict", dir / "empty.scene", "-o", dir / "e.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("the scene is empty"));
}

// ---- Rendering -------------------------------------------------------------

// A root of opacity 0: only the background shows.
struct FaintScene {
    TempDir dir;
    FaintScene() { WriteText(dir / "faint.scene", "VlxImg size(3,2);opq(0)\n"); }
    std::string Path() const { return dir / "faint.scene"; }
};

TEST(SceneRender, BackgroundStdoutAndUsage_BackgroundShowsThroughOnStdout) {
    const FaintScene f;
    TScene s = ReadSceneFile(f.Path(), false);
    const auto map = RenderScene(*s.Root, ColorFromRGB(10, 20, 30));
    for (int i = 0; i < map->DataSize(); i += 3)
        ASSERT_EQ((std::array<int, 3>{map->Data()[i], map->Data()[i + 1], map->Data()[i + 2]}),
                  (std::array<int, 3>{30, 20, 10}));

    const CliRun r = Scene({"render", f.Path(), "-o", "-", "--background", "10,20,30"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> want = EncodeBmp(*map);
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), want);
}

TEST(SceneRender, BackgroundStdoutAndUsage_UsageErrorsExitTwo) {
    const FaintScene f;
    const std::string out = f.dir / "a.bmp";
    EXPECT_EQ(Scene({"render", f.Path(), "-o", out, "--background", "1,2"}).status, 2);
    EXPECT_EQ(Scene({"render", f.Path(), "-o", out, "--background", "0,0,256"}).status, 2);
    EXPECT_EQ(Scene({"render", f.Path()}).status, 2);  // no -o
    EXPECT_EQ(Scene({"view", "-"}).status, 2);
    EXPECT_FALSE(fs::exists(out));
}

TEST(SceneRender, BackgroundStdoutAndUsage_FailuresExitOneAndViewGetsTheBackground) {
    const FaintScene f;
    EXPECT_EQ(Scene({"render", f.dir / "missing.scene", "-o", f.dir / "a.bmp"}).status, 1);
    EXPECT_EQ(Scene({"view", f.Path()}).status, 1);  // no window in this build
    int seen = 0;
    EXPECT_EQ(Scene({"view", f.Path(), "--background", "1,2,3"},
                    [&](TSceneViewArgs& a) {
                        seen = a.Scene.Root->Width;
                        return a.Background == ColorFromRGB(1, 2, 3) ? 7 : 8;
                    })
                  .status,
              7);
    EXPECT_EQ(seen, 3);
}

// ---- The samples -----------------------------------------------------------

using TRootPtr = TVeloraTreePtr<TVlxImg>;

TRootPtr NewRoot(int w, int h) {
    TRootPtr root(MakeVelora<TVlxImg>().release());
    root->SetSize(w, h);
    return root;
}

template <class T>
T* Child(TVelora* parent, int w, int h, int x = 0, int y = 0) {
    T* n = parent->NewChildOf<T>("");
    n->SetSize(w, h);
    n->SetPosition(x, y);
    return n;
}

TColor Rgb(int r, int g, int b) { return ColorFromRGB(r, g, b); }

void Spray(TVlxStencil* s, int times) {
    for (int i = 0; i < times; ++i) {
        s->Map->SetPen(65535);
        s->Map->DrawSpot(2, s->Width / 2.0f, s->Height / 2.0f, s->Width / 2.0f, s->Width / 2.0f, 0.9f);
    }
}

// Each sample's scene, made node by node without statements.
const std::map<std::string, std::function<TRootPtr()>>& SampleBuilders() {
    static const std::map<std::string, std::function<TRootPtr()>> builders = {
        {"harbour.scene",
         [] {
             auto root = NewRoot(201, 141);
             Child<TVlxMat>(root.get(), 201, 141)->SetCol(Rgb(40, 52, 64));
             auto* photo = root->NewChildOf<TVlxImg>("");
             photo->SetPosition(20, 16);
             photo->LoadFile(std::string(QUENLO_SOURCE_DIR) + "/samples/harbour-photo.jpg");
             auto* panel = Child<TVlx2>(root.get(), 140, 27, 31, 102);
             panel->SetCol(Rgb(250, 240, 200));
             panel->SetOpq(0.9f);
             auto* label = Child<TVlxAnk88>(panel, 104, 15, 4, 6);
             label->SetCol(Rgb(250, 240, 200));
             label->SetLineCol(Rgb(40, 52, 64));
             label->SetText("HARBOUR 1:1");
             Child<TVlxSlider>(panel, 13, 13, 121, 7)->SetCol(Rgb(200, 60, 40));
             return root;
         }},
        {"layers.scene",
         [] {
             auto root = NewRoot(220, 130);
             Child<TVlxMat>(root.get(), 220, 130)->SetCol(Rgb(236, 232, 220));
             auto* top = Child<TVlxCel>(root.get(), 220, 130);
             top->SetZOrder(1);
             top->SetOpq(0.6f);
             Child<TVlxMat>(top, 80, 80, 25, 25)->SetCol(Rgb(214, 48, 49));
             Child<TVlxMat>(top, 80, 80, 75, 25)->SetCol(Rgb(38, 96, 190));
             auto* under = Child<TVlxCel>(root.get(), 220, 130);
             Child<TVlxMat>(under, 170, 24, 25, 53)->SetCol(Rgb(30, 30, 30));
             Child<TVlxMat>(under, 24, 110, 170, 10)->SetCol(Rgb(250, 190, 40));
             return root;
         }},
        {"airbrush.scene",
         [] {
             auto root = NewRoot(230, 120);
             Child<TVlxMat>(root.get(), 230, 120)->SetCol(Rgb(20, 24, 40));
             const std::tuple<int, int, int, TColor, int> spots[] = {
                 {100, 10, 10, Rgb(255, 200, 60), 1},
                 {100, 65, 10, Rgb(60, 200, 255), 3},
                 {61, 160, 50, Rgb(255, 80, 160), 2}};
             for (auto [size, x, y, col, times] : spots) {
                 auto* s = Child<TVlxStencil>(root.get(), size, size, x, y);
                 s->SetCol(col);
                 Spray(s, times);
             }
             return root;
         }},
        {"star.scene",
         [] {
             auto root = NewRoot(160, 160);
             Child<TVlxMat>(root.get(), 160, 160)->SetCol(Rgb(18, 30, 60));
             auto* star = Child<TVlxPoly>(root.get(), 140, 140, 10, 10);
             star->SetFaceCol(Rgb(255, 210, 60));
             star->SetFaceOpq(0.9f);
             star->SetLineCol(Rgb(255, 255, 255));
             star->SetLineOpq(1);
             star->Poly.Points = {{70, 4}, {109, 124}, {7, 50}, {133, 50}, {31, 124}, {70, 4}};
             star->Outline = star->Fill = true;
             return root;
         }},
        {"coast.scene",
         [] {
             auto root = NewRoot(240, 180);
             Child<TVlxMat>(root.get(), 240, 180)->SetCol(Rgb(24, 70, 120));
             auto* island = Child<TVlxPoly>(root.get(), 240, 180);
             island->SetFaceCol(Rgb(214, 196, 140));
             island->SetFaceOpq(1);
             island->SetLineCol(Rgb(250, 250, 235));
             island->SetLineOpq(0.8f);
             island->Outline = island->Fill = true;
             // The shore as the generator wrote it, read without the script reader.
             const std::vector<uint8_t> bytes = ReadBytes(kSamples + "coast.scene");
             const std::string text(bytes.begin(), bytes.end());
             for (size_t at = text.find("vertex("); at != std::string::npos; at = text.find("vertex(", at + 1)) {
                 TPointF p;
                 EXPECT_EQ(std::sscanf(text.c_str() + at, "vertex(%f,%f)", &p.X, &p.Y), 2);
                 island->Poly.Points.push_back(p);
             }
             EXPECT_EQ(island->Poly.Points.size(), 361u);
             auto* label = root->NewChildOf<TVlxAnk88>("");
             label->SetPosition(84, 84);
             label->SetCol(Rgb(214, 196, 140));
             label->SetLineCol(Rgb(40, 60, 30));
             label->SetText("ISLAND");
             return root;
         }},
        {"textimage.scene",
         [] {
             auto root = NewRoot(200, 56);
             const std::tuple<int, int, int, int, TColor, TPoint, TColor, const char*> texts[] = {
                 {200, 56, 0, 0, Rgb(250, 250, 240), {8, 10}, Rgb(200, 30, 30), "QUENLO SCENES"},
                 {184, 15, 8, 31, Rgb(30, 30, 30), {4, 4}, Rgb(240, 240, 240), "Written in pixels"}};
             for (auto [w, h, x, y, col, pen, penCol, text] : texts) {
                 auto* t = Child<TVlxAnk>(root.get(), w, h, x, y);
                 t->SetCol(col);
                 t->Wipe();
                 t->PenPos = pen;
                 t->PenCol = penCol;
                 t->WriteText(text);
             }
             return root;
         }},
    };
    return builders;
}

TEST(SceneSamples, RenderLikeTheSameTreesBuiltThroughTheApi) {
    std::set<std::string> files, kinds;
    for (const auto& e : fs::directory_iterator(kSamples))
        if (e.path().extension() == ".scene") files.insert(e.path().filename().string());
    std::set<std::string> built;
    for (const auto& [name, build] : SampleBuilders()) built.insert(name);
    EXPECT_EQ(files, built) << "every sample needs its tree here";

    TempDir dir;
    for (const auto& [name, build] : SampleBuilders()) {
        SCOPED_TRACE(name);
        const CliRun r = Scene({"render", "--strict", kSamples + name, "-o", dir / "script.bmp"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "") << "no warnings";
        TRootPtr root = build();
        TPixelMapRGB map;
        map.SetSize(root->Width, root->Height);
        map.SetPen(0xFFFFFF);
        map.Clear();
        root->RenderInto(map);
        SaveBmpFile(map, dir / "api.bmp");
        EXPECT_EQ(ReadBytes(dir / "script.bmp"), ReadBytes(dir / "api.bmp"));

        TScene s = ReadSceneFile(kSamples + name, false);
        s.Root->ForEachNode([&](TVelora& n) { kinds.insert(std::string(TVelora::KindOf(n).KindName())); });
    }
    EXPECT_EQ(kinds.size(), 9u) << "the samples together use all nine kinds";
}

TEST(SceneSamples, WrittenScriptsRenderTheSame) {
    const fs::path cwd = fs::current_path();
    for (const auto& [name, build] : SampleBuilders()) {
        SCOPED_TRACE(name);
        const CliRun w = Scene({"write", kSamples + name});
        ASSERT_EQ(w.status, 0) << w.err;
        EXPECT_EQ(fs::current_path(), cwd);
        TScene original = ReadSceneFile(kSamples + name, false);
        std::istringstream written(w.out);
        TScene back = ReadSceneScript(written, "s.scene", {false, kSamples});
        EXPECT_TRUE(EncodeBmp(*RenderScene(*back.Root, 0xFFFFFF)) == EncodeBmp(*RenderScene(*original.Root, 0xFFFFFF)));
        EXPECT_EQ(w.err, "");
    }
}

}  // namespace

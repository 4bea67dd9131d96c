// quenlo-scene: reading scripts with line numbers, rendering, writing back,
// and the samples checked against the same trees built through the API.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "cli/SceneTool.h"
#include "imageio/BmpWriter.h"
#include "imageio/VlxIo.h"
#include "scene/kinds/SimpleVelore.h"

using namespace quenlo;
using quenlo::test::ReadBytes;
using quenlo::test::TempDir;
using quenlo::test::WriteText;
namespace fs = std::filesystem;

namespace {

const std::string kSamples = std::string(QUENLO_SOURCE_DIR) + "/samples/scenes/";

using test::CliRun;

CliRun Scene(std::vector<std::string> args, TSceneViewer viewer = {}) {
    return test::RunCli("quenlo-scene", std::move(args), [&](int argc, const char* const* argv, FILE* out, FILE* err) {
        return RunSceneCli(argc, argv, out, err, viewer);
    });
}

TScene Read(const std::string& text, bool strict = false, const std::string& base = "") {
    std::istringstream in(text);
    return ReadSceneScript(in, "s.scene", {strict, base});
}

std::vector<uint8_t> Bmp(TVelora& root, TColor bg = 0xFFFFFF) { return EncodeBmp(*RenderScene(root, bg)); }

// ---- Reading ---------------------------------------------------------------

TEST(SceneScript, LineEndingsAndByteOrderMarkReadAlike) {
    const std::string lf = "VlxImg size(30,20)\n{\n  VlxMat size(9,9);pos(3,4);col(200,0,0)\n  {\n"
                           "    VlxPoly size(9,9);vertex(0,0);vertex(8,8);polyline\n  }\n}";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    TScene a = Read(lf), b = Read(crlf + "\r\n"), c = Read("\xEF\xBB\xBF" + lf);
    EXPECT_EQ(a.NodeCount, 3);
    const std::string want = WriteScene(a, {}).Text;
    EXPECT_EQ(WriteScene(b, {}).Text, want);
    EXPECT_EQ(WriteScene(c, {}).Text, want);
    EXPECT_EQ(Bmp(*b.Root), Bmp(*a.Root));
    EXPECT_EQ(a.LineOf(a.Root->FirstChild()), 3);
    EXPECT_EQ(a.LineOf(a.Root->FirstChild()->FirstChild()), 5);
}

TEST(SceneScript, ErrorsNameTheFileAndTheLineAndKeepNothing) {
    TempDir dir;
    WriteText(dir / "broken.jpg", "not a jpeg at all");
    const std::pair<std::string, int> cases[] = {
        {"VlxImg size(10,10)\n{\n  VlxMat opq(abc)\n}\n", 3},             // a child's float
        {"// first\nVlxImg size(10,10);zorder(1,5.)\n\nVlxImg opq(.)\n", 4},  // the root's
        {"VlxImg size(10,10)\r\n{\r\nVlxPoly vertex(1,2);vertex(1,y)\r\n", 3},
        {"VlxImg size(-1,5)\n", 1},
        {"VlxImg size(10,10)\n{\n\n\nVlxImg file(broken.jpg)\n}\n", 5},  // found beside the script
    };
    for (const auto& [text, line] : cases) {
        SCOPED_TRACE(text);
        try {
            Read(text, true, dir.str());
            ADD_FAILURE() << "no error";
        } catch (const EScriptError& e) {
            EXPECT_EQ(e.Line(), line);
            EXPECT_EQ(e.File(), "s.scene");
            EXPECT_EQ(std::string(e.what()).rfind("s.scene:" + std::to_string(line) + ": ", 0), 0u) << e.what();
        }
    }

    // The command line: exit status 1, the place on stderr, nothing written.
    WriteText(dir / "bad.scene", "VlxImg size(10,10)\n{\n  VlxMat opq(abc)\n}\n");
    const CliRun r = Scene({"render", dir / "bad.scene", "-o", dir / "bad.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.scene:3: 'abc' is not a valid floating point value"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "bad.bmp"));
    EXPECT_EQ(Scene({"write", dir / "bad.scene"}).status, 1);
}

TEST(SceneScript, StrictReportsWhatTheLanguageIgnores) {
    const std::string longTail(250, ' ');
    const std::string text = "VlxImg size(40,30)\n"                         // 1
                             "{\n"                                           // 2
                             "  Sprite size(5,5)\n"                          // 3
                             "  VlxMat sise(5,5);size(5,5);col(1,2,3)\n"     // 4
                             "  VlxImg file(\"nowhere.jpg\")\n"             // 5
                             "  VlxMat size(4,4);" + longTail + ";pos(7,7)\n"  // 6
                             "}\n"                                           // 7
                             "}\n"                                           // 8
                             "{\n";                                          // 9
    TScene quiet = Read(text);
    EXPECT_TRUE(quiet.Warnings.empty());
    TScene s = Read(text, true);
    std::vector<std::pair<int, std::string>> got;
    for (const auto& w : s.Warnings) got.push_back({w.Line, w.Text});
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0].first, 3);
    EXPECT_NE(got[0].second.find("\"Sprite\""), std::string::npos);
    EXPECT_EQ(got[1].first, 4);
    EXPECT_NE(got[1].second.find("\"sise(5,5)\""), std::string::npos);
    EXPECT_EQ(got[2].first, 5);
    EXPECT_NE(got[2].second.find("nowhere.jpg"), std::string::npos);
    EXPECT_EQ(got[3].first, 6);
    EXPECT_NE(got[3].second.find("only the first 255"), std::string::npos);
    EXPECT_EQ(got[4].first, 8);  // the second "}"
    EXPECT_EQ(got[5].first, 9);  // never closed
    // What lies past the limit really is ignored.
    const TVelora* clipped = s.Root->FirstChild()->NextSibling()->NextSibling();
    EXPECT_EQ(clipped->Width, 4);
    EXPECT_EQ(clipped->Left, 0);

    // Exactly 255 characters after the blanks, ended by CRLF, is no long line.
    const std::string line255 = "VlxImg size(3,3)" + std::string(255 - 16 - 9, ' ') + ";pos(1,1)";
    ASSERT_EQ(line255.size(), 255u);
    TScene edge = Read("   " + line255 + "\r\n", true);
    EXPECT_TRUE(edge.Warnings.empty());
    EXPECT_EQ(edge.Root->Left, 1);

    TempDir dir;
    WriteText(dir / "empty.scene", "// nothing sizes the root\n");
    const CliRun r = Scene({"render", "--strict", dir / "empty.scene", "-o", dir / "e.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the scene is empty"), std::string::npos) << r.err;
}

TEST(SceneScript, LimitsEndHostileScriptsEarly) {
    std::string deep = "VlxImg size(9,9)\n{\n";
    for (int i = 0; i < kMaxSceneDepth + 1; ++i) deep += "VlxMat size(1,1)\n{\n";
    EXPECT_THROW(
        {
            try {
                Read(deep);
            } catch (const EScriptError& e) {
                EXPECT_EQ(e.Line(), 2 * kMaxSceneDepth + 2);  // the "{" under depth 64
                throw;
            }
        },
        EScriptError);

    std::string many = "VlxImg size(9,9)\n{\n";
    for (int i = 0; i < kMaxSceneNodes; ++i) many += "VlxMat\n";
    try {
        Read(many);
        ADD_FAILURE();
    } catch (const EScriptError& e) {
        EXPECT_EQ(e.Line(), 2 + kMaxSceneNodes);
    }

    // Refused before the map is allocated; a matte of that size costs nothing.
    EXPECT_THROW(Read("VlxImg size(9,9)\n{\nVlxCel size(100000,100000)\n"), EScriptError);
    EXPECT_NO_THROW(Read("VlxImg size(9,9)\n{\nVlxMat size(100000,100000)\n"));
}

TEST(SceneScript, PlusLinesContinueTheNodeOfTheLastKindLine) {
    TScene s = Read("VlxImg size(30,20)\n+ col(1,2,3)\n{\n  VlxMat size(9,9)\n  {\n    VlxMat size(2,2)\n"
                    "    +pos(1,1)\n  }\n  + col(7,8,9);pos(4,4)\n}\n");
    EXPECT_EQ(s.Root->Col, ColorFromRGB(1, 2, 3));
    const TVelora* outer = s.Root->FirstChild();
    EXPECT_EQ(outer->Col, ColorFromRGB(7, 8, 9));  // after "}", the block's own node
    EXPECT_EQ(outer->Left, 4);
    EXPECT_EQ(outer->FirstChild()->Left, 1);
    EXPECT_EQ(s.NodeCount, 3);

    // Nothing to continue: an error with its line, or with strict a warning.
    for (const auto& [text, line] : {std::pair<std::string, int>{"+ size(3,3)\n", 1},
                                     {"VlxImg size(9,9)\n{\n+ pos(1,1)\n", 3}}) {
        SCOPED_TRACE(text);
        try {
            Read(text);
            ADD_FAILURE();
        } catch (const EScriptError& e) {
            EXPECT_EQ(e.Line(), line);
        }
        TScene strict = Read(text, true);
        ASSERT_FALSE(strict.Warnings.empty());
        EXPECT_EQ(strict.Warnings[0].Line, line);
    }
    // A continuation is held to the same limits as a kind line.
    EXPECT_THROW(Read("VlxImg size(9,9)\n{\nVlxCel\n+ size(100000,100000)\n"), EScriptError);
}

// ---- Rendering -------------------------------------------------------------

TEST(SceneRender, BackgroundStdoutAndUsage) {
    TempDir dir;
    WriteText(dir / "faint.scene", "VlxImg size(3,2);opq(0)\n");
    TScene s = ReadSceneFile(dir / "faint.scene", false);
    const auto map = RenderScene(*s.Root, ColorFromRGB(10, 20, 30));
    for (int i = 0; i < map->DataSize(); i += 3)
        ASSERT_EQ((std::array<int, 3>{map->Data()[i], map->Data()[i + 1], map->Data()[i + 2]}),
                  (std::array<int, 3>{30, 20, 10}));

    const CliRun r = Scene({"render", dir / "faint.scene", "-o", "-", "--background", "10,20,30"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> want = EncodeBmp(*map);
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), want);

    EXPECT_EQ(Scene({"render", dir / "faint.scene", "-o", dir / "a.bmp", "--background", "1,2"}).status, 2);
    EXPECT_EQ(Scene({"render", dir / "faint.scene", "-o", dir / "a.bmp", "--background", "0,0,256"}).status, 2);
    EXPECT_EQ(Scene({"render", dir / "faint.scene"}).status, 2);  // no -o
    EXPECT_EQ(Scene({"render", dir / "missing.scene", "-o", dir / "a.bmp"}).status, 1);
    EXPECT_EQ(Scene({"view", "-"}).status, 2);
    EXPECT_EQ(Scene({"view", dir / "faint.scene"}).status, 1);  // no window in this build
    int seen = 0;
    EXPECT_EQ(Scene({"view", dir / "faint.scene", "--background", "1,2,3"},
                    [&](TSceneViewArgs& a) {
                        seen = a.Scene.Root->Width;
                        return a.Background == ColorFromRGB(1, 2, 3) ? 7 : 8;
                    })
                  .status,
              7);
    EXPECT_EQ(seen, 3);
}

// ---- Writing ---------------------------------------------------------------

TEST(SceneWrite, ReadsBackToTheSameTree) {
    const std::string text =
        "VlxImg size(60,40)\n{\n"
        "  VlxMat size(60,40);col(0,40,80);name(\"ground floor\")\n"
        "  VlxMat size(9,9);col(255,0,0);visible(0)\n"
        "  VlxCel size(60,40);opq(0.5);zorder(2)\n  {\n"
        "    VlxPoly size(50,30);pos(5,5);vertex(0.1,1e-3);vertex(49.75,2);vertex(-3,29.5);vertex(0.1,1e-3);polygon\n"
        "    VlxAnk88 size(40,11);pos(2,2);text(\"A, B\")\n  }\n"
        "  VlxAnk size(30,9);col(9,9,9);wipe;PenCol(255,0,0);text(hi)\n}\n";
    TScene s = Read(text);
    const TWrittenScene w = WriteScene(s, {});
    EXPECT_TRUE(w.Warnings.empty());
    TScene back = Read(w.Text);
    EXPECT_EQ(WriteScene(back, {}).Text, w.Text);
    EXPECT_EQ(Bmp(*back.Root), Bmp(*s.Root));
    EXPECT_NE(w.Text.find("\n  {\n    VlxPoly "), std::string::npos) << w.Text;
}

TEST(SceneWrite, SpreadsLongNodesOverPlusLines) {
    std::string poly = "VlxPoly size(90,90)";
    for (int i = 0; i < 300; ++i) poly += "\n+vertex(" + std::to_string(i % 90) + "," + std::to_string(i * 7 % 90) + ")";
    TScene s = Read("VlxImg size(90,90)\n{\n" + poly + ";polygon\n}\n");
    const TWrittenScene w = WriteScene(s, {});
    EXPECT_TRUE(w.Warnings.empty());
    std::istringstream lines(w.Text);
    int plus = 0;
    for (std::string l; std::getline(lines, l);) {
        EXPECT_LE(l.size() - l.find_first_not_of(' '), 255u) << l;
        plus += l.find("+ vertex(") != std::string::npos;
    }
    EXPECT_GT(plus, 10);
    EXPECT_EQ(Bmp(*Read(w.Text).Root), Bmp(*s.Root));

    // A quote and ";" in a label written through the API cannot read back.
    TScene api = Read("VlxImg size(9,9)\n");
    auto* label = api.Root->NewChildOf<TVlxAnk88>("");
    label->SetText("say \"hi\"; bye");
    api.Lines[label] = 7;
    try {
        WriteScene(api, {});
        ADD_FAILURE();
    } catch (const EScriptError& e) {
        EXPECT_EQ(e.Line(), 7);
    }
}

// A scene of every kind, with the states that their plain statements
// do not bring back in order: filled images, text images recoloured after
// their wipe, auto-sized and hidden labels, labels resized after their
// text, sprayed stencils, long polygons.
std::string RandomScript(uint32_t seed) {
    std::mt19937 rng(seed);
    auto n = [&](int lo, int hi) { return std::to_string(std::uniform_int_distribution<int>(lo, hi)(rng)); };
    auto chance = [&](int percent) { return std::uniform_int_distribution<int>(0, 99)(rng) < percent; };
    auto rgb = [&] { return n(0, 255) + "," + n(0, 255) + "," + n(0, 255); };
    auto common = [&] {
        std::string s = ";pos(" + n(-10, 60) + "," + n(-10, 50) + ")";
        if (chance(40)) s += ";col(" + rgb() + ")";
        if (chance(30)) s += ";opq(0." + n(0, 99) + ")";
        if (chance(30)) s += ";zorder(" + n(-3, 3) + ")";
        return s;
    };
    auto size = [&] { return "size(" + n(1, 50) + "," + n(1, 40) + ")"; };
    std::string t = "VlxImg " + std::string(chance(50) ? "col(" + rgb() + ");" : "") + "size(" + n(20, 70) + "," + n(20, 60) + ")\n{\n";
    for (int i = 0, count = int(rng() % 10) + 3; i < count; ++i) {
        switch (rng() % 8) {
        case 0: t += "VlxMat " + size() + common(); break;
        case 1: t += "VlxImg " + (chance(50) ? "col(" + rgb() + ");" + size() : size()) + common(); break;
        case 2: t += "VlxStencil " + size() + common() + ";col(" + rgb() + ");airbrush" + (chance(50) ? ";airbrush" : ""); break;
        case 3: t += "VlxAnk " + size() + common() + ";wipe;PenPos(" + n(0, 9) + "," + n(0, 9) + ");PenCol(" + rgb() + ");text(\"AB" + n(0, 999) + "\")" + (chance(30) ? ";col(" + rgb() + ")" : ""); break;
        case 4: t += "Vlx2 " + size() + common() + "\n{\nVlxSlider size(5,5);col(" + rgb() + ")\n}"; break;
        case 5: t += "VlxCel " + size() + common() + "\n{\nVlxMat " + size() + ";col(" + rgb() + ")\n}"; break;
        case 6: {
            t += "VlxPoly " + size() + common() + ";facecol(" + rgb() + ");linecol(" + rgb() + ")";
            for (int v = 0, m = int(rng() % 60) + 3; v < m; ++v)
                t += (v % 8 == 0 ? "\n+ " : ";") + std::string("vertex(") + n(-5, 55) + "." + n(0, 9) + "," + n(-5, 45) + ")";
            t += chance(70) ? ";polygon" : "";
            t += chance(70) ? ";polyline" : "";
            break;
        }
        default: {
            std::string text(size_t(rng() % 40 + 1), 'A');
            for (char& c : text) c = "ABC XYZ0189"[rng() % 11];
            t += "VlxAnk88 " + std::string(chance(50) ? size() + ";" : "") + "text(\"" + text + "\")" + common();
            if (chance(30)) t += ";" + size();
            if (chance(30)) t += ";visible(0)";
        }
        }
        t += "\n";
    }
    return t + "}\n";
}

TEST(SceneWrite, RandomScenesRenderTheSameWrittenAndReadBack) {
    for (uint32_t seed = 1; seed <= 100; ++seed) {
        const std::string script = RandomScript(seed);
        SCOPED_TRACE(script);
        TScene s = Read(script);
        const TWrittenScene w = WriteScene(s, {});
        EXPECT_TRUE(w.Warnings.empty()) << w.Warnings[0].Text;
        TScene back = Read(w.Text);
        ASSERT_EQ(Bmp(*back.Root), Bmp(*s.Root)) << w.Text;
        EXPECT_EQ(WriteScene(back, {}).Text, w.Text);
    }
}

// ---- The samples -----------------------------------------------------------

using TRootPtr = std::unique_ptr<TVlxImg, TSceneTreeDeleter>;

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
        s.Root->ForEachNode([&](TVelora& n) { kinds.insert(SceneKindName(n)); });
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
        TScene back = Read(w.out, false, kSamples);
        EXPECT_TRUE(Bmp(*back.Root) == Bmp(*original.Root));
        EXPECT_EQ(w.err, "");
    }
}

}  // namespace

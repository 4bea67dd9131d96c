// Scene scripts: reading them with line numbers, rendering, writing back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "TestUtil.h"
#include "imageio/BmpWriter.h"
#include "scene/kinds/SimpleVelore.h"
#include "scene/script/SceneRender.h"
#include "scene/script/SceneWrite.h"

using namespace quenlo;
using quenlo::test::TempDir;
using quenlo::test::WriteText;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

TScene Read(const std::string& text, bool strict = false, const std::string& base = "") {
    std::istringstream in(text);
    return ReadSceneScript(in, "s.scene", {strict, base});
}

// text must fail to read at line, with the place leading the message.
void ExpectScriptError(const std::string& text, int line, bool strict = false, const std::string& base = "") {
    SCOPED_TRACE(text.size() > 200 ? text.substr(0, 200) + "..." : text);
    try {
        Read(text, strict, base);
        ADD_FAILURE() << "no error";
    } catch (const EScriptError& e) {
        EXPECT_EQ(e.Line(), line);
        EXPECT_EQ(e.File(), "s.scene");
        EXPECT_THAT(e.what(), StartsWith("s.scene:" + std::to_string(line) + ": "));
    }
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

// The reader takes its input in blocks of 64 KiB: a line cut by a block's
// end, anywhere in it, reads as a whole one.
TEST(SceneScript, LinesAcrossTheReadersBlocksReadWhole) {
    const std::string body = "VlxImg size(30,20)\r\n{\r\n  \t VlxMat size(9,9);pos(3,4);col(200,0,0)\r\n}";
    const TScene plain = Read("//\n" + body);
    const std::string want = WriteScene(plain, {}).Text;
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        SCOPED_TRACE(cut);
        // A comment line that ends cut bytes before the block does.
        const TScene s = Read("//" + std::string(65536 - cut - 3, 'x') + "\n" + body);
        EXPECT_EQ(WriteScene(s, {}).Text, want);
        EXPECT_EQ(s.LineOf(s.Root->FirstChild()), 4);
    }
}

// Enough nodes to fill several of the node heap's slabs: every node still
// finds its own line in the table ordered by node.
// of one size, and of two sizes mixed line by line.
TEST(SceneScript, EveryNodeOfALargeSceneFindsItsLine) {
    for (const int mixEvery : {0, 3}) {
        std::string text = "VlxImg size(30,20)\n{\n";
        for (int i = 0; i < 30000; ++i)
            text += mixEvery && i % mixEvery == 0 ? "VlxPoly size(3,3)\n" : "VlxMat size(2,2)\n";
        const TScene s = Read(text + "}\n");
        int64_t line = 3;
        for (const TVelora* n = s.Root->FirstChild(); n; n = n->NextSibling(), ++line) ASSERT_EQ(s.LineOf(n), line);
        EXPECT_EQ(line, 30003);
    }
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
    for (const auto& [text, line] : cases) ExpectScriptError(text, line, true, dir.str());
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
    std::vector<std::pair<int64_t, std::string>> got;
    for (const auto& w : s.Warnings) got.push_back({w.Line, w.Text});
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0].first, 3);
    EXPECT_THAT(got[0].second, HasSubstr("\"Sprite\""));
    EXPECT_EQ(got[1].first, 4);
    EXPECT_THAT(got[1].second, HasSubstr("\"sise(5,5)\""));
    EXPECT_EQ(got[2].first, 5);
    EXPECT_THAT(got[2].second, HasSubstr("nowhere.jpg"));
    EXPECT_EQ(got[3].first, 6);
    EXPECT_THAT(got[3].second, HasSubstr("only the first 255"));
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

    // A vertex a float cannot hold to 1/32 pixel; 4e7 it holds exactly.
    TScene far = Read("VlxImg size(9,9)\n{\nVlxPoly vertex(4e7,20);vertex(40000001,20.5);vertex(1,1)\n}\n", true);
    ASSERT_EQ(far.Warnings.size(), 1u);
    EXPECT_EQ(far.Warnings[0].Line, 3);
    EXPECT_THAT(far.Warnings[0].Text, HasSubstr("40000001 is held as the float 40000000"));
}

TEST(SceneScript, LimitsEndHostileScriptsEarly) {
    std::string deep = "VlxImg size(9,9)\n{\n";
    for (int i = 0; i < kMaxSceneDepth + 1; ++i) deep += "VlxMat size(1,1)\n{\n";
    ExpectScriptError(deep, 2 * kMaxSceneDepth + 2);  // the "{" under depth 64

    std::string many = "VlxImg size(9,9)\n{\n";
    for (int i = 0; i < kMaxSceneNodes; ++i) many += "VlxMat\n";
    ExpectScriptError(many, 2 + kMaxSceneNodes);

    // Refused before the map is allocated; a matte of that size costs nothing.
    ExpectScriptError("VlxImg size(9,9)\n{\nVlxCel size(100000,100000)\n", 3);
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
    // After the root's own block, the root; its last child keeps its colour.
    TScene r = Read("VlxImg size(30,20)\n{\n  VlxMat size(9,9);col(7,8,9)\n}\n+ col(1,2,3)\n");
    EXPECT_EQ(r.Root->Col, ColorFromRGB(1, 2, 3));
    EXPECT_EQ(r.Root->FirstChild()->Col, ColorFromRGB(7, 8, 9));

    // Nothing to continue: an error with its line, or with strict a warning.
    for (const auto& [text, line] : {std::pair<std::string, int>{"+ size(3,3)\n", 1},
                                     {"VlxImg size(9,9)\n{\n+ pos(1,1)\n", 3}}) {
        ExpectScriptError(text, line);
        TScene strict = Read(text, true);
        ASSERT_FALSE(strict.Warnings.empty());
        EXPECT_EQ(strict.Warnings[0].Line, line);
    }
    // A continuation is held to the same limits as a kind line.
    ExpectScriptError("VlxImg size(9,9)\n{\nVlxCel\n+ size(100000,100000)\n", 4);
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
    EXPECT_THAT(w.Text, HasSubstr("\n  {\n    VlxPoly "));
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
    api.SetLine(label, 7);
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

}  // namespace

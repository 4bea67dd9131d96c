// What plain statement order loses on the way back, and what --strict
// reports of file() and of polygons.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "TestUtil.h"
#include "imageio/VlxIo.h"
#include "scene/script/SceneRender.h"
#include "scene/script/SceneWrite.h"

namespace quenlo {
namespace {

using ::testing::HasSubstr;

TScene ReadText(const std::string& text, bool strict, const std::string& base) {
    std::istringstream in(text);
    TSceneReadOptions options;
    options.Strict = strict;
    options.BaseDir = base;
    return ReadSceneScript(in, "s.scene", options);
}

TEST(WriteBack, ComesBackOrSaysWhyNot) {
    test::TempDir dir;
    SaveBmpFile(*test::TestPicture(21, 11), dir / "pic.bmp");
    const std::string name(245, 'n');
    const struct {
        std::string script;
        const char* warning;  // nullptr: none, and the same render
    } cases[] = {
        // The picture is replaced by a later size: file must come first.
        {"VlxImg size(40,40)\n{\nVlxImg file(\"pic.bmp\");size(30,30)\n}\n", nullptr},
        {"VlxImg size(40,40)\n{\nVlxImg col(9,8,7);file(\"pic.bmp\");size(30,30);col(1,2,3)\n}\n", nullptr},
        {"VlxImg size(40,40)\n{\nVlxImg file(\"pic.bmp\")\n}\n", nullptr},
        // Too long for the kind line, not for a "+" line.
        {"VlxImg size(40,40)\n{\nVlxMat size(5,5)\n+name(" + name + ")\n}\n", nullptr},
        // A text image with no columns has nothing to compare.
        {"VlxImg size(40,40)\n{\nVlxAnk size(0,5);text(hi)\n}\n", nullptr},
        // Two decimals lose it: only a black background shows.
        {"VlxImg size(10,10);opq(0)\n{\nVlxMat size(10,10);col(255,255,255);opq(0.003)\n}\n", "on a black background"},
    };
    for (const auto& c : cases) {
        TScene s = ReadText(c.script, false, dir.str());
        const auto want = RenderScene(*s.Root, 0x000000);
        const TWrittenScene w = WriteScene(std::move(s), {false, dir.str()});
        if (!c.warning) {
            EXPECT_TRUE(w.Warnings.empty()) << c.script << w.Warnings[0].Text;
            TPoint at;
            EXPECT_FALSE(FirstDifference(*want, *RenderScene(*ReadText(w.Text, false, dir.str()).Root, 0x000000), at))
                << c.script;
        } else {
            ASSERT_EQ(w.Warnings.size(), 1u) << c.script;
            EXPECT_THAT(w.Warnings[0].Text, HasSubstr(c.warning));
        }
    }
}

TEST(WriteBack, StrictReportsFilesThatAreNoImagesAndLoopsThatDoNotClose) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "folder.bmp");
    test::WriteText(dir / "notes.txt", "hi");
    const TScene s = ReadText("VlxImg size(40,40)\n{\n"
                              "VlxImg file(\"folder.bmp\")\n"
                              "VlxImg file(\"notes.txt\")\n"
                              "VlxPoly size(40,40);vertex(10,0);vertex(20,0);vertex(20,20);vertex(0,20);vertex(0,0);vertex(10,0);polygon\n"
                              "VlxPoly size(40,40);vertex(0,0);vertex(20,0);vertex(20,20);vertex(0,20);vertex(0,0);polygon\n}\n",
                              true, dir.str());
    ASSERT_EQ(s.Warnings.size(), 3u);
    EXPECT_EQ(s.Warnings[0].Line, 3);
    EXPECT_THAT(s.Warnings[0].Text, HasSubstr("is a folder"));
    EXPECT_EQ(s.Warnings[1].Line, 4);
    EXPECT_THAT(s.Warnings[1].Text, HasSubstr("not an image file"));
    EXPECT_EQ(s.Warnings[2].Line, 5);
    EXPECT_THAT(s.Warnings[2].Text, HasSubstr("middle of a straight side"));
}

}  // namespace
}  // namespace quenlo

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "low/FileNames.h"

using namespace quenlo;

TEST(FileNames, ExtensionIsTheLastDotAfterTheLastSeparator) {
    struct Case {
        const char* path;
        const char* ext;
        const char* name;
        const char* dir;
    } cases[] = {
        {"/data/img.rgb", ".rgb", "img.rgb", "/data"},
        {"/data.old/img", "", "img", "/data.old"},
        {"a.tar.gz", ".gz", "a.tar.gz", ""},
        {".hidden", ".hidden", ".hidden", ""},
        {"dir/", "", "", "dir"},
        {"/x", "", "x", "/"},
        {"", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ExtractFileExt(c.path), c.ext);
        EXPECT_EQ(ExtractFileName(c.path), c.name);
        EXPECT_EQ(ExtractFileDir(c.path), c.dir);
    }
    EXPECT_EQ(ChangeFileExt("/data.old/img", ".IPR"), "/data.old/img.IPR");
    EXPECT_EQ(ChangeFileExt("/d/a.b.rgb", ".bmp"), "/d/a.b.bmp");
    EXPECT_EQ(UpperAscii("photo.Jpg\xE9"), "PHOTO.JPG\xE9");
}

TEST(FileNames, FindsAFileWhateverTheCaseOfItsName) {
    test::TempDir dir;
    test::WriteText(dir / "img.ipr", "1 1");
    test::WriteText(dir / "Two.IPR", "1 1");
    test::WriteText(dir / "two.ipr", "1 1");
    EXPECT_EQ(FindFileIgnoringCase(dir / "img.ipr"), dir / "img.ipr");
    EXPECT_EQ(FindFileIgnoringCase(dir / "img.IPR"), dir / "img.ipr");
    EXPECT_EQ(FindFileIgnoringCase(dir / "IMG.Ipr"), dir / "img.ipr");
    EXPECT_EQ(FindFileIgnoringCase(dir / "two.IPR", ".ipr"), dir / "two.ipr");
    EXPECT_EQ(FindFileIgnoringCase(dir / "TWO.ipr", ".IPR"), dir / "Two.IPR");  // first in byte order
    EXPECT_EQ(FindFileIgnoringCase(dir / "none.ipr"), "");
    EXPECT_EQ(FindFileIgnoringCase(dir / "missing-folder/img.ipr"), "");
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "TestUtil.h"
#include "cli/CliRun.h"

using namespace quenlo;
using namespace quenlo::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

// Another user's link in a world-writable sticky folder (as in /tmp) is not
// followed in any component of a path the run writes through; the folder
// owner's own link is. Planting a link owned by another user takes root.
TEST(LinksOnThePath, APlantedLinkInAnyComponentIsNotFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a planted link to another user (lchown)";
    TempDir dir;
    fs::create_directories(dir / "victim");
    fs::create_directories(dir / "sticky");
    fs::create_directories(dir / "tree/sub");
    ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01777), 0);
    auto plant = [&](const std::string& link, uid_t owner) {
        fs::create_symlink("../victim", dir / link);
        ASSERT_EQ(::lchown((dir / link).c_str(), owner, owner), 0);
    };
    plant("sticky/out", 65534);  // nobody's
    plant("sticky/sub", 65534);
    WritePair(dir / "x", 5, 3, 1);
    WritePair(dir / "tree/a", 5, 3, 2);
    WritePair(dir / "tree/sub/b", 3, 5, 3);

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-o", dir / "sticky/out", dir / "x.ipr"},                     // the output folder
             {"-o", dir / "sticky/out/deeper/still", dir / "x.ipr"},        // a middle component
             {"-o", dir / "out", "--report", dir / "sticky/out/r.jsonl", dir / "x.ipr"},  // the report's folder
             {"-r", "-o", dir / "sticky", dir / "tree"}}) {                   // a folder of the mirrored tree
        std::vector<std::string> run = {"-q", "--keep-going"};
        run.insert(run.end(), args.begin(), args.end());
        const CliRun r = RunConvert(run);
        SCOPED_TRACE(args[1]);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr("is in a folder others may write to and belongs to neither its owner nor this user; not followed"));
        EXPECT_TRUE(fs::is_empty(dir / "victim"));
    }
    EXPECT_TRUE(fs::exists(dir / "sticky/a.bmp"));  // the rest of the tree is written

    // The folder owner's own link is followed, as the kernel's rule has it.
    plant("sticky/mine", 0);
    const CliRun r = RunConvert({"-q", "-o", dir / "sticky/mine/deeper", dir / "x.ipr"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "victim/deeper/x.bmp"));
}

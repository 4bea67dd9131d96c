// Faults during a command-line batch: each is one line on stderr naming the
// input, exit status 1, and the output folder exactly as it was.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "FaultUtil.h"
#include "TestUtil.h"
#include "cli/CliRun.h"
#include "cli/ConvertCli.h"
#include "imageio/BmpReader.h"
#include "imageio/BmpWriter.h"
#include "imageio/HeaderMeta.h"
#include "imageio/VlxIo.h"

using namespace quenlo;
using ::testing::HasSubstr;
using namespace quenlo::test;
namespace fs = std::filesystem;

namespace {

// a.ipr (which meets the fault) and b.ipr (which does not), into out/.
struct Batch : TwoInputBatch {
    CliRun r;
    void Run() { r = RunConvert({"-q", "-j", "1", "--keep-going", "-o", dir / "out", dir / "a.ipr", dir / "b.ipr"}); }
    // The failure named a.ipr on its own line; b.bmp was still written.
    void ExpectReported() const {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("quenlo-convert: " + (dir / "a.ipr") + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(fs::exists(dir / "out/b.bmp"));
    }
};

}  // namespace

TEST(CliFaults, AWriteThatFailsHalfWay) { CheckAWriteThatFailsHalfWay<Batch>(); }
TEST(CliFaults, AReadOnlyTarget) { CheckAReadOnlyTarget<Batch>(); }
TEST(CliFaults, ATargetNameThatIsAFolder) { CheckATargetNameThatIsAFolder<Batch>(); }

TEST(CliFaults, AReadOnlyFolder) {
    Batch b;
    const FolderSnapshot before = b.WithOldTarget();  // b.bmp is not there yet
    ReadOnlyMark mark(b.dir / "out");
    if (!mark.Ok()) GTEST_SKIP() << ReadOnlyMark::SkipReason();
    const CliRun r = RunConvert({"-q", "-j", "2", "-o", b.dir / "out", b.dir / "a.ipr", b.dir / "b.ipr"});
    mark.Release();
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr((b.dir / "a.ipr") + ": "));
    EXPECT_THAT(r.err, HasSubstr((b.dir / "b.ipr") + ": "));
    EXPECT_EQ(Snapshot(b.dir / "out"), before);
}

TEST(CliFaults, TheRgbVanishingBetweenHeaderAndPixels) {
    Batch b;
    const FolderSnapshot before = b.WithOldTarget();
    fs::remove(b.dir / "a.ipr");
    SlowHeader header(b.dir / "a.ipr", "301 200 0 0", [&] { fs::remove(b.dir / "a.rgb"); });
    ASSERT_TRUE(header.Ok());
    b.Run();
    EXPECT_TRUE(header.Served());
    b.ExpectReported();
    EXPECT_THAT(b.r.err, HasSubstr("ファイルが見つかりません"));
    EXPECT_EQ(b.Out(), before);
}

TEST(CliFaults, TheInputBeingTheOutput) {
    TempDir dir;
    const std::string name = dir / "palette.bmp";
    fs::copy_file(QUENLO_SOURCE_DIR "/samples/palette.bmp", name);
    const std::vector<uint8_t> source = ReadBytes(name);
    const FolderSnapshot before = Snapshot(dir.str());

    // Failing half-way, and failing to load: the source stays as it was.
    CliRun r;
    {
        FileSizeLimit limit(8 * 1024);  // the 24-bit rewrite is about 12 KB
        ASSERT_TRUE(limit.Ok());
        r = RunConvert({"-q", name});
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("quenlo-convert: " + name + ": ", 0), 0u) << r.err;
    EXPECT_EQ(Snapshot(dir.str()), before);

    const std::string broken = dir / "broken.bmp";
    std::vector<uint8_t> cut(source.begin(), source.begin() + 600);
    WriteBytes(broken, cut);
    r = RunConvert({"-q", broken});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadBytes(broken), cut);

    // And it succeeds in place: the same picture and resolution, now 24-bit, nothing else left.
    r = RunConvert({"-q", name});
    EXPECT_EQ(r.status, 0) << r.err;
    ImageMeta meta;
    ReadBmpMeta(source, meta);
    EXPECT_EQ(ReadBytes(name), EncodeBmp(*DecodeBmp(source), meta));
    EXPECT_EQ(Snapshot(dir.str()).size(), 2u);
}

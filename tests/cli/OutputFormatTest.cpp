#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "TestUtil.h"
#include "cli/CliRun.h"

using namespace quenlo;
using namespace quenlo::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

TEST(OutputFormats, RawToPngAndTiffThenBackToBmpEqualsTheDirectBmp) {
    TempDir dir;
    WritePair(dir / "a", 301, 1201, 3);  // several PNG bands, TIFF strips and buffers of rows
    ASSERT_EQ(RunConvert({"-q", "-o", dir / "bmp", dir / "a.ipr"}).status, 0);
    const std::vector<uint8_t> direct = ReadBytes(dir / "bmp/a.bmp");
    const std::vector<std::vector<std::string>> ways = {
        {"--format", "png", "--png-level", "0"}, {"--format", "png"}, {"--format", "png", "--png-level", "9"},
        {"--format", "tiff"}, {"--format", "tiff", "--tiff-compression", "lzw"},
        {"--format", "tiff", "--tiff-compression", "deflate"}};
    int n = 0;
    for (const std::vector<std::string>& options : ways) {
        const std::string mid = dir / ("mid" + std::to_string(n)), back = dir / ("back" + std::to_string(n++));
        const std::string name = options[1] == "png" ? "/a.png" : "/a.tif";
        auto run = [&](const std::string& out, const std::string& input) {
            std::vector<std::string> args = options;
            args.insert(args.end(), {"-q", "-o", out, input});
            return RunConvert(args);
        };
        const CliRun r = run(mid, dir / "a.ipr");
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(RunConvert({"-q", "-o", back, mid + name}).status, 0);
        EXPECT_EQ(ReadBytes(back + "/a.bmp"), direct) << mid + name;
        // A loaded map is written exactly as the raw pair's streamed rows.
        ASSERT_EQ(run(mid + "/again", dir / "bmp/a.bmp").status, 0);
        EXPECT_EQ(ReadBytes(mid + "/again" + name), ReadBytes(mid + name)) << mid + name;
    }
}

TEST(OutputFormats, ClashesAreDecidedOnTheRealOutputNames) {
    TempDir dir;
    WritePair(dir / "a", 5, 3, 1);
    ASSERT_EQ(RunConvert({"-q", "--format", "png", "-o", dir / "first", dir / "a.ipr"}).status, 0);
    fs::copy_file(dir / "first/a.png", dir / "a.png");
    // Beside the sources, a.ipr's output would be the a.png this batch reads.
    CliRun r = RunConvert({"-q", "--keep-going", "--format", "png", dir / "a.png", dir / "a.ipr"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("would replace " + (dir / "a.png") + ", which this batch also reads"));
    // Writing .bmp, the two do not meet.
    r = RunConvert({"-q", dir / "a.png", dir / "a.ipr"});
    EXPECT_THAT(r.err, HasSubstr("its output is also the output of"));
    // Into a folder, both would write out/a.png: the last listed wins.
    r = RunConvert({"-q", "--keep-going", "--format", "png", "-o", dir / "out", dir / "a.ipr", dir / "a.png"});
    EXPECT_THAT(r.err, HasSubstr("its output is also the output of " + (dir / "a.png")));
    EXPECT_TRUE(fs::exists(dir / "out/a.png"));
    EXPECT_FALSE(fs::exists(dir / "out/a.bmp"));
    // --skip-existing looks at the .tif that would be written.
    ASSERT_EQ(RunConvert({"-q", "--format", "tiff", dir / "a.ipr"}).status, 0);
    const auto before = fs::last_write_time(dir / "a.tif");
    EXPECT_EQ(RunConvert({"-q", "--skip-existing", "--format", "tiff", dir / "a.ipr"}).status, 0);
    EXPECT_EQ(fs::last_write_time(dir / "a.tif"), before);
}

// Every way rows reach an encoder gives the same file: a raw pair's rows
// read twice, a map's, and a PNG or JPEG decoded twice, where the encoder asks
// for two passes (a JPEG's table count), and once otherwise.
TEST(OutputFormats, StreamedAndWholeInputsEncodeAlike) {
    TempDir dir;
    WritePair(dir / "a", 1301, 1101, 5);  // more coefficients than a JPEG is held with
    ASSERT_EQ(RunConvert({"-q", "-o", dir / "bmp", dir / "a.ipr"}).status, 0);
    ASSERT_EQ(RunConvert({"-q", "--format", "jpg", "-o", dir / "jpg", dir / "a.ipr"}).status, 0);
    ASSERT_EQ(RunConvert({"-q", "--format", "jpg", "-o", dir / "jpg2", dir / "bmp/a.bmp"}).status, 0);
    EXPECT_EQ(ReadBytes(dir / "jpg/a.jpg"), ReadBytes(dir / "jpg2/a.jpg"));
    ASSERT_EQ(RunConvert({"-q", "--format", "png", "-o", dir / "png", dir / "a.ipr"}).status, 0);
    ASSERT_EQ(RunConvert({"-q", "--format", "jpg", "-o", dir / "jpg3", dir / "png/a.png"}).status, 0);
    EXPECT_EQ(ReadBytes(dir / "jpg/a.jpg"), ReadBytes(dir / "jpg3/a.jpg"));
    // The JPEG's own pixels, through a .bmp, against straight from the JPEG.
    ASSERT_EQ(RunConvert({"-q", "-o", dir / "dec", dir / "jpg/a.jpg"}).status, 0);
    for (const std::string format : {"jpg", "png", "tiff"}) {
        const std::string ext = format == "tiff" ? ".tif" : "." + format;
        const CliRun r = RunConvert({"-q", "--format", format, "-o", dir / ("s" + format), dir / "jpg/a.jpg"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(RunConvert({"-q", "--format", format, "-o", dir / ("w" + format), dir / "dec/a.bmp"}).status, 0);
        EXPECT_EQ(ReadBytes(dir / ("s" + format) + "/a" + ext), ReadBytes(dir / ("w" + format) + "/a" + ext)) << format;
    }
}

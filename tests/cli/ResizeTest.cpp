// --resize and --thumbnail: sizes against ImageMagick's, pixels against the
// reference photo library's, for every input kind and output format.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "TestUtil.h"
#include "batch/ResizeGeometry.h"
#include "cli/CliRun.h"
#include "low/Errors.h"

using namespace quenlo;
using namespace quenlo::test;
using ::testing::HasSubstr;

namespace {

std::string Capture(const std::string& command) {
    std::string text;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
        ::pclose(p);
    }
    return text;
}

bool Have(const char* command) { return std::system((std::string(command) + " >/dev/null 2>&1").c_str()) == 0; }

bool HavePillow() { return Have("/usr/bin/python3 -c 'import PIL'"); }

}  // namespace

TEST(ResizeGeometry, SizesMatchImageMagick) {
    struct Case {
        int w, h;
        const char* geometry;
    };
    const Case cases[] = {
        {100, 51, "37"},       {100, 51, "x37"},      {100, 51, "100x"},     {100, 51, "13x7"},     {100, 51, "50%"},
        {100, 51, "50x25%"},   {100, 51, "x50%"},     {100, 51, "33.3%"},    {100, 51, "200x200>"}, {100, 51, "80x80>"},
        {100, 51, "50x50<"},   {100, 51, "150x150<"}, {100, 51, "40x40^"},   {100, 51, "40^"},      {100, 51, "x40^"},
        {100, 51, "30x30!"},   {100, 51, "30!"},      {100, 51, "x30!"},     {100, 51, "1000x1"},   {100, 51, "1x1^"},
        {10, 51, "1x1000^"},   {10, 51, "99x>"},      {10, 51, "101x<"},     {10, 51, "200%>"},     {10, 51, "5%"},
        {600, 400, "160x160"}, {400, 600, "160x160"}, {1, 1, "7x3"}, {3, 7001, "x5"}, {7001, 3, "256x256"},
    };
    if (!Have("convert -version")) GTEST_SKIP() << "ImageMagick's convert is missing: no reference sizes";
    std::string command = "convert";
    for (const Case& c : cases)
        command += " \\( -size " + std::to_string(c.w) + "x" + std::to_string(c.h) + " xc:red -resize '" + c.geometry + "' \\)";
    std::istringstream sizes(Capture(command + " -format '%wx%h\\n' info: 2>&1"));
    for (const Case& c : cases) {
        std::string expected;
        std::getline(sizes, expected);
        const auto [w, h] = ResizedSize(ParseResizeGeometry(c.geometry), c.w, c.h);
        EXPECT_EQ(std::to_string(w) + "x" + std::to_string(h), expected) << c.w << "x" << c.h << " " << c.geometry;
    }
}

TEST(ResizeGeometry, RefusesWhatIsNoSize) {
    for (const char* bad : {"", "x", "0x10", "10x0", "-5", "1.5x2", "10x10<>", "10y10", "10x10%%?", "abc", "0%"})
        EXPECT_THROW(ParseResizeGeometry(bad), EQuenlo) << bad;
    // A scale that leaves no pixel is refused for the image, not at parse time.
    EXPECT_THROW(ResizedSize(ParseResizeGeometry("1%"), 10, 51), EInvalidImageSize);
    EXPECT_THROW(ResizedSize(ParseResizeGeometry("100000000000x"), 10, 51), EInvalidImageSize);
}

TEST(Resize, CommandLineRefusesBadCombinations) {
    TempDir dir;
    WritePair(dir / "a", 5, 3, 1);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--resize", "10x10", "--thumbnail", "5x5"}, {"--filter", "box"}, {"--resize", "ten"},
          {"--thumbnail", "10x10!"}, {"--thumbnail", "10x10^"}, {"--resize", "10", "--filter", "sharp"}}) {
        std::vector<std::string> all = args;
        all.push_back(dir / "a.ipr");
        const CliRun r = RunConvert(all);
        EXPECT_EQ(r.status, 2) << args[0] << " " << args[1];
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "a.bmp"));
}

// Each input kind, into each format, resized by each filter, against what
// the reference gives for the same source pixels; and thumbnails of JPEGs
// whose sizes call for each decoding scale, against its thumbnail().
TEST(Resize, PixelsMatchTheReferenceForEveryInputAndFormat) {
    if (!HavePillow()) GTEST_SKIP() << "python3-pil is missing: no reference to compare with";
    TempDir dir;
    WritePair(dir / "pair", 301, 203, 5);
    WriteText(dir / "make.py", R"(import sys
from PIL import Image
d = sys.argv[1]
src = Image.frombytes('RGB', (301, 203), open(d + '/pair.rgb', 'rb').read())
src.save(d + '/in.bmp'); src.save(d + '/in.png'); src.save(d + '/in.jpg', quality=92)
open(d + '/headerless.dat', 'wb').write(src.tobytes())
src.save(d + '/oriented.tif', tiffinfo={274: 6})
for w, h in [(1001, 777), (640, 480), (97, 1203), (2048, 129)]:
    src.resize((w, h), Image.Resampling.BICUBIC).save('%s/j%dx%d.jpg' % (d, w, h), quality=90)
)");
    ASSERT_EQ(std::system(("/usr/bin/python3 " + dir / "make.py" + " " + dir.str()).c_str()), 0);
    // Lines "output source filter|thumb WxH": what to check.
    std::ostringstream checks;
    const char* const inputs[] = {"pair.ipr", "headerless.dat", "in.bmp", "in.png", "in.jpg"};
    const char* const formats[] = {"bmp", "png", "tiff"};
    const char* const filters[] = {"nearest", "box", "bilinear", "bicubic", "lanczos"};
    const char* const geometries[] = {"97x1000", "700x700", "5x3!", "1x1"};
    int n = 0;
    for (const char* input : inputs)
        for (int f = 0; f < 5; ++f) {
            const std::string out = dir / ("o" + std::to_string(n++));
            const char* format = formats[n % 3];
            const char* geometry = geometries[n % 4];
            const CliRun r = RunConvert({"-q", "--raw-size", "301x203", "--raw-ext", "dat", "--format", format,
                                         "--resize", geometry, "--filter", filters[f], "-o", out, dir / input});
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string name = std::string(input).substr(0, std::string(input).find('.'));
            const auto [w, h] = ResizedSize(ParseResizeGeometry(geometry), 301, 203);
            checks << out << "/" << name << (format[0] == 't' ? ".tif" : std::string(".") + format) << " " << input
                   << " " << filters[f] << " " << w << "x" << h << "\n";
        }
    // Turned upright first: the resize of the upright image.
    ASSERT_EQ(RunConvert({"-q", "--auto-orient", "-o", dir / "upright", dir / "oriented.tif"}).status, 0);
    ASSERT_EQ(RunConvert({"-q", "--auto-orient", "--resize", "50%", "--filter", "bicubic", "-o", dir / "turned",
                          dir / "oriented.tif"}).status, 0);
    checks << dir / "turned/oriented.bmp upright/oriented.bmp bicubic 102x151\n";
    for (const char* jpeg : {"j1001x777.jpg", "j640x480.jpg", "j97x1203.jpg", "j2048x129.jpg", "in.jpg"})
        for (const char* box : {"256x256", "100x60", "30x30", "1000x1000"}) {
            const std::string out = dir / ("t" + std::to_string(n++));
            ASSERT_EQ(RunConvert({"-q", "--thumbnail", box, "-o", out, dir / jpeg}).status, 0);
            checks << out << "/" << std::string(jpeg).substr(0, std::string(jpeg).size() - 4) << ".bmp " << jpeg
                   << " thumb " << box << "\n";
        }
    WriteText(dir / "checks.txt", checks.str());
    WriteText(dir / "check.py", R"(import sys
from PIL import Image
d = sys.argv[1]
for line in open(d + '/checks.txt'):
    out, src, how, size = line.split()
    if src.endswith(('.ipr', '.dat')):
        im = Image.frombytes('RGB', (301, 203), open(d + '/pair.rgb', 'rb').read())
    else:
        im = Image.open(d + '/' + src)
    ours = Image.open(out).convert('RGB')
    if how == 'thumb':
        im.thumbnail(tuple(int(v) for v in size.split('x')))
    else:
        im = im.convert('RGB').resize(tuple(int(v) for v in size.split('x')), getattr(Image.Resampling, how.upper()))
    if im.size != ours.size or im.tobytes() != ours.tobytes():
        print(line.strip(), 'differs:', im.size, ours.size)
)");
    const std::string differences = Capture("/usr/bin/python3 " + dir / "check.py" + " " + dir.str() + " 2>&1");
    EXPECT_EQ(differences, "");
}

TEST(Resize, SizesFollowTheGeometryAndReportTheResult) {
    TempDir dir;
    WritePair(dir / "a", 301, 203, 5);
    const std::string report = dir / "r.jsonl";
    ASSERT_EQ(RunConvert({"-q", "--resize", "50%", "--report", report, "-o", dir / "out", dir / "a.ipr"}).status, 0);
    const std::vector<uint8_t> lines = ReadBytes(report);
    EXPECT_THAT(std::string(lines.begin(), lines.end()), HasSubstr("\"width\":151,\"height\":102"));
    const std::vector<uint8_t> bmp = ReadBytes(dir / "out/a.bmp");
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp[18] | bmp[19] << 8, 151);
    EXPECT_EQ(bmp[22] | bmp[23] << 8, 102);
    // A thumbnail never enlarges: the image is written as it is.
    ASSERT_EQ(RunConvert({"-q", "--thumbnail", "1000x1000", "-o", dir / "t", dir / "a.ipr"}).status, 0);
    ASSERT_EQ(RunConvert({"-q", "-o", dir / "plain", dir / "a.ipr"}).status, 0);
    EXPECT_EQ(ReadBytes(dir / "t/a.bmp"), ReadBytes(dir / "plain/a.bmp"));
}

TEST(Resize, APlanRecordsTheResize) {
    TempDir dir;
    WritePair(dir / "a", 301, 203, 5);
    ASSERT_EQ(RunConvert({"-q", "--thumbnail", "40x40", "--filter", "box", "-o", dir / "direct", dir / "a.ipr"}).status, 0);
    ASSERT_EQ(RunConvert({"--plan-shards", "1", "--plan-dir", dir / "plan", "--thumbnail", "40x40", "--filter", "box",
                          "-o", dir / "planned", dir / "a.ipr"}).status, 0);
    const CliRun r = RunConvert({"-q", "--plan", dir / "plan/1-of-1.plan"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(dir / "planned/a.bmp"), ReadBytes(dir / "direct/a.bmp"));
    EXPECT_EQ(RunConvert({"-q", "--plan", dir / "plan/1-of-1.plan", "--filter", "lanczos"}).status, 2);
}

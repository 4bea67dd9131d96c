#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "cli/ConvertCli.h"
#include "batch/BatchPlan.h"
#include "cli/Progress.h"
#include "imageio/BmpWriter.h"
#include "imageio/VlxIo.h"

using namespace quenlo;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace quenlo::test;
namespace fs = std::filesystem;

namespace {

size_t CountLines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

}  // namespace

TEST(OutputNames, FolderPlusFileNameWithBmpExtension) {
    EXPECT_EQ(OutputNameFor("/in/a.ipr", "/out/"), "/out/a.bmp");
    EXPECT_EQ(OutputNameFor("/in/a.ipr", ""), "/in/a.bmp");
    EXPECT_EQ(OutputNameFor("/in.d/b", "/out/"), "/out/b.bmp");
    EXPECT_EQ(OutputNameFor("/in/c.x.JPG", ""), "/in/c.x.bmp");
}

TEST(ConvertCli, ConvertsIntoACreatedFolderWithOrWithoutTrailingSeparator) {
    TempDir dir;
    WritePair(dir / "a", 5, 3, 1);
    WritePair(dir / "b", 7, 2, 2);
    for (std::string outDir : {dir / "out/deep", dir / "out2/deep/"}) {
        const CliRun r = RunConvert({"-q", "-o", outDir, dir / "a.ipr", dir / "b.rgb"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        for (const char* base : {"a", "b"}) {
            auto m = LoadImageFile(PixelKind::RGB, dir / (std::string(base) + ".ipr"));
            const std::string out = (fs::path(outDir) / (std::string(base) + ".bmp")).string();
            EXPECT_EQ(ReadBytes(out), EncodeBmp(static_cast<TPixelMapRGB&>(*m))) << out;
        }
    }
}

TEST(ConvertCli, WithoutAFolderOutputsGoBesideTheirSources) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 5);
    const CliRun r = RunConvert({"-j", "1", dir / "a.rgb"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(dir / "a.bmp"));
}

TEST(ConvertCli, StopsAtAFailedLoadUnlessKeepGoing) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 5);
    WriteText(dir / "bad.ipr", "4 4 0 0");  // its .rgb is missing
    WritePair(dir / "c", 3, 3, 9);
    CliRun r = RunConvert({"-j", "1", "-o", dir / "out", dir / "a.ipr", dir / "bad.ipr", dir / "c.ipr"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::exists(dir / "out/a.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out/bad.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out/c.bmp"));
    EXPECT_THAT(r.err, HasSubstr("bad.ipr: ファイルが見つかりません"));

    r = RunConvert({"-j", "2", "--keep-going", "-o", dir / "out", dir / "a.ipr", dir / "bad.ipr", dir / "c.ipr",
                 dir / "nothing.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::exists(dir / "out/c.bmp"));
    EXPECT_EQ(CountLines(r.err), 2u) << r.err;  // one line per failure, nothing else off a terminal
    EXPECT_THAT(r.err, HasSubstr("nothing.jpg"));
}

TEST(ConvertCli, SaveFailuresAreReportedAndTheBatchGoesOn) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 5);
    WriteText(dir / "odd.psd", "not an image we read");
    WritePair(dir / "c", 3, 3, 9);
    const CliRun r = RunConvert({"-o", dir / "out", dir / "odd.psd", dir / "a.ipr", dir / "c.ipr"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "out/odd.bmp"));  // never a 0-byte .bmp
    EXPECT_TRUE(fs::exists(dir / "out/a.bmp"));
    EXPECT_TRUE(fs::exists(dir / "out/c.bmp"));
    EXPECT_THAT(r.err, HasSubstr("unsupported file type"));
}

TEST(ConvertCli, SkipExistingLeavesOutputsAlone) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 5);
    WritePair(dir / "b", 3, 3, 6);
    fs::create_directories(dir / "out");
    WriteText(dir / "out/a.bmp", "keep me");
    CliRun r = RunConvert({"--skip-existing", "-o", dir / "out", dir / "a.ipr", dir / "b.ipr"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadBytes(dir / "out/a.bmp").size(), 7u);
    EXPECT_TRUE(fs::exists(dir / "out/b.bmp"));
    r = RunConvert({"-o", dir / "out", dir / "a.ipr"});  // the default overwrites
    EXPECT_GT(ReadBytes(dir / "out/a.bmp").size(), 7u);
}

TEST(ConvertCli, ParallelRunsGiveTheSameFiles) {
    TempDir dir;
    std::vector<std::string> args = {"-o", dir / "one", "-j", "1"};
    for (int i = 0; i < 12; ++i) {
        WritePair(dir / ("p" + std::to_string(i)), 11 + i, 5 + i % 3, static_cast<uint8_t>(i));
        args.push_back(dir / ("p" + std::to_string(i) + ".ipr"));
    }
    EXPECT_EQ(RunConvert(args).status, 0);
    args[1] = dir / "four";
    args[3] = "4";
    EXPECT_EQ(RunConvert(args).status, 0);
    for (int i = 0; i < 12; ++i) {
        const std::string name = "p" + std::to_string(i) + ".bmp";
        EXPECT_EQ(ReadBytes(dir / ("one/" + name)), ReadBytes(dir / ("four/" + name)));
    }
}

TEST(ConvertCli, UsageErrorsHelpAndVersion_UsageErrorsExitWith2) {
    EXPECT_EQ(RunConvert({}).status, 2);
    EXPECT_EQ(RunConvert({"--no-such-flag", "x.ipr"}).status, 2);
    EXPECT_EQ(RunConvert({"-j", "0", "x.ipr"}).status, 2);
}

TEST(ConvertCli, UsageErrorsHelpAndVersion_HelpListsTheOptions) {
    const CliRun help = RunConvert({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("--keep-going"));
}

TEST(ConvertCli, UsageErrorsHelpAndVersion_VersionNamesTheProgram) {
    const CliRun version = RunConvert({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.out, StartsWith("quenlo-convert "));
}

TEST(ConvertCli, AnUncreatableFolderConvertsNothing) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 5);
    WriteText(dir / "file", "a file where the folder should go");
    for (const std::string& out : {dir / "file/sub", dir / "loop/sub"}) {
        if (out == dir / "loop/sub") fs::create_symlink("loop", dir / "loop");  // cannot even be checked
        const CliRun r = RunConvert({"-o", out, dir / "a.ipr"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "quenlo-convert: Cannot create " + out + "\n");
    }
}

// The real program in the reader's language, on stderr and in the report:
// English in the C locale, the Japanese text in a Japanese one.
TEST(ConvertCli, SaysAMissingFileInTheLocalesLanguage) {
    TempDir dir;
    for (const auto& [locale, text] : {std::pair{"C", "File not found"}, {"ja_JP.UTF-8", "ファイルが見つかりません"}}) {
        SCOPED_TRACE(locale);
        if (const locale_t installed = ::newlocale(LC_ALL_MASK, locale, nullptr)) ::freelocale(installed);
        else GTEST_SKIP() << locale << " is not installed (make test installs it)";
        const std::string command = "cd " + dir.str() + " && env -u LANGUAGE LC_ALL=" + locale + " " QUENLO_BINARY_DIR
                                    "/bin/quenlo-convert -q --report r.jsonl missing.jpg 2>err";
        EXPECT_EQ(std::system(command.c_str()) >> 8, 1);
        const std::vector<uint8_t> err = ReadBytes(dir / "err");
        EXPECT_EQ(std::string(err.begin(), err.end()), std::string("quenlo-convert: missing.jpg: ") + text + "\n");
        std::ifstream report(dir / "r.jsonl");
        std::string line;
        std::getline(report, line);
        EXPECT_EQ(nlohmann::json::parse(line)["error"], text);
    }
}

TEST(Progress, RendersCountRatesAndEta) {
    EXPECT_EQ(TProgress::Render(12, 340, 3'000'000, 2.0, 10), "[          ] 12 of 340  6.0 files/s  1.5 MB/s  ETA 0:55");
    EXPECT_EQ(TProgress::Render(5, 10, 0, 1.0, 10), "[#####     ] 5 of 10  5.0 files/s  0.0 MB/s  ETA 0:01");
    EXPECT_EQ(TProgress::Render(0, 0, 0, 0.0, 4), "[####] 0 of 0  0.0 files/s  0.0 MB/s");
    EXPECT_EQ(TProgress::Render(0, 1000, 0, 0.0, 4), "[    ] 0 of 1000  0.0 files/s  0.0 MB/s");
}

// Batches at scale: trees, name lists, reports, shards and headerless raw data.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>

#include "FaultUtil.h"
#include "batch/BatchPlan.h"
#include "TestUtil.h"
#include "cli/CliRun.h"
#include "cli/ConvertCli.h"

using namespace quenlo;
using ::testing::HasSubstr;
using namespace quenlo::test;
namespace fs = std::filesystem;
using nlohmann::json;

extern char** environ;

namespace {

CliRun Convert(std::vector<std::string> args) {
    args.insert(args.begin(), "-q");
    return RunConvert(std::move(args));
}

std::vector<json> ReadReport(const std::string& name) {
    std::ifstream f(name);
    std::vector<json> lines;
    for (std::string line; std::getline(f, line);) lines.push_back(json::parse(line));
    return lines;
}

// in/x, in/a/y, in/a/b/z pairs, a link from in/a/b back to in, and a fifo.
struct Tree {
    TempDir dir;
    Tree() {
        fs::create_directories(dir / "in/a/b");
        WritePair(dir / "in/x", 5, 3, 1);
        WritePair(dir / "in/a/y", 7, 2, 2);
        WritePair(dir / "in/a/b/z", 3, 3, 3);
        WritePair(dir / "in/a b", 3, 1, 4);  // sorts before the folder a
        fs::create_symlink("../..", dir / "in/a/b/up");
        ::mkfifo((dir / "in/a/pipe.bmp").c_str(), 0600);
    }
};

}  // namespace

TEST(BatchJobs, ATreeIsMirroredOnceEachInPathOrderAndLoopsAreSkipped) {
    Tree t;
    const CliRun r = Convert({"-r", "-o", t.dir / "out", "--report", t.dir / "r.jsonl", t.dir / "in"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("in/a/b/up: skipped: a link to a folder above it"));
    EXPECT_THAT(r.err, HasSubstr("in/a/pipe.bmp: skipped: not a regular file"));
    FolderSnapshot out = Snapshot(t.dir / "out");
    std::vector<std::string> names;
    for (const auto& [name, bytes] : out)
        if (!name.ends_with("/")) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"a b.bmp", "a/b/z.bmp", "a/y.bmp", "x.bmp"}));

    std::vector<std::string> converted;
    for (const json& line : ReadReport(t.dir / "r.jsonl"))
        if (line.value("status", "") == "converted") converted.push_back(line["input"]);
    const std::string in = t.dir / "in/";
    EXPECT_EQ(converted, (std::vector<std::string>{in + "a b.ipr", in + "a/b/z.ipr", in + "a/y.ipr", in + "x.ipr"}));

    // Without -o, beside each source.
    EXPECT_EQ(Convert({"-r", t.dir / "in/a"}).status, 0);
    EXPECT_EQ(Snapshot(t.dir / "in/a").at("b/z.bmp"), out.at("a/b/z.bmp"));
}

TEST(BatchJobs, NameListsTakeAnyNameAndFolders) {
    TempDir dir;
    const std::vector<std::string> bases = {"with space", "with\nnewline", "plain"};
    std::string nul, lines;
    for (const std::string& base : bases) {
        WritePair(dir / base, 3, 2, static_cast<uint8_t>(base.size()));
        nul += dir / (base + ".rgb") + '\0';
        if (base.find('\n') == std::string::npos) lines += dir / (base + ".ipr") + "\n\n";
    }
    WriteText(dir / "nul.list", nul);
    WriteText(dir / "lines.list", lines);
    const CliRun r = Convert({"--files-from", dir / "nul.list", "-0", "-o", dir / "nul"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Snapshot(dir / "nul").size(), 3u);
    EXPECT_EQ(Convert({"--files-from", dir / "lines.list", "-o", dir / "lines"}).status, 0);
    EXPECT_EQ(Snapshot(dir / "lines").size(), 2u);
    EXPECT_EQ(Convert({"-0", dir / "plain.ipr"}).status, 2);
    EXPECT_EQ(Convert({"--files-from", dir / "absent.list"}).status, 1);
}

TEST(BatchJobs, ShardsSplitTheBatchWithoutOverlap) {
    Tree t;
    for (int i = 0; i < 12; ++i) WritePair(t.dir / ("in/a/n" + std::to_string(i)), 3, 1 + i % 4, static_cast<uint8_t>(i));
    ASSERT_EQ(Convert({"-r", "-o", t.dir / "all", t.dir / "in"}).status, 0);
    FolderSnapshot all = Snapshot(t.dir / "all"), joined;
    for (int k = 1; k <= 3; ++k) {
        std::string out = t.dir / "s";
        out += std::to_string(k);
        ASSERT_EQ(Convert({"-r", "-o", out, "--shard", std::to_string(k) + "/3", t.dir / "in"}).status, 0);
        const FolderSnapshot part = Snapshot(out);
        EXPECT_LT(part.size(), all.size());
        for (const auto& [name, bytes] : part)
            if (!name.ends_with("/")) {
                EXPECT_TRUE(joined.emplace(name, bytes).second) << name << " twice";
            }
    }
    std::erase_if(all, [](const auto& file) { return file.first.ends_with("/"); });
    EXPECT_EQ(joined, all);
    for (const char* bad : {"0/3", "4/3", "1/0", "x"}) EXPECT_EQ(Convert({"--shard", bad, t.dir / "in/x.ipr"}).status, 2);
}

// The plan holds its items packed: what it spells out is what was planned,
// also for a pair whose partner differs in more than its extension's case,
// and for a refusal naming an input that another shard converts.
TEST(BatchJobs, APackedPlanSpellsOutWhatWasPlanned) {
    TempDir dir;
    const std::string in = dir / "in/", out = dir / "out/";
    fs::create_directories(in);
    fs::create_directories(out);
    WritePair(in + "m", 3, 1, 1);
    fs::rename(in + "m.rgb", in + "m.RgB");
    WriteText(in + "Q.ipr", "1 1 0 0");
    WriteText(in + "q.rgb", "abc");
    fs::copy_file(QUENLO_SOURCE_DIR "/samples/palette.bmp", in + "k.bmp");
    // y's output is a link to k.bmp, and the two outputs are in different shards.
    std::string y = "y";
    while (ShardOf(out + y + ".bmp", out, 2) == ShardOf(out + "k.bmp", out, 2)) y += "y";
    fs::copy_file(QUENLO_SOURCE_DIR "/samples/harbour-photo.jpg", in + y + ".jpg");
    fs::create_symlink("../in/k.bmp", out + y + ".bmp");
    const std::vector<std::string> inputs = {in + "m.ipr", in + "Q.ipr", in + "k.bmp", in + y + ".jpg"};
    const std::string refusal = "would replace " + in + "k.bmp, which this batch also reads";
    const BatchItem expected[] = {{in + "m.ipr", out + "m.bmp", "", in + "m.ipr", in + "m.RgB"},
                                  {in + "Q.ipr", out + "Q.bmp", "", in + "Q.ipr", in + "q.rgb"},
                                  {in + "k.bmp", out + "k.bmp", "", "", ""},
                                  {in + y + ".jpg", out + y + ".bmp", refusal, "", ""}};
    auto same = [](const BatchItem& a, const BatchItem& b) {
        return std::tie(a.input, a.output, a.refusal, a.ipr, a.rgb) == std::tie(b.input, b.output, b.refusal, b.ipr, b.rgb);
    };
    const TBatchPlan all = PlanBatch(inputs, out);
    ASSERT_EQ(all.Size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(same(all.Item(i), expected[i])) << i << " " << all.Item(i).refusal;
    PlanOptions options;
    options.outputDir = out;
    options.shards = 2;
    options.shard = ShardOf(out + y + ".bmp", out, 2);
    const TBatchPlan part = PlanBatch(ListSource(inputs), options);
    size_t found = 0;
    for (size_t i = 0; i < part.Size(); ++i) found += same(part.Item(i), expected[3]);
    EXPECT_EQ(found, 1u);
    EXPECT_LT(part.Size(), 4u);
}

TEST(BatchJobs, HeaderlessRawDataMatchesTheSamePixelsInAPair) {
    TempDir dir;
    WritePair(dir / "p", 5, 3, 9);
    std::vector<uint8_t> rgb = ReadBytes(dir / "p.rgb"), bgr = rgb;
    for (size_t i = 0; i < bgr.size(); i += 3) std::swap(bgr[i], bgr[i + 2]);
    WriteBytes(dir / "d.raw", rgb);
    WriteBytes(dir / "e.raw", bgr);
    ASSERT_EQ(Convert({"-o", dir / "pair", dir / "p.ipr"}).status, 0);
    ASSERT_EQ(Convert({"--raw-size", "5x3", "--raw-ext", "raw", "-o", dir / "o", dir / "d.raw"}).status, 0);
    ASSERT_EQ(Convert({"--raw-size", "5x3", "--raw-ext", ".RAW", "--raw-order", "bgr", "-o", dir / "o", dir / "e.raw"}).status, 0);
    EXPECT_EQ(ReadBytes(dir / "o/d.bmp"), ReadBytes(dir / "pair/p.bmp"));
    EXPECT_EQ(ReadBytes(dir / "o/e.bmp"), ReadBytes(dir / "pair/p.bmp"));
    for (const char* bad : {"0x3", "5x", "70000x70000"})
        EXPECT_EQ(Convert({"--raw-size", bad, dir / "d.raw"}).status, 2) << bad;
    EXPECT_EQ(Convert({"--raw-order", "bgr", dir / "p.ipr"}).status, 2);
}

// The real program killed while it writes: every line it left is a whole object.
TEST(BatchJobs, AReportKilledMidRunHoldsWholeLines) {
    const std::string program = QUENLO_BINARY_DIR "/bin/quenlo-convert";
    TempDir dir;
    WritePair(dir / "a", 5, 3, 1);
    WritePair(dir / "b", 3, 2, 2);
    WriteText(dir / "c.ipr", "8000 6000 0 0");
    fs::resize_file((WriteText(dir / "c.rgb", ""), dir / "c.rgb"), 8000ull * 6000 * 3);  // sparse: reads fast
    const std::string report = dir / "r.jsonl", a = dir / "a.ipr", b = dir / "b.ipr", c = dir / "c.ipr";
    const char* argv[] = {program.c_str(), "-q", "-j1", "--report", report.c_str(), a.c_str(), b.c_str(), c.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto lineCount = [&] {
        const std::vector<uint8_t> bytes = ReadBytes(report);
        return std::count(bytes.begin(), bytes.end(), '\n');
    };
    while (lineCount() < 2 && std::chrono::steady_clock::now() < deadline) {}
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    const std::vector<json> lines = ReadReport(report);  // throws on a torn line
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0]["input"], a);
    EXPECT_EQ(lines[0]["status"], "converted");
    EXPECT_EQ(lines[0]["width"], 5);
    EXPECT_EQ(lines[0]["bytes"], 54 + 3 * 16);
    EXPECT_EQ(lines[1]["input"], b);
    EXPECT_FALSE(lines.back().contains("summary")) << "the big file was not caught in progress";

    // Run to the end, the report closes with its summary.
    const CliRun r = Convert({"--report", report, a, dir / "gone.ipr", b});
    const std::vector<json> done = ReadReport(report);
    ASSERT_EQ(done.size(), 4u) << r.err;
    EXPECT_EQ(done[1]["status"], "failed");
    EXPECT_EQ(done[2]["status"], "not-reached");
    EXPECT_EQ(done[3]["converted"], 1);
    EXPECT_EQ(done[3]["not-reached"], 1);
}

TEST(BatchJobs, AReportThatCannotBeWrittenFailsTheRun) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    TempDir dir;
    WritePair(dir / "a", 5, 3, 1);
    const CliRun r = Convert({"--report", "/dev/full", dir / "a.ipr"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("cannot write the report /dev/full"));
    EXPECT_TRUE(fs::exists(dir / "a.bmp"));  // the images themselves are fine
}

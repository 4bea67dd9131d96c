// A batch planned once into shard files: each shard reads only its own file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "FaultUtil.h"
#include "TestUtil.h"
#include "batch/ShardPlan.h"
#include "cli/CliRun.h"

using namespace quenlo;
using namespace quenlo::test;
namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

std::string ReadText(const std::string& name) {
    const std::vector<uint8_t> bytes = ReadBytes(name);
    return {bytes.begin(), bytes.end()};
}

CliRun Convert(std::vector<std::string> args) {
    args.insert(args.begin(), "-q");
    return RunConvert(std::move(args));
}

// A tree whose batch has every clash the plan decides: a pair listed again,
// two inputs with one output, and an output over an input whose own output
// is elsewhere (so it may be in another shard).
struct ClashTree {
    TempDir root;
    std::string in = root / "in/", out = root / "out/";
    ClashTree() {
        for (const char* d : {"a", "b", "sub"}) fs::create_directories(in + d);
        fs::create_directories(out + "sub");
        for (int i = 0; i < 9; ++i) WritePair(in + "n" + std::to_string(i), 3 + i % 3, 2, static_cast<uint8_t>(i));
        WritePair(in + "m", 5, 3, 20);
        WritePair(in + "a/y", 3, 3, 21);
        WritePair(in + "b/y", 5, 1, 22);
        WritePair(in + "sub/z", 3, 1, 23);
        fs::copy_file(QUENLO_SOURCE_DIR "/samples/palette.bmp", out + "sub/z.bmp");
    }
    std::vector<std::string> Args() const {
        return {"-r", "-o", out, in, in + "m.rgb", in + "a/y.ipr", in + "b/y.ipr", out + "sub/z.bmp"};
    }
};

// Each input's report line, with the tree's own folder taken out.
using Line = std::tuple<std::string, std::string, std::string, std::string>;
void AddReport(const std::string& name, const std::string& root, std::multiset<Line>& lines) {
    std::ifstream f(name);
    auto strip = [&](std::string s) {
        for (size_t at; (at = s.find(root)) != std::string::npos;) s.erase(at, root.size());
        return s;
    };
    for (std::string text; std::getline(f, text);) {
        const auto line = nlohmann::json::parse(text);
        if (line.contains("input"))
            lines.emplace(strip(line["input"]), strip(line["output"]), line["status"], strip(line["error"]));
    }
}

}  // namespace

TEST(ShardPlan, ShardsOfAPlanDoWhatOneRunDoes) {
    ClashTree one, split;
    std::vector<std::string> args = one.Args();
    args.insert(args.end(), {"--report", one.root / "r.jsonl"});
    const CliRun whole = Convert(args);
    EXPECT_EQ(whole.status, 1) << whole.err;  // two refusals

    args = split.Args();
    args.insert(args.end(), {"--plan-shards", "3", "--plan-dir", split.root / "plan"});
    ASSERT_EQ(Convert(args).status, 0);
    std::multiset<Line> wholeLines, splitLines;
    AddReport(one.root / "r.jsonl", one.root.str(), wholeLines);
    std::map<std::string, int> shardOf;  // output -> the shard that has it
    for (int k = 1; k <= 3; ++k) {
        const std::string plan = split.root / ("plan/" + std::to_string(k) + "-of-3.plan");
        TShardPlanFile file(plan);
        EXPECT_EQ(file.Shard(), k - 1);
        const InputSource items = file.Source();
        for (PlanInput item; items(item);) {
            const auto [at, fresh] = shardOf.emplace(OutputNameFor(item.name, split.out, item.subdir), k);
            EXPECT_TRUE(fresh || at->second == k) << item.name << " shares its output with another shard";
        }
        const std::string report = split.root.str() + "/r" + std::to_string(k) + ".jsonl";
        const CliRun shard = Convert({"--plan", plan, "--report", report});
        EXPECT_LE(shard.status, 1) << shard.err;
        AddReport(report, split.root.str(), splitLines);
    }
    EXPECT_EQ(splitLines, wholeLines);
    EXPECT_EQ(wholeLines.size(), 16u);  // in/m.rgb is in.m.ipr again
    EXPECT_EQ(Snapshot(split.out), Snapshot(one.out));
}

TEST(ShardPlan, AShardTakesOnlyThePlansOptionsAndAnUndamagedPlan) {
    ClashTree t;
    const std::string plan = t.root / "plan/1-of-1.plan";
    ASSERT_EQ(Convert({"--plan-shards", "1", "--plan-dir", t.root / "plan", "--format", "png", "-o", t.out, t.in + "m.ipr"}).status, 0);
    const std::string text = ReadText(plan);
    EXPECT_THAT(ReadText(t.root / "plan/plan.json"), HasSubstr("\"--format=png\""));
    std::string edited = text;
    edited[edited.find("m.ipr")] = 'M';
    WriteText(t.root / "truncated.plan", text.substr(0, text.size() / 2));
    WriteText(t.root / "edited.plan", edited);
    WriteText(t.root / "empty.plan", "");
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"--plan", plan, "--format", "bmp"}, 2, "--format=bmp differs from the plan's --format=png"},
        {{"--plan", plan, "-o", t.root / "other"}, 2, "differs from the plan's --output="},
        {{"--plan", plan, "--raw-size", "2x2"}, 2, "--raw-size (not given)"},
        {{"--plan", plan, "-r"}, 2, "takes its inputs"},
        {{"--plan", plan, "--report", plan}, 2, "is the plan"},
        {{"--plan", t.root / "truncated.plan"}, 1, "is damaged"},
        {{"--plan", t.root / "edited.plan"}, 1, "is damaged"},
        {{"--plan", t.root / "empty.plan"}, 1, "is damaged"},
        {{"--plan", t.root.str()}, 1, "is not a file"},
        {{"--plan-shards", "2", t.in + "m.ipr"}, 2, "go together"},
    };
    for (const auto& c : cases) {
        const CliRun r = Convert(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1];
        EXPECT_THAT(r.err, HasSubstr(c.says));
        EXPECT_FALSE(fs::exists(t.out + "m.png")) << c.args[1];
    }
    // Given again the same, with a flag added: it runs.
    EXPECT_EQ(Convert({"--plan", plan, "--format", "png", "--skip-existing"}).status, 0);
    EXPECT_TRUE(fs::exists(t.out + "m.png"));
}

TEST(ShardPlan, AShardEncodesWithThePlansFormatOptions) {
    ClashTree t;
    const std::vector<std::string> encoding = {"--format", "jpg", "--quality", "37", "--jpeg-subsampling", "444",
                                               "--progressive", "--background", "#2080c0", "--icc", "strip", "--auto-orient"};
    std::vector<std::string> args = {"--plan-shards", "1", "--plan-dir", t.root / "plan", "-o", t.out, t.in + "m.ipr"};
    args.insert(args.end(), encoding.begin(), encoding.end());
    ASSERT_EQ(Convert(args).status, 0);
    ASSERT_EQ(Convert({"--plan", t.root / "plan/1-of-1.plan"}).status, 0);
    args = {"-o", t.root / "direct", t.in + "m.ipr"};
    args.insert(args.end(), encoding.begin(), encoding.end());
    ASSERT_EQ(Convert(args).status, 0);
    EXPECT_EQ(ReadBytes(t.out + "m.jpg"), ReadBytes(t.root / "direct/m.jpg"));
    const CliRun other = Convert({"--plan", t.root / "plan/1-of-1.plan", "--quality", "90"});
    EXPECT_EQ(other.status, 2);
    EXPECT_THAT(other.err, HasSubstr("--quality=90 differs from the plan's --quality=37"));
}

// Output names from a pattern, and what an output that is taken gets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "TestUtil.h"
#include "batch/BatchPlan.h"
#include "batch/ItemLoader.h"
#include "batch/NamePattern.h"
#include "cli/CliRun.h"
#include "low/Errors.h"

using namespace quenlo;
using namespace quenlo::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

TEST(NamePattern, FieldsAndFaults) {
    const struct {
        const char* pattern;
        const char* expected;  // or the fault's words
    } cases[] = {
        {"{name}", "c.x"},  {"{n:3}_{name}.{ext}", "007_c.x.JPG"}, {"{date}-{w}x{h}", "2026-01-02-{w}x{h}"},
        {"{n}", "7"},       {"", "is empty"},  {"{size}", "unknown field {size}"}, {"{n:0}", "unknown field"},
        {"a/{name}", "folder separator"}, {"{name", "no } closes"}, {"x}", "no { opens"}, {"..", "names no file"},
    };
    NameFields fields;
    fields.fileName = "c.x.JPG";
    fields.n = 7;
    fields.date = "2026-01-02";
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(TNamePattern(c.pattern).Expand(fields), c.expected) << c.pattern;
        } catch (const EQuenlo& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.expected)) << c.pattern;
        }
    }
    fields.width = 40, fields.height = 30, fields.fileName = "noext";
    EXPECT_EQ(TNamePattern("{w}x{h}").Expand(fields), "40x30");
    EXPECT_EQ(TNamePattern("{ext}").Expand(fields), "");  // no name: the item is refused
    EXPECT_EQ(UnnumberedName(NumberedName("o/a (2).bmp", 12)), "o/a.bmp");
    EXPECT_EQ(UnnumberedName("o (1)/a(3) (x).bmp"), "o (1)/a(3) (x).bmp");
}

// Each row plans the inputs into out/, which holds `existing`; an output is
// its file name, or "!" and the refusal's code.
TEST(NamePattern, PlanDecidesClashes) {
    const struct {
        const char* pattern;
        ExistingOutput mode;
        std::vector<std::string> inputs, existing, expected;
    } cases[] = {
        {"{n:2}-{name}", ExistingOutput::Overwrite, {"a", "b", "a"}, {}, {"01-a.bmp", "02-b.bmp", "03-a.bmp"}},
        {"x", ExistingOutput::Overwrite, {"a", "b"}, {}, {"!clash", "x.bmp"}},
        {"x", ExistingOutput::Number, {"a", "b", "a"}, {"x.bmp"}, {"x (2).bmp", "x (3).bmp"}},
        // Another input's own name is not given as a number.
        {"{name}", ExistingOutput::Number, {"c", "c (2)", "c"}, {"c.bmp"}, {"c (3).bmp", "c (2).bmp"}},
        {"{ext}", ExistingOutput::Number, {"a"}, {}, {"ipr.bmp"}},
        {"{name}-{w}", ExistingOutput::Overwrite, {"a", "b"}, {}, {"a-{w}.bmp", "b-{w}.bmp"}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        fs::create_directories(dir / "out");
        for (const std::string& name : c.existing) WriteText(dir / ("out/" + name), "old");
        std::vector<std::string> inputs;
        for (const std::string& name : c.inputs) {
            if (!fs::exists(dir / (name + ".ipr"))) WritePair(dir / name, 3, 1, 1);
            inputs.push_back(dir / (name + ".ipr"));
        }
        PlanOptions options;
        options.outputDir = dir / "out";
        options.namePattern = c.pattern;
        options.existing = c.mode;
        const TBatchPlan plan = PlanBatch(ListSource(inputs), options);
        std::vector<std::string> got;
        for (size_t i = 0; i < plan.Size(); ++i) {
            const BatchItem item = plan.Item(i);
            got.push_back(item.refusal.empty() ? fs::path(item.output).filename().string() : std::string("!") + item.refusalCode);
        }
        EXPECT_EQ(got, c.expected) << c.pattern;
    }
}

// Numbered names agree whichever way the batch is split, and whatever -j;
// names completed by their sizes never replace what the batch reads.
TEST(NamePattern, CommandLineShardsAndSizes) {
    TempDir dir;
    std::vector<std::string> inputs;
    for (const char* name : {"a", "b", "c", "d", "e"}) {
        WritePair(dir / name, 5, 3, static_cast<uint8_t>(name[0]));
        inputs.push_back(dir / (std::string(name) + ".ipr"));
    }
    auto names = [&](const std::string& out) {
        std::set<std::string> found;
        for (const auto& f : fs::directory_iterator(dir / out)) found.insert(f.path().filename().string());
        return found;
    };
    std::vector<std::string> args = {"-q", "--name", "{n}{name}-x", "--if-exists", "number", "-o"};
    auto run = [&](std::vector<std::string> more) {
        more.insert(more.begin(), args.begin(), args.end());
        const CliRun r = RunConvert(more);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    std::vector<std::string> tail = {"-j", "3"};
    tail.insert(tail.end(), inputs.begin(), inputs.end());
    tail.insert(tail.end(), inputs.begin(), inputs.end());  // listed again: other numbers, other names
    std::vector<std::string> one = {dir / "one"};
    one.insert(one.end(), tail.begin(), tail.end());
    run(one);
    run(one);  // a second run numbers every name
    ASSERT_EQ(names("one").size(), 20u);
    std::vector<std::string> plan = {dir / "split", "--plan-shards", "3", "--plan-dir", dir / "plan"};
    plan.insert(plan.end(), tail.begin() + 2, tail.end());
    run(plan);
    for (int round = 0; round < 2; ++round)
        for (int k = 1; k <= 3; ++k) EXPECT_EQ(RunConvert({"-q", "--plan", dir / ("plan/" + std::to_string(k) + "-of-3.plan")}).status, 0);
    EXPECT_EQ(names("split"), names("one"));

    // q-5x3.bmp would be its own output once its size is known, and a.ipr's name is the same before it.
    ASSERT_EQ(RunConvert({"-q", "-o", dir.str(), dir / "a.ipr"}).status, 0);
    fs::rename(dir / "a.bmp", dir / "q-5x3.bmp");
    const std::vector<uint8_t> before = ReadBytes(dir / "q-5x3.bmp");
    const CliRun r = RunConvert({"-q", "-j", "2", "--keep-going", "--name", "q-{w}x{h}", dir / "a.ipr", dir / "q-5x3.bmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("its output is also the output of"));
    EXPECT_THAT(r.err, HasSubstr("which this batch also reads"));
    EXPECT_EQ(ReadBytes(dir / "q-5x3.bmp"), before);

    // A plan records --in-place, and its shard takes it.
    ASSERT_EQ(RunConvert({"-q", "--in-place", "--plan-shards", "1", "--plan-dir", dir / "p1", dir / "q-5x3.bmp"}).status, 0);
    EXPECT_EQ(RunConvert({"-q", "--plan", dir / "p1/1-of-1.plan"}).status, 0);

    // A plan of an earlier version is refused by name, not run.
    std::string text = "quenlo-plan 1\n1:1\n1:1\n1:0\n";
    char trailer[32];
    std::snprintf(trailer, sizeof trailer, "end %016llx\n", static_cast<unsigned long long>(StableHash(text)));
    WriteText(dir / "old.plan", text + trailer);
    EXPECT_THAT(RunConvert({"--plan", dir / "old.plan"}).err, HasSubstr("made by another version"));
}

// The window keeps each image under its output's name: the completed one.
TEST(NamePattern, KeptImageHasTheCompletedName) {
    TempDir dir;
    WritePair(dir / "a", 5, 3, 1);
    ASSERT_EQ(RunConvert({"-q", dir / "a.ipr"}).status, 0);
    PlanOptions options;
    options.outputDir = dir / "out";
    options.namePattern = "{name}-{w}x{h}";
    const TBatchPlan plan = PlanBatch(ListSource({dir / "a.bmp"}), options);
    ItemLoaderOptions load;
    std::string kept;
    load.keepImage = [&](const BatchItem& item, std::shared_ptr<TPixelMap>) { kept = item.output; };
    BatchEvents events;
    std::string converted;
    events.onConverted = [&](const BatchItem& item) { converted = item.output; };
    EXPECT_EQ(RunBatch(plan, BatchOptions{}, ItemLoader(load), events).converted, 1);
    EXPECT_EQ(converted, dir / "out/a-5x3.bmp");
    EXPECT_EQ(kept, converted);
}

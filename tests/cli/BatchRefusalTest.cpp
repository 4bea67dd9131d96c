// Usage errors and refusals of the batch: a report that would destroy a
// file, pipes and devices, links, one file under two names, walks and shards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestUtil.h"
#include "cli/CliRun.h"

using namespace quenlo;
using namespace quenlo::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

extern char** environ;

namespace {

// A folder holding the pairs a (5 x 3) and b (5 x 3, other bytes) and out/.
struct Folder {
    TempDir dir;
    std::vector<uint8_t> aBmp, bBmp;  // what each converts to
    Folder() {
        fs::create_directories(dir / "out");
        WritePair(dir / "a", 5, 3, 1);
        WritePair(dir / "b", 5, 3, 2);
        fs::create_directories(dir / "ref");
        for (const char* name : {"a", "b"}) {
            const CliRun r = RunConvert({"-q", "-o", dir / "ref", dir / (std::string(name) + ".ipr")});
            EXPECT_EQ(r.status, 0) << r.err;
        }
        aBmp = ReadBytes(dir / "ref/a.bmp");
        bBmp = ReadBytes(dir / "ref/b.bmp");
        fs::remove_all(dir / "ref");
    }
};

struct Case {
    const char* what;
    // Makes what the case needs and gives the arguments; {} skips the case here.
    std::function<std::vector<std::string>(Folder&)> setup;
    int status;
    std::vector<std::string> messages;  // in stderr, with the folder written as "D/"
    std::function<void(Folder&)> check;
};

std::string Text(const std::string& name) {
    const std::vector<uint8_t> bytes = ReadBytes(name);
    return {bytes.begin(), bytes.end()};
}

std::string Fifo(const std::string& name) {
    EXPECT_EQ(::mkfifo(name.c_str(), 0600), 0) << name;
    return name;
}

}  // namespace

TEST(BatchRefusals, UsageErrorsAndRefusalsNeverLoseAFileOrBlock) {
    const std::vector<Case> cases = {
        {"a report that is an input",
         [](Folder& f) { return std::vector<std::string>{"-o", f.dir / "out", "--report", f.dir / "a.ipr", f.dir / "a.ipr"}; },
         2, {"--report D/a.ipr is D/a.ipr, an input of this batch"},
         [](Folder& f) { EXPECT_EQ(ReadBytes(f.dir / "a.ipr").size(), 7u); }},
        {"a report that is a pair's other member",
         [](Folder& f) { return std::vector<std::string>{"-o", f.dir / "out", "--report", f.dir / "a.rgb", f.dir / "a.ipr"}; },
         2, {"--report D/a.rgb is D/a.rgb, an input"},
         [](Folder& f) { EXPECT_EQ(ReadBytes(f.dir / "a.rgb").size(), 45u); }},
        {"a report that is the list",
         [](Folder& f) {
             WriteText(f.dir / "list", f.dir / "a.ipr\n");
             return std::vector<std::string>{"-o", f.dir / "out", "--files-from", f.dir / "list", "--report", f.dir / "list"};
         },
         2, {"--report D/list is the list D/list"},
         [](Folder& f) { EXPECT_EQ(ReadBytes(f.dir / "list").size(), (f.dir / "a.ipr\n").size()); }},
        {"a report that is a planned output, spelled otherwise",
         [](Folder& f) { return std::vector<std::string>{"-o", f.dir / "out", "--report", f.dir / "out/./a.bmp", f.dir / "a.ipr"}; },
         2, {"is D/out/a.bmp, the output of D/a.ipr"},
         [](Folder& f) { EXPECT_TRUE(fs::is_empty(f.dir / "out")); }},
        {"a pipe as a pair's partner in a walk",
         [](Folder& f) {
             fs::create_directories(f.dir / "t");
             WriteText(f.dir / "t/p.ipr", "2 2 0 0");
             Fifo(f.dir / "t/p.rgb");
             WritePair(f.dir / "t/q", 3, 1, 3);
             return std::vector<std::string>{"--keep-going", "-r", "-o", f.dir / "out", f.dir / "t"};
         },
         1, {"D/t/p.rgb: skipped: not a regular file", "D/t/p.ipr: D/t/p.rgb is not a regular file"},
         [](Folder& f) { EXPECT_TRUE(fs::exists(f.dir / "out/q.bmp")); }},
        {"a pipe named as FILE",
         [](Folder& f) { return std::vector<std::string>{"-o", f.dir / "out", Fifo(f.dir / "f.jpg")}; },
         1, {"D/f.jpg: not a regular file"}, nullptr},
        {"an existing output that is a pipe",
         [](Folder& f) { return Fifo(f.dir / "out/a.bmp"), std::vector<std::string>{"-o", f.dir / "out", f.dir / "a.ipr"}; },
         1, {"D/a.ipr: the output D/out/a.bmp is not a regular file; not written"},
         [](Folder& f) { EXPECT_TRUE(fs::is_fifo(f.dir / "out/a.bmp")); }},
        {"an output linked to another output, at -j8 with --skip-existing",
         [](Folder& f) {
             fs::create_symlink("a.bmp", f.dir / "out/b.bmp");
             return std::vector<std::string>{"-j8", "--skip-existing", "-o", f.dir / "out", f.dir / "a.ipr", f.dir / "b.ipr"};
         },
         1, {"D/a.ipr: its output is also the output of D/b.ipr"},
         [](Folder& f) { EXPECT_EQ(ReadBytes(f.dir / "out/a.bmp"), f.bBmp); }},
        {"a link owned by another user in a shared sticky folder",
         [](Folder& f) {
             fs::create_directories(f.dir / "shared");
             ::chmod((f.dir / "shared").c_str(), 01777);
             WriteText(f.dir / "victim", "keep");
             fs::create_symlink(f.dir / "victim", f.dir / "shared/a.bmp");
             // Another user's link needs root to make.
             if (::lchown((f.dir / "shared/a.bmp").c_str(), 65534, static_cast<gid_t>(-1)) != 0) return std::vector<std::string>{};
             return std::vector<std::string>{"-o", f.dir / "shared", f.dir / "a.ipr"};
         },
         1, {"the link D/shared/a.bmp is in a folder others may write to"},
         [](Folder& f) { EXPECT_EQ(ReadBytes(f.dir / "victim").size(), 4u); }},
        {"one file under two names",
         [](Folder& f) {
             fs::create_hard_link(f.dir / "a.ipr", f.dir / "x.ipr");
             fs::create_hard_link(f.dir / "a.rgb", f.dir / "x.rgb");
             return std::vector<std::string>{"-o", f.dir / "out", f.dir / "a.ipr", f.dir / "x.ipr", f.dir / "a.rgb"};
         },
         0, {},
         [](Folder& f) {
             EXPECT_EQ(ReadBytes(f.dir / "out/a.bmp"), f.aBmp);
             EXPECT_EQ(ReadBytes(f.dir / "out/x.bmp"), f.aBmp);
         }},
        {"a folder reached twice, and the output folder inside the walk",
         [](Folder& f) {
             fs::create_directories(f.dir / "t/real");
             WritePair(f.dir / "t/real/p", 3, 1, 3);
             fs::create_symlink("real", f.dir / "t/zlink");
             WritePair(f.dir / "t/out/old", 3, 1, 4);  // what an earlier run left
             return std::vector<std::string>{"-r", "-o", f.dir / "t/out", f.dir / "t"};
         },
         0, {"D/t/zlink: skipped: the same folder as D/t/real, walked already"},
         [](Folder& f) {
             EXPECT_TRUE(fs::exists(f.dir / "t/out/real/p.bmp"));
             EXPECT_FALSE(fs::exists(f.dir / "t/out/out"));
         }},
        {"folders of items never put in place, at -j2",
         [](Folder& f) {
             for (const char* d : {"t/d1", "t/d2", "t/d3"}) fs::create_directories(f.dir / d);
             WriteText(f.dir / "t/d1/z.ipr", "0 0 0 0");
             WriteText(f.dir / "t/d1/z.rgb", "");
             WriteText(f.dir / "t/d2/gone.ipr", "4 4 0 0");
             WritePair(f.dir / "t/d3/p", 3, 1, 3);
             return std::vector<std::string>{"-j2", "-r", "-o", f.dir / "out", f.dir / "t"};
         },
         1, {"D/t/d2/gone.ipr: ファイルが見つかりません"},
         [](Folder& f) { EXPECT_TRUE(fs::is_empty(f.dir / "out")); }},
        {"a folder without -r",
         [](Folder& f) { return std::vector<std::string>{"-o", f.dir / "out", f.dir / "out"}; },
         1, {"D/out: skipped: a folder (-r converts the images below it)"}, nullptr},
        {"a folder as the list",
         [](Folder& f) { return std::vector<std::string>{"--files-from", f.dir / "out"}; },
         1, {"cannot read the list D/out: it is a folder"}, nullptr},
        {"a shard count that does not fit", [](Folder& f) { return std::vector<std::string>{"--shard", "1/4294967298", f.dir / "a.ipr"}; },
         2, {"expected K/N with 1 <= K <= N <= 1000000"}, nullptr},
        {"a shard past an int", [](Folder& f) { return std::vector<std::string>{"--shard", "99999999999/99999999999", f.dir / "a.ipr"}; },
         2, {"expected K/N"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder f;
        std::vector<std::string> args = c.setup(f);
        if (args.empty()) continue;
        args.insert(args.begin(), "-q");
        const CliRun r = RunConvert(args);
        std::string err = r.err;
        for (size_t at; (at = err.find(f.dir.str() + "/")) != std::string::npos;) err.replace(at, f.dir.str().size() + 1, "D/");
        EXPECT_EQ(r.status, c.status) << err;
        for (const std::string& m : c.messages) EXPECT_THAT(err, HasSubstr(m));
        if (c.check) c.check(f);
    }
}

// A missing image named again, through a link to its folder or with "..",
// is one image: it fails once.
TEST(BatchRefusals, AMissingImageNamedTwiceFailsOnce) {
    Folder f;
    fs::create_directories(f.dir / "d");
    fs::create_directory_symlink("d", f.dir / "l");
    const CliRun r = RunConvert({"-q", "--keep-going", "-o", f.dir / "out", f.dir / "d/gone.ipr", f.dir / "l/gone.rgb",
                                 f.dir / "no/x.jpg", f.dir / "no/../no/x.jpg", f.dir / "a.ipr"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_EQ(ReadBytes(f.dir / "out/a.bmp"), f.aBmp);
}

// Names that could forge a line or read alike stay apart in messages and the report.
TEST(BatchRefusals, ControlCharactersAreQuotedAndOtherBytesKept) {
    Folder f;
    const std::string forged = f.dir / "x\nquenlo-convert: y.jpg", bad = f.dir / "b\xff.jpg";
    WriteText(bad, "");
    const CliRun r = RunConvert({"-q", "--keep-going", "--report", f.dir / "r.jsonl", "-o", f.dir / "out", forged, bad});
    EXPECT_EQ(r.status, 1);
    const std::string quoted = f.dir / "x'$'\\n''quenlo-convert: y.jpg'";  // as a shell reads it back
    EXPECT_THAT(r.err, HasSubstr("'" + quoted + ": "));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    std::string hex;
    for (const unsigned char c : bad) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    std::ifstream lines(f.dir / "r.jsonl");
    std::vector<std::string> kept;
    for (std::string line; std::getline(lines, line);)
        if (const nlohmann::json j = nlohmann::json::parse(line); j.contains("input-bytes")) kept.push_back(j["input-bytes"]);
    EXPECT_EQ(kept, std::vector<std::string>{hex});
}

// A run ended before its batch is planned, by a signal or an error, still
// leaves a report that says so.
TEST(BatchRefusals, AReportSaysWhenTheRunEndsBeforeItsPlan) {
    TempDir dir;
    const std::string program = QUENLO_BINARY_DIR "/bin/quenlo-convert", list = dir / "list", report = dir / "r.jsonl";
    ASSERT_EQ(::mkfifo(list.c_str(), 0600), 0);
    const std::string out = dir / "out";
    const char* argv[] = {program.c_str(), "-q", "--files-from", list.c_str(), "--report", report.c_str(), "-o", out.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    {
        std::ofstream writer(list);  // opens once the program reads: it is planning
        writer << dir / "a.ipr" << "\n" << std::flush;
        ::kill(pid, SIGTERM);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM);
    }
    const nlohmann::json signalled = nlohmann::json::parse(Text(report));
    EXPECT_EQ(signalled["planning"], true);
    EXPECT_EQ(signalled["signal"], SIGTERM);

    // A new report; one that existed is left as it was, as the batch might read it.
    const CliRun r = RunConvert({"-q", "--files-from", dir / "none", "--report", dir / "r2.jsonl"});
    EXPECT_EQ(r.status, 1);
    const nlohmann::json failed = nlohmann::json::parse(Text(dir / "r2.jsonl"));
    EXPECT_EQ(failed["planning"], true);
    EXPECT_THAT(failed["error"].get<std::string>(), HasSubstr("cannot read the list " + (dir / "none")));
}

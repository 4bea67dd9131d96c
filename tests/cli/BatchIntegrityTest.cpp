// The batch as a whole: no input destroyed by another's output, the same
// files and messages at any -j, and an interrupted write leaves nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "FaultUtil.h"
#include "TestUtil.h"
#include "cli/CliRun.h"
#include "cli/ConvertCli.h"
#include "imageio/BmpWriter.h"
#include "imageio/VlxIo.h"

using namespace quenlo;
using namespace quenlo::test;
namespace fs = std::filesystem;

extern char** environ;

namespace {

// Every kind of trouble in one list, converted into the folder it reads from.
struct MixedBatch {
    TempDir dir;
    std::vector<std::string> inputs;
    MixedBatch() {
        const std::string in = dir / "in";
        fs::create_directories(in + "/d1");
        fs::create_directories(in + "/u.rgb");  // unreadable: a folder
        WritePair(in + "/a", 7, 3, 1);
        fs::copy_file(QUENLO_SOURCE_DIR "/samples/harbour-photo.jpg", in + "/b.jpg");
        fs::copy_file(QUENLO_SOURCE_DIR "/samples/palette.bmp", in + "/b.bmp");
        WriteText(in + "/gone.ipr", "4 4 0 0");  // no .rgb
        WriteText(in + "/zero.ipr", "0 5 0 0");
        WriteText(in + "/zero.rgb", "");
        WritePair(in + "/d1/x", 3, 3, 2);
        WritePair(in + "/x", 5, 2, 3);
        WriteText(in + "/u.ipr", "2 2 0 0");
        for (int i = 0; i < 6; ++i) WritePair(in + "/ok" + std::to_string(i), 9, 2 + i, static_cast<uint8_t>(i));
        for (const char* name : {"a.ipr", "b.jpg", "ok0.ipr", "b.bmp", "a.rgb", "ok1.ipr", "gone.ipr", "ok2.ipr",
                                 "zero.ipr", "d1/x.ipr", "x.rgb", "ok3.ipr", "u.ipr", "ok4.ipr", "ok5.ipr"})
            inputs.push_back(in + "/" + name);
    }
    CliRun Run(const std::string& jobs, bool keepGoing) {
        std::vector<std::string> args = {"-q", "--in-place", "-j", jobs, "-o", dir / "in"};
        if (keepGoing) args.push_back("--keep-going");
        args.insert(args.end(), inputs.begin(), inputs.end());
        return RunConvert(args);
    }
};

struct MixedResult {
    int status;
    std::string err;  // with the folder's name taken out
    FolderSnapshot files;
};

MixedResult RunMixed(const std::string& jobs, bool keepGoing) {
    MixedBatch b;
    const CliRun r = b.Run(jobs, keepGoing);
    std::string err = r.err;
    for (size_t at; (at = err.find(b.dir.str())) != std::string::npos;) err.erase(at, b.dir.str().size());
    return {r.status, err, Snapshot(b.dir / "in")};
}

}  // namespace

TEST(BatchIntegrity, AMixedListGivesTheSameFilesAndMessagesAtAnyJobCount) {
    const std::vector<uint8_t> bmpSource = ReadBytes(QUENLO_SOURCE_DIR "/samples/palette.bmp");
    for (const bool keepGoing : {false, true}) {
        SCOPED_TRACE(keepGoing ? "--keep-going" : "stopping");
        const MixedResult one = RunMixed("1", keepGoing);
        EXPECT_EQ(one.status, 1);
        const FolderSnapshot& f = one.files;
        // b.jpg would have replaced b.bmp: refused, and b.bmp was converted in place.
        EXPECT_NE(one.err.find("b.jpg: would replace /in/b.bmp, which this batch also reads\n"), std::string::npos)
            << one.err;
        EXPECT_NE(f.at("b.bmp"), bmpSource);
        EXPECT_TRUE(f.count("a.bmp") && f.count("ok1.bmp"));
        EXPECT_EQ(one.err.find("a.rgb"), std::string::npos) << "a.rgb is a.ipr again: " << one.err;
        if (!keepGoing) {
            EXPECT_FALSE(f.count("ok2.bmp") || f.count("x.bmp") || f.count("ok5.bmp"));
            EXPECT_NE(one.err.find("gone.ipr: ファイルが見つかりません\n"), std::string::npos) << one.err;
            EXPECT_NE(one.err.find("stopped after a failed load; 8 file(s) not converted"), std::string::npos)
                << one.err;
        } else {
            EXPECT_TRUE(f.count("ok2.bmp") && f.count("ok5.bmp") && f.count("x.bmp"));
            EXPECT_FALSE(f.count("zero.bmp") || f.count("u.bmp") || f.count("d1/x.bmp"));
            EXPECT_NE(one.err.find("zero.ipr: nothing to save: the image is empty (0 x 5)\n"), std::string::npos);
            EXPECT_NE(one.err.find("d1/x.ipr: its output is also the output of /in/x.rgb\n"), std::string::npos);
            EXPECT_NE(one.err.find("u.ipr: ファイルへのアクセスが拒否されました\n"), std::string::npos);
            EXPECT_EQ(std::count(one.err.begin(), one.err.end(), '\n'), 5) << one.err;
        }
        for (const char* jobs : {"2", "8"}) {
            const MixedResult many = RunMixed(jobs, keepGoing);
            EXPECT_EQ(many.status, one.status) << "-j " << jobs;
            EXPECT_EQ(many.err, one.err) << "-j " << jobs;
            EXPECT_TRUE(many.files == one.files) << "-j " << jobs;
        }
    }
}

TEST(BatchIntegrity, LongNamesAndLinkedTargetsAreWritten) {
    TempDir dir;
    WritePair(dir / "p", 5, 3, 4);
    std::string kanji;
    for (int i = 0; i < 82; ++i) kanji += "漢";  // 246 bytes
    for (const std::string& base : {std::string(251, 'n'), kanji}) {
        fs::copy_file(dir / "p.ipr", dir / (base + ".ipr"));
        fs::copy_file(dir / "p.rgb", dir / (base + ".rgb"));
        const CliRun r = RunConvert({"-q", dir / (base + ".ipr")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadBytes(dir / (base + ".bmp")).size(), 54u + 16 * 3);
    }
    // A linked output: the link stays, the file it names gets the picture.
    fs::create_directories(dir / "real");
    WriteText(dir / "real/kept.bmp", "old");
    fs::create_directories(dir / "out");
    fs::create_symlink("../real/kept.bmp", dir / "out/p.bmp");
    const CliRun r = RunConvert({"-q", "-o", dir / "out", dir / "p.rgb"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir / "out/p.bmp"));
    EXPECT_EQ(ReadBytes(dir / "real/kept.bmp").size(), 54u + 16 * 3);
}

// The real program, signalled while it writes a large file: it exits with
// 128 + the signal, the old target is as it was, nothing else is there, and
// unless killed its report ends with a summary.
TEST(BatchIntegrity, AnInterruptedWriteLeavesNothingBehind) {
    const std::string program = QUENLO_BINARY_DIR "/bin/quenlo-convert";
    TempDir dir;
    WriteText(dir / "big.ipr", "8000 6000 0 0");
    fs::resize_file((WriteText(dir / "big.rgb", ""), dir / "big.rgb"), 8000ull * 6000 * 3);  // sparse: reads fast
    fs::create_directories(dir / "out");
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(sig));
        WriteText(dir / "out/big.bmp", "old");
        const FolderSnapshot before = Snapshot(dir / "out");
        const std::string outDir = dir / "out", input = dir / "big.ipr", report = dir / "r.jsonl";
        const char* argv[] = {program.c_str(), "-q", "--report", report.c_str(), "-o", outDir.c_str(), input.c_str(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        // Wait until it holds a file open in the output folder, i.e. is writing it.
        bool writing = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!writing && std::chrono::steady_clock::now() < deadline && ::waitpid(pid, nullptr, WNOHANG) == 0) {
            std::error_code ec;
            for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
                if (fs::read_symlink(fd.path(), ec).string().rfind(outDir + "/", 0) == 0) writing = true;
        }
        ASSERT_TRUE(writing) << "the write was not caught in progress";
        ::kill(pid, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        std::ifstream lines(report);
        std::string last;
        for (std::string line; std::getline(lines, line);) last = line;
        if (sig == SIGKILL) {
            EXPECT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(last, "");
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
            const nlohmann::json summary = nlohmann::json::parse(last);
            EXPECT_EQ(summary["not-reached"], 1);
            EXPECT_EQ(summary["converted"], 0);
            EXPECT_EQ(summary["cancelled"], true);
            EXPECT_EQ(summary["signal"], sig);
            EXPECT_GE(summary["seconds"], 0.0);
        }
        EXPECT_EQ(Snapshot(dir / "out"), before);
    }
}

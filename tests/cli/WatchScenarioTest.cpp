// Hot folders run as the real program against the writers that broke them:
// each scenario acts on the folder while a watch runs and must see the watch
// end by its idle time, within a bound, with every image converted once.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "TestUtil.h"
#include "cli/CliRun.h"

using namespace quenlo;
using namespace quenlo::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kProgram = QUENLO_BINARY_DIR "/bin/quenlo-convert";
constexpr int kSettleMs = 150;
const auto kLimit = kSanitized ? 40s : 12s;

// The program with stderr in a file; Wait kills it after the bound.
struct Child {
    pid_t pid = -1;
    std::string errFile;
    Child(std::vector<std::string> argv, std::string err) : errFile(std::move(err)) {
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawnp(&pid, args[0], &files, nullptr, args.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&files);
    }
    // The exit status, or -1 when it was still running at the bound.
    int Wait() {
        for (auto end = std::chrono::steady_clock::now() + kLimit; std::chrono::steady_clock::now() < end;) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::this_thread::sleep_for(10ms);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    std::string Err() const {
        const std::vector<uint8_t> bytes = ReadBytes(errFile);
        return {bytes.begin(), bytes.end()};
    }
};

// A watch ended by its idle time, reporting into r.jsonl.
Child StartWatch(const TempDir& dir, const std::vector<std::string>& extra, std::vector<std::string> argv = {kProgram},
                 const std::string& idle = "1") {
    argv.insert(argv.end(), {"--watch", "-q", "--settle", std::to_string(kSettleMs), "--idle-exit", idle, "--report", dir / "r.jsonl"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child c(std::move(argv), dir / "err.txt");
    std::this_thread::sleep_for(200ms);  // its first scan
    return c;
}

std::map<std::string, int> ConvertedByInput(const std::string& report) {
    std::map<std::string, int> out;
    std::ifstream f(report);
    for (std::string line; std::getline(f, line);) {
        const auto j = nlohmann::json::parse(line);
        if (!j.contains("summary") && j["status"] == "converted") ++out[fs::path(j["input"].get<std::string>()).filename()];
    }
    return out;
}

void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs * 3)); }

struct Scenario {
    const char* name;
    std::vector<std::string> extra;  // after the standard arguments; in/ and out/ when empty
    std::function<void(const TempDir&)> act;
    std::vector<std::string> outputs;  // below the folder, as a batch makes them from src/ of the same name
    int times = 1;                     // each of them converted
    size_t others = 0;                 // inputs converted besides
    std::vector<std::string> exist;  // below the folder, after the watch
    int status = 0;                  // 1: a failure was reported
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class WatchScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(WatchScenario, EndsByItsIdleTimeWithEachImageConvertedOnce) {
    const Scenario& s = GetParam();
    TempDir dir;
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "src");
    for (int i = 0; i < 3; ++i) {
        WritePair(dir / ("src/p" + std::to_string(i)), 37 + i, 23, static_cast<uint8_t>(9 * i));  // as SettledDuringAConversion
        std::ofstream(dir / ("src/p" + std::to_string(i) + ".ipr"), std::ios::app) << "\n";  // whole: may skip the settle time
    }
    ASSERT_EQ(RunConvert({"-q", "-o", dir / "expected", dir / "src/p0.ipr", dir / "src/p1.ipr", dir / "src/p2.ipr"}).status, 0);
    std::vector<std::string> args = s.extra.empty() ? std::vector<std::string>{"-o", "out/", "in/"} : s.extra;
    for (std::string& a : args)
        if (a.ends_with('/')) a = dir / a;
    Child watch = StartWatch(dir, args);
    s.act(dir);
    const int status = watch.Wait();
    ASSERT_EQ(status, s.status) << (status < 0 ? "still running at the bound; " : "") << watch.Err();
    const auto converted = ConvertedByInput(dir / "r.jsonl");
    for (const std::string& output : s.outputs) {
        EXPECT_EQ(ReadBytes(dir / output), ReadBytes(dir / ("expected/" + fs::path(output).filename().string()))) << output;
        const auto times = converted.find(fs::path(output).replace_extension(".ipr").filename());
        EXPECT_EQ(times == converted.end() ? 0 : times->second, s.times) << output;
    }
    EXPECT_EQ(converted.size(), s.outputs.size() + s.others) << watch.Err();
    for (const std::string& name : s.exist) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

void CopyPair(const TempDir& dir, const std::string& from, const std::string& to) {
    for (const char* ext : {".ipr", ".rgb"}) fs::copy_file(dir / (from + ext), dir / (to + ext));
}

// Given its full size first, the .rgb is filled in slowly.
void FillPreSized(const TempDir& dir) {
    const std::vector<uint8_t> rgb = ReadBytes(dir / "src/p1.rgb");
    const int fd = ::open((dir / "in/p1.rgb").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(rgb.size())), 0);
    fs::copy_file(dir / "src/p1.ipr", dir / "in/p1.ipr");
    for (size_t at = 0, piece = rgb.size() / 4 + 1; at < rgb.size(); at += piece) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs / 3));
        ASSERT_GT(::pwrite(fd, rgb.data() + at, std::min(rgb.size() - at, piece), static_cast<off_t>(at)), 0);
    }
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Faults, WatchScenario, ::testing::Values(
    // A file that settles while another converts is taken then, not at the next event.
    Scenario{"SettledDuringAConversion", {}, [](const TempDir& dir) {
        WritePair(dir / "in/big", 4001, 3000, 1);  // settles on its own: its .ipr has no closing blank
        // Noted while the big one settles, they settle while it converts (about 100 ms).
        std::this_thread::sleep_for(20ms);
        for (int i = 0; i < 3; ++i) WritePair(dir / ("in/p" + std::to_string(i)), 37 + i, 23, static_cast<uint8_t>(9 * i));
    }, {"out/p0.bmp", "out/p1.bmp", "out/p2.bmp"}, 1, 1},
    // A link raises no close.
    Scenario{"HardAndSymbolicLinks", {}, [](const TempDir& dir) {
        for (const char* ext : {".ipr", ".rgb"}) {
            fs::create_hard_link(dir / ("src/p0" + std::string(ext)), dir / ("in/p0" + std::string(ext)));
            fs::create_symlink(dir / ("src/p1" + std::string(ext)), dir / ("in/p1" + std::string(ext)));
        }
    }, {"out/p0.bmp", "out/p1.bmp"}},
    Scenario{"RenamedSubfolder", {"-r", "-o", "out/", "in/"}, [](const TempDir& dir) {
        fs::create_directories(dir / "in/old/deeper");
        Settle();
        fs::rename(dir / "in/old", dir / "in/new");
        CopyPair(dir, "src/p0", "in/new/p0");
        CopyPair(dir, "src/p1", "in/new/deeper/p1");
    }, {"out/new/p0.bmp", "out/new/deeper/p1.bmp"}},
    // Made again, the output folder is still not watched.
    Scenario{"OutputFolderInsideRemoved", {"-r", "-o", "in/bmp/", "in/"}, [](const TempDir& dir) {
        CopyPair(dir, "src/p0", "in/p0");
        Settle();
        fs::remove_all(dir / "in/bmp");
        Settle();
        CopyPair(dir, "src/p1", "in/p1");
    }, {"in/bmp/p1.bmp"}, 1, 1},
    // Another file of the same name, older than the output, moved in.
    Scenario{"ReplacementWithAnOlderTime", {}, [](const TempDir& dir) {
        CopyPair(dir, "src/p0", "in/p2");
        Settle();
        for (const char* ext : {".ipr", ".rgb"}) {
            fs::remove(dir / ("in/p2" + std::string(ext)));
            fs::last_write_time(dir / ("src/p2" + std::string(ext)), fs::file_time_type::clock::now() - 1h);
            fs::rename(dir / ("src/p2" + std::string(ext)), dir / ("in/p2" + std::string(ext)));
        }
    }, {"out/p2.bmp"}, 2},
    Scenario{"PreSizedWithEvents", {}, FillPreSized, {"out/p1.bmp"}},
    Scenario{"PreSizedWithScans", {"--poll", "0.02", "-o", "out/", "in/"}, FillPreSized, {"out/p1.bmp"}},
    // Hidden names and partial downloads wait for their rename.
    Scenario{"HiddenAndPartialNames", {}, [](const TempDir& dir) {
        CopyPair(dir, "src/p0", "in/.p0");
        CopyPair(dir, "src/p1", "in/p1");
        fs::copy_file(dir / "src/p2.rgb", dir / "in/p2.rgb.part");
        fs::copy_file(dir / "src/p2.ipr", dir / "in/p2.ipr");
        Settle();
        fs::rename(dir / "in/p2.rgb.part", dir / "in/p2.rgb");
    }, {"out/p1.bmp", "out/p2.bmp"}},
    // A later file with the same output fails while the first one is there.
    Scenario{"ClashOverTime", {}, [](const TempDir& dir) {
        CopyPair(dir, "src/p0", "in/p0");
        Settle();
        fs::copy_file(dir / "expected/p1.bmp", dir / "in/p0.bmp");
    }, {"out/p0.bmp"}, 1, 0, {}, 1},
    // An output that cannot be written is tried again once it can.
    Scenario{"OutputSideFailureRetried", {"-r", "-o", "out/", "in/"}, [](const TempDir& dir) {
        WriteText(dir / "out/sub", "");  // where a folder must go
        fs::create_directories(dir / "in/sub");
        CopyPair(dir, "src/p0", "in/sub/p0");
        Settle();
        fs::remove(dir / "out/sub");
    }, {"out/sub/p0.bmp"}, 1, 0, {}, 1},
    Scenario{"DoneAndFailedFolders", {"--done", "done/", "--failed", "failed/", "-o", "out/", "in/"}, [](const TempDir& dir) {
        CopyPair(dir, "src/p0", "in/p0");
        WriteText(dir / "in/bad.jpg", "not a JPEG");
    }, {"out/p0.bmp"}, 1, 0, {"done/p0.ipr", "done/p0.rgb", "failed/bad.jpg"}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WatchRefusals, AMissingWatchedFolderIsRefusedAndNeverMade) {
    TempDir dir;
    Child c({kProgram, "--watch", "-q", "-o", dir / "share/bmp", dir / "share"}, dir / "err.txt");
    EXPECT_EQ(c.Wait(), 1) << c.Err();
    EXPECT_NE(c.Err().find("share"), std::string::npos) << c.Err();
    EXPECT_FALSE(fs::exists(dir / "share"));
}

// Beyond the kernel's limit of watches, folders are scanned, and a folder
// that cannot be read at all is a failure.
TEST(WatchRefusals, FoldersBeyondTheWatchLimitAreScanned) {
    TempDir dir;
    for (int i = 0; i < 40; ++i) {
        fs::create_directories(dir / ("in/f" + std::to_string(i)));
        WritePair(dir / ("in/f" + std::to_string(i) + "/p" + std::to_string(i)), 5, 3, 1);
    }
    // A user namespace of its own gets a limit of its own.
    Child probe({"unshare", "-Ur", "sh", "-c", "echo 20 > /proc/sys/user/max_inotify_watches"}, dir / "probe.txt");
    if (probe.Wait() != 0) GTEST_SKIP() << "no user namespace with its own watch limit here";
    Child c = StartWatch(dir, {"-r", "-o", dir / "out", dir / "in"},
                         {"unshare", "-Ur", "sh", "-c", "echo 20 > /proc/sys/user/max_inotify_watches && exec \"$@\"", "sh", kProgram},
                         "2.2");  // the scan at 2 s finds the late file
    CopyPair(dir, "in/f39/p39", "in/f39/late");
    EXPECT_EQ(c.Wait(), 0) << c.Err();
    EXPECT_NE(c.Err().find("max_user_watches"), std::string::npos) << c.Err();
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(fs::exists(dir / ("out/f" + std::to_string(i) + "/p" + std::to_string(i) + ".bmp"))) << i;
    EXPECT_TRUE(fs::exists(dir / "out/f39/late.bmp"));
}

}  // namespace

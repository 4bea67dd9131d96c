// Hot folders: files written slowly or renamed in are converted once each,
// only when complete, with kernel events and with scans; a restart converts
// only what it missed.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>
#include <unistd.h>

#include "TestUtil.h"
#include "batch/FolderWatch.h"
#include "cli/CliRun.h"

using namespace quenlo;
using namespace quenlo::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kPause = 40ms;  // between pieces: well below the settle time
const std::string kSettleMs = "400";

// The report's item lines, by input file name.
std::map<std::string, std::vector<std::string>> StatusesByInput(const std::string& report) {
    std::map<std::string, std::vector<std::string>> out;
    std::ifstream f(report);
    for (std::string line; std::getline(f, line);) {
        const auto j = nlohmann::json::parse(line);
        if (!j.contains("summary")) out[fs::path(j["input"].get<std::string>()).filename()].push_back(j["status"]);
    }
    return out;
}

bool WaitFor(const std::string& path, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(5ms);
    }
    return fs::exists(path);
}

// Writes a file in pieces through one open descriptor, pausing after each,
// and checks after every piece but the last that no output exists yet.
void WriteSlowly(const std::string& path, const std::vector<uint8_t>& bytes, int pieces, const std::string& output) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    for (int i = 0; i < pieces; ++i) {
        const size_t from = bytes.size() * i / pieces, to = bytes.size() * (i + 1) / pieces;
        ASSERT_EQ(::write(fd, bytes.data() + from, to - from), static_cast<ssize_t>(to - from));
        std::this_thread::sleep_for(kPause);
        if (i + 1 < pieces) {
            EXPECT_FALSE(fs::exists(output)) << output << " made from a partial " << path;
        }
    }
    ::close(fd);
}

// A watch of in/ into out/ on its own thread, ended by its idle time.
struct WatchRun {
    CliRun result{};
    std::thread thread;
    WatchRun(const TempDir& dir, std::vector<std::string> extra, const std::string& idle) {
        std::vector<std::string> args = {"--watch", "-q", "--settle", kSettleMs, "--idle-exit", idle, "-j", "2",
                                         "--report", dir / "report.jsonl", "-o", dir / "out", dir / "in"};
        args.insert(args.end(), extra.begin(), extra.end());
        thread = std::thread([this, args] { result = RunConvert(args); });
    }
    CliRun Join() {
        thread.join();
        return result;
    }
};

class WatchArrivals : public ::testing::TestWithParam<bool> {};  // true: --poll

TEST_P(WatchArrivals, EachFileIsConvertedOnceAndOnlyWhenComplete) {
    TempDir dir;
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "src");
    const std::vector<std::string> pairs = {"ipr-first", "rgb-first", "renamed-rgb-first", "renamed-ipr-first"};
    for (size_t i = 0; i < pairs.size(); ++i) {
        WritePair(dir / ("src/" + pairs[i]), 37, 23 + static_cast<int>(i), static_cast<uint8_t>(i));
        std::ofstream(dir / ("src/" + pairs[i] + ".ipr"), std::ios::app) << "\n";  // whole: the pair need not settle
    }
    ASSERT_EQ(RunConvert({"-q", "-o", dir / "src", dir / "src/ipr-first.ipr"}).status, 0);
    fs::rename(dir / "src/ipr-first.bmp", dir / "src/dropped.bmp");
    ASSERT_EQ(RunConvert({"-q", "-r", "-o", dir / "expected", dir / "src"}).status, 0);
    auto src = [&](const std::string& name) { return ReadBytes(dir / ("src/" + name)); };
    auto out = [&](const std::string& base) { return dir / ("out/" + base + ".bmp"); };

    WatchRun watch(dir, GetParam() ? std::vector<std::string>{"--poll", "0.05"} : std::vector<std::string>{}, "1.5");
    std::this_thread::sleep_for(100ms);
    WriteSlowly(dir / "in/ipr-first.ipr", src("ipr-first.ipr"), 2, out("ipr-first"));
    WriteSlowly(dir / "in/ipr-first.rgb", src("ipr-first.rgb"), 4, out("ipr-first"));
    WriteSlowly(dir / "in/rgb-first.rgb", src("rgb-first.rgb"), 4, out("rgb-first"));
    WriteSlowly(dir / "in/rgb-first.ipr", src("rgb-first.ipr"), 3, out("rgb-first"));
    for (const std::string& name : {std::string("renamed-rgb-first"), std::string("renamed-ipr-first")}) {
        const bool rgbFirst = name == "renamed-rgb-first";
        for (const char* ext : {".rgb", ".ipr"}) WriteSlowly(dir / ("in/." + name + ext + ".part"), src(name + ext), 3, out(name));
        const std::string first = rgbFirst ? ".rgb" : ".ipr", second = rgbFirst ? ".ipr" : ".rgb";
        fs::rename(dir / ("in/." + name + first + ".part"), dir / ("in/" + name + first));
        std::this_thread::sleep_for(kPause * 2);
        EXPECT_FALSE(fs::exists(out(name))) << "converted with one member";
        fs::rename(dir / ("in/." + name + second + ".part"), dir / ("in/" + name + second));
    }
    WriteSlowly(dir / "in/dropped.bmp", src("dropped.bmp"), 4, out("dropped"));

    std::map<std::string, fs::file_time_type> made;
    for (const char* base : {"ipr-first", "rgb-first", "renamed-rgb-first", "renamed-ipr-first", "dropped"}) {
        ASSERT_TRUE(WaitFor(out(base), 5s)) << base;
        EXPECT_EQ(ReadBytes(out(base)), ReadBytes(dir / ("expected/" + std::string(base) + ".bmp"))) << base;
        made[base] = fs::last_write_time(out(base));
    }
    const CliRun r = watch.Join();
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& [base, time] : made) EXPECT_EQ(fs::last_write_time(out(base)), time) << base << " written twice";
    const auto statuses = StatusesByInput(dir / "report.jsonl");
    EXPECT_EQ(statuses.size(), 5u);
    for (const auto& [input, list] : statuses) EXPECT_EQ(list, std::vector<std::string>{"converted"}) << input;
}

INSTANTIATE_TEST_SUITE_P(KernelEventsAndPolling, WatchArrivals, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Poll" : "Inotify"; });

TEST(Watch, ARestartConvertsOnlyWhatItMissed) {
    TempDir dir;
    fs::create_directories(dir / "in");
    for (const char* name : {"a", "b"}) WritePair(dir / ("in/" + std::string(name)), 9, 5, 1);
    ASSERT_EQ(WatchRun(dir, {}, "0.5").Join().status, 0);
    ASSERT_EQ(StatusesByInput(dir / "report.jsonl").size(), 2u);
    const auto bBefore = fs::last_write_time(dir / "out/b.bmp");
    const auto aBefore = ReadBytes(dir / "out/a.bmp");

    // While no watch runs: a is rewritten, c arrives, b stays as it was.
    WritePair(dir / "in/a", 9, 5, 2);
    WritePair(dir / "in/c", 3, 7, 3);
    const CliRun r = WatchRun(dir, {}, "0.5").Join();
    EXPECT_EQ(r.status, 0) << r.err;
    const auto statuses = StatusesByInput(dir / "report.jsonl");
    EXPECT_EQ(statuses.size(), 2u);
    EXPECT_TRUE(statuses.count("a.ipr") && statuses.count("c.ipr"));
    EXPECT_EQ(fs::last_write_time(dir / "out/b.bmp"), bBefore);
    EXPECT_NE(ReadBytes(dir / "out/a.bmp"), aBefore);
    EXPECT_TRUE(fs::exists(dir / "out/c.bmp"));
}

// A pair's members in other cases are the ones a batch takes, also once a
// same-named .RGB that is not the pair's arrives: each output is the batch's.
TEST(Watch, PairsSpelledInOtherCasesGiveTheBatchsPictures) {
    TempDir dir;
    fs::create_directories(dir / "in");
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {".IPR", ".RGB"}, {".ipr", ".RGB"}, {".IPR", ".rgb"}, {".ipr", ".rgb"}, {".Ipr", ".rgb"}, {".ipr", ".Rgb"}};
    std::vector<std::string> batch = {"-q", "-o", dir / "expected"};
    for (size_t i = 0; i < spellings.size(); ++i) {
        const std::string base = dir / ("in/p" + std::to_string(i));
        WritePair(base, 9, 4 + static_cast<int>(i), static_cast<uint8_t>(i));
        fs::rename(base + ".ipr", base + spellings[i].first);
        fs::rename(base + ".rgb", base + spellings[i].second);
        batch.push_back(base + spellings[i].first);
    }
    ASSERT_EQ(RunConvert(batch).status, 0);
    WritePair(dir / "other", 9, 7, 99);
    // The .rgb last, after an .ipr spelled in neither lower nor upper case.
    fs::rename(dir / "in/p4.rgb", dir / "p4.rgb");
    // Converted before the watch began: only moved to the done folder.
    fs::create_directories(dir / "out");
    fs::copy_file(dir / "expected/p5.bmp", dir / "out/p5.bmp");
    WatchRun watch(dir, {"--done", dir / "done"}, "0.5");
    std::this_thread::sleep_for(100ms);
    fs::rename(dir / "other.rgb", dir / "in/p3.RGB");
    fs::rename(dir / "p4.rgb", dir / "in/p4.rgb");
    const CliRun r = watch.Join();
    EXPECT_EQ(r.status, 0) << r.err;
    for (size_t i = 0; i < spellings.size(); ++i) {
        const std::string name = "/p" + std::to_string(i) + ".bmp";
        EXPECT_EQ(ReadBytes(dir / ("out" + name)), ReadBytes(dir / ("expected" + name))) << spellings[i].first << spellings[i].second;
    }
    // Both members go to the done folder, however they are spelled.
    for (const char* member : {"p4.Ipr", "p4.rgb", "p5.ipr", "p5.Rgb"}) EXPECT_TRUE(fs::exists(dir / (std::string("done/") + member))) << member;
}

// A file's create, writes and close come as one note, the last; a hard
// link, which no write follows, as closed; files keep their order.
TEST(FolderWatch, WritesOfOneFileComeAsItsLastNote) {
    TempDir dir;
    fs::create_directories(dir / "in");
    WriteText(dir / "outside.jpg", "x");
    const auto watch = KernelFolderWatch();
    ASSERT_EQ(watch->Add(dir / "in/"), Watching::Events);
    WriteText(dir / "in/a.jpg", "aaaa");
    const int open = ::open((dir / "in/b.jpg").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::write(open, "bb", 2), 2);
    fs::create_hard_link(dir / "outside.jpg", dir / "in/c.jpg");
    WriteText(dir / "in/a.jpg", "again");
    std::vector<WatchNote> notes;
    watch->Wait(1000ms, notes);
    ::close(open);
    std::vector<std::pair<WatchChange, std::string>> got;
    for (const WatchNote& n : notes) got.emplace_back(n.change, fs::path(n.path).filename());
    const std::vector<std::pair<WatchChange, std::string>> want = {
        {WatchChange::Closed, "a.jpg"}, {WatchChange::Written, "b.jpg"}, {WatchChange::Closed, "c.jpg"}, {WatchChange::Closed, "a.jpg"}};
    EXPECT_EQ(got, want);
}

}  // namespace

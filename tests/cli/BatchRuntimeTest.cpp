// The batch under pressure, run as the real program: signals with named
// temporaries, images claiming huge sizes, few descriptors, a closed report
// pipe and a full disk.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "FaultUtil.h"
#include "TestUtil.h"
#include "batch/MemoryBudget.h"
#include "cli/CliRun.h"
#include "imageio/BmpWriter.h"
#include "imageio/VlxIo.h"

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>

using namespace quenlo;
using namespace quenlo::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

const std::string kProgram = QUENLO_BINARY_DIR "/bin/quenlo-convert";

struct Child {
    pid_t pid = -1;
    int status = 0;
    long peakKiB = 0;  // the child's peak resident memory
    std::string err;
};

struct SpawnOptions {
    std::vector<std::string> env;  // NAME=value, added
    rlim_t maxFiles = 0;           // RLIMIT_NOFILE; 0: inherited
    int stdoutFd = -1;             // -1: /dev/null
};

// Starts the program with stderr into a file of the folder.
Child Start(const std::vector<std::string>& args, const std::string& errFile, const SpawnOptions& options = {}) {
    std::vector<std::string> all = {kProgram};
    all.insert(all.end(), args.begin(), args.end());
    Child c;
    c.pid = ::fork();
    if (c.pid == 0) {
        for (const std::string& e : options.env) ::putenv(const_cast<char*>(e.c_str()));
        if (options.maxFiles) {
            const rlimit lim{options.maxFiles, options.maxFiles};
            ::setrlimit(RLIMIT_NOFILE, &lim);
        }
        const int out = options.stdoutFd >= 0 ? options.stdoutFd : ::open("/dev/null", O_WRONLY);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(kProgram.c_str(), argv.data());
        ::_exit(127);
    }
    return c;
}

void Finish(Child& c, const std::string& errFile) {
    rusage use{};
    ASSERT_EQ(::wait4(c.pid, &c.status, 0, &use), c.pid);
    c.peakKiB = use.ru_maxrss;
    const std::vector<uint8_t> err = ReadBytes(errFile);
    c.err.assign(err.begin(), err.end());
}

Child RunProgram(const std::vector<std::string>& args, const std::string& errFile, const SpawnOptions& options = {}) {
    Child c = Start(args, errFile, options);
    Finish(c, errFile);
    return c;
}

int ExitCode(const Child& c) { return WIFEXITED(c.status) ? WEXITSTATUS(c.status) : 128 + WTERMSIG(c.status); }

// A baseline JPEG of an asymmetric picture, w x h.
void WriteJpeg(const std::string& name, int w, int h) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    FILE* f = std::fopen(name.c_str(), "wb");
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            row[3 * x] = static_cast<uint8_t>(x * 7 + y);
            row[3 * x + 1] = static_cast<uint8_t>(y * 3);
            row[3 * x + 2] = static_cast<uint8_t>((x ^ y) >> 3);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(f);
}

// A 1,080-byte RLE8 .bmp claiming 26000 x 26000: palette and end-of-bitmap.
std::vector<uint8_t> RleBomb() {
    std::vector<uint8_t> b(54 + 1024 + 2, 0);
    auto put = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    b[0] = 'B', b[1] = 'M';
    put(2, static_cast<uint32_t>(b.size()), 4), put(10, 54 + 1024, 4), put(14, 40, 4);
    put(18, 26000, 4), put(22, 26000, 4), put(26, 1, 2), put(28, 8, 2), put(30, 1, 4), put(34, 2, 4);
    b[b.size() - 1] = 1;  // 00 01: end of bitmap
    return b;
}

// A JPEG whose frame claims 30000 x 20000, cut 20 bytes into its scan.
std::vector<uint8_t> TruncatedJpeg() {
    std::vector<uint8_t> b = ReadBytes(QUENLO_SOURCE_DIR "/samples/harbour-photo.jpg");
    for (size_t i = 0; i + 9 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xC0) b[i + 5] = 20000 >> 8, b[i + 6] = 20000 & 255, b[i + 7] = 30000 >> 8, b[i + 8] = 30000 & 255;
    for (size_t i = 0; i + 4 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xDA) {
            b.resize(i + 2 + (b[i + 2] << 8 | b[i + 3]) + 20);
            break;
        }
    return b;
}

bool HasTemporary(const std::string& dir) {
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().starts_with(".quenlo-")) return true;
    return false;
}

}  // namespace

// Signals at random moments while eight jobs write named temporaries: each
// run leaves every output absent or whole, and no temporary.
TEST(BatchRuntime, SignalsLeaveNoNamedTemporary) {
    TempDir dir;
    std::vector<std::string> args = {"-q", "-j8", "-o", dir / "out"};
    for (int i = 0; i < 40; ++i) {
        const std::string base = dir / "p" + std::to_string(i);
        WriteText(base + ".ipr", "701 400 0 0");
        fs::resize_file((WriteText(base + ".rgb", ""), base + ".rgb"), 701 * 400 * 3);
        args.push_back(base + ".ipr");
    }
    const SpawnOptions named{{"QUENLO_TEMP_FILES=named"}};
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(ExitCode(RunProgram(args, dir / "err", named)), 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
    const uintmax_t size = fs::file_size(dir / "out/p0.bmp");
    std::mt19937 random(23);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int run = 0; run < 24; ++run) {
        fs::remove_all(dir / "out");
        Child c = Start(args, dir / "err", named);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (whole.count() + 1)));
        ::kill(c.pid, signals[run % 3]);
        Finish(c, dir / "err");
        SCOPED_TRACE("run " + std::to_string(run));
        EXPECT_TRUE(ExitCode(c) == 0 || ExitCode(c) == 128 + signals[run % 3]) << ExitCode(c);
        if (!fs::exists(dir / "out")) continue;
        EXPECT_FALSE(HasTemporary(dir / "out"));
        for (const auto& e : fs::directory_iterator(dir / "out")) EXPECT_EQ(fs::file_size(e.path()), size);
    }
}

// Small files claiming huge sizes are refused before anything is allocated;
// a large JPEG streams into its .bmp. Peak memory of the whole process.
TEST(BatchRuntime, MemoryStaysBoundedWhateverFilesClaim) {
    TempDir dir;
    WriteBytes(dir / "rle.bmp", RleBomb());
    WriteBytes(dir / "cut.jpg", TruncatedJpeg());
    for (const char* name : {"rle.bmp", "cut.jpg"}) {
        SCOPED_TRACE(name);
        const Child c = RunProgram({"-q", "-j2", "-o", dir / "out", dir / name}, dir / "err");
        EXPECT_EQ(ExitCode(c), 1);
        EXPECT_THAT(c.err, HasSubstr("image too large"));
        EXPECT_THAT(c.err, HasSubstr("--max-pixels N raises it"));
        EXPECT_LT(c.peakKiB, (kSanitized ? 64 : 16) << 10);
    }
    // 12 megapixels: 36 MB held whole, a few MB streamed; the same bytes.
    WriteJpeg(dir / "big.jpg", 4001, 3000);
    const Child big = RunProgram({"-q", "-o", dir / "out", dir / "big.jpg"}, dir / "err");
    EXPECT_EQ(ExitCode(big), 0);
    EXPECT_LT(big.peakKiB, (kSanitized ? 80 : 20) << 10);
    EXPECT_EQ(ReadBytes(dir / "out/big.bmp"), EncodeBmp(dynamic_cast<const TPixelMapRGB&>(*LoadImageFile(PixelKind::RGB, dir / "big.jpg"))));
}

// More jobs than descriptors write what one job writes; a report pipe closed
// early fails the run at its end, with every file still converted.
TEST(BatchRuntime, FewDescriptorsAndAClosedReportPipe) {
    TempDir dir;
    std::vector<std::string> inputs;
    for (int i = 0; i < 60; ++i) {
        WritePair(dir / ("p" + std::to_string(i)), 5, 3, static_cast<uint8_t>(i));
        inputs.push_back(dir / ("p" + std::to_string(i) + ".ipr"));
    }
    std::vector<std::string> args = {"-q", "-j1024", "--keep-going", "-o", dir / "out"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    SpawnOptions few;
    few.maxFiles = 32;
    const Child c = RunProgram(args, dir / "err", few);
    EXPECT_EQ(ExitCode(c), 0) << c.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), {}), 60);

    fs::remove_all(dir / "out");
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    SpawnOptions closed;
    closed.stdoutFd = pipe[1];
    args.insert(args.begin(), {"--report", "-"});
    ::close(pipe[0]);  // nobody reads the report
    const Child p = RunProgram(args, dir / "err", closed);
    ::close(pipe[1]);
    EXPECT_EQ(ExitCode(p), 1);
    EXPECT_THAT(p.err, HasSubstr("cannot write the report standard output: Broken pipe"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), {}), 60);
}

// On a 2 MB file system two files fit alone but not together: at -j2 the
// first is written, as at -j1, though the second, quicker to write, took
// the space first.
TEST(BatchRuntime, AFullDiskGivesTheFilesOfOneJob) {
    TempDir dir;
    WriteJpeg(dir / "ph.jpg", 701, 600);  // 1.26 MB as a .bmp
    WriteText(dir / "big.ipr", "800 640 0 0");  // 1.54 MB
    fs::resize_file((WriteText(dir / "big.rgb", ""), dir / "big.rgb"), 800 * 640 * 3);
    fs::create_directories(dir / "M");
    for (const char* jobs : {"1", "2", "2", "2", "2", "2", "2", "2", "2"}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A file system of its own, gone with the child.
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("tmpfs", (dir / "M").c_str(), "tmpfs", 0, "size=2m") != 0)
                ::_exit(77);
            const CliRun r = RunConvert({"-q", "-j", jobs, "--keep-going", "-o", dir / "M", dir / "ph.jpg", dir / "big.ipr"});
            ::_exit((r.status == 1 ? 0 : 8) | fs::exists(dir / "M/ph.bmp") | fs::exists(dir / "M/big.bmp") << 1 |
                    HasTemporary(dir / "M") << 2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mounts here";
        EXPECT_EQ(WEXITSTATUS(status), 1) << "-j" << jobs;
    }
}

// Reservations beyond the budget wait for room; one larger than the whole
// budget waits until nothing else is held, then runs alone.
TEST(BatchRuntime, LargeImagesWaitForRoomInTheBudget) {
    TMemoryBudget budget(100);
    for (const uint64_t second : {60u, 500u}) {
        TMemoryBudget::Reservation first = budget.Reserve(60);
        std::atomic<bool> got{false};
        std::thread other([&] {
            const TMemoryBudget::Reservation r = budget.Reserve(second);
            got = true;
            EXPECT_EQ(budget.Held(), std::min<uint64_t>(second, 100));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(got);
        first.reset();
        other.join();
        EXPECT_TRUE(got);
        EXPECT_EQ(budget.Held(), 0u);
    }
}

// The default budget heeds a container's or a job's cgroup: the least limit
// on the way up, in either cgroup version, however the paths are spelled.
TEST(BatchRuntime, TheBudgetHeedsTheCgroupsLimit) {
    TempDir dir;
    const std::string root = dir.str();
    fs::create_directories(root + "/a/b");
    fs::create_directories(root + "/memory/job");
    WriteText(root + "/memory.max", "max\n");
    WriteText(root + "/a/memory.max", "1000\n");
    WriteText(root + "/a/b/memory.max", "5000\n");
    WriteText(root + "/memory/memory.limit_in_bytes", "9223372036854771712\n");
    WriteText(root + "/memory/job/memory.limit_in_bytes", "2000\n");
    const struct {
        const char* procCgroup;
        uint64_t limit;
    } cases[] = {
        {"0::/a/b\n", 1000},
        {"0::/a/b/\n", 1000},
        {"0::/\n", 0},
        {"0::/gone/deeper\n", 0},  // a host's path in a container: the root counts
        {"4:memory:/job/gone\n3:cpu:/\n", 2000},
        {"5:cpuacct,memory:/job\n", 2000},
        {"4:memory:/\n", 9223372036854771712u},
        {"3:cpu:/job\n1:name=systemd:/\n", 0},
        {"junk\n0::a/b\n0::/a/../a/b\n", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(CgroupMemoryLimit(c.procCgroup, root), c.limit) << c.procCgroup;
    EXPECT_GE(DefaultMemoryBudget(), uint64_t{256} << 20);
}

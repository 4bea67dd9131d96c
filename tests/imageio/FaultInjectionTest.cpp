// Faults while reading and writing files: the old target must survive byte
// for byte, nothing may be left behind, and the failure must be raised.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "FaultUtil.h"
#include "TestUtil.h"
#include "imageio/BmpWriter.h"
#include "imageio/StpRgb.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

using namespace quenlo;
using ::testing::HasSubstr;
using namespace quenlo::test;
namespace fs = std::filesystem;

namespace {

// The error a save raises, or "" when it succeeds.
template <class E>
std::string SaveFails(const TPixelMap& map, const std::string& name) {
    try {
        SaveBmpFile(map, name);
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

// Saving a small picture to each of names fails with EFCreateError, its
// message matching `message`, while readOnly (unless "") is marked so; and
// nothing under dir changes.
void ExpectSavesRefused(const TempDir& dir, const std::string& readOnly, std::initializer_list<std::string> names,
                        const ::testing::Matcher<std::string>& message = ::testing::Ne("")) {
    std::optional<ReadOnlyMark> mark;
    if (!readOnly.empty() && !mark.emplace(readOnly).Ok()) GTEST_SKIP() << ReadOnlyMark::SkipReason();
    const FolderSnapshot before = Snapshot(dir.str());
    for (const std::string& name : names) EXPECT_THAT(SaveFails<EFCreateError>(*TestPicture(5, 4), name), message);
    mark.reset();
    EXPECT_EQ(Snapshot(dir.str()), before);
}

}  // namespace

TEST(FaultInjection, AFullFileSystemFailsTheWriteHalfWay) {
    // A 64 KiB tmpfs, mounted in a private mount namespace of a child so it
    // vanishes with it. Needs CAP_SYS_ADMIN; /dev/full and the file-size
    // limit cover the same path without it.
    TempDir dir;
    const std::string target = dir / "old.bmp";
    const auto map = TestPicture(301, 200);  // about 180 KB
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir.str().c_str(), "tmpfs", 0, "size=64k") != 0)
            _exit(77);
        WriteBytes(target, kOld);
        if (ReadBytes(target) != kOld) _exit(1);
        try {
            SaveBmpFile(*map, target);
            _exit(2);
        } catch (const EInOutError& e) {
            if (e.Code() != ENOSPC) _exit(3);
        }
        if (ReadBytes(target) != kOld) _exit(4);
        if (Snapshot(dir.str()).size() != 1) _exit(5);  // the temporary is gone
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount a small file system here (no CAP_SYS_ADMIN)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed step " << WEXITSTATUS(status);
}

TEST(FaultInjection, AReadOnlyTargetIsNotReplaced) {
    TempDir dir;
    WriteBytes(dir / "old.bmp", kOld);
    // Renaming over it would succeed: only the folder's permission counts for that.
    ExpectSavesRefused(dir, dir / "old.bmp", {dir / "old.bmp"}, HasSubstr("old.bmp"));
}

TEST(FaultInjection, AReadOnlyFolderGetsNothing) {
    TempDir dir;
    fs::create_directories(dir / "ro");
    WriteBytes(dir / "ro/old.bmp", kOld);
    ExpectSavesRefused(dir, dir / "ro", {dir / "ro/old.bmp", dir / "ro/new.bmp"});
}

TEST(FaultInjection, ATargetThatIsAFolderIsLeftAlone) {
    TempDir dir;
    fs::create_directories(dir / "out.bmp/inner");
    WriteBytes(dir / "out.bmp/inner/keep", kOld);
    ExpectSavesRefused(dir, "", {dir / "out.bmp", dir / "out.bmp/"});
}

TEST(FaultInjection, ConvertingInPlaceThatFailsHalfWayKeepsTheSource) {
    TempDir dir;
    const std::string name = dir / "p.bmp";
    WriteBytes(name, EncodeBmp(*TestPicture(301, 200)));
    const FolderSnapshot before = Snapshot(dir.str());
    auto loaded = LoadImageFile(PixelKind::RGB, name);
    ASSERT_TRUE(loaded);
    {
        FileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(limit.Ok());
        EXPECT_NE(SaveFails<EInOutError>(*loaded, name), "");
    }
    EXPECT_EQ(Snapshot(dir.str()), before);
}

TEST(FaultInjection, RgbVanishingBetweenHeaderAndPixels) {
    TempDir dir;
    WriteText(dir / "p.ipr", "3 2 0 0");
    WriteBytes(dir / "p.rgb", std::vector<uint8_t>(18, 7));
    // The two steps one by one.
    TStpRgb pair;
    ASSERT_TRUE(pair.ReadHeader(dir / "p.ipr"));
    pair.Bitmap = std::make_unique<TPixelMapRGB>();
    pair.Bitmap->SetSize(pair.Width, pair.Height);
    fs::remove(dir / "p.rgb");
    try {
        pair.ReadPixels(dir / "p.rgb");
        FAIL() << "pixels read from a removed file";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Code(), 2);
    }

    // Through the loader: the .ipr is slow to read, and the .rgb goes as it is opened.
    TempDir piped;
    WriteBytes(piped / "q.rgb", std::vector<uint8_t>(18, 7));
    SlowHeader header(piped / "q.ipr", "3 2 0 0", [&] { fs::remove(piped / "q.rgb"); });
    ASSERT_TRUE(header.Ok());
    try {
        LoadImageFile(PixelKind::RGB, piped / "q.ipr");
        ADD_FAILURE() << "loaded without its .rgb";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Code(), 2);
    }
    EXPECT_TRUE(header.Served());
}

TEST(FaultInjection, SpecialFilesAreRefusedWithoutBlocking) {
    // Opening any of these for reading would wait for a writer or never end.
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "f.jpg").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "f.bmp").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "p.rgb").c_str(), 0644), 0);
    WriteText(dir / "p.ipr", "3 2 0 0");
    ASSERT_EQ(::mkfifo((dir / "q.ipr").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", dir / "z.bmp");
    for (const char* name : {"f.jpg", "f.bmp", "p.ipr", "q.ipr", "z.bmp"}) {
        SCOPED_TRACE(name);
        try {
            LoadImageFile(PixelKind::RGB, dir / name);
            ADD_FAILURE() << "loaded";
        } catch (const ENotRegularFile& e) {
            EXPECT_STREQ(e.what(), "not a regular file");
        }
    }
}

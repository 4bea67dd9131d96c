#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "TestUtil.h"
#include "imageio/BmpWriter.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

using namespace quenlo;
using ::testing::HasSubstr;
using namespace quenlo::test;
namespace fs = std::filesystem;

namespace {
// A 5 x 3 raw pair with distinct channels.
void WritePair(const TempDir& dir, const std::string& base) {
    WriteText(dir / (base + ".ipr"), "5 3 0 0");
    std::vector<uint8_t> rgb;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            uint8_t r, g, b;
            test::TestPixel(x, y, r, g, b);
            rgb.insert(rgb.end(), {r, g, b});
        }
    WriteBytes(dir / (base + ".rgb"), rgb);
}

bool RunningAsRoot() { return ::geteuid() == 0; }
}  // namespace

TEST(LoadImageFile, MissingOrUnnamedFilesGiveNoMap) {
    TempDir dir;
    EXPECT_EQ(LoadImageFile(PixelKind::RGB, ""), nullptr);
    EXPECT_EQ(LoadImageFile(PixelKind::RGB, dir / "none.jpg"), nullptr);
    EXPECT_EQ(LoadImageFile(PixelKind::RGB, dir.str()), nullptr);  // a folder is no file
}

TEST(LoadImageFile, PicksTheReaderByExtensionIgnoringCase) {
    TempDir dir;
    WritePair(dir, "pic");
    auto raw = LoadImageFile(PixelKind::RGB, dir / "pic.rgb");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->Width(), 5);
    const std::vector<uint8_t> bmp = EncodeBmp(static_cast<TPixelMapRGB&>(*raw));
    for (const char* name : {"pic.bmp", "pic.BMP", "pic.Bmp"}) {
        WriteBytes(dir / name, bmp);
        auto m = LoadImageFile(PixelKind::RGB, dir / name);
        ASSERT_TRUE(m) << name;
        EXPECT_EQ(std::vector<uint8_t>(m->Data(), m->Data() + m->DataSize()),
                  std::vector<uint8_t>(raw->Data(), raw->Data() + raw->DataSize()));
    }
    for (const char* name : {"pic.xyz", "pic"}) {
        WriteBytes(dir / name, bmp);
        auto m = LoadImageFile(PixelKind::RGB, dir / name);
        ASSERT_TRUE(m) << name;
        EXPECT_EQ(m->Width(), 0);
        EXPECT_EQ(m->Height(), 0);
    }
}

TEST(LoadImageFile, JpegUnderItsOtherNamesAndFilesHoldingAnotherFormat) {
    TempDir dir;
    const std::string jpg = QUENLO_SOURCE_DIR "/samples/harbour-photo.jpg";
    auto want = LoadImageFile(PixelKind::RGB, jpg);
    for (const char* name : {"p.jpeg", "p.JPE", "p.jfif"}) {
        std::filesystem::copy_file(jpg, dir / name);
        auto m = LoadImageFile(PixelKind::RGB, dir / name);
        ASSERT_TRUE(m) << name;
        EXPECT_EQ(std::vector<uint8_t>(m->Data(), m->Data() + m->DataSize()),
                  std::vector<uint8_t>(want->Data(), want->Data() + want->DataSize()));
    }
    // Files too damaged to read as what they hold keep their reader's error.
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
        {{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13}, "PNG"},
        {{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0}, "GIF"}};
    for (const auto& [bytes, kind] : cases) {
        WriteBytes(dir / "x.jpg", bytes);
        try {
            LoadImageFile(PixelKind::RGB, dir / "x.jpg");
            ADD_FAILURE() << kind;
        } catch (const EJpegError& e) {
            EXPECT_EQ(DescribeError(e), "JPEG エラー #" + std::to_string(e.Code()) + " (not a JPEG file: it holds a " +
                                            kind + " image)");
        }
    }
    // Readable ones are read as what they hold, with the mismatch as a warning.
    std::vector<std::string> warnings;
    LoadOptions options;
    options.onWarning = [&](const std::string& text) { warnings.push_back(text); };
    std::filesystem::copy_file(jpg, dir / "y.bmp");
    auto m = LoadImageFile(PixelKind::RGB, dir / "y.bmp", options);
    ASSERT_TRUE(m);
    EXPECT_EQ(std::vector<uint8_t>(m->Data(), m->Data() + m->DataSize()),
              std::vector<uint8_t>(want->Data(), want->Data() + want->DataSize()));
    EXPECT_THAT(warnings, ::testing::ElementsAre("not a BMP file: it holds a JPEG image"));
}

TEST(LoadImageFile, ConvertsIntoOtherKinds) {
    TempDir dir;
    WriteText(dir / "g.ipr", "2 1");
    WriteBytes(dir / "g.rgb", {31, 20, 10, 255, 255, 255});
    auto gray = LoadImageFile(PixelKind::Gray, dir / "g.ipr");
    ASSERT_EQ(gray->Kind(), PixelKind::Gray);
    EXPECT_EQ(gray->Data()[0], 20);  // (10 + 20 + 31) div 3
    EXPECT_EQ(gray->Data()[1], 255);
    auto wide = LoadImageFile(PixelKind::WGray, dir / "g.ipr");
    EXPECT_EQ(wide->Data()[2] | wide->Data()[3] << 8, 65535);
    auto argb = LoadImageFile(PixelKind::ARGB, dir / "g.ipr");
    EXPECT_EQ(static_cast<TPixelMapARGB&>(*argb).GetPixelColor(0, 0), 0xFF0A141Fu);
}

TEST(LoadImageFile, ErrorsPassThrough) {
    TempDir dir;
    WriteText(dir / "a.ipr", "3 3 0 0");
    EXPECT_THROW(LoadImageFile(PixelKind::RGB, dir / "a.ipr"), EInOutError);  // no a.rgb
    WriteBytes(dir / "b.bmp", {'B', 'M', 1, 2, 3});
    EXPECT_THROW(LoadImageFile(PixelKind::RGB, dir / "b.bmp"), EInvalidGraphic);
    WriteBytes(dir / "c.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 'J', 'F'});
    EXPECT_THROW(LoadImageFile(PixelKind::RGB, dir / "c.jpg"), EJpegError);
}

TEST(SaveBmpFile, WritesAndReplaces) {
    TempDir dir;
    auto m = test::TestPicture(7, 3);
    const std::string out = dir / "out.bmp";
    WriteText(out, "old content that is longer than nothing");
    SaveBmpFile(*m, out);
    EXPECT_EQ(ReadBytes(out), EncodeBmp(*m));
    SaveBmpFile(*m, dir / "named.txt");  // the format does not follow the name
    EXPECT_EQ(ReadBytes(dir / "named.txt"), EncodeBmp(*m));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.str()), {}), 2);  // no temporaries left
}

TEST(SaveBmpFile, ConvertsABmpInPlace) {
    TempDir dir;
    auto m = test::TestPicture(5, 4);
    const std::string name = dir / "p.bmp";
    SaveBmpFile(*m, name);
    auto loaded = LoadImageFile(PixelKind::RGB, name);
    SaveBmpFile(*loaded, name);
    EXPECT_EQ(ReadBytes(name), EncodeBmp(*m));
}

TEST(SaveBmpFile, OtherKindsAndEmptyMapsWriteNothing) {
    TempDir dir;
    TPixelMapGray gray;
    gray.SetSize(2, 2);
    SaveBmpFile(gray, dir / "g.bmp");
    EXPECT_FALSE(fs::exists(dir / "g.bmp"));

    TPixelMapRGB empty;
    WriteText(dir / "keep.bmp", "precious");
    EXPECT_THROW(SaveBmpFile(empty, dir / "keep.bmp"), EInvalidImageSize);
    EXPECT_EQ(ReadBytes(dir / "keep.bmp"), (std::vector<uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_THROW(SaveBmpFile(empty, dir / "new.bmp"), EInvalidImageSize);
    EXPECT_FALSE(fs::exists(dir / "new.bmp"));
}

TEST(SaveBmpFile, FailedWritesLeaveTheDiskAsItWas) {
    auto m = test::TestPicture(9, 5);
    // A device is never written through: refused before it is opened.
    if (fs::exists("/dev/full")) {
        try {
            SaveBmpFile(*m, "/dev/full");
            FAIL() << "a write to a device reported success";
        } catch (const EQuenlo& e) {
            EXPECT_THAT(e.what(), HasSubstr("not a regular file"));
        }
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
    TempDir dir;
    EXPECT_THROW(SaveBmpFile(*m, dir / "no/such/folder/x.bmp"), EFCreateError);
    try {
        SaveBmpFile(*m, dir / "missing/x.bmp");
    } catch (const EFCreateError& e) {
        EXPECT_THAT(e.what(), HasSubstr("を作成できません"));
    }
    if (!RunningAsRoot()) {
        fs::create_directories(dir / "ro");
        WriteText(dir / "ro/old.bmp", "old");
        fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_THROW(SaveBmpFile(*m, dir / "ro/old.bmp"), EFCreateError);
        fs::permissions(dir / "ro", fs::perms::owner_all);
        EXPECT_EQ(ReadBytes(dir / "ro/old.bmp"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    }
}

#include <csignal>
#include <sys/resource.h>

TEST(SaveBmpFile, AWriteThatFailsHalfWayKeepsTheOldFile) {
    // A file-size limit makes the write fail part-way, even for root.
    TempDir dir;
    const std::string name = dir / "old.bmp";
    WriteText(name, "old picture");
    auto m = test::TestPicture(301, 200);  // about 180 KB
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        SaveBmpFile(*m, name);
    } catch (const EInOutError&) {
        threw = true;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_EQ(ReadBytes(name), (std::vector<uint8_t>{'o', 'l', 'd', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.str()), {}), 1);  // the temporary is gone
}

#include <gtest/gtest.h>

#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestUtil.h"
#include "imageio/BmpWriter.h"
#include "imageio/RawStream.h"
#include "imageio/RgbSwap.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

using namespace quenlo;
using quenlo::test::ReadBytes;
using quenlo::test::TempDir;

TEST(RgbSwap, FastPathEqualsThePlainLoop) {
    std::mt19937 rng(7);
    for (size_t pixels = 0; pixels < 80; ++pixels) {
        std::vector<uint8_t> src(pixels * 3 + 16);
        for (auto& b : src) b = static_cast<uint8_t>(rng());
        for (size_t offset : {0u, 1u, 5u}) {  // unaligned starts too
            std::vector<uint8_t> want(src), fast(src), inPlace(src);
            SwapRedBlueReference(src.data() + offset, want.data() + offset, pixels);
            SwapRedBlue(src.data() + offset, fast.data() + offset, pixels);
            SwapRedBlue(inPlace.data() + offset, inPlace.data() + offset, pixels);
            ASSERT_EQ(fast, want) << pixels << " pixels at " << offset;  // and nothing past the end
            ASSERT_EQ(inPlace, want) << pixels << " pixels in place at " << offset;
        }
    }
}

namespace {
void WritePair(const TempDir& dir, const std::string& base, int w, int h, size_t rgbBytes, uint32_t seed) {
    test::WriteText(dir / (base + ".ipr"), std::to_string(w) + " " + std::to_string(h) + " 0 0");
    std::mt19937 rng(seed);
    std::vector<uint8_t> rgb(rgbBytes);
    for (auto& b : rgb) b = static_cast<uint8_t>(rng());
    test::WriteBytes(dir / (base + ".rgb"), rgb);
}

std::vector<uint8_t> ThroughTheMap(const std::string& name) {
    auto map = LoadImageFile(PixelKind::RGB, name);
    return EncodeBmp(static_cast<TPixelMapRGB&>(*map));
}
}  // namespace

TEST(RawStream, SameBytesAsLoadingAndSaving) {
    TempDir dir;
    struct Case {
        int w, h;
        size_t rgbBytes;
        size_t buffer;
    } cases[] = {
        {5, 3, 45, 1},          // one row a step
        {7, 9, 7 * 9 * 3, 64},  // a few rows a step, a partial last step
        {1, 1, 3, 4u << 20},
        {33, 17, 100, 200},     // short: mid-pixel, most rows white
        {4, 4, 0, 1 << 10},     // an empty .rgb: all white
        {6, 5, 6 * 5 * 3 + 50, 30},  // longer than needed: the rest is never read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " with " + std::to_string(c.rgbBytes));
        WritePair(dir, "p", c.w, c.h, c.rgbBytes, static_cast<uint32_t>(c.w * 100 + c.h));
        ConvertRawToBmpFile(dir / "p.rgb", dir / "p.bmp", RawStreamOptions{c.buffer});
        EXPECT_EQ(ReadBytes(dir / "p.bmp"), ThroughTheMap(dir / "p.ipr"));
    }
    // Every length of a short file.
    for (size_t n = 0; n <= 3 * 5 * 4; ++n) {
        WritePair(dir, "s", 5, 4, n, 3);
        ConvertRawToBmpFile(dir / "s.ipr", dir / "s.bmp", RawStreamOptions{40});
        ASSERT_EQ(ReadBytes(dir / "s.bmp"), ThroughTheMap(dir / "s.ipr")) << n << " bytes";
    }
}

TEST(RawStream, RefusesWhatNoBmpCanHoldAndKeepsTheTarget) {
    EXPECT_TRUE(BmpCanHold(1, 1));
    EXPECT_FALSE(BmpCanHold(0, 5));
    EXPECT_FALSE(BmpCanHold(5, -1));
    // 4 GiB less the header is the last size the 32-bit file size can state.
    EXPECT_TRUE(BmpCanHold(4, (UINT32_MAX - 54) / 12));
    EXPECT_FALSE(BmpCanHold(4, (UINT32_MAX - 54) / 12 + 1));
    TempDir dir;
    test::WriteText(dir / "old.bmp", "keep");
    for (const char* ipr : {"0 5 0 0", "-3 3 0 0", "70000 70000 0 0"}) {
        test::WriteText(dir / "a.ipr", ipr);
        test::WriteBytes(dir / "a.rgb", {1, 2, 3});
        EXPECT_THROW(ConvertRawToBmpFile(dir / "a.ipr", dir / "old.bmp"), EInvalidImageSize) << ipr;
    }
    test::WriteText(dir / "b.ipr", "2 2 0 0");
    try {
        ConvertRawToBmpFile(dir / "b.ipr", dir / "old.bmp");
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Code(), 2);
    }
    EXPECT_EQ(ReadBytes(dir / "old.bmp").size(), 4u);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(RawStream, ConvertsImagesLargerThanMemoryAllows) {
    // 12000 x 10000 is 360 MB of pixels; with 160 MB of address space only
    // a streaming conversion can finish.
    TempDir dir;
    test::WriteText(dir / "big.ipr", "12000 10000 0 0");
    test::WriteBytes(dir / "big.rgb", std::vector<uint8_t>(12000 * 3 * 2, 9));  // two rows, the rest white
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rlimit limit{160u << 20, 160u << 20};
        setrlimit(RLIMIT_AS, &limit);
        try {
            ConvertRawToBmpFile(dir / "big.ipr", dir / "big.bmp");
        } catch (...) {
            _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(std::filesystem::file_size(dir / "big.bmp"), 54u + 36000u * 10000u);
    // The top two rows (stored last) carry the file's bytes.
    std::ifstream f(dir / "big.bmp", std::ios::binary);
    f.seekg(54 + 36000ll * 9999);
    EXPECT_EQ(f.get(), 9);
}
#endif

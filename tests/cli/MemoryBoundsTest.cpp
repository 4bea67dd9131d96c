// Memory bounded by what an image is, not by what its file claims: each
// bound checked on a crafted file by the peak memory of a process of its
// own, against a run of the same kind on a tiny image.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <tiffio.h>
#include <zlib.h>

#include "TestUtil.h"
#include "batch/ItemLoader.h"
#include "imageio/AtomicFile.h"
#include "imageio/OutputFormat.h"

using namespace quenlo;
using namespace quenlo::test;
namespace fs = std::filesystem;

namespace {

const std::string kProgram = QUENLO_BINARY_DIR "/bin/quenlo-convert";

struct Peak {
    int exit = -1;
    long kib = 0;  // peak resident memory
};

// fn run in a child process: its exit code and peak memory.
template <class Fn>
Peak InChild(Fn fn) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(fn());
    int status = 0;
    rusage use{};
    if (::wait4(pid, &status, 0, &use) != pid) return {};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), use.ru_maxrss};
}

Peak Convert(std::vector<std::string> args) {
    args.insert(args.begin(), {kProgram, "-q"});
    return InChild([&] {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(kProgram.c_str(), argv.data());
        return 127;
    });
}

void Put32(std::vector<uint8_t>& f, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(v >> s));
}

// A greyscale PNG of 1-bit or 8-bit rows, each row given packed.
std::vector<uint8_t> GreyPng(uint32_t w, uint32_t h, int bits, const std::function<void(uint32_t, uint8_t*, size_t)>& row) {
    const size_t rowBytes = (size_t(w) * bits + 7) / 8;
    std::vector<uint8_t> raw(h * (rowBytes + 1), 0);
    for (uint32_t y = 0; y < h; ++y) row(y, &raw[y * (rowBytes + 1) + 1], rowBytes);
    std::vector<uint8_t> packed(compressBound(uLong(raw.size())));
    uLongf size = packed.size();
    EXPECT_EQ(compress2(packed.data(), &size, raw.data(), uLong(raw.size()), 1), Z_OK);
    packed.resize(size);
    std::vector<uint8_t> f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char* type, const std::vector<uint8_t>& data) {
        Put32(f, uint32_t(data.size()));
        const size_t at = f.size();
        f.insert(f.end(), type, type + 4);
        f.insert(f.end(), data.begin(), data.end());
        Put32(f, uint32_t(crc32(0, &f[at], uInt(f.size() - at))));
    };
    std::vector<uint8_t> ihdr;
    Put32(ihdr, w);
    Put32(ihdr, h);
    ihdr.insert(ihdr.end(), {uint8_t(bits), 0, 0, 0, 0});
    chunk("IHDR", ihdr);
    chunk("IDAT", packed);
    chunk("IEND", {});
    return f;
}

constexpr long kMiB = 1024;  // in KiB

}  // namespace

// A 137-byte TIFF claiming one tile of 16384 x 16384 for a 1 x 1 image is
// refused before the tile's 768 MiB exist.
TEST(MemoryBounds, TileLargerThanItsImageIsRefusedBeforeAllocating) {
    TempDir dir;
    WriteBytes(dir / "bomb.tif", OneTileTiff(16384, {200, 100, 50}));
    WriteBytes(dir / "fine.tif", OneTileTiff(16, std::vector<uint8_t>(16 * 16 * 3, 7)));
    const Peak fine = Convert({"-o", dir / "out", dir / "fine.tif"});
    const Peak bomb = Convert({"-o", dir / "out", dir / "bomb.tif"});
    EXPECT_EQ(fine.exit, 0);
    EXPECT_EQ(bomb.exit, 1);
    EXPECT_LT(bomb.kib - fine.kib, 4 * kMiB);
}

// A 1-bit PNG of 16384 x 4096 (a few KiB) streams row by row into its
// .bmp: memory of a few rows, not of its 192 MiB of pixels.
TEST(MemoryBounds, OneBitPngStreamsRowByRow) {
    TempDir dir;
    auto stripes = [](uint32_t y, uint8_t* row, size_t n) { std::memset(row, y % 3 ? 0xB2 : 0x4D, n); };
    WriteBytes(dir / "wide.png", GreyPng(16384, 4096, 1, stripes));
    WriteBytes(dir / "tiny.png", GreyPng(16, 4, 1, stripes));
    const Peak tiny = Convert({"-o", dir / "out", dir / "tiny.png"});
    const Peak wide = Convert({"-o", dir / "out", dir / "wide.png"});
    EXPECT_EQ(tiny.exit, 0);
    EXPECT_EQ(wide.exit, 0);
    EXPECT_LT(wide.kib - tiny.kib, 8 * kMiB);
    EXPECT_EQ(fs::file_size(dir / "out/wide.bmp"), 54u + 16384u * 3 * 4096);
}

// A raw pair of 4,000,000 x 3 (12 MB a row) goes into its .bmp in pieces
// of rows: memory of the buffer, not of two rows.
TEST(MemoryBounds, WideRawRowsGoToABmpInPieces) {
    TempDir dir;
    WriteText(dir / "wide.ipr", "4000000 3 0 0");
    fs::resize_file((WriteText(dir / "wide.rgb", "abc"), dir / "wide.rgb"), 4000000 * 3 * 3 - 1000);
    WritePair(dir / "tiny", 5, 3, 1);
    const Peak tiny = Convert({"-o", dir / "out", dir / "tiny.ipr"});
    const Peak wide = Convert({"-o", dir / "out", dir / "wide.ipr"});
    EXPECT_EQ(tiny.exit, 0);
    EXPECT_EQ(wide.exit, 0);
    EXPECT_LT(wide.kib - tiny.kib, 4 * kMiB);
    // The first pixel as stored, the short file's end white, bottom row first.
    const std::vector<uint8_t> bmp = ReadBytes(dir / "out/wide.bmp");
    ASSERT_EQ(bmp.size(), 54u + 12000000u * 3);
    EXPECT_EQ(bmp[54 + 2 * 12000000 + 2], 'a');
    EXPECT_EQ(bmp[54 + 2 * 12000000 + 0], 'c');
    EXPECT_EQ(bmp[54 + 12000000 - 1], 255);
}

// Four PNGs of 3072 x 3072 held whole (as for the window's preview) at
// four jobs under a 64 MiB budget: each reserves its 27 MiB map, not its
// file of a few KiB, so no more than two are held at once.
TEST(MemoryBounds, WholePngsReserveTheirDecodedSize) {
    if (kSanitized)
        GTEST_SKIP() << "the address sanitizer keeps freed maps in its quarantine, so peak memory cannot tell two held maps "
                        "from four; the release build checks the budget";
    TempDir dir;
    auto ramp = [](uint32_t y, uint8_t* row, size_t n) {
        for (size_t x = 0; x < n; ++x) row[x] = static_cast<uint8_t>(x + y);
    };
    const std::vector<uint8_t> png = GreyPng(3072, 3072, 8, ramp), small = GreyPng(16, 16, 8, ramp);
    std::vector<std::string> big, tiny;
    for (int i = 0; i < 4; ++i) {
        big.push_back(dir / ("b" + std::to_string(i) + ".png"));
        tiny.push_back(dir / ("t" + std::to_string(i) + ".png"));
        WriteBytes(big.back(), png);
        WriteBytes(tiny.back(), small);
    }
    auto run = [&](const std::vector<std::string>& inputs) {
        return InChild([&] {
            ItemLoaderOptions options;
            options.budget = std::make_shared<TMemoryBudget>(uint64_t{64} << 20);
            options.keepImage = [](const BatchItem&, std::shared_ptr<TPixelMap>) {};
            BatchOptions batch;
            batch.jobs = 4;
            const BatchResult r = RunBatch(PlanBatch(inputs, dir / "out"), batch, ItemLoader(options), {});
            return r.converted == 4 ? 0 : 1;
        });
    };
    const Peak few = run(tiny), many = run(big);
    EXPECT_EQ(few.exit, 0);
    EXPECT_EQ(many.exit, 0);
    // Two 27 MiB maps and what writing them takes; four would be 108 MiB.
    EXPECT_LT(many.kib - few.kib, 80 * kMiB);
}

// An uncompressed tiled TIFF cut short while it is read fails alone: it is
// read with pread, never mapped, so no SIGBUS ends the run; the next file
// is converted.
TEST(MemoryBounds, ATiffThatShrinksWhileReadFailsAlone) {
    TempDir dir;
    const int side = 4096;
    TIFF* tif = TIFFOpen((dir / "shrink.tif").c_str(), "w");
    ASSERT_TRUE(tif);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, side);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, side);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, 256);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, 256);
    std::vector<uint8_t> tile(256 * 256 * 3, 90);
    for (uint32_t t = 0; t < TIFFNumberOfTiles(tif); ++t)
        ASSERT_GE(TIFFWriteEncodedTile(tif, t, tile.data(), tmsize_t(tile.size())), 0);
    TIFFClose(tif);
    WritePair(dir / "next", 5, 3, 1);
    for (int delayMs : {5, 20, 60}) {
        fs::remove_all(dir / "out");
        fs::copy_file(dir / "shrink.tif", dir / "s.tif", fs::copy_options::overwrite_existing);
        const pid_t cutter = ::fork();
        if (cutter == 0) {
            ::usleep(delayMs * 1000);
            ::_exit(::truncate((dir / "s.tif").c_str(), 4096) == 0 ? 0 : 1);
        }
        const Peak run = Convert({"--keep-going", "-j1", "-o", dir / "out", dir / "s.tif", dir / "next.ipr"});
        ::waitpid(cutter, nullptr, 0);
        EXPECT_TRUE(run.exit == 0 || run.exit == 1) << "exit " << run.exit << " after " << delayMs << " ms";
        EXPECT_TRUE(fs::exists(dir / "out/next.bmp"));
    }
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include "TestUtil.h"
#include "cli/CliRun.h"

using namespace quenlo;
using namespace quenlo::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

void Chunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
    PutBe32(png, static_cast<uint32_t>(data.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    PutBe32(png, static_cast<uint32_t>(crc32(0, &png[start], static_cast<uInt>(png.size() - start))));
}

// A 7 x 5 PNG of `channels` samples of `depth` bits, with extra chunks before its data.
std::vector<uint8_t> Png(int channels, int depth, const std::vector<std::pair<const char*, std::vector<uint8_t>>>& extra = {}) {
    const int w = 7, h = 5, bytes = channels * depth / 8;
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    PutBe32(ihdr, w);
    PutBe32(ihdr, h);
    ihdr.insert(ihdr.end(), {static_cast<uint8_t>(depth), static_cast<uint8_t>(channels == 4 ? 6 : 2), 0, 0, 0});
    Chunk(png, "IHDR", ihdr);
    for (const auto& [type, data] : extra) Chunk(png, type, data);
    std::vector<uint8_t> rows;
    for (int y = 0; y < h; ++y) {
        rows.push_back(0);  // no filter
        for (int x = 0; x < w * bytes; ++x) rows.push_back(static_cast<uint8_t>(x * 37 + y * 11));
    }
    std::vector<uint8_t> packed(compressBound(static_cast<uLong>(rows.size())));
    uLongf n = packed.size();
    compress(packed.data(), &n, rows.data(), static_cast<uLong>(rows.size()));
    packed.resize(n);
    Chunk(png, "IDAT", packed);
    Chunk(png, "IEND", {});
    return png;
}

void PutLe(std::vector<uint8_t>& out, size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A 7 x 5 .bmp: 24-bit, or 32-bit with an alpha mask in a V4 header; ppm: its resolution.
std::vector<uint8_t> Bmp(bool alpha, uint32_t ppm = 0) {
    const uint32_t header = alpha ? 108 : 40, rowSize = alpha ? 28 : 24, size = 14 + header + rowSize * 5;
    std::vector<uint8_t> bmp(size, 0);
    bmp[0] = 'B', bmp[1] = 'M';
    PutLe(bmp, 2, size, 4);
    PutLe(bmp, 10, 14 + header, 4);
    PutLe(bmp, 14, header, 4);
    PutLe(bmp, 18, 7, 4);
    PutLe(bmp, 22, 5, 4);
    PutLe(bmp, 26, 1, 2);
    PutLe(bmp, 28, alpha ? 32 : 24, 2);
    PutLe(bmp, 38, ppm, 4);
    PutLe(bmp, 42, ppm, 4);
    if (alpha) {
        PutLe(bmp, 30, 3, 4);  // bit fields
        const uint32_t masks[] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
        for (int i = 0; i < 4; ++i) PutLe(bmp, 54 + 4 * i, masks[i], 4);
    }
    for (size_t i = 14 + header; i < size; ++i) bmp[i] = static_cast<uint8_t>(i * 29);
    return bmp;
}

// A 7 x 5 RGB .tif of `pages` pages.
void WriteTiffPages(const std::string& name, int pages) {
    TIFF* tif = TIFFOpen(name.c_str(), "w");
    ASSERT_TRUE(tif);
    for (int page = 0; page < pages; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 7);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 5);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 5);
        for (uint32_t y = 0; y < 5; ++y) {
            uint8_t row[21];
            for (int x = 0; x < 21; ++x) row[x] = static_cast<uint8_t>(x * 13 + y * 7 + page);
            TIFFWriteScanline(tif, row, y, 0);
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
}

}  // namespace

// Source kind x output format x --in-place: an output over its own source
// is written only where nothing is lost or where it is allowed.
TEST(InPlace, ASourceIsReplacedOnlyByAsMuchOrWhenAllowed) {
    TempDir dir;
    const std::vector<uint8_t> ppm = {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1};  // 2835 per metre
    struct Row {
        std::string name;
        std::function<void(const std::string&)> make;
        std::string format;
        std::string lost;  // "" when it is written without --in-place
    };
    auto bytes = [](std::vector<uint8_t> b) { return [b](const std::string& n) { WriteBytes(n, b); }; };
    // A PNG converted by us, then named n.
    auto converted = [&](std::vector<uint8_t> png, std::vector<std::string> args) {
        return [&dir, png, args](const std::string& n) {
            WriteBytes(dir / "p.png", png);
            std::vector<std::string> all = {"-q", "--if-exists", "replace", "-o", dir / "made"};
            all.insert(all.end(), args.begin(), args.end());
            all.push_back(dir / "p.png");
            ASSERT_EQ(RunConvert(all).status, 0);
            fs::rename(dir / ("made/p." + args[1]), n);
        };
    };
    const std::vector<Row> rows = {
        {"rgb.png", bytes(Png(3, 8)), "png", ""},
        {"rgba.png", bytes(Png(4, 8)), "png", ""},  // PNG keeps alpha
        {"trns.png", bytes(Png(3, 8, {{"tRNS", {0, 1, 0, 2, 0, 3}}})), "png", ""},
        {"dpi.png", bytes(Png(3, 8, {{"pHYs", ppm}})), "png", ""},
        {"deep.png", bytes(Png(3, 16)), "png", "its 16-bit samples"},
        {"rgba16.png", bytes(Png(4, 16)), "png", "its 16-bit samples"},
        {"bg.png", bytes(Png(4, 8)), "png --background white", "its alpha channel"},
        {"other.png", bytes(Png(4, 16)), "bmp", ""},  // other.bmp: another file
        {"plain.bmp", bytes(Bmp(false)), "bmp", ""},
        {"dpi.bmp", bytes(Bmp(false, 2835)), "bmp", ""},
        {"alpha.bmp", bytes(Bmp(true)), "bmp", "its alpha channel"},
        {"one.tif", [](const std::string& n) { WriteTiffPages(n, 1); }, "tiff", ""},
        {"pages.tif", [](const std::string& n) { WriteTiffPages(n, 3); }, "tiff", "its other 2 pages"},
        {"photo.jpg", [&](const std::string& n) {
             WriteBytes(dir / "p.png", Png(3, 8));
             ASSERT_EQ(RunConvert({"-q", "--format", "jpg", dir / "p.png"}).status, 0);
             fs::rename(dir / "p.jpg", n);
         }, "jpg", "its pixels as they are"},
        {"small.png", bytes(Png(3, 8)), "png --resize 3", "its pixels as they are"},
        {"rgba.webp", converted(Png(4, 8), {"--format", "webp", "--lossless"}), "webp --lossless", ""},
        {"bg.webp", converted(Png(4, 8), {"--format", "webp", "--lossless"}), "webp --lossless --background white", "its alpha channel"},
        {"lossy.webp", converted(Png(3, 8), {"--format", "webp"}), "webp", "its pixels as they are"},
        {"dpi.webp", converted(Png(3, 8, {{"pHYs", ppm}}), {"--format", "webp"}), "webp --lossless", ""},
    };
    for (const bool allowed : {false, true}) {
        for (const Row& row : rows) {
            const std::string name = dir / row.name;
            row.make(name);
            const std::vector<uint8_t> before = ReadBytes(name);
            std::vector<std::string> args = {"-q", name, "--format"};
            for (size_t at = 0, end; at <= row.format.size(); at = end + 1) {
                end = std::min(row.format.find(' ', at), row.format.size());
                args.push_back(row.format.substr(at, end - at));
            }
            if (allowed) args.insert(args.begin(), "--in-place");
            const CliRun r = RunConvert(args);
            SCOPED_TRACE(row.name + (allowed ? " --in-place" : ""));
            if (row.lost.empty() || allowed) {
                EXPECT_EQ(r.status, 0) << r.err;
                continue;
            }
            EXPECT_EQ(r.status, 1);
            EXPECT_THAT(r.err, HasSubstr(row.name + ": rewriting it in place would lose " + row.lost + "; --in-place allows it"));
            EXPECT_EQ(ReadBytes(name), before);
        }
    }
    // Through a link it is the same file; a hard-linked second name is said to be one file.
    WriteBytes(dir / "deep.png", Png(3, 16));
    fs::create_symlink(dir / "deep.png", dir / "link.png");
    CliRun r = RunConvert({"-q", "--format", "png", dir / "link.png"});
    EXPECT_THAT(r.err, HasSubstr("would lose its 16-bit samples"));
    fs::create_hard_link(dir / "rgb.png", dir / "hard.png");
    r = RunConvert({"-q", "--format", "png", dir / "rgb.png", dir / "hard.png"});
    EXPECT_THAT(r.err, HasSubstr("hard.png: one file with " + (dir / "rgb.png") + " (hard links)"));
}

// The smaller faults: each says what is wrong, at once, in one line.
TEST(InPlace, SmallFaultsSayWhatIsWrongAtOnce) {
    TempDir dir;
    WriteBytes(dir / "empty.png", {});
    CliRun r = RunConvert({"-q", dir / "empty.png"});
    EXPECT_THAT(r.err, HasSubstr("empty.png: "));
    EXPECT_THAT(r.err, HasSubstr("(empty file)"));
    r = RunConvert({"-q", dir / (std::string(300, 'a') + ".png")});
    EXPECT_THAT(r.err, HasSubstr(": file name too long"));
    EXPECT_EQ(RunConvert({"--max-pixels", "9223372036854775808", dir / "empty.png"}).status, 2);

    // A JPEG cut after its first marker warns tens of thousands of times while decoded whole.
    WriteBytes(dir / "four.jpg", {0xFF, 0xD8, 0xFF, 0xE0});
    WritePair(dir / "a", 3, 2, 1);
    r = RunConvert({"-q", "--keep-going", "--format", "png", "-o", dir / "out", dir / "four.jpg"});
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

    // The report's folder is made as -o makes its own.
    r = RunConvert({"-q", "-o", dir / "new/out", "--report", dir / "new/logs/run.jsonl", dir / "a.ipr"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "new/logs/run.jsonl"));

    // FIFOs with no one at the other end are refused, not waited on.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    r = RunConvert({"-q", "--report", dir / "fifo", dir / "a.ipr"});
    EXPECT_THAT(r.err, HasSubstr("a FIFO with no reader"));
    r = RunConvert({"-q", "--files-from", dir / "fifo"});
    EXPECT_THAT(r.err, HasSubstr("a FIFO with no writer"));
    EXPECT_EQ(r.status, 1);
}

// Headers that claim more than the file can back, and the limits that keep
// such files from exhausting memory or time.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

#include "TestUtil.h"
#include "imageio/BmpReader.h"
#include "imageio/JpegReader.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

using namespace quenlo;
using quenlo::test::kSanitized;
using quenlo::test::TempDir;
using quenlo::test::WriteBytes;
using quenlo::test::WriteText;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMiB = size_t{1} << 20;

// How a load ends, as text the tests compare.
std::string Outcome(const std::function<void()>& load) {
    try {
        load();
        return "ok";
    } catch (const EInvalidGraphic& e) {
        return "EInvalidGraphic: " + e.Detail();
    } catch (const EInvalidImageSize&) {
        return "EInvalidImageSize";
    } catch (const EImageTooLarge&) {
        return "EImageTooLarge";
    } catch (const EJpegError& e) {
        return "EJpegError " + std::to_string(e.Code());
    } catch (const EInOutError& e) {
        return "EInOutError " + std::to_string(e.Code());
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
}

// The outcome of `load` in a child process whose address space may grow by
// only `headroom` bytes, so any larger allocation fails there. Sanitizer
// runtimes reserve terabytes of shadow memory and cannot run under such a
// limit; there the load runs here and only its outcome is checked.
std::string OutcomeWithin(size_t headroom, const std::function<void()>& load) {
    if (kSanitized) return Outcome(load);
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        size_t pages = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%zu", &pages) != 1) pages = 0;
            std::fclose(f);
        }
        rlimit lim{};
        ::getrlimit(RLIMIT_AS, &lim);
        lim.rlim_cur = pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) + headroom;
        const std::string text = ::setrlimit(RLIMIT_AS, &lim) == 0 ? Outcome(load) : "no limit";
        if (::write(fds[1], text.data(), text.size()) < 0) _exit(2);
        _exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return text;
}

void Put(Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> 8 * i));
}

// A .bmp with a 40-byte header, a 16-entry palette when bpp <= 8, then `data`.
Bytes Bmp(int32_t w, int32_t h, uint16_t bpp, uint32_t compression, const Bytes& data) {
    const uint32_t pal = bpp <= 8 ? 16 : 0;
    const uint32_t off = 54 + 4 * pal;
    Bytes b{'B', 'M'};
    Put(b, off + static_cast<uint32_t>(data.size()), 4); Put(b, 0, 4); Put(b, off, 4);
    Put(b, 40, 4); Put(b, static_cast<uint32_t>(w), 4); Put(b, static_cast<uint32_t>(h), 4);
    Put(b, 1, 2); Put(b, bpp, 2); Put(b, compression, 4);
    Put(b, static_cast<uint32_t>(data.size()), 4); Put(b, 0, 4); Put(b, 0, 4); Put(b, pal, 4); Put(b, 0, 4);
    for (uint32_t i = 0; i < pal; ++i) Put(b, i * 0x111111, 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

std::function<void()> DecodingBmp(const Bytes& file) {
    return [file] { DecodeBmp(file); };
}

enum class Scans { Interleaved, Progressive, OnePerComponent };

// A small real JPEG from the library's own encoder.
Bytes EncodeJpeg(int w, int h, int components, Scans scans) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = components;
    c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 1;  // 4:4:4
    if (scans == Scans::Progressive) jpeg_simple_progression(&c);
    jpeg_scan_info single[3] = {};
    if (scans == Scans::OnePerComponent) {
        for (int i = 0; i < components; ++i) {
            single[i].comps_in_scan = 1;
            single[i].component_index[0] = i;
            single[i].Se = 63;
        }
        c.scan_info = single;
        c.num_scans = components;
    }
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(w) * components);
    while (c.next_scanline < c.image_height) {
        for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<JSAMPLE>(i * 13 + c.next_scanline * 7);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    Bytes bytes(out, out + size);
    std::free(out);
    jpeg_destroy_compress(&c);
    return bytes;
}

// Offsets of the markers that start segments, up to and including EOI.
std::vector<size_t> Markers(const Bytes& j) {
    std::vector<size_t> at;
    size_t p = 2;
    while (p + 2 <= j.size()) {
        at.push_back(p);
        const uint8_t m = j[p + 1];
        if (m == 0xD9 || p + 4 > j.size()) break;
        p += 2 + (j[p + 2] << 8 | j[p + 3]);
        if (m == 0xDA) {  // entropy data runs to the next marker that is not a stuffed byte or restart
            while (p + 1 < j.size() && !(j[p] == 0xFF && j[p + 1] != 0 && (j[p + 1] < 0xD0 || j[p + 1] > 0xD7))) ++p;
        }
    }
    return at;
}

// The frame header claims w x h; the data stays that of the small picture.
Bytes WithSize(Bytes j, int w, int h) {
    for (size_t p : Markers(j))
        if (j[p + 1] >= 0xC0 && j[p + 1] <= 0xC2) {
            j[p + 5] = static_cast<uint8_t>(h >> 8); j[p + 6] = static_cast<uint8_t>(h);
            j[p + 7] = static_cast<uint8_t>(w >> 8); j[p + 8] = static_cast<uint8_t>(w);
        }
    return j;
}

// Repeats the last scan until the file has `scans` of them.
Bytes WithScans(const Bytes& j, int scans) {
    const std::vector<size_t> at = Markers(j);
    size_t lastSos = 0;
    int have = 0;
    for (size_t p : at)
        if (j[p + 1] == 0xDA) lastSos = p, ++have;
    const size_t eoi = at.back();
    Bytes out(j.begin(), j.begin() + static_cast<long>(eoi));
    for (; have < scans; ++have) out.insert(out.end(), j.begin() + static_cast<long>(lastSos), j.begin() + static_cast<long>(eoi));
    out.insert(out.end(), j.begin() + static_cast<long>(eoi), j.end());
    return out;
}

std::function<void()> DecodingJpeg(const Bytes& file) {
    return [file] { DecodeJpeg(file); };
}

}  // namespace

// 26000 x 26000 is just inside the map's 2 GiB: refusing it must not rely on that check.
TEST(ResourceLimits, UncompressedBmpShortOfItsRowsIsRefusedBeforeAllocating) {
    const Bytes tiny(46, 0x55);
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(26000, 26000, 24, 0, tiny))),
              "EInvalidGraphic: not enough pixel data");
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(60000, 60000, 24, 0, tiny))),
              "EInvalidGraphic: not enough pixel data");
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(60000, -60000, 1, 0, tiny))),
              "EInvalidGraphic: not enough pixel data");
}

TEST(ResourceLimits, RleStreamThatCannotFillItsRowsIsRefusedBeforeAllocating) {
    // Two runs and an end of line, then nothing: 25999 rows missing.
    const Bytes endsEarly = {200, 1, 200, 2, 0, 0};
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(26000, 26000, 8, 1, endsEarly))),
              "EInvalidGraphic: RLE data ends early");
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(26000, 26000, 4, 2, endsEarly))),
              "EInvalidGraphic: RLE data ends early");
    // Deltas cannot cover the rows either: 255 rows per four bytes.
    Bytes deltas;
    for (int i = 0; i < 20; ++i) deltas.insert(deltas.end(), {0, 2, 0, 255});
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(26000, 26000, 8, 1, deltas))),
              "EInvalidGraphic: RLE data ends early");
    // A fault at the very end of a long stream is found before the map exists, too.
    Bytes rows;
    for (int i = 0; i < 30; ++i) rows.insert(rows.end(), {100, 7, 100, 7, 100, 7, 0, 0});
    Bytes late = rows;
    late.insert(late.end(), {255, 1, 255, 1});
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(300, 26000, 8, 1, late))),
              "EInvalidGraphic: RLE data ends early");  // the runs past the row end are dropped
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(300, 30, 8, 1, late))),
              "EInvalidGraphic: RLE run leaves the image");  // above the picture
    late = rows;
    late.insert(late.end(), {0, 2, 0, 255, 0, 2, 0, 255});
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(300, 300, 8, 1, late))),
              "EInvalidGraphic: RLE delta leaves the image");
}

TEST(ResourceLimits, RleEndOfBitmapMakesAnySizeValidUpToTheMapLimit) {
    // The marker leaves every other pixel black: a 2-byte stream is a whole picture.
    const Bytes eob = {3, 9, 0, 1};
    auto map = DecodeBmp(Bmp(3000, 2000, 8, 1, eob));
    ASSERT_EQ(map->Width(), 3000);
    EXPECT_EQ(map->ScanLine(1999)[0], 0x99);  // palette entry 9, bottom row
    EXPECT_EQ(map->ScanLine(0)[0], 0);
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(60000, 60000, 8, 1, eob))), "EInvalidImageSize");
    // The 1,080-byte bomb: refused by the pixel limit before anything is allocated.
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingBmp(Bmp(26000, 26000, 8, 1, eob))), "EImageTooLarge");
    if (kSanitized) GTEST_SKIP() << "an address-space limit cannot apply under a sanitizer";
    // Past the limit, inside the map's but more than the memory there is: raised, not killed.
    EXPECT_EQ(OutcomeWithin(256 * kMiB, [&] { DecodeBmp(Bmp(26000, 26000, 8, 1, eob), PixelLimit{INT64_MAX, ""}); }),
              "bad_alloc");
}

TEST(ResourceLimits, JpegTooLargeForAMapIsRefusedBeforeDecoding) {
    for (Scans scans : {Scans::Interleaved, Scans::Progressive}) {
        SCOPED_TRACE(scans == Scans::Progressive ? "progressive" : "baseline");
        const Bytes small = EncodeJpeg(16, 16, 3, scans);
        EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingJpeg(WithSize(small, 65000, 65000))), "EInvalidImageSize");
        EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingJpeg(WithSize(small, 65500, 11000))), "EInvalidImageSize");
    }
}

TEST(ResourceLimits, ProgressiveCoefficientsAreCappedAtTwoGiB) {
    // 4:4:4 colour at 26000 x 26000: the map would fit (1.9 GiB) but the
    // coefficients take 3.8 GiB. Refused before the map is allocated.
    // The pixel limit alone would refuse it first; raised, the decoder's own cap still holds.
    const Bytes big = WithSize(EncodeJpeg(16, 16, 3, Scans::Progressive), 26000, 26000);
    EXPECT_EQ(OutcomeWithin(64 * kMiB, DecodingJpeg(big)), "EImageTooLarge");
    JpegOptions unlimited;
    unlimited.limit.maxPixels = INT64_MAX;
    EXPECT_EQ(OutcomeWithin(256 * kMiB, [&] { DecodeJpeg(big, unlimited); }), "EJpegError 1001");
    try {
        DecodeJpeg(big, unlimited);
    } catch (const EJpegError& e) {
        EXPECT_EQ(e.Detail(), "Image needs more than 2048 MiB of decoder memory");
    }
}

TEST(ResourceLimits, ATruncatedJpegStillDecodesInGreyWithWarnings) {
    // Missing data is the library's warning, not an error, so a small file
    // can claim a larger picture; the limits above are what bound it.
    std::vector<std::string> warnings;
    JpegOptions options;
    options.onWarning = [&](const std::string& w) { warnings.push_back(w); };
    auto map = DecodeJpeg(WithSize(EncodeJpeg(16, 16, 1, Scans::Interleaved), 4000, 3000), options);
    ASSERT_EQ(map->Width(), 4000);
    EXPECT_EQ(map->Height(), 3000);
    EXPECT_FALSE(warnings.empty());
    const uint8_t* last = map->PixelAddr(3999, 2999);
    EXPECT_EQ(last[0], last[1]);
}

TEST(ResourceLimits, ProgressiveJpegIsLimitedTo500Scans) {
    const Bytes jpeg = EncodeJpeg(16, 16, 1, Scans::Progressive);
    std::vector<std::string> warnings;
    JpegOptions options;
    options.onWarning = [&](const std::string& w) { warnings.push_back(w); };
    auto map = DecodeJpeg(WithScans(jpeg, 500), options);  // repeated scans only warn
    EXPECT_EQ(map->Width(), 16);
    EXPECT_FALSE(warnings.empty());
    try {
        DecodeJpeg(WithScans(jpeg, 501));
        FAIL() << "501 scans decoded";
    } catch (const EJpegError& e) {
        EXPECT_EQ(e.Code(), 1000);
        EXPECT_EQ(e.Detail(), "Scan 501 exceeds the limit of 500 scans");
    }
    // Sequential files with a scan per component are read up front the same way.
    EXPECT_EQ(Outcome(DecodingJpeg(WithScans(EncodeJpeg(16, 16, 3, Scans::OnePerComponent), 600))),
              "EJpegError 1000");
}

TEST(ResourceLimits, RawSizeIsBoundedByTheMapCheckAlone) {
    TempDir dir;
    WriteBytes(dir / "p.rgb", {1, 2, 3});
    WriteText(dir / "p.ipr", "40000 40000");  // 4.5 GiB
    auto load = [&] { LoadImageFile(PixelKind::RGB, dir / "p.ipr"); };
    EXPECT_EQ(OutcomeWithin(64 * kMiB, load), "EInvalidImageSize");
    WriteText(dir / "p.ipr", "-5 3");
    EXPECT_EQ(Outcome(load), "EInvalidImageSize");
    if (kSanitized) GTEST_SKIP() << "an address-space limit cannot apply under a sanitizer";
    // Valid (a short .rgb is completed in white): refused by the pixel limit,
    // and past it, more than the memory there is.
    WriteText(dir / "p.ipr", "26000 26000");
    EXPECT_EQ(OutcomeWithin(64 * kMiB, load), "EImageTooLarge");
    LoadOptions unlimited;
    unlimited.limit.maxPixels = INT64_MAX;
    EXPECT_EQ(OutcomeWithin(256 * kMiB, [&] { LoadImageFile(PixelKind::RGB, dir / "p.ipr", unlimited); }),
              "bad_alloc");
}

TEST(ResourceLimits, TheRawMapIsHandedOverNotCopied) {
    if (kSanitized) GTEST_SKIP() << "an address-space limit cannot apply under a sanitizer";
    TempDir dir;
    WriteBytes(dir / "p.rgb", {1, 2, 3});
    WriteText(dir / "p.ipr", "16384 8192");  // a 384 MiB map; two would not fit the limit below
    EXPECT_EQ(OutcomeWithin(544 * kMiB,
                            [&] {
                                auto map = LoadImageFile(PixelKind::RGB, dir / "p.ipr");
                                if (map->PixelAddr(16383, 8191)[0] != 255) throw std::runtime_error("not white");
                            }),
              "ok");
}

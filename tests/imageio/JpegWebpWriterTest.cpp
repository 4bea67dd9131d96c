#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <png.h>
#include <set>
#include <string>
#include <vector>
#include <zlib.h>

#include "TestUtil.h"
#include "imageio/AtomicFile.h"
#include "imageio/JpegWriter.h"
#include "imageio/PngWriter.h"
#include "imageio/VlxIo.h"
#include "imageio/WebpWriter.h"
#include "low/Errors.h"

using namespace quenlo;
using namespace quenlo::test;

namespace {

bool Have(const char* tool) { return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0; }

// Packed R,G,B rows: TestPixel's gradients with hashed noise, so the
// entropy coder sees photo-like statistics in every channel.
std::vector<uint8_t> Photo(int w, int h) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
    uint32_t seed = 12345;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 3];
            TestPixel(x / 3, y / 2, p[0], p[1], p[2]);
            for (int c = 0; c < 3; ++c) {
                seed = seed * 1664525u + 1013904223u;
                p[c] = static_cast<uint8_t>(p[c] + (seed >> 28) * (c + 1));
            }
        }
    return px;
}

// A PPM of R,G,B rows, or with 4 channels a PAM of R,G,B,A rows.
void WritePpm(const std::string& path, int w, int h, const std::vector<uint8_t>& rgb, int channels = 3) {
    const std::string size = std::to_string(w) + (channels == 4 ? "\nHEIGHT " : " ") + std::to_string(h);
    const std::string head = channels == 4 ? "P7\nWIDTH " + size + "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
                                           : "P6\n" + size + "\n255\n";
    std::vector<uint8_t> bytes(head.begin(), head.end());
    bytes.insert(bytes.end(), rgb.begin(), rgb.end());
    WriteBytes(path, bytes);
}

// A PNG's IDAT chunks joined and inflated with no more window than their
// zlib header declares (2^(8 + CINFO) bytes); empty if that fails. The
// output comes 4 KiB a call, as a streaming decoder takes it: inflate may
// reach back into what one call has written whatever the window.
std::vector<uint8_t> InflatedImageData(const std::vector<uint8_t>& file, size_t size) {
    std::vector<uint8_t> z;
    for (size_t at = 8; at + 12 <= file.size();) {
        const size_t n = size_t{file[at]} << 24 | size_t{file[at + 1]} << 16 | size_t{file[at + 2]} << 8 | file[at + 3];
        if (std::memcmp(&file[at + 4], "IDAT", 4) == 0) z.insert(z.end(), &file[at + 8], &file[at + 8] + n);
        at += 12 + n;
    }
    std::vector<uint8_t> raw(size);
    z_stream s{};
    if (z.empty() || inflateInit2(&s, 8 + (z[0] >> 4)) != Z_OK) return {};
    s.next_in = z.data();
    s.avail_in = static_cast<uInt>(z.size());
    int rc = Z_OK;
    for (size_t at = 0; rc == Z_OK && at < size; at += 4096) {
        s.next_out = raw.data() + at;
        s.avail_out = static_cast<uInt>(std::min<size_t>(4096, size - at));
        rc = inflate(&s, Z_NO_FLUSH);
    }
    inflateEnd(&s);
    return rc == Z_STREAM_END && s.avail_out == 0 && s.total_out == size ? raw : std::vector<uint8_t>{};
}

// libpng's R,G,B rows of a PNG file; empty if it refuses the file.
std::vector<uint8_t> LibpngRgb(const std::vector<uint8_t>& file) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&img, file.data(), file.size())) return {};
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> got(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, got.data(), 0, nullptr)) return {};
    return got;
}

// Photo's pixels with an alpha of 0 to 240 in steps of 40, every seventh one clear.
std::vector<uint8_t> WithAlpha(const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> rgba;
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgba.insert(rgba.end(), &rgb[i], &rgb[i] + 3);
        rgba.push_back(static_cast<uint8_t>(i / 3 % 7 * 40));
    }
    return rgba;
}

// Rows given in uneven runs, in the given order, every pass.
void Encode(TRowEncoder& e, const std::vector<uint8_t>& rows, int w, int h, int channels = 3) {
    const size_t rowBytes = static_cast<size_t>(w) * channels;
    for (int pass = 0; pass < e.Passes(); ++pass)
        for (int y = 0, step = 1; y < h; y += step, step = step % 7 + 2)
            e.Rows(&rows[y * rowBytes], static_cast<size_t>(std::min(step, h - y)));
    e.Finish();
}

std::vector<uint8_t> Bgr(std::vector<uint8_t> rgb, int channels = 3) {
    for (size_t i = 0; i + 2 < rgb.size(); i += channels) std::swap(rgb[i], rgb[i + 2]);
    return rgb;
}

TEST(JpegWriter, ByteIdenticalToCjpegOptimize) {
    if (!Have("cjpeg")) GTEST_SKIP() << "cjpeg (libjpeg-turbo-progs) not installed";
    TempDir dir;
    const int w = 1003, h = 701;  // odd, three bands of the first pass
    const std::vector<uint8_t> rgb = Photo(w, h);
    WritePpm(dir / "in.ppm", w, h, rgb);
    struct Case {
        JpegSubsampling sub;
        const char* sample;
        int quality;
        bool progressive;
    };
    const Case cases[] = {
        {JpegSubsampling::S444, "1x1", 90, false}, {JpegSubsampling::S422, "2x1", 90, false},
        {JpegSubsampling::S420, "2x2", 90, false}, {JpegSubsampling::S420, "2x2", 75, true},
        {JpegSubsampling::S444, "1x1", 100, true}, {JpegSubsampling::S420, "2x2", 1, false},
        {JpegSubsampling::S422, "2x1", 40, false},
    };
    for (const Case& c : cases) {
        const std::string line = std::string("cjpeg -quality ") + std::to_string(c.quality) + " -sample " + c.sample +
                                 (c.progressive ? " -progressive" : "") + " -optimize";
        ASSERT_EQ(std::system((line + " -outfile '" + (dir / "ref.jpg") + "' '" + (dir / "in.ppm") + "' 2>/dev/null").c_str()), 0);
        const std::vector<uint8_t> ref = ReadBytes(dir / "ref.jpg");
        OutputOptions o;
        o.quality = c.quality;
        o.jpegSubsampling = c.sub;
        o.progressive = c.progressive;
        // Held whole by the library, and counted in a first pass over bands
        // (holding nothing), from R,G,B and B,G,R rows.
        for (size_t hold : {SIZE_MAX, size_t{0}})
            for (RawOrder order : {RawOrder::Rgb, RawOrder::Bgr}) {
                {
                    TAtomicFile out(dir / "ours.jpg");
                    auto e = OpenJpegEncoder(out, w, h, order, o, nullptr, hold);
                    EXPECT_EQ(e->Passes(), hold == 0 && !c.progressive ? 2 : 1);
                    Encode(*e, order == RawOrder::Rgb ? rgb : Bgr(rgb), w, h);
                    out.Commit();
                }
                EXPECT_TRUE(ReadBytes(dir / "ours.jpg") == ref) << line << " hold " << hold;
            }
    }
}

// Each row's filter is its own choice: a photo-like picture over smooth
// gradients takes several filter types, and libpng gives back the pixels.
TEST(PngWriter, RowsTakeTheirOwnFilterAndDecodeExactly) {
    TempDir dir;
    const int w = 67, h = 90;
    std::vector<uint8_t> rgb = Photo(w, h);
    for (int y = h / 2; y < h; ++y)  // smooth lower half: gradients across, down, and flat
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(static_cast<size_t>(y) * w + x) * 3 + c] =
                    static_cast<uint8_t>(y % 3 == 0 ? x * (c + 1) : y % 3 == 1 ? y * 2 + c : 40 * c + x / 9);
    {
        TAtomicFile out(dir / "a.png");
        auto e = OpenPngEncoder(out, w, h, RawOrder::Rgb, 6);
        Encode(*e, rgb, w, h);
        out.Commit();
    }
    const std::vector<uint8_t> file = ReadBytes(dir / "a.png");
    const std::vector<uint8_t> raw = InflatedImageData(file, static_cast<size_t>(h) * (w * 3 + 1));
    ASSERT_FALSE(raw.empty());
    std::set<uint8_t> types;
    for (int y = 0; y < h; ++y) types.insert(raw[static_cast<size_t>(y) * (w * 3 + 1)]);
    EXPECT_GE(types.size(), 3u);
    EXPECT_LE(*types.rbegin(), 4);
    EXPECT_TRUE(LibpngRgb(file) == rgb);
}

// Rows of noise repeating every ten rows (21 KB, within zlib's usual 32 KiB
// but beyond the window the header declares) over two bands: a decoder that
// keeps only the declared window inflates them, and libpng's pixels match.
TEST(PngWriter, NoMatchReachesPastTheDeclaredWindow) {
    TempDir dir;
    const int w = 701, h = 320;
    const std::vector<uint8_t> tile = Photo(w, 10);
    std::vector<uint8_t> rgb;
    for (int y = 0; y < h; y += 10) rgb.insert(rgb.end(), tile.begin(), tile.end());
    {
        TAtomicFile out(dir / "far.png");
        auto e = OpenPngEncoder(out, w, h, RawOrder::Rgb, 6);
        Encode(*e, rgb, w, h);
        out.Commit();
    }
    const std::vector<uint8_t> file = ReadBytes(dir / "far.png");
    EXPECT_FALSE(InflatedImageData(file, static_cast<size_t>(h) * (w * 3 + 1)).empty());
    EXPECT_TRUE(LibpngRgb(file) == rgb);
}

// The pixels of a PPM (P6) or PAM (P7, 4 channels) as written by dwebp.
std::vector<uint8_t> NetpbmPixels(const std::string& path, int channels) {
    const std::vector<uint8_t> f = ReadBytes(path);
    const std::string text(f.begin(), f.end());
    const size_t at = channels == 4 ? text.find("ENDHDR\n") + 7 : text.find("255\n") + 4;
    return std::vector<uint8_t>(f.begin() + static_cast<ptrdiff_t>(at), f.end());
}

// Pixels of a map as R, G, B (and A for ARGB) rows.
std::vector<uint8_t> MapPixels(const TPixelMap& m) {
    const int step = m.Kind() == PixelKind::ARGB ? 4 : 3;
    std::vector<uint8_t> out(m.Data(), m.Data() + m.DataSize());
    for (size_t i = 0; i + 2 < out.size(); i += step) std::swap(out[i], out[i + 2]);
    return out;
}

// Files made by cwebp and img2webp, read by us and by dwebp: the same pixels
// (alpha kept, so compared straight); an animation gives its first frame
// and the pages warning.
TEST(WebPReader, ConformsToDwebp) {
    if (!Have("cwebp") || !Have("dwebp") || !Have("img2webp")) GTEST_SKIP() << "webp tools not installed";
    TempDir dir;
    const int w = 61, h = 43;
    const std::vector<uint8_t> rgb = Photo(w, h);
    WritePpm(dir / "in.ppm", w, h, rgb);
    WritePpm(dir / "in.pam", w, h, WithAlpha(rgb), 4);
    struct Case {
        std::string make;  // writes dir/t.webp
        int channels, pages;
    };
    const std::string ppm = "'" + (dir / "in.ppm") + "'", pamName = "'" + (dir / "in.pam") + "'";
    const std::string to = " -o '" + (dir / "t.webp") + "' >/dev/null 2>&1";
    const Case cases[] = {
        {"cwebp -q 75 " + ppm + to, 3, 1},
        {"cwebp -lossless " + ppm + to, 3, 1},
        {"cwebp -q 60 -alpha_q 50 " + pamName + to, 4, 1},
        {"cwebp -lossless -exact " + pamName + to, 4, 1},
        {"img2webp -lossy " + ppm + " " + pamName + to, 4, 2},  // composed on an RGBA canvas
    };
    for (const Case& c : cases) {
        ASSERT_EQ(std::system(c.make.c_str()), 0) << c.make;
        const std::string ref = dir / (c.channels == 4 ? "ref.pam" : "ref.ppm");
        // dwebp takes no animation.
        if (c.pages == 1)
            ASSERT_EQ(std::system(("dwebp -quiet " + std::string(c.channels == 4 ? "-pam" : "-ppm") + " '" +
                                   (dir / "t.webp") + "' -o '" + ref + "'").c_str()), 0);
        ImageMeta meta;
        std::vector<std::string> warnings;
        LoadOptions o;
        o.meta = &meta;
        o.keepAlpha = true;
        o.onWarning = [&](const std::string& text) { warnings.push_back(text); };
        auto map = LoadImageFile(PixelKind::RGB, dir / "t.webp", o);
        ASSERT_TRUE(map) << c.make;
        EXPECT_EQ(map->Width(), w);
        EXPECT_EQ(map->Kind() == PixelKind::ARGB, c.channels == 4) << c.make;
        if (c.pages == 1) EXPECT_TRUE(MapPixels(*map) == NetpbmPixels(ref, c.channels)) << c.make;
        else EXPECT_EQ(warnings, std::vector<std::string>{"the file holds 2 pages; only the first is converted"});
        EXPECT_EQ(meta.pages, c.pages);
    }
    // Its size refused from the header, before decoding.
    LoadOptions small;
    small.limit.maxPixels = w * h - 1;
    EXPECT_THROW(LoadImageFile(PixelKind::RGB, dir / "t.webp", small), EImageTooLarge);
}

// Lossy output decodes to what cwebp's does for the same settings; lossless
// decodes to our pixels exactly, also the colour under clear pixels.
TEST(WebPWriter, LossyAsCwebpLosslessExact) {
    if (!Have("cwebp") || !Have("dwebp")) GTEST_SKIP() << "webp tools not installed";
    TempDir dir;
    const int w = 75, h = 49;
    const std::vector<uint8_t> rgb = Photo(w, h);
    struct Case {
        int quality;
        bool lossless;
        int channels;  // 4: with alpha
    };
    for (const Case c : {Case{90, false, 3}, Case{30, false, 3}, Case{75, true, 3}, Case{80, false, 4}, Case{75, true, 4}}) {
        SCOPED_TRACE(std::to_string(c.quality) + (c.lossless ? " lossless " : " lossy ") + std::to_string(c.channels));
        const std::vector<uint8_t> pixels = c.channels == 4 ? WithAlpha(rgb) : rgb;
        const std::string in = dir / (c.channels == 4 ? "in.pam" : "in.ppm"), as = c.channels == 4 ? " -pam " : " -ppm ";
        WritePpm(in, w, h, pixels, c.channels);
        OutputOptions o;
        o.quality = c.quality;
        o.lossless = c.lossless;
        ImageMeta meta;
        meta.alpha = c.channels == 4;
        {
            TAtomicFile out(dir / "ours.webp");
            auto e = OpenWebPEncoder(out, w, h, RawOrder::Bgr, o, &meta);
            Encode(*e, Bgr(pixels, c.channels), w, h, c.channels);
            out.Commit();
        }
        ASSERT_EQ(std::system(("dwebp -quiet" + as + "'" + (dir / "ours.webp") + "' -o '" + (dir / "ours.out") + "'").c_str()), 0);
        if (c.lossless) {
            EXPECT_TRUE(NetpbmPixels(dir / "ours.out", c.channels) == pixels);
            continue;
        }
        const std::string line = "cwebp -quiet -q " + std::to_string(c.quality) + " '" + in + "' -o '" + (dir / "ref.webp") + "'";
        ASSERT_EQ(std::system(line.c_str()), 0);
        ASSERT_EQ(std::system(("dwebp -quiet" + as + "'" + (dir / "ref.webp") + "' -o '" + (dir / "ref.out") + "'").c_str()), 0);
        EXPECT_TRUE(ReadBytes(dir / "ours.out") == ReadBytes(dir / "ref.out")) << line;
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TestUtil.h"
#include "imageio/JpegReader.h"
#include "low/Errors.h"

using namespace quenlo;
using quenlo::test::ReadBytes;
using quenlo::test::TempDir;

namespace {

bool HaveTools() { return std::system("command -v cjpeg >/dev/null 2>&1 && command -v djpeg >/dev/null 2>&1") == 0; }

// A 37 x 23 picture with edges and gradients, so upsampling and smoothing matter.
void WritePpm(const std::string& path, int w, int h, bool gray) {
    std::string data = (gray ? "P5\n" : "P6\n") + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t r, g, b;
            test::TestPixel(x, y, r, g, b);
            if ((x / 5 + y / 4) % 2) r = static_cast<uint8_t>(255 - r);
            if (gray) {
                data += static_cast<char>((r + g + b) / 3);
            } else {
                data += static_cast<char>(r);
                data += static_cast<char>(g);
                data += static_cast<char>(b);
            }
        }
    test::WriteText(path, data);
}

// The decoder's reference output as packed R,G,B rows (grey expands to three equal channels).
std::vector<uint8_t> Reference(const std::string& jpg, const std::string& ppm) {
    const std::string cmd = "djpeg -pnm -outfile '" + ppm + "' '" + jpg + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::vector<uint8_t> f = ReadBytes(ppm);
    // Skip the three header lines of a plain P5/P6 header as djpeg writes it.
    size_t at = 0;
    for (int lines = 0; lines < 3 && at < f.size(); ++at)
        if (f[at] == '\n') ++lines;
    const bool gray = f.size() > 1 && f[1] == '5';
    std::vector<uint8_t> out;
    for (size_t i = at; i < f.size(); ++i) {
        out.push_back(f[i]);
        if (gray) {
            out.push_back(f[i]);
            out.push_back(f[i]);
        }
    }
    return out;
}

std::vector<uint8_t> AsRGB(const TPixelMapRGB& m) {
    std::vector<uint8_t> out(m.Data(), m.Data() + m.DataSize());
    for (size_t i = 0; i + 2 < out.size(); i += 3) std::swap(out[i], out[i + 2]);
    return out;
}

}  // namespace

TEST(JpegReader, MatchesTheReferenceDecoderByteForByte) {
    if (!HaveTools()) GTEST_SKIP() << "cjpeg/djpeg not installed";
    TempDir dir;
    const std::string color = dir / "c.ppm", gray = dir / "g.pgm";
    WritePpm(color, 37, 23, false);
    WritePpm(gray, 37, 23, true);
    struct Encoding {
        const char* name;
        std::string args;
        std::string source;
    } encodings[] = {
        {"baseline 4:2:0", "-quality 90", color},
        {"progressive", "-progressive -quality 75", color},
        {"4:4:4", "-sample 1x1 -quality 95", color},
        {"4:2:2", "-sample 2x1", color},
        {"restart markers", "-restart 1 -quality 80", color},
        {"optimised", "-optimize -quality 60", color},
        {"grayscale", "-quality 85", gray},
        {"grayscale progressive", "-progressive", gray},
    };
    for (const Encoding& e : encodings) {
        SCOPED_TRACE(e.name);
        const std::string jpg = dir / "t.jpg";
        ASSERT_EQ(std::system(("cjpeg " + e.args + " -outfile '" + jpg + "' '" + e.source + "'").c_str()), 0);
        auto map = DecodeJpeg(ReadBytes(jpg));
        ASSERT_TRUE(map);
        EXPECT_EQ(map->Width(), 37);
        EXPECT_EQ(map->Height(), 23);
        EXPECT_EQ(AsRGB(*map), Reference(jpg, dir / "ref.pnm"));
    }
}

TEST(JpegReader, CorruptDataRaisesWithTheLibraryCode) {
    const std::vector<std::vector<uint8_t>> bad = {
        {},
        {0xFF, 0xD8},
        {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'},
        {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02},
    };
    for (const auto& bytes : bad) {
        try {
            DecodeJpeg(bytes);
            ADD_FAILURE() << "decoded garbage of " << bytes.size() << " bytes";
        } catch (const EJpegError& e) {
            EXPECT_GT(e.Code(), 0);
            EXPECT_EQ(std::string(e.what()), "JPEG エラー #" + std::to_string(e.Code()));
        }
    }
}

TEST(JpegReader, TruncatedDataWarnsAndStillDecodes) {
    if (!HaveTools()) GTEST_SKIP() << "cjpeg not installed";
    TempDir dir;
    WritePpm(dir / "c.ppm", 37, 23, false);
    ASSERT_EQ(std::system(("cjpeg -outfile '" + (dir / "t.jpg") + "' '" + (dir / "c.ppm") + "'").c_str()), 0);
    std::vector<uint8_t> bytes = ReadBytes(dir / "t.jpg");
    // Every cut point: an error or a picture with warnings, never a crash.
    int warned = 0;
    for (size_t cut = 0; cut < bytes.size(); cut += 7) {
        std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<long>(cut));
        std::vector<std::string> warnings;
        JpegOptions options;
        options.onWarning = [&](const std::string& w) { warnings.push_back(w); };
        try {
            auto map = DecodeJpeg(part, options);
            EXPECT_EQ(map->Width(), 37);
            if (!warnings.empty()) ++warned;
        } catch (const EJpegError&) {
        }
    }
    EXPECT_GT(warned, 0);
}

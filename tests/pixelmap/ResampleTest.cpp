// Our resampling against the reference photo library's, run on the same
// pixels in one Python process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "TestUtil.h"
#include "pixelmap/Resample.h"

namespace quenlo {
namespace {

using test::TempDir;

// Collects the rows a resampler gives.
struct Collect : TRowSink {
    std::vector<uint8_t> bytes;
    void Rows(const uint8_t* rows, size_t n) override { bytes.insert(bytes.end(), rows, rows + n * rowBytes); }
    size_t rowBytes = 0;
};

std::vector<uint8_t> Picture(int w, int h) {
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            test::TestPixel(x, y, p[0], p[1], p[2]);
        }
    return rgb;
}

bool HavePillow() { return std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0; }

const char* const kFilterNames[] = {"NEAREST", "BOX", "BILINEAR", "BICUBIC", "LANCZOS"};

struct Case {
    int w, h, ow, oh;
};

// Sizes down and up, odd, single pixels and extreme aspect ratios.
const Case kCases[] = {
    {1, 1, 5, 3},   {7, 5, 1, 1},    {1, 9, 4, 2},     {301, 3, 17, 40}, {3, 301, 40, 17},
    {97, 61, 31, 83}, {61, 97, 200, 13}, {1201, 2, 3, 1}, {2, 1201, 1, 7},  {33, 33, 33, 34},
};

// What the reference gives for each job line "in w h ow oh filter mode [gap]":
// mode "resize" is resize((ow, oh), filter), "thumb" its reducing_gap path.
std::vector<std::vector<uint8_t>> Reference(const TempDir& dir, const std::string& jobs) {
    test::WriteText(dir / "jobs.txt", jobs);
    test::WriteText(dir / "ref.py", R"(import sys
from PIL import Image
d = sys.argv[1]
for i, line in enumerate(open(d + '/jobs.txt')):
    name, w, h, ow, oh, f, mode = line.split()
    im = Image.frombytes('RGB', (int(w), int(h)), open(d + '/' + name, 'rb').read())
    gap = 2.0 if mode == 'thumb' else None
    out = im.resize((int(ow), int(oh)), getattr(Image.Resampling, f), reducing_gap=gap)
    open('%s/out%d' % (d, i), 'wb').write(out.tobytes())
)");
    EXPECT_EQ(std::system(("/usr/bin/python3 " + dir / "ref.py" + " " + dir.str()).c_str()), 0);
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = 0; i < static_cast<size_t>(std::count(jobs.begin(), jobs.end(), '\n')); ++i)
        out.push_back(test::ReadBytes(dir / ("out" + std::to_string(i))));
    return out;
}

TEST(Resample, MatchesReferenceForEveryFilter) {
    if (!HavePillow()) GTEST_SKIP() << "python3-pil is missing: no reference to compare with";
    TempDir dir;
    std::ostringstream jobs;
    std::vector<std::vector<uint8_t>> ours;
    std::vector<std::string> what;
    for (size_t c = 0; c < std::size(kCases); ++c) {
        const Case& k = kCases[c];
        const std::string name = "in" + std::to_string(c);
        const std::vector<uint8_t> in = Picture(k.w, k.h);
        test::WriteBytes(dir / name, in);
        for (int f = 0; f < 5; ++f)
            for (const bool thumb : {false, true}) {
                Collect out;
                out.rowBytes = static_cast<size_t>(k.ow) * 3;
                const auto filter = static_cast<ResampleFilter>(f);
                if (thumb) {
                    TThumbnailChain chain(k.w, k.h, k.w, k.h, 1, k.ow, k.oh, filter, out);
                    chain.Input().Rows(in.data(), static_cast<size_t>(k.h));
                    EXPECT_TRUE(chain.Done());
                } else {
                    TRowResampler r(k.w, k.h, k.ow, k.oh, filter, out);
                    // In uneven bites, as a decoder gives them.
                    for (size_t y = 0; y < static_cast<size_t>(k.h);) {
                        const size_t n = std::min<size_t>(1 + y % 3, static_cast<size_t>(k.h) - y);
                        r.Rows(&in[y * k.w * 3], n);
                        y += n;
                    }
                    EXPECT_TRUE(r.Done());
                }
                ours.push_back(std::move(out.bytes));
                jobs << name << ' ' << k.w << ' ' << k.h << ' ' << k.ow << ' ' << k.oh << ' ' << kFilterNames[f]
                     << (thumb ? " thumb\n" : " resize\n");
                what.push_back(std::to_string(k.w) + "x" + std::to_string(k.h) + " to " + std::to_string(k.ow) + "x" +
                               std::to_string(k.oh) + " " + kFilterNames[f] + (thumb ? " with reducing gap" : ""));
            }
    }
    const auto ref = Reference(dir, jobs.str());
    ASSERT_EQ(ref.size(), ours.size());
    for (size_t i = 0; i < ours.size(); ++i) EXPECT_TRUE(ours[i] == ref[i]) << what[i];
}

}  // namespace
}  // namespace quenlo

// Hostile scripts end in time and in memory: each finishes or is refused
// at its line, whatever a script or a file it names claims.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>

#include "TestUtil.h"
#include "imageio/VlxIo.h"
#include "scene/script/SceneRender.h"
#include "scene/script/SceneWrite.h"

namespace quenlo {
namespace {

using ::testing::HasSubstr;
using test::TempDir;

std::string Repeat(const std::string& line, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += line;
    return s;
}

std::string Chain(int n, const std::function<std::string(int)>& vertex) {
    std::string s = "VlxImg size(400,400)\n{\nVlxPoly size(400,400);polygon\n";
    for (int i = 0; i < n; ++i) {
        s += '+';
        s += vertex(i);
        s += '\n';
    }
    return s + "}\n";
}

std::string Spiral(int i) {
    const double a = i * 0.01, r = 10 + i * 0.0018;
    return "vertex(" + std::to_string(200 + r * std::cos(a)) + "," + std::to_string(200 + r * std::sin(a)) + ")";
}

// A progressive JPEG of w x h whose last scan comes again `repeats` times:
// each repeat is a pass over its coefficients that adds nothing.
void WriteProgressiveJpeg(const std::string& path, int w, int h, int repeats) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(w) * 3);
    while (c.next_scanline < c.image_height) {
        for (int x = 0; x < w; ++x) test::TestPixel(x, int(c.next_scanline), row[3 * x], row[3 * x + 1], row[3 * x + 2]);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> file(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    size_t lastScan = 0;
    for (size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xDA) lastScan = i;
    const std::vector<uint8_t> scan(file.begin() + ptrdiff_t(lastScan), file.end() - 2);  // up to the end marker
    for (int k = 0; k < repeats; ++k) file.insert(file.end() - 2, scan.begin(), scan.end());
    test::WriteBytes(path, file);
}

int64_t PeakMiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

// Reads, renders and writes back; "" when all went through, else the error.
std::string ReadRenderWrite(const std::string& path) {
    try {
        TSceneReadOptions options;
        options.Strict = true;
        TScene scene = ReadSceneFile(path, options);
        RenderScene(*scene.Root, 0xFFFFFF);
        options.Strict = false;
        options.BaseDir = std::filesystem::path(path).parent_path().string();
        WriteScene(std::move(scene), options);
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST(BoundedScripts, EachFinishesOrIsRefusedInTimeAndMemory) {
    TempDir dir;
    // 26000 x 26000 as RLE in 64 bytes; 9000 x 9000 in a header.
    std::vector<uint8_t> rle = {'B', 'M', 64, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 0x90, 0x65, 0, 0,
                                0x90, 0x65, 0, 0, 1, 0, 8, 0, 1, 0, 0, 0};
    rle.resize(64);
    rle[55] = 1;  // end of bitmap: the rest black, a valid picture
    test::WriteBytes(dir / "rle.bmp", rle);
    std::vector<uint8_t> wide = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 0x28, 0x23, 0, 0,
                                 0x28, 0x23, 0, 0, 1, 0, 24, 0};
    wide.resize(8192);
    test::WriteBytes(dir / "wide.bmp", wide);
    // A 9 x 9 picture followed by 2 GB (sparse) that no reader can use.
    std::vector<uint8_t> small = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0, 1, 0, 24, 0};
    small.resize(54 + 9 * 28);
    test::WriteBytes(dir / "long.bmp", small);
    std::filesystem::resize_file(dir / "long.bmp", uint64_t(2) << 30);
    test::WriteText(dir / "huge.ipr", "20000 20000 0 0");
    test::WriteText(dir / "huge.rgb", "");

    const std::string stencil = "VlxImg size(100,100)\n{\nVlxStencil size(8192,8192)\n";
    const struct {
        const char* name;
        std::string script;
        const char* refusal;  // nullptr: must go through
    } cases[] = {
        {"sprays", stencil + Repeat("+airbrush\n", 100) + "}\n", "--max-work N"},
        {"sizes", "VlxImg size(100,100)\n{\nVlxStencil size(1,1)\n" + Repeat("+size(8192,8192)\n", 1000) + "}\n",
         "--max-work N"},
        {"wipes", stencil + Repeat("+wipe;wipe;wipe\n", 400) + "}\n", "--max-work N"},
        {"large mattes", "VlxImg size(4096,4096)\n{\n" + Repeat("VlxMat size(9000,9000);opq(0.5)\n", 20000) + "}\n",
         "--max-work N"},
        {"long open chain", Chain(100000, Spiral), nullptr},
        {"equal vertices", Chain(100000, [](int) { return std::string("vertex(5,5)"); }), nullptr},
        {"RLE claim", "VlxImg size(9,9)\n{\nVlxImg file(\"rle.bmp\")\n}\n", "image too large"},
        {"9000 x 9000", "VlxImg size(9,9)\n{\nVlxImg file(\"wide.bmp\")\n}\n", "image too large"},
        {"2 GB .bmp", "VlxImg size(9,9)\n{\nVlxImg file(\"long.bmp\")\n}\n", nullptr},
        {"raw claim", "VlxImg size(9,9)\n{\nVlxImg file(\"huge.ipr\")\n}\n", "image too large"},
        {"many nodes", "VlxImg size(64,64)\n{\n" + Repeat("VlxPoly size(9,9);pos(3,4);vertex(0,0);vertex(8,1);vertex(3,8);vertex(0,0);polygon\n", 100000) + "}\n", nullptr},
    };
    for (const auto& c : cases) {
        const std::string path = dir / "case.scene";
        test::WriteText(path, c.script);
        const auto t0 = std::chrono::steady_clock::now();
        const std::string error = ReadRenderWrite(path);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (c.refusal)
            EXPECT_THAT(error, HasSubstr(c.refusal)) << c.name;
        else
            EXPECT_EQ(error, "") << c.name;
        EXPECT_LT(seconds, test::kSanitized ? 40.0 : 10.0) << c.name;
        EXPECT_LT(PeakMiB(), test::kSanitized ? 1800 : 600) << c.name;
    }
}

// Each statement pays for the work it does when it does it; `write` reads
// its text back within the budget the source needed.
TEST(BoundedScripts, TheBudgetRefusesAtTheLineThatPassesItOrLetsTheScriptThrough) {
    TempDir dir;
    // 8192 x 8192 as RLE in 1,080 bytes: the first row's end, then the end of the bitmap.
    std::vector<uint8_t> rle = {'B', 'M', 0x38, 4, 0, 0, 0, 0, 0, 0, 0x36, 4, 0, 0, 40, 0, 0, 0, 0, 0x20, 0, 0,
                                0, 0x20, 0, 0, 1, 0, 8, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    rle.resize(54 + 1024);
    rle.push_back(0);
    rle.push_back(1);
    test::WriteBytes(dir / "big.bmp", rle);
    SaveBmpFile(*test::TestPicture(9, 7), dir / "small.bmp");
    // 256 x 256 in 4:2:0, in the library's ten scans.
    WriteProgressiveJpeg(dir / "scans.jpg", 256, 256, 400);
    const int64_t jpeg = 16 * 65536 + (4 * 1024 + 4 * 256 + 1536 + 400 * 1024) * 64 / 2;
    std::string star = "VlxImg size(40,40)\n{\nVlxPoly polygon\n";  // 100 chords that all meet
    for (int k = 0; k < 100; ++k)
        star += "+vertex(" + std::to_string(20 + 19 * std::cos(k * 2.4)) + "," + std::to_string(20 + 19 * std::sin(k * 2.4)) + ")\n";
    star += "}\n";
    // Teeth from top to bottom, closed across them: each edge crosses ~90 rows.
    std::string comb = "VlxImg size(100,100)\n{\nVlxPoly size(100,100);polygon\n";
    for (int k = 0; k <= 100; ++k)
        comb += "+vertex(" + std::to_string(k < 100 ? 5 + k * 0.9 : 5) + "," + (k % 2 && k < 100 ? "95" : "5") + ")\n";
    comb += "}\n";

    const struct {
        std::string script;
        int64_t budget;
        bool write;   // write back instead of rendering
        int64_t line; // refused at; 0 for done
    } cases[] = {
        {"VlxImg file(\"big.bmp\");size(1,1)\n", 117, false, 1},
        // A wipe after the file on its line clears the picture, not the 1 x 1 before it.
        {"VlxImg size(1,1)\n+file(\"small.bmp\");wipe\n", 1 + 17 * 63 - 1, false, 2},
        {"VlxImg size(1,1)\n+file(\"small.bmp\");wipe\n", 1 + 17 * 63, false, 0},
        {"VlxImg size(1,1)\n+file(\"small.bmp\");wipe\n", 1 + 17 * 63, true, 0},
        {"VlxImg size(10,10)\n{\nVlxAnk size(20,20)\n}\n", 500, true, 0},
        // Each scan after the first pays half a unit per coefficient: four of
        // luma (1,024 blocks), four of one chroma component (256), one of all
        // three, and the 400 repeats of the last, luma.
        {"VlxImg file(\"scans.jpg\")\n", jpeg - 1, false, 1},
        {"VlxImg file(\"scans.jpg\")\n", jpeg, false, 0},
        // The loop search is paid for at the polygon's line.
        {star, 1600 + 32 * 1000, false, 3},
        {star, 1600 + 32 * 10000, false, 0},
        // So is its fill, by the rows each edge crosses.
        {comb, 1000000, false, 3},
        {comb, 10000000, false, 0},
        {"VlxImg size(10,10)\n{\nVlxImg col(9,8,7);size(20,20)\n}\n", 500, true, 0},
    };
    for (const auto& c : cases) {
        test::WriteText(dir / "b.scene", c.script);
        TSceneReadOptions options;
        options.MaxWork = c.budget;
        int64_t line = 0;
        try {
            TScene scene = ReadSceneFile(dir / "b.scene", options);
            options.BaseDir = dir.str();
            if (c.write) WriteScene(std::move(scene), options);
        } catch (const EScriptError& e) {
            EXPECT_THAT(e.Reason(), HasSubstr("--max-work N")) << c.script;
            line = e.Line();
        }
        EXPECT_EQ(line, c.line) << c.script << " within " << c.budget;
    }
}

TEST(BoundedScripts, SpecialFilesAreRefusedWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo.bmp").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.bmp").c_str()), 0);
    for (const char* name : {"fifo.bmp", "zero.bmp"}) {
        test::WriteText(dir / "s.scene", std::string("VlxImg size(9,9)\n{\nVlxImg file(\"") + name + "\")\n}\n");
        const auto t0 = std::chrono::steady_clock::now();
        try {
            ReadSceneFile(dir / "s.scene", false);
            ADD_FAILURE() << name;
        } catch (const EScriptError& e) {
            EXPECT_EQ(e.Line(), 3) << name;
            EXPECT_THAT(e.Reason(), HasSubstr("not a regular file")) << name;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2)) << name;
    }
}

// A node at the 32-bit edge lies outside the picture: it must not wrap
// round onto it.
TEST(BoundedScripts, ANodeAtThe32BitEdgeDrawsNothingRatherThanWrapping) {
    auto render = [](const std::string& text) {
        std::istringstream in(text);
        return RenderScene(*ReadSceneScript(in, "edge", {}).Root, 0xFFFFFF);
    };
    const std::string plain = "VlxImg size(101,37);col(10,20,30);wipe\n";
    for (const char* node : {"VlxMat size(10,10);pos(2147483647,0);col(255,0,0)",
                             "VlxMat size(10,10);pos(2147483600,5);col(255,0,0)\n{\nVlxMat size(9,9);pos(100,0)\n}",
                             "VlxPoly size(10,10);pos(0,2147483640);vertex(0,0);vertex(9,0);vertex(0,9);vertex(0,0);polygon"}) {
        TPoint at;
        EXPECT_FALSE(FirstDifference(*render(plain), *render(plain + "{\n" + node + "\n}\n"), at))
            << node << " at " << at.X << "," << at.Y;
    }
}

}  // namespace
}  // namespace quenlo

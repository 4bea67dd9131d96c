// The peer side of the rendering comparison: the same shapes drawn with
// cairo. Figures only; built when cairo is installed, linked to nothing of
// ours.
//
//   bench_cairo star RUNS          median time of one fill of the 500 x 500 star
//   bench_cairo render SHAPES OUT  draws a shape list, writes a 24-bit .bmp
//
// A shape list is text: "S W H" (the canvas, white), then one shape a line:
// "P R G B A X1 Y1 X2 Y2 ..." (a filled polygon, even-odd),
// "R X Y W H R G B A" (a rectangle) or "I X Y A FILE" (a 24-bit .bmp painted
// at X, Y); channels 0..255, A 0..1.
#include <cairo.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

void StarPath(cairo_t* cr) {
    const double cx = 250, cy = 250;
    for (int i = 0; i <= 10; ++i) {
        const double r = i % 2 ? 100.0 : 249.0;
        const double t = double(float(i % 10) * 3.14159265f / 5.0f);
        const double x = cx + r * std::sin(t), y = cy - r * std::cos(t);
        if (i == 0)
            cairo_move_to(cr, x, y);
        else
            cairo_line_to(cr, x, y);
    }
    cairo_close_path(cr);
}

int Star(int runs) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 500, 500);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 1.0, 0.25, 0.125);
    std::vector<double> wall, cpu;
    for (int k = 0; k < runs; ++k) {
        const auto w0 = std::chrono::steady_clock::now();
        const std::clock_t c0 = std::clock();
        for (int i = 0; i < 100; ++i) {
            StarPath(cr);
            cairo_fill(cr);
        }
        cairo_surface_flush(s);
        cpu.push_back(double(std::clock() - c0) / CLOCKS_PER_SEC / 100);
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count() / 100);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%.9f %.9f\n", wall[wall.size() / 2], cpu[cpu.size() / 2]);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return 0;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// Bottom-up rows of blue, green, red, padded to 4 bytes.
bool WriteBmp(cairo_surface_t* s, const char* path) {
    const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    const int stride = cairo_image_surface_get_stride(s);
    const uint8_t* data = cairo_image_surface_get_data(s);
    const size_t row = (size_t(w) * 3 + 3) / 4 * 4;
    std::vector<uint8_t> file(54 + row * size_t(h), 0);
    file[0] = 'B';
    file[1] = 'M';
    Put32(file, 2, uint32_t(file.size()));
    Put32(file, 10, 54);
    Put32(file, 14, 40);
    Put32(file, 18, uint32_t(w));
    Put32(file, 22, uint32_t(h));
    file[26] = 1;
    file[28] = 24;
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = data + size_t(y) * size_t(stride);
        uint8_t* dst = file.data() + 54 + row * size_t(h - 1 - y);
        for (int x = 0; x < w; ++x) std::copy(src + 4 * x, src + 4 * x + 3, dst + 3 * x);
    }
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    return bool(f);
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | b[at + i];
    return v;
}

// An uncompressed, bottom-up 24-bit .bmp as a surface; nullptr for anything else.
cairo_surface_t* ReadBmp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (file.size() < 54 || file[0] != 'B' || file[1] != 'M' || file[28] != 24) return nullptr;
    const int w = int(Get32(file, 18)), h = int(Get32(file, 22));
    const size_t offset = Get32(file, 10), row = (size_t(w) * 3 + 3) / 4 * 4;
    if (w <= 0 || h <= 0 || offset + row * size_t(h) > file.size()) return nullptr;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    uint8_t* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = file.data() + offset + row * size_t(h - 1 - y);
        uint32_t* dst = reinterpret_cast<uint32_t*>(data + size_t(y) * size_t(stride));
        for (int x = 0; x < w; ++x)
            dst[x] = uint32_t(src[3 * x + 2]) << 16 | uint32_t(src[3 * x + 1]) << 8 | src[3 * x];
    }
    cairo_surface_mark_dirty(s);
    return s;
}

int Render(const char* shapes, const char* out) {
    std::ifstream in(shapes);
    std::string line;
    cairo_surface_t* s = nullptr;
    cairo_t* cr = nullptr;
    while (std::getline(in, line)) {
        std::istringstream t(line);
        char kind = 0;
        t >> kind;
        if (kind == 'S') {
            int w = 0, h = 0;
            t >> w >> h;
            s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
            cr = cairo_create(s);
            cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
            cairo_set_source_rgb(cr, 1, 1, 1);
            cairo_paint(cr);
            continue;
        }
        if (!cr) continue;
        double r, g, b, a;
        if (kind == 'I') {
            double x, y;
            std::string path;
            t >> x >> y >> a >> path;
            cairo_surface_t* image = ReadBmp(path);
            if (!image) return 1;
            cairo_set_source_surface(cr, image, x, y);
            cairo_paint_with_alpha(cr, a);
            cairo_surface_destroy(image);
            continue;
        }
        if (kind == 'R') {
            double x, y, w, h;
            t >> x >> y >> w >> h >> r >> g >> b >> a;
            cairo_rectangle(cr, x, y, w, h);
        } else if (kind == 'P') {
            t >> r >> g >> b >> a;
            double x, y;
            bool first = true;
            while (t >> x >> y) {
                if (first)
                    cairo_move_to(cr, x, y);
                else
                    cairo_line_to(cr, x, y);
                first = false;
            }
            cairo_close_path(cr);
        } else {
            continue;
        }
        cairo_set_source_rgba(cr, r / 255, g / 255, b / 255, a);
        cairo_fill(cr);
    }
    if (!s) return 1;
    cairo_surface_flush(s);
    const bool ok = WriteBmp(s, out);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "star" && argc == 3) return Star(std::max(1, std::atoi(argv[2])));
    if (mode == "render" && argc == 4) return Render(argv[2], argv[3]);
    std::cerr << "usage: bench_cairo star RUNS | render SHAPES OUT.bmp\n";
    return 2;
}

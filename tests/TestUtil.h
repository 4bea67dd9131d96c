#pragma once
// Small helpers shared by the test executables.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "low/Sanitized.h"
#include "pixelmap/pixelmap.h"

namespace quenlo::test {

// Under a sanitizer, memory and time carry its shadow and checks.
using quenlo::kSanitized;

// A fresh folder under the system temp folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() / ("quenlo-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// An odd-width, asymmetric, channel-distinct test colour for pixel (x, y).
inline void TestPixel(int x, int y, uint8_t& r, uint8_t& g, uint8_t& b) {
    r = static_cast<uint8_t>(x * 37 + y * 3 + 1);
    g = static_cast<uint8_t>(y * 53 + 7);
    b = static_cast<uint8_t>(x * 11 + y * 29 + 101);
}

// A w x h map of TestPixel colours.
inline std::unique_ptr<TPixelMapRGB> TestPicture(int w, int h) {
    auto m = std::make_unique<TPixelMapRGB>();
    m->SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = m->PixelAddr(x, y);
            TestPixel(x, y, p[2], p[1], p[0]);
        }
    return m;
}

// A raw pair of w x h whose bytes run i * 7 + seed.
inline void WritePair(const std::string& base, int w, int h, uint8_t seed) {
    WriteText(base + ".ipr", std::to_string(w) + " " + std::to_string(h) + " 0 0");
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + seed);
    WriteBytes(base + ".rgb", rgb);
}

// The colour at (x, y) of a 24-bit map as a TColor: red in the low byte,
// while the map holds blue, green, red.
template <class TMap>
uint32_t PixelAt(const TMap& map, int32_t x, int32_t y) {
    const uint8_t* p = map.PixelAddr(x, y);
    return uint32_t(p[2]) | uint32_t(p[1]) << 8 | uint32_t(p[0]) << 16;
}

// root's whole scene drawn over background into a fresh map of root's size
// (a template: this header knows no scene).
template <class TNode>
std::unique_ptr<TPixelMapRGB> RenderOver(TNode& root, uint32_t background) {
    auto map = std::make_unique<TPixelMapRGB>();
    map->SetSize(root.Width, root.Height);
    map->SetPen(background);
    map->Clear();
    root.RenderInto(*map);
    return map;
}

// A little-endian TIFF of a 1 x 1 RGB image in one uncompressed tile of side x side, its bytes given.
inline std::vector<uint8_t> OneTileTiff(uint16_t side, const std::vector<uint8_t>& data) {
    const uint16_t tags[][2] = {{256, 1}, {257, 1}, {258, 8}, {259, 1}, {262, 2}, {277, 3}, {322, side}, {323, side}};
    const uint32_t count = 8 + 2, dataAt = 8 + 2 + count * 12 + 4;
    std::vector<uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0, uint8_t(count), 0};
    auto put = [&](uint16_t tag, uint16_t type, uint32_t value) {
        const uint8_t e[12] = {uint8_t(tag), uint8_t(tag >> 8), uint8_t(type), 0, 1, 0, 0, 0,
                               uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
        f.insert(f.end(), e, e + 12);
    };
    for (const auto& t : tags) put(t[0], 3, t[1]);
    put(324, 4, dataAt);
    put(325, 4, uint32_t(data.size()));
    f.insert(f.end(), 4, 0);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

}  // namespace quenlo::test

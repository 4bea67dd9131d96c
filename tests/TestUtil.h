#pragma once
// Small helpers shared by the test executables.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace quenlo::test {

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

// root's whole scene rendered into map, which is sized to the root and
// cleared to background first (a template: this header knows no scene).
template <class TNode, class TMap>
TMap& RenderScene(TNode& root, TMap& map, uint32_t background) {
    map.SetSize(root.Width, root.Height);
    map.SetPen(background);
    map.Clear();
    root.RenderInto(map);
    return map;
}

}  // namespace quenlo::test

#pragma once
// Images in memory, and reading and writing them as files.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quenlo {
inline namespace v0 {

// 8-bit red, green, blue samples, three bytes a pixel, rows packed and top
// row first: the layout numpy, Pillow and most toolkits use.
class Image {
public:
    Image() = default;
    // A new image of width x height, every sample 0. Throws ImageError
    // ("bad-size") for a negative size or one of more than 2^31 bytes.
    Image(int width, int height);

    int Width() const noexcept { return width_; }
    int Height() const noexcept { return height_; }
    size_t Stride() const noexcept { return static_cast<size_t>(width_) * 3; }  // bytes a row
    size_t Size() const noexcept { return Stride() * static_cast<size_t>(height_); }
    uint8_t* Data() noexcept { return data_; }
    const uint8_t* Data() const noexcept { return data_; }
    uint8_t* Row(int y) noexcept { return data_ + Stride() * static_cast<size_t>(y); }
    const uint8_t* Row(int y) const noexcept { return data_ + Stride() * static_cast<size_t>(y); }
    // What keeps the samples alive: copies of the image share it, so a
    // binding can hand the buffer on without copying it.
    const std::shared_ptr<void>& Owner() const noexcept { return owner_; }

    // For the library's own use.
    Image(int width, int height, uint8_t* data, std::shared_ptr<void> owner)
        : width_(width), height_(height), data_(data), owner_(std::move(owner)) {}

private:
    int width_ = 0, height_ = 0;
    uint8_t* data_ = nullptr;
    std::shared_ptr<void> owner_;
};

struct ReadOptions {
    // Images above this many pixels are refused before anything is
    // allocated for them; 0 takes the converter's default (2^28).
    long long maxPixels = 0;
};

// Reads .ipr/.rgb pairs (either member named), .bmp, .jpg, .png and .tif,
// chosen by content where the name misleads. Throws ImageError.
Image ReadImage(const std::string& path, const ReadOptions& options = {});

enum class Format { Bmp, Png, Tiff };
enum class Compression { None, Lzw, Deflate };  // of TIFF files

struct WriteOptions {
    Format format = Format::Bmp;
    int pngLevel = 6;  // zlib's 0 (stored) to 9
    Compression tiffCompression = Compression::None;
};

// The format's usual extension: ".bmp", ".png" or ".tif".
const char* Extension(Format format);
// "bmp", "png", "tif" or "tiff", in any case. Throws UsageError for another.
Format FormatByName(const std::string& name);

// Writes the whole file beside path and then puts it in place, so a failed
// write leaves what was there. Throws ImageError.
void WriteImage(const Image& image, const std::string& path, const WriteOptions& options = {});

}  // namespace v0
}  // namespace quenlo

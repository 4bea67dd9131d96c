#pragma once
// What an image file is: by its name, which picks the reader, and by its
// first bytes, which tell what a file really holds when its reader refuses it.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

enum class ImageKind { None, RawPair, Bmp, Jpeg, Png, Gif, Tiff, WebP, Netpbm, Heic, Avif };

// By the extension, ignoring case: .ipr and .rgb, .bmp, .jpg, .jpeg, .jpe
// or .jfif, .png, .tif or .tiff, .gif, .heic, .heif or .hif, .avif, and .webp;
// None for any other.
ImageKind KindByName(std::string_view fileName);
// Those extensions in lower case with their dot, as ".jpe".
std::vector<std::string> ReadExtensions();

// By the signature at the start of the file; None when there is none
// (raw pairs have none). HEIF files are told apart by their brands: AV1
// ones are AVIF, the rest HEIC.
ImageKind KindByContent(std::span<const uint8_t> head);

// "not a JPEG file: it holds a PNG image", when the content is another
// known format than the name says; "" otherwise.
std::string KindMismatch(ImageKind byName, std::span<const uint8_t> head);

}  // namespace quenlo

#include "imageio/ImageKind.h"

#include <cstring>

#include "low/FileNames.h"

namespace quenlo {

namespace {
const char* KindName(ImageKind kind) {
    switch (kind) {
        case ImageKind::Bmp: return "BMP";
        case ImageKind::Jpeg: return "JPEG";
        case ImageKind::Png: return "PNG";
        case ImageKind::Gif: return "GIF";
        case ImageKind::Tiff: return "TIFF";
        case ImageKind::WebP: return "WebP";
        case ImageKind::Netpbm: return "netpbm";
        case ImageKind::RawPair: return "raw";
        case ImageKind::None: break;
    }
    return "unknown";
}

bool StartsWith(std::span<const uint8_t> head, const char* magic, size_t n, size_t at = 0) {
    return head.size() >= at + n && std::memcmp(head.data() + at, magic, n) == 0;
}
}  // namespace

ImageKind KindByName(std::string_view fileName) {
    const std::string ext = UpperAscii(ExtractFileExt(fileName));
    if (ext == ".IPR" || ext == ".RGB") return ImageKind::RawPair;
    if (ext == ".BMP") return ImageKind::Bmp;
    if (ext == ".JPG" || ext == ".JPEG" || ext == ".JPE" || ext == ".JFIF") return ImageKind::Jpeg;
    if (ext == ".PNG") return ImageKind::Png;
    if (ext == ".TIF" || ext == ".TIFF") return ImageKind::Tiff;
    return ImageKind::None;
}

ImageKind KindByContent(std::span<const uint8_t> head) {
    if (StartsWith(head, "\xFF\xD8\xFF", 3)) return ImageKind::Jpeg;
    if (StartsWith(head, "\x89PNG\r\n\x1A\n", 8)) return ImageKind::Png;
    if (StartsWith(head, "GIF87a", 6) || StartsWith(head, "GIF89a", 6)) return ImageKind::Gif;
    if (StartsWith(head, "II*\0", 4) || StartsWith(head, "MM\0*", 4)) return ImageKind::Tiff;
    if (StartsWith(head, "RIFF", 4) && StartsWith(head, "WEBP", 4, 8)) return ImageKind::WebP;
    if (StartsWith(head, "BM", 2) && head.size() >= 14) return ImageKind::Bmp;
    if (head.size() >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7' &&
        (head[2] == '\n' || head[2] == ' ' || head[2] == '\r' || head[2] == '\t'))
        return ImageKind::Netpbm;
    return ImageKind::None;
}

std::string KindMismatch(ImageKind byName, std::span<const uint8_t> head) {
    const ImageKind held = KindByContent(head);
    if (held == ImageKind::None || held == byName) return {};
    return std::string("not a ") + KindName(byName) + " file: it holds a " + KindName(held) + " image";
}

}  // namespace quenlo

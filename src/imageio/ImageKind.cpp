#include "imageio/ImageKind.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "low/FileNames.h"
#include "low/Low.h"

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
        case ImageKind::Heic: return "HEIC";
        case ImageKind::Avif: return "AVIF";
        case ImageKind::RawPair: return "raw";
        case ImageKind::None: break;
    }
    return "unknown";
}

bool StartsWith(std::span<const uint8_t> head, const char* magic, size_t n, size_t at = 0) {
    return head.size() >= at + n && std::memcmp(head.data() + at, magic, n) == 0;
}

// An ISO media file's "ftyp" box: the major brand, then the compatible
// ones after the minor version. Heic or Avif for an image brand, else None.
ImageKind HeifKind(std::span<const uint8_t> head) {
    if (!StartsWith(head, "ftyp", 4, 4)) return ImageKind::None;
    const size_t box = size_t(head[0]) << 24 | size_t(head[1]) << 16 | size_t(head[2]) << 8 | head[3];
    const size_t end = std::min(box, head.size());
    auto brand = [&](size_t at, const char* b) { return StartsWith(head, b, 4, at); };
    bool image = false;
    for (size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) {
        if (brand(at, "avif") || brand(at, "avis")) return ImageKind::Avif;
        image = image || brand(at, "heic") || brand(at, "heix") || brand(at, "heim") || brand(at, "heis") ||
                brand(at, "hevc") || brand(at, "hevx") || brand(at, "mif1") || brand(at, "msf1");
    }
    return image ? ImageKind::Heic : ImageKind::None;
}
}  // namespace

namespace {
// Every extension read, in lower case, with the kind it picks.
constexpr std::pair<const char*, ImageKind> kExtensions[] = {
    {".rgb", ImageKind::RawPair}, {".ipr", ImageKind::RawPair}, {".bmp", ImageKind::Bmp},
    {".jpg", ImageKind::Jpeg},    {".jpeg", ImageKind::Jpeg},   {".jpe", ImageKind::Jpeg},
    {".jfif", ImageKind::Jpeg},   {".png", ImageKind::Png},     {".tif", ImageKind::Tiff},
    {".tiff", ImageKind::Tiff},   {".gif", ImageKind::Gif},     {".heic", ImageKind::Heic},
    {".heif", ImageKind::Heic},   {".hif", ImageKind::Heic},    {".avif", ImageKind::Avif},
    {".webp", ImageKind::WebP}};
}  // namespace

ImageKind KindByName(std::string_view fileName) {
    // Compared ignoring case in place: a hot folder asks this for every name it sees.
    const std::string ext = ExtractFileExt(fileName);
    for (const auto& [known, kind] : kExtensions)
        if (SameTextAscii(ext, known)) return kind;
    return ImageKind::None;
}

std::vector<std::string> ReadExtensions() {
    std::vector<std::string> all;
    for (const auto& [known, kind] : kExtensions) all.emplace_back(known);
    return all;
}

ImageKind KindByContent(std::span<const uint8_t> head) {
    if (StartsWith(head, "\xFF\xD8\xFF", 3)) return ImageKind::Jpeg;
    if (StartsWith(head, "\x89PNG\r\n\x1A\n", 8)) return ImageKind::Png;
    if (StartsWith(head, "GIF87a", 6) || StartsWith(head, "GIF89a", 6)) return ImageKind::Gif;
    if (StartsWith(head, "II*\0", 4) || StartsWith(head, "MM\0*", 4)) return ImageKind::Tiff;
    if (StartsWith(head, "RIFF", 4) && StartsWith(head, "WEBP", 4, 8)) return ImageKind::WebP;
    if (const ImageKind heif = HeifKind(head); heif != ImageKind::None) return heif;
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

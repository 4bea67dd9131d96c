#include "imageio/MetaProbe.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <unistd.h>
#include <vector>

#include "imageio/Exif.h"
#include "imageio/FileIo.h"
#include "imageio/HeaderMeta.h"
#include "imageio/ImageKind.h"

namespace quenlo {

namespace {

constexpr int kMaxPages = 1024;
// A profile is rarely above a few hundred KiB; past this it is only marked as there.
constexpr uint32_t kMaxIccBytes = 16u << 20;

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Be32(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// One TIFF (or EXIF) structure: its first image's tags and its count of images.
class TTiffWalk {
public:
    TTiffWalk(const TByteSource& bytes, ImageMeta& meta) : bytes_(bytes), meta_(meta) {}

    bool Walk() {
        uint8_t head[16];
        if (!bytes_.At(0, head, 8)) return false;
        if (head[0] == 'I' && head[1] == 'I') big_ = false;
        else if (head[0] == 'M' && head[1] == 'M') big_ = true;
        else return false;
        const uint16_t version = U16(head + 2);
        uint64_t ifd = 0;
        if (version == 42) {
            ifd = U32(head + 4);
        } else if (version == 43) {  // BigTIFF: 8-byte offsets
            wide_ = true;
            if (!bytes_.At(8, head + 8, 8)) return false;
            ifd = U64(head + 8);
        } else {
            return false;
        }
        std::set<uint64_t> seen;
        int pages = 0;
        while (ifd != 0 && pages < kMaxPages && seen.insert(ifd).second) {
            const std::optional<uint64_t> next = Directory(ifd, pages == 0);
            if (!next) break;
            ++pages;
            ifd = *next;
        }
        if (pages == 0) return false;
        meta_.pages = std::max(meta_.pages, pages);
        return true;
    }

private:
    uint16_t U16(const uint8_t* p) const { return big_ ? Be16(p) : Le16(p); }
    uint32_t U32(const uint8_t* p) const { return big_ ? Be32(p) : Le32(p); }
    uint64_t U64(const uint8_t* p) const {
        const uint64_t a = U32(p), b = U32(p + 4);
        return big_ ? a << 32 | b : b << 32 | a;
    }

    // The next directory's offset; the first one's tags go into the record.
    std::optional<uint64_t> Directory(uint64_t at, bool first) {
        uint8_t n8[8];
        const size_t countSize = wide_ ? 8 : 2, entrySize = wide_ ? 20 : 12, offsetSize = wide_ ? 8 : 4;
        if (!bytes_.At(at, n8, countSize)) return std::nullopt;
        const uint64_t n = wide_ ? U64(n8) : U16(n8);
        if (n > 4096) return std::nullopt;
        std::vector<uint8_t> entries(n * entrySize + offsetSize);
        if (!bytes_.At(at + countSize, entries.data(), entries.size())) return std::nullopt;
        if (first)
            for (uint64_t i = 0; i < n; ++i) Tag(&entries[i * entrySize]);
        const uint8_t* next = &entries[n * entrySize];
        return wide_ ? U64(next) : U32(next);
    }

    // The values of an entry: inline when they fit, else at their offset.
    std::vector<uint8_t> Values(const uint8_t* e, size_t unit, uint64_t cap) const {
        const uint64_t count = wide_ ? U64(e + 4) : U32(e + 4);
        if (count == 0 || count > cap / unit) return {};
        std::vector<uint8_t> v(count * unit);
        const size_t inlineSize = wide_ ? 8 : 4;
        const uint8_t* field = e + (wide_ ? 12 : 8);
        if (v.size() <= inlineSize) std::memcpy(v.data(), field, v.size());
        else if (!bytes_.At(wide_ ? U64(field) : U32(field), v.data(), v.size())) return {};
        return v;
    }

    uint64_t Scalar(const uint8_t* e) const {
        const uint16_t type = U16(e + 2);
        const uint8_t* field = e + (wide_ ? 12 : 8);
        return type == 3 ? U16(field) : type == 4 ? U32(field) : type == 1 ? field[0] : 0;
    }

    void Tag(const uint8_t* e) {
        switch (U16(e)) {
            case 258: {  // BitsPerSample, one per sample
                const std::vector<uint8_t> v = Values(e, 2, 1024);
                for (size_t k = 0; k + 1 < v.size(); k += 2) meta_.bitsPerSample = std::max<int>(meta_.bitsPerSample, U16(&v[k]));
                break;
            }
            case 338: meta_.alpha = true; break;  // ExtraSamples: alpha, or another channel RGB drops
            case 34675: meta_.icc = Values(e, 1, kMaxIccBytes); if (meta_.icc.empty()) meta_.icc.push_back(0); break;
            case 282: {  // XResolution, a rational
                const std::vector<uint8_t> v = Values(e, 8, 8);
                if (v.size() == 8 && U32(&v[4]) != 0) {
                    Resolution r;
                    r.x = r.y = static_cast<double>(U32(&v[0])) / U32(&v[4]);
                    meta_.resolution = r;
                }
                break;
            }
            case 274: meta_.orientation = static_cast<int>(Scalar(e)); break;
            default: break;
        }
    }

    const TByteSource& bytes_;
    ImageMeta& meta_;
    bool big_ = false, wide_ = false;
};

bool ProbePng(const TByteSource& f, ImageMeta& meta) {
    uint64_t at = 8;
    for (int chunks = 0; chunks < 100000; ++chunks) {
        uint8_t head[8];
        if (!f.At(at, head, 8)) return chunks > 0;
        const uint32_t length = Be32(head);
        const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
        if (type == "IDAT" || type == "IEND") return true;
        uint8_t d[13];
        const size_t want = std::min<size_t>(length, sizeof d);
        f.At(at + 8, d, want);
        if (type == "IHDR") {
            meta.bitsPerSample = std::max<int>(meta.bitsPerSample, d[8]);
            meta.alpha = meta.alpha || d[9] == 4 || d[9] == 6;
        } else if (type == "tRNS") {
            meta.alpha = true;
        } else if (type == "iCCP") {
            meta.icc.assign(std::clamp<uint32_t>(length, 1, kMaxIccBytes), 0);
            f.At(at + 8, meta.icc.data(), meta.icc.size());
        } else if (type == "pHYs" && length >= 9) {
            Resolution r;
            const bool metre = d[8] == 1;
            r.x = Be32(d) / (metre ? 100.0 : 1.0);
            r.y = Be32(d + 4) / (metre ? 100.0 : 1.0);
            r.unit = metre ? ResolutionUnit::Centimetre : ResolutionUnit::None;
            meta.resolution = r;
        } else if (type == "acTL" && length >= 8) {
            meta.pages = static_cast<int>(std::clamp<uint32_t>(Be32(d), 1, kMaxPages));
        } else if (type == "eXIf" && length >= 8 && length <= (1u << 20)) {
            std::vector<uint8_t> exif(length);
            f.At(at + 8, exif.data(), exif.size());
            ImageMeta inner;
            if (TTiffWalk(TByteSource(std::span<const uint8_t>(exif)), inner).Walk()) meta.orientation = inner.orientation;
        }
        at += uint64_t{length} + 12;
    }
    return true;
}

// A WebP's RIFF chunks: VP8X's flags, ALPH, a lossless header's alpha bit,
// ICCP, EXIF (read as the reader reads it) and ANMF frames.
bool ProbeWebP(const TByteSource& f, ImageMeta& meta) {
    uint8_t riff[12];
    if (!f.At(0, riff, sizeof riff)) return false;
    const uint64_t end = uint64_t{Le32(riff + 4)} + 8;
    bool image = false, animated = false;
    int frames = 0;
    uint64_t at = 12;
    for (int chunks = 0; chunks < 100000 && at + 8 <= end; ++chunks) {
        uint8_t head[8];
        if (!f.At(at, head, 8)) break;
        const uint32_t length = Le32(head + 4);
        const std::string_view type(reinterpret_cast<const char*>(head), 4);
        uint8_t d[5] = {};
        f.At(at + 8, d, std::min<size_t>(length, sizeof d));
        if (type == "VP8X") {
            meta.alpha = meta.alpha || (d[0] & 0x10);
            animated = d[0] & 0x02;
        } else if (type == "ALPH") {
            meta.alpha = true;
        } else if (type == "VP8L" && length >= 5) {
            image = true;
            meta.alpha = meta.alpha || (Le32(d + 1) >> 28 & 1);
        } else if (type == "VP8 ") {
            image = true;
        } else if (type == "ANMF") {
            image = true;
            ++frames;
        } else if (type == "ICCP" && length > 0) {
            meta.icc.assign(std::min(length, kMaxIccBytes), 0);
            f.At(at + 8, meta.icc.data(), meta.icc.size());
        } else if (type == "EXIF" && length >= 8 && length <= (1u << 20)) {
            std::vector<uint8_t> exif(length);
            if (f.At(at + 8, exif.data(), exif.size())) {
                const ExifFacts facts = ReadExif(exif);
                meta.orientation = facts.orientation;
                meta.resolution = facts.resolution;
            }
        }
        at += uint64_t{length} + (length & 1) + 8;
    }
    if (animated) meta.pages = std::clamp(frames, 1, kMaxPages);
    return image;
}

std::optional<ImageMeta> Probe(const TByteSource& bytes, std::optional<ImageKind>* kind) {
    uint8_t head[16];
    bytes.At(0, head, sizeof head);
    ImageMeta meta;
    bool read = false;
    ImageKind held = KindByContent(head);
    switch (held) {
        case ImageKind::Bmp: read = ReadBmpMeta(bytes, meta, true); break;
        case ImageKind::Png: read = ProbePng(bytes, meta); break;
        case ImageKind::Tiff: read = TTiffWalk(bytes, meta).Walk(); break;
        case ImageKind::Jpeg: read = ReadJpegMeta(bytes, meta); break;
        case ImageKind::WebP: read = ProbeWebP(bytes, meta); break;
        default:  // BigTIFF has a signature of its own
            if (std::memcmp(head, "II+\0", 4) == 0 || std::memcmp(head, "MM\0+", 4) == 0) {
                held = ImageKind::Tiff;
                read = TTiffWalk(bytes, meta).Walk();
            }
            break;
    }
    if (!read) return std::nullopt;
    if (kind) *kind = held;
    return meta;
}

}  // namespace

std::optional<ImageMeta> ProbeImageMeta(const std::string& fileName, std::optional<ImageKind>* kind) {
    int fd = -1;
    try {
        fd = OpenRegularFile(fileName);
    } catch (...) {
        return std::nullopt;
    }
    std::optional<ImageMeta> meta = Probe(TByteSource(fd), kind);
    ::close(fd);
    return meta;
}

std::optional<ImageMeta> ProbeImageMeta(std::span<const uint8_t> file, std::optional<ImageKind>* kind) {
    return Probe(TByteSource(file), kind);
}

}  // namespace quenlo

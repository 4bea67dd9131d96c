#include "imageio/TiffReader.h"

#include <algorithm>
#include <string_view>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

#include "imageio/FileIo.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

struct TiffSource {
    int fd = -1;
    uint64_t pos = 0;
    std::string message;  // libtiff's first complaint
    int readErrno = 0;
    ~TiffSource() {
        if (fd >= 0) ::close(fd);
    }
};

tmsize_t SourceRead(thandle_t h, void* data, tmsize_t size) {
    auto* s = static_cast<TiffSource*>(h);
    size_t got = 0;
    while (got < static_cast<size_t>(size)) {
        const ssize_t r = ::pread(s->fd, static_cast<uint8_t*>(data) + got, static_cast<size_t>(size) - got,
                                  static_cast<off_t>(s->pos + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            s->readErrno = errno;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    s->pos += got;
    return static_cast<tmsize_t>(got);
}

tmsize_t SourceWrite(thandle_t, void*, tmsize_t) { return -1; }

toff_t SourceSeek(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<TiffSource*>(h);
    struct stat st {};
    const uint64_t base = whence == SEEK_CUR   ? s->pos
                          : whence == SEEK_END ? (::fstat(s->fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0)
                                               : 0;
    s->pos = base + off;
    return s->pos;
}

int SourceClose(thandle_t) { return 0; }
toff_t SourceSize(thandle_t h) {
    struct stat st {};
    return ::fstat(static_cast<TiffSource*>(h)->fd, &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}
// Mapped as libtiff's own open maps files: its reader of uncompressed
// tiles refuses them when they come through read calls instead (its raw
// buffer is rounded up, and then no longer matches the tile's size).
int SourceMap(thandle_t h, tdata_t* base, toff_t* size) {
    const toff_t n = SourceSize(h);
    if (n == 0 || n > SIZE_MAX) return 0;
    void* p = ::mmap(nullptr, static_cast<size_t>(n), PROT_READ, MAP_PRIVATE, static_cast<TiffSource*>(h)->fd, 0);
    if (p == MAP_FAILED) return 0;
    *base = p;
    *size = n;
    return 1;
}
void SourceUnmap(thandle_t, tdata_t base, toff_t size) { ::munmap(base, static_cast<size_t>(size)); }

int OnError(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
    auto* s = static_cast<TiffSource*>(user);
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (s->message.empty()) s->message = text;
    return 1;
}
// Unknown tags and the like: the image still reads.
int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct Tiff {
    TIFF* tif = nullptr;
    ~Tiff() {
        if (tif) TIFFClose(tif);
    }
};

struct OpenOptions {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    ~OpenOptions() { TIFFOpenOptionsFree(opts); }
};

// No single buffer libtiff allocates for a strip, a tile or a tag may pass
// this: a small file cannot claim gigabytes of it.
constexpr tmsize_t kMaxSingleAlloc = tmsize_t(1) << 30;

[[noreturn]] void Refuse(const TiffSource& src, const char* fallback) {
    if (src.readErrno) throw EInOutError::FromErrno(src.readErrno);
    throw EInvalidGraphic("TIFF: " + (src.message.empty() ? std::string(fallback) : src.message));
}

template <class T>
T Field(TIFF* tif, ttag_t tag, T fallback) {
    T value = fallback;
    return TIFFGetFieldDefaulted(tif, tag, &value) ? value : fallback;
}

// 8- or 16-bit RGB, greyscale or CMYK, samples interleaved, rows from the top:
// read straight into the map, strip rows or tiles as stored.
bool ReadsDirectly(TIFF* tif) {
    const uint16_t bits = Field<uint16_t>(tif, TIFFTAG_BITSPERSAMPLE, 1);
    const uint16_t spp = Field<uint16_t>(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    const uint16_t photo = Field<uint16_t>(tif, TIFFTAG_PHOTOMETRIC, 0xffff);
    const uint16_t planar = Field<uint16_t>(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    const uint16_t format = Field<uint16_t>(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    const uint16_t orientation = Field<uint16_t>(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    const uint16_t compression = Field<uint16_t>(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    if ((bits != 8 && bits != 16) || planar != PLANARCONFIG_CONTIG || format != SAMPLEFORMAT_UINT ||
        orientation != ORIENTATION_TOPLEFT || compression == COMPRESSION_OJPEG)
        return false;
    if (photo == PHOTOMETRIC_RGB) return spp >= 3;
    if (photo == PHOTOMETRIC_SEPARATED) return spp >= 4 && Field<uint16_t>(tif, TIFFTAG_INKSET, INKSET_CMYK) == INKSET_CMYK;
    return (photo == PHOTOMETRIC_MINISBLACK || photo == PHOTOMETRIC_MINISWHITE) && spp >= 1;
}

// How stored pixels become B,G,R.
struct SampleLayout {
    size_t bytes;  // per sample
    size_t step;   // per pixel
    size_t high;   // the byte kept of a sample
    enum class Model { Rgb, Grey, Cmyk } model;
    bool invert;

    explicit SampleLayout(TIFF* tif) {
        const uint16_t photo = Field<uint16_t>(tif, TIFFTAG_PHOTOMETRIC, 0);
        bytes = Field<uint16_t>(tif, TIFFTAG_BITSPERSAMPLE, 8) / 8;
        step = Field<uint16_t>(tif, TIFFTAG_SAMPLESPERPIXEL, 1) * bytes;
        // libtiff hands 16-bit samples over in the machine's byte order.
        high = bytes == 2 && std::endian::native == std::endian::little ? 1 : 0;
        model = photo == PHOTOMETRIC_RGB ? Model::Rgb : photo == PHOTOMETRIC_SEPARATED ? Model::Cmyk : Model::Grey;
        invert = photo == PHOTOMETRIC_MINISWHITE;
    }

    void Convert(const uint8_t* s, uint8_t* d, size_t pixels) const {
        s += high;
        for (size_t x = 0; x < pixels; ++x, s += step, d += 3) {
            if (model == Model::Grey) {
                d[0] = d[1] = d[2] = invert ? static_cast<uint8_t>(255 - s[0]) : s[0];
            } else if (model == Model::Cmyk) {
                // As libtiff's own conversion does for 8 bits, truncating.
                const unsigned k = 255u - s[3 * bytes];
                d[0] = static_cast<uint8_t>(k * (255u - s[2 * bytes]) / 255);
                d[1] = static_cast<uint8_t>(k * (255u - s[bytes]) / 255);
                d[2] = static_cast<uint8_t>(k * (255u - s[0]) / 255);
            } else {
                d[0] = s[2 * bytes];
                d[1] = s[bytes];
                d[2] = s[0];
            }
        }
    }
};

void ReadDirectly(TIFF* tif, TPixelMapRGB& map, const TiffSource& src) {
    const SampleLayout layout(tif);
    const auto w = static_cast<uint32_t>(map.Width()), h = static_cast<uint32_t>(map.Height());
    if (!TIFFIsTiled(tif)) {
        std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize64(tif)));
        if (row.size() < w * layout.step) Refuse(src, "short scanline");
        for (uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(tif, row.data(), y, 0) < 0) Refuse(src, "cannot read a row");
            layout.Convert(row.data(), map.ScanLine(static_cast<int32_t>(y)), w);
        }
        return;
    }
    const uint32_t tw = Field<uint32_t>(tif, TIFFTAG_TILEWIDTH, 0), th = Field<uint32_t>(tif, TIFFTAG_TILELENGTH, 0);
    const tmsize_t size = TIFFTileSize(tif);
    if (tw == 0 || th == 0 || size <= 0 || static_cast<uint64_t>(size) < uint64_t{tw} * th * layout.step)
        Refuse(src, "bad tile size");
    std::vector<uint8_t> tile(static_cast<size_t>(size));
    for (uint32_t ty = 0; ty < h; ty += th)
        for (uint32_t tx = 0; tx < w; tx += tw) {
            if (TIFFReadTile(tif, tile.data(), tx, ty, 0, 0) < 0) Refuse(src, "cannot read a tile");
            for (uint32_t y = 0; y < std::min(th, h - ty); ++y)
                layout.Convert(tile.data() + y * static_cast<size_t>(tw) * layout.step,
                               map.ScanLine(static_cast<int32_t>(ty + y)) + tx * size_t{3}, std::min(tw, w - tx));
        }
}

// Everything else through libtiff's RGBA conversion, a band of whole
// strips or tiles at a time so each is decoded once.
void ReadRgba(TIFF* tif, TPixelMapRGB& map, TiffSource& src) {
    char emsg[1024] = "";
    if (!TIFFRGBAImageOK(tif, emsg)) throw EInvalidGraphic(std::string("TIFF: ") + emsg);
    TIFFRGBAImage img{};
    if (!TIFFRGBAImageBegin(&img, tif, 0, emsg)) throw EInvalidGraphic(std::string("TIFF: ") + emsg);
    struct End {
        TIFFRGBAImage* img;
        ~End() { TIFFRGBAImageEnd(img); }
    } end{&img};
    img.req_orientation = ORIENTATION_TOPLEFT;
    const uint32_t w = static_cast<uint32_t>(map.Width()), h = static_cast<uint32_t>(map.Height());
    uint32_t band = TIFFIsTiled(tif) ? Field<uint32_t>(tif, TIFFTAG_TILELENGTH, 1)
                                     : Field<uint32_t>(tif, TIFFTAG_ROWSPERSTRIP, h);
    band = std::clamp<uint32_t>(band, 1, h);
    std::vector<uint32_t> raster(static_cast<size_t>(w) * band);
    for (uint32_t top = 0; top < h; top += band) {
        const uint32_t n = std::min(band, h - top);
        img.row_offset = static_cast<int>(top);
        img.col_offset = 0;
        if (!TIFFRGBAImageGet(&img, raster.data(), w, n)) Refuse(src, "cannot read the image");
        for (uint32_t y = 0; y < n; ++y) {
            uint8_t* d = map.ScanLine(static_cast<int32_t>(top + y));
            const uint32_t* s = raster.data() + static_cast<size_t>(y) * w;
            for (uint32_t x = 0; x < w; ++x, d += 3) {
                d[0] = static_cast<uint8_t>(TIFFGetB(s[x]));
                d[1] = static_cast<uint8_t>(TIFFGetG(s[x]));
                d[2] = static_cast<uint8_t>(TIFFGetR(s[x]));
            }
        }
    }
}

}  // namespace

std::unique_ptr<TPixelMapRGB> DecodeTiffFile(const std::string& fileName, const TiffOptions& options) {
    TiffSource src;
    src.fd = OpenRegularFile(fileName);
    OpenOptions open;
    TIFFOpenOptionsSetMaxSingleMemAlloc(open.opts, kMaxSingleAlloc);
    TIFFOpenOptionsSetErrorHandlerExtR(open.opts, OnError, &src);
    TIFFOpenOptionsSetWarningHandlerExtR(open.opts, OnWarning, &src);
    Tiff t;
    // "m": read through calls, so the file is not mapped into memory whole.
    // libtiff reads uncompressed tiles only from a mapped file, so those
    // files are opened again, mapped.
    for (const char* mode : {"rm", "r"}) {
        src.pos = 0;
        t.tif = TIFFClientOpenExt(fileName.c_str(), mode, &src, SourceRead, SourceWrite, SourceSeek, SourceClose,
                                  SourceSize, SourceMap, SourceUnmap, open.opts);
        if (!t.tif) Refuse(src, "not a readable TIFF file");
        if (!TIFFIsTiled(t.tif) || Field<uint16_t>(t.tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) != COMPRESSION_NONE)
            break;
        if (std::string_view(mode) == "r") break;
        TIFFClose(t.tif);
        t.tif = nullptr;
    }
    uint32_t w = 0, h = 0;
    if (!TIFFGetField(t.tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(t.tif, TIFFTAG_IMAGELENGTH, &h))
        Refuse(src, "no image size");
    TPixelMap::CheckedDataSize(w, h, 3);
    CheckPixelLimit(w, h, options.limit);

    auto map = std::make_unique<TPixelMapRGB>();
    map->SetSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
    if (w > 0 && h > 0) {
        if (ReadsDirectly(t.tif)) ReadDirectly(t.tif, *map, src);
        else ReadRgba(t.tif, *map, src);
    }
    if (options.onWarning) {
        const tdir_t pages = TIFFNumberOfDirectories(t.tif);
        if (pages > 1) options.onWarning("the file holds " + std::to_string(pages) + " pages; only the first is converted");
    }
    return map;
}

}  // namespace quenlo

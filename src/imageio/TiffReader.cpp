#include "imageio/TiffReader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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
int NoMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void NoUnmap(thandle_t, tdata_t, toff_t) {}

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

// Plain strips of 8- or 16-bit RGB or greyscale, samples interleaved, rows
// from the top: read row by row, straight into the map.
bool ReadsByRows(TIFF* tif) {
    if (TIFFIsTiled(tif)) return false;
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
    return (photo == PHOTOMETRIC_MINISBLACK || photo == PHOTOMETRIC_MINISWHITE) && spp >= 1;
}

void ReadRows(TIFF* tif, TPixelMapRGB& map, const TiffSource& src) {
    const uint16_t bits = Field<uint16_t>(tif, TIFFTAG_BITSPERSAMPLE, 8);
    const uint16_t spp = Field<uint16_t>(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    const bool grey = Field<uint16_t>(tif, TIFFTAG_PHOTOMETRIC, 0) != PHOTOMETRIC_RGB;
    const bool invert = Field<uint16_t>(tif, TIFFTAG_PHOTOMETRIC, 0) == PHOTOMETRIC_MINISWHITE;
    const size_t line = static_cast<size_t>(TIFFScanlineSize64(tif));
    const size_t bytesPerSample = bits / 8;
    if (line < static_cast<size_t>(map.Width()) * spp * bytesPerSample) Refuse(src, "short scanline");
    std::vector<uint8_t> row(line);
    // libtiff hands 16-bit samples over in the machine's byte order.
    const size_t high = bytesPerSample == 2 && std::endian::native == std::endian::little ? 1 : 0;
    const size_t step = spp * bytesPerSample;
    for (int32_t y = 0; y < map.Height(); ++y) {
        if (TIFFReadScanline(tif, row.data(), static_cast<uint32_t>(y), 0) < 0) Refuse(src, "cannot read a row");
        uint8_t* d = map.ScanLine(y);
        const uint8_t* s = row.data() + high;
        for (int32_t x = 0; x < map.Width(); ++x, s += step, d += 3) {
            if (grey) {
                const uint8_t v = invert ? static_cast<uint8_t>(255 - s[0]) : s[0];
                d[0] = d[1] = d[2] = v;
            } else {
                d[0] = s[2 * bytesPerSample];
                d[1] = s[bytesPerSample];
                d[2] = s[0];
            }
        }
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
    // "m": no memory mapping, so a file cut short while read is an error, not a signal.
    t.tif = TIFFClientOpenExt(fileName.c_str(), "rm", &src, SourceRead, SourceWrite, SourceSeek, SourceClose,
                              SourceSize, NoMap, NoUnmap, open.opts);
    if (!t.tif) Refuse(src, "not a readable TIFF file");
    uint32_t w = 0, h = 0;
    if (!TIFFGetField(t.tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(t.tif, TIFFTAG_IMAGELENGTH, &h))
        Refuse(src, "no image size");
    TPixelMap::CheckedDataSize(w, h, 3);
    CheckPixelLimit(w, h, options.limit);

    auto map = std::make_unique<TPixelMapRGB>();
    map->SetSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
    if (w > 0 && h > 0) {
        if (ReadsByRows(t.tif)) ReadRows(t.tif, *map, src);
        else ReadRgba(t.tif, *map, src);
    }
    if (options.onWarning) {
        const tdir_t pages = TIFFNumberOfDirectories(t.tif);
        if (pages > 1) options.onWarning("the file holds " + std::to_string(pages) + " pages; only the first is converted");
    }
    return map;
}

}  // namespace quenlo

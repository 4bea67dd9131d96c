#include "imageio/TiffReader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

#include "imageio/AlphaRows.h"
#include "imageio/FileIo.h"
#include "low/Errors.h"
#include "pixelmap/Blend.h"
#include "pixelmap/Orientation.h"
#include "low/Messages.h"

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
// Never mapped: a mapped file that shrinks while it is read kills the
// process (SIGBUS), where a short read is an error for this file alone.
int SourceMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void SourceUnmap(thandle_t, tdata_t, toff_t) {}

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
// A strip or tile may pass the image's own bytes up to this (a 1 x 1 image
// in one 256 x 256 tile is common), never beyond it.
constexpr uint64_t kSmallChunk = 16u << 20;

[[noreturn]] void Refuse(const TiffSource& src, const char* fallback) {
    if (src.readErrno) throw EInOutError::FromErrno(src.readErrno);
    throw EInvalidGraphic("TIFF: " + (src.message.empty() ? std::string(fallback) : src.message));
}

template <class T>
T Field(TIFF* tif, ttag_t tag, T fallback) {
    T value = fallback;
    return TIFFGetFieldDefaulted(tif, tag, &value) ? value : fallback;
}

// The open first page: the source read with pread, never mapped.
class TiffFile {
public:
    explicit TiffFile(const std::string& fileName) {
        src_.fd = OpenRegularFile(fileName);
        TIFFOpenOptionsSetMaxSingleMemAlloc(open_.opts, kMaxSingleAlloc);
        TIFFOpenOptionsSetErrorHandlerExtR(open_.opts, OnError, &src_);
        TIFFOpenOptionsSetWarningHandlerExtR(open_.opts, OnWarning, &src_);
        // "m": read through calls, never mapped.
        t_.tif = TIFFClientOpenExt(fileName.c_str(), "rm", &src_, SourceRead, SourceWrite, SourceSeek, SourceClose,
                                   SourceSize, SourceMap, SourceUnmap, open_.opts);
        if (!t_.tif) Refuse(src_, Tr("not a readable TIFF file"));
        if (!TIFFGetField(t_.tif, TIFFTAG_IMAGEWIDTH, &width_) || !TIFFGetField(t_.tif, TIFFTAG_IMAGELENGTH, &height_))
            Refuse(src_, Tr("no image size"));
    }
    TIFF* Get() const { return t_.tif; }
    TiffSource& Source() { return src_; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }

private:
    TiffSource src_;  // outlives the TIFF, which reads through it
    OpenOptions open_;
    Tiff t_;
    uint32_t width_ = 0, height_ = 0;
};

// The first extra sample's kind when it is alpha, else 0. Extra samples of
// no stated kind are no alpha.
uint16_t AlphaKind(TIFF* tif) {
    uint16_t extras = 0;
    uint16_t* kinds = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extras, &kinds) || extras == 0) return 0;
    return kinds[0] == EXTRASAMPLE_ASSOCALPHA || kinds[0] == EXTRASAMPLE_UNASSALPHA ? kinds[0] : 0;
}
bool HasAlpha(TIFF* tif) { return AlphaKind(tif) != 0; }

// How stored samples become 8-bit B,G,R and alpha.
struct Layout {
    enum class Model { Grey, Palette, Rgb, Cmyk } model = Model::Grey;
    uint32_t width = 0, height = 0;
    unsigned bits = 8;
    unsigned spp = 1;      // samples per pixel
    unsigned planes = 1;   // 1, or spp for samples in planes
    unsigned perPlane = 1; // samples of a pixel in one plane
    bool invert = false;   // min-is-white
    uint16_t signFlip = 0; // signed samples: the top bit flipped offsets them by half the range
    int alpha = -1;        // the alpha sample's index
    bool associated = false;
    std::array<uint8_t, 256> to8{};             // samples of up to 8 bits, scaled to 0..255
    std::array<std::vector<uint8_t>, 3> colours;  // palette: red, green, blue, 8 bits

    uint8_t To8(uint16_t v) const { return bits <= 8 ? to8[v & 0xff] : static_cast<uint8_t>(v >> (bits - 8)); }
    // Bytes of one stored row of n pixels in one plane; rows start on a byte.
    uint64_t RowBytes(uint64_t n) const { return (n * perPlane * bits + 7) / 8; }
};

// The layouts read sample by sample here; null with the reason otherwise
// (read through libtiff's RGBA conversion instead, or refused).
bool ReadLayout(TIFF* tif, uint32_t w, uint32_t h, Layout& l, std::string& why) {
    l.width = w;
    l.height = h;
    l.bits = Field<uint16_t>(tif, TIFFTAG_BITSPERSAMPLE, 1);
    l.spp = Field<uint16_t>(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    const uint16_t photo = Field<uint16_t>(tif, TIFFTAG_PHOTOMETRIC, 0xffff);
    const uint16_t format = Field<uint16_t>(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    const uint16_t compression = Field<uint16_t>(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    if (format == SAMPLEFORMAT_IEEEFP || format == SAMPLEFORMAT_COMPLEXIEEEFP || format == SAMPLEFORMAT_COMPLEXINT) {
        why = Tr("floating-point or complex samples are not supported");
        return false;
    }
    if (l.bits < 1 || l.bits > 16) {
        why = FormatText(Tr("samples of %d bits are not supported (1 to 16 are)"), int(l.bits));
        return false;
    }
    if (compression == COMPRESSION_OJPEG) return false;
    unsigned colours = 1;
    switch (photo) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
            l.model = Layout::Model::Grey;
            l.invert = photo == PHOTOMETRIC_MINISWHITE;
            break;
        case PHOTOMETRIC_PALETTE: {
            l.model = Layout::Model::Palette;
            uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
            if (l.bits > 8 || !TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) return false;
            const size_t n = size_t{1} << l.bits;
            // As libtiff does: a map with no entry above 255 holds 8-bit values.
            const bool eight = std::all_of(r, r + n, [](uint16_t v) { return v < 256; }) &&
                               std::all_of(g, g + n, [](uint16_t v) { return v < 256; }) &&
                               std::all_of(b, b + n, [](uint16_t v) { return v < 256; });
            const uint16_t* maps[3] = {r, g, b};
            for (int c = 0; c < 3; ++c) {
                l.colours[c].resize(n);
                for (size_t i = 0; i < n; ++i) l.colours[c][i] = static_cast<uint8_t>(eight ? maps[c][i] : maps[c][i] >> 8);
            }
            break;
        }
        case PHOTOMETRIC_YCBCR:
            // JPEG's YCbCr, converted by the codec; other YCbCr goes through
            // libtiff's conversion, which undoes the subsampling.
            if (compression != COMPRESSION_JPEG || l.bits != 8) return false;
            TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
            [[fallthrough]];
        case PHOTOMETRIC_RGB:
            l.model = Layout::Model::Rgb;
            colours = 3;
            break;
        case PHOTOMETRIC_SEPARATED:
            if (Field<uint16_t>(tif, TIFFTAG_INKSET, INKSET_CMYK) != INKSET_CMYK) return false;
            l.model = Layout::Model::Cmyk;
            colours = 4;
            break;
        default:
            return false;
    }
    if (l.spp < colours) {
        why = Tr("too few samples per pixel for its colour model");
        return false;
    }
    if (const uint16_t kind = AlphaKind(tif); kind != 0 && colours < l.spp) {
        l.alpha = static_cast<int>(colours);
        l.associated = kind == EXTRASAMPLE_ASSOCALPHA;
    }
    const bool planar = Field<uint16_t>(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == PLANARCONFIG_SEPARATE;
    l.planes = planar ? l.spp : 1;
    l.perPlane = planar ? 1 : l.spp;
    if (format == SAMPLEFORMAT_INT && l.model != Layout::Model::Palette)
        l.signFlip = static_cast<uint16_t>(1u << (l.bits - 1));
    const unsigned max = (1u << std::min(l.bits, 8u)) - 1;
    for (unsigned v = 0; v <= max; ++v) l.to8[v] = static_cast<uint8_t>((v * 255 + max / 2) / max);
    return true;
}

// n samples of a stored row as values of l.bits bits, signed ones offset.
void Unpack(const Layout& l, const uint8_t* row, size_t n, uint16_t* out) {
    if (l.bits == 8) {
        for (size_t i = 0; i < n; ++i) out[i] = row[i] ^ l.signFlip;
    } else if (l.bits == 16) {
        // libtiff hands 16-bit samples over in the machine's byte order.
        for (size_t i = 0; i < n; ++i) {
            uint16_t v;
            std::memcpy(&v, row + 2 * i, 2);
            out[i] = v ^ l.signFlip;
        }
    } else {
        // Packed from the most significant bit; a sample spans at most 3 bytes.
        const unsigned bits = l.bits, mask = (1u << bits) - 1;
        const size_t rowBytes = (n * bits + 7) / 8;
        for (size_t i = 0; i < n; ++i) {
            const size_t bit = i * bits, at = bit / 8;
            uint32_t word = uint32_t{row[at]} << 16;
            if (at + 1 < rowBytes) word |= uint32_t{row[at + 1]} << 8;
            if (at + 2 < rowBytes) word |= row[at + 2];
            out[i] = static_cast<uint16_t>(((word >> (24 - bits - bit % 8)) & mask) ^ l.signFlip);
        }
    }
}

// Rows of pixels as stored become map rows: a span of n pixels at a time.
class SpanConverter {
public:
    SpanConverter(const Layout& l, TColor background, bool keepAlpha, size_t maxPixels)
        : l_(l), keepAlpha_(keepAlpha && l.alpha >= 0), raw_(l.planes), bgra_(l.alpha >= 0 && !keepAlpha_ ? maxPixels * 4 : 0) {
        for (auto& r : raw_) r.resize(maxPixels * l.perPlane);
        bg_[0] = static_cast<uint8_t>(background >> 16);
        bg_[1] = static_cast<uint8_t>(background >> 8);
        bg_[2] = static_cast<uint8_t>(background);
    }

    // rows[p]: the span's start in plane p. out: B,G,R, or B,G,R,A (straight)
    // when alpha is kept.
    void Convert(const uint8_t* const* rows, size_t n, uint8_t* out) {
        for (unsigned p = 0; p < l_.planes; ++p) Unpack(l_, rows[p], n * l_.perPlane, raw_[p].data());
        const bool alpha = l_.alpha >= 0;
        uint8_t* d = alpha && !keepAlpha_ ? bgra_.data() : out;
        const size_t step = alpha ? 4 : 3;
        for (size_t x = 0; x < n; ++x, d += step) {
            uint8_t b = 0, g = 0, r = 0;
            switch (l_.model) {
                case Layout::Model::Grey: {
                    const uint8_t v = l_.To8(Sample(x, 0));
                    b = g = r = l_.invert ? static_cast<uint8_t>(255 - v) : v;
                    break;
                }
                case Layout::Model::Palette: {
                    const uint16_t i = Sample(x, 0);
                    r = l_.colours[0][i];
                    g = l_.colours[1][i];
                    b = l_.colours[2][i];
                    break;
                }
                case Layout::Model::Rgb:
                    r = l_.To8(Sample(x, 0));
                    g = l_.To8(Sample(x, 1));
                    b = l_.To8(Sample(x, 2));
                    break;
                case Layout::Model::Cmyk: {
                    // As libtiff's own conversion does, truncating.
                    const unsigned k = 255u - l_.To8(Sample(x, 3));
                    r = static_cast<uint8_t>(k * (255u - l_.To8(Sample(x, 0))) / 255);
                    g = static_cast<uint8_t>(k * (255u - l_.To8(Sample(x, 1))) / 255);
                    b = static_cast<uint8_t>(k * (255u - l_.To8(Sample(x, 2))) / 255);
                    break;
                }
            }
            d[0] = b;
            d[1] = g;
            d[2] = r;
            if (alpha) {
                const uint8_t a = l_.To8(Sample(x, static_cast<unsigned>(l_.alpha)));
                d[3] = a;
                // Premultiplied: back to straight colour, rounded, capped at 255.
                if (l_.associated)
                    for (int c = 0; c < 3; ++c)
                        d[c] = a == 0 ? 0 : static_cast<uint8_t>(std::min(255u, (d[c] * 255u + a / 2) / a));
            }
        }
        if (alpha && !keepAlpha_) CompositeRowOver(out, bgra_.data(), n, bg_);
    }

private:
    uint16_t Sample(size_t x, unsigned s) const {
        return l_.planes == 1 ? raw_[0][x * l_.perPlane + s] : raw_[s][x];
    }

    const Layout& l_;
    const bool keepAlpha_;
    std::vector<std::vector<uint16_t>> raw_;
    std::vector<uint8_t> bgra_;
    uint8_t bg_[3];
};

struct Chunking {
    bool tiled = false;
    uint32_t cw = 0, ch = 0;  // a strip's or tile's pixels across and down
    uint64_t bytes = 0;       // its decoded buffer, per plane
};

// Strips or tiles, refused before anything is allocated for them when one
// is larger than the image allows.
Chunking ChunksOf(TIFF* tif, const Layout& l, TiffSource& src) {
    Chunking c;
    c.tiled = TIFFIsTiled(tif) != 0;
    if (c.tiled) {
        c.cw = Field<uint32_t>(tif, TIFFTAG_TILEWIDTH, 0);
        c.ch = Field<uint32_t>(tif, TIFFTAG_TILELENGTH, 0);
        if (c.cw == 0 || c.ch == 0) Refuse(src, Tr("bad tile size"));
    } else {
        c.cw = l.width;
        c.ch = std::clamp<uint32_t>(Field<uint32_t>(tif, TIFFTAG_ROWSPERSTRIP, l.height), 1, l.height);
    }
    const uint64_t needed = l.RowBytes(c.cw) * c.ch;
    const uint64_t image = l.RowBytes(l.width) * l.height;
    if (needed > std::max(kSmallChunk, image) || needed > static_cast<uint64_t>(kMaxSingleAlloc))
        throw EInvalidGraphic(FormatText(c.tiled ? Tr("TIFF: a tile of %u x %u pixels is larger than the %u x %u image allows")
                                                 : Tr("TIFF: a strip of %u x %u pixels is larger than the %u x %u image allows"),
                                         unsigned(c.cw), unsigned(c.ch), unsigned(l.width), unsigned(l.height)));
    const int64_t size = c.tiled ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    if (size <= 0 || static_cast<uint64_t>(size) < needed || static_cast<uint64_t>(size) > std::max(needed, kSmallChunk))
        Refuse(src, c.tiled ? Tr("bad tile size") : Tr("bad strip size"));
    c.bytes = static_cast<uint64_t>(size);
    return c;
}

// Into an RGB map, alpha laid over the background, or an ARGB one that keeps it.
void ReadSamples(TIFF* tif, const Layout& l, TPixelMap& map, TiffSource& src, TColor background) {
    const Chunking c = ChunksOf(tif, l, src);
    std::vector<std::vector<uint8_t>> buffers(l.planes, std::vector<uint8_t>(static_cast<size_t>(c.bytes)));
    const size_t pixelBytes = map.BytesPerPixel();
    SpanConverter convert(l, background, pixelBytes == 4, std::min(c.cw, l.width));
    const size_t rowBytes = static_cast<size_t>(l.RowBytes(c.cw));
    std::vector<const uint8_t*> rows(l.planes);
    for (uint32_t top = 0; top < l.height; top += c.ch) {
        const uint32_t n = std::min(c.ch, l.height - top);
        for (uint32_t left = 0; left < l.width; left += c.cw) {
            const uint32_t across = std::min(c.cw, l.width - left);
            for (unsigned p = 0; p < l.planes; ++p) {
                const tmsize_t got =
                    c.tiled ? TIFFReadEncodedTile(tif, TIFFComputeTile(tif, left, top, 0, static_cast<uint16_t>(p)),
                                                  buffers[p].data(), static_cast<tmsize_t>(c.bytes))
                            : TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, top, static_cast<uint16_t>(p)),
                                                   buffers[p].data(), static_cast<tmsize_t>(c.bytes));
                // A strip holds only the rows left; a tile is always whole.
                if (got < 0 || static_cast<uint64_t>(got) < rowBytes * (c.tiled ? c.ch : n))
                    Refuse(src, c.tiled ? Tr("cannot read a tile") : Tr("cannot read a strip"));
            }
            for (uint32_t y = 0; y < n; ++y) {
                for (unsigned p = 0; p < l.planes; ++p) rows[p] = buffers[p].data() + y * rowBytes;
                convert.Convert(rows.data(), across, map.ScanLine(static_cast<int32_t>(top + y)) + left * pixelBytes);
            }
        }
    }
}

// The other colour models through libtiff's RGBA conversion, a band of
// whole strips or tiles at a time so each is decoded once. Asked for the
// stored orientation, it turns nothing (its own turning flips each band
// within itself); its colours come premultiplied by alpha. An ARGB map
// keeps the alpha.
void ReadRgba(TIFF* tif, TPixelMap& map, TiffSource& src, TColor background) {
    char emsg[1024] = "";
    if (!TIFFRGBAImageOK(tif, emsg)) throw EInvalidGraphic(std::string("TIFF: ") + emsg);
    TIFFRGBAImage img{};
    if (!TIFFRGBAImageBegin(&img, tif, 0, emsg)) throw EInvalidGraphic(std::string("TIFF: ") + emsg);
    struct End {
        TIFFRGBAImage* img;
        ~End() { TIFFRGBAImageEnd(img); }
    } end{&img};
    img.req_orientation = img.orientation;
    const uint32_t w = static_cast<uint32_t>(map.Width()), h = static_cast<uint32_t>(map.Height());
    // libtiff's own buffer for one strip or tile: no larger than the image
    // at 8 bytes a pixel allows.
    const int64_t chunk = TIFFIsTiled(tif) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    if (chunk <= 0 || static_cast<uint64_t>(chunk) > std::max<uint64_t>(kSmallChunk, uint64_t{w} * h * 8))
        throw EInvalidGraphic(Tr("TIFF: a strip or tile is larger than the image allows"));
    uint32_t band = TIFFIsTiled(tif) ? Field<uint32_t>(tif, TIFFTAG_TILELENGTH, 1)
                                     : Field<uint32_t>(tif, TIFFTAG_ROWSPERSTRIP, h);
    band = std::clamp<uint32_t>(band, 1, h);
    if (uint64_t{w} * band * 4 > std::max<uint64_t>(kSmallChunk, uint64_t{w} * h * 4))
        throw EInvalidGraphic(Tr("TIFF: a strip or tile is larger than the image allows"));
    std::vector<uint32_t> raster(static_cast<size_t>(w) * band);
    const bool keep = map.Kind() == PixelKind::ARGB;
    std::vector<uint8_t> row(keep ? 0 : static_cast<size_t>(w) * 4);
    const uint8_t bg[3] = {static_cast<uint8_t>(background >> 16), static_cast<uint8_t>(background >> 8),
                           static_cast<uint8_t>(background)};
    for (uint32_t top = 0; top < h; top += band) {
        const uint32_t n = std::min(band, h - top);
        img.row_offset = static_cast<int>(top);
        img.col_offset = 0;
        if (!TIFFRGBAImageGet(&img, raster.data(), w, n)) Refuse(src, Tr("cannot read the image"));
        for (uint32_t y = 0; y < n; ++y) {
            const uint32_t* s = raster.data() + static_cast<size_t>(y) * w;
            uint8_t* bgra = keep ? map.ScanLine(static_cast<int32_t>(top + y)) : row.data();
            for (uint32_t x = 0; x < w; ++x) {
                const uint32_t a = TIFFGetA(s[x]);
                const uint32_t c[3] = {TIFFGetB(s[x]), TIFFGetG(s[x]), TIFFGetR(s[x])};
                for (int k = 0; k < 3; ++k)
                    bgra[4 * x + k] = a == 0 ? 0 : static_cast<uint8_t>(std::min(255u, (c[k] * 255u + a / 2) / a));
                bgra[4 * x + 3] = static_cast<uint8_t>(a);
            }
            if (!keep) CompositeRowOver(map.ScanLine(static_cast<int32_t>(top + y)), bgra, w, bg);
        }
    }
}

// Resolution and profile as the first directory states them.
void ReadTiffMeta(TIFF* tif, ImageMeta& meta) {
    float x = 0, y = 0;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) && x > 0 && y > 0) {
        const uint16_t unit = Field<uint16_t>(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        meta.resolution = Resolution{x, y, unit == RESUNIT_INCH         ? ResolutionUnit::Inch
                                           : unit == RESUNIT_CENTIMETER ? ResolutionUnit::Centimetre
                                                                        : ResolutionUnit::None};
    }
    uint32_t size = 0;
    const uint8_t* icc = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &size, &icc) && icc && size > 0) meta.icc.assign(icc, icc + size);
}

}  // namespace

TiffFrame ReadTiffFrame(const std::string& fileName) {
    TiffFile file(fileName);
    TiffFrame f;
    f.width = file.Width();
    f.height = file.Height();
    if (f.width == 0 || f.height == 0) return f;
    Layout l;
    std::string why;
    f.alpha = HasAlpha(file.Get());
    if (ReadLayout(file.Get(), file.Width(), file.Height(), l, why)) {
        const Chunking c = ChunksOf(file.Get(), l, file.Source());
        // The decoded buffers, libtiff's compressed one of about that size,
        // and the rows of samples and of B,G,R,A.
        f.workingBytes = c.bytes * (l.planes + 1) + uint64_t{std::min(c.cw, l.width)} * (l.spp * 2 + 4);
    } else {
        const uint32_t band = TIFFIsTiled(file.Get()) ? Field<uint32_t>(file.Get(), TIFFTAG_TILELENGTH, 1)
                                                      : Field<uint32_t>(file.Get(), TIFFTAG_ROWSPERSTRIP, file.Height());
        const uint64_t raster = uint64_t{file.Width()} * std::clamp<uint32_t>(band, 1, file.Height()) * 4;
        f.workingBytes = raster * 2 + uint64_t{file.Width()} * 4;
    }
    return f;
}

std::unique_ptr<TPixelMap> DecodeTiffFile(const std::string& fileName, const TiffOptions& options) {
    TiffFile file(fileName);
    TIFF* tif = file.Get();
    const uint32_t w = file.Width(), h = file.Height();
    TPixelMap::CheckedDataSize(w, h, 3);
    CheckPixelLimit(w, h, options.limit);
    if (options.meta) ReadTiffMeta(tif, *options.meta);

    Layout l;
    std::string why;
    const bool samples = ReadLayout(tif, w, h, l, why);
    if (!why.empty()) throw EInvalidGraphic("TIFF: " + why);
    const bool alpha = samples ? l.alpha >= 0 : HasAlpha(tif);
    std::unique_ptr<TPixelMap> map = NewDecodedMap(static_cast<int32_t>(w), static_cast<int32_t>(h), alpha, options.keepAlpha);
    if (w > 0 && h > 0) {
        if (samples) ReadSamples(tif, l, *map, file.Source(), options.background);
        else ReadRgba(tif, *map, file.Source(), options.background);
    }
    const tdir_t pages = TIFFNumberOfDirectories(tif);
    if (options.onWarning && pages > 1)
        options.onWarning(FormatText(Tr("the file holds %lld pages; only the first is converted"), static_cast<long long>(pages)));
    int orientation = Field<uint16_t>(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (orientation < 1 || orientation > 8) orientation = 1;
    if (options.autoOrient && orientation != 1) {
        map = TurnUpright(*map, orientation);
        orientation = 1;  // the pixels given are upright
    }
    if (options.meta) {
        options.meta->orientation = orientation;
        options.meta->alpha = alpha;
        options.meta->bitsPerSample = Field<uint16_t>(tif, TIFFTAG_BITSPERSAMPLE, 1);
        options.meta->pages = static_cast<int>(pages);
    }
    return map;
}

}  // namespace quenlo

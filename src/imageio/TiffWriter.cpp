#include "imageio/TiffWriter.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <tiffio.h>
#include <vector>

#include "imageio/AtomicFile.h"
#include "imageio/RgbSwap.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

// libtiff seeks and writes; the file grows at its end, and only the
// header's directory offset is written again, in place.
struct TiffSink {
    TAtomicFile& out;
    uint64_t pos = 0, end = 0;
    std::exception_ptr error;
    std::string message;  // libtiff's own complaint
};

tmsize_t SinkWrite(thandle_t h, void* data, tmsize_t size) {
    auto* s = static_cast<TiffSink*>(h);
    try {
        const auto* p = static_cast<const uint8_t*>(data);
        auto n = static_cast<uint64_t>(size);
        if (s->pos > s->end) {  // a seek past the end leaves a hole of zeros
            const std::vector<uint8_t> zeros(static_cast<size_t>(s->pos - s->end), 0);
            s->out.Write(zeros.data(), zeros.size());
            s->end = s->pos;
        }
        const uint64_t inside = std::min(n, s->end - s->pos);
        if (inside) s->out.WriteAt(p, static_cast<size_t>(inside), s->pos);
        if (n > inside) s->out.Write(p + inside, static_cast<size_t>(n - inside));
        s->pos += n;
        s->end = std::max(s->end, s->pos);
        return size;
    } catch (...) {
        if (!s->error) s->error = std::current_exception();
        return -1;
    }
}

tmsize_t SinkRead(thandle_t, void*, tmsize_t) { return -1; }

toff_t SinkSeek(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<TiffSink*>(h);
    const uint64_t base = whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->end : 0;
    s->pos = base + off;
    return s->pos;
}

int SinkClose(thandle_t) { return 0; }
toff_t SinkSize(thandle_t h) { return static_cast<TiffSink*>(h)->end; }
int NoMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void NoUnmap(thandle_t, tdata_t, toff_t) {}

int OnError(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
    auto* s = static_cast<TiffSink*>(user);
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (s->message.empty()) s->message = text;
    return 1;
}
int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OpenOptions {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    ~OpenOptions() { TIFFOpenOptionsFree(opts); }
};

// Strips of about 256 KiB: large enough that LZW and deflate find their
// matches, small enough to stay a constant, small buffer.
constexpr size_t kStripBytes = 256u << 10;

class TTiffEncoder final : public TRowEncoder {
public:
    TTiffEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order, TiffCompression compression,
                 const ImageMeta& meta)
        : sink_{out, 0, 0, nullptr, {}}, width_(width), height_(height), order_(order), channels_(meta.alpha ? 4 : 3) {
        if (width <= 0 || height <= 0) throw EInvalidImageSize(width, height);
        rowBytes_ = static_cast<size_t>(width) * channels_;
        rowsPerStrip_ = static_cast<uint32_t>(std::clamp<size_t>(kStripBytes / rowBytes_, 1, static_cast<size_t>(height)));
        strip_.resize(rowsPerStrip_ * rowBytes_);
        OpenOptions options;
        TIFFOpenOptionsSetErrorHandlerExtR(options.opts, OnError, &sink_);
        TIFFOpenOptionsSetWarningHandlerExtR(options.opts, OnWarning, &sink_);
        tif_ = TIFFClientOpenExt("output", "w", &sink_, SinkRead, SinkWrite, SinkSeek, SinkClose, SinkSize, NoMap,
                                 NoUnmap, options.opts);
        if (!tif_) Fail();
        const uint16_t scheme = compression == TiffCompression::Lzw       ? COMPRESSION_LZW
                                : compression == TiffCompression::Deflate ? COMPRESSION_ADOBE_DEFLATE
                                                                          : COMPRESSION_NONE;
        bool ok = TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width)) &&
                  TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height)) &&
                  TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, 8) && TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, channels_) &&
                  TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
                  TIFFSetField(tif_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
                  TIFFSetField(tif_, TIFFTAG_ORIENTATION,
                               meta.orientation >= 1 && meta.orientation <= 8 ? meta.orientation : ORIENTATION_TOPLEFT) &&
                  TIFFSetField(tif_, TIFFTAG_COMPRESSION, scheme) &&
                  TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, rowsPerStrip_);
        // Each pixel as the difference to its left neighbour packs photos far better.
        if (ok && scheme != COMPRESSION_NONE) ok = TIFFSetField(tif_, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        if (ok && channels_ == 4) {
            const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
            ok = TIFFSetField(tif_, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        if (ok && meta.resolution) {
            const Resolution& r = *meta.resolution;
            ok = TIFFSetField(tif_, TIFFTAG_XRESOLUTION, static_cast<float>(r.x)) &&
                 TIFFSetField(tif_, TIFFTAG_YRESOLUTION, static_cast<float>(r.y)) &&
                 TIFFSetField(tif_, TIFFTAG_RESOLUTIONUNIT,
                              r.unit == ResolutionUnit::Inch         ? RESUNIT_INCH
                              : r.unit == ResolutionUnit::Centimetre ? RESUNIT_CENTIMETER
                                                                     : RESUNIT_NONE);
        }
        if (ok && !meta.icc.empty())
            ok = TIFFSetField(tif_, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(meta.icc.size()), meta.icc.data());
        raw_ = scheme == COMPRESSION_NONE;
        if (!ok) Fail();
    }
    ~TTiffEncoder() override {
        if (tif_) TIFFCleanup(tif_);
    }

    void Rows(const uint8_t* rows, size_t n) override {
        // Uncompressed R,G,B rows are already strips: written straight from
        // the caller's buffer, without a copy.
        while (raw_ && order_ == RawOrder::Rgb && filled_ == 0 && n > 0 &&
               (n >= rowsPerStrip_ || rowsDone_ + n == static_cast<size_t>(height_))) {
            const size_t take = std::min<size_t>(n, rowsPerStrip_);
            Put(const_cast<uint8_t*>(rows), take * rowBytes_);  // not written to when raw
            rows += take * rowBytes_;
            n -= take;
            rowsDone_ += take;
        }
        while (n > 0) {
            const size_t take = std::min<size_t>(n, rowsPerStrip_ - filled_);
            uint8_t* dst = strip_.data() + filled_ * rowBytes_;
            if (order_ == RawOrder::Bgr && channels_ == 4) SwapRedBlue4(rows, dst, take * static_cast<size_t>(width_));
            else if (order_ == RawOrder::Bgr) SwapRedBlue(rows, dst, take * static_cast<size_t>(width_));
            else std::memcpy(dst, rows, take * rowBytes_);
            rows += take * rowBytes_;
            n -= take;
            filled_ += take;
            rowsDone_ += take;
            if (filled_ == rowsPerStrip_ || rowsDone_ == static_cast<size_t>(height_)) WriteStrip();
        }
    }

    void Finish() override {
        if (filled_) WriteStrip();
        // The directory is written here; the header then points at it.
        if (!TIFFWriteDirectory(tif_)) Fail();
        TIFFClose(tif_);
        tif_ = nullptr;
        if (sink_.error) std::rethrow_exception(sink_.error);
    }

private:
    void WriteStrip() {
        // The predictor works in place, on this buffer.
        Put(strip_.data(), filled_ * rowBytes_);
        filled_ = 0;
    }

    void Put(uint8_t* data, size_t n) {
        // Uncompressed, the encoded strip is the data: no pass through the codec's buffer.
        const tmsize_t put = raw_ ? TIFFWriteRawStrip(tif_, stripIndex_++, data, static_cast<tmsize_t>(n))
                                  : TIFFWriteEncodedStrip(tif_, stripIndex_++, data, static_cast<tmsize_t>(n));
        if (put < 0) Fail();
    }

    [[noreturn]] void Fail() {
        if (sink_.error) std::rethrow_exception(sink_.error);
        throw EInOutError(5, "TIFF: " + (sink_.message.empty() ? std::string("cannot write") : sink_.message));
    }

    TiffSink sink_;
    TIFF* tif_ = nullptr;
    int32_t width_, height_;
    RawOrder order_;
    int channels_;
    size_t rowBytes_ = 0;
    uint32_t rowsPerStrip_ = 1;
    std::vector<uint8_t> strip_;
    size_t filled_ = 0, rowsDone_ = 0;
    uint32_t stripIndex_ = 0;
    bool raw_ = false;
};

}  // namespace

std::unique_ptr<TRowEncoder> OpenTiffEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                             TiffCompression compression, const ImageMeta& meta) {
    return std::make_unique<TTiffEncoder>(out, width, height, order, compression, meta);
}

}  // namespace quenlo

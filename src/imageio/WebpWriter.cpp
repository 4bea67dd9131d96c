#include "imageio/WebpWriter.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>
#include <webp/encode.h>
#include <webp/mux.h>

#include "imageio/AtomicFile.h"
#include "imageio/Exif.h"
#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

struct Picture {
    WebPPicture p;
    Picture() { WebPPictureInit(&p); }
    ~Picture() { WebPPictureFree(&p); }
};

struct Mux {
    WebPMux* m = WebPMuxNew();
    ~Mux() { WebPMuxDelete(m); }
};
struct MemoryWriter {
    WebPMemoryWriter w;
    MemoryWriter() { WebPMemoryWriterInit(&w); }
    ~MemoryWriter() { WebPMemoryWriterClear(&w); }
};
struct Assembled {
    WebPData d{};
    ~Assembled() { WebPDataClear(&d); }
};

struct Sink {
    TAtomicFile& out;
    std::exception_ptr error;
};

int Write(const uint8_t* data, size_t n, const WebPPicture* picture) {
    auto* sink = static_cast<Sink*>(picture->custom_ptr);
    try {
        sink->out.Write(data, n);
        return 1;
    } catch (...) {
        sink->error = std::current_exception();
        return 0;
    }
}

class TWebPEncoder final : public TRowEncoder {
public:
    TWebPEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order, const OutputOptions& options,
                 const ImageMeta* meta)
        : out_(out), width_(width), height_(height), order_(order), options_(options), meta_(meta ? *meta : ImageMeta()),
          channels_(meta_.alpha ? 4 : 3) {
        rows_.reserve(static_cast<size_t>(width) * channels_ * static_cast<size_t>(height));
    }

    void Rows(const uint8_t* rows, size_t n) override {
        rows_.insert(rows_.end(), rows, rows + n * static_cast<size_t>(width_) * channels_);
    }

    void Finish() override {
        if (rows_.size() != static_cast<size_t>(width_) * channels_ * static_cast<size_t>(height_))
            throw EInOutError(5, Tr("WebP: rows missing"));
        WebPConfig config;
        if (!WebPConfigInit(&config)) throw EInOutError(5, Tr("WebP: the library cannot be set up"));
        config.quality = static_cast<float>(std::clamp(options_.quality, 1, 100));
        config.lossless = options_.lossless ? 1 : 0;
        // Lossless keeps the colour under transparent pixels too (cwebp -exact),
        // so the file decodes to exactly the pixels given.
        config.exact = config.lossless;
        Picture picture;
        // ARGB only where cwebp takes it (lossless); lossy goes straight to YUV as cwebp's does.
        picture.p.use_argb = config.lossless;
        picture.p.width = width_;
        picture.p.height = height_;
        const int stride = width_ * channels_;
        const bool bgr = order_ == RawOrder::Bgr;
        const int ok = channels_ == 4 ? (bgr ? WebPPictureImportBGRA(&picture.p, rows_.data(), stride)
                                             : WebPPictureImportRGBA(&picture.p, rows_.data(), stride))
                                      : (bgr ? WebPPictureImportBGR(&picture.p, rows_.data(), stride)
                                             : WebPPictureImportRGB(&picture.p, rows_.data(), stride));
        std::vector<uint8_t>().swap(rows_);  // the picture holds its own copy now
        if (!ok) throw std::bad_alloc();
        const std::vector<uint8_t> exif = MakeExif(meta_.orientation, meta_.resolution);
        const bool icc = !meta_.icc.empty();
        if (exif.empty() && !icc) {
            Sink sink{out_, nullptr};
            picture.p.writer = Write;
            picture.p.custom_ptr = &sink;
            if (!WebPEncode(&config, &picture.p)) Fail(picture.p, sink.error);
            return;
        }
        // ICCP and EXIF chunks need the extended header before the image:
        // encoded in memory first, then assembled.
        MemoryWriter memory;
        picture.p.writer = WebPMemoryWrite;
        picture.p.custom_ptr = &memory.w;
        if (!WebPEncode(&config, &picture.p)) Fail(picture.p, nullptr);
        WebPPictureFree(&picture.p);  // the planes are encoded; only the file is held now
        Mux mux;
        if (!mux.m) throw std::bad_alloc();
        const WebPData image{memory.w.mem, memory.w.size};
        const WebPData profile{meta_.icc.data(), meta_.icc.size()};
        const WebPData tiff{exif.data(), exif.size()};
        Assembled file;
        if (WebPMuxSetImage(mux.m, &image, 0) != WEBP_MUX_OK || (icc && WebPMuxSetChunk(mux.m, "ICCP", &profile, 0) != WEBP_MUX_OK) ||
            (!exif.empty() && WebPMuxSetChunk(mux.m, "EXIF", &tiff, 0) != WEBP_MUX_OK) ||
            WebPMuxAssemble(mux.m, &file.d) != WEBP_MUX_OK)
            throw EInOutError(5, Tr("WebP: the ICC profile or EXIF cannot be added"));
        out_.Write(file.d.bytes, file.d.size);
    }

private:
    [[noreturn]] static void Fail(const WebPPicture& picture, std::exception_ptr writeError) {
        if (writeError) std::rethrow_exception(writeError);
        if (picture.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
        throw EInOutError(5, FormatText(Tr("WebP: encoding failed (libwebp error %d)"), int(picture.error_code)));
    }

    TAtomicFile& out_;
    const int32_t width_, height_;
    const RawOrder order_;
    const OutputOptions options_;
    const ImageMeta meta_;  // a copy: the caller's may be a temporary
    const int channels_;  // 4: R, G, B, A rows
    std::vector<uint8_t> rows_;
};

}  // namespace

std::unique_ptr<TRowEncoder> OpenWebPEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                             const OutputOptions& options, const ImageMeta* meta) {
    if (width <= 0 || height <= 0 || width > WEBP_MAX_DIMENSION || height > WEBP_MAX_DIMENSION)
        throw EInvalidImageSize(width, height);
    return std::make_unique<TWebPEncoder>(out, width, height, order, options, meta);
}

}  // namespace quenlo

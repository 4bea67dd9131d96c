#include "imageio/WebpWriter.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>
#include <webp/encode.h>

#include "imageio/AtomicFile.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

struct Picture {
    WebPPicture p;
    Picture() { WebPPictureInit(&p); }
    ~Picture() { WebPPictureFree(&p); }
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
        : out_(out), width_(width), height_(height), order_(order), options_(options), meta_(meta),
          channels_(meta && meta->alpha ? 4 : 3) {
        rows_.reserve(static_cast<size_t>(width) * channels_ * static_cast<size_t>(height));
    }

    void Rows(const uint8_t* rows, size_t n) override {
        rows_.insert(rows_.end(), rows, rows + n * static_cast<size_t>(width_) * channels_);
    }

    void Finish() override {
        if (rows_.size() != static_cast<size_t>(width_) * channels_ * static_cast<size_t>(height_))
            throw EInOutError(5, "WebP: rows missing");
        WebPConfig config;
        if (!WebPConfigInit(&config)) throw EInOutError(5, "WebP: the library cannot be set up");
        config.quality = static_cast<float>(std::clamp(options_.quality, 1, 100));
        config.lossless = options_.lossless ? 1 : 0;
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
        // An ICCP or EXIF chunk from meta_ would wrap the result through libwebpmux.
        (void)meta_;
        Sink sink{out_, nullptr};
        picture.p.writer = Write;
        picture.p.custom_ptr = &sink;
        if (!WebPEncode(&config, &picture.p)) {
            if (sink.error) std::rethrow_exception(sink.error);
            if (picture.p.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
            throw EInOutError(5, "WebP: encoding failed (libwebp error " + std::to_string(picture.p.error_code) + ")");
        }
    }

private:
    TAtomicFile& out_;
    const int32_t width_, height_;
    const RawOrder order_;
    const OutputOptions options_;
    [[maybe_unused]] const ImageMeta* meta_;
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

#include "imageio/PngWriter.h"

#include <exception>
#include <spng.h>
#include <vector>

#include "imageio/AtomicFile.h"
#include "imageio/RgbSwap.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

// The library hands over a few bytes at a time (chunk headers, CRCs): they
// are gathered so the file sees large writes.
class TBufferedOut {
public:
    explicit TBufferedOut(TAtomicFile& out) : out_(out) { buf_.reserve(kSize); }
    void Put(const uint8_t* p, size_t n) {
        if (buf_.size() + n > kSize) Flush();
        if (n >= kSize) {
            out_.Write(p, n);
            return;
        }
        buf_.insert(buf_.end(), p, p + n);
    }
    void Flush() {
        if (!buf_.empty()) out_.Write(buf_.data(), buf_.size());
        buf_.clear();
    }

private:
    static constexpr size_t kSize = 256u << 10;
    TAtomicFile& out_;
    std::vector<uint8_t> buf_;
};

class TPngEncoder final : public TRowEncoder {
public:
    TPngEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order, int level)
        : out_(out), width_(width), order_(order) {
        if (width <= 0 || height <= 0) throw EInvalidImageSize(width, height);
        if (!ctx_) throw std::bad_alloc();
        if (order_ == RawOrder::Bgr) row_.resize(static_cast<size_t>(width) * 3);
        Check(spng_set_png_stream(ctx_.get(), &TPngEncoder::Put, this));
        spng_ihdr ihdr{};
        ihdr.width = static_cast<uint32_t>(width);
        ihdr.height = static_cast<uint32_t>(height);
        ihdr.bit_depth = 8;
        ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
        Check(spng_set_ihdr(ctx_.get(), &ihdr));
        Check(spng_set_option(ctx_.get(), SPNG_IMG_COMPRESSION_LEVEL, level));
        // Each byte less the one above it: on photos and scans as small as
        // trying all five filters per row, at a third of the time. Stored
        // data gains nothing from any filter.
        Check(spng_set_option(ctx_.get(), SPNG_FILTER_CHOICE, level == 0 ? SPNG_FILTER_CHOICE_NONE : SPNG_FILTER_CHOICE_UP));
        Check(spng_encode_image(ctx_.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE));
    }

    void Rows(const uint8_t* rows, size_t n) override {
        const size_t bytes = static_cast<size_t>(width_) * 3;
        for (size_t i = 0; i < n; ++i, rows += bytes) {
            const uint8_t* row = rows;
            if (order_ == RawOrder::Bgr) {
                SwapRedBlue(rows, row_.data(), static_cast<size_t>(width_));
                row = row_.data();
            }
            const int rc = spng_encode_row(ctx_.get(), row, bytes);
            // The last row finishes the image data and the file's end.
            if (rc != SPNG_EOI) Check(rc);
        }
    }

    void Finish() override { out_.Flush(); }

private:
    static int Put(spng_ctx*, void* user, void* data, size_t n) {
        auto* self = static_cast<TPngEncoder*>(user);
        try {
            self->out_.Put(static_cast<const uint8_t*>(data), n);
            return 0;
        } catch (...) {
            // Raised again once the library has returned.
            self->error_ = std::current_exception();
            return SPNG_IO_ERROR;
        }
    }

    void Check(int rc) {
        if (rc == 0) return;
        if (error_) std::rethrow_exception(error_);
        throw EInOutError(5, std::string("PNG: ") + spng_strerror(rc));
    }

    std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx_{spng_ctx_new(SPNG_CTX_ENCODER), &spng_ctx_free};
    TBufferedOut out_;
    int32_t width_;
    RawOrder order_;
    std::vector<uint8_t> row_;
    std::exception_ptr error_;
};

}  // namespace

std::unique_ptr<TRowEncoder> OpenPngEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                            int level) {
    return std::make_unique<TPngEncoder>(out, width, height, order, level);
}

}  // namespace quenlo

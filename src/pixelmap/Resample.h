#pragma once
// Resizing 3-byte pixels row by row, bit-exact with the reference photo
// library's resampling: a separable convolution with coefficients in 22-bit
// fixed point, the horizontal pass first and its result clipped to 8 bits
// before the vertical pass. Rows stream through, so memory holds only the
// few rows one output row needs. Channel order does not matter.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pixelmap/RowSink.h"

namespace quenlo {

enum class ResampleFilter { Nearest, Box, Bilinear, Bicubic, Lanczos };


// The part of the source that is resized, in source pixels. Single
// precision, as the reference takes it.
struct ResampleBox {
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Takes the source's rows, top first, and gives the result's rows to out as
// soon as each is complete. Sizes must be positive and the box inside the
// source (EInvalidImageSize otherwise).
class TRowResampler : public TRowSink {
public:
    TRowResampler(int32_t inWidth, int32_t inHeight, int32_t outWidth, int32_t outHeight, ResampleFilter filter,
                  const ResampleBox& box, TRowSink& out);
    // The whole source.
    TRowResampler(int32_t inWidth, int32_t inHeight, int32_t outWidth, int32_t outHeight, ResampleFilter filter,
                  TRowSink& out);
    ~TRowResampler() override;

    void Rows(const uint8_t* rows, size_t n) override;
    // True once every result row has gone out.
    bool Done() const { return next_ == outH_; }

    // One axis: for each output position the first source position, the
    // count and the fixed-point weights (ksize a position).
    struct Axis {
        int ksize = 0;
        std::vector<int32_t> first, count, weights;
    };

private:
    void Emit(const uint8_t* row);
    void Horizontal(const uint8_t* in, uint8_t* out);

    const int32_t inW_, inH_, outW_, outH_;
    const ResampleFilter filter_;
    TRowSink& out_;
    bool needH_ = false, needV_ = false;
    Axis h_, v_;
    // The horizontal weights split for the vector path.
    int steps_ = 0;
    std::vector<int16_t> split_;
    // Nearest: the source column of each output column, and row of each output row.
    std::vector<int32_t> nearX_, nearY_;
    // The horizontally resized rows the next output row may need, by source row mod size.
    std::vector<uint8_t> ring_;
    int32_t ringRows_ = 0;
    std::vector<int32_t> acc_;
    std::vector<const uint8_t*> rowAt_;  // the ring rows of one output row
    size_t outBytes_ = 0, stride_ = 0;
    std::vector<uint8_t> line_;
    int32_t seen_ = 0;  // source rows taken
    int32_t next_ = 0;  // next result row
};

// Averages blocks of fx by fy pixels of the box [x0, x1) x [y0, y1) of the
// source, as the reference's reduce(): edge blocks average what they hold.
// The result is ceil((x1 - x0) / fx) by ceil((y1 - y0) / fy).
class TRowReducer : public TRowSink {
public:
    TRowReducer(int32_t inWidth, int32_t inHeight, int32_t fx, int32_t fy, int32_t x0, int32_t y0, int32_t x1,
                int32_t y1, TRowSink& out);
    void Rows(const uint8_t* rows, size_t n) override;
    int32_t OutWidth() const { return outW_; }
    int32_t OutHeight() const { return outH_; }

private:
    void Flush(int32_t rowsIn);

    const int32_t inW_, inH_, fx_, fy_, x0_, y0_, x1_, y1_, outW_, outH_;
    TRowSink& out_;
    std::vector<uint32_t> sums_;
    std::vector<uint8_t> line_;
    int32_t seen_ = 0, gathered_ = 0;
};

// What the reference's thumbnail() does to a w x h image for a box of
// boxW x boxH: the size it fits in (with its own rounding), and for a JPEG
// the 1/scale at which the decoder is asked to decode.
struct ThumbnailPlan {
    bool resize = false;  // false: the image already fits and is kept as it is
    int32_t width = 0, height = 0;
    int scale = 1;
};
ThumbnailPlan PlanThumbnail(int64_t w, int64_t h, int64_t boxW, int64_t boxH, bool jpeg);

// The chain that makes a thumbnail of a decoded w x h image (decoded at
// 1/scale of fullW x fullH), reducing_gap 2.0: an integer box reduction
// where the size allows, then the filter. Rows go in through Input().
class TThumbnailChain {
public:
    TThumbnailChain(int32_t w, int32_t h, int64_t fullW, int64_t fullH, int scale, int32_t outW, int32_t outH,
                    ResampleFilter filter, TRowSink& out);
    ~TThumbnailChain();
    TRowSink& Input() { return reducer_ ? static_cast<TRowSink&>(*reducer_) : *resampler_; }
    bool Done() const { return resampler_->Done(); }

private:
    std::unique_ptr<TRowResampler> resampler_;
    std::unique_ptr<TRowReducer> reducer_;
};

}  // namespace quenlo

#include "imageio/PngWriter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <thread>
#include <vector>
#include <zlib.h>

#include "imageio/AtomicFile.h"
#include "imageio/PngFilter.h"
#include "imageio/ResolutionUnits.h"
#include "imageio/RgbSwap.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

// Bytes of filtered rows compressed as one piece, and the most pieces in
// flight: with the rows being filtered, about 2 x 8 x 512 KiB at most.
constexpr size_t kBandBytes = 512u << 10;
constexpr size_t kMaxInFlight = 8;
// Deflate looks back at most 16 KiB, not zlib's 32: on filtered photos the
// farther matches barely pay for the longer hash chains walked to find them
// (over photos the files come out as small, in a quarter less time). A band
// primed with that much of the one before compresses as if the stream had
// never been cut.
constexpr int kWindowBits = 14;
constexpr size_t kWindow = size_t{1} << kWindowBits;

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// One band compressed: raw deflate blocks ending byte-aligned (a sync
// flush), or, for the last band, with the stream's final block.
struct Packed {
    std::vector<uint8_t> data;
    uLong adler = 1;  // of the band's filtered bytes
    size_t size = 0;  // of the band's filtered bytes
};

Packed Deflate(const std::vector<uint8_t>& band, const std::vector<uint8_t>& primer, int level, bool last) {
    z_stream z{};
    // Raw deflate (negative window bits): the zlib header and checksum are written once, around all bands.
    // Filtered rows are mostly small numbers: Z_FILTERED keeps short matches
    // out in favour of Huffman-coding them, and memory level 9 a larger hash,
    // as libpng does for filtered images (3 % smaller on photos).
    if (deflateInit2(&z, level, Z_DEFLATED, -kWindowBits, 9, Z_FILTERED) != Z_OK) throw std::bad_alloc();
    struct End {
        z_stream* z;
        ~End() { deflateEnd(z); }
    } end{&z};
    if (!primer.empty() && deflateSetDictionary(&z, primer.data(), static_cast<uInt>(primer.size())) != Z_OK)
        throw std::bad_alloc();
    Packed out;
    out.size = band.size();
    out.adler = adler32(1, band.data(), static_cast<uInt>(band.size()));
    // Room for the worst case plus the empty stored block a sync flush ends with.
    out.data.resize(deflateBound(&z, static_cast<uLong>(band.size())) + 16);
    z.next_in = const_cast<Bytef*>(band.data());
    z.avail_in = static_cast<uInt>(band.size());
    z.next_out = out.data.data();
    z.avail_out = static_cast<uInt>(out.data.size());
    const int rc = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    if (rc != (last ? Z_STREAM_END : Z_OK) || z.avail_in != 0) throw std::bad_alloc();
    out.data.resize(out.data.size() - z.avail_out);
    return out;
}

// 8-bit RGB or RGBA, each row filtered by FilterPngRow. The image data is
// one zlib stream made of bands deflated on all cores, as pigz does: each
// band ends byte-aligned and starts with the previous band's last window as
// its dictionary, and the checksums of the bands are combined into the
// stream's one.
class TPngEncoder final : public TRowEncoder {
public:
    TPngEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order, int level, const ImageMeta& meta)
        : out_(out), width_(width), height_(height), order_(order), level_(std::clamp(level, 0, 9)),
          channels_(meta.alpha ? 4 : 3) {
        if (width <= 0 || height <= 0 || width > INT32_MAX / channels_ - 1) throw EInvalidImageSize(width, height);
        rowBytes_ = static_cast<size_t>(width) * channels_;
        // Each with kLeft zero bytes before its pixels; the row above the first is zeros.
        prev_.assign(kLeft + rowBytes_, 0);
        cur_.assign(kLeft + rowBytes_, 0);
        bandRows_ = std::max<size_t>(1, kBandBytes / (rowBytes_ + 1));
        inFlight_ = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMaxInFlight);

        static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        Write(kSignature, sizeof kSignature);
        uint8_t ihdr[13] = {};
        Put32(ihdr, static_cast<uint32_t>(width));
        Put32(ihdr + 4, static_cast<uint32_t>(height));
        ihdr[8] = 8;  // bits per sample
        ihdr[9] = channels_ == 4 ? 6 : 2;  // truecolour, with alpha or without
        Chunk("IHDR", ihdr, sizeof ihdr);
        PutMeta(meta);
        // The zlib header: deflate with the window's size (2^(8 + CINFO) bytes),
        // the level's class, no dictionary.
        const unsigned flevel = level_ < 2 ? 0 : level_ < 6 ? 1 : level_ == 6 ? 2 : 3;
        uint8_t header[2] = {static_cast<uint8_t>((kWindowBits - 8) << 4 | 8), static_cast<uint8_t>(flevel << 6)};
        header[1] = static_cast<uint8_t>(header[1] + 31 - (header[0] * 256 + header[1]) % 31);
        Chunk("IDAT", header, sizeof header);
    }

    ~TPngEncoder() override {
        // Bands still compressing finish before their buffers go.
        for (auto& f : pending_)
            if (f.valid()) f.wait();
    }

    void Rows(const uint8_t* rows, size_t n) override {
        for (size_t i = 0; i < n; ++i, rows += rowBytes_) {
            uint8_t* row = cur_.data() + kLeft;
            if (order_ == RawOrder::Bgr && channels_ == 4) SwapRedBlue4(rows, row, static_cast<size_t>(width_));
            else if (order_ == RawOrder::Bgr) SwapRedBlue(rows, row, static_cast<size_t>(width_));
            else std::memcpy(row, rows, rowBytes_);
            const size_t at = band_.size();
            band_.resize(at + 1 + rowBytes_);
            uint8_t* f = band_.data() + at;
            if (level_ == 0) {  // stored data gains nothing from a filter
                f[0] = 0;  // None
                std::memcpy(f + 1, row, rowBytes_);
            } else {
                FilterPngRow(row, prev_.data() + kLeft, rowBytes_, static_cast<size_t>(channels_), f);
            }
            std::swap(prev_, cur_);
            ++rowsDone_;
            if (rowsDone_ == static_cast<size_t>(height_)) Submit(true);
            else if (band_.size() >= bandRows_ * (rowBytes_ + 1)) Submit(false);
        }
    }

    void Finish() override {
        while (!pending_.empty()) WriteOldest();
        uint8_t adler[4];
        Put32(adler, static_cast<uint32_t>(adler_));
        Chunk("IDAT", adler, sizeof adler);
        Chunk("IEND", nullptr, 0);
        Flush();
    }

private:
    // pHYs and iCCP, which must come before the image data.
    void PutMeta(const ImageMeta& meta) {
        if (const auto& r = meta.resolution) {
            uint8_t phys[9] = {};
            // Unit 1: pixels per metre; 0: only their ratio is known.
            const bool metres = r->unit != ResolutionUnit::None;
            const uint32_t x = metres ? PixelsPerMetre(r->x, r->unit) : static_cast<uint32_t>(std::lround(r->x));
            const uint32_t y = metres ? PixelsPerMetre(r->y, r->unit) : static_cast<uint32_t>(std::lround(r->y));
            Put32(phys, x);
            Put32(phys + 4, y);
            phys[8] = metres ? 1 : 0;
            if (x > 0 && y > 0 && x <= INT32_MAX && y <= INT32_MAX) Chunk("pHYs", phys, sizeof phys);
        }
        if (!meta.icc.empty()) {
            // A name, its terminator, method 0 (deflate), then the zlib stream.
            static const char kName[] = "ICC profile";
            uLongf packed = compressBound(static_cast<uLong>(meta.icc.size()));
            std::vector<uint8_t> iccp(sizeof kName + 1 + packed);
            std::memcpy(iccp.data(), kName, sizeof kName);
            iccp[sizeof kName] = 0;
            if (compress2(iccp.data() + sizeof kName + 1, &packed, meta.icc.data(), static_cast<uLong>(meta.icc.size()),
                          Z_BEST_COMPRESSION) != Z_OK)
                throw std::bad_alloc();
            iccp.resize(sizeof kName + 1 + packed);
            Chunk("iCCP", iccp.data(), iccp.size());
        }
    }

    void Submit(bool last) {
        // The next band's dictionary: this one's last window.
        const size_t keep = last ? 0 : std::min(kWindow, band_.size());
        std::vector<uint8_t> primer(band_.end() - static_cast<ptrdiff_t>(keep), band_.end());
        pending_.push_back(std::async(std::launch::async, [band = std::move(band_), primer = std::move(primer_),
                                                           level = level_, last] {
            return Deflate(band, primer, level, last);
        }));
        primer_ = std::move(primer);
        band_.clear();
        band_.reserve(bandRows_ * (rowBytes_ + 1));
        if (pending_.size() >= inFlight_) WriteOldest();
    }

    void WriteOldest() {
        Packed packed = pending_.front().get();
        pending_.pop_front();
        adler_ = first_ ? packed.adler : adler32_combine(adler_, packed.adler, static_cast<z_off_t>(packed.size));
        first_ = false;
        Chunk("IDAT", packed.data.data(), packed.data.size());
    }

    void Chunk(const char* type, const uint8_t* data, size_t n) {
        uint8_t head[8];
        Put32(head, static_cast<uint32_t>(n));
        std::memcpy(head + 4, type, 4);
        uLong crc = crc32(0, head + 4, 4);
        if (n) crc = crc32(crc, data, static_cast<uInt>(n));
        uint8_t tail[4];
        Put32(tail, static_cast<uint32_t>(crc));
        Write(head, sizeof head);
        Write(data, n);
        Write(tail, sizeof tail);
    }

    // Small pieces are gathered so the file sees large writes.
    void Write(const uint8_t* p, size_t n) {
        if (buf_.size() + n > kBandBytes) Flush();
        if (n >= kBandBytes) out_.Write(p, n);
        else if (n) buf_.insert(buf_.end(), p, p + n);
    }
    void Flush() {
        if (!buf_.empty()) out_.Write(buf_.data(), buf_.size());
        buf_.clear();
    }

    TAtomicFile& out_;
    int32_t width_, height_;
    RawOrder order_;
    int level_;
    int channels_;
    size_t rowBytes_ = 0, bandRows_ = 1, inFlight_ = 1, rowsDone_ = 0;
    static constexpr size_t kLeft = 4;  // the widest pixel
    std::vector<uint8_t> prev_, cur_, band_, primer_, buf_;
    std::deque<std::future<Packed>> pending_;
    uLong adler_ = 1;
    bool first_ = true;
};

}  // namespace

std::unique_ptr<TRowEncoder> OpenPngEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                            int level, const ImageMeta& meta) {
    return std::make_unique<TPngEncoder>(out, width, height, order, level, meta);
}

}  // namespace quenlo

#include "imageio/JpegWriter.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <optional>
#include <thread>
#include <vector>

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "imageio/AtomicFile.h"
#include "imageio/Exif.h"
#include "low/Errors.h"

// libjpeg's own table builder, which -optimize uses: exported, not in its header.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace quenlo {

namespace {

constexpr size_t kOutBuffer = 64u << 10;
// Rows of the first pass encoded as one piece, and the most pieces in flight.
constexpr size_t kBandBytes = 1u << 20;
constexpr size_t kMaxInFlight = 4;

// libjpeg's state and what its callbacks reach. An error leaves libjpeg by
// longjmp to Run, over frames that hold nothing with a destructor.
struct Compressor {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    jpeg_destination_mgr dest;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
    bool created = false;
    TAtomicFile* file = nullptr;          // set: output goes here,
    std::vector<uint8_t>* bytes = nullptr;  // else here
    std::exception_ptr error;             // what writing out threw
    uint8_t buffer[kOutBuffer];

    Compressor() = default;
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    ~Compressor() {
        if (created) jpeg_destroy_compress(&c);
    }
};

Compressor& Of(j_compress_ptr c) { return *static_cast<Compressor*>(c->client_data); }

void OnError(j_common_ptr cinfo) {
    Compressor& k = Of(reinterpret_cast<j_compress_ptr>(cinfo));
    (*cinfo->err->format_message)(cinfo, k.message);
    std::longjmp(k.jump, 1);
}
void OnMessage(j_common_ptr, int) {}

void Flush(j_compress_ptr c, size_t n) {
    Compressor& k = Of(c);
    try {
        if (k.file) k.file->Write(k.buffer, n);
        else k.bytes->insert(k.bytes->end(), k.buffer, k.buffer + n);
    } catch (...) {
        k.error = std::current_exception();
    }
    if (k.error) ERREXIT(c, JERR_FILE_WRITE);  // outside the catch: it jumps
    k.dest.next_output_byte = k.buffer;
    k.dest.free_in_buffer = kOutBuffer;
}
void InitDest(j_compress_ptr c) {
    Of(c).dest.next_output_byte = Of(c).buffer;
    Of(c).dest.free_in_buffer = kOutBuffer;
}
boolean EmptyDest(j_compress_ptr c) {
    Flush(c, kOutBuffer);
    return TRUE;
}
void TermDest(j_compress_ptr c) { Flush(c, kOutBuffer - Of(c).dest.free_in_buffer); }

[[noreturn]] void Fail(Compressor& k) {
    if (k.error) std::rethrow_exception(k.error);
    throw EJpegError(k.err.msg_code, k.message);
}

// Calls f, which calls libjpeg, turning its errors into exceptions.
template <class F>
void Run(Compressor& k, F&& f) {
    if (setjmp(k.jump) == 0) f();
    else Fail(k);
}

void Create(Compressor& k) {
    k.c.err = jpeg_std_error(&k.err);
    k.err.error_exit = OnError;
    k.err.emit_message = OnMessage;
    k.c.client_data = &k;  // kept by jpeg_create_compress
    jpeg_create_compress(&k.c);
    k.created = true;
}

struct Settings {
    int width, height;
    RawOrder order;
    int quality;
    int hSamp, vSamp;  // luma's sampling factors; chroma's are 1
    bool progressive;
    // JFIF density: unit 0 (aspect only), 1 (per inch) or 2 (per cm); 1:1 unless stated.
    uint8_t densityUnit = 0;
    uint16_t xDensity = 1, yDensity = 1;
};

// A compressor set up as cjpeg sets up one for the same switches (it reads
// PPM as R,G,B; B,G,R rows go through libjpeg-turbo's own order, which
// converts the same way).
void Start(Compressor& k, const Settings& s, int height, bool optimize, const JHUFF_TBL* dc, const JHUFF_TBL* ac) {
    Run(k, [&] {
        Create(k);
        k.dest.init_destination = InitDest;
        k.dest.empty_output_buffer = EmptyDest;
        k.dest.term_destination = TermDest;
        k.c.dest = &k.dest;
        k.c.image_width = static_cast<JDIMENSION>(s.width);
        k.c.image_height = static_cast<JDIMENSION>(height);
        k.c.input_components = 3;
        k.c.in_color_space = s.order == RawOrder::Bgr ? JCS_EXT_BGR : JCS_RGB;
        jpeg_set_defaults(&k.c);
        jpeg_set_quality(&k.c, s.quality, FALSE);
        k.c.density_unit = s.densityUnit;
        k.c.X_density = s.xDensity;
        k.c.Y_density = s.yDensity;
        k.c.comp_info[0].h_samp_factor = s.hSamp;
        k.c.comp_info[0].v_samp_factor = s.vSamp;
        if (s.progressive) jpeg_simple_progression(&k.c);
        k.c.optimize_coding = optimize ? TRUE : FALSE;
        for (int t = 0; dc && t < 2; ++t) {
            *k.c.dc_huff_tbl_ptrs[t] = dc[t];
            *k.c.ac_huff_tbl_ptrs[t] = ac[t];
        }
        jpeg_start_compress(&k.c, TRUE);
    });
}

void WriteRows(Compressor& k, const uint8_t* rows, size_t n, size_t rowBytes) {
    Run(k, [&] {
        for (size_t i = 0; i < n; ++i) {
            JSAMPROW row = const_cast<JSAMPROW>(rows + i * rowBytes);
            jpeg_write_scanlines(&k.c, &row, 1);
        }
    });
}

// Symbol counts for libjpeg's table builder (257: one slot it reserves),
// per table: 0 for luma, 1 for both chroma components.
struct Counts {
    long dc[2][257] = {};
    long ac[2][257] = {};
    int firstDc[3] = {}, lastDc[3] = {};  // quantised DC of the band's first and last block
};

int Category(int v) {
    unsigned a = static_cast<unsigned>(v < 0 ? -v : v);
    int n = 0;
    while (a) {
        ++n;
        a >>= 1;
    }
    return n;
}

// Reads a baseline scan's Huffman codes (JPEG Annex F.2.2), stuffed zero
// bytes dropped; past the data it reads zeros.
class TBitReader {
public:
    TBitReader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}
    unsigned Peek(int n) {
        if (have_ < n) Fill();
        return static_cast<unsigned>(acc_ >> (64 - n));
    }
    // Only bits already looked at.
    void Skip(int n) {
        acc_ <<= n;
        have_ -= n;
    }
    unsigned Get(int n) {
        const unsigned v = Peek(n);
        Skip(n);
        return v;
    }

private:
    void Fill() {
        while (have_ <= 56) {
            uint64_t b = 0;
            if (p_ < end_) {
                b = *p_++;
                if (b == 0xFF) {
                    if (p_ < end_ && *p_ == 0) ++p_;
                    else p_ = end_, b = 0;  // a marker ends the data
                }
            }
            acc_ |= b << (56 - have_);
            have_ += 8;
        }
    }
    const uint8_t *p_, *end_;
    uint64_t acc_ = 0;
    int have_ = 0;
};

// Canonical Huffman decoding, codes up to 9 bits by one table look-up.
class THuffDecoder {
public:
    explicit THuffDecoder(const JHUFF_TBL& t) {
        std::memcpy(values_, t.huffval, sizeof values_);
        int code = 0, k = 0;
        for (int len = 1; len <= 16; ++len) {
            offset_[len] = k - code;
            for (int i = 0; i < t.bits[len]; ++i, ++code, ++k)
                if (len <= kLook)
                    for (int fill = 0; fill < 1 << (kLook - len); ++fill)
                        look_[(code << (kLook - len)) | fill] = static_cast<uint16_t>(len << 8 | t.huffval[k]);
            maxCode_[len] = t.bits[len] ? code - 1 : -1;
            code <<= 1;
        }
    }
    int Decode(TBitReader& in) const {
        if (const uint16_t e = look_[in.Peek(kLook)]) {
            in.Skip(e >> 8);
            return e & 0xFF;
        }
        for (int len = kLook + 1; len <= 16; ++len) {
            const int code = static_cast<int>(in.Peek(len));
            if (code <= maxCode_[len]) {
                in.Skip(len);
                return values_[code + offset_[len]];
            }
        }
        in.Skip(16);  // cannot happen in our own data
        return 0;
    }

private:
    static constexpr int kLook = 9;
    uint16_t look_[1 << kLook] = {};  // (length << 8) | value; 0: longer code
    int maxCode_[17] = {}, offset_[17] = {};
    uint8_t values_[256] = {};
};

// A band encoded with the standard tables, then its scan read back and its
// symbols counted, exactly those -optimize counts for the same blocks.
Counts CountBand(const Settings& s, const uint8_t* rows, int height) {
    std::vector<uint8_t> bytes;
    JHUFF_TBL dc[2], ac[2];
    {
        Compressor k;
        k.bytes = &bytes;
        Start(k, s, height, false, nullptr, nullptr);
        WriteRows(k, rows, static_cast<size_t>(height), static_cast<size_t>(s.width) * 3);
        Run(k, [&] { jpeg_finish_compress(&k.c); });
        for (int t = 0; t < 2; ++t) {
            dc[t] = *k.c.dc_huff_tbl_ptrs[t];
            ac[t] = *k.c.ac_huff_tbl_ptrs[t];
        }
    }
    // The scan follows the SOS marker; ours are the only markers with a length.
    size_t at = 2;
    while (at + 4 <= bytes.size() && !(bytes[at] == 0xFF && bytes[at + 1] == 0xDA))
        at += 2 + (static_cast<size_t>(bytes[at + 2]) << 8 | bytes[at + 3]);
    if (at + 4 > bytes.size()) throw EJpegError(JERR_FILE_WRITE);
    at += 2 + (static_cast<size_t>(bytes[at + 2]) << 8 | bytes[at + 3]);
    const THuffDecoder dcDec[2] = {THuffDecoder(dc[0]), THuffDecoder(dc[1])};
    const THuffDecoder acDec[2] = {THuffDecoder(ac[0]), THuffDecoder(ac[1])};
    TBitReader in(bytes.data() + at, bytes.data() + bytes.size());
    Counts n;
    int pred[3] = {};
    const int mcusX = (s.width + 8 * s.hSamp - 1) / (8 * s.hSamp);
    const int mcusY = (height + 8 * s.vSamp - 1) / (8 * s.vSamp);
    bool first = true;
    for (long mcu = 0; mcu < static_cast<long>(mcusX) * mcusY; ++mcu) {
        for (int ci = 0; ci < 3; ++ci) {
            const int t = ci == 0 ? 0 : 1;
            for (int b = 0, blocks = ci == 0 ? s.hSamp * s.vSamp : 1; b < blocks; ++b) {
                const int cat = dcDec[t].Decode(in);
                ++n.dc[t][cat];
                if (cat) {
                    const int v = static_cast<int>(in.Get(cat));
                    pred[ci] += v < 1 << (cat - 1) ? v - (1 << cat) + 1 : v;  // JPEG's EXTEND
                }
                if (first && b == 0) n.firstDc[ci] = pred[ci];
                for (int k = 1; k < 64;) {
                    const int rs = acDec[t].Decode(in);
                    ++n.ac[t][rs];
                    const int run = rs >> 4, size = rs & 15;
                    if (size == 0) {
                        if (run != 15) break;  // end of block
                        k += 16;
                        continue;
                    }
                    in.Get(size);  // the coefficient's bits
                    k += run + 1;
                }
            }
        }
        first = false;
    }
    std::copy(pred, pred + 3, n.lastDc);
    return n;
}

class TJpegEncoder final : public TRowEncoder {
public:
    TJpegEncoder(TAtomicFile& out, const Settings& s, size_t holdBytes, const ImageMeta* meta)
        : out_(out), s_(s), meta_(meta ? std::optional<ImageMeta>(*meta) : std::nullopt), rowBytes_(static_cast<size_t>(s.width) * 3) {
        // Blocks of luma plus two chroma planes, at 128 bytes a block.
        const uint64_t mcus = static_cast<uint64_t>((s.width + 8 * s.hSamp - 1) / (8 * s.hSamp)) *
                              static_cast<uint64_t>((s.height + 8 * s.vSamp - 1) / (8 * s.vSamp));
        const uint64_t coefficients = mcus * static_cast<uint64_t>(s.hSamp * s.vSamp + 2) * 128;
        twoPass_ = !s.progressive && coefficients > holdBytes;
        if (twoPass_) {
            const size_t mcuRows = static_cast<size_t>(8 * s.vSamp);
            bandRows_ = std::max<size_t>(1, kBandBytes / rowBytes_ / mcuRows) * mcuRows;
            inFlight_ = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMaxInFlight);
        } else {
            StartOutput(nullptr, nullptr);
        }
    }

    ~TJpegEncoder() override {
        for (auto& f : pending_)
            if (f.valid()) f.wait();
    }

    int Passes() const override { return twoPass_ ? 2 : 1; }

    void Rows(const uint8_t* rows, size_t n) override {
        if (!counting()) {
            WriteRows(*k_, rows, n, rowBytes_);
            return;
        }
        while (n > 0) {
            const size_t take = std::min(n, bandRows_ - band_.size() / rowBytes_);
            band_.insert(band_.end(), rows, rows + take * rowBytes_);
            rows += take * rowBytes_;
            n -= take;
            rowsSeen_ += take;
            if (band_.size() == bandRows_ * rowBytes_ || rowsSeen_ == static_cast<size_t>(s_.height)) Submit();
        }
        if (rowsSeen_ == static_cast<size_t>(s_.height)) BuildTables();
    }

    void Finish() override {
        if (counting()) throw EJpegError(JERR_TOO_LITTLE_DATA);
        Run(*k_, [&] { jpeg_finish_compress(&k_->c); });
        k_.reset();
    }

private:
    bool counting() const { return !k_; }

    void StartOutput(const JHUFF_TBL* dc, const JHUFF_TBL* ac) {
        k_ = std::make_unique<Compressor>();
        k_->file = &out_;
        Start(*k_, s_, s_.height, !dc, dc, ac);
        if (!meta_) return;
        Run(*k_, [&] {
            // EXIF (APP1) holding only the orientation, then the profile
            // (APP2, split as libjpeg splits it), both before the first row.
            if (const std::vector<uint8_t> tiff = MakeExif(meta_->orientation, std::nullopt); !tiff.empty()) {
                std::vector<uint8_t> exif = {'E', 'x', 'i', 'f', 0, 0};
                exif.insert(exif.end(), tiff.begin(), tiff.end());
                jpeg_write_marker(&k_->c, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
            }
            if (!meta_->icc.empty())
                jpeg_write_icc_profile(&k_->c, meta_->icc.data(), static_cast<unsigned>(meta_->icc.size()));
        });
    }

    void Submit() {
        pending_.push_back(std::async(std::launch::async, [s = s_, band = std::move(band_), rowBytes = rowBytes_] {
            return CountBand(s, band.data(), static_cast<int>(band.size() / rowBytes));
        }));
        band_.clear();
        while (pending_.size() >= inFlight_) Gather();
    }

    // Adds the oldest band's counts. Its first block was coded against a
    // DC of 0; in the whole image it follows the band before.
    void Gather() {
        const Counts c = pending_.front().get();
        pending_.pop_front();
        for (int t = 0; t < 2; ++t)
            for (int i = 0; i < 257; ++i) {
                total_.dc[t][i] += c.dc[t][i];
                total_.ac[t][i] += c.ac[t][i];
            }
        for (int ci = 0; ci < 3 && bands_ > 0; ++ci) {
            const int t = ci == 0 ? 0 : 1;
            --total_.dc[t][Category(c.firstDc[ci])];
            ++total_.dc[t][Category(c.firstDc[ci] - total_.lastDc[ci])];
        }
        std::copy(c.lastDc, c.lastDc + 3, total_.lastDc);
        ++bands_;
    }

    void BuildTables() {
        while (!pending_.empty()) Gather();
        Compressor k;
        JHUFF_TBL dc[2], ac[2];
        Run(k, [&] {
            Create(k);
            for (int t = 0; t < 2; ++t) {
                jpeg_gen_optimal_table(&k.c, &dc[t], total_.dc[t]);
                jpeg_gen_optimal_table(&k.c, &ac[t], total_.ac[t]);
            }
        });
        StartOutput(dc, ac);
    }

    TAtomicFile& out_;
    const Settings s_;
    // A copy: the caller's record may be a temporary gone before the rows come.
    std::optional<ImageMeta> meta_;
    const size_t rowBytes_;
    bool twoPass_ = false;
    std::unique_ptr<Compressor> k_;  // the file's compressor, once its tables are known
    // First pass of two: bands being counted.
    size_t bandRows_ = 0, inFlight_ = 1, rowsSeen_ = 0, bands_ = 0;
    std::vector<uint8_t> band_;
    std::deque<std::future<Counts>> pending_;
    Counts total_;
};

}  // namespace

std::unique_ptr<TRowEncoder> OpenJpegEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                             const OutputOptions& options, const ImageMeta* meta, size_t holdBytes) {
    if (width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION)
        throw EInvalidImageSize(width, height);
    Settings s{width, height, order, std::clamp(options.quality, 1, 100), 2, 2, options.progressive};
    if (options.jpegSubsampling == JpegSubsampling::S444) s.hSamp = s.vSamp = 1;
    if (options.jpegSubsampling == JpegSubsampling::S422) s.vSamp = 1;
    if (meta && meta->resolution) {
        Resolution r = *meta->resolution;
        // JFIF holds whole numbers: per inch where that rounds closer (a
        // PNG's 11811 pixels per metre are 300 per inch, not 118 per cm).
        auto off = [](double v) { return std::abs(v - std::round(v)) / v; };
        if (r.unit == ResolutionUnit::Centimetre && off(r.x * 2.54) + off(r.y * 2.54) < off(r.x) + off(r.y))
            r = Resolution{r.x * 2.54, r.y * 2.54, ResolutionUnit::Inch};
        const long x = std::lround(r.x), y = std::lround(r.y);
        if (x >= 1 && y >= 1 && x <= 65535 && y <= 65535) {
            s.densityUnit = r.unit == ResolutionUnit::Inch ? 1 : r.unit == ResolutionUnit::Centimetre ? 2 : 0;
            s.xDensity = static_cast<uint16_t>(x);
            s.yDensity = static_cast<uint16_t>(y);
        }
    }
    return std::make_unique<TJpegEncoder>(out, s, holdBytes, meta);
}

}  // namespace quenlo

#include "imageio/JpegReader.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <vector>

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "low/Errors.h"

namespace quenlo {

namespace {

// Our own refusals, raised through libjpeg's add-on message table so they
// unwind like the library's errors (1000 on, as the library's tools number theirs).
enum : int { kFirstOwnCode = 1000, kTooManyScans = kFirstOwnCode, kOverMemoryLimit, kScanRefused };
const char* const kOwnMessages[] = {
    "Scan %d exceeds the limit of %d scans",
    "Image needs more than %d MiB of decoder memory",
    "Scan %d refused by the caller",
};

// Each scan is a full pass over the coefficients; real encoders write a
// dozen or so, and hundreds only serve to make decoding take forever.
constexpr int kMaxScans = 500;
// Multi-scan files keep every coefficient until the last scan: 2 bytes per
// sample, up to 8/3 of the map. Capped at the largest map's size, enough for
// about 350 megapixels in 4:4:4 colour and 700 in 4:2:0.
constexpr long kMaxDecoderMemory = 2048L << 20;

// Everything the decoder touches between setjmp and a possible longjmp is
// plain C data: no C++ object with a destructor lives across the jump.
struct JpegJob {
    jpeg_error_mgr err;
    jmp_buf jump;
    int errorCode;
    char message[JMSG_LENGTH_MAX];
    jpeg_progress_mgr progress;
    // Output: fits is asked before the decoder allocates anything large
    // (with the bytes of coefficients a multi-scan file keeps), start once
    // decoding has started; row gives where row y goes, done is told when it
    // is there. All store an exception on failure (fits and start return
    // false, row null); done is optional.
    bool (*fits)(void* user, int w, int h, long long coefficientBytes);
    bool (*start)(void* user, int w, int h);
    uint8_t* (*row)(void* user, int y);
    bool (*done)(void* user, int y);
    void (*warn)(void* user, const char* text);
    bool (*scan)(void* user, long long coefficients);  // optional
    int lastScan;                                      // the scan scan was told of
    void* user;
    int scale;         // the denominator of the output scale
    JSAMPLE* scratch;  // CMYK row
};

void OnError(j_common_ptr cinfo) {
    auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
    // Past the memory cap the library asks for a backing store, which it does not have.
    if (job->err.msg_code == JERR_NO_BACKING_STORE) {
        job->err.msg_code = kOverMemoryLimit;
        job->err.msg_parm.i[0] = static_cast<int>(kMaxDecoderMemory >> 20);
    }
    job->errorCode = job->err.msg_code;
    (*cinfo->err->format_message)(cinfo, job->message);
    std::longjmp(job->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
    cinfo->err->num_warnings++;
    if (job->warn) {
        char text[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, text);
        job->warn(job->user, text);
    }
}

// Called for each marker and each row of coefficients read.
// A scan's number counts up once its header is read, before its data.
void OnProgress(j_common_ptr cinfo) {
    const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    const int scan = d->input_scan_number;
    if (scan > kMaxScans) {
        cinfo->err->msg_code = kTooManyScans;
        cinfo->err->msg_parm.i[0] = scan;
        cinfo->err->msg_parm.i[1] = kMaxScans;
        (*cinfo->err->error_exit)(cinfo);
    }
    auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
    if (scan <= job->lastScan) return;
    job->lastScan = scan;
    if (scan < 2 || !job->scan) return;
    long long blocks = 0;
    for (int i = 0; i < d->comps_in_scan; ++i)
        blocks += static_cast<long long>(d->cur_comp_info[i]->width_in_blocks) * d->cur_comp_info[i]->height_in_blocks;
    if (job->scan(job->user, blocks * DCTSIZE2)) return;
    cinfo->err->msg_code = kScanRefused;
    cinfo->err->msg_parm.i[0] = scan;
    (*cinfo->err->error_exit)(cinfo);
}

// Inks are stored inverted when the Adobe marker is present.
inline uint8_t InkToRGB(unsigned c, unsigned k, bool inverted) {
    if (!inverted) {
        c = 255 - c;
        k = 255 - k;
    }
    return static_cast<uint8_t>((c * k + 127) / 255);
}

// Returns false on a libjpeg error (code and text in job).
bool RunDecoder(JpegJob& job, const uint8_t* data, size_t size) {
    jpeg_decompress_struct cinfo;
    cinfo.err = jpeg_std_error(&job.err);
    job.err.error_exit = OnError;
    job.err.emit_message = OnMessage;
    job.err.addon_message_table = kOwnMessages;
    job.err.first_addon_message = kFirstOwnCode;
    job.err.last_addon_message = kFirstOwnCode + static_cast<int>(std::size(kOwnMessages)) - 1;
    job.progress = {};
    job.progress.progress_monitor = OnProgress;
    job.scratch = nullptr;
    if (setjmp(job.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
    cinfo.progress = &job.progress;
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);

    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    const bool inverted = cinfo.saw_Adobe_marker;
    // Grayscale expands to B=G=R inside the library; colour comes out as B,G,R directly.
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    if (job.scale > 1) {
        cinfo.scale_num = 1;
        cinfo.scale_denom = static_cast<unsigned>(job.scale);
    }
    // Refuse a size the map cannot take before jpeg_start_decompress, which
    // allocates the coefficients of a multi-scan file and reads all its scans.
    jpeg_calc_output_dimensions(&cinfo);
    long long coefficients = 0;
    if (jpeg_has_multiple_scans(&cinfo))
        for (int c = 0; c < cinfo.num_components; ++c)
            coefficients += static_cast<long long>(cinfo.comp_info[c].width_in_blocks + 1) *
                            (cinfo.comp_info[c].height_in_blocks + 1) * DCTSIZE2 * sizeof(JCOEF);
    if (!job.fits(job.user, static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), coefficients)) {
        jpeg_destroy_decompress(&cinfo);
        return true;  // the stored exception is raised by the caller
    }
    jpeg_start_decompress(&cinfo);

    const int w = static_cast<int>(cinfo.output_width), h = static_cast<int>(cinfo.output_height);
    if (!job.start(job.user, w, h)) {
        jpeg_destroy_decompress(&cinfo);
        return true;  // the stored exception is raised by the caller
    }
    if (cmyk) {
        // From the library's own pool: it raises on failure and is freed with the decoder.
        job.scratch = static_cast<JSAMPLE*>(
            (*cinfo.mem->alloc_large)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, static_cast<size_t>(w) * 4));
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = static_cast<int>(cinfo.output_scanline);
        uint8_t* row = job.row(job.user, y);
        if (!row) {
            jpeg_destroy_decompress(&cinfo);
            return true;
        }
        JSAMPROW rows[1] = {cmyk ? job.scratch : row};
        jpeg_read_scanlines(&cinfo, rows, 1);
        for (int x = 0; cmyk && x < w; ++x) {
            const JSAMPLE* p = job.scratch + 4 * x;
            row[3 * x + 0] = InkToRGB(p[2], p[3], inverted);
            row[3 * x + 1] = InkToRGB(p[1], p[3], inverted);
            row[3 * x + 2] = InkToRGB(p[0], p[3], inverted);
        }
        if (job.done && !job.done(job.user, y)) {
            jpeg_destroy_decompress(&cinfo);
            return true;
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// Catches what a callback throws, for the caller to raise once libjpeg is done.
template <class F>
bool Guarded(std::exception_ptr& error, F&& f) {
    try {
        f();
        return true;
    } catch (...) {
        error = std::current_exception();
        return false;
    }
}

struct Sink {
    explicit Sink(const JpegOptions& o) : options(&o) {}
    std::exception_ptr error;
    const JpegOptions* options;
    JpegFrame frame;
    bool frameOnly = false;
    std::unique_ptr<TPixelMapRGB> map;  // whole-image decoding
    const JpegRows* rows = nullptr;     // row-by-row decoding
    std::vector<uint8_t> line;          // the row being decoded, row by row
};

void RunJob(std::span<const uint8_t> file, Sink& sink) {
    JpegJob job{};
    job.user = &sink;
    job.scale = sink.options->scale == 2 || sink.options->scale == 4 || sink.options->scale == 8 ? sink.options->scale : 1;
    job.fits = [](void* user, int w, int h, long long coefficientBytes) {
        auto* s = static_cast<Sink*>(user);
        s->frame = JpegFrame{w, h, coefficientBytes};
        if (s->frameOnly) return false;
        return Guarded(s->error, [&] {
            TPixelMap::CheckedDataSize(w, h, 3);
            CheckPixelLimit(w, h, s->options->limit);
        });
    };
    job.start = [](void* user, int w, int h) {
        auto* s = static_cast<Sink*>(user);
        return Guarded(s->error, [&] {
            if (s->rows) {
                s->line.resize(static_cast<size_t>(w) * 3);
                if (s->rows->start) s->rows->start(w, h);
                return;
            }
            s->map = std::make_unique<TPixelMapRGB>();
            s->map->SetSize(w, h);
        });
    };
    job.row = [](void* user, int y) -> uint8_t* {
        auto* s = static_cast<Sink*>(user);
        return s->rows ? s->line.data() : s->map->ScanLine(y);
    };
    job.done = [](void* user, int y) {
        auto* s = static_cast<Sink*>(user);
        return !s->rows || Guarded(s->error, [&] { s->rows->row(y, s->line.data()); });
    };
    job.warn = [](void* user, const char* text) {
        auto* s = static_cast<Sink*>(user);
        if (!s->options->onWarning) return;
        try {
            s->options->onWarning(text);
        } catch (...) {
            // A reporting failure must not unwind through libjpeg.
        }
    };
    if (sink.options->onScan)
        job.scan = [](void* user, long long coefficients) {
            auto* s = static_cast<Sink*>(user);
            return Guarded(s->error, [&] { s->options->onScan(coefficients); });
        };
    if (!RunDecoder(job, file.data(), file.size())) {
        if (sink.error) std::rethrow_exception(sink.error);  // what a callback threw on the way
        throw EJpegError(job.errorCode, job.message);
    }
    if (sink.error) std::rethrow_exception(sink.error);
}

}  // namespace

std::unique_ptr<TPixelMapRGB> DecodeJpeg(std::span<const uint8_t> file, const JpegOptions& options) {
    Sink sink(options);
    RunJob(file, sink);
    return std::move(sink.map);
}

void DecodeJpegRows(std::span<const uint8_t> file, const JpegOptions& options, const JpegRows& rows) {
    Sink sink(options);
    sink.rows = &rows;
    RunJob(file, sink);
}

JpegFrame ReadJpegFrame(std::span<const uint8_t> file) {
    const JpegOptions none;
    Sink sink(none);
    sink.frameOnly = true;
    RunJob(file, sink);
    return sink.frame;
}

}  // namespace quenlo

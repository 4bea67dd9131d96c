#include "imageio/JpegReader.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "low/Errors.h"

namespace quenlo {

namespace {

// Our own refusals, raised through libjpeg's add-on message table so they
// unwind like the library's errors (1000 on, as the library's tools number theirs).
enum : int { kFirstOwnCode = 1000, kTooManyScans = kFirstOwnCode, kOverMemoryLimit };
const char* const kOwnMessages[] = {
    "Scan %d exceeds the limit of %d scans",
    "Image needs more than %d MiB of decoder memory",
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
    // Output: fits is asked before the decoder allocates anything large,
    // allocate once decoding has started; both store an exception on failure
    // (fits returns false, allocate null). allocate returns the first row of
    // a packed B,G,R buffer.
    bool (*fits)(void* user, int w, int h);
    uint8_t* (*allocate)(void* user, int w, int h);
    void (*warn)(void* user, const char* text);
    void* user;
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
void OnProgress(j_common_ptr cinfo) {
    const int scan = reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number;
    if (scan <= kMaxScans) return;
    cinfo->err->msg_code = kTooManyScans;
    cinfo->err->msg_parm.i[0] = scan;
    cinfo->err->msg_parm.i[1] = kMaxScans;
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
    // Refuse a size the map cannot take before jpeg_start_decompress, which
    // allocates the coefficients of a multi-scan file and reads all its scans.
    jpeg_calc_output_dimensions(&cinfo);
    if (!job.fits(job.user, static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height))) {
        jpeg_destroy_decompress(&cinfo);
        return true;  // the stored exception is raised by the caller
    }
    jpeg_start_decompress(&cinfo);

    const int w = static_cast<int>(cinfo.output_width), h = static_cast<int>(cinfo.output_height);
    uint8_t* out = job.allocate(job.user, w, h);
    if (!out) {
        jpeg_destroy_decompress(&cinfo);
        return true;  // the stored exception is raised by the caller
    }
    const size_t stride = static_cast<size_t>(w) * 3;
    if (cmyk) {
        // From the library's own pool: it raises on failure and is freed with the decoder.
        job.scratch = static_cast<JSAMPLE*>(
            (*cinfo.mem->alloc_large)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, static_cast<size_t>(w) * 4));
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        uint8_t* row = out + stride * cinfo.output_scanline;
        if (!cmyk) {
            JSAMPROW rows[1] = {row};
            jpeg_read_scanlines(&cinfo, rows, 1);
            continue;
        }
        JSAMPROW rows[1] = {job.scratch};
        jpeg_read_scanlines(&cinfo, rows, 1);
        for (int x = 0; x < w; ++x) {
            const JSAMPLE* p = job.scratch + 4 * x;
            row[3 * x + 0] = InkToRGB(p[2], p[3], inverted);
            row[3 * x + 1] = InkToRGB(p[1], p[3], inverted);
            row[3 * x + 2] = InkToRGB(p[0], p[3], inverted);
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

struct Sink {
    std::unique_ptr<TPixelMapRGB> map;
    std::exception_ptr error;
    const JpegOptions* options;
};

}  // namespace

std::unique_ptr<TPixelMapRGB> DecodeJpeg(std::span<const uint8_t> file, const JpegOptions& options) {
    Sink sink{nullptr, nullptr, &options};
    JpegJob job{};
    job.user = &sink;
    job.fits = [](void* user, int w, int h) {
        try {
            TPixelMap::CheckedDataSize(w, h, 3);
            CheckPixelLimit(w, h, static_cast<Sink*>(user)->options->limit);
            return true;
        } catch (...) {
            static_cast<Sink*>(user)->error = std::current_exception();
            return false;
        }
    };
    job.allocate = [](void* user, int w, int h) -> uint8_t* {
        auto* s = static_cast<Sink*>(user);
        try {
            s->map = std::make_unique<TPixelMapRGB>();
            s->map->SetSize(w, h);
            return s->map->Data();
        } catch (...) {
            s->error = std::current_exception();
            return nullptr;
        }
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
    if (!RunDecoder(job, file.data(), file.size())) throw EJpegError(job.errorCode, job.message);
    if (sink.error) std::rethrow_exception(sink.error);
    return std::move(sink.map);
}

}  // namespace quenlo

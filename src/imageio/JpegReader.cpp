#include "imageio/JpegReader.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>

#include "low/Errors.h"

namespace quenlo {

namespace {

// Everything the decoder touches between setjmp and a possible longjmp is
// plain C data: no C++ object with a destructor lives across the jump.
struct JpegJob {
    jpeg_error_mgr err;
    jmp_buf jump;
    int errorCode;
    char message[JMSG_LENGTH_MAX];
    // Output: called once the size is known; returns the first row of a
    // packed B,G,R buffer, or null after storing an exception.
    uint8_t* (*allocate)(void* user, int w, int h);
    void (*warn)(void* user, const char* text);
    void* user;
    JSAMPLE* scratch;  // CMYK row
};

void OnError(j_common_ptr cinfo) {
    auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
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
    job.scratch = nullptr;
    if (setjmp(job.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);

    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    const bool inverted = cinfo.saw_Adobe_marker;
    // Grayscale expands to B=G=R inside the library; colour comes out as B,G,R directly.
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
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

// DecodeJpeg on arbitrary bytes, with a warning callback that sometimes
// throws: it must stay inside the decoder's own error handling.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <stdexcept>

#include <jpeglib.h>

#include "FuzzCommon.h"
#include "imageio/JpegReader.h"

using namespace quenlo;

namespace {

struct PeekError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void PeekFail(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<PeekError*>(cinfo->err)->jump, 1); }
void PeekQuiet(j_common_ptr, int) {}

// Frame size from the header alone; 0 when the header does not parse (the
// decoder then fails before allocating anything).
uint64_t FramePixels(const uint8_t* data, size_t size) {
    jpeg_decompress_struct cinfo;
    PeekError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = PeekFail;
    err.mgr.emit_message = PeekQuiet;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    const uint64_t n = uint64_t(cinfo.image_width) * cinfo.image_height;
    jpeg_destroy_decompress(&cinfo);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // libjpeg's whole-image buffers of a large frame are legal and would
    // only exhaust the fuzzer's memory limit.
    if (FramePixels(data, size) > uint64_t(fuzz::kMaxPixels)) return -1;
    fuzz::Probe(data, size);

    JpegOptions options;
    int warnings = 0;
    const bool throwing = size % 2 == 1;
    options.onWarning = [&](const std::string& text) {
        if (text.empty()) std::abort();
        ++warnings;
        if (throwing) throw std::runtime_error(text);
    };
    try {
        const auto map = DecodeJpeg(std::span<const uint8_t>(data, size), options);
        if (!map || int64_t(map->DataSize()) != int64_t(map->Width()) * map->Height() * 3) std::abort();
        fuzz::CheckAddressable(map->Data(), map->DataSize());
    } catch (const EQuenlo&) {
    }
    return 0;
}

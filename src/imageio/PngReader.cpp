#include "imageio/PngReader.h"

#include <spng.h>

#include "imageio/RgbSwap.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

struct SpngCtx {
    spng_ctx* ctx = spng_ctx_new(0);
    ~SpngCtx() { spng_ctx_free(ctx); }
};

void Check(int rc) {
    if (rc != 0) throw EInvalidGraphic(std::string("PNG: ") + spng_strerror(rc));
}

// Chunks other than the image data are never used; a few MiB covers any
// real text or profile, and refuses files that claim gigabytes of them.
constexpr size_t kMaxChunk = 16u << 20;
constexpr size_t kMaxCache = 64u << 20;

}  // namespace

std::unique_ptr<TPixelMapRGB> DecodePng(std::span<const uint8_t> file, const PixelLimit& limit) {
    SpngCtx png;
    if (!png.ctx) throw std::bad_alloc();
    Check(spng_set_png_buffer(png.ctx, file.data(), file.size()));
    Check(spng_set_chunk_limits(png.ctx, kMaxChunk, kMaxCache));
    spng_ihdr ihdr{};
    Check(spng_get_ihdr(png.ctx, &ihdr));
    TPixelMap::CheckedDataSize(ihdr.width, ihdr.height, 3);
    CheckPixelLimit(ihdr.width, ihdr.height, limit);

    size_t size = 0;
    Check(spng_decoded_image_size(png.ctx, SPNG_FMT_RGB8, &size));
    auto map = std::make_unique<TPixelMapRGB>();
    map->SetSize(static_cast<int32_t>(ihdr.width), static_cast<int32_t>(ihdr.height));
    if (size != static_cast<size_t>(map->DataSize())) throw EInvalidGraphic("PNG: unexpected decoded size");
    // RGB8 takes the high byte of 16-bit samples and leaves tRNS unapplied.
    Check(spng_decode_image(png.ctx, map->Data(), size, SPNG_FMT_RGB8, 0));
    // The rest of the file: the image data's checksum is checked only here.
    // A file cut short after its pixels still reads, as with other readers.
    if (const int rc = spng_decode_chunks(png.ctx); rc != SPNG_IO_EOF && rc != SPNG_EOF) Check(rc);
    SwapRedBlue(map->Data(), map->Data(), static_cast<size_t>(map->Width()) * map->Height());
    return map;
}

}  // namespace quenlo

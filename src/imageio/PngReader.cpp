#include "imageio/PngReader.h"

#include <algorithm>
#include <spng.h>
#include <vector>

#include "imageio/AlphaRows.h"
#include "imageio/RgbSwap.h"
#include "low/Errors.h"
#include "low/Messages.h"

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

// The context over the file, its header checked against the limits.
spng_ihdr Open(SpngCtx& png, std::span<const uint8_t> file, const PixelLimit& limit) {
    if (!png.ctx) throw std::bad_alloc();
    Check(spng_set_png_buffer(png.ctx, file.data(), file.size()));
    Check(spng_set_chunk_limits(png.ctx, kMaxChunk, kMaxCache));
    spng_ihdr ihdr{};
    Check(spng_get_ihdr(png.ctx, &ihdr));
    TPixelMap::CheckedDataSize(ihdr.width, ihdr.height, 3);
    CheckPixelLimit(ihdr.width, ihdr.height, limit);
    return ihdr;
}

// The rest of the file: the image data's checksum is checked only here.
// A file cut short after its pixels still reads, as with other readers.
void Finish(SpngCtx& png) {
    if (const int rc = spng_decode_chunks(png.ctx); rc != SPNG_IO_EOF && rc != SPNG_EOF) Check(rc);
}

// Greys of up to 8 bits are expanded here from the packed row, by a table:
// the library's own expansion of 1-bit rows is many times slower.
bool ExpandsGreyHere(const spng_ihdr& ihdr) {
    return ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE && ihdr.bit_depth <= 8;
}

void ExpandGrey(const uint8_t* packed, unsigned bits, size_t width, uint8_t* bgr) {
    const unsigned max = (1u << bits) - 1, perByte = 8 / bits;
    // Each packed byte's levels, left pixel first.
    uint8_t levels[256][8];
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned i = 0; i < perByte; ++i)
            levels[b][i] = static_cast<uint8_t>(((b >> (8 - bits * (i + 1))) & max) * 255 / max);
    for (size_t x = 0; x < width; x += perByte) {
        const uint8_t* l = levels[packed[x / perByte]];
        const size_t n = std::min<size_t>(perByte, width - x);
        for (size_t i = 0; i < n; ++i, bgr += 3) bgr[0] = bgr[1] = bgr[2] = l[i];
    }
}

}  // namespace

std::unique_ptr<TPixelMapRGB> DecodePng(std::span<const uint8_t> file, const PixelLimit& limit) {
    auto map = std::make_unique<TPixelMapRGB>();
    DecodePngRows(file, limit,
                  {[&](int32_t w, int32_t h) { map->SetSize(w, h); },
                   [&](int32_t y, const uint8_t* bgr) {
                       if (bgr != map->ScanLine(y)) std::copy_n(bgr, size_t(map->Width()) * 3, map->ScanLine(y));
                   }});
    return map;
}

PngFrame ReadPngFrame(std::span<const uint8_t> head) {
    SpngCtx png;
    const spng_ihdr ihdr = Open(png, head, PixelLimit{INT64_MAX, ""});
    PngFrame f;
    f.width = ihdr.width;
    f.height = ihdr.height;
    f.interlaced = ihdr.interlace_method != SPNG_INTERLACE_NONE;
    // Two rows of up to 8 bytes a pixel in the library, ours, and its
    // inflate state and chunk cache.
    f.workingBytes = uint64_t{ihdr.width} * 8 * 3 + (1u << 20);
    return f;
}

void DecodePngRows(std::span<const uint8_t> file, const PixelLimit& limit, const PngRows& sink) {
    SpngCtx png;
    const spng_ihdr ihdr = Open(png, file, limit);
    const auto w = static_cast<int32_t>(ihdr.width), h = static_cast<int32_t>(ihdr.height);
    if (ihdr.interlace_method != SPNG_INTERLACE_NONE) {
        // The passes fill the whole picture before any row is complete.
        size_t size = 0;
        Check(spng_decoded_image_size(png.ctx, SPNG_FMT_RGB8, &size));
        TPixelMapRGB map;
        map.SetSize(w, h);
        if (size != static_cast<size_t>(map.DataSize())) throw EInvalidGraphic(Tr("PNG: unexpected decoded size"));
        // RGB8 takes the high byte of 16-bit samples and leaves tRNS unapplied.
        Check(spng_decode_image(png.ctx, map.Data(), size, SPNG_FMT_RGB8, 0));
        Finish(png);
        SwapRedBlue(map.Data(), map.Data(), static_cast<size_t>(map.Width()) * map.Height());
        sink.start(w, h);
        for (int32_t y = 0; y < h; ++y) sink.row(y, map.ScanLine(y));
        return;
    }
    const bool grey = ExpandsGreyHere(ihdr);
    const int fmt = grey ? SPNG_FMT_PNG : SPNG_FMT_RGB8;
    size_t size = 0;
    Check(spng_decoded_image_size(png.ctx, fmt, &size));
    const size_t rowBytes = h > 0 ? size / static_cast<size_t>(h) : 0;
    if (!grey && rowBytes != size_t(w) * 3) throw EInvalidGraphic(Tr("PNG: unexpected decoded size"));
    Check(spng_decode_image(png.ctx, nullptr, 0, fmt, SPNG_DECODE_PROGRESSIVE));
    std::vector<uint8_t> row(rowBytes), bgr(grey ? size_t(w) * 3 : 0);
    sink.start(w, h);
    for (int32_t y = 0; y < h; ++y) {
        const int rc = spng_decode_row(png.ctx, row.data(), row.size());
        if (rc != 0 && !(rc == SPNG_EOI && y == h - 1)) Check(rc);
        if (grey) {
            ExpandGrey(row.data(), ihdr.bit_depth, size_t(w), bgr.data());
            sink.row(y, bgr.data());
        } else {
            SwapRedBlue(row.data(), row.data(), size_t(w));
            sink.row(y, row.data());
        }
    }
    Finish(png);
}

namespace {
bool HasAlpha(SpngCtx& png, const spng_ihdr& ihdr) {
    spng_trns trns{};
    return ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA || ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ||
           spng_get_trns(png.ctx, &trns) == 0;
}
}  // namespace

void ReadPngMeta(std::span<const uint8_t> file, ImageMeta& meta) {
    SpngCtx png;
    if (!png.ctx || spng_set_png_buffer(png.ctx, file.data(), file.size()) != 0 ||
        spng_set_chunk_limits(png.ctx, kMaxChunk, kMaxCache) != 0)
        return;
    spng_ihdr ihdr{};
    if (spng_get_ihdr(png.ctx, &ihdr) != 0) return;
    meta.alpha = HasAlpha(png, ihdr);
    meta.bitsPerSample = ihdr.bit_depth;
    if (spng_phys phys{}; spng_get_phys(png.ctx, &phys) == 0 && phys.ppu_x > 0 && phys.ppu_y > 0)
        // Unit 1 is the metre: 100 of them to a centimetre.
        meta.resolution = phys.unit_specifier == 1
                              ? Resolution{phys.ppu_x / 100.0, phys.ppu_y / 100.0, ResolutionUnit::Centimetre}
                              : Resolution{double(phys.ppu_x), double(phys.ppu_y), ResolutionUnit::None};
    if (spng_iccp iccp{}; spng_get_iccp(png.ctx, &iccp) == 0 && iccp.profile && iccp.profile_len > 0)
        meta.icc.assign(iccp.profile, iccp.profile + iccp.profile_len);
}

std::unique_ptr<TPixelMap> DecodePngImage(std::span<const uint8_t> file, const LoadOptions& options) {
    SpngCtx png;
    const spng_ihdr ihdr = Open(png, file, options.limit);
    TPixelMap::CheckedDataSize(ihdr.width, ihdr.height, 4);
    if (options.meta) ReadPngMeta(file, *options.meta);
    if (!HasAlpha(png, ihdr)) return DecodePng(file, options.limit);

    size_t size = 0;
    Check(spng_decoded_image_size(png.ctx, SPNG_FMT_RGBA8, &size));
    auto map = NewDecodedMap(static_cast<int32_t>(ihdr.width), static_cast<int32_t>(ihdr.height), true, options.keepAlpha);
    const size_t pixels = static_cast<size_t>(map->Width()) * map->Height();
    // An ARGB map takes the decoded rows as they are; pixels laid over the
    // background go through a buffer of their own.
    std::vector<uint8_t> rgba(map->Kind() == PixelKind::RGB ? size : 0);
    uint8_t* target = rgba.empty() ? map->Data() : rgba.data();
    if (size != pixels * 4) throw EInvalidGraphic(Tr("PNG: unexpected decoded size"));
    // RGBA8 takes the high byte of 16-bit samples; tRNS becomes alpha.
    Check(spng_decode_image(png.ctx, target, size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS));
    Finish(png);
    if (rgba.empty()) {
        SwapRedBlue4(target, target, pixels);
    } else {
        for (int32_t y = 0; y < map->Height(); ++y)
            PutRgbaRow(*map, y, rgba.data() + static_cast<size_t>(y) * map->Width() * 4, options.background);
    }
    return map;
}

}  // namespace quenlo

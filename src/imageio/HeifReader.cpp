#include "imageio/HeifReader.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <vector>

#include "imageio/AlphaRows.h"
#include "imageio/Exif.h"
#include "imageio/HeifBoxes.h"
#include "imageio/HeifGuard.h"
#include "imageio/FileIo.h"
#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

void Check(const heif_error& e) {
    if (e.code != heif_error_Ok) throw EInvalidGraphic(std::string("HEIF: ") + (e.message ? e.message : "unknown error"));
}

// libheif reference-counts its objects; each holder releases its own.
struct Context {
    heif_context* ctx = heif_context_alloc();
    Context() {
        if (!ctx) throw std::bad_alloc();
    }
    ~Context() { heif_context_free(ctx); }
};
struct Handle {
    heif_image_handle* h = nullptr;
    ~Handle() { heif_image_handle_release(h); }
};
struct Image {
    heif_image* img = nullptr;
    ~Image() { heif_image_release(img); }
};
struct DecodingOptions {
    heif_decoding_options* o = heif_decoding_options_alloc();
    ~DecodingOptions() { heif_decoding_options_free(o); }
};

// The stored size: the coded image before any rotation or crop.
void StoredSize(const heif_image_handle* h, int& width, int& height) {
    width = heif_image_handle_get_ispe_width(h);
    height = heif_image_handle_get_ispe_height(h);
    if (width <= 0 || height <= 0) {
        width = heif_image_handle_get_width(h);
        height = heif_image_handle_get_height(h);
    }
    if (width <= 0 || height <= 0) throw EInvalidGraphic(Tr("HEIF: the primary image has no size"));
}

int SampleBits(const heif_image_handle* h) {
    const int bits = heif_image_handle_get_luma_bits_per_pixel(h);
    return bits > 8 ? bits : 8;
}

// libheif's coded planes (up to 3 samples a pixel, 2 bytes each above 8
// bits), its interleaved RGB(A) image, and the map.
uint64_t DecodeBytes(int width, int height, int bits, bool alpha) {
    const uint64_t px = uint64_t(width) * uint64_t(height);
    const uint64_t sample = bits > 8 ? 2 : 1;
    const uint64_t channels = alpha ? 4 : 3;
    return px * (3 * sample + channels * sample + channels);
}

std::vector<uint8_t> ReadExif(const heif_image_handle* h) {
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(h, "Exif", &id, 1) < 1) return {};
    const size_t size = heif_image_handle_get_metadata_size(h, id);
    // EXIF is at most 64 KiB in a JPEG; a larger item is not a camera's.
    if (size < 4 || size > (1u << 20)) return {};
    std::vector<uint8_t> exif(size);
    if (heif_image_handle_get_metadata(h, id, exif.data()).code != heif_error_Ok) return {};
    return exif;
}

void ReadMeta(const heif_image_handle* h, int turn, int images, bool alpha, int bits, ImageMeta& meta) {
    meta.alpha = alpha;
    meta.bitsPerSample = bits;
    meta.pages = images;
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(h);
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        std::vector<uint8_t> icc(heif_image_handle_get_raw_color_profile_size(h));
        if (!icc.empty() && heif_image_handle_get_raw_color_profile(h, icc.data()).code == heif_error_Ok)
            meta.icc = std::move(icc);
    }
    // The format's own rotation and mirroring boxes are what libheif's
    // readers apply; EXIF counts only without them.
    if (turn) {
        meta.orientation = turn;
        return;
    }
    // The item starts with the offset of the TIFF header past its 4 bytes.
    const std::vector<uint8_t> exif = ReadExif(h);
    if (exif.size() >= 4) {
        const uint64_t skip = uint64_t(exif[0]) << 24 | exif[1] << 16 | exif[2] << 8 | exif[3];
        if (skip <= exif.size() - 4) meta.orientation = ExifOrientation(std::span(exif).subspan(size_t(4 + skip)));
    }
}

// A file read through stdio: only what libheif asks for, never the whole.
struct FileReader {
    FILE* f;
    int64_t size;
};
heif_reader MakeReader() {
    heif_reader r{};
    r.reader_api_version = 1;
    r.get_position = [](void* u) -> int64_t { return ::ftello(static_cast<FileReader*>(u)->f); };
    r.read = [](void* data, size_t size, void* u) -> int {
        return std::fread(data, 1, size, static_cast<FileReader*>(u)->f) == size ? 0 : 1;
    };
    r.seek = [](int64_t pos, void* u) -> int { return ::fseeko(static_cast<FileReader*>(u)->f, pos, SEEK_SET); };
    r.wait_for_file_size = [](int64_t target, void* u) {
        return target <= static_cast<FileReader*>(u)->size ? heif_reader_grow_status_size_reached
                                                           : heif_reader_grow_status_size_beyond_eof;
    };
    return r;
}

}  // namespace

HeifFrame ReadHeifFrame(const std::string& fileName) {
    TInputFile in(fileName);
    struct stat st {};
    if (::fstat(::fileno(in.Handle()), &st) != 0) throw EInOutError::FromErrno(errno);
    FileReader source{in.Handle(), static_cast<int64_t>(st.st_size)};
    const heif_reader reader = MakeReader();
    Context c;
    Check(heif_context_read_from_reader(c.ctx, &reader, &source, nullptr));
    Handle primary;
    Check(heif_context_get_primary_image_handle(c.ctx, &primary.h));
    HeifFrame frame;
    StoredSize(primary.h, frame.width, frame.height);
    frame.decodeBytes = DecodeBytes(frame.width, frame.height, SampleBits(primary.h),
                                    heif_image_handle_has_alpha_channel(primary.h) != 0);
    return frame;
}

std::unique_ptr<TPixelMap> DecodeHeif(std::span<const uint8_t> file, const LoadOptions& options) {
    Context c;
    Check(heif_context_read_from_memory_without_copy(c.ctx, file.data(), file.size(), nullptr));
    Handle primary;
    Check(heif_context_get_primary_image_handle(c.ctx, &primary.h));
    int width = 0, height = 0;
    StoredSize(primary.h, width, height);
    TPixelMap::CheckedDataSize(width, height, 4);
    CheckPixelLimit(width, height, options.limit);

    // Coded pictures are padded to whole coding blocks (at most 64 px a
    // side); anything larger than that the boxes did not declare.
    const uint64_t allowance = uint64_t(width + 64) * uint64_t(height + 64);
    const HeifBoxes boxes = ReadHeifBoxes(file);
    for (const CodedSize& canvas : boxes.canvases)
        if (canvas.Pixels() > allowance)
            throw EInvalidGraphic(Tr("HEIF: a grid or overlay is larger than the image the file declares"));
    heif_context_set_maximum_image_size_limit(c.ctx, std::max(width, height) + 64);
    const THeifGuard guard(allowance);
    guard.Register(c.ctx);

    const bool alpha = heif_image_handle_has_alpha_channel(primary.h) != 0;
    const int bits = SampleBits(primary.h);
    const int images = heif_context_get_number_of_top_level_images(c.ctx);
    if (options.meta) ReadMeta(primary.h, boxes.orientation, images, alpha, bits, *options.meta);
    if (images > 1 && options.onWarning)
        options.onWarning(FormatText(Tr("the file holds %lld images; only the primary one is converted"), static_cast<long long>(images)));

    const heif_chroma chroma = bits > 8 ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                        : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    DecodingOptions decoding;
    if (!decoding.o) throw std::bad_alloc();
    decoding.o->ignore_transformations = 1;
    Image image;
    Check(heif_decode_image(primary.h, &image.img, heif_colorspace_RGB, chroma, decoding.o));
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.img, heif_channel_interleaved, &stride);
    if (!plane || heif_image_get_width(image.img, heif_channel_interleaved) != width ||
        heif_image_get_height(image.img, heif_channel_interleaved) != height)
        throw EInvalidGraphic(Tr("HEIF: the decoded image does not match its stated size"));

    auto map = NewDecodedMap(width, height, alpha, options.keepAlpha);
    const int channels = alpha ? 4 : 3;
    std::vector<uint8_t> row(bits > 8 ? size_t(width) * channels : 0);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* src = plane + static_cast<ptrdiff_t>(y) * stride;
        if (bits > 8) {
            // Little-endian samples of bits bits: their high 8 bits.
            for (size_t i = 0; i < row.size(); ++i) row[i] = uint8_t((src[2 * i] | src[2 * i + 1] << 8) >> (bits - 8));
            src = row.data();
        }
        if (alpha)
            PutRgbaRow(*map, y, src, options.background);
        else
            PutRgbRow(*map, y, src);
    }
    return map;
}

}  // namespace quenlo

#include "imageio/WebpReader.h"

#include <algorithm>
#include <string>
#include <vector>
#include <webp/decode.h>
#include <webp/demux.h>

#include "imageio/AlphaRows.h"
#include "imageio/Exif.h"
#include "imageio/PixelLimit.h"
#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

// Frames counted for the warning, so a file of endless tiny frames ends.
constexpr int kMaxCountedFrames = 100000;

struct Demux {
    WebPDemuxer* d;
    ~Demux() { WebPDemuxDelete(d); }
};
struct AnimDecoder {
    WebPAnimDecoder* d;
    ~AnimDecoder() { WebPAnimDecoderDelete(d); }
};

// The canvas an animation's frames are composed on, checked before it is decoded.
std::unique_ptr<TPixelMap> DecodeAnimation(std::span<const uint8_t> file, const LoadOptions& options, int w, int h) {
    const WebPData data{file.data(), file.size()};
    Demux demux{WebPDemux(&data)};
    if (!demux.d) throw EInvalidGraphic(Tr("WebP: the animation cannot be read"));
    const int frames = static_cast<int>(std::min<uint32_t>(WebPDemuxGetI(demux.d, WEBP_FF_FRAME_COUNT), kMaxCountedFrames));
    WebPAnimDecoderOptions decodeOptions;
    if (!WebPAnimDecoderOptionsInit(&decodeOptions)) throw EInvalidGraphic(Tr("WebP: the animation cannot be read"));
    decodeOptions.color_mode = MODE_RGBA;
    decodeOptions.use_threads = 0;
    AnimDecoder anim{WebPAnimDecoderNew(&data, &decodeOptions)};
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!anim.d || !WebPAnimDecoderGetNext(anim.d, &canvas, &timestamp))
        throw EInvalidGraphic(Tr("WebP: the first frame cannot be decoded"));
    auto map = NewDecodedMap(w, h, true, options.keepAlpha);
    for (int y = 0; y < h; ++y) PutRgbaRow(*map, y, canvas + static_cast<size_t>(y) * w * 4, options.background);
    if (options.meta) options.meta->pages = frames;
    if (frames > 1 && options.onWarning)
        options.onWarning(FormatText(Tr("the file holds %lld pages; only the first is converted"), static_cast<long long>(frames)));
    return map;
}

// The ICCP and EXIF chunks of an extended file.
void ReadChunks(std::span<const uint8_t> file, ImageMeta& meta) {
    const WebPData data{file.data(), file.size()};
    Demux demux{WebPDemux(&data)};
    if (!demux.d) return;
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux.d, "ICCP", 1, &chunk)) {
        meta.icc.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    if (WebPDemuxGetChunk(demux.d, "EXIF", 1, &chunk)) {
        const ExifFacts facts = ReadExif({chunk.chunk.bytes, chunk.chunk.size});
        meta.orientation = facts.orientation;
        meta.resolution = facts.resolution;
        WebPDemuxReleaseChunkIterator(&chunk);
    }
}

}  // namespace

WebPFrame ReadWebPFrame(std::span<const uint8_t> head) {
    WebPBitstreamFeatures f;
    if (WebPGetFeatures(head.data(), head.size(), &f) != VP8_STATUS_OK) return {};
    return {f.width, f.height, f.has_animation != 0};
}

std::unique_ptr<TPixelMap> DecodeWebP(std::span<const uint8_t> file, const LoadOptions& options) {
    WebPBitstreamFeatures f;
    if (WebPGetFeatures(file.data(), file.size(), &f) != VP8_STATUS_OK)
        throw EInvalidGraphic(Tr("WebP: the header cannot be read"));
    if (f.width <= 0 || f.height <= 0) throw EInvalidImageSize(f.width, f.height);
    TPixelMap::CheckedDataSize(f.width, f.height, 4);
    CheckPixelLimit(f.width, f.height, options.limit);
    if (options.meta) {
        options.meta->alpha = f.has_alpha != 0;
        options.meta->pages = 1;
        ReadChunks(file, *options.meta);
    }
    if (f.has_animation) return DecodeAnimation(file, options, f.width, f.height);
    const bool alpha = f.has_alpha != 0;
    const size_t stride = static_cast<size_t>(f.width) * (alpha ? 4 : 3);
    std::vector<uint8_t> pixels(stride * static_cast<size_t>(f.height));
    const uint8_t* ok = alpha ? WebPDecodeRGBAInto(file.data(), file.size(), pixels.data(), pixels.size(), static_cast<int>(stride))
                              : WebPDecodeRGBInto(file.data(), file.size(), pixels.data(), pixels.size(), static_cast<int>(stride));
    if (!ok) throw EInvalidGraphic(Tr("WebP: the image data cannot be decoded"));
    auto map = NewDecodedMap(f.width, f.height, alpha, options.keepAlpha);
    for (int y = 0; y < f.height; ++y) {
        const uint8_t* row = pixels.data() + static_cast<size_t>(y) * stride;
        if (alpha) PutRgbaRow(*map, y, row, options.background);
        else PutRgbRow(*map, y, row);
    }
    return map;
}

}  // namespace quenlo

#include "imageio/GifReader.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "imageio/AlphaRows.h"
#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

struct Source {
    std::span<const uint8_t> bytes;
    size_t pos = 0;
};

int ReadSource(GifFileType* gif, GifByteType* dst, int n) {
    auto* s = static_cast<Source*>(gif->UserData);
    const size_t got = std::min(static_cast<size_t>(n), s->bytes.size() - s->pos);
    std::memcpy(dst, s->bytes.data() + s->pos, got);
    s->pos += got;
    return static_cast<int>(got);
}

[[noreturn]] void Fail(int code) {
    const char* why = GifErrorString(code);
    throw EInvalidGraphic(std::string("GIF: ") + (why ? why : "unknown error"));
}

class Gif {
public:
    explicit Gif(std::span<const uint8_t> bytes) : source_{bytes} {
        int err = 0;
        gif_ = DGifOpen(&source_, ReadSource, &err);
        if (!gif_) Fail(err);
    }
    ~Gif() { DGifCloseFile(gif_, nullptr); }
    Gif(const Gif&) = delete;
    Gif& operator=(const Gif&) = delete;

    GifFileType* operator->() const { return gif_; }
    void Check(int rc) const {
        if (rc != GIF_OK) Fail(gif_->Error);
    }

    // Reads records up to the next image's descriptor; false at the end
    // of the file. The graphic control before it sets the transparent index.
    bool NextImage(int& transparent) {
        transparent = NO_TRANSPARENT_COLOR;
        for (;;) {
            GifRecordType type;
            Check(DGifGetRecordType(gif_, &type));
            if (type == TERMINATE_RECORD_TYPE) return false;
            if (type == IMAGE_DESC_RECORD_TYPE) {
                Check(DGifGetImageDesc(gif_));
                return true;
            }
            if (type != EXTENSION_RECORD_TYPE) continue;
            int code = 0;
            GifByteType* block = nullptr;
            Check(DGifGetExtension(gif_, &code, &block));
            if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
                GraphicsControlBlock gcb{};
                if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) transparent = gcb.TransparentColor;
            }
            while (block) Check(DGifGetExtensionNext(gif_, &block));
        }
    }

    // Passes over the current image's pixel data without decoding it.
    void SkipImage() {
        int codeSize = 0;
        GifByteType* block = nullptr;
        Check(DGifGetCode(gif_, &codeSize, &block));
        while (block) Check(DGifGetCodeNext(gif_, &block));
    }

private:
    Source source_;
    GifFileType* gif_ = nullptr;
};

// The screen, grown to hold the frame.
GifCanvas CanvasOf(const Gif& gif) {
    const GifImageDesc& d = gif->Image;
    return {std::max<int>(gif->SWidth, d.Left + d.Width), std::max<int>(gif->SHeight, d.Top + d.Height)};
}

// Frames an animation is counted up to; the warning only needs to say there are more.
constexpr int kMaxCountedFrames = 100000;

}  // namespace

GifCanvas ReadGifCanvas(std::span<const uint8_t> head) {
    try {
        Gif gif(head);
        int transparent;
        if (gif.NextImage(transparent)) return CanvasOf(gif);
    } catch (const EInvalidGraphic&) {
    }
    return {};
}

std::unique_ptr<TPixelMap> DecodeGif(std::span<const uint8_t> file, const LoadOptions& options) {
    Gif gif(file);
    int transparent = NO_TRANSPARENT_COLOR;
    if (!gif.NextImage(transparent)) throw EInvalidGraphic(Tr("GIF: the file holds no image"));
    const GifImageDesc desc = gif->Image;
    const GifCanvas canvas = CanvasOf(gif);
    if (desc.Width <= 0 || desc.Height <= 0 || canvas.width <= 0 || canvas.height <= 0)
        throw EInvalidImageSize(canvas.width, canvas.height);
    TPixelMap::CheckedDataSize(canvas.width, canvas.height, 4);
    CheckPixelLimit(canvas.width, canvas.height, options.limit);

    // Colours as R, G, B, A for every index; without a colour table, grey levels.
    uint8_t palette[256][4];
    const ColorMapObject* table = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
    for (int i = 0; i < 256; ++i) {
        if (!table) {
            palette[i][0] = palette[i][1] = palette[i][2] = uint8_t(i);
        } else if (i < table->ColorCount) {
            palette[i][0] = table->Colors[i].Red;
            palette[i][1] = table->Colors[i].Green;
            palette[i][2] = table->Colors[i].Blue;
        } else {
            palette[i][0] = palette[i][1] = palette[i][2] = 0;
        }
        palette[i][3] = i == transparent ? 0 : 255;
    }
    const bool alpha = transparent >= 0 && transparent < 256;

    auto map = NewDecodedMap(canvas.width, canvas.height, alpha, options.keepAlpha);
    // What the frame leaves uncovered: transparent in a frame with a
    // transparent index, else the screen's background colour.
    uint8_t uncovered[4] = {0, 0, 0, 0};
    if (!alpha) {
        uncovered[3] = 255;
        const ColorMapObject* screen = gif->SColorMap;
        if (screen && gif->SBackGroundColor >= 0 && gif->SBackGroundColor < screen->ColorCount) {
            const GifColorType& c = screen->Colors[gif->SBackGroundColor];
            uncovered[0] = c.Red, uncovered[1] = c.Green, uncovered[2] = c.Blue;
        }
    }
    std::vector<uint8_t> row(static_cast<size_t>(canvas.width) * 4);
    for (size_t x = 0; x < row.size(); x += 4) std::memcpy(&row[x], uncovered, 4);
    std::vector<GifPixelType> line(static_cast<size_t>(desc.Width));
    for (int32_t y = 0; y < canvas.height; ++y)
        if (y < desc.Top || y >= desc.Top + desc.Height) PutRgbaRow(*map, y, row.data(), options.background);

    // Interlaced rows come in four passes: every 8th from 0, every 8th from
    // 4, every 4th from 2, every 2nd from 1.
    static constexpr int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    const int passes = desc.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const int start = desc.Interlace ? kStart[pass] : 0, step = desc.Interlace ? kStep[pass] : 1;
        for (int r = start; r < desc.Height; r += step) {
            gif.Check(DGifGetLine(gif.operator->(), line.data(), desc.Width));
            uint8_t* d = row.data() + static_cast<size_t>(desc.Left) * 4;
            for (int x = 0; x < desc.Width; ++x, d += 4) std::memcpy(d, palette[line[size_t(x)]], 4);
            PutRgbaRow(*map, desc.Top + r, row.data(), options.background);
        }
    }

    int pages = 1;
    try {
        int ignored;
        while (pages < kMaxCountedFrames && gif.NextImage(ignored)) {
            gif.SkipImage();
            ++pages;
        }
    } catch (const EInvalidGraphic&) {
        // Damage after the first frame does not touch what is converted.
    }
    if (options.meta) {
        options.meta->alpha = alpha;
        options.meta->pages = pages;
    }
    if (pages > 1 && options.onWarning)
        options.onWarning(FormatText(Tr("the file holds %lld pages; only the first is converted"), static_cast<long long>(pages)));
    return map;
}

}  // namespace quenlo

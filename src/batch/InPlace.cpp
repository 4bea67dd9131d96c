#include "batch/InPlace.h"

#include <optional>
#include <vector>

#include "batch/FileKey.h"
#include "imageio/MetaProbe.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

// What goes from a source through the reader and the writer into the output,
// besides one page of 8-bit RGB.
struct Carried {
    bool exactPixels = true;  // false: resized, converted, or a lossy encoding
    bool alpha = false, icc = false, resolution = false, orientation = false;
};

Carried CarriedBy(ImageKind kind, const ItemLoaderOptions& options) {
    const OutputFormat f = options.output.format;
    const bool png = f == OutputFormat::Png, tiff = f == OutputFormat::Tiff, webp = f == OutputFormat::WebP;
    Carried c;
    c.exactPixels = !options.resize && options.icc != IccMode::Srgb && f != OutputFormat::Jpeg &&
                    !(f == OutputFormat::WebP && !options.output.lossless);
    // The PNG, TIFF, WebP, GIF and HEIF readers keep alpha; PNG, TIFF and WebP write it.
    const bool keepsAlpha = kind == ImageKind::Png || kind == ImageKind::Tiff || kind == ImageKind::WebP ||
                            kind == ImageKind::Gif || kind == ImageKind::Heic || kind == ImageKind::Avif;
    c.alpha = keepsAlpha && (png || tiff || webp) && !options.background;
    c.icc = options.icc == IccMode::Keep;  // every output holds a profile
    c.resolution = png || tiff || webp || f == OutputFormat::Bmp || f == OutputFormat::Jpeg;
    // Turned upright, the picture is as its tag meant it.
    c.orientation = options.autoOrient || ((tiff || webp || f == OutputFormat::Jpeg) && kind != ImageKind::Png);
    return c;
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
        text += parts[i];
    }
    return text;
}

}  // namespace

std::string WhatReplacingLoses(const ImageMeta& source, ImageKind kind, const ItemLoaderOptions& options) {
    const Carried kept = CarriedBy(kind, options);
    std::vector<std::string> lost;
    if (!kept.exactPixels) lost.push_back(Tr("its pixels as they are"));
    if (source.bitsPerSample > 8) lost.push_back(FormatText(Tr("its %d-bit samples"), source.bitsPerSample));
    if (source.alpha && !kept.alpha) lost.push_back(Tr("its alpha channel"));
    if (source.pages > 1)
        lost.push_back(source.pages == 2 ? std::string(Tr("its second page"))
                                       : FormatText(Tr("its other %d pages"), source.pages - 1));
    if (!source.icc.empty() && !kept.icc) lost.push_back(Tr("its colour profile"));
    if (source.resolution && !kept.resolution) lost.push_back(Tr("its resolution"));
    if (source.orientation != 1 && !kept.orientation) lost.push_back(Tr("its orientation tag"));
    return Joined(lost);
}

std::string InPlaceRefusal(const BatchItem& item, const ItemLoaderOptions& options) {
    // Raw data has no header to keep; a pair's members are never its output.
    if (!item.ipr.empty() || KindByName(item.input) == ImageKind::None) return {};
    const FileKey source = KeyOf(item.input);
    if (!source.found || KeyOf(item.output) != source) return {};
    const std::string allowed = FormatText(Tr("; %s allows it"), options.inPlaceOption.c_str());
    std::optional<ImageKind> kind;
    const std::optional<ImageMeta> meta = ProbeImageMeta(item.input, &kind);
    if (!meta) return Tr("rewriting it in place could lose what it holds beyond 8-bit RGB, which its headers do not tell") + allowed;
    const std::string lost = WhatReplacingLoses(*meta, *kind, options);
    if (lost.empty()) return {};
    return FormatText(Tr("rewriting it in place would lose %s"), lost.c_str()) + allowed;
}

}  // namespace quenlo

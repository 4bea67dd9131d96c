#pragma once
// The batch's loader, for the command line and the window alike: each item
// is read and written in the output format (a 24-bit .bmp by default). Raw
// pairs and headerless raw data stream in constant memory; a .jpg is decoded
// straight into its output a band of rows at a time; other images are held
// whole, within a memory budget shared by the jobs.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "batch/BatchRun.h"
#include "batch/MemoryBudget.h"
#include "batch/ResizeGeometry.h"
#include "imageio/ColorProfile.h"
#include "imageio/OutputFormat.h"
#include "imageio/PixelLimit.h"
#include "imageio/RawStream.h"

namespace quenlo {

class TPixelMap;

struct ItemLoaderOptions {
    // Set: files with rawExt (".rgb") are headerless data of this layout.
    std::optional<RawLayout> raw;
    std::string rawExt;
    PixelLimit limit;
    // Images turned upright by their orientation tag, not kept as stored.
    bool autoOrient = false;
    OutputOptions output;  // its extension goes in the plan's outputExt
    // An output that is its own source is written even where that loses
    // what the source holds; else that item fails, naming inPlaceOption.
    bool replaceSources = false;
    std::string inPlaceOption = "--in-place";
    // Shared by the jobs; null: one of DefaultMemoryBudget() bytes.
    std::shared_ptr<TMemoryBudget> budget;
    // Set: given every image that is decoded whole, on the loading thread,
    // before it is written (the window's preview). Every image but a raw one
    // is then decoded whole.
    std::function<void(const BatchItem&, std::shared_ptr<TPixelMap>)> keepImage;
    // Set: every image is resized or made a thumbnail on its way out, rows
    // streaming through the resampler (keepImage then gets the result).
    std::optional<ResizeRequest> resize;
    // Set (--background): alpha is laid over this colour in every output;
    // unset, outputs that hold alpha (PNG, TIFF, WebP) keep it and the others lay
    // it over white.
    std::optional<TColor> background;
    IccMode icc = IccMode::Keep;
};

LoadStep ItemLoader(ItemLoaderOptions options);

}  // namespace quenlo

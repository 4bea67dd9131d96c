#pragma once
// The rule for an output that would replace its own source: it is written
// only where nothing of the source is lost, or where the user allowed it.
#include <string>

#include "batch/BatchPlan.h"
#include "batch/ItemLoader.h"
#include "imageio/ImageKind.h"
#include "imageio/ImageMeta.h"

namespace quenlo {

// What converting a source of this kind holding `source` with these
// options loses of it, as one phrase ("its alpha channel and its other 2
// pages"); "" when the output keeps everything. It follows what each reader
// carries and each writer keeps: update it as they learn more.
std::string WhatReplacingLoses(const ImageMeta& source, ImageKind kind, const ItemLoaderOptions& options);

// Why the item is not written: its output is its own input (through links,
// or a hard link) and would lose what WhatReplacingLoses says, or what the
// input holds cannot be told from its headers; the text names
// options.inPlaceOption. "" when the output is another file or nothing is lost.
std::string InPlaceRefusal(const BatchItem& item, const ItemLoaderOptions& options);

}  // namespace quenlo

#pragma once
// The public options as the library's own.
#include "imageio/OutputFormat.h"
#include "imageio/PixelLimit.h"
#include "quenlo/image.h"

namespace quenlo {

// Throws UsageError for a value out of range.
OutputOptions InternalOptions(const WriteOptions& options);
PixelLimit InternalLimit(const ReadOptions& options);

}  // namespace quenlo

#pragma once
// The command line's batch: each input is loaded and written as a 24-bit
// .bmp, into the output folder or beside its source, by the shared batch
// plan and run (src/batch); raw pairs and headerless raw data stream in
// constant memory.
#include <optional>
#include <string>

#include "batch/BatchRun.h"
#include "imageio/OutputFormat.h"
#include "imageio/RawStream.h"

namespace quenlo {

struct ConvertOptions {
    PlanOptions plan;  // the output folder ("" beside each source), raw data, shard
    BatchOptions batch;
    // Set: files with plan.rawExt are headerless data of this layout.
    std::optional<RawLayout> raw;
    OutputOptions output;  // its extension goes in plan.outputExt
};

// Loads an item for the batch.
LoadStep ConvertLoader(const ConvertOptions& options);

}  // namespace quenlo

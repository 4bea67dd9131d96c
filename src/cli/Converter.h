#pragma once
// The command line's batch: each input is loaded and written as a 24-bit
// .bmp, into the output folder or beside its source, by the shared batch
// plan and run (src/batch); raw pairs stream in constant memory.
#include <string>
#include <vector>

#include "batch/BatchRun.h"

namespace quenlo {

struct ConvertOptions {
    std::string outputDir;  // empty: beside each source
    BatchOptions batch;
};

// Plans and runs the batch. Throws EQuenlo "Cannot create <dir>".
BatchResult ConvertFiles(const std::vector<std::string>& inputs, const ConvertOptions& options,
                         const BatchEvents& events);

}  // namespace quenlo

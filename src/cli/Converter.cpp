#include "cli/Converter.h"

#include <memory>

#include "imageio/AtomicFile.h"
#include "imageio/FileIo.h"
#include "imageio/ImageKind.h"
#include "imageio/RawStream.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

// Reads what the save needs and returns the save. Raw pairs are only
// opened: their rows stream into the file while it is written.
SaveStep Load(const BatchItem& item, const WarningSink& warn) {
    if (!FileExists(item.input)) throw EInOutError(2);
    if (KindByName(item.input) == ImageKind::RawPair) {
        auto pair = std::make_shared<TRawPair>(item.iprName, item.rgbName);
        return [pair, &item]() -> CommitStep {
            if (std::string why = NothingToSave(item.input, pair->Width(), pair->Height()); !why.empty())
                throw EQuenlo(why);
            std::shared_ptr<TAtomicFile> file = pair->PrepareBmp(item.output);
            return [file] { file->Commit(); };
        };
    }
    LoadOptions load;
    load.onWarning = warn;
    std::shared_ptr<TPixelMap> map = LoadImageFile(PixelKind::RGB, item.input, load);
    if (!map) throw EInOutError(2);
    return [map, &item]() -> CommitStep {
        if (std::string why = NothingToSave(item.input, map->Width(), map->Height()); !why.empty())
            throw EQuenlo(why);
        std::shared_ptr<TAtomicFile> file = PrepareBmpFile(*map, item.output);
        return [file] { file->Commit(); };
    };
}

}  // namespace

BatchResult ConvertFiles(const std::vector<std::string>& inputs, const ConvertOptions& options,
                         const BatchEvents& events) {
    return RunBatch(PlanBatch(inputs, options.outputDir), options.batch, Load, events);
}

}  // namespace quenlo

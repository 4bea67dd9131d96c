#include "cli/Converter.h"

#include <memory>

#include "imageio/AtomicFile.h"
#include "imageio/FileIo.h"
#include "imageio/ImageKind.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

// The save of an opened raw image: rows stream into the file while it is written.
SaveStep SaveRaw(std::shared_ptr<TRawPair> raw, const BatchItem& item, ItemNotes& notes, const OutputOptions& output) {
    notes.width = raw->Width();
    notes.height = raw->Height();
    return [raw, &item, output]() -> CommitStep {
        if (raw->Width() == 0 || raw->Height() == 0)
            throw EQuenlo(NothingToSave(item.input, raw->Width(), raw->Height()));
        std::shared_ptr<TAtomicFile> file = PrepareImageFile(*raw, item.output, output);
        return [file] { file->Commit(); };
    };
}

}  // namespace

// Reads what the save needs and returns the save. Raw data is only opened.
LoadStep ConvertLoader(const ConvertOptions& options) {
    return [raw = options.raw, rawExt = options.plan.rawExt, output = options.output](const BatchItem& item, ItemNotes& notes) -> SaveStep {
        if (!FileExists(item.input)) throw EInOutError(2);
        if (raw && IsRawData(item.input, rawExt)) {
            return SaveRaw(std::make_shared<TRawPair>(item.input, *raw), item, notes, output);
        }
        if (KindByName(item.input) == ImageKind::RawPair)
            return SaveRaw(std::make_shared<TRawPair>(item.ipr, item.rgb), item, notes, output);
        LoadOptions load;
        load.onWarning = [&notes](const std::string& text) { notes.warnings.push_back(text); };
        std::shared_ptr<TPixelMap> map = LoadImageFile(PixelKind::RGB, item.input, load);
        if (!map) throw EInOutError(2);
        notes.width = map->Width();
        notes.height = map->Height();
        return [map, &item, output]() -> CommitStep {
            if (std::string why = NothingToSave(item.input, map->Width(), map->Height()); !why.empty())
                throw EQuenlo(why);
            std::shared_ptr<TAtomicFile> file = PrepareImageFile(*map, item.output, output);
            return [file] { file->Commit(); };
        };
    };
}

}  // namespace quenlo

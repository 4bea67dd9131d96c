#include "cli/Converter.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "imageio/FileIo.h"
#include "imageio/RawStream.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"

namespace quenlo {

std::string OutputNameFor(const std::string& input, const std::string& dirWithDelim) {
    const std::string base = dirWithDelim.empty() ? input : dirWithDelim + ExtractFileName(input);
    return ChangeFileExt(base, ".bmp");
}

void PrepareOutputDir(std::string& dir) {
    if (dir.empty()) return;
    std::error_code ec;
    namespace fs = std::filesystem;
    if (!fs::is_directory(dir, ec)) {
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir)) throw EQuenlo("Cannot create " + dir);
    }
    AddBackslash(dir);
}

namespace {

enum class Outcome { Converted, Skipped, LoadFailed, SaveFailed, Abandoned };

struct Batch {
    Batch(const std::vector<std::string>& in, const ConvertOptions& opt, const ConvertEvents& ev)
        : inputs(in), options(opt), events(ev), dir(opt.outputDir) {}

    const std::vector<std::string>& inputs;
    const ConvertOptions& options;
    const ConvertEvents& events;
    std::string dir;
    std::atomic<size_t> next{0};
    // Lowest index whose load failed when stopping; later files are not written.
    std::atomic<size_t> stopAt{SIZE_MAX};
    std::mutex report;
    ConvertResult result;

    void Emit(const std::function<void(const std::string&, const std::string&)>& fn, const std::string& a,
              const std::string& b) {
        if (fn) fn(a, b);
    }

    Outcome One(size_t index) {
        const std::string& input = inputs[index];
        const std::string output = OutputNameFor(input, dir);
        if (options.existing == ExistingOutput::Skip && FileExists(output)) {
            std::lock_guard lock(report);
            ++result.skipped;
            Emit(events.onSkipped, input, output);
            return Outcome::Skipped;
        }
        // Load, then save: a failed load may stop the batch, a failed save never does.
        std::function<void()> save;
        try {
            save = Load(input, output);
        } catch (const std::exception& e) {
            return LoadFailed(index, input, e);
        }
        // A file after a failed load is not written, as if the batch had stopped there.
        if (index > stopAt.load()) return Outcome::Abandoned;
        try {
            save();
        } catch (const std::exception& e) {
            std::lock_guard lock(report);
            ++result.failed;
            Emit(events.onFailed, input, DescribeError(e));
            return Outcome::SaveFailed;
        }
        std::lock_guard lock(report);
        ++result.converted;
        Emit(events.onConverted, input, output);
        return Outcome::Converted;
    }

    // Reads what the save needs and returns the save. Raw pairs are only
    // opened: they stream straight to the file, in constant memory.
    std::function<void()> Load(const std::string& input, const std::string& output) {
        if (!FileExists(input)) throw EInOutError(2);
        const std::string ext = UpperAscii(ExtractFileExt(input));
        if (ext == ".IPR" || ext == ".RGB") {
            auto pair = std::make_shared<TRawPair>(input);
            return [pair, output] { pair->WriteBmp(output); };
        }
        LoadOptions load;
        load.onWarning = [&](const std::string& text) {
            std::lock_guard lock(report);
            Emit(events.onWarning, input, text);
        };
        std::shared_ptr<TPixelMap> map = LoadImageFile(PixelKind::RGB, input, load);
        if (!map) throw EInOutError(2);
        return [map, output] {
            if (map->Width() == 0 || map->Height() == 0)
                throw EQuenlo("unsupported file type; expected .ipr, .rgb, .bmp or .jpg");
            SaveBmpFile(*map, output);
        };
    }

    Outcome LoadFailed(size_t index, const std::string& input, const std::exception& e) {
        if (options.onLoadFailure == OnLoadFailure::Stop) {
            size_t cur = stopAt.load();
            while (index < cur && !stopAt.compare_exchange_weak(cur, index)) {
            }
        }
        std::lock_guard lock(report);
        ++result.failed;
        Emit(events.onFailed, input, DescribeError(e));
        return Outcome::LoadFailed;
    }

    void Work() {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= inputs.size() || i > stopAt.load()) return;
            if (One(i) == Outcome::Abandoned) return;
        }
    }
};

}  // namespace

ConvertResult ConvertFiles(const std::vector<std::string>& inputs, const ConvertOptions& options,
                           const ConvertEvents& events) {
    Batch batch(inputs, options, events);
    PrepareOutputDir(batch.dir);
    const size_t jobs = std::clamp<size_t>(static_cast<size_t>(std::max(options.jobs, 1)), 1, std::max<size_t>(inputs.size(), 1));
    if (jobs == 1) {
        batch.Work();
    } else {
        std::vector<std::jthread> workers;
        for (size_t i = 0; i < jobs; ++i) workers.emplace_back([&] { batch.Work(); });
    }
    ConvertResult r = batch.result;
    r.notStarted = static_cast<int>(inputs.size()) - r.converted - r.skipped - r.failed;
    return r;
}

}  // namespace quenlo

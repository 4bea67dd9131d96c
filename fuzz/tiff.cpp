// DecodeTiffFile on arbitrary bytes, written to a private file: it either
// throws one of the library's errors or returns a map whose buffer matches
// its size. Our part is the unpacking of samples in every layout, the
// size checks on strips and tiles, libtiff's RGBA conversion for the rest,
// and the turning by orientation.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzCommon.h"
#include "imageio/TiffReader.h"

using namespace quenlo;

namespace {

// One file, rewritten for each input, removed at exit.
class TFuzzFile {
public:
    TFuzzFile() {
        const char* tmp = std::getenv("TMPDIR");
        name_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/quenlo-fuzz-XXXXXX";
        const int fd = mkstemp(name_.data());
        if (fd < 0) std::abort();
        close(fd);
    }
    ~TFuzzFile() { std::remove(name_.c_str()); }
    const std::string& Write(const uint8_t* data, size_t size) const {
        FILE* f = std::fopen(name_.c_str(), "wb");
        if (!f || (size && std::fwrite(data, 1, size, f) != size)) std::abort();
        std::fclose(f);
        return name_;
    }

private:
    std::string name_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Probe(data, size);
    static const TFuzzFile file;
    TiffOptions options;
    options.limit.maxPixels = fuzz::kMaxPixels;
    options.onWarning = [](const std::string& text) {
        if (text.empty()) std::abort();
    };
    // Half the inputs turned upright, so turning sees every orientation, and
    // half of each with alpha kept.
    ImageMeta meta;
    options.meta = &meta;
    options.autoOrient = size % 2 == 1;
    options.keepAlpha = size % 4 >= 2;
    try {
        const auto map = DecodeTiffFile(file.Write(data, size), options);
        if (!map || map->Width() < 0 || map->Height() < 0 ||
            int64_t(map->DataSize()) != int64_t(map->Width()) * map->Height() * (map->Kind() == PixelKind::ARGB ? 4 : 3))
            std::abort();
        fuzz::CheckAddressable(map->Data(), map->DataSize());
    } catch (const EQuenlo&) {
    }
    return 0;
}

// A scene script read, written back and read again must render the same,
// unless the writer refuses it with a reason or warns of a node whose
// pixels no statements make (a text image over a loaded picture).
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "scene/script/SceneWrite.h"
#include "scene/kinds/SimpleVelore.h"

using namespace quenlo;

namespace {

constexpr size_t kMaxText = 8 << 10;

// Sizes stay small so that one run renders in microseconds: no number of
// more than three digits.
bool SmallNumbers(std::string_view text) {
    int digits = 0;
    for (char c : text) {
        digits = c >= '0' && c <= '9' ? digits + 1 : 0;
        if (digits > 3) return false;
    }
    return true;
}

bool Explained(const std::vector<TScriptWarning>& warnings) {
    for (const TScriptWarning& w : warnings)
        if (w.Text.find("not all made by its statements") != std::string::npos) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxText) return -1;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!SmallNumbers(text)) return -1;
    try {
        std::istringstream in(text);
        TScene scene = ReadSceneScript(in, "fuzz", {});
        if (scene.Root->Width <= 0 || scene.Root->Height <= 0) return 0;
        const TWrittenScene written = WriteScene(scene, {});
        if (!written.Warnings.empty() && !Explained(written.Warnings)) {
            std::fprintf(stderr, "%s\n--- written as ---\n%s\n", written.Warnings[0].Text.c_str(),
                         written.Text.c_str());
            std::abort();
        }
    } catch (const EQuenlo&) {
    }
    return 0;
}

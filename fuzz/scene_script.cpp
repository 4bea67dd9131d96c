// A scene script fed line by line into an image node, then rendered into a
// small map placed by the script's own size, and torn down again.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>

#include "FuzzCommon.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/SimpleVelore.h"

using namespace quenlo;

namespace {

// Scenes are small: drawing order is found by insertion, and a tree is
// walked recursively.
constexpr size_t kMaxText = 16 << 10;
constexpr int kMaxLines = 256;

int32_t Near(int32_t v, int32_t d) {
    return int32_t(std::clamp<int64_t>(int64_t(v) + d, INT32_MIN, INT32_MAX));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using fuzz::TBudgetKind;
    TVelora::RegisterKind(ClassOf<TBudgetKind<TVlxImg>>());
    TVelora::RegisterKind(ClassOf<TBudgetKind<TVlxAnk>>());
    TVelora::RegisterKind(ClassOf<TBudgetKind<TVlxCel>>());
    TVelora::RegisterKind(ClassOf<TBudgetKind<TVlxStencil>>());
    RegisterSimpleVeloreKinds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxText) return -1;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    int lines = 0;
    for (char c : text) lines += c == '\n';
    if (lines > kMaxLines) return -1;

    fuzz::PixelBudget() = fuzz::kMaxPixels;
    auto owner = MakeVelora<fuzz::TBudgetKind<TVlxImg>>();
    TVlxImg* root = owner.get();
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        try {
            root->ParseLine(line);
        } catch (const EQuenlo&) {
        }
    }

    for (int pass = 0; pass < 2; ++pass) {
        TPixelMapRGB map;
        map.SetSize(48, 40);
        // First the scene's top-left corner, then a window half off it.
        map.Left = pass == 0 ? 0 : Near(root->Width, -20);
        map.Top = pass == 0 ? 0 : Near(root->Height, -15);
        root->RenderInto(map);
    }
    // The script's nodes belong to whoever read it.
    owner.release()->DestroyTree();
    return 0;
}

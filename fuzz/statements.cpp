// RunStatements on a node of every kind: byte 0 picks the kind, the rest is
// statement text. The node then renders into a small map, and the
// statements it writes back run on a fresh node of the same kind.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzCommon.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/SimpleVelore.h"

using namespace quenlo;

namespace {

// Longer text only repeats statements, each at most one pass over a map.
constexpr size_t kMaxText = 16 << 10;

// Registered kinds by name, the unregistered drafter base, and whatever an
// unknown name creates.
constexpr std::string_view kKinds[] = {"Velore", "VlxMat", "VlxImg",   "VlxCel",    "VlxStencil",
                                       "VlxPoly", "Vlx2",  "VlxAnk",   "VlxAnk88",  "VlxSlider",
                                       "",        "NoSuchKind"};

TVeloraPtr<TVelora> MakeNode(size_t kind) {
    if (kKinds[kind].empty()) return TVeloraPtr<TVelora>(MakeVelora<TVlxDrafter>().release());
    TVeloraPtr<TVelora> node = TVelora::FindKind(kKinds[kind]).Create();
    // The host's part of a polygon: a chain that closes on itself.
    if (auto* poly = dynamic_cast<TVlxPoly*>(node.get()))
        poly->Poly.Points = {{2, 2}, {12, 2}, {12, 12}, {2, 12}, {2, 2}, {12, 12}};
    return node;
}

void Render(TVelora& node) {
    TPixelMapRGB map;
    map.SetSize(37, 29);
    map.Left = -3;
    map.Top = -2;
    node.RenderInto(map);
}

void Run(TVelora& node, std::string_view text) {
    try {
        node.RunStatements(text);
    } catch (const EQuenlo&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::RegisterBudgetKinds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kMaxText) return -1;
    fuzz::PixelBudget() = fuzz::kMaxPixels;
    const size_t kind = data[0] % std::size(kKinds);
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    TVeloraPtr<TVelora> node = MakeNode(kind);
    Run(*node, text);
    Render(*node);

    std::string written;
    node->WriteStatements(written);
    TVeloraPtr<TVelora> copy = MakeNode(kind);
    Run(*copy, written);
    Render(*copy);
    return 0;
}

// DrawSpot, DrawLineAA, PlotSpotAA and DrawGaussSpot with arbitrary floats,
// NaN and infinities included, on a small map of any kind.
#include <algorithm>
#include <cstdint>

#include "FuzzCommon.h"
#include "pixelmap/pixelmap.h"

using namespace quenlo;

namespace {

// A far-off line may step through millions of dots before it is clipped.
constexpr int kMaxOps = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    auto map = CreatePixelMap(PixelKind(in.ConsumeIntegralInRange(0, 3)));
    map->SetSize(in.ConsumeIntegralInRange(0, 40), in.ConsumeIntegralInRange(0, 40));
    map->Pen[0] = 0x40;
    map->Pen[1] = 0x80;
    map->Pen[2] = 0xC0;
    map->Pen[3] = 0xFF;
    map->Clear();
    if (auto* argb = dynamic_cast<TPixelMapARGB*>(map.get())) argb->PenMode = in.ConsumeIntegralInRange(0, 2);

    const float span = 4.0f * float(std::max(map->Width(), map->Height()) + 4);
    auto coord = [&] { return fuzz::AnyFloat(in, -span, span); };
    for (int op = 0; op < kMaxOps && in.remaining_bytes() > 0; ++op) {
        in.ConsumeData(map->Pen, map->BytesPerPixel());
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: {
                const int kind = in.ConsumeIntegralInRange(-1, 3);
                const float x = coord(), y = coord(), radius = coord(), soft = coord();
                map->DrawSpot(kind, x, y, radius, soft, fuzz::AnyFloat(in, -1, 2));
                break;
            }
            case 1: {
                const bool skipFirst = in.ConsumeBool();
                const float x1 = coord(), y1 = coord(), x2 = coord(), y2 = coord();
                map->DrawLineAA(skipFirst, x1, y1, x2, y2, fuzz::AnyFloat(in, -1, 2));
                break;
            }
            case 2: {
                const float x = coord(), y = coord();
                map->PlotSpotAA(x, y, fuzz::AnyFloat(in, -1, 2));
                break;
            }
            default: {
                const float x = coord(), y = coord(), radius = coord(), soft = coord();
                map->DrawGaussSpot(x, y, radius, soft, fuzz::AnyFloat(in, -1, 2));
                break;
            }
        }
    }
    return 0;
}

// A scene script fed line by line into an image node, then rendered into a
// small map placed by the script's own size, and torn down again.
//
// A line that starts with "@" is no script line but a stream of tree and
// view operations run between the lines: unlink, destroy, move, adopt,
// re-root, hover, paint and zoom, and switching the node that reads the
// following lines. Nodes are picked by index among the live ones, so every
// order of them is reachable, and a freed node must leave nothing behind
// that a later line, paint or pointer event could reach.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "FuzzCommon.h"
#include "low/VeloreLow.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/Pbox.h"
#include "scene/kinds/SimpleVelore.h"

using namespace quenlo;

namespace {

// Scenes are small: drawing order is found by insertion, and a tree is
// walked recursively.
constexpr size_t kMaxText = 16 << 10;
constexpr int kMaxLines = 256;
// Paint clips stay small and zooms moderate, so that a repaint of a huge
// matte renders a few thousand pixels, not millions.
constexpr int32_t kMaxClip = 48;
constexpr int32_t kMinZoom = 25, kMaxZoom = 400;

int32_t Near(int32_t v, int32_t d) {
    return int32_t(std::clamp<int64_t>(int64_t(v) + d, INT32_MIN, INT32_MAX));
}

// A control without a window: paints land nowhere, but every presented
// bitmap must be readable in full.
class TNullPaintBox : public IPaintBoxPlatform {
public:
    void SetControlWidth(int32_t) override {}
    void SetControlHeight(int32_t) override {}
    TRect ClipRect() const override { return clip; }
    void StretchCopy(const TBgrImage& image, const TRect& src, const TRect& dst) override {
        if (src.Left < 0 || src.Top < 0 || src.Right > image.Width || src.Bottom > image.Height ||
            dst.Right - dst.Left != src.Right - src.Left || dst.Bottom - dst.Top != src.Bottom - src.Top)
            std::abort();
        fuzz::CheckAddressable(image.Bits, int64_t(image.Stride) * image.Height);
    }
    void ProcessPendingEvents() override {}
    void HookEvents(TPaintBoxHandlers h) override { handlers = std::move(h); }
    void UnhookEvents() override { handlers = {}; }

    TRect clip = MakeRect(0, 0, kMaxClip, kMaxClip);
    TPaintBoxHandlers handlers;
};

// The nodes the script and the operations made, all owned here.
class TScene {
public:
    explicit TScene(TVelora* root) : root_(root), reader_(root) { nodes_.push_back(root); }

    TVelora* Reader() const { return reader_; }
    // Takes ownership of what the last kind line created.
    void Adopt(TVelora* n) {
        if (n && std::find(nodes_.begin(), nodes_.end(), n) == nodes_.end()) nodes_.push_back(n);
    }

    void Run(FuzzedDataProvider& in, TPbox& view, TNullPaintBox& box) {
        while (in.remaining_bytes() > 0) {
            try {
                Op(in, view, box);
            } catch (const EQuenlo&) {
            }
        }
    }

    // Frees every node, in the order they came, whatever links remain.
    void TearDown() {
        for (TVelora* n : nodes_) TVeloraDeleter()(n);
        nodes_.clear();
    }

private:
    TVelora* Pick(FuzzedDataProvider& in) const {
        return nodes_[in.ConsumeIntegralInRange<size_t>(0, nodes_.size() - 1)];
    }
    void Forget(TVelora* n) {
        std::erase(nodes_, n);
        if (reader_ == n) reader_ = root_;
    }

    void Op(FuzzedDataProvider& in, TPbox& view, TNullPaintBox& box) {
        TVelora* a = Pick(in);
        switch (in.ConsumeIntegralInRange<int>(0, 12)) {
            case 0:
                a->Unlink();
                break;
            case 1:  // the checked way: refused while a has children
                if (a == root_) break;
                a->Destroy();
                Forget(a);
                break;
            case 2:  // the owner's way: children become roots
                if (a == root_) break;
                TVeloraDeleter()(a);
                Forget(a);
                break;
            case 3:
                a->MoveAfter(Pick(in));
                break;
            case 4:
                Pick(in)->AddChild(a);
                break;
            case 5:
                view.SetRoot(in.ConsumeBool() ? a : nullptr);
                view.AdoptRootSize();
                break;
            case 6:
                if (in.ConsumeBool())
                    a->AttachView(&view);
                else
                    a->DetachView();
                break;
            case 7:
                reader_ = a;
                break;
            case 8: {  // a pointer event, hovering and capturing
                const TShiftState buttons = in.ConsumeIntegralInRange<TShiftState>(0, 3) << 3;
                const int32_t x = in.ConsumeIntegralInRange<int32_t>(-8, 200);
                const int32_t y = in.ConsumeIntegralInRange<int32_t>(-8, 200);
                const auto button = in.ConsumeBool() ? TMouseButton::Left : TMouseButton::Right;
                switch (in.ConsumeIntegralInRange<int>(0, 2)) {
                    case 0: if (box.handlers.MouseDown) box.handlers.MouseDown(button, buttons, x, y); break;
                    case 1: if (box.handlers.MouseMove) box.handlers.MouseMove(buttons, x, y); break;
                    default: if (box.handlers.MouseUp) box.handlers.MouseUp(button, buttons, x, y); break;
                }
                break;
            }
            case 9: {  // a paint event on part of the control
                const TRect saved = box.clip;
                const int32_t x = in.ConsumeIntegralInRange<int32_t>(-8, 200);
                const int32_t y = in.ConsumeIntegralInRange<int32_t>(-8, 200);
                box.clip = MakeRect(x, y, x + in.ConsumeIntegralInRange<int32_t>(0, kMaxClip),
                                    y + in.ConsumeIntegralInRange<int32_t>(0, kMaxClip));
                if (box.handlers.Paint) box.handlers.Paint();
                box.clip = saved;
                break;
            }
            case 10:
                view.SetZoom(in.ConsumeIntegralInRange<int32_t>(kMinZoom, kMaxZoom));
                break;
            case 11:
                a->FindNodeAt({in.ConsumeIntegralInRange<int32_t>(-8, 200),
                               in.ConsumeIntegralInRange<int32_t>(-8, 200)});
                break;
            default: {
                TPixelMapRGB map;
                map.SetSize(24, 20);
                map.Left = in.ConsumeIntegralInRange<int32_t>(-8, 200);
                map.Top = in.ConsumeIntegralInRange<int32_t>(-8, 200);
                a->RenderInto(map);
                break;
            }
        }
    }

    TVelora* const root_;  // reads the script; never freed before the end
    TVelora* reader_;
    std::vector<TVelora*> nodes_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::RegisterBudgetKinds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxText) return -1;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    int lines = 0;
    for (char c : text) lines += c == '\n';
    if (lines > kMaxLines) return -1;

    fuzz::PixelBudget() = fuzz::kMaxPixels;
    TVelora* root = MakeVelora<fuzz::TBudgetKind<TVlxImg>>().release();
    TScene scene(root);
    TNullPaintBox box;
    // Half of the inputs take the view down after the nodes.
    auto view = std::make_unique<TPbox>(&box);
    const bool viewLast = size % 2 == 1;

    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line[0] == '@') {
            FuzzedDataProvider ops(reinterpret_cast<const uint8_t*>(line.data() + 1), line.size() - 1);
            scene.Run(ops, *view, box);
            continue;
        }
        TVelora* reader = scene.Reader();
        try {
            reader->ParseLine(line);
        } catch (const EQuenlo&) {
        }
        scene.Adopt(reader->ParseLast);
    }

    for (int pass = 0; pass < 2; ++pass) {
        TPixelMapRGB map;
        map.SetSize(48, 40);
        // First the scene's top-left corner, then a window half off it.
        map.Left = pass == 0 ? 0 : Near(root->Width, -20);
        map.Top = pass == 0 ? 0 : Near(root->Height, -15);
        root->RenderInto(map);
    }
    try {
        view->RepaintAll();
    } catch (const EQuenlo&) {
    }

    if (!viewLast) view.reset();
    scene.TearDown();
    view.reset();
    return 0;
}

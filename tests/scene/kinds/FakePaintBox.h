#pragma once
// A paint box without a window: a B,G,R screen buffer that the view's copies
// land on, with paint and mouse events sent by the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "low/VeloreLow.h"
#include "scene/kinds/Pbox.h"

namespace quenlo::test {

class TFakePaintBox : public IPaintBoxPlatform {
public:
    // Screen pixels no copy has reached yet.
    static constexpr TColor kUnpainted = 0x00FF00FF;

    struct TCopy {
        TRect Src;
        TRect Dst;
        int32_t ImageWidth;
        int32_t ImageHeight;
        int32_t Stride;
    };

    void SetControlWidth(int32_t w) override {
        width_ = w;
        ClearScreen();
    }
    void SetControlHeight(int32_t h) override {
        height_ = h;
        ClearScreen();
    }

    TRect ClipRect() const override { return clip_ ? *clip_ : MakeRect(0, 0, width_, height_); }

    // Nearest-neighbour stretch, as a toolkit without smoothing does it.
    void StretchCopy(const TBgrImage& image, const TRect& src, const TRect& dst) override {
        copies.push_back({src, dst, image.Width, image.Height, image.Stride});
        EXPECT_EQ(image.Stride % 4, 0);
        EXPECT_GE(image.Stride, image.Width * 3);
        EXPECT_TRUE(src.Left >= 0 && src.Top >= 0 && src.Right <= image.Width &&
                    src.Bottom <= image.Height && src.Left < src.Right && src.Top < src.Bottom)
            << "source outside the image";
        const int64_t sw = src.Right - src.Left, sh = src.Bottom - src.Top;
        const int64_t dw = dst.Right - dst.Left, dh = dst.Bottom - dst.Top;
        if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return;
        // During a paint event only the clip reaches the screen.
        const TRect c = ClipRect();
        for (int32_t y = std::max({dst.Top, c.Top, 0}); y < std::min({dst.Bottom, c.Bottom, height_}); ++y) {
            const int64_t sy = src.Top + (y - dst.Top) * sh / dh;
            for (int32_t x = std::max({dst.Left, c.Left, 0}); x < std::min({dst.Right, c.Right, width_}); ++x) {
                const int64_t sx = src.Left + (x - dst.Left) * sw / dw;
                const uint8_t* s = image.Bits + sy * image.Stride + sx * 3;
                uint8_t* d = &screen_[(size_t(y) * width_ + x) * 3];
                d[0] = s[0], d[1] = s[1], d[2] = s[2];
            }
        }
    }

    void ProcessPendingEvents() override {
        ++processCalls;
        if (onProcess) onProcess();
    }

    void HookEvents(TPaintBoxHandlers h) override { hooked = std::move(h); }
    void UnhookEvents() override { hooked = {}; }

    // ---- Events as the platform raises them ----
    void SendPaint(const TRect& clip) {
        clip_ = clip;
        if (hooked.Paint) hooked.Paint();
        clip_.reset();
    }
    void SendDown(TMouseButton b, TShiftState s, int32_t x, int32_t y) {
        if (hooked.MouseDown) hooked.MouseDown(b, s, x, y);
    }
    void SendMove(TShiftState s, int32_t x, int32_t y) {
        if (hooked.MouseMove) hooked.MouseMove(s, x, y);
    }
    void SendUp(TMouseButton b, TShiftState s, int32_t x, int32_t y) {
        if (hooked.MouseUp) hooked.MouseUp(b, s, x, y);
    }

    bool IsHooked() const {
        return hooked.Paint && hooked.MouseDown && hooked.MouseMove && hooked.MouseUp;
    }
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    TColor ScreenPixel(int32_t x, int32_t y) const {
        const uint8_t* p = &screen_[(size_t(y) * width_ + x) * 3];
        return TColor(p[2] | p[1] << 8 | p[0] << 16);
    }
    void ClearScreen() {
        screen_.assign(size_t(std::max(width_, 0)) * size_t(std::max(height_, 0)) * 3, 0);
        for (size_t i = 0; i < screen_.size(); i += 3) {
            screen_[i] = uint8_t(kUnpainted >> 16);
            screen_[i + 1] = uint8_t(kUnpainted >> 8);
            screen_[i + 2] = uint8_t(kUnpainted);
        }
    }

    std::vector<TCopy> copies;
    int processCalls = 0;
    std::function<void()> onProcess;
    TPaintBoxHandlers hooked;

private:
    int32_t width_ = -1;  // never set
    int32_t height_ = -1;
    std::optional<TRect> clip_;
    std::vector<uint8_t> screen_;
};

}  // namespace quenlo::test

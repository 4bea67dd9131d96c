#pragma once
// In-memory raster images in four pixel formats, each with a current pen.
// Rows are packed (Stride = Width * BytesPerPixel), top row first.
#include <cstdint>
#include <memory>

#include "low/Types.h"
#include "pixelmap/Color.h"

namespace quenlo {

enum class PixelKind : uint8_t { RGB, Gray, WGray, ARGB };

class TPixelMap {
public:
    virtual ~TPixelMap() = default;
    TPixelMap(const TPixelMap&) = delete;
    TPixelMap& operator=(const TPixelMap&) = delete;

    virtual PixelKind Kind() const = 0;
    // A new empty map of the same kind (the "virtual constructor").
    virtual std::unique_ptr<TPixelMap> CreateSame() const = 0;

    // Discards the pixels and allocates W*H*BytesPerPixel bytes, not cleared.
    // Throws EInvalidImageSize for a negative size or a byte count (of the
    // map or of one row) above INT32_MAX; on any failure the map is left
    // empty (0 x 0).
    virtual void SetSize(int32_t w, int32_t h);
    virtual bool InMap(int32_t x, int32_t y) const;
    virtual TColor GetPenColor() const = 0;
    virtual void SetPenColor(TColor c) = 0;
    virtual void GetRect(int32_t x, int32_t y, int32_t w, int32_t h, TPixelMap& dest) const;
    virtual void PutRect(int32_t x, int32_t y, int32_t w, int32_t h, const TPixelMap& src);
    virtual void FillRect(int32_t x, int32_t y, int32_t w, int32_t h);
    virtual void PutPixel(int32_t x, int32_t y);
    // Copies the pixel into Pen. Unchecked: (x, y) must be inside.
    virtual void GetPixel(int32_t x, int32_t y);
    virtual void Clear();
    // weight 0..65535: 0 keeps the pixel, 65535 is the pen alone.
    virtual void BlendPixel(int32_t x, int32_t y, uint32_t weight);
    virtual void BlendPixelF(int32_t x, int32_t y, float alpha);
    // Left, Top to the last pixel; an edge past INT32_MAX stops there.
    virtual void GetBounds(TRect& r) const;
    virtual void DrawSpot(int kind, float x, float y, float radius, float soft, float alpha);

    void SetBounds(const TRect& r);
    TRect Bounds() const { TRect r; TPixelMap::GetBounds(r); return r; }
    void CopyRect(int32_t srcX, int32_t srcY, int32_t dstX, int32_t dstY, int32_t w, int32_t h,
                  const TPixelMap& src);
    void PlotSpotAA(float x, float y, float alpha);
    void DrawLineAA(bool skipFirst, float x1, float y1, float x2, float y2, float alpha);
    void DrawGaussSpot(float x, float y, float radius, float soft, float alpha);

    // Unchecked row and pixel addresses.
    uint8_t* ScanLine(int32_t y) { return data_.get() + static_cast<ptrdiff_t>(y) * stride_; }
    const uint8_t* ScanLine(int32_t y) const { return data_.get() + static_cast<ptrdiff_t>(y) * stride_; }
    uint8_t* PixelAddr(int32_t x, int32_t y) { return ScanLine(y) + static_cast<ptrdiff_t>(x) * bpp_; }
    const uint8_t* PixelAddr(int32_t x, int32_t y) const { return ScanLine(y) + static_cast<ptrdiff_t>(x) * bpp_; }

    uint8_t* Data() { return data_.get(); }
    const uint8_t* Data() const { return data_.get(); }
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t MaxX() const { return width_ - 1; }
    int32_t MaxY() const { return height_ - 1; }
    int32_t Stride() const { return stride_; }
    int32_t DataSize() const { return dataSize_; }
    uint8_t BytesPerPixel() const { return bpp_; }

    // Position of pixel (0, 0) in the area the map was cut from; addressing ignores it.
    int32_t Left = 0;
    int32_t Top = 0;
    bool WrapX = false;
    bool WrapY = false;
    // The drawing value, laid out like one pixel; the first BytesPerPixel bytes are written.
    uint8_t Pen[4] = {0, 0, 0, 0};

    // Bytes for a w x h map of bpp bytes per pixel, or throws EInvalidImageSize.
    static int32_t CheckedDataSize(int64_t w, int64_t h, int bpp);

protected:
    explicit TPixelMap(uint8_t bytesPerPixel) : bpp_(bytesPerPixel) {}

private:
    struct FreeBuffer {
        void operator()(uint8_t* p) const noexcept;
    };
    std::unique_ptr<uint8_t, FreeBuffer> data_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t stride_ = 0;
    int32_t dataSize_ = 0;
    uint8_t bpp_;
};

// 3 bytes a pixel: blue, green, red.
class TPixelMapRGB : public TPixelMap {
public:
    TPixelMapRGB() : TPixelMap(3) {}
    PixelKind Kind() const override { return PixelKind::RGB; }
    std::unique_ptr<TPixelMap> CreateSame() const override { return std::make_unique<TPixelMapRGB>(); }
    TColor GetPen() const;
    void SetPen(TColor c);
    TColor GetPenColor() const override { return GetPen(); }
    void SetPenColor(TColor c) override { SetPen(c); }
    void BlendPixel(int32_t x, int32_t y, uint32_t weight) override;
};

// 1 byte a pixel: level 0 black .. 255 white.
class TPixelMapGray : public TPixelMap {
public:
    TPixelMapGray() : TPixelMap(1) {}
    PixelKind Kind() const override { return PixelKind::Gray; }
    std::unique_ptr<TPixelMap> CreateSame() const override { return std::make_unique<TPixelMapGray>(); }
    uint32_t GetPen() const { return Pen[0]; }
    void SetPen(uint32_t level) { Pen[0] = static_cast<uint8_t>(level); }
    TColor GetPenColor() const override;
    void SetPenColor(TColor c) override;
    void BlendPixel(int32_t x, int32_t y, uint32_t weight) override;
};

// 2 bytes a pixel: a little-endian level 0..65535.
class TPixelMapWGray : public TPixelMap {
public:
    TPixelMapWGray() : TPixelMap(2) {}
    PixelKind Kind() const override { return PixelKind::WGray; }
    std::unique_ptr<TPixelMap> CreateSame() const override { return std::make_unique<TPixelMapWGray>(); }
    uint32_t GetPen() const { return Pen[0] | Pen[1] << 8; }
    void SetPen(uint32_t level) { Pen[0] = static_cast<uint8_t>(level); Pen[1] = static_cast<uint8_t>(level >> 8); }
    TColor GetPenColor() const override;
    void SetPenColor(TColor c) override;
    void BlendPixel(int32_t x, int32_t y, uint32_t weight) override;
};

// 4 bytes a pixel: blue, green, red, alpha (0 transparent .. 255 opaque).
class TPixelMapARGB : public TPixelMap {
public:
    enum : uint8_t { ModeAll = 0, ModeColor = 1, ModeAlpha = 2 };

    TPixelMapARGB() : TPixelMap(4) {}
    PixelKind Kind() const override { return PixelKind::ARGB; }
    std::unique_ptr<TPixelMap> CreateSame() const override { return std::make_unique<TPixelMapARGB>(); }
    TColor GetPen() const;
    void SetPen(TColor c);
    TColor GetPenColor() const override;
    void SetPenColor(TColor c) override;
    void BlendPixel(int32_t x, int32_t y, uint32_t weight) override;
    TColor GetPixelColor(int32_t x, int32_t y) const;
    // Smallest rectangle holding every pixel with non-zero alpha; right < left
    // when there is none. Leaves PenMode at ModeColor.
    void GetAlphaBounds(TRect& r);

    // Which channels the pen accessors and BlendPixel work on.
    uint8_t PenMode = ModeAll;
};

std::unique_ptr<TPixelMap> CreatePixelMap(PixelKind kind);

// The BlendPixel weight (0..65535) that BlendPixelF gives alpha.
uint32_t BlendWeight(float alpha);

}  // namespace quenlo

// JPEG images through libjpeg: baseline, progressive, greyscale and CMYK files decode to a
// 24-bit bitmap; saving writes a baseline colour JFIF file.
#pragma once

#include <functional>
#include <utility>

#include "bitmap.h"
#include "graphic.h"

// Our own refusals; the library's errors carry its message texts.
inline constexpr const char* SJpegBadSize = "Bogus JPEG image size";
inline constexpr const char* SJpegTooManyScans = "JPEG image has more than %d scans";

class TJPEGImage : public TGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;
    int32_t Width() const override { return FBitmap.Width(); }
    int32_t Height() const override { return FBitmap.Height(); }
    void Draw(TBitmap& target, int32_t x, int32_t y) const override { FBitmap.Draw(target, x, y); }
    // Takes a copy of a bitmap (or of any graphic, drawn onto a 24-bit bitmap) to be saved.
    void Assign(const TGraphic& source) override;

    const TBitmap& Bitmap() const { return FBitmap; }
    // The image's own size, also when it was decoded smaller.
    int32_t FullWidth() const { return FFullWidth; }
    int32_t FullHeight() const { return FFullHeight; }

    // Asked before decoding with the image's own size: the size the decoded image must at least
    // reach. The image is then decoded at the smallest of the library's scales 1/8, 2/8 ... 8/8
    // whose result is at least that large, which costs a fraction of a full decode when far
    // less is needed (thumbnails). Unset, images are decoded at full size.
    std::function<std::pair<int32_t, int32_t>(int32_t width, int32_t height)> MinimumSize;

    int CompressionQuality = 90;
    bool ProgressiveEncoding = false;
    bool Grayscale = false;

private:
    TBitmap FBitmap;
    int32_t FFullWidth = 0;
    int32_t FFullHeight = 0;
};

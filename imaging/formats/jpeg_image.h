// JPEG images through libjpeg: baseline, progressive, greyscale and CMYK files decode to a
// 24-bit bitmap; saving writes a baseline colour JFIF file.
#pragma once

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

    int CompressionQuality = 90;
    bool ProgressiveEncoding = false;
    bool Grayscale = false;

private:
    TBitmap FBitmap;
};

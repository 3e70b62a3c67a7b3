// Windows metafiles: placeable and plain WMF files and EMF files. Loading keeps the file's
// bytes and works out the picture's size; drawing replays the records onto a bitmap.
//
// Size in pixels, at 96 pixels per inch:
// - placeable WMF: the bounding box, (right - left) x 96 / units per inch, rounded to nearest;
// - plain WMF: the extent of the first window-extent record, one logical unit to a pixel
//   (such files carry no unit); a plain WMF without a window extent is refused;
// - EMF: the frame rectangle, whose edges are inclusive, so (right - left + 1) hundredths of
//   a millimetre; when the frame is empty, the bounds rectangle in reference-device pixels,
//   again inclusive. Never less than one pixel.
// Whatever the kind, a picture larger than MaxPictureSide pixels on its longer side is scaled
// down to that, keeping its proportions: a few bytes of records can claim any size, and the
// browser renders every picture in full.
// Drawing maps the frame (bounding box, window, EMF frame) onto the picture's rectangle at
// (x, y); an EMF whose bounds lie mostly outside its frame has its bounds mapped there instead.
// Drawing paints only inside the picture's rectangle; pixels the records do not reach keep their
// colour. Text is drawn with the installed fonts (metafile_text.h). Not drawn: old
// device-dependent bitmaps, and text inside paths. A record whose
// contents do not hold together ends the drawing quietly; a header that does not, or a record
// that claims more than the file holds (or too little to be stepped over), raises
// EInvalidGraphic "Metafile is not valid" at load.
#pragma once

#include <cstdint>
#include <vector>

#include "bitmap.h"
#include "graphic.h"

inline constexpr const char* SInvalidMetafile = "Metafile is not valid";

class TMetafile : public TGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    static constexpr int32_t MaxPictureSide = 2048;

    void LoadFromStream(TStream& stream) override;
    int32_t Width() const override { return FWidth; }
    int32_t Height() const override { return FHeight; }
    void Draw(TBitmap& target, int32_t x, int32_t y) const override;

    // True for EMF files, false for WMF files.
    bool Enhanced() const { return FEnhanced; }

private:
    void LoadWmf(size_t start);
    void LoadEmf();
    void LimitPictureSize();

    std::vector<uint8_t> FData;
    bool FEnhanced = false;
    int32_t FWidth = 0;
    int32_t FHeight = 0;
    // The picture's frame in the metafile's device units, and device units per millimetre.
    double FFrameLeft = 0, FFrameTop = 0, FFrameRight = 0, FFrameBottom = 0;
    double FDevicePerMmX = 1, FDevicePerMmY = 1;
    size_t FRecordsStart = 0;  // WMF: first record after the headers
    uint32_t FObjectCount = 0;
};

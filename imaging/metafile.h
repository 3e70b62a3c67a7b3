// Windows metafiles: placeable and plain WMF files and EMF files.
#pragma once

#include <cstdint>
#include <vector>

#include "bitmap.h"
#include "graphic.h"

class TMetafile : public TGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    void LoadFromStream(TStream& stream) override;
    int32_t Width() const override { return FWidth; }
    int32_t Height() const override { return FHeight; }
    void Draw(TBitmap& target, int32_t x, int32_t y) const override;

private:
    std::vector<uint8_t> FData;
    int32_t FWidth = 0;
    int32_t FHeight = 0;
};

// Windows icon files (".ico"): every entry size up to 256, 1 to 32 bits with AND mask and
// alpha. The icon is drawn from its largest, deepest entry.
#pragma once

#include "bitmap.h"
#include "graphic.h"

class TIcon : public TGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    void LoadFromStream(TStream& stream) override;
    int32_t Width() const override { return FImage.Width(); }
    int32_t Height() const override { return FImage.Height(); }
    // Composites the chosen entry onto the target: alpha-blended for 32-bit entries, through
    // the AND mask for the others (masked pixels leave the target as it was).
    void Draw(TBitmap& target, int32_t x, int32_t y) const override;

    // The chosen entry as a 32-bit bitmap with straight alpha (mask folded into alpha).
    const TBitmap& Image() const { return FImage; }

private:
    TBitmap FImage;
};

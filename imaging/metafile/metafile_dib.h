// Device-independent bitmaps as metafile records embed them: a header with its colour table,
// and the pixel bits, decoded into 32-bit pixels for the record players.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graphic.h"

struct TMetaDib {
    int32_t Width = 0;
    int32_t Height = 0;
    // Rows are stored bottom row first in the record; the blit records count source rows from
    // the bottom for such bitmaps.
    bool BottomUp = true;
    // Set when some pixels carry alpha 0 that means "leave the target": RLE skips.
    bool Masked = false;
    // True 32-bit sources whose fourth byte holds alpha (used by alpha blending only).
    bool HasAlpha = false;
    std::vector<uint32_t> Pixels;  // a TColor with alpha in the top byte (0xAABBGGRR), rows top-down

    uint32_t At(int32_t x, int32_t y) const {
        return Pixels[static_cast<size_t>(y) * static_cast<size_t>(Width) + static_cast<size_t>(x)];
    }
};

// How a colour table stores its entries: RGB quads, or 16-bit indices into the logical palette
// selected at the time.
enum class TDibColorUsage { RgbColors, PaletteIndices };

// Decodes a bitmap header (with colour table and masks) held in info[0, infoSize) and its bits
// in bits[0, bitsSize). Returns false for headers it does not understand and for bits that are
// shorter than the header claims; nothing is read outside the two ranges.
bool DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize, TDibColorUsage usage,
               const std::vector<TColor>& palette, TMetaDib& out);

// The same for a packed bitmap: header, colour table and bits one after the other.
bool DecodePackedDib(const uint8_t* data, size_t size, TDibColorUsage usage, const std::vector<TColor>& palette,
                     TMetaDib& out);

#include "metafile_dib.h"

#include <algorithm>
#include <cstring>

#include "bitmap.h"

namespace {

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

struct TDibHeader {
    uint32_t HeaderSize = 0;
    int64_t Width = 0, Height = 0;
    uint32_t BitCount = 0, Compression = 0, ColorsUsed = 0;
    bool Core = false;
    uint32_t Masks[4] = {0, 0, 0, 0};
    size_t MaskBytesAfterHeader = 0;  // masks that follow a 40-byte header
    size_t TableEntries = 0;

    size_t EntrySize(TDibColorUsage usage) const { return usage == TDibColorUsage::PaletteIndices ? 2 : (Core ? 3 : 4); }
    size_t InfoSize(TDibColorUsage usage) const {
        return HeaderSize + MaskBytesAfterHeader + TableEntries * EntrySize(usage);
    }
};

bool ParseHeader(const uint8_t* info, size_t infoSize, TDibHeader& h) {
    if (infoSize < 12) return false;
    h.HeaderSize = U32(info);
    if (h.HeaderSize == 12) {
        h.Core = true;
        h.Width = U16(info + 4);
        h.Height = U16(info + 6);
        h.BitCount = U16(info + 10);
    } else if (h.HeaderSize >= 40 && h.HeaderSize <= infoSize) {
        h.Width = static_cast<int32_t>(U32(info + 4));
        h.Height = static_cast<int32_t>(U32(info + 8));
        h.BitCount = U16(info + 14);
        h.Compression = U32(info + 16);
        h.ColorsUsed = U32(info + 32);
    } else {
        return false;
    }
    switch (h.Compression) {
        case BI_RGB:
            if (h.BitCount != 1 && h.BitCount != 4 && h.BitCount != 8 && h.BitCount != 16 && h.BitCount != 24 &&
                h.BitCount != 32)
                return false;
            break;
        case BI_RLE8: if (h.BitCount != 8) return false; break;
        case BI_RLE4: if (h.BitCount != 4) return false; break;
        case BI_BITFIELDS: if (h.BitCount != 16 && h.BitCount != 32) return false; break;
        default: return false;  // embedded JPEG or PNG streams are not drawn
    }
    if (h.Compression == BI_BITFIELDS) {
        if (h.HeaderSize >= 52) {
            for (int i = 0; i < 3; ++i) h.Masks[i] = U32(info + 40 + 4 * i);
            if (h.HeaderSize >= 56) h.Masks[3] = U32(info + 52);
        } else {
            h.MaskBytesAfterHeader = 12;
            if (infoSize < h.HeaderSize + 12) return false;
            for (int i = 0; i < 3; ++i) h.Masks[i] = U32(info + h.HeaderSize + 4 * i);
        }
    } else if (h.BitCount == 16) {
        h.Masks[0] = 0x7C00, h.Masks[1] = 0x03E0, h.Masks[2] = 0x001F;
    } else if (h.BitCount == 32) {
        h.Masks[0] = 0xFF0000, h.Masks[1] = 0xFF00, h.Masks[2] = 0xFF;
    }
    if (h.BitCount <= 8) {
        size_t full = size_t{1} << h.BitCount;
        if (h.ColorsUsed > full) return false;
        h.TableEntries = h.ColorsUsed ? h.ColorsUsed : full;
    } else if (h.ColorsUsed <= 256) {
        h.TableEntries = h.ColorsUsed;  // an optional palette hint that precedes the bits
    } else {
        return false;
    }
    return h.Width > 0 && h.Height != 0 && h.Height != INT32_MIN;
}

// Scales a masked channel to 8 bits.
uint32_t Channel(uint32_t value, uint32_t mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0) ++shift;
    const uint64_t m = mask >> shift, v = (value & mask) >> shift;
    return static_cast<uint32_t>((v * 255 + m / 2) / m);
}

void DecodeRle(const uint8_t* bits, size_t size, bool four, const std::vector<uint32_t>& table, TMetaDib& out) {
    // Rows count from the bottom; pixels that no code reaches stay transparent.
    int64_t x = 0, row = 0;
    size_t i = 0;
    auto put = [&](uint32_t index) {
        if (x < out.Width && row < out.Height) {
            int64_t y = out.BottomUp ? out.Height - 1 - row : row;
            out.Pixels[static_cast<size_t>(y * out.Width + x)] = index < table.size() ? table[index] : 0xFF000000u;
        }
        ++x;
    };
    while (i + 1 < size && row < out.Height) {
        uint8_t count = bits[i], value = bits[i + 1];
        i += 2;
        if (count > 0) {
            for (int k = 0; k < count && x < out.Width; ++k) put(four ? ((k & 1) ? value & 15 : value >> 4) : value);
        } else if (value == 0) {
            x = 0, ++row;
        } else if (value == 1) {
            return;
        } else if (value == 2) {
            if (i + 1 >= size) return;
            x += bits[i], row += bits[i + 1];
            i += 2;
        } else {
            size_t bytes = four ? (value + 1u) / 2 : value;
            if (i + bytes > size) return;
            for (int k = 0; k < value; ++k) {
                uint8_t b = bits[i + (four ? static_cast<size_t>(k / 2) : static_cast<size_t>(k))];
                put(four ? ((k & 1) ? b & 15 : b >> 4) : b);
            }
            i += (bytes + 1) & ~size_t{1};
        }
    }
}

}  // namespace

bool DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize, TDibColorUsage usage,
               const std::vector<TColor>& palette, TMetaDib& out) {
    TDibHeader h;
    if (!ParseHeader(info, infoSize, h)) return false;
    const size_t tableStart = h.HeaderSize + h.MaskBytesAfterHeader;
    const size_t entry = h.EntrySize(usage);
    std::vector<uint32_t> table;
    if (h.BitCount <= 8) {
        table.assign(h.TableEntries, 0xFF000000u);
        for (size_t k = 0; k < h.TableEntries && tableStart + (k + 1) * entry <= infoSize; ++k) {
            const uint8_t* e = info + tableStart + k * entry;
            if (usage == TDibColorUsage::PaletteIndices) {
                uint16_t index = U16(e);
                TColor c = index < palette.size() ? palette[index] : 0;
                table[k] = 0xFF000000u | (c & 0xFFFFFFu);
            } else {
                table[k] = 0xFF000000u | RGBColor(e[2], e[1], e[0]);
            }
        }
    }

    const int64_t width = h.Width, height = h.Height < 0 ? -h.Height : h.Height;
    const int64_t pixels = width * height;
    if (pixels > MaxBitmapBytes / 4) return false;
    const int64_t stride = (width * h.BitCount + 31) / 32 * 4;
    const bool rle = h.Compression == BI_RLE8 || h.Compression == BI_RLE4;
    // Run-length bits expand at most about 128 pixels per byte, and skips go further still;
    // the bound keeps a tiny record from asking for a huge picture.
    if (rle ? pixels > static_cast<int64_t>(bitsSize) * 256 + (int64_t{1} << 20)
            : stride * height > static_cast<int64_t>(bitsSize))
        return false;

    out.Width = static_cast<int32_t>(width);
    out.Height = static_cast<int32_t>(height);
    out.BottomUp = h.Height > 0;
    out.Masked = rle;
    out.HasAlpha = false;
    out.Pixels.assign(static_cast<size_t>(pixels), rle ? 0u : 0xFF000000u);
    if (rle) {
        DecodeRle(bits, bitsSize, h.Compression == BI_RLE4, table, out);
        return true;
    }

    bool anyAlpha = false;
    for (int64_t row = 0; row < height; ++row) {
        const uint8_t* src = bits + row * stride;
        const int64_t y = out.BottomUp ? height - 1 - row : row;
        uint32_t* dst = out.Pixels.data() + y * width;
        for (int64_t x = 0; x < width; ++x) {
            uint32_t c;
            switch (h.BitCount) {
                case 1:
                case 4:
                case 8: {
                    const int bpp = static_cast<int>(h.BitCount);
                    const int64_t bit = x * bpp;
                    const unsigned index = (src[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
                    c = index < table.size() ? table[index] : 0xFF000000u;
                    break;
                }
                case 16:
                case 32: {
                    const uint32_t v = h.BitCount == 16 ? U16(src + 2 * x) : U32(src + 4 * x);
                    c = Channel(v, h.Masks[0]) | (Channel(v, h.Masks[1]) << 8) | (Channel(v, h.Masks[2]) << 16);
                    uint32_t alpha = 255;
                    if (h.BitCount == 32 && h.Compression == BI_RGB) alpha = v >> 24;
                    else if (h.Masks[3]) alpha = Channel(v, h.Masks[3]);
                    anyAlpha |= alpha != 0;
                    c |= alpha << 24;
                    break;
                }
                default: c = 0xFF000000u | RGBColor(src[3 * x + 2], src[3 * x + 1], src[3 * x]);
            }
            dst[x] = c;
        }
    }
    if (h.BitCount == 32) {
        // A fourth byte that is zero everywhere is padding, not transparency.
        out.HasAlpha = anyAlpha;
        if (!anyAlpha)
            for (uint32_t& p : out.Pixels) p |= 0xFF000000u;
    }
    return true;
}

bool DecodePackedDib(const uint8_t* data, size_t size, TDibColorUsage usage, const std::vector<TColor>& palette,
                     TMetaDib& out) {
    TDibHeader h;
    if (!ParseHeader(data, size, h)) return false;
    const size_t infoSize = h.InfoSize(usage);
    if (infoSize > size) return false;
    return DecodeDib(data, infoSize, data + infoSize, size - infoSize, usage, palette, out);
}

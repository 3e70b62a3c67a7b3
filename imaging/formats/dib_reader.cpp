#include "dib_reader.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "exceptions.h"
#include "streams.h"

namespace {

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }

bool IsContiguous(uint32_t mask) {
    uint32_t lowest = mask & (~mask + 1);
    return ((mask + lowest) & mask) == 0;
}

// Masks must fit the pixel, form one run of bits each and not overlap.
bool ValidMasks(const uint32_t masks[4], int bits) {
    uint32_t limit = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    uint32_t seen = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t m = masks[i];
        if ((m & ~limit) != 0 || (m & seen) != 0 || !IsContiguous(m)) return false;
        seen |= m;
    }
    return true;
}

bool IsStandard32(const TDibInfo& info) {
    const uint32_t* m = info.Masks;
    return m[0] == 0x00FF0000 && m[1] == 0x0000FF00 && m[2] == 0x000000FF && (m[3] == 0 || m[3] == 0xFF000000);
}

// One channel of a bit-field pixel: where it sits and how it becomes 8 bits. Narrow channels
// are scaled with rounding so that their maximum becomes 255; wide ones keep their top 8 bits.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;

    explicit TChannel(uint32_t mask) : Mask(mask) {
        if (mask == 0) return;
        while (((mask >> Shift) & 1) == 0) ++Shift;
        while (Shift + Bits < 32 && ((mask >> (Shift + Bits)) & 1) != 0) ++Bits;
    }

    uint8_t Extract(uint32_t pixel) const {
        const uint32_t v = (pixel & Mask) >> Shift;
        if (Bits >= 8) return static_cast<uint8_t>(v >> (Bits - 8));
        if (Bits == 0) return 0;
        const uint32_t max = (1u << Bits) - 1;
        return static_cast<uint8_t>((v * 255 + max / 2) / max);
    }
};

void SetAlpha(TBitmap& bitmap, uint8_t alpha) {
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        uint8_t* p = bitmap.ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width(); ++x) p[4 * static_cast<size_t>(x) + 3] = alpha;
    }
}

void MakeOpaqueIfAlphaZero(TBitmap& bitmap) {
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* p = bitmap.ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width(); ++x)
            if (p[4 * static_cast<size_t>(x) + 3] != 0) return;
    }
    SetAlpha(bitmap, 255);
}

}  // namespace

void CheckBitmapBound(int32_t width, int32_t height, TPixelFormat format) {
    int64_t stride = ((static_cast<int64_t>(width) * BitsPerPixelOf(format) + 31) / 32) * 4;
    if (stride > 0 && height > MaxBitmapBytes / stride) throw EOutOfResources(Format(SImageTooLarge, width, height));
}

bool TDibReader::IsKnownHeaderSize(uint32_t size) {
    switch (size) {
        case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124: return true;
        default: return false;
    }
}

void TDibReader::Invalid() const { throw EInvalidGraphic(FInvalidMessage); }

void TDibReader::Need(int64_t count) {
    if (count < 0 || FStream.Remaining() < count) Invalid();
}

TDibInfo TDibReader::ReadInfo(bool iconEntry, int64_t pixelStart) {
    uint8_t h[124] = {};
    Need(4);
    FStream.ReadBuffer(h, 4);
    TDibInfo info;
    info.HeaderSize = GetU32(h);
    if (!IsKnownHeaderSize(info.HeaderSize)) Invalid();
    Need(info.HeaderSize - 4);
    FStream.ReadBuffer(h + 4, info.HeaderSize - 4);

    const bool core = info.HeaderSize == 12;
    const bool os2 = info.HeaderSize == 16 || info.HeaderSize == 64;
    int64_t width, height;
    uint32_t compression = dcRGB, colorsUsed = 0, colorsImportant = 0;
    if (core) {
        width = GetU16(h + 4);
        height = GetU16(h + 6);
        info.BitCount = GetU16(h + 10);
    } else {
        width = GetI32(h + 4);
        height = GetI32(h + 8);
        info.BitCount = GetU16(h + 14);
        if (info.HeaderSize >= 20) compression = GetU32(h + 16);
        if (info.HeaderSize >= 36) colorsUsed = GetU32(h + 32);
        if (info.HeaderSize >= 40) colorsImportant = GetU32(h + 36);
    }
    if (height < 0) {
        info.TopDown = true;
        height = -height;
    }
    if (iconEntry) height /= 2;
    if (width <= 0 || height <= 0 || height > INT32_MAX) Invalid();
    info.Width = static_cast<int32_t>(width);
    info.Height = static_cast<int32_t>(height);

    switch (info.BitCount) {
        case 1: case 4: case 8: case 24: break;
        case 16: case 32: if (!core) break; [[fallthrough]];
        default: Invalid();
    }
    // OS/2 headers number their compressions differently from 3 on (Huffman, RLE24): not read.
    switch (compression) {
        case dcRGB: break;
        case dcRLE8: if (info.BitCount != 8 || iconEntry) Invalid(); break;
        case dcRLE4: if (info.BitCount != 4 || iconEntry) Invalid(); break;
        case dcBitfields: if (os2 || (info.BitCount != 16 && info.BitCount != 32)) Invalid(); break;
        default: Invalid();
    }
    info.Compression = static_cast<TDibCompression>(compression);

    const bool indexed = info.BitCount <= 8;
    const uint32_t paletteLimit = 1u << std::min(info.BitCount, 8);
    // A deeper image's palette is only a hint for indexed screens: any length is allowed.
    if (indexed && (colorsUsed > paletteLimit || colorsImportant > paletteLimit)) Invalid();

    if (info.Compression == dcBitfields) {
        if (info.HeaderSize == 40) {
            uint8_t m[12];
            Need(sizeof m);
            FStream.ReadBuffer(m, sizeof m);
            for (int i = 0; i < 3; ++i) info.Masks[i] = GetU32(m + 4 * i);
        } else {
            for (int i = 0; i < 3; ++i) info.Masks[i] = GetU32(h + 40 + 4 * i);
            if (info.HeaderSize >= 56) info.Masks[3] = GetU32(h + 52);
        }
        if (!ValidMasks(info.Masks, info.BitCount)) Invalid();
    }

    const int entrySize = core ? 3 : 4;
    const int64_t gap = pixelStart < 0 ? INT64_MAX : std::max<int64_t>(0, pixelStart - FStream.Position());
    if (!indexed) {
        // Deeper images may carry a palette too (a hint for display on indexed screens): skipped.
        const int64_t hint = std::min(static_cast<int64_t>(colorsUsed) * entrySize, gap);
        Need(hint);
        FStream.Seek(hint, TSeekOrigin::soCurrent);
        return info;
    }
    uint32_t entries = colorsUsed == 0 ? paletteLimit : colorsUsed;
    // OS/2 writers store only the entries they use; the gap before the pixels says how many.
    if ((core || os2) && gap < static_cast<int64_t>(entries) * entrySize)
        entries = static_cast<uint32_t>(gap / entrySize);
    uint8_t pal[256 * 4];
    Need(static_cast<int64_t>(entries) * entrySize);
    FStream.ReadBuffer(pal, static_cast<int64_t>(entries) * entrySize);
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* e = pal + i * entrySize;
        info.Palette.Add(e[2], e[1], e[0]);
    }
    return info;
}

TPixelFormat TDibReader::TargetFormat(const TDibInfo& info) {
    switch (info.BitCount) {
        case 1: return pf1bit;
        case 4: return pf4bit;
        case 8: return pf8bit;
        case 32: return pf32bit;
        case 16: {
            if (info.Compression != dcBitfields) return pf15bit;
            const uint32_t* m = info.Masks;
            if (m[3] != 0) return pf32bit;
            if (m[0] == 0x7C00 && m[1] == 0x03E0 && m[2] == 0x001F) return pf15bit;
            if (m[0] == 0xF800 && m[1] == 0x07E0 && m[2] == 0x001F) return pf16bit;
            return pf24bit;
        }
        default: return pf24bit;
    }
}

void TDibReader::ReadPixels(const TDibInfo& info, TBitmap& bitmap, bool storedAlpha) {
    CheckBitmapBound(info.Width, info.Height, TargetFormat(info));
    if (info.Compression == dcRLE4 || info.Compression == dcRLE8)
        ReadRunLength(info, bitmap);
    else
        ReadUncompressed(info, bitmap, storedAlpha);
}

void TDibReader::ReadUncompressed(const TDibInfo& info, TBitmap& bitmap, bool storedAlpha) {
    const int64_t fileStride = ((static_cast<int64_t>(info.Width) * info.BitCount + 31) / 32) * 4;
    const int64_t rowBytes = (static_cast<int64_t>(info.Width) * info.BitCount + 7) / 8;
    // Checked before allocating; the last row's padding is often left out.
    Need(fileStride * (info.Height - 1) + rowBytes);

    const TPixelFormat format = TargetFormat(info);
    bitmap.SetPixelFormat(format);
    bitmap.SetSize(info.Width, info.Height);
    if (info.BitCount <= 8) bitmap.SetPalette(info.Palette);

    const bool hasAlphaMask = info.Compression == dcBitfields && info.Masks[3] != 0;
    bool direct = true;
    if (info.BitCount == 16) direct = format == pf15bit || format == pf16bit;
    if (info.BitCount == 32) direct = info.Compression == dcRGB || IsStandard32(info);

    std::vector<uint8_t> row;
    if (!direct) row.resize(static_cast<size_t>(fileStride));
    const TChannel red(info.Masks[0]), green(info.Masks[1]), blue(info.Masks[2]), alpha(info.Masks[3]);
    const size_t outBytes = format == pf32bit ? 4 : 3;

    for (int32_t i = 0; i < info.Height; ++i) {
        const int32_t y = info.TopDown ? i : info.Height - 1 - i;
        const int64_t count = std::min<int64_t>(fileStride, FStream.Remaining());
        if (direct) {
            FStream.ReadBuffer(bitmap.ScanLine(y), std::min<int64_t>(count, static_cast<int64_t>(bitmap.RowStride())));
            continue;
        }
        FStream.ReadBuffer(row.data(), count);
        uint8_t* out = bitmap.ScanLine(y);
        for (int32_t x = 0; x < info.Width; ++x, out += outBytes) {
            const uint8_t* p = row.data() + static_cast<size_t>(x) * (info.BitCount / 8);
            const uint32_t pixel = info.BitCount == 16 ? GetU16(p) : GetU32(p);
            out[0] = blue.Extract(pixel);
            out[1] = green.Extract(pixel);
            out[2] = red.Extract(pixel);
            // Without an alpha mask nothing is stored: opaque, or for a caller that keeps stored
            // alpha, zero, which leaves the decision to its own mask.
            if (outBytes == 4) out[3] = hasAlphaMask ? alpha.Extract(pixel) : storedAlpha ? 0 : 255;
        }
    }

    if (format != pf32bit || storedAlpha) return;
    if (!hasAlphaMask)
        SetAlpha(bitmap, 255);
    else
        MakeOpaqueIfAlphaZero(bitmap);
}

// Run-length data: runs of one value, absolute runs, end of line, end of bitmap and delta
// moves. Some writers encode each row's padding too, so runs may reach into the padding of the
// stored row (those pixels are dropped), but no further; moves stay inside the image or go just
// below its last row. The data must reach an end-of-bitmap marker or the end of the last row.
// Pixels that the data skips keep index 0.
void TDibReader::ReadRunLength(const TDibInfo& info, TBitmap& bitmap) {
    const bool four = info.Compression == dcRLE4;
    bitmap.SetPixelFormat(four ? pf4bit : pf8bit);
    bitmap.SetSize(info.Width, info.Height);
    bitmap.SetPalette(info.Palette);

    std::vector<uint8_t> data(static_cast<size_t>(FStream.Remaining()));
    FStream.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
    const size_t n = data.size();

    const int32_t w = info.Width, h = info.Height;
    const int64_t limit = static_cast<int64_t>(bitmap.RowStride()) * (four ? 2 : 1);
    auto lineOf = [&](int32_t row) { return bitmap.ScanLine(info.TopDown ? row : h - 1 - row); };
    int64_t x = 0;
    int32_t row = 0;
    uint8_t* line = lineOf(0);
    auto put = [&](int64_t px, uint8_t v) {
        if (px >= w) return;
        if (four) {
            uint8_t& b = line[px >> 1];
            b = (px & 1) ? static_cast<uint8_t>((b & 0xF0) | (v & 0x0F)) : static_cast<uint8_t>((b & 0x0F) | (v << 4));
        } else {
            line[px] = v;
        }
    };

    size_t pos = 0;
    while (row < h) {
        if (pos + 2 > n) {
            if (row == h - 1 && x >= w) return;
            Invalid();
        }
        const uint8_t first = data[pos], second = data[pos + 1];
        pos += 2;
        if (first > 0) {
            if (first > limit - x) Invalid();
            for (int i = 0; i < first; ++i)
                put(x + i, four ? ((i & 1) ? (second & 0x0F) : (second >> 4)) : second);
            x += first;
            continue;
        }
        switch (second) {
            case 0:  // end of line
                x = 0;
                if (++row < h) line = lineOf(row);
                break;
            case 1:  // end of bitmap
                return;
            case 2: {  // move right and up
                if (pos + 2 > n) Invalid();
                const int32_t dx = data[pos], dy = data[pos + 1];
                pos += 2;
                if (dx > limit - x || dy > h - row) Invalid();
                x += dx;
                row += dy;
                if (row < h) line = lineOf(row);
                break;
            }
            default: {  // absolute run, padded to a whole word
                const int32_t count = second;
                const size_t bytes = four ? static_cast<size_t>(count + 1) / 2 : static_cast<size_t>(count);
                if (bytes > n - pos || count > limit - x) Invalid();
                for (int32_t i = 0; i < count; ++i) {
                    const uint8_t b = data[pos + static_cast<size_t>(four ? i / 2 : i)];
                    put(x + i, four ? ((i & 1) ? (b & 0x0F) : (b >> 4)) : b);
                }
                x += count;
                pos += (bytes + 1) & ~static_cast<size_t>(1);
                break;
            }
        }
    }
}

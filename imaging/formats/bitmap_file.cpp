// Reading and writing Windows bitmap files. A file is a 14-byte file header ("BM", sizes and
// the offset of the pixels) and a DIB; a ".dib" file may also be the bare DIB, which starts
// with the size of its header.
#include <algorithm>
#include <cstring>
#include <utility>

#include "bitmap.h"
#include "dib_reader.h"
#include "exceptions.h"
#include "streams.h"

namespace {

constexpr int FileHeaderSize = 14;
constexpr int InfoHeaderSize = 40;

void PutU16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
    PutU16(p, v);
    PutU16(p + 2, v >> 16);
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

void TBitmap::LoadFromStream(TStream& stream) {
    TDibReader reader(stream, SInvalidBitmap);
    const int64_t start = stream.Position();
    uint8_t head[FileHeaderSize];
    if (stream.Remaining() < 4) reader.Invalid();
    stream.ReadBuffer(head, 4);

    bool hasFileHeader = head[0] == 'B' && head[1] == 'M';
    int64_t pixelOffset = 0;
    if (hasFileHeader) {
        if (stream.Remaining() < FileHeaderSize - 4) reader.Invalid();
        stream.ReadBuffer(head + 4, FileHeaderSize - 4);
        pixelOffset = start + GetU32(head + 10);
    } else {
        if (!TDibReader::IsKnownHeaderSize(GetU32(head))) reader.Invalid();
        stream.SetPosition(start);
    }

    const TDibInfo info = reader.ReadInfo(false, hasFileHeader ? pixelOffset : -1);
    if (hasFileHeader) {
        // The pixels may not overlap the headers or the palette.
        if (pixelOffset < stream.Position()) reader.Invalid();
        stream.SetPosition(pixelOffset);
    }

    TBitmap image;
    reader.ReadPixels(info, image, false);

    FBits = std::move(image.FBits);
    FWidth = image.FWidth;
    FHeight = image.FHeight;
    FStride = image.FStride;
    FPixelFormat = image.FPixelFormat;
    FPalette = image.FPalette;
    FTransparent = false;
    FTransparentColor = 0;
}

// Bottom-up rows after a 40-byte header: 1, 4 and 8 bits with their palette (the default one
// when the bitmap has none), 5-5-5 as plain 16 bits, 5-6-5 as 16 bits with its bit fields,
// 24 and 32 bits as stored (the fourth byte of 32-bit pixels is written but carries no
// meaning in this header).
void TBitmap::SaveToStream(TStream& stream) {
    if (FWidth == 0 || FHeight == 0 || !FBits) throw EInvalidGraphic(SInvalidBitmap);

    const uint32_t bits = static_cast<uint32_t>(BitsPerPixel());
    const bool indexed = FPixelFormat == pf1bit || FPixelFormat == pf4bit || FPixelFormat == pf8bit;
    const bool bitfields = FPixelFormat == pf16bit;
    const TPalette palette = indexed ? (FPalette.IsEmpty() ? DefaultPalette(FPixelFormat) : FPalette) : TPalette();
    // A palette longer than the depth can index is cut to what the pixels can reach; readers
    // refuse a file that claims more colours than its depth has.
    const uint32_t colors = std::min(static_cast<uint32_t>(palette.Count()), indexed ? 1u << bits : 0u);
    const uint32_t colorsUsed = indexed && colors == (1u << bits) ? 0 : colors;

    const uint32_t masksSize = bitfields ? 12 : 0;
    const uint32_t offset = FileHeaderSize + InfoHeaderSize + masksSize + 4 * colors;
    const uint32_t imageSize = static_cast<uint32_t>(FStride * static_cast<size_t>(FHeight));

    uint8_t header[FileHeaderSize + InfoHeaderSize + 12] = {};
    uint8_t* p = header;
    p[0] = 'B';
    p[1] = 'M';
    PutU32(p + 2, offset + imageSize);
    PutU32(p + 10, offset);
    p += FileHeaderSize;
    PutU32(p, InfoHeaderSize);
    PutU32(p + 4, static_cast<uint32_t>(FWidth));
    PutU32(p + 8, static_cast<uint32_t>(FHeight));
    PutU16(p + 12, 1);
    PutU16(p + 14, bits);
    PutU32(p + 16, bitfields ? dcBitfields : dcRGB);
    PutU32(p + 20, imageSize);
    PutU32(p + 32, colorsUsed);
    if (bitfields) {
        PutU32(p + 40, 0xF800);
        PutU32(p + 44, 0x07E0);
        PutU32(p + 48, 0x001F);
    }
    stream.WriteBuffer(header, FileHeaderSize + InfoHeaderSize + masksSize);

    uint8_t entries[256 * 4] = {};
    for (uint32_t i = 0; i < colors; ++i) {
        const TPaletteEntry& e = palette[static_cast<int>(i)];
        entries[4 * i] = e.Blue;
        entries[4 * i + 1] = e.Green;
        entries[4 * i + 2] = e.Red;
    }
    stream.WriteBuffer(entries, 4 * colors);

    for (int32_t y = FHeight - 1; y >= 0; --y) stream.WriteBuffer(ScanLine(y), static_cast<int64_t>(FStride));
}

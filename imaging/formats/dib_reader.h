// Device-independent bitmaps: the header, colour masks and palette that follow a bitmap file
// header or start an icon entry, and the pixel rows after them. Shared by TBitmap and TIcon.
#pragma once

#include <cstdint>

#include "bitmap.h"

class TStream;

inline constexpr const char* SInvalidBitmap = "Bitmap image is not valid";
inline constexpr const char* SInvalidIcon = "Icon image is not valid";

enum TDibCompression : uint32_t { dcRGB = 0, dcRLE8 = 1, dcRLE4 = 2, dcBitfields = 3 };

// What a DIB header (with the masks and palette after it) says about the pixels that follow.
struct TDibInfo {
    uint32_t HeaderSize = 0;
    int32_t Width = 0;
    int32_t Height = 0;  // image rows; for an icon entry half the header's height
    bool TopDown = false;
    int BitCount = 0;
    TDibCompression Compression = dcRGB;
    // Red, green, blue and alpha masks; only meaningful with dcBitfields.
    uint32_t Masks[4] = {0, 0, 0, 0};
    TPalette Palette;  // indexed images only; may hold fewer entries than the depth allows
};

// Reads DIB parts from a stream. Every shortfall or contradiction raises EInvalidGraphic with
// the message given at construction (the bitmap's or the icon's); the stream's own read error
// never surfaces, because every read is checked against what the stream still holds first.
class TDibReader {
public:
    TDibReader(TStream& stream, const char* invalidMessage) : FStream(stream), FInvalidMessage(invalidMessage) {}

    // True for the header sizes this reader knows: 12 (core), 16 and 64 (OS/2 2.x), 40, 52,
    // 56, 108 and 124.
    static bool IsKnownHeaderSize(uint32_t size);

    // Reads the header, any colour masks after it and the palette, from the stream position.
    // In an icon entry the header's height covers the image and its AND mask, and only
    // uncompressed pixels are allowed. pixelStart is where the pixels begin when a file header
    // says so (else -1): an OS/2 palette that stops there holds fewer entries than its depth
    // allows, and the display hint of a deeper image ends there at the latest.
    TDibInfo ReadInfo(bool iconEntry, int64_t pixelStart = -1);

    // The pixel format the image decodes into: the file's own depth where the bitmap has one.
    static TPixelFormat TargetFormat(const TDibInfo& info);

    // Reads the pixels at the stream position into bitmap, which is formatted and sized here.
    // Without storedAlpha, 32-bit pixels are opaque unless the header has an alpha mask, and an
    // alpha channel that is zero everywhere is taken as opaque too (writers that leave the
    // byte unused fill it with zero). With storedAlpha the fourth byte is kept as stored, and
    // bit-field pixels without an alpha mask read alpha 0.
    void ReadPixels(const TDibInfo& info, TBitmap& bitmap, bool storedAlpha);

    [[noreturn]] void Invalid() const;

private:
    // Raises unless the stream holds at least count more bytes.
    void Need(int64_t count);
    void ReadUncompressed(const TDibInfo& info, TBitmap& bitmap, bool storedAlpha);
    void ReadRunLength(const TDibInfo& info, TBitmap& bitmap);

    TStream& FStream;
    const char* FInvalidMessage;
};

// Refuses with EOutOfResources "Image is too large" a size whose pixel memory in that format
// would exceed MaxBitmapBytes, before anything is allocated.
void CheckBitmapBound(int32_t width, int32_t height, TPixelFormat format);

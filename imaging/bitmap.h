// The bitmap: width, height, pixel format, palette and rows stored top-down, each padded to a
// multiple of 4 bytes. 24-bit pixels are blue, green, red; 32-bit blue, green, red, alpha;
// 15/16-bit pixels little-endian words (5-5-5 / 5-6-5); 1- and 4-bit pixels packed from the
// most significant bit. A newly sized bitmap is zero-filled.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "graphic.h"

enum TPixelFormat : uint8_t { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

// Bits of storage per pixel; a bitmap whose format was never set (pfDevice) is stored like a
// 32-bit display surface. pfCustom has no storage and answers 0.
int BitsPerPixelOf(TPixelFormat format);

// The one bound on pixel memory of a bitmap for the whole program: a larger size is refused
// with "Image is too large (%d x %d pixels)." before anything is allocated. 1 GiB holds a
// 16384 x 16384 image at 32 bits; fuzzing builds lower it to keep runs fast.
#ifndef PICTOLAN_MAX_BITMAP_BYTES
#define PICTOLAN_MAX_BITMAP_BYTES (int64_t{1} << 30)
#endif
inline constexpr int64_t MaxBitmapBytes = PICTOLAN_MAX_BITMAP_BYTES;

struct TPaletteEntry {
    uint8_t Red = 0, Green = 0, Blue = 0, Flags = 0;
    bool operator==(const TPaletteEntry&) const = default;
};

// A palette of up to 256 entries; a value type.
class TPalette {
public:
    static constexpr int MaxEntries = 256;

    TPalette() = default;
    explicit TPalette(int count) { Resize(count); }

    int Count() const { return FCount; }
    bool IsEmpty() const { return FCount == 0; }
    void Resize(int count);  // clamped to 0..256; new entries are black
    TPaletteEntry& operator[](int i) { return FEntries[static_cast<size_t>(i)]; }
    const TPaletteEntry& operator[](int i) const { return FEntries[static_cast<size_t>(i)]; }
    void Add(uint8_t r, uint8_t g, uint8_t b);  // ignored when full
    bool operator==(const TPalette& o) const;

    // Index of the entry nearest to the colour (squared distance); 0 when empty.
    int NearestIndex(uint8_t r, uint8_t g, uint8_t b) const;

private:
    std::array<TPaletteEntry, MaxEntries> FEntries{};
    int FCount = 0;
};

struct TRGBQuad {
    uint8_t Blue = 0, Green = 0, Red = 0, Alpha = 0;
    bool operator==(const TRGBQuad&) const = default;
};

class TBitmap : public TGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    TBitmap() = default;
    TBitmap(const TBitmap& other);
    TBitmap& operator=(const TBitmap& other);
    // Moving hands the pixels over without a copy and leaves the source empty (0 x 0).
    TBitmap(TBitmap&& other) noexcept;
    TBitmap& operator=(TBitmap&& other) noexcept;
    ~TBitmap() override = default;

    // Windows bitmap files ("bmp", "dib", "rle"): every header version and depth in use.
    void LoadFromStream(TStream& stream) override;
    // Writes a Windows bitmap file in the bitmap's own pixel format (palette for 1/4/8 bits).
    void SaveToStream(TStream& stream) override;

    int32_t Width() const override { return FWidth; }
    int32_t Height() const override { return FHeight; }
    void Draw(TBitmap& target, int32_t x, int32_t y) const override;
    // A bitmap source is copied; any other graphic is drawn onto a white 24-bit bitmap of its size.
    void Assign(const TGraphic& source) override;

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    // Changing the format of a non-empty bitmap converts its pixels; pfCustom raises
    // EInvalidGraphicOperation "Invalid pixel format".
    void SetPixelFormat(TPixelFormat format);
    void SetWidth(int32_t width) { SetSize(width, FHeight); }
    void SetHeight(int32_t height) { SetSize(FWidth, height); }
    // Resizes and zero-fills; raises on negative sizes and on sizes beyond MaxBitmapBytes.
    void SetSize(int32_t width, int32_t height);
    // Leaves a 0 x 0 bitmap with no pixel format, palette or transparency.
    void ReleaseImage();

    int BitsPerPixel() const { return BitsPerPixelOf(FPixelFormat); }
    size_t RowStride() const { return FStride; }
    uint8_t* ScanLine(int32_t y);
    const uint8_t* ScanLine(int32_t y) const;

    const TPalette& Palette() const { return FPalette; }
    void SetPalette(const TPalette& palette) { FPalette = palette; }

    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool value) { FTransparent = value; }
    TColor TransparentColor() const { return FTransparentColor; }
    void SetTransparentColor(TColor color) { FTransparentColor = color; }

    // Pixel access in colour terms; indexed pixels are resolved through the palette
    // (an index beyond it reads black). Out-of-range coordinates read zero / are ignored.
    TRGBQuad GetPixel(int32_t x, int32_t y) const;
    void SetPixel(int32_t x, int32_t y, TRGBQuad color);
    // Raw pixel value: the index for indexed formats, the stored word or bytes otherwise.
    uint32_t GetRawPixel(int32_t x, int32_t y) const;
    void SetRawPixel(int32_t x, int32_t y, uint32_t value);

    // Fills the whole image with one colour (nearest palette entry for indexed formats).
    void Fill(TColor color);

    // Default palettes given to indexed formats that have none yet.
    static TPalette DefaultPalette(TPixelFormat format);

private:
    void Allocate(int32_t width, int32_t height, TPixelFormat format);

    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    int32_t FWidth = 0;
    int32_t FHeight = 0;
    TPixelFormat FPixelFormat = pfDevice;
    size_t FStride = 0;
    std::unique_ptr<uint8_t[], FreeDeleter> FBits;
    TPalette FPalette;
    bool FTransparent = false;
    TColor FTransparentColor = 0;
};

// Nearest-neighbour copy of the whole source onto the whole target: target pixel i takes
// source pixel i * source size / target size, rows and columns alike. Indexed sources are
// resolved through their palette; the target keeps its pixel format.
void StretchCopy(const TBitmap& source, TBitmap& target);

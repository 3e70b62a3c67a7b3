#include "bitmap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "exceptions.h"

const TGraphicClass TBitmap::Class = {"TBitmap", [] { return std::unique_ptr<TGraphic>(new TBitmap); }};

int BitsPerPixelOf(TPixelFormat format) {
    switch (format) {
        case pf1bit: return 1;
        case pf4bit: return 4;
        case pf8bit: return 8;
        case pf15bit:
        case pf16bit: return 16;
        case pf24bit: return 24;
        case pf32bit:
        case pfDevice: return 32;
        case pfCustom: break;
    }
    return 0;
}

void TPalette::Resize(int count) {
    count = std::clamp(count, 0, MaxEntries);
    for (int i = FCount; i < count; ++i) FEntries[static_cast<size_t>(i)] = TPaletteEntry{};
    FCount = count;
}

void TPalette::Add(uint8_t r, uint8_t g, uint8_t b) {
    if (FCount >= MaxEntries) return;
    FEntries[static_cast<size_t>(FCount++)] = TPaletteEntry{r, g, b, 0};
}

bool TPalette::operator==(const TPalette& o) const {
    return FCount == o.FCount && std::equal(FEntries.begin(), FEntries.begin() + FCount, o.FEntries.begin());
}

int TPalette::NearestIndex(uint8_t r, uint8_t g, uint8_t b) const {
    int best = 0;
    int bestDistance = std::numeric_limits<int>::max();
    for (int i = 0; i < FCount; ++i) {
        const TPaletteEntry& e = FEntries[static_cast<size_t>(i)];
        int dr = e.Red - r, dg = e.Green - g, db = e.Blue - b;
        int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
            if (d == 0) break;
        }
    }
    return best;
}

TPalette TBitmap::DefaultPalette(TPixelFormat format) {
    TPalette pal;
    switch (format) {
        case pf1bit:
            pal.Add(0, 0, 0);
            pal.Add(255, 255, 255);
            break;
        case pf4bit: {
            // The sixteen colours of the standard VGA palette.
            static const uint8_t vga[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                               {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                               {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                               {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
            for (const auto& c : vga) pal.Add(c[0], c[1], c[2]);
            break;
        }
        case pf8bit:
            for (int i = 0; i < 256; ++i) pal.Add(static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i));
            break;
        default: break;
    }
    return pal;
}

TBitmap::TBitmap(const TBitmap& other) : TGraphic() { *this = other; }

TBitmap& TBitmap::operator=(const TBitmap& other) {
    if (this == &other) return *this;
    Allocate(other.FWidth, other.FHeight, other.FPixelFormat);
    if (FBits) std::memcpy(FBits.get(), other.FBits.get(), FStride * static_cast<size_t>(FHeight));
    FPalette = other.FPalette;
    FTransparent = other.FTransparent;
    FTransparentColor = other.FTransparentColor;
    return *this;
}

TBitmap::TBitmap(TBitmap&& other) noexcept : TGraphic() { *this = std::move(other); }

TBitmap& TBitmap::operator=(TBitmap&& other) noexcept {
    if (this == &other) return *this;
    FWidth = std::exchange(other.FWidth, 0);
    FHeight = std::exchange(other.FHeight, 0);
    FPixelFormat = std::exchange(other.FPixelFormat, pfDevice);
    FStride = std::exchange(other.FStride, 0);
    FBits = std::move(other.FBits);
    FPalette = std::exchange(other.FPalette, TPalette());
    FTransparent = std::exchange(other.FTransparent, false);
    FTransparentColor = std::exchange(other.FTransparentColor, 0);
    return *this;
}

void TBitmap::Assign(const TGraphic& source) {
    if (auto* bmp = dynamic_cast<const TBitmap*>(&source)) {
        TBitmap::operator=(*bmp);
        return;
    }
    // Any other graphic is rendered onto a 24-bit surface of its size. The surface starts white,
    // as a fresh canvas does: metafiles and icons only draw their own ink.
    TBitmap tmp;
    tmp.SetPixelFormat(pf24bit);
    tmp.SetSize(source.Width(), source.Height());
    tmp.Fill(RGBColor(255, 255, 255));
    source.Draw(tmp, 0, 0);
    TBitmap::operator=(std::move(tmp));
}

void TBitmap::Allocate(int32_t width, int32_t height, TPixelFormat format) {
    if (width < 0 || height < 0) throw EInvalidGraphic(Format(SInvalidImageSize, width, height));
    int bpp = BitsPerPixelOf(format);
    int64_t stride = ((static_cast<int64_t>(width) * bpp + 31) / 32) * 4;
    // Compare by division: stride * height can overflow 64 bits for 31-bit sides.
    if (height > 0 && stride > MaxBitmapBytes / height) throw EOutOfResources(Format(SImageTooLarge, width, height));
    int64_t bytes = stride * height;
    std::unique_ptr<uint8_t[], FreeDeleter> bits;
    if (bytes > 0) {
        // calloc: large zeroed blocks come straight from the system without being touched.
        bits.reset(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1)));
        if (!bits) throw EOutOfResources(Format(SImageTooLarge, width, height));
    }
    FBits = std::move(bits);
    FWidth = width;
    FHeight = height;
    FPixelFormat = format;
    FStride = static_cast<size_t>(stride);
}

void TBitmap::SetSize(int32_t width, int32_t height) {
    if (width == FWidth && height == FHeight) return;
    // Nothing to keep, or no room to keep it in.
    if (FBits == nullptr || FWidth == 0 || FHeight == 0 || width <= 0 || height <= 0) {
        Allocate(width, height, FPixelFormat);
        return;
    }
    // Keep the overlapping part of the old image, as resizing a canvas does.
    TBitmap old;
    old.FBits = std::move(FBits);
    old.FWidth = FWidth;
    old.FHeight = FHeight;
    old.FStride = FStride;
    old.FPixelFormat = FPixelFormat;
    try {
        Allocate(width, height, FPixelFormat);
    } catch (...) {
        FBits = std::move(old.FBits);
        throw;
    }
    size_t rowBytes = std::min(FStride, old.FStride);
    int32_t rows = std::min(FHeight, old.FHeight);
    for (int32_t y = 0; y < rows; ++y) std::memcpy(ScanLine(y), old.ScanLine(y), rowBytes);
}

void TBitmap::ReleaseImage() {
    FBits.reset();
    FWidth = FHeight = 0;
    FStride = 0;
    FPixelFormat = pfDevice;
    FPalette = TPalette();
    FTransparent = false;
    FTransparentColor = 0;
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
    if (format == pfCustom) throw EInvalidGraphicOperation(SInvalidPixelFormat);
    if (format == FPixelFormat) return;
    bool targetIndexed = format == pf1bit || format == pf4bit || format == pf8bit;
    if (FWidth == 0 || FHeight == 0) {
        FPixelFormat = format;
        FStride = 0;
        FBits.reset();
        Allocate(FWidth, FHeight, format);
        if (targetIndexed) FPalette = DefaultPalette(format);
        return;
    }
    TBitmap old(*this);
    bool sourceIndexed = old.FPixelFormat == pf1bit || old.FPixelFormat == pf4bit || old.FPixelFormat == pf8bit;
    Allocate(old.FWidth, old.FHeight, format);
    if (targetIndexed && sourceIndexed && BitsPerPixelOf(format) >= old.BitsPerPixel()) {
        // Widening an indexed image keeps its indices and palette.
        for (int32_t y = 0; y < FHeight; ++y)
            for (int32_t x = 0; x < FWidth; ++x) SetRawPixel(x, y, old.GetRawPixel(x, y));
        return;
    }
    // Narrowing keeps the palette only when every entry still has an index: a larger palette
    // would pick colours whose indices the narrower pixels cannot hold.
    if (targetIndexed && (!sourceIndexed || FPalette.IsEmpty() || FPalette.Count() > (1 << BitsPerPixelOf(format))))
        FPalette = DefaultPalette(format);
    for (int32_t y = 0; y < FHeight; ++y)
        for (int32_t x = 0; x < FWidth; ++x) SetPixel(x, y, old.GetPixel(x, y));
}

uint8_t* TBitmap::ScanLine(int32_t y) {
    if (y < 0 || y >= FHeight || !FBits) throw EInvalidGraphicOperation(Format("Scan line index out of range"));
    return FBits.get() + FStride * static_cast<size_t>(y);
}

const uint8_t* TBitmap::ScanLine(int32_t y) const { return const_cast<TBitmap*>(this)->ScanLine(y); }

uint32_t TBitmap::GetRawPixel(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= FWidth || y >= FHeight || !FBits) return 0;
    const uint8_t* row = FBits.get() + FStride * static_cast<size_t>(y);
    switch (FPixelFormat) {
        case pf1bit: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
        case pf4bit: return (x & 1) ? (row[x >> 1] & 0x0Fu) : (row[x >> 1] >> 4);
        case pf8bit: return row[x];
        case pf15bit:
        case pf16bit: return static_cast<uint32_t>(row[2 * x] | (row[2 * x + 1] << 8));
        case pf24bit: {
            const uint8_t* p = row + 3 * static_cast<size_t>(x);
            return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
        }
        case pf32bit:
        case pfDevice: {
            const uint8_t* p = row + 4 * static_cast<size_t>(x);
            return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                   (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
        }
        case pfCustom: break;
    }
    return 0;
}

void TBitmap::SetRawPixel(int32_t x, int32_t y, uint32_t v) {
    if (x < 0 || y < 0 || x >= FWidth || y >= FHeight || !FBits) return;
    uint8_t* row = FBits.get() + FStride * static_cast<size_t>(y);
    switch (FPixelFormat) {
        case pf1bit: {
            uint8_t bit = static_cast<uint8_t>(0x80 >> (x & 7));
            row[x >> 3] = static_cast<uint8_t>((v & 1) ? (row[x >> 3] | bit) : (row[x >> 3] & ~bit));
            break;
        }
        case pf4bit:
            if (x & 1)
                row[x >> 1] = static_cast<uint8_t>((row[x >> 1] & 0xF0) | (v & 0x0F));
            else
                row[x >> 1] = static_cast<uint8_t>((row[x >> 1] & 0x0F) | ((v & 0x0F) << 4));
            break;
        case pf8bit: row[x] = static_cast<uint8_t>(v); break;
        case pf15bit:
        case pf16bit:
            row[2 * x] = static_cast<uint8_t>(v);
            row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
            break;
        case pf24bit: {
            uint8_t* p = row + 3 * static_cast<size_t>(x);
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
            p[2] = static_cast<uint8_t>(v >> 16);
            break;
        }
        case pf32bit:
        case pfDevice: {
            uint8_t* p = row + 4 * static_cast<size_t>(x);
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
            p[2] = static_cast<uint8_t>(v >> 16);
            p[3] = static_cast<uint8_t>(v >> 24);
            break;
        }
        case pfCustom: break;
    }
}

namespace {
// Widening of an n-bit channel to 8 bits by bit replication.
inline uint8_t Widen5(uint32_t v) { return static_cast<uint8_t>((v << 3) | (v >> 2)); }
inline uint8_t Widen6(uint32_t v) { return static_cast<uint8_t>((v << 2) | (v >> 4)); }
}  // namespace

TRGBQuad TBitmap::GetPixel(int32_t x, int32_t y) const {
    uint32_t v = GetRawPixel(x, y);
    switch (FPixelFormat) {
        case pf1bit:
        case pf4bit:
        case pf8bit: {
            if (static_cast<int>(v) >= FPalette.Count()) return TRGBQuad{0, 0, 0, 255};
            const TPaletteEntry& e = FPalette[static_cast<int>(v)];
            return TRGBQuad{e.Blue, e.Green, e.Red, 255};
        }
        case pf15bit:
            return TRGBQuad{Widen5(v & 0x1F), Widen5((v >> 5) & 0x1F), Widen5((v >> 10) & 0x1F), 255};
        case pf16bit:
            return TRGBQuad{Widen5(v & 0x1F), Widen6((v >> 5) & 0x3F), Widen5((v >> 11) & 0x1F), 255};
        case pf24bit:
            return TRGBQuad{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16), 255};
        case pf32bit:
        case pfDevice:
            return TRGBQuad{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                            static_cast<uint8_t>(v >> 24)};
        case pfCustom: break;
    }
    return TRGBQuad{};
}

void TBitmap::SetPixel(int32_t x, int32_t y, TRGBQuad c) {
    switch (FPixelFormat) {
        case pf1bit:
        case pf4bit:
        case pf8bit: SetRawPixel(x, y, static_cast<uint32_t>(FPalette.NearestIndex(c.Red, c.Green, c.Blue))); break;
        case pf15bit:
            SetRawPixel(x, y, static_cast<uint32_t>((c.Blue >> 3) | ((c.Green >> 3) << 5) | ((c.Red >> 3) << 10)));
            break;
        case pf16bit:
            SetRawPixel(x, y, static_cast<uint32_t>((c.Blue >> 3) | ((c.Green >> 2) << 5) | ((c.Red >> 3) << 11)));
            break;
        case pf24bit: SetRawPixel(x, y, static_cast<uint32_t>(c.Blue | (c.Green << 8) | (c.Red << 16))); break;
        case pf32bit:
        case pfDevice:
            SetRawPixel(x, y,
                        static_cast<uint32_t>(c.Blue) | (static_cast<uint32_t>(c.Green) << 8) |
                            (static_cast<uint32_t>(c.Red) << 16) | (static_cast<uint32_t>(c.Alpha) << 24));
            break;
        case pfCustom: break;
    }
}

void TBitmap::Fill(TColor color) {
    TRGBQuad q{GetBValue(color), GetGValue(color), GetRValue(color), 0};
    if (FWidth == 0 || FHeight == 0) return;
    SetPixel(0, 0, q);
    uint32_t raw = GetRawPixel(0, 0);
    for (int32_t x = 1; x < FWidth; ++x) SetRawPixel(x, 0, raw);
    for (int32_t y = 1; y < FHeight; ++y) std::memcpy(ScanLine(y), ScanLine(0), FStride);
}

void TBitmap::Draw(TBitmap& target, int32_t x, int32_t y) const {
    int32_t x0 = std::max(0, -x), y0 = std::max(0, -y);
    int32_t x1 = std::min(FWidth, target.Width() - x), y1 = std::min(FHeight, target.Height() - y);
    if (x0 >= x1 || y0 >= y1) return;
    bool sameLayout = target.PixelFormat() == FPixelFormat && BitsPerPixel() >= 8 && !FTransparent &&
                      (FPixelFormat != pf8bit || target.Palette() == FPalette);
    if (sameLayout) {
        size_t bpp = static_cast<size_t>(BitsPerPixel() / 8);
        for (int32_t sy = y0; sy < y1; ++sy)
            std::memcpy(target.ScanLine(sy + y) + bpp * static_cast<size_t>(x0 + x), ScanLine(sy) + bpp * static_cast<size_t>(x0),
                        bpp * static_cast<size_t>(x1 - x0));
        return;
    }
    for (int32_t sy = y0; sy < y1; ++sy)
        for (int32_t sx = x0; sx < x1; ++sx) {
            TRGBQuad c = GetPixel(sx, sy);
            if (FTransparent && RGBColor(c.Red, c.Green, c.Blue) == (FTransparentColor & 0xFFFFFF)) continue;
            target.SetPixel(sx + x, sy + y, c);
        }
}

void StretchCopy(const TBitmap& source, TBitmap& target) {
    int32_t sw = source.Width(), sh = source.Height(), tw = target.Width(), th = target.Height();
    if (sw == 0 || sh == 0 || tw == 0 || th == 0) return;
    std::vector<int32_t> columns(static_cast<size_t>(tw));
    for (int32_t i = 0; i < tw; ++i) columns[static_cast<size_t>(i)] = static_cast<int32_t>(int64_t{i} * sw / tw);
    bool fast24 = source.PixelFormat() == pf24bit && target.PixelFormat() == pf24bit;
    for (int32_t ty = 0; ty < th; ++ty) {
        int32_t sy = static_cast<int32_t>(int64_t{ty} * sh / th);
        if (fast24) {
            const uint8_t* src = source.ScanLine(sy);
            uint8_t* dst = target.ScanLine(ty);
            for (int32_t tx = 0; tx < tw; ++tx) std::memcpy(dst + 3 * tx, src + 3 * columns[static_cast<size_t>(tx)], 3);
        } else {
            for (int32_t tx = 0; tx < tw; ++tx) target.SetPixel(tx, ty, source.GetPixel(columns[static_cast<size_t>(tx)], sy));
        }
    }
}

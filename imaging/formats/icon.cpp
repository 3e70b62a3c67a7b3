// Icon files: a directory of entries, each a DIB (the image, then its AND mask, under a header
// whose height counts both) or a PNG stream. Cursor files share the layout and load the same way.
#include "icon.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "dib_reader.h"
#include "exceptions.h"
#include "png_graphic.h"
#include "streams.h"

const TGraphicClass TIcon::Class = {"TIcon", [] { return std::unique_ptr<TGraphic>(new TIcon); }};

namespace {

constexpr int DirectoryHeaderSize = 6;
constexpr int DirectoryEntrySize = 16;
constexpr uint8_t PngSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
uint32_t GetU32BE(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) | (static_cast<uint32_t>(p[2]) << 8) |
           static_cast<uint32_t>(p[3]);
}

// What an entry's own data says about its image; the directory's sizes and depths are often
// wrong or zero.
struct TIconEntry {
    int64_t Offset = 0;
    int64_t Size = 0;
    bool Png = false;
    int64_t Width = 0;
    int64_t Height = 0;
    int Bits = 0;

    bool BetterThan(const TIconEntry& other) const {
        const int64_t area = Width * Height, otherArea = other.Width * other.Height;
        return area != otherArea ? area > otherArea : Bits > other.Bits;
    }
};

// Decodes a PNG-compressed entry into a 32-bit bitmap with straight alpha. RGBA entries keep
// their alpha; indexed entries take theirs from the stream's alpha table; grey and RGB entries
// are expanded and opaque, except for pixels of the one transparent colour they may name,
// which take alpha 0 as masked pixels of other entries do. The reader's own message reports a
// broken entry.
void DecodePngEntry(TStream& entry, TBitmap& image) {
    TPNGGraphic png;
    png.LoadFromStream(entry);
    const bool indexAlpha = png.HasIndexAlpha();
    const int32_t w = png.Width(), h = png.Height();
    image.SetPixelFormat(pf32bit);
    image.SetSize(w, h);
    if (png.PixelFormat() == pf32bit) {
        for (int32_t y = 0; y < h; ++y) std::memcpy(image.ScanLine(y), png.ScanLine(y), static_cast<size_t>(w) * 4);
        return;
    }
    const TColor key = png.TransparentColor() & 0xFFFFFF;
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* out = image.ScanLine(y);
        for (int32_t x = 0; x < w; ++x, out += 4) {
            const TRGBQuad c = png.GetPixel(x, y);
            out[0] = c.Blue;
            out[1] = c.Green;
            out[2] = c.Red;
            if (indexAlpha) {
                out[3] = png.IndexAlpha(png.GetRawPixel(x, y));
            } else {
                out[3] = png.Transparent() && RGBColor(c.Red, c.Green, c.Blue) == key ? 0 : 255;
            }
        }
    }
}

// Reads the signature and header chunk of a PNG entry: width, height and bits per pixel.
bool ReadPngHeader(TStream& stream, TIconEntry& entry) {
    uint8_t head[26];
    if (stream.Remaining() < static_cast<int64_t>(sizeof head)) return false;
    stream.ReadBuffer(head, sizeof head);
    if (std::memcmp(head, PngSignature, sizeof PngSignature) != 0) return false;
    if (std::memcmp(head + 12, "IHDR", 4) != 0) return false;
    int channels;
    switch (head[25]) {
        case 0: case 3: channels = 1; break;
        case 2: channels = 3; break;
        case 4: channels = 2; break;
        case 6: channels = 4; break;
        default: return false;
    }
    entry.Width = GetU32BE(head + 16);
    entry.Height = GetU32BE(head + 20);
    entry.Bits = head[24] * channels;
    return entry.Width > 0 && entry.Height > 0 && entry.Width <= INT32_MAX && entry.Height <= INT32_MAX;
}

// True when the entry's data starts with the PNG signature.
bool StartsWithPng(TStream& stream) {
    uint8_t sig[sizeof PngSignature] = {};
    const int64_t at = stream.Position();
    stream.Read(sig, sizeof sig);
    stream.SetPosition(at);
    return std::memcmp(sig, PngSignature, sizeof sig) == 0;
}

// The XOR image with its AND mask folded into straight alpha. 32-bit images carry their own
// alpha; only when it is zero everywhere does the mask decide, as for shallower images.
void FoldMask(TDibReader& reader, TStream& stream, const TDibInfo& info, const TBitmap& colors, TBitmap& image) {
    const int32_t w = info.Width, h = info.Height;
    image.SetPixelFormat(pf32bit);
    image.SetSize(w, h);
    bool ownAlpha = false;
    for (int32_t y = 0; y < h && !ownAlpha; ++y)
        for (int32_t x = 0; x < w && !ownAlpha; ++x) ownAlpha = info.BitCount == 32 && colors.GetPixel(x, y).Alpha != 0;

    const int64_t maskStride = ((static_cast<int64_t>(w) + 31) / 32) * 4;
    std::vector<uint8_t> mask;
    if (!ownAlpha) {
        if (stream.Remaining() < maskStride * h) reader.Invalid();
        mask.resize(static_cast<size_t>(maskStride * h));
        stream.ReadBuffer(mask.data(), maskStride * h);
    }
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* maskRow = ownAlpha ? nullptr : mask.data() + maskStride * (info.TopDown ? y : h - 1 - y);
        uint8_t* out = image.ScanLine(y);
        for (int32_t x = 0; x < w; ++x, out += 4) {
            const TRGBQuad c = colors.GetPixel(x, y);
            out[0] = c.Blue;
            out[1] = c.Green;
            out[2] = c.Red;
            out[3] = ownAlpha ? c.Alpha : (((maskRow[x >> 3] >> (7 - (x & 7))) & 1) ? 0 : 255);
        }
    }
}

}  // namespace

void TIcon::LoadFromStream(TStream& stream) {
    TDibReader reader(stream, SInvalidIcon);
    const int64_t start = stream.Position();
    uint8_t head[DirectoryHeaderSize];
    if (stream.Remaining() < DirectoryHeaderSize) reader.Invalid();
    stream.ReadBuffer(head, DirectoryHeaderSize);
    const uint16_t type = GetU16(head + 2), count = GetU16(head + 4);
    if (GetU16(head) != 0 || (type != 1 && type != 2) || count == 0) reader.Invalid();
    const int64_t directorySize = static_cast<int64_t>(count) * DirectoryEntrySize;
    if (stream.Remaining() < directorySize) reader.Invalid();
    std::vector<uint8_t> directory(static_cast<size_t>(directorySize));
    stream.ReadBuffer(directory.data(), directorySize);
    const int64_t dataStart = stream.Position(), end = stream.Size();

    // An entry whose header cannot be read is passed over: the icon shows the best of the
    // others, and is invalid only when none is left.
    TIconEntry best;
    bool found = false;
    for (int i = 0; i < count; ++i) {
        const uint8_t* d = directory.data() + static_cast<size_t>(i) * DirectoryEntrySize;
        TIconEntry entry;
        entry.Size = GetU32(d + 8);
        entry.Offset = start + GetU32(d + 12);
        if (entry.Offset < dataStart || entry.Offset >= end) continue;
        stream.SetPosition(entry.Offset);
        entry.Png = StartsWithPng(stream);
        if (entry.Png) {
            if (!ReadPngHeader(stream, entry)) continue;
        } else {
            try {
                const TDibInfo info = reader.ReadInfo(true);
                entry.Width = info.Width;
                entry.Height = info.Height;
                entry.Bits = info.BitCount;
            } catch (const EInvalidGraphic&) {
                continue;
            } catch (const EReadError&) {
                continue;
            }
        }
        // Of equal entries the last one wins, as in other readers.
        if (!found || !best.BetterThan(entry)) best = entry;
        found = true;
    }
    if (!found) reader.Invalid();

    TBitmap image;
    stream.SetPosition(best.Offset);
    if (best.Png) {
        // A PNG stream ends at its own end chunk; the directory's size of it is not trusted.
        DecodePngEntry(stream, image);
    } else {
        const TDibInfo info = reader.ReadInfo(true);
        TBitmap colors;
        reader.ReadPixels(info, colors, true);
        FoldMask(reader, stream, info, colors, image);
    }
    FImage = image;
}

// Straight-alpha "over" compositing; only a 32-bit target has an alpha of its own, every
// other target counts as opaque.
void TIcon::Draw(TBitmap& target, int32_t x, int32_t y) const {
    const int32_t x0 = std::max(0, -x), y0 = std::max(0, -y);
    const int32_t x1 = std::min(FImage.Width(), target.Width() - x), y1 = std::min(FImage.Height(), target.Height() - y);
    const bool targetAlpha = target.PixelFormat() == pf32bit;
    for (int32_t sy = y0; sy < y1; ++sy) {
        const uint8_t* src = FImage.ScanLine(sy);
        for (int32_t sx = x0; sx < x1; ++sx) {
            const uint8_t* s = src + 4 * static_cast<size_t>(sx);
            const uint32_t a = s[3];
            if (a == 0) continue;
            if (a == 255) {
                target.SetPixel(sx + x, sy + y, TRGBQuad{s[0], s[1], s[2], 255});
                continue;
            }
            const TRGBQuad d = target.GetPixel(sx + x, sy + y);
            const uint32_t da = targetAlpha ? d.Alpha : 255;
            // Weights scaled by 255: the source's a * 255, what shows of the target da * (255 - a).
            const uint32_t ws = a * 255, wd = da * (255 - a), total = ws + wd;
            auto mix = [&](uint8_t sc, uint8_t dc) {
                return static_cast<uint8_t>((sc * ws + dc * wd + total / 2) / total);
            };
            target.SetPixel(sx + x, sy + y,
                            TRGBQuad{mix(s[0], d.Blue), mix(s[1], d.Green), mix(s[2], d.Red),
                                     static_cast<uint8_t>((total + 127) / 255)});
        }
    }
}

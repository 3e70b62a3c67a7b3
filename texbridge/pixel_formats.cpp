#include "pixel_formats.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace texbridge {

namespace {

enum : uint32_t {
    fmtRGBA8888 = 0,
    fmtABGR8888 = 1,
    fmtRGB888 = 2,
    fmtBGR888 = 3,
    fmtRGB565 = 4,
    fmtI8 = 5,
    fmtIA88 = 6,
    fmtP8 = 7,
    fmtA8 = 8,
    fmtRGB888Bluescreen = 9,
    fmtBGR888Bluescreen = 10,
    fmtARGB8888 = 11,
    fmtBGRA8888 = 12,
    fmtDXT1 = 13,
    fmtDXT3 = 14,
    fmtDXT5 = 15,
    fmtBGRX8888 = 16,
    fmtBGR565 = 17,
    fmtBGRX5551 = 18,
    fmtBGRA4444 = 19,
    fmtDXT1OneBitAlpha = 20,
    fmtBGRA5551 = 21,
    fmtUV88 = 22,
    fmtUVWQ8888 = 23,
    fmtRGBA16161616F = 24,
    fmtRGBA16161616 = 25,
    fmtUVLX8888 = 26,
    fmtCount = 27,
};

constexpr TFormatInfo Px(uint8_t bytes, uint8_t channels) { return {TStorage::Pixels, bytes, channels}; }
constexpr TFormatInfo Bk(uint8_t bytes, uint8_t channels) { return {TStorage::Blocks, bytes, channels}; }

// Indexed by format value. P8 has a known size (so a low-resolution image of that format can be
// skipped) but no stored palette, so it cannot be decoded.
constexpr TFormatInfo kFormats[fmtCount] = {
    Px(4, 4), Px(4, 4), Px(3, 3), Px(3, 3), Px(2, 3), Px(1, 3), Px(2, 4), Px(1, 0), Px(1, 4),
    Px(3, 4), Px(3, 4), Px(4, 4), Px(4, 4), Bk(8, 3), Bk(16, 4), Bk(16, 4), Px(4, 3), Px(2, 3),
    Px(2, 3), Px(2, 4), Bk(8, 4), Px(2, 4), Px(2, 3), Px(4, 4), Px(8, 4), Px(8, 4), Px(4, 4),
};

inline uint32_t Word16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
inline uint32_t Word32(const uint8_t* p) { return Word16(p) | Word16(p + 2) << 16; }

inline void Put3(uint8_t* d, uint8_t r, uint8_t g, uint8_t b) {
    d[0] = r;
    d[1] = g;
    d[2] = b;
}
inline void Put4(uint8_t* d, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    d[0] = r;
    d[1] = g;
    d[2] = b;
    d[3] = a;
}

// Pure blue marks a transparent pixel; its colour is kept as stored.
inline void PutBluescreen(uint8_t* d, uint8_t r, uint8_t g, uint8_t b) {
    Put4(d, r, g, b, (r == 0 && g == 0 && b == 255) ? 0 : 255);
}

void DecodePixelRow(uint32_t format, const uint8_t* s, uint32_t width, uint8_t* d) {
    switch (format) {
        case fmtRGBA8888:
        case fmtUVWQ8888:
        case fmtUVLX8888:
            std::memcpy(d, s, size_t{width} * 4);
            break;
        case fmtABGR8888:
            for (uint32_t x = 0; x < width; ++x, s += 4, d += 4) Put4(d, s[3], s[2], s[1], s[0]);
            break;
        case fmtRGB888:
            std::memcpy(d, s, size_t{width} * 3);
            break;
        case fmtBGR888:
            for (uint32_t x = 0; x < width; ++x, s += 3, d += 3) Put3(d, s[2], s[1], s[0]);
            break;
        case fmtRGB565:
            for (uint32_t x = 0; x < width; ++x, s += 2, d += 3) {
                uint32_t v = Word16(s);
                Put3(d, Widen5(v & 31), Widen6((v >> 5) & 63), Widen5(v >> 11));
            }
            break;
        case fmtI8:
            for (uint32_t x = 0; x < width; ++x, s += 1, d += 3) Put3(d, s[0], s[0], s[0]);
            break;
        case fmtIA88:
            for (uint32_t x = 0; x < width; ++x, s += 2, d += 4) Put4(d, s[0], s[0], s[0], s[1]);
            break;
        case fmtA8:
            for (uint32_t x = 0; x < width; ++x, s += 1, d += 4) Put4(d, 0, 0, 0, s[0]);
            break;
        case fmtRGB888Bluescreen:
            for (uint32_t x = 0; x < width; ++x, s += 3, d += 4) PutBluescreen(d, s[0], s[1], s[2]);
            break;
        case fmtBGR888Bluescreen:
            for (uint32_t x = 0; x < width; ++x, s += 3, d += 4) PutBluescreen(d, s[2], s[1], s[0]);
            break;
        case fmtARGB8888:
            // Stored green, blue, alpha, red, as the tools that write such files store it.
            for (uint32_t x = 0; x < width; ++x, s += 4, d += 4) Put4(d, s[3], s[0], s[1], s[2]);
            break;
        case fmtBGRA8888:
            for (uint32_t x = 0; x < width; ++x, s += 4, d += 4) Put4(d, s[2], s[1], s[0], s[3]);
            break;
        case fmtBGRX8888:
            for (uint32_t x = 0; x < width; ++x, s += 4, d += 3) Put3(d, s[2], s[1], s[0]);
            break;
        case fmtBGR565:
            for (uint32_t x = 0; x < width; ++x, s += 2, d += 3) {
                uint32_t v = Word16(s);
                Put3(d, Widen5(v >> 11), Widen6((v >> 5) & 63), Widen5(v & 31));
            }
            break;
        case fmtBGRX5551:
            for (uint32_t x = 0; x < width; ++x, s += 2, d += 3) {
                uint32_t v = Word16(s);
                Put3(d, Widen5((v >> 10) & 31), Widen5((v >> 5) & 31), Widen5(v & 31));
            }
            break;
        case fmtBGRA4444:
            for (uint32_t x = 0; x < width; ++x, s += 2, d += 4) {
                uint32_t v = Word16(s);
                Put4(d, Widen4((v >> 8) & 15), Widen4((v >> 4) & 15), Widen4(v & 15), Widen4(v >> 12));
            }
            break;
        case fmtBGRA5551:
            for (uint32_t x = 0; x < width; ++x, s += 2, d += 4) {
                uint32_t v = Word16(s);
                Put4(d, Widen5((v >> 10) & 31), Widen5((v >> 5) & 31), Widen5(v & 31), (v & 0x8000) ? 255 : 0);
            }
            break;
        case fmtUV88:
            for (uint32_t x = 0; x < width; ++x, s += 2, d += 3) Put3(d, s[0], s[1], 0);
            break;
        case fmtRGBA16161616F:
            for (uint32_t x = 0; x < width; ++x, s += 8, d += 4)
                Put4(d, HalfToByte(static_cast<uint16_t>(Word16(s))), HalfToByte(static_cast<uint16_t>(Word16(s + 2))),
                     HalfToByte(static_cast<uint16_t>(Word16(s + 4))), HalfToByte(static_cast<uint16_t>(Word16(s + 6))));
            break;
        case fmtRGBA16161616:
            for (uint32_t x = 0; x < width; ++x, s += 8, d += 4) Put4(d, s[1], s[3], s[5], s[7]);
            break;
        default:
            break;
    }
}

// One decoded 4 x 4 block: R, G, B, A per pixel, pixel (x, y) at index 4y + x.
using TBlock = uint8_t[16][4];

// The colour half of an S3TC block. Endpoints are widened to 8 bits first and the in-between
// colours interpolated from those with truncating division.
void DecodeColourBlock(const uint8_t* b, bool allowThreeColour, TBlock& out) {
    uint32_t c0 = Word16(b), c1 = Word16(b + 2);
    uint8_t pal[4][4];
    Put4(pal[0], Widen5(c0 >> 11), Widen6((c0 >> 5) & 63), Widen5(c0 & 31), 255);
    Put4(pal[1], Widen5(c1 >> 11), Widen6((c1 >> 5) & 63), Widen5(c1 & 31), 255);
    if (c0 > c1 || !allowThreeColour) {
        for (int ch = 0; ch < 3; ++ch) {
            pal[2][ch] = static_cast<uint8_t>((2 * pal[0][ch] + pal[1][ch]) / 3);
            pal[3][ch] = static_cast<uint8_t>((pal[0][ch] + 2 * pal[1][ch]) / 3);
        }
        pal[2][3] = pal[3][3] = 255;
    } else {
        for (int ch = 0; ch < 3; ++ch) pal[2][ch] = static_cast<uint8_t>((pal[0][ch] + pal[1][ch]) / 2);
        pal[2][3] = 255;
        Put4(pal[3], 0, 0, 0, 0);
    }
    uint32_t indices = Word32(b + 4);
    for (int i = 0; i < 16; ++i) std::memcpy(out[i], pal[(indices >> (2 * i)) & 3], 4);
}

void DecodeExplicitAlpha(const uint8_t* b, TBlock& out) {
    for (int i = 0; i < 16; ++i) out[i][3] = Widen4((b[i / 2] >> (4 * (i & 1))) & 15);
}

void DecodeInterpolatedAlpha(const uint8_t* b, TBlock& out) {
    uint32_t a0 = b[0], a1 = b[1];
    uint8_t pal[8] = {static_cast<uint8_t>(a0), static_cast<uint8_t>(a1)};
    if (a0 > a1) {
        for (uint32_t i = 1; i <= 6; ++i) pal[i + 1] = static_cast<uint8_t>(((7 - i) * a0 + i * a1) / 7);
    } else {
        for (uint32_t i = 1; i <= 4; ++i) pal[i + 1] = static_cast<uint8_t>(((5 - i) * a0 + i * a1) / 5);
        pal[6] = 0;
        pal[7] = 255;
    }
    uint64_t bits = 0;
    for (int i = 5; i >= 0; --i) bits = bits << 8 | b[2 + i];
    for (int i = 0; i < 16; ++i) out[i][3] = pal[(bits >> (3 * i)) & 7];
}

template <int Channels>
void DecodeBlockRow(uint32_t format, const uint8_t* s, uint32_t width, int rows, uint8_t* dst, size_t dstStride) {
    const uint32_t blocks = std::max<uint32_t>(1, (width + 3) / 4);
    TBlock block;
    for (uint32_t bx = 0; bx < blocks; ++bx) {
        switch (format) {
            case fmtDXT1:
            case fmtDXT1OneBitAlpha:
                DecodeColourBlock(s, true, block);
                s += 8;
                break;
            case fmtDXT3:
                DecodeColourBlock(s + 8, false, block);
                DecodeExplicitAlpha(s, block);
                s += 16;
                break;
            case fmtDXT5:
                DecodeColourBlock(s + 8, false, block);
                DecodeInterpolatedAlpha(s, block);
                s += 16;
                break;
            default:
                return;
        }
        // Edge blocks are decoded whole; only the pixels inside the image are kept.
        const uint32_t x0 = bx * 4;
        const uint32_t cols = std::min<uint32_t>(4, width - x0);
        for (int y = 0; y < rows; ++y) {
            uint8_t* d = dst + y * dstStride + size_t{x0} * Channels;
            for (uint32_t x = 0; x < cols; ++x, d += Channels) std::memcpy(d, block[4 * y + x], Channels);
        }
    }
}

}  // namespace

TFormatInfo FormatInfo(uint32_t format) { return format < fmtCount ? kFormats[format] : TFormatInfo{}; }

bool IsDecodable(uint32_t format) { return FormatInfo(format).Channels != 0; }

uint64_t ImageBytes(uint32_t format, uint32_t width, uint32_t height) {
    TFormatInfo f = FormatInfo(format);
    if (f.Storage == TStorage::Blocks)
        return uint64_t{std::max<uint32_t>(1, (width + 3) / 4)} * std::max<uint32_t>(1, (height + 3) / 4) * f.Bytes;
    return uint64_t{width} * height * f.Bytes;
}

uint64_t UnitBytes(uint32_t format, uint32_t width) { return ImageBytes(format, width, 1); }

void DecodeUnit(uint32_t format, const uint8_t* src, uint32_t width, int rows, uint8_t* dst, size_t dstStride) {
    if (!IsDecodable(format)) return;
    if (kFormats[format].Storage != TStorage::Blocks)
        DecodePixelRow(format, src, width, dst);
    else if (kFormats[format].Channels == 4)
        DecodeBlockRow<4>(format, src, width, rows, dst, dstStride);
    else
        DecodeBlockRow<3>(format, src, width, rows, dst, dstStride);
}

uint8_t HalfToByte(uint16_t half) {
    const uint32_t exponent = (half >> 10) & 31, mantissa = half & 1023;
    if (half & 0x8000) return 0;  // negative values and -0
    if (exponent == 31) return mantissa ? 0 : 255;  // NaN shows as 0, +infinity as 1
    double v = exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1024 + mantissa, int(exponent) - 25);
    if (v >= 1.0) return 255;
    return static_cast<uint8_t>(std::floor(v * 255.0 + 0.5));
}

}  // namespace texbridge

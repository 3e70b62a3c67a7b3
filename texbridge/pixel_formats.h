// Image formats of ".vtf" textures: how each is stored and how it widens to 8-bit R, G, B(, A).
#pragma once

#include <cstddef>
#include <cstdint>

namespace texbridge {

enum class TStorage : uint8_t { Unknown, Pixels, Blocks };

struct TFormatInfo {
    TStorage Storage = TStorage::Unknown;
    uint8_t Bytes = 0;     // per pixel, or per 4 x 4 block
    uint8_t Channels = 0;  // 3 (R, G, B) or 4 (R, G, B, A) in decoded output; 0 when not decodable
};

// The storage of a format value; Unknown for values we do not know the size of.
TFormatInfo FormatInfo(uint32_t format);
bool IsDecodable(uint32_t format);

// Bytes of one image of w x h pixels; 0 for an unknown format.
uint64_t ImageBytes(uint32_t format, uint32_t width, uint32_t height);

// Bytes of one stored unit: a row of pixels, or a row of 4 x 4 blocks.
uint64_t UnitBytes(uint32_t format, uint32_t width);
// Pixel rows covered by one unit: 1 or 4.
inline int UnitRows(uint32_t format) { return FormatInfo(format).Storage == TStorage::Blocks ? 4 : 1; }

// Decodes one unit of a decodable format: src holds UnitBytes(format, width) bytes; rows (1 for
// pixel formats, 1 to 4 for block formats) output rows of width pixels are written at dst,
// dstStride bytes apart, with FormatInfo(format).Channels bytes per pixel.
void DecodeUnit(uint32_t format, const uint8_t* src, uint32_t width, int rows, uint8_t* dst, size_t dstStride);

// The n-bit field widenings, rounded to nearest.
inline uint8_t Widen4(uint32_t v) { return static_cast<uint8_t>(v * 17); }
inline uint8_t Widen5(uint32_t v) { return static_cast<uint8_t>((v * 255 + 15) / 31); }
inline uint8_t Widen6(uint32_t v) { return static_cast<uint8_t>((v * 255 + 31) / 63); }

// An IEEE half float clamped to 0..1 and scaled to 0..255, rounded to nearest.
uint8_t HalfToByte(uint16_t half);

}  // namespace texbridge

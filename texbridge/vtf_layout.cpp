#include "vtf_layout.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "pixel_formats.h"

namespace texbridge {

namespace {

constexpr uint64_t kSaturated = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kNoLowResImage = 0xFFFFFFFF;
constexpr uint32_t kFlagEnvMap = 1u << 14;
constexpr uint64_t kResourceTableOffset = 80;
constexpr uint8_t kResourceNoData = 2;

// Sizes are products of header fields that a damaged file can make absurd: saturate instead of
// wrapping, so that every such size simply fails the comparison with the file size.
uint64_t MulSat(uint64_t a, uint64_t b) { return (a != 0 && b > kSaturated / a) ? kSaturated : a * b; }
uint64_t AddSat(uint64_t a, uint64_t b) { return b > kSaturated - a ? kSaturated : a + b; }

uint32_t U16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t U32(const uint8_t* p) { return U16(p) | U16(p + 2) << 16; }

// All frames, faces and slices of one level.
uint64_t LevelBytes(const TVtfLayout& l, uint32_t level) {
    uint64_t n = MulSat(LevelImageBytes(l, level), l.Frames);
    n = MulSat(n, l.Faces);
    return MulSat(n, LevelSize(l.Depth, level));
}

// The main image data's offset from the resource entries; empty when there is none.
std::optional<uint64_t> FindImageResource(const TReadAt& readAt, uint64_t fileSize, uint32_t count) {
    if (count > (fileSize - kResourceTableOffset) / 8) return std::nullopt;
    constexpr uint32_t kChunk = 64;
    uint8_t entries[kChunk * 8];
    for (uint32_t first = 0; first < count; first += kChunk) {
        const uint32_t n = std::min(kChunk, count - first);
        if (!readAt(kResourceTableOffset + uint64_t{first} * 8, entries, size_t{n} * 8)) return std::nullopt;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* e = entries + i * 8;
            if (e[0] == 0x30 && e[1] == 0 && e[2] == 0) {
                if (e[3] & kResourceNoData) return std::nullopt;
                return U32(e + 4);
            }
        }
    }
    return std::nullopt;
}

}  // namespace

uint64_t LevelImageBytes(const TVtfLayout& l, uint32_t level) {
    return ImageBytes(l.Format, LevelSize(l.Width, level), LevelSize(l.Height, level));
}

uint64_t LevelImageOffset(const TVtfLayout& l, uint32_t level) {
    uint64_t offset = l.ImageOffset;
    for (uint32_t k = l.Mips; k-- > level + 1;) offset = AddSat(offset, LevelBytes(l, k));
    return offset;
}

std::optional<TVtfLayout> ReadVtfLayout(const TReadAt& readAt, uint64_t fileSize) {
    if (fileSize < 64) return std::nullopt;
    uint8_t h[80] = {};
    if (!readAt(0, h, static_cast<size_t>(std::min<uint64_t>(sizeof h, fileSize)))) return std::nullopt;
    if (std::memcmp(h, "VTF", 4) != 0 || U32(h + 4) != 7) return std::nullopt;

    TVtfLayout l;
    l.MinorVersion = U32(h + 8);
    if (l.MinorVersion > 5) return std::nullopt;
    // The header must at least hold the fields of its version; the resource table of 7.3 and
    // later starts at 80.
    const uint64_t headerSize = U32(h + 12);
    const uint64_t minHeader = l.MinorVersion < 2 ? 64 : l.MinorVersion == 2 ? 65 : kResourceTableOffset;
    if (headerSize < minHeader || headerSize > fileSize) return std::nullopt;

    l.Width = U16(h + 16);
    l.Height = U16(h + 18);
    l.Flags = U32(h + 20);
    l.Frames = U16(h + 24);
    const uint32_t firstFrame = U16(h + 26);
    l.Format = U32(h + 52);
    l.Mips = h[56];
    const uint32_t lowFormat = U32(h + 57);
    const uint32_t lowWidth = h[61], lowHeight = h[62];
    l.Depth = l.MinorVersion >= 2 ? std::max<uint32_t>(1, U16(h + 63)) : 1;
    if (l.Width == 0 || l.Height == 0 || l.Frames == 0 || l.Mips == 0) return std::nullopt;
    if (!IsDecodable(l.Format)) return std::nullopt;

    // Before 7.5 a cube map whose first frame is 0xFFFF carries an extra sphere-map face.
    if (l.Flags & kFlagEnvMap) l.Faces = (l.MinorVersion < 5 && firstFrame == 0xFFFF) ? 7 : 6;

    if (l.MinorVersion < 3) {
        uint64_t lowBytes = 0;
        if (lowFormat != kNoLowResImage && lowWidth != 0 && lowHeight != 0) {
            if (FormatInfo(lowFormat).Storage == TStorage::Unknown) return std::nullopt;
            lowBytes = ImageBytes(lowFormat, lowWidth, lowHeight);
        }
        l.ImageOffset = headerSize + lowBytes;
    } else {
        auto offset = FindImageResource(readAt, fileSize, U32(h + 68));
        if (!offset) return std::nullopt;
        l.ImageOffset = *offset;
    }

    uint64_t total = 0;
    for (uint32_t k = 0; k < l.Mips; ++k) total = AddSat(total, LevelBytes(l, k));
    if (l.ImageOffset > fileSize || total > fileSize - l.ImageOffset) return std::nullopt;
    return l;
}

}  // namespace texbridge

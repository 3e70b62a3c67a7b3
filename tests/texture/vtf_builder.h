// Builds small ".vtf" textures in memory for tests and benchmarks: any version, format, size,
// level count, frames, cube faces and depth, with distinct content in every stored image.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

namespace vtftest {

enum : uint32_t { RGBA8888 = 0, RGB888 = 2, BGR888 = 3, P8 = 7, BGRA8888 = 12, DXT1 = 13, DXT5 = 15, RGBA16161616 = 25 };
constexpr uint32_t FlagEnvMap = 1u << 14;

// Bytes per pixel, or per 4 x 4 block for the S3TC formats 13, 14, 15 and 20.
inline bool IsBlockFormat(uint32_t f) { return f == 13 || f == 14 || f == 15 || f == 20; }
inline uint32_t StoredBytes(uint32_t f) {
    constexpr uint8_t bytes[27] = {4, 4, 3, 3, 2, 1, 2, 1, 1, 3, 3, 4, 4, 8, 16, 16, 4, 2, 2, 2, 8, 2, 2, 4, 8, 8, 4};
    return f < 27 ? bytes[f] : 4;
}

inline uint32_t Level(uint32_t n, uint32_t k) { return std::max<uint32_t>(1, k >= 32 ? 0 : n >> k); }

inline size_t ImageSize(uint32_t format, uint32_t w, uint32_t h) {
    if (IsBlockFormat(format))
        return size_t{std::max<uint32_t>(1, (w + 3) / 4)} * std::max<uint32_t>(1, (h + 3) / 4) * StoredBytes(format);
    return size_t{w} * h * StoredBytes(format);
}

struct Recipe {
    uint32_t Minor = 2;
    uint32_t Width = 4, Height = 4, Depth = 1;
    uint32_t Format = BGRA8888;
    uint32_t Flags = 0;
    uint32_t Frames = 1, FirstFrame = 0;
    uint32_t Mips = 1;
    bool LowRes = true;         // a 16 x 16 DXT1 low-resolution image before the main data
    uint32_t HeaderPadding = 0; // extra bytes between the resource table and the data (7.3 on)
};

inline uint32_t FacesOf(const Recipe& s) {
    if (!(s.Flags & FlagEnvMap)) return 1;
    return (s.Minor < 5 && s.FirstFrame == 0xFFFF) ? 7 : 6;
}

struct ImageKey {
    uint32_t Level, Frame, Face, Slice;
};
// Fills one stored image (already sized) for the key.
using Filler = std::function<void(const ImageKey&, std::vector<uint8_t>&)>;

// Distinct bytes for every image: a small generator seeded by the image's key.
inline void PatternFill(const ImageKey& k, std::vector<uint8_t>& image) {
    uint32_t x = 0x9E3779B9u ^ (k.Level * 0x85EBCA6Bu) ^ (k.Frame * 0xC2B2AE35u) ^ (k.Face * 0x27D4EB2Fu) ^
                 (k.Slice * 0x165667B1u);
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 8);
    }
}

inline void Put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
inline void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    Put16(v, at, x & 0xFFFF);
    Put16(v, at + 2, x >> 16);
}

// Offset of the main image data in a file built from the recipe.
inline size_t HeaderBytes(const Recipe& s) {
    size_t resources = s.LowRes ? 2 : 1;
    return s.Minor >= 3 ? 80 + 8 * resources + s.HeaderPadding : s.Minor == 2 ? 80 : 64;
}
inline size_t ImageDataOffset(const Recipe& s) { return HeaderBytes(s) + (s.LowRes ? ImageSize(DXT1, 16, 16) : 0); }

inline std::vector<uint8_t> Build(const Recipe& s, const Filler& fill = PatternFill) {
    const size_t header = HeaderBytes(s);
    std::vector<uint8_t> v(header, 0);
    std::memcpy(v.data(), "VTF", 4);
    Put32(v, 4, 7);
    Put32(v, 8, s.Minor);
    Put32(v, 12, static_cast<uint32_t>(header));
    Put16(v, 16, s.Width);
    Put16(v, 18, s.Height);
    Put32(v, 20, s.Flags);
    Put16(v, 24, s.Frames);
    Put16(v, 26, s.FirstFrame);
    Put32(v, 32, 0x3F000000);  // reflectivity 0.5, 0.5, 0.5
    Put32(v, 36, 0x3F000000);
    Put32(v, 40, 0x3F000000);
    Put32(v, 48, 0x3F800000);  // bump-map scale 1
    Put32(v, 52, s.Format);
    v[56] = static_cast<uint8_t>(s.Mips);
    Put32(v, 57, s.LowRes ? DXT1 : 0xFFFFFFFF);
    v[61] = v[62] = s.LowRes ? 16 : 0;
    if (s.Minor >= 2) Put16(v, 63, s.Depth);
    const size_t lowBytes = s.LowRes ? ImageSize(DXT1, 16, 16) : 0;
    if (s.Minor >= 3) {
        size_t at = 80;
        Put32(v, 68, s.LowRes ? 2 : 1);
        if (s.LowRes) {
            v[at] = 0x01;
            Put32(v, at + 4, static_cast<uint32_t>(header));
            at += 8;
        }
        v[at] = 0x30;
        Put32(v, at + 4, static_cast<uint32_t>(header + lowBytes));
    }
    v.resize(header + lowBytes, 0xCD);
    const uint32_t faces = FacesOf(s);
    for (uint32_t level = s.Mips; level-- > 0;) {
        const size_t size = ImageSize(s.Format, Level(s.Width, level), Level(s.Height, level));
        for (uint32_t frame = 0; frame < s.Frames; ++frame)
            for (uint32_t face = 0; face < faces; ++face)
                for (uint32_t slice = 0; slice < Level(s.Depth, level); ++slice) {
                    std::vector<uint8_t> image(size);
                    fill({level, frame, face, slice}, image);
                    v.insert(v.end(), image.begin(), image.end());
                }
    }
    return v;
}

}  // namespace vtftest

// The header of a ".vtf" texture and where its images lie in the file, checked against the file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace texbridge {

struct TVtfLayout {
    uint32_t MinorVersion = 0;
    uint32_t Width = 0, Height = 0, Depth = 1;
    uint32_t Flags = 0;
    uint32_t Frames = 0, Faces = 1, Mips = 0;
    uint32_t Format = 0;
    uint64_t ImageOffset = 0;  // first byte of the main image data (smallest level first)
};

// Reads count bytes at offset into dst; false when the file cannot supply them all.
using TReadAt = std::function<bool(uint64_t offset, void* dst, size_t count)>;

// Parses and validates a texture of fileSize bytes: the signature and version, the header
// fields, the resource entries, and that every image of every level lies inside the file.
// Textures of a format that cannot be decoded are refused too. Nothing is allocated from a
// size the file claims beyond what it holds.
std::optional<TVtfLayout> ReadVtfLayout(const TReadAt& readAt, uint64_t fileSize);

// Size of level k along one axis of length n.
inline uint32_t LevelSize(uint32_t n, uint32_t k) { return k >= 32 ? 1 : (n >> k) > 0 ? (n >> k) : 1; }

// Bytes of one image (one frame, face and slice) of a level.
uint64_t LevelImageBytes(const TVtfLayout& layout, uint32_t level);
// Offset of frame 0, face 0, slice 0 of a level. Only meaningful for a validated layout.
uint64_t LevelImageOffset(const TVtfLayout& layout, uint32_t level);

}  // namespace texbridge

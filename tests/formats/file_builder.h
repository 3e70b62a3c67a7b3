// Little-endian byte building for hand-made bitmap and icon files in the tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "bitmap.h"
#include "exceptions.h"
#include "streams.h"

namespace testfiles {

struct Bytes {
    std::vector<uint8_t> Data;
    Bytes& U8(uint32_t v) {
        Data.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Bytes& U16(uint32_t v) { return U8(v).U8(v >> 8); }
    Bytes& U32(uint32_t v) { return U16(v).U16(v >> 16); }
    Bytes& Raw(const std::vector<uint8_t>& bytes) {
        Data.insert(Data.end(), bytes.begin(), bytes.end());
        return *this;
    }
};

// A 40-byte info header.
inline Bytes InfoHeader(int32_t width, int32_t height, int bits, uint32_t compression, uint32_t colorsUsed = 0) {
    Bytes b;
    b.U32(40).U32(static_cast<uint32_t>(width)).U32(static_cast<uint32_t>(height)).U16(1).U16(static_cast<uint32_t>(bits));
    return b.U32(compression).U32(0).U32(0).U32(0).U32(colorsUsed).U32(0);
}

// A file header pointing right after the tables (masks, palette), then the pixels.
inline std::vector<uint8_t> BitmapFile(const Bytes& header, const std::vector<uint8_t>& tables,
                                       const std::vector<uint8_t>& pixels) {
    const uint32_t offset = static_cast<uint32_t>(14 + header.Data.size() + tables.size());
    Bytes f;
    f.U8('B').U8('M').U32(static_cast<uint32_t>(offset + pixels.size())).U32(0).U32(offset);
    return f.Raw(header.Data).Raw(tables).Raw(pixels).Data;
}

// Palette entries (blue, green, red, 0) from 0xRRGGBB values.
inline std::vector<uint8_t> Palette(std::initializer_list<uint32_t> colors) {
    Bytes b;
    for (uint32_t c : colors) b.U8(c).U8(c >> 8).U8(c >> 16).U8(0);
    return b.Data;
}

template <class Graphic>
void LoadInto(Graphic& graphic, const std::vector<uint8_t>& data) {
    TReadOnlyMemoryStream stream(data.data(), data.size());
    graphic.LoadFromStream(stream);
}

// The message of the error that loading raises, or "" when it loads.
template <class Graphic>
std::string LoadError(const std::vector<uint8_t>& data) {
    Graphic graphic;
    try {
        LoadInto(graphic, data);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

template <class Graphic>
std::string LoadPrefixError(const std::vector<uint8_t>& data, size_t n) {
    return LoadError<Graphic>(std::vector<uint8_t>(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n)));
}

// Loads a thousand randomly damaged copies of a file: each must load or fail with the
// program's own error, never anything else (under the sanitizers, never out of bounds either).
// The damage is seeded, so every run tries the same files.
template <class Graphic>
void LoadDamagedCopies(const std::vector<uint8_t>& seed, uint32_t salt) {
    std::mt19937 rng(salt);
    for (int i = 0; i < 1000; ++i) {
        std::vector<uint8_t> data = seed;
        for (int edits = 1 + static_cast<int>(rng() % 4); edits > 0 && !data.empty(); --edits) {
            const size_t at = rng() % data.size();
            switch (rng() % 4) {
                case 0: data[at] = static_cast<uint8_t>(rng()); break;
                case 1: data[at] = (rng() % 2) ? 0xFF : 0x00; break;
                case 2: data.resize(at); break;
                default: data.erase(data.begin() + static_cast<std::ptrdiff_t>(at)); break;
            }
        }
        LoadError<Graphic>(data);
    }
}

}  // namespace testfiles

// Little-endian byte building for hand-made bitmap and icon files in the tests.
#pragma once

#include <cstdint>
#include <initializer_list>
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
    Bytes& Raw(std::initializer_list<uint8_t> bytes) {
        Data.insert(Data.end(), bytes);
        return *this;
    }
    Bytes& Raw(const std::vector<uint8_t>& bytes) {
        Data.insert(Data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    size_t Size() const { return Data.size(); }
};

// A 40-byte info header.
inline Bytes InfoHeader(int32_t width, int32_t height, int bits, uint32_t compression, uint32_t colorsUsed = 0) {
    Bytes b;
    b.U32(40).U32(static_cast<uint32_t>(width)).U32(static_cast<uint32_t>(height)).U16(1).U16(static_cast<uint32_t>(bits));
    b.U32(compression).U32(0).U32(2835).U32(2835).U32(colorsUsed).U32(0);
    return b;
}

// A bitmap file: file header, the given DIB header, what follows it (masks, palette) and the
// pixels, with the pixel offset pointing right after the palette.
inline std::vector<uint8_t> BitmapFile(const Bytes& header, const std::vector<uint8_t>& tables,
                                       const std::vector<uint8_t>& pixels) {
    const uint32_t offset = static_cast<uint32_t>(14 + header.Size() + tables.size());
    Bytes f;
    f.Raw({'B', 'M'}).U32(static_cast<uint32_t>(offset + pixels.size())).U32(0).U32(offset);
    f.Raw(header.Data).Raw(tables).Raw(pixels);
    return f.Data;
}

// Palette entries blue, green, red, 0 from 0xRRGGBB values.
inline std::vector<uint8_t> Palette(std::initializer_list<uint32_t> colors) {
    Bytes b;
    for (uint32_t c : colors) b.U8(c).U8(c >> 8).U8(c >> 16).U8(0);
    return b.Data;
}

inline TBitmap LoadBitmap(const std::vector<uint8_t>& data) {
    TReadOnlyMemoryStream stream(data.data(), data.size());
    TBitmap bitmap;
    bitmap.LoadFromStream(stream);
    return bitmap;
}

// The message of the exception that loading raises, or "" when it loads.
template <class Graphic>
std::string LoadError(const std::vector<uint8_t>& data) {
    TReadOnlyMemoryStream stream(data.data(), data.size());
    Graphic graphic;
    try {
        graphic.LoadFromStream(stream);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

}  // namespace testfiles

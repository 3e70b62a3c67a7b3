// Builds PNG files for the tests: chunks with their CRCs, image data filtered and deflated by a
// plain encoder, interlaced or not, so that each case can be spelled out byte for byte.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace pngtest {

using Bytes = std::vector<uint8_t>;

inline void Put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

inline Bytes Deflate(const Bytes& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

// Pixels as stored: width x height pixels of BytesPerPixel bytes (8- and 16-bit depths).
struct Image {
    uint32_t Width = 0, Height = 0;
    size_t BytesPerPixel = 1;
    Bytes Pixels;
    const uint8_t* At(uint32_t x, uint32_t y) const { return &Pixels[(size_t(y) * Width + x) * BytesPerPixel]; }
};

inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : (pb <= pc ? b : c));
}

// Filters rows of bpp-byte pixels; row r gets filter filters[r % size]. The row above the
// first one is zeros.
inline Bytes FilterRows(const std::vector<Bytes>& rows, size_t bpp, const Bytes& filters, size_t& counter) {
    Bytes out;
    Bytes prev(rows.empty() ? 0 : rows[0].size(), 0);
    for (const Bytes& row : rows) {
        const uint8_t f = filters[counter++ % filters.size()];
        out.push_back(f);
        for (size_t i = 0; i < row.size(); ++i) {
            const int a = i >= bpp ? row[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
            const int predictor = f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : f == 4 ? Paeth(a, b, c) : 0;
            out.push_back(static_cast<uint8_t>(row[i] - predictor));
        }
        prev = row;
    }
    return out;
}

// The filtered image data, interlaced with Adam7 or not; filters cycle over the given types.
inline Bytes FilteredData(const Image& img, bool adam7, const Bytes& filters = {0}) {
    static const uint32_t passes[7][4] = {{0, 8, 0, 8}, {0, 8, 4, 8}, {4, 8, 0, 4}, {0, 4, 2, 4},
                                          {2, 4, 0, 2}, {0, 2, 1, 2}, {1, 2, 0, 1}};
    size_t counter = 0;
    if (!adam7) {
        std::vector<Bytes> rows;
        for (uint32_t y = 0; y < img.Height; ++y)
            rows.emplace_back(img.At(0, y), img.At(0, y) + img.Width * img.BytesPerPixel);
        return FilterRows(rows, img.BytesPerPixel, filters, counter);
    }
    Bytes out;
    for (const auto& p : passes) {
        std::vector<Bytes> rows;
        for (uint32_t y = p[0]; y < img.Height; y += p[1]) {
            Bytes row;
            for (uint32_t x = p[2]; x < img.Width; x += p[3]) row.insert(row.end(), img.At(x, y), img.At(x, y) + img.BytesPerPixel);
            if (!row.empty()) rows.push_back(row);
        }
        Bytes part = FilterRows(rows, img.BytesPerPixel, filters, counter);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

class Builder {
public:
    Builder() : FBytes{137, 80, 78, 71, 13, 10, 26, 10} {}

    // A chunk; badCrc stores a CRC off by one.
    Builder& Chunk(const std::string& type, const Bytes& data, bool badCrc = false) {
        Put32(FBytes, static_cast<uint32_t>(data.size()));
        Bytes typed(type.begin(), type.end());
        typed.insert(typed.end(), data.begin(), data.end());
        FBytes.insert(FBytes.end(), typed.begin(), typed.end());
        Put32(FBytes, static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))) + (badCrc ? 1 : 0));
        return *this;
    }
    Builder& Header(uint32_t w, uint32_t h, uint8_t depth, uint8_t colorType, uint8_t interlace = 0,
                    uint8_t compression = 0) {
        Bytes d;
        Put32(d, w);
        Put32(d, h);
        d.insert(d.end(), {depth, colorType, compression, 0, interlace});
        return Chunk("IHDR", d);
    }
    // Deflated data split into `parts` IDAT chunks.
    Builder& ImageData(const Bytes& filtered, size_t parts = 1) {
        const Bytes z = Deflate(filtered);
        for (size_t i = 0; i < parts; ++i)
            Chunk("IDAT", Bytes(z.begin() + z.size() * i / parts, z.begin() + z.size() * (i + 1) / parts));
        return *this;
    }
    Builder& End() { return Chunk("IEND", {}); }
    const Bytes& Data() const { return FBytes; }
    Bytes& Data() { return FBytes; }

private:
    Bytes FBytes;
};

}  // namespace pngtest

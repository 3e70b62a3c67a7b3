// Files whose header claims an image far larger than their data can hold are refused before
// a bitmap of that size is made; the most compressed files that can hold their image still
// load.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "exceptions.h"
#include "image_graphic.h"
#include "formats/png_graphic.h"
#include "streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

void Chunk(Bytes& file, const char* type, const Bytes& data) {
    Put32(file, static_cast<uint32_t>(data.size()));
    const size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data.begin(), data.end());
    Put32(file, static_cast<uint32_t>(crc32(0, file.data() + start, static_cast<uInt>(file.size() - start))));
}

// A PNG of the given size and colour type whose image data is `raw` (filter bytes included),
// deflated as tightly as zlib can.
Bytes Png(uint32_t width, uint32_t height, uint8_t colorType, const Bytes& raw) {
    Bytes file = {137, 80, 78, 71, 13, 10, 26, 10};
    Bytes header;
    Put32(header, width);
    Put32(header, height);
    header.insert(header.end(), {8, colorType, 0, 0, 0});
    Chunk(file, "IHDR", header);
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes packed(size);
    EXPECT_EQ(compress2(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
    packed.resize(size);
    Chunk(file, "IDAT", packed);
    Chunk(file, "IEND", {});
    return file;
}

Bytes ZeroPng(uint32_t width, uint32_t height, uint8_t colorType, size_t rawBytes) {
    return Png(width, height, colorType, Bytes(rawBytes, 0));
}

std::string LoadError(const Bytes& file) {
    TPNGGraphic png;
    TMemoryStream stream(file.data(), file.size());
    try {
        png.LoadFromStream(stream);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

TEST(SizeClaims, PngWhoseDataCannotHoldItsRowsIsRefused) {
    // 16384 x 16384 RGBA is a gigabyte of pixels; 100 kB of zeros deflate to about a hundred
    // bytes. The image data ends early, which alone would give a partial image.
    EXPECT_EQ(LoadError(ZeroPng(16384, 16384, 6, 100000)), Format(gesInvalidImage, "PNG"));
    // Data that ends early but could have held the rows gives the partial image as before:
    // here 100 rows of noise for a 512-row image.
    Bytes noise;
    uint32_t state = 1;
    for (int row = 0; row < 100; ++row) {
        noise.push_back(0);
        for (int x = 0; x < 512; ++x) noise.push_back(static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24));
    }
    EXPECT_EQ(LoadError(Png(512, 512, 0, noise)), "");
}

TEST(SizeClaims, TheMostCompressedCompletePngStillLoads) {
    // 2048 rows of 2048 grey zeros (and a filter byte each): zlib's tightest coding, about
    // 1:1000, right at what inflating can give.
    const Bytes file = ZeroPng(2048, 2048, 0, 2049 * 2048);
    EXPECT_EQ(LoadError(file), "") << file.size() << " bytes";
}

}  // namespace

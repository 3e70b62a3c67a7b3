// Icon entries stored as PNG streams decode through the PNG reader into the icon's 32-bit
// image. The corpus icons cover RGBA entries; these cover the entries that are expanded.
#include <gtest/gtest.h>

#include "exceptions.h"
#include "formats/icon.h"
#include "png_builder.h"
#include "streams.h"

using namespace pngtest;

namespace {

// An icon file with one entry holding the given PNG stream.
Bytes IconWithPng(const Bytes& png, uint8_t side) {
    Bytes f = {0, 0, 1, 0, 1, 0, side, side, 0, 0, 1, 0, 32, 0};
    for (uint32_t v : {static_cast<uint32_t>(png.size()), 22u})
        for (int s = 0; s < 32; s += 8) f.push_back(static_cast<uint8_t>(v >> s));
    f.insert(f.end(), png.begin(), png.end());
    return f;
}

TIcon Load(const Bytes& file) {
    TIcon icon;
    TReadOnlyMemoryStream s(file.data(), file.size());
    icon.LoadFromStream(s);
    return icon;
}

}  // namespace

TEST(PngIconEntries, ShallowEntriesAreExpandedAndTheirTransparentColourClears) {
    // Indexed, 2 x 1: palette entries 1 and 0. The alpha table gives entry 0 alpha 0; entries
    // beyond it stay opaque.
    TIcon indexed = Load(IconWithPng(
        Builder().Header(2, 1, 8, 3).Chunk("PLTE", {10, 20, 30, 40, 50, 60}).Chunk("tRNS", {0}).ImageData({0, 1, 0}).End().Data(), 2));
    EXPECT_EQ(indexed.Image().PixelFormat(), pf32bit);
    EXPECT_EQ(indexed.Image().GetPixel(0, 0), (TRGBQuad{60, 50, 40, 255}));
    EXPECT_EQ(indexed.Image().GetPixel(1, 0), (TRGBQuad{30, 20, 10, 0}));
    // Half-transparent entries at two bits a pixel.
    TIcon packed = Load(IconWithPng(
        Builder().Header(2, 1, 2, 3).Chunk("PLTE", {10, 20, 30, 40, 50, 60}).Chunk("tRNS", {255, 128}).ImageData({0, 0x40}).End().Data(), 2));
    EXPECT_EQ(packed.Image().GetPixel(0, 0), (TRGBQuad{60, 50, 40, 128}));
    EXPECT_EQ(packed.Image().GetPixel(1, 0), (TRGBQuad{30, 20, 10, 255}));

    // Grey with a transparent level: those pixels take alpha 0, the rest stay opaque.
    TIcon grey = Load(IconWithPng(Builder().Header(2, 1, 8, 0).Chunk("tRNS", {0, 7}).ImageData({0, 7, 9}).End().Data(), 2));
    EXPECT_EQ(grey.Image().GetPixel(0, 0), (TRGBQuad{7, 7, 7, 0}));
    EXPECT_EQ(grey.Image().GetPixel(1, 0), (TRGBQuad{9, 9, 9, 255}));

    // A broken entry reports the reader's message.
    TIcon broken;
    const Bytes bad = IconWithPng(Builder().Header(2, 1, 8, 0).Chunk("gAMA", {0, 1, 0x86, 0xA0}, true).End().Data(), 2);
    TReadOnlyMemoryStream s(bad.data(), bad.size());
    try {
        broken.LoadFromStream(s);
        ADD_FAILURE() << "a broken entry loaded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. CRC error found in PNG file.");
    }
}

TEST(PngIconEntries, TheStreamRunsToItsEndChunkWhateverSizeTheDirectoryGives) {
    Bytes file = IconWithPng(Builder().Header(2, 1, 8, 0).ImageData({0, 7, 9}).End().Data(), 2);
    file[14] = 20;  // the directory's size of the entry: far short of the stream
    file[15] = file[16] = file[17] = 0;
    TIcon icon = Load(file);
    EXPECT_EQ(icon.Image().GetPixel(1, 0), (TRGBQuad{9, 9, 9, 255}));
}

// Bitmaps embedded in metafile records: the depths and compressions in use, and refusal of
// headers and bits that do not agree.
#include <gtest/gtest.h>

#include "metafile_builder.h"
#include "metafile/metafile_dib.h"

using namespace mftest;

namespace {

// Header, colour table of (r, g, b) entries, then the bits, decoded as one packed bitmap.
bool Decode(int32_t w, int32_t h, uint16_t bits, uint32_t compression, const std::vector<TColor>& table,
            const std::vector<uint8_t>& data, TMetaDib& out) {
    std::vector<uint8_t> d = DibInfo(w, h, bits, static_cast<uint32_t>(table.size()));
    Set32(d, 16, compression);
    for (TColor c : table) Put32(d, RGBColor(GetBValue(c), GetGValue(c), GetRValue(c)));  // stored b, g, r
    d.insert(d.end(), data.begin(), data.end());
    return DecodePackedDib(d.data(), d.size(), TDibColorUsage::RgbColors, {}, out);
}

TColor Rgb(const TMetaDib& d, int x, int y) { return d.At(x, y) & 0xFFFFFF; }

}  // namespace

TEST(MetaDib, IndexedDepthsThroughTheirColourTable) {
    TMetaDib d;
    ASSERT_TRUE(Decode(8, 1, 1, 0, {Black, Red}, {0xA0, 0, 0, 0}, d));
    EXPECT_EQ(Rgb(d, 0, 0), Red);
    EXPECT_EQ(Rgb(d, 1, 0), Black);
    EXPECT_EQ(Rgb(d, 2, 0), Red);
    ASSERT_TRUE(Decode(3, 1, 4, 0, {Black, Red, Green}, {0x12, 0x00, 0, 0}, d));
    EXPECT_EQ(Rgb(d, 0, 0), Red);
    EXPECT_EQ(Rgb(d, 1, 0), Green);
    EXPECT_EQ(Rgb(d, 2, 0), Black);
    // Bottom-up rows: the first stored row is the bottom one; a negative height is top-down.
    ASSERT_TRUE(Decode(1, 2, 8, 0, {Red, Blue}, {0, 0, 0, 0, 1, 0, 0, 0}, d));
    EXPECT_EQ(Rgb(d, 0, 0), Blue);
    EXPECT_EQ(Rgb(d, 0, 1), Red);
    EXPECT_TRUE(d.BottomUp);
    ASSERT_TRUE(Decode(1, -2, 8, 0, {Red, Blue}, {0, 0, 0, 0, 1, 0, 0, 0}, d));
    EXPECT_EQ(Rgb(d, 0, 0), Red);
    EXPECT_FALSE(d.BottomUp);
    // An index beyond the table reads black.
    ASSERT_TRUE(Decode(1, 1, 8, 0, {Red}, {7, 0, 0, 0}, d));
    EXPECT_EQ(Rgb(d, 0, 0), Black);
}

TEST(MetaDib, DirectColourDepthsAndMasks) {
    TMetaDib d;
    ASSERT_TRUE(Decode(2, 1, 16, 0, {}, {0x00, 0x7C, 0x1F, 0x00}, d));  // 5-5-5: red, blue
    EXPECT_EQ(Rgb(d, 0, 0), Red);
    EXPECT_EQ(Rgb(d, 1, 0), Blue);
    ASSERT_TRUE(Decode(1, 1, 32, 0, {}, {0x10, 0x20, 0x30, 0x00}, d));
    EXPECT_EQ(Rgb(d, 0, 0), RGBColor(0x30, 0x20, 0x10));
    EXPECT_FALSE(d.HasAlpha);  // a fourth byte of zeros is padding
    // 5-6-5 masks after the header.
    std::vector<uint8_t> info = DibInfo(1, 1, 16);
    Set32(info, 16, 3);
    for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) Put32(info, m);
    for (uint8_t v : {0xE0, 0x07, 0, 0}) info.push_back(v);
    ASSERT_TRUE(DecodePackedDib(info.data(), info.size(), TDibColorUsage::RgbColors, {}, d));
    EXPECT_EQ(Rgb(d, 0, 0), Green);
    // Palette indices instead of colours resolve through the palette given.
    std::vector<uint8_t> pal = DibInfo(1, 1, 8, 2);
    Put16(pal, 1), Put16(pal, 0);
    Put32(pal, 0);
    ASSERT_TRUE(DecodePackedDib(pal.data(), pal.size(), TDibColorUsage::PaletteIndices, {Red, Blue}, d));
    EXPECT_EQ(Rgb(d, 0, 0), Blue);
}

TEST(MetaDib, RunLengthCodesLeaveSkippedPixelsMasked) {
    TMetaDib d;
    // Row 0 (bottom): a run of 3 red, end of line; row 1: a skip of 2, an absolute run of
    // blue, red, blue; end of bitmap.
    ASSERT_TRUE(Decode(6, 2, 8, 1, {Red, Blue}, {3, 0, 0, 0, 0, 2, 2, 0, 0, 3, 1, 0, 1, 0, 0, 1}, d));
    EXPECT_TRUE(d.Masked);
    EXPECT_EQ(d.At(0, 1), 0xFF000000u | Red);
    EXPECT_EQ(d.At(2, 1), 0xFF000000u | Red);
    EXPECT_EQ(d.At(3, 1) >> 24, 0u);
    EXPECT_EQ(d.At(1, 0) >> 24, 0u);
    EXPECT_EQ(d.At(2, 0), 0xFF000000u | Blue);
    EXPECT_EQ(d.At(3, 0), 0xFF000000u | Red);
    EXPECT_EQ(d.At(4, 0), 0xFF000000u | Blue);
    // Runs that run past the row and truncated codes stop quietly.
    ASSERT_TRUE(Decode(2, 1, 8, 1, {Red}, {200, 0, 0, 5, 1}, d));
    EXPECT_EQ(d.At(1, 0), 0xFF000000u | Red);
}

TEST(MetaDib, RefusesWhatItCannotTrust) {
    TMetaDib d;
    EXPECT_FALSE(Decode(8, 8, 8, 0, {Red}, {0, 0, 0, 0}, d));        // bits shorter than the rows
    EXPECT_FALSE(Decode(1, 1, 3, 0, {}, {0, 0, 0, 0}, d));           // no such depth
    EXPECT_FALSE(Decode(1, 1, 8, 4, {}, {0, 0, 0, 0}, d));           // embedded JPEG
    EXPECT_FALSE(Decode(1, 1, 24, 1, {}, {0, 0, 0, 0}, d));          // run lengths need 8 bits
    EXPECT_FALSE(Decode(0, 1, 24, 0, {}, {0, 0, 0, 0}, d));          // no width
    EXPECT_FALSE(Decode(1, 1, 1, 0, {Red, Red, Red}, {0, 0, 0, 0}, d));  // table beyond the depth
    // A run-length bitmap may not claim an area out of all proportion to its codes.
    EXPECT_FALSE(Decode(1 << 15, 1 << 15, 8, 1, {Red}, {0, 1}, d));
    std::vector<uint8_t> tiny{12, 0, 0};
    EXPECT_FALSE(DecodePackedDib(tiny.data(), tiny.size(), TDibColorUsage::RgbColors, {}, d));
}

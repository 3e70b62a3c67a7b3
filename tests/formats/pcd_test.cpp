#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "file_builder.h"
#include "formats/pcd.h"
#include "streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t Sector = 2048;

// An image pack (or overview file) whose Base data are black but for one bright luminance
// sample in the stored image's top-left corner; chrominance is neutral.
Bytes PhotoCD(uint8_t orientation, bool overview = false) {
    const size_t start = (overview ? 5 : 96) * Sector;
    Bytes file(start + 768 * 512 * 3 / 2, 0);
    if (overview) std::memcpy(file.data(), "PCD_OPA", 7);
    std::memcpy(file.data() + Sector, "PCD_IPI", 7);
    file[3586] = orientation;
    file[10] = 0x01;
    file[11] = 0x02;
    for (size_t g = 0; g < 256; ++g) {
        uint8_t* group = file.data() + start + g * 2304;
        std::memset(group + 1536, 156, 384);
        std::memset(group + 1920, 137, 384);
    }
    file[start] = 200;
    return file;
}

// Where the bright pixel ended, as "x,y", and the bitmap's size.
std::string Bright(const TBitmap& b) {
    std::string at;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            if (b.GetPixel(x, y).Green > 100) at += std::to_string(x) + "," + std::to_string(y) + " ";
    return at + std::to_string(b.Width()) + "x" + std::to_string(b.Height());
}

}  // namespace

TEST(PhotoCD, UpsamplingInPlace) {
    // Stored 2 x 2 in a plane of 4 x 4: row 0 doubles onto itself.
    uint8_t plane[16] = {10, 20, 0, 0, 30, 50};
    TPCDGraphic::Upsample(plane, 2, 2, 4);
    const uint8_t expected[16] = {10, 15, 20, 20, 20, 28, 35, 35, 30, 40, 50, 50, 30, 40, 50, 50};
    EXPECT_EQ(Bytes(plane, plane + 16), Bytes(expected, expected + 16));
}

TEST(PhotoCD, RotationsAndOverviewFiles) {
    struct Case {
        uint8_t Orientation;
        bool Overview;
        std::string Where;
    } cases[] = {
        {0x00, false, "0,0 768x512"},   {0x02, false, "0,0 768x512"},
        {0x01, false, "0,767 512x768"},  // the stored top-left ends bottom-left
        {0x03, false, "511,0 512x768"},  // ... and top-right
        {0xFC, false, "0,0 768x512"},    // only the low two bits count
        {0x00, true, "0,0 768x512"},     // an overview file's data start at sector 5
    };
    for (const Case& c : cases) {
        TPCDGraphic g;
        testfiles::LoadInto(g, PhotoCD(c.Orientation, c.Overview));
        EXPECT_EQ(Bright(g), c.Where) << int(c.Orientation);
        EXPECT_EQ(g.PixelFormat(), pf24bit);
        EXPECT_EQ(g.GetPixel(0, 0).Red, g.GetPixel(0, 0).Blue);  // neutral chrominance is grey
    }
}

TEST(PhotoCD, PropertiesAndShortFiles) {
    const Bytes file = PhotoCD(0x01);
    TPCDGraphic g;
    struct Case {
        uint32_t Index;
        int Width, Height;
        TCompressionKind Compression;
    } cases[] = {{0, 128, 192, ckNone}, {9, 4096, 6144, ckPhotoCDHuffman}};
    for (const Case& c : cases) {
        TReadOnlyMemoryStream stream(file.data(), file.size());
        ASSERT_TRUE(g.ReadProperties(stream, c.Index));
        EXPECT_EQ(g.Properties.Width, c.Width);
        EXPECT_EQ(g.Properties.Height, c.Height);
        EXPECT_EQ(g.Properties.Compression, c.Compression);
        EXPECT_EQ(g.Properties.ImageCount, 0x0102);
        EXPECT_EQ(g.Properties.RotationCode, 1);
        EXPECT_EQ(g.Properties.PixelModel, pmPhotoYCC);
    }
    const Bytes overview = PhotoCD(0x00, true);
    TReadOnlyMemoryStream stream(overview.data(), overview.size());
    ASSERT_TRUE(g.ReadProperties(stream, 2));
    EXPECT_TRUE(g.Properties.IsOverview);
    EXPECT_EQ(g.Properties.Width, 192);

    // Neither kind: an empty bitmap, no error.
    Bytes other = file;
    other[Sector] = 'X';
    testfiles::LoadInto(g, other);
    EXPECT_TRUE(g.Empty());
    EXPECT_EQ(testfiles::LoadPrefixError<TPCDGraphic>(file, 6143), "Stream read error");
    EXPECT_EQ(testfiles::LoadPrefixError<TPCDGraphic>(file, file.size() - 1), "Stream read error");

    TReadOnlyMemoryStream exact(file.data(), 6144), more(file.data(), 6145);
    EXPECT_FALSE(TPCDGraphic::CanReadStream(exact));
    EXPECT_TRUE(TPCDGraphic::CanReadStream(more));
    EXPECT_EQ(more.Position(), 0);
    TReadOnlyMemoryStream notPcd(other.data(), other.size());
    EXPECT_FALSE(TPCDGraphic::CanReadStream(notPcd));
}

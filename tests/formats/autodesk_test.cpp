#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file_builder.h"
#include "formats/autodesk.h"
#include "streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A cel: header, palette entry i = (i & 63, 1, 63), then the pixels.
Bytes Cel(uint16_t width, uint16_t height, const Bytes& pixels, uint8_t depth = 8, uint8_t compression = 0) {
    testfiles::Bytes b;
    b.U16(0x9119).U16(width).U16(height).U16(5).U16(6).U8(depth).U8(compression).U32(uint32_t(pixels.size()));
    b.Raw(Bytes(16, 0));
    for (int i = 0; i < 256; ++i) b.U8(i & 63).U8(1).U8(63);
    return b.Raw(pixels).Data;
}

}  // namespace

TEST(Autodesk, HeaderPaletteAndPixels) {
    TAutodeskGraphic g;
    std::vector<TProgressStage> stages;
    g.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t, bool, const TRect&, const std::string&) {
        stages.push_back(stage);
    };
    testfiles::LoadInto(g, Cel(3, 2, {1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(g.GetRawPixel(0, 1), 4u);
    EXPECT_EQ(g.Palette()[1], (TPaletteEntry{4, 4, 252, 0}));
    EXPECT_EQ(g.Palette()[63], (TPaletteEntry{252, 4, 252, 0}));
    EXPECT_EQ(g.Properties.Compression, ckNone);
    EXPECT_EQ(stages, (std::vector<TProgressStage>{psStarting, psRunning, psRunning, psEnding}));

    // No rows: nothing read, and still the start and the end.
    stages.clear();
    testfiles::LoadInto(g, Cel(3, 0, {}));
    EXPECT_TRUE(g.Empty());
    EXPECT_EQ(stages, (std::vector<TProgressStage>{psStarting, psEnding}));

    // Plain reads: what the file lacks stays black, without error.
    Bytes cut = Cel(2, 2, {7, 8, 9});
    testfiles::LoadInto(g, cut);
    EXPECT_EQ(g.GetRawPixel(0, 1), 9u);
    EXPECT_EQ(g.GetRawPixel(1, 1), 0u);
    cut.resize(32 + 3 * 10 + 1);
    testfiles::LoadInto(g, cut);
    EXPECT_EQ(g.Palette()[9], (TPaletteEntry{36, 4, 252, 0}));
    EXPECT_EQ(g.Palette()[10], (TPaletteEntry{40, 0, 0, 0}));

    // The loader reads any depth and compression as 8-bit rows.
    testfiles::LoadInto(g, Cel(1, 1, {5}, 4, 1));
    EXPECT_EQ(g.GetRawPixel(0, 0), 5u);
    EXPECT_EQ(testfiles::LoadError<TAutodeskGraphic>({0x12, 0xAF, 1, 0}),
              "Cannot load image. Invalid or unexpected Autodesk image format.");
}

TEST(Autodesk, StreamTest) {
    const Bytes cel = Cel(1, 1, {});
    struct Case {
        Bytes Data;
        bool Expected;
    } cases[] = {
        {Bytes(cel.begin(), cel.begin() + 32), false},
        {Bytes(cel.begin(), cel.begin() + 33), true},
        {Cel(1, 1, {0}, 4), false},
        {Cel(1, 1, {0}, 8, 1), false},
        {Bytes(40, 0), false},
    };
    for (const Case& c : cases) {
        TReadOnlyMemoryStream stream(c.Data.data(), c.Data.size());
        stream.SetPosition(0);
        EXPECT_EQ(TAutodeskGraphic::CanReadStream(stream), c.Expected) << c.Data.size();
        EXPECT_EQ(stream.Position(), 0);
    }
}

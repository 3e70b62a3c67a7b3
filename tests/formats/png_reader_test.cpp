// The PNG reader on files built byte by byte: the chunk walk, the error texts, the filters,
// interlacing, and how colours, background and transparency reach the bitmap.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "exceptions.h"
#include "png_builder.h"
#include "formats/png_graphic.h"
#include "streams.h"

using namespace pngtest;

namespace {

const std::string kInvalid = "Cannot load image. Invalid or unexpected PNG image format.";
const std::string kCrc = "Cannot load image. CRC error found in PNG file.";
const std::string kColor = "Invalid color format in PNG file.";
const std::string kScheme = "Cannot load image. The compression scheme is not supported for PNG files.";
const std::string kPalette = "Cannot load image. Palette in PNG file is invalid.";
const std::string kCritical = "Cannot load PNG image. Unexpected but critical chunk detected.";
const std::string kInflate = "Cannot load image. Compression error found in PNG file.";
const std::string kExtra = "Cannot load image. Extra compressed data found in PNG file.";
const std::string kRead = "Stream read error";

struct Loaded {
    std::unique_ptr<TPNGGraphic> Graphic = std::make_unique<TPNGGraphic>();
    std::string Error;  // empty when the load succeeded
};

Loaded Load(const Bytes& file) {
    Loaded out;
    try {
        TReadOnlyMemoryStream stream(file.data(), file.size());
        out.Graphic->LoadFromStream(stream);
    } catch (const std::exception& e) {
        out.Error = e.what();
    }
    return out;
}

Image Noise(uint32_t w, uint32_t h, size_t bpp, uint32_t seed = 1) {
    Image img{w, h, bpp, Bytes(size_t(w) * h * bpp)};
    std::mt19937 rng(seed);
    for (auto& b : img.Pixels) b = static_cast<uint8_t>(rng());
    return img;
}

Bytes RgbFile(const Image& img, const std::vector<std::pair<std::string, Bytes>>& before = {}) {
    Builder b;
    b.Header(img.Width, img.Height, 8, 2);
    for (const auto& [type, data] : before) b.Chunk(type, data);
    return b.ImageData(FilteredData(img, false, {0, 1, 2, 3, 4})).End().Data();
}

TRGBQuad Quad(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) { return TRGBQuad{b, g, r, a}; }

// The colour our bitmap should show for a stored pixel: 16-bit samples narrowed by
// truncation, grey alpha without its alpha, alpha only where the bitmap keeps it.
TRGBQuad Expected(const uint8_t* p, uint8_t colorType, uint8_t depth) {
    const size_t step = depth / 8;
    auto sample = [&](size_t i) {
        return depth == 16 ? static_cast<uint8_t>(((p[i * 2] << 8) | p[i * 2 + 1]) / 257) : p[i * step];
    };
    switch (colorType) {
        case 0:
        case 4: return Quad(sample(0), sample(0), sample(0));
        case 2: return Quad(sample(0), sample(1), sample(2));
        default: return Quad(sample(0), sample(1), sample(2), sample(3));
    }
}

void ExpectImage(const TBitmap& bmp, const Image& img, uint8_t colorType, uint8_t depth) {
    ASSERT_EQ(bmp.Width(), int32_t(img.Width));
    ASSERT_EQ(bmp.Height(), int32_t(img.Height));
    for (uint32_t y = 0; y < img.Height; ++y)
        for (uint32_t x = 0; x < img.Width; ++x)
            ASSERT_EQ(bmp.GetPixel(int32_t(x), int32_t(y)), Expected(img.At(x, y), colorType, depth))
                << "pixel " << x << "," << y;
}

}  // namespace

// --- the chunk walk and its errors ---------------------------------------------------------------

TEST(PngChunks, LowerCaseImageDataAndEndAreThoseChunks) {
    const Image img = Noise(5, 3, 3);
    const Bytes z = Deflate(FilteredData(img, false, {4}));
    // The CRC covers the type as written; after "iend" nothing more is read.
    Bytes file = Builder().Header(5, 3, 8, 2).Chunk("idat", z).Chunk("iend", {}).Data();
    file.insert(file.end(), {0xDE, 0xAD});
    Loaded l = Load(file);
    ASSERT_EQ(l.Error, "");
    ExpectImage(*l.Graphic, img, 2, 8);
}

TEST(PngChunks, CrcIsCheckedOnlyForChunksTheReaderReads) {
    const Image img = Noise(4, 4, 3);
    const Bytes filtered = FilteredData(img, false);
    struct Case {
        std::string Type;
        Bytes Data;
        std::string Error;
    } cases[] = {
        {"tEXt", {'a', 0, 'b'}, ""},  // not interpreted: skipped unchecked
        {"gAMA", {0, 1, 0x86, 0xA0}, kCrc},
        {"bKGD", {0, 1, 0, 2, 0, 3}, kCrc},
        {"tRNS", {0, 1, 0, 2, 0, 3}, kCrc},
        {"PLTE", {1, 2, 3}, kCrc},  // read and dropped for RGB, but read
    };
    for (const Case& c : cases) {
        Bytes file = Builder().Header(4, 4, 8, 2).Chunk(c.Type, c.Data, true).ImageData(filtered).End().Data();
        EXPECT_EQ(Load(file).Error, c.Error) << c.Type;
    }
    EXPECT_EQ(Load(Builder().Header(4, 4, 8, 2).ImageData(filtered).Chunk("IEND", {}, true).Data()).Error, "")
        << "IEND is skipped";
    Bytes z = Deflate(filtered);
    Bytes tail = Builder().Header(4, 4, 8, 2).Chunk("IDAT", z).Chunk("IDAT", {1, 2}, true).End().Data();
    EXPECT_EQ(Load(tail).Error, kCrc) << "image data after the last row is checked, not inflated";
}

TEST(PngChunks, EveryRejectionHasItsMessage) {
    const Image img = Noise(4, 4, 3);
    const Bytes filtered = FilteredData(img, false);
    const Bytes good = RgbFile(img);
    auto withHeader = [&](uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t compression = 0) {
        return Builder().Header(w, h, depth, type, 0, compression).ImageData(filtered).End().Data();
    };
    auto truncated = [](Bytes b, size_t cut) {
        b.resize(b.size() - cut);
        return b;
    };
    Bytes badSignature = good;
    badSignature[1] = 'Q';
    Bytes shortHeader = Builder().Chunk("IHDR", {0, 0, 0, 4, 0, 0, 0, 4, 8, 2, 0, 0}).ImageData(filtered).End().Data();
    // The gamma ends the header's look-ahead, so the load itself meets the length.
    Bytes hugeChunk = Builder().Header(4, 4, 8, 2).Chunk("gAMA", {0, 1, 0x86, 0xA0}).Data();
    Put32(hugeChunk, 0x7FFFFFF0);
    hugeChunk.insert(hugeChunk.end(), {'I', 'D', 'A', 'T', 1, 2, 3, 4});
    Bytes hugeSkipped = Builder().Header(4, 4, 8, 2).Data();
    Put32(hugeSkipped, 0xFFFFFFFF);
    hugeSkipped.insert(hugeSkipped.end(), {'t', 'E', 'X', 't', 1, 2, 3, 4});
    Bytes badDeflate = Builder().Header(4, 4, 8, 2).Chunk("IDAT", {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF}).End().Data();
    Bytes partRow = filtered;
    partRow.insert(partRow.end(), {0, 1, 2, 3, 4});
    Bytes fewRows = Builder().Header(4, 5, 8, 2).ImageData(partRow).End().Data();

    const std::pair<Bytes, std::string> cases[] = {
        {badSignature, kInvalid},
        {Builder().Chunk("tEXt", {}).Header(4, 4, 8, 2).Data(), kInvalid},
        {withHeader(0, 4, 8, 2), kInvalid},
        {withHeader(0x80000000u, 4, 8, 2), kInvalid},
        {shortHeader, kInvalid},
        {Builder().Header(4, 4, 8, 2).End().Data(), kInvalid},  // no image data
        {withHeader(4, 4, 8, 2, 1), kScheme},
        {withHeader(4, 4, 8, 1), kColor},
        {withHeader(4, 4, 3, 0), kColor},
        {withHeader(4, 4, 16, 3), kColor},
        {withHeader(4, 4, 4, 2), kColor},
        {withHeader(4, 4, 2, 6), kColor},
        {Builder().Header(4, 4, 0, 0).Chunk("tRNS", {0, 1}).Chunk("bKGD", {0, 1}).ImageData(filtered).End().Data(), kColor},
        {Builder().Header(4, 4, 8, 3).Chunk("PLTE", {1, 2, 3, 4}).ImageData(filtered).End().Data(), kPalette},
        {Builder().Header(4, 4, 8, 2).Chunk("ABCD", {}).ImageData(filtered).End().Data(), kCritical},
        {Builder().Header(4, 4, 8, 2).Header(4, 4, 8, 2).ImageData(filtered).End().Data(), kCritical},
        {truncated(good, 12), kRead},  // no IEND
        {truncated(good, 30), kRead},  // cut inside the image data
        {hugeChunk, kRead},            // refused before anything is allocated
        {hugeSkipped, kRead},
        {badDeflate, kInflate},
        {fewRows, kExtra},  // the stream ends inside a row
        {Builder().Chunk("IHDR", {}).End().Data(), kInvalid},  // empty header, correct CRC
        // Rows narrower than a byte still take a byte and a filter byte each: a few bytes
        // cannot hold a quarter of a billion of them, plain or interlaced.
        {withHeader(1, 0x0FFFFFFF, 1, 0), kInvalid},
        {Builder().Header(7, 0x0FFFFFFF, 1, 0, 1).ImageData(filtered).End().Data(), kInvalid},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(Load(cases[i].first).Error, cases[i].second) << "case " << i;
}

// --- image data, filters and interlacing ---------------------------------------------------------

TEST(PngImageData, ZeroLengthChunksAreSkippedAndEarlyEndReadsAsZeros) {
    const Image img = Noise(16, 6, 3);
    const Bytes z = Deflate(FilteredData(img, false, {1, 2, 3, 4}));
    const size_t half = z.size() / 2;
    Loaded split = Load(Builder()
                            .Header(16, 6, 8, 2)
                            .Chunk("IDAT", Bytes(z.begin(), z.begin() + half))
                            .Chunk("IDAT", {})
                            .Chunk("IDAT", {})
                            .Chunk("IDAT", Bytes(z.begin() + half, z.end()))
                            .Chunk("IDAT", {})
                            .End()
                            .Data());
    ASSERT_EQ(split.Error, "");
    ExpectImage(*split.Graphic, img, 2, 8);

    // The data stops mid-stream: no error, the first row is there and the rows that got
    // nothing are zeros, whatever the row buffers held before.
    Loaded cut = Load(Builder().Header(16, 6, 8, 2).Chunk("IDAT", Bytes(z.begin(), z.begin() + half)).End().Data());
    ASSERT_EQ(cut.Error, "");
    for (int32_t x = 0; x < 16; ++x) {
        EXPECT_EQ(cut.Graphic->GetPixel(x, 0), Expected(img.At(uint32_t(x), 0), 2, 8));
        EXPECT_EQ(cut.Graphic->GetPixel(x, 5), Quad(0, 0, 0));
    }
}

TEST(PngImageData, EveryFilterAtEveryPixelSizeAndInterlace) {
    // Widths and heights of 1 and 2 leave Adam7 passes empty; every pass's first row is
    // filtered against zeros, whatever the previous pass left in the row buffers.
    // 16-bit samples narrow by truncation, grey alpha loses its alpha, RGBA keeps it.
    const struct {
        uint8_t ColorType, Depth;
        size_t Bpp;
        TPixelFormat Format;
    } kinds[] = {{0, 8, 1, pf8bit},  {4, 8, 2, pf8bit},   {2, 8, 3, pf24bit},  {6, 8, 4, pf32bit},
                 {0, 16, 2, pf8bit}, {2, 16, 6, pf24bit}, {6, 16, 8, pf32bit}};
    uint32_t seed = 0;
    for (const auto& k : kinds)
        for (uint32_t w : {1u, 2u, 7u, 33u})
            for (uint32_t h : {1u, 2u, 9u})
                for (bool adam7 : {false, true}) {
                    const Image img = Noise(w, h, k.Bpp, ++seed);
                    Loaded l = Load(Builder()
                                        .Header(w, h, k.Depth, k.ColorType, adam7 ? 1 : 0)
                                        .ImageData(FilteredData(img, adam7, {4, 3, 2, 1, 0}))
                                        .End()
                                        .Data());
                    SCOPED_TRACE(::testing::Message() << "type " << int(k.ColorType) << " depth " << int(k.Depth)
                                                      << " " << w << "x" << h << (adam7 ? " Adam7" : ""));
                    ASSERT_EQ(l.Error, "");
                    ASSERT_EQ(l.Graphic->PixelFormat(), k.Format);
                    ExpectImage(*l.Graphic, img, k.ColorType, k.Depth);
                }
}

TEST(PngImageData, PaethTiesAndUndefinedFilterTypes) {
    // Pixel (1,1) of a 2 x 2 image: left a, up b, upper left c. With c 100, b 110, a 80 the
    // distances of a and c tie below b's and the left byte wins; with b 80 and a 110 the
    // distances of b and c tie and the byte above wins. Stored 5 makes 85 either way.
    // A row of filter type 7 is taken as stored. Each byte is repeated per sample, so the
    // same rows run through every pixel size.
    const Bytes rows[] = {{0, 100, 110, 4, 236, 5, 7, 1, 2}, {0, 100, 80, 4, 10, 5, 7, 1, 2}};
    const struct {
        uint8_t ColorType;
        size_t Bpp;
    } kinds[] = {{0, 1}, {2, 3}, {6, 4}};
    for (const Bytes& r : rows)
        for (const auto& k : kinds) {
            Bytes filtered;
            for (size_t i = 0; i < r.size(); ++i) filtered.insert(filtered.end(), i % 3 == 0 ? 1 : k.Bpp, r[i]);
            Loaded l = Load(Builder().Header(2, 3, 8, k.ColorType).ImageData(filtered).End().Data());
            ASSERT_EQ(l.Error, "");
            const TRGBQuad q = l.Graphic->GetPixel(1, 1);
            EXPECT_EQ(q.Red, 85) << "colour type " << int(k.ColorType);
            EXPECT_EQ(l.Graphic->GetPixel(0, 2).Red, 1);
            EXPECT_EQ(l.Graphic->GetPixel(1, 2).Red, 2);
        }
}

// --- colours, background and transparency ------------------------------------------------------

TEST(PngColors, TwoBitIndicesShowTheirEntriesFromAFourBitBitmap) {
    Loaded pal2 = Load(Builder().Header(4, 1, 2, 3).Chunk("PLTE", {10, 0, 0, 20, 0, 0, 30, 0, 0, 40, 0, 0})
                           .ImageData({0, 0b00011011}).End().Data());
    ASSERT_EQ(pal2.Error, "");
    EXPECT_EQ(pal2.Graphic->PixelFormat(), pf4bit);
    for (int32_t x = 0; x < 4; ++x) EXPECT_EQ(pal2.Graphic->GetPixel(x, 0), Quad(uint8_t(10 * (x + 1)), 0, 0));
}

TEST(PngColors, TransparentColourIsTheColourOfThePixelsItMarks) {
    const Bytes gamma10 = {0, 1, 0x86, 0xA0};
    struct Case {
        uint8_t Depth, ColorType;
        Bytes Before;  // chunks' data: gAMA (may be empty), then tRNS
        Bytes Trns;
        Bytes Filtered;
        bool Transparent;
    } cases[] = {
        {8, 2, {}, {0, 255, 0, 0, 0, 0}, {0, 255, 0, 0}, true},
        {8, 2, gamma10, {0, 128, 0, 0, 0, 0}, {0, 128, 0, 0}, true},  // both through gamma: 186
        {16, 2, {}, {0x12, 0x34, 0, 0, 0xFF, 0xFF}, {0, 0x12, 0x34, 0, 0, 0xFF, 0xFF}, true},
        {1, 0, {}, {0, 1}, {0, 0x80}, true},  // grey value 1 of 1 bit is white, not (1,1,1)
        {2, 0, gamma10, {0, 2}, {0, 0x80}, true},
        {8, 3, {}, {0}, {0, 0}, false},  // the table of an indexed image is not applied
    };
    for (const Case& c : cases) {
        Builder b;
        b.Header(1, 1, c.Depth, c.ColorType);
        if (!c.Before.empty()) b.Chunk("gAMA", c.Before);
        if (c.ColorType == 3) b.Chunk("PLTE", {9, 9, 9});
        Loaded l = Load(b.Chunk("tRNS", c.Trns).ImageData(c.Filtered).End().Data());
        SCOPED_TRACE(::testing::Message() << "depth " << int(c.Depth) << " type " << int(c.ColorType));
        ASSERT_EQ(l.Error, "");
        ASSERT_EQ(l.Graphic->Transparent(), c.Transparent);
        if (!c.Transparent) continue;
        const TRGBQuad p = l.Graphic->GetPixel(0, 0);
        EXPECT_EQ(l.Graphic->TransparentColor(), RGBColor(p.Red, p.Green, p.Blue));
    }
}

TEST(PngColors, BackgroundShowsWhereLoadingStopped) {
    // The second half of the image data fails its CRC: the rows not reached keep the fill.
    struct Case {
        uint8_t Depth, ColorType;
        Bytes Palette, Background;
        TRGBQuad Shown;
    } cases[] = {
        {8, 2, {}, {0, 10, 0, 20, 0, 30}, Quad(10, 20, 30)},
        {16, 2, {}, {0xFF, 0xFF, 0x80, 0x80, 0, 0}, Quad(255, 128, 0)},
        {2, 0, {}, {0, 2}, Quad(170, 170, 170)},
        {8, 3, {1, 1, 1, 50, 60, 70, 250, 250, 250}, {1}, Quad(50, 60, 70)},
        {8, 3, {1, 1, 1, 50, 60, 70, 250, 250, 250}, {7}, Quad(250, 250, 250)},  // no entry 7: nearest to white
        {8, 2, {}, {}, Quad(255, 255, 255)},                      // no bKGD
    };
    for (const Case& c : cases) {
        const size_t bpp = c.ColorType == 2 ? 3 * c.Depth / 8 : 1;
        const Image img = Noise(64, 16, bpp);  // noise does not compress: half the data is half the rows
        const Bytes z = Deflate(FilteredData(img, false));
        Builder b;
        b.Header(c.ColorType == 0 ? 256 : 64, 16, c.Depth, c.ColorType);
        if (!c.Palette.empty()) b.Chunk("PLTE", c.Palette);
        if (!c.Background.empty()) b.Chunk("bKGD", c.Background);
        b.Chunk("IDAT", Bytes(z.begin(), z.begin() + z.size() / 2)).Chunk("IDAT", Bytes(z.begin() + z.size() / 2, z.end()), true);
        Loaded l = Load(b.End().Data());
        EXPECT_EQ(l.Error, kCrc);
        EXPECT_EQ(l.Graphic->GetPixel(0, 15), c.Shown) << "depth " << int(c.Depth) << " type " << int(c.ColorType);
    }
}

TEST(PngColors, GammaAppliesOnlyBeforeTheImageDataAndNotToTheNextLoad) {
    const Image img{1, 1, 3, {128, 128, 128}};
    const Bytes gama = {0, 1, 0x86, 0xA0};  // 1.0: shown with exponent 1 / 2.2
    TPNGGraphic reader;
    auto loadInto = [&](const Bytes& file) {
        TReadOnlyMemoryStream s(file.data(), file.size());
        reader.LoadFromStream(s);
        return reader.GetPixel(0, 0).Red;
    };
    EXPECT_EQ(loadInto(RgbFile(img, {{"gAMA", gama}})), 186);
    EXPECT_TRUE(reader.Properties.Options & imUseGamma);
    EXPECT_EQ(loadInto(RgbFile(img)), 128);  // the same reader: nothing carries over
    EXPECT_FALSE(reader.Properties.Options & imUseGamma);
    Bytes late = Builder().Header(1, 1, 8, 2).ImageData({0, 128, 128, 128}).Chunk("tEXt", {'x'}).Chunk("gAMA", gama).End().Data();
    EXPECT_EQ(loadInto(late), 128);
    EXPECT_FLOAT_EQ(reader.Properties.Gamma, 1.0f);
}

// --- properties and progress ---------------------------------------------------------------------

TEST(PngProperties, HeaderFieldsGammaAndSignatureTest) {
    Bytes file = Builder().Header(300, 20, 16, 6, 1).Chunk("tEXt", {'x'}).Chunk("gAMA", {0, 0, 0xB1, 0x8F}).Data();
    TReadOnlyMemoryStream s(file.data(), file.size());
    TPNGGraphic g;
    ASSERT_TRUE(g.ReadProperties(s, 0));  // stops at the gamma; nothing after it is needed
    const TImageProperties& p = g.Properties;
    EXPECT_EQ(p.Width, 300);
    EXPECT_EQ(p.Height, 20);
    EXPECT_EQ(p.PixelModel, pmRGBA);
    EXPECT_EQ(p.BitsPerSample, 16);
    EXPECT_EQ(p.SamplesPerPixel, 4);
    EXPECT_EQ(p.BitsPerPixel, 64);
    EXPECT_EQ(p.Compression, ckDeflate);
    EXPECT_TRUE(p.Interlaced && p.HasAlpha);
    EXPECT_EQ(p.Options, imBigEndian);
    EXPECT_NEAR(p.Gamma, 0.45455, 1e-6);

    Bytes sig(file.begin(), file.begin() + 8);
    TReadOnlyMemoryStream exact(sig.data(), sig.size());
    EXPECT_FALSE(TPNGGraphic::CanReadStream(exact));  // 8 bytes are not more than 8
    sig.push_back(0);
    TReadOnlyMemoryStream more(sig.data(), sig.size());
    EXPECT_TRUE(TPNGGraphic::CanReadStream(more));
    EXPECT_EQ(more.Position(), 0);
}

TEST(PngProperties, ProgressRunsPerRowAndForTheLastPassOnly) {
    auto stages = [](const Bytes& file) {
        std::vector<std::string> seen;
        TPNGGraphic g;
        g.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t percent, bool, const TRect&, const std::string& m) {
            seen.push_back(stage == psStarting ? "start " + m : stage == psEnding ? "end" : std::to_string(percent));
        };
        TReadOnlyMemoryStream s(file.data(), file.size());
        g.LoadFromStream(s);
        return seen;
    };
    const std::vector<std::string> plain = {"start Preparing...", "end", "start Transfering...", "0", "33", "67", "end"};
    EXPECT_EQ(stages(RgbFile(Noise(2, 3, 3))), plain);
    // Rows 1 and 3 of pass 7, reported as the row after the step: 3 and 5 of 4 rows.
    const std::vector<std::string> adam7 = {"start Preparing...", "end", "start Transfering...", "75", "100", "end"};
    EXPECT_EQ(stages(Builder().Header(1, 4, 8, 0, 1).ImageData(FilteredData(Noise(1, 4, 1), true)).End().Data()), adam7);
}

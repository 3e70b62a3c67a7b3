#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "exceptions.h"
#include "file_builder.h"
#include "streams.h"
#include "formats/pcx.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testfiles::LoadError;

struct Layout {
    uint8_t Bits = 8, Planes = 1, Version = 5, Encoding = 0, Manufacturer = 10;
    uint16_t Width = 1, Height = 1;
    uint16_t BytesPerLine = 0;  // 0: what the width needs
    uint16_t PaletteInfo = 1, XMin = 0;
};

// Header colour-map entry i of the files below.
uint32_t MapColor(int i) { return uint32_t(i * 16) << 16 | uint32_t(255 - i * 16) << 8 | uint32_t(i); }

Bytes Pcx(const Layout& l, const Bytes& data) {
    testfiles::Bytes b;
    b.U8(l.Manufacturer).U8(l.Version).U8(l.Encoding).U8(l.Bits);
    b.U16(l.XMin).U16(0).U16(l.XMin + l.Width - 1).U16(l.Height - 1).U16(72).U16(96);
    for (int i = 0; i < 16; ++i) b.U8(MapColor(i) >> 16).U8(MapColor(i) >> 8).U8(MapColor(i));
    b.U8(0).U8(l.Planes).U16(l.BytesPerLine ? l.BytesPerLine : (l.Width * l.Bits + 7) / 8).U16(l.PaletteInfo);
    b.Data.resize(128);
    return b.Raw(data).Data;
}

// A palette block whose entry i is (i, 255 - i, 7).
Bytes PaletteBlock(uint8_t marker = 12) {
    Bytes b = {marker};
    for (int i = 0; i < 256; ++i) b.insert(b.end(), {uint8_t(i), uint8_t(255 - i), 7});
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::unique_ptr<TPCXGraphic> Load(const Bytes& file) {
    auto g = std::make_unique<TPCXGraphic>();
    testfiles::LoadInto(*g, file);
    return g;
}

// Every pixel as 0xRRGGBB, rows top-down.
std::vector<uint32_t> Colors(const TBitmap& b) {
    std::vector<uint32_t> out;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            TRGBQuad q = b.GetPixel(x, y);
            out.push_back(uint32_t(q.Red) << 16 | uint32_t(q.Green) << 8 | q.Blue);
        }
    return out;
}

}  // namespace

TEST(PCXRLE, CountBytesRunsAndBounds) {
    struct Case {
        Bytes Packed;
        int32_t Output;
        std::string Expected;  // untouched bytes read '.'
    } cases[] = {
        {{0xC1, 0x55}, 3, "U.."},
        {{0xFF, 0x00}, 63, std::string(63, '\0')},
        {{0xC5, 'a', 'b'}, 3, "aaa"},       // a run is cut where the output ends
        {{0xC0, 'x', 'b'}, 2, "b."},        // a count of 0 takes its byte and writes nothing
        {{'a', 0xC3}, 3, "a.."},            // a count byte without its data byte ends the input
        {{0x3F, 0xBF, 0xC2, 0xC0}, 4, "?\xBF\xC0\xC0"},  // 0xC0 and above are only ever counts
    };
    for (const Case& c : cases) {
        std::string out(c.Expected.size() + 4, '.');
        const uint8_t* source = c.Packed.data();
        uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
        TPCXRLEDecoder decoder;
        decoder.Decode(source, dest, int32_t(c.Packed.size()), c.Output);
        EXPECT_EQ(out, c.Expected + "....");
        EXPECT_EQ(decoder.BytesProduced(), int32_t(std::min(c.Expected.find('.'), c.Expected.size())));
        EXPECT_EQ(source, c.Packed.data());
        EXPECT_EQ(dest, reinterpret_cast<uint8_t*>(out.data()));
    }
}

TEST(PCXRLE, LongStreamsDecodeAsByteByByteDecodingDoes) {
    std::mt19937 random(15);
    for (int trial = 0; trial < 200; ++trial) {
        // Literal stretches, runs of every length (0 included) and stray count bytes at the end.
        Bytes packed;
        const int style = trial % 3;
        while (packed.size() < 50 + size_t(trial) * 7) {
            const uint8_t b = uint8_t(random());
            if (style == 0 || random() % 4 == 0)
                packed.insert(packed.end(), {uint8_t(0xC0 | (random() % 64)), b});
            else
                packed.push_back(b & (style == 1 ? 0x7F : 0xFF));
        }
        const int32_t output = int32_t(random() % (packed.size() * 8));
        std::string expected;
        for (size_t i = 0; i < packed.size() && expected.size() < size_t(output); ++i) {
            if (packed[i] < 0xC0) {
                expected += char(packed[i]);
            } else if (i + 1 < packed.size()) {
                expected.append(std::min<size_t>(packed[i] & 0x3F, output - expected.size()), char(packed[i + 1]));
                ++i;
            }
        }
        std::string out(size_t(output) + 64, '.');
        const uint8_t* source = packed.data();
        uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
        TPCXRLEDecoder decoder;
        decoder.Decode(source, dest, int32_t(packed.size()), output);
        ASSERT_EQ(decoder.BytesProduced(), int32_t(expected.size())) << "trial " << trial;
        ASSERT_EQ(out.substr(0, expected.size()), expected) << "trial " << trial;
        ASSERT_EQ(out.substr(size_t(output)), std::string(64, '.')) << "trial " << trial;
    }
}

TEST(PCXReader, EveryLayoutAndTheBitmapItGives) {
    struct Case {
        const char* Name;
        Layout L;
        Bytes Data;
        TPixelFormat Format;
        std::vector<uint32_t> Pixels;
    } cases[] = {
        {"1x1 black and white", {.Bits = 1, .Width = 10}, {0xA0, 0x40}, pf1bit,
         {0xFFFFFF, 0, 0xFFFFFF, 0, 0, 0, 0, 0, 0, 0xFFFFFF}},
        {"1x2 header map", {.Bits = 2, .Width = 4}, {0x1B}, pf4bit, {MapColor(0), MapColor(1), MapColor(2), MapColor(3)}},
        {"1x4 header map", {.Bits = 4, .Width = 3}, {0x1F, 0x20}, pf4bit, {MapColor(1), MapColor(15), MapColor(2)}},
        {"2x1 planes", {.Bits = 1, .Planes = 2, .Width = 3}, {0xA0, 0x60}, pf4bit, {MapColor(1), MapColor(2), MapColor(3)}},
        {"3x1 planes", {.Bits = 1, .Planes = 3, .Width = 2}, {0x80, 0x40, 0xC0}, pf4bit, {MapColor(5), MapColor(6)}},
        {"4x1 planes, width 9", {.Bits = 1, .Planes = 4, .Width = 9}, {0xFF, 0x80, 0, 0x80, 0, 0, 0xFF, 0x80}, pf4bit,
         {MapColor(9), MapColor(9), MapColor(9), MapColor(9), MapColor(9), MapColor(9), MapColor(9), MapColor(9),
          MapColor(11)}},
        {"3x8 planes", {.Planes = 3, .Width = 2}, {10, 20, 30, 40, 50, 60}, pf24bit, {0x0A1E32, 0x14283C}},
        {"4x8 planes", {.Planes = 4}, {1, 2, 3, 4}, pf32bit, {0x010203}},
        {"1x16 grey", {.Bits = 16, .Width = 2}, {0x00, 0xFF, 0xFF, 0xFF}, pf8bit, {0xFEFEFE, 0xFFFFFF}},
        {"3x2 planes", {.Bits = 2, .Planes = 3, .Width = 2}, {0x70, 0x80, 0xC0}, pf24bit, {0x55AAFF, 0xFF0000}},
        {"3x16 planes", {.Bits = 16, .Planes = 3}, {0x34, 0x12, 0xFF, 0xFF, 0, 0}, pf24bit, {0x12FF00}},
        // Rows the plane bytes do not cover keep what they had.
        {"3x8 short lines", {.Planes = 3, .Width = 3, .BytesPerLine = 2}, {1, 2, 3, 4, 5, 6}, pf24bit,
         {0x010305, 0x020406, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        auto g = Load(Pcx(c.L, c.Data));
        EXPECT_EQ(g->PixelFormat(), c.Format);
        EXPECT_EQ(Colors(*g), c.Pixels);
        if (c.Format == pf32bit) {
            EXPECT_EQ(g->GetPixel(0, 0).Alpha, 4);
        }
    }
}

TEST(PCXReader, PalettesByVersionPaletteInfoAndBlock) {
    const Bytes grey16 = {0x19};  // 4-bit values 1 and 9
    EXPECT_EQ(Colors(*Load(Pcx({.Bits = 4, .Version = 3, .Width = 2}, grey16))), (std::vector<uint32_t>{0x800000, 0xFF0000}));
    // Two-bit values are widened to four: value 1 still shows standard colour 1.
    EXPECT_EQ(Colors(*Load(Pcx({.Bits = 2, .Version = 3, .Width = 2}, {0x60}))), (std::vector<uint32_t>{0x800000, 0x008000}));
    EXPECT_EQ(Colors(*Load(Pcx({.Bits = 4, .Width = 2, .PaletteInfo = 2}, grey16))), (std::vector<uint32_t>{0x111111, 0x999999}));

    // The block's 769 bytes are never pixels: the second row of this plain file is missing.
    auto withBlock = Load(Pcx({.Width = 2, .Height = 2}, {3, 200}) + PaletteBlock());
    EXPECT_EQ(Colors(*withBlock), (std::vector<uint32_t>{0x03FC07, 0xC83707, 0x00FF07, 0x00FF07}));
    const Bytes noBlock = Pcx({.Width = 2}, {3, 200}) + PaletteBlock(11);
    EXPECT_EQ(Load(noBlock)->Palette(), TBitmap::DefaultPalette(pf8bit));
    Bytes greyNoBlock = noBlock;
    greyNoBlock[68] = 2;
    EXPECT_EQ(Colors(*Load(greyNoBlock)), (std::vector<uint32_t>{0x030303, 0xC8C8C8}));
}

TEST(PCXReader, RunsCrossRowsAndDataThatEndsEarly) {
    // Row size 6 (R0 R1 G0 G1 B0 B1): the runs of 3, 5 and 4 cross planes and rows.
    auto runs = Load(Pcx({.Planes = 3, .Encoding = 1, .Width = 2, .Height = 2}, {0xC3, 9, 0xC5, 5, 0xC4, 1}));
    EXPECT_EQ(Colors(*runs), (std::vector<uint32_t>{0x090905, 0x090505, 0x050101, 0x050101}));
    EXPECT_EQ(runs->Properties.Compression, ckRLE);

    // Run-length and plain data that end in the second of three rows: the row they end in
    // gets zeros, the third row keeps what it had.
    const Layout grey = {.Width = 3, .Height = 3, .PaletteInfo = 2};
    Layout rle = grey;
    rle.Encoding = 1;
    for (const Bytes& file : {Pcx(rle, {0xC4, 50}) + PaletteBlock(0), Pcx(grey, {50, 50, 50, 50}) + PaletteBlock(0)})
        EXPECT_EQ(Colors(*Load(file)), (std::vector<uint32_t>{0x323232, 0x323232, 0x323232, 0x323232, 0, 0, 0, 0, 0}));

    // X min and Y min only change the size; the properties follow the header.
    auto g = Load(Pcx({.Bits = 1, .Planes = 3, .Width = 10, .XMin = 10}, {0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(g->Width(), 10);
    EXPECT_EQ(g->Properties.BitsPerPixel, 3);
    EXPECT_EQ(g->Properties.YResolution, 96);
}

TEST(PCXReader, BadInputGivesClearErrors) {
    const std::string colorFormat = "Invalid color format in PCX file.";
    const std::string depth = "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.";
    const std::string count = "Sample count per pixel does not correspond to the given color scheme.";
    const std::string invalid = "Cannot load image. Invalid or unexpected PCX or SCR image format.";
    struct Case {
        Layout L;
        std::string Message;
    } cases[] = {
        {{.Bits = 2, .Planes = 2}, colorFormat}, {{.Bits = 4, .Planes = 4}, colorFormat},
        {{.Bits = 5}, colorFormat},              {{.Bits = 12}, colorFormat},
        {{.Bits = 0}, depth},                    {{.Bits = 17, .Planes = 0}, depth},
        {{.Planes = 0}, count},                  {{.Planes = 5}, count},
        {{.Manufacturer = 12}, invalid},
        {{.Width = 0, .XMin = 2}, invalid},  // X max 1 is X min - 1: no pixel
        // 48 MB of rows claimed by 100 bytes, which no data of that size can hold.
        {{.Planes = 3, .Width = 4000, .Height = 4000}, "Stream read error"},
    };
    for (const Case& c : cases) EXPECT_EQ(LoadError<TPCXGraphic>(Pcx(c.L, Bytes(100, 0))), c.Message);
    Bytes upsideDown = Pcx({}, Bytes(100, 0));
    upsideDown[6] = 3;  // Y min past Y max
    EXPECT_EQ(LoadError<TPCXGraphic>(upsideDown), invalid);
    EXPECT_EQ(testfiles::LoadPrefixError<TPCXGraphic>(Pcx({}, {}), 127), "Stream read error");
    // Only the palette block follows the header: no data for the rows.
    EXPECT_EQ(LoadError<TPCXGraphic>(Pcx({}, PaletteBlock())), "Stream read error");
}

TEST(PCXReader, SignatureAndDamagedFiles) {
    const Bytes file = Pcx({.Version = 4, .Encoding = 1}, {0});
    TReadOnlyMemoryStream stream(file.data(), file.size());
    EXPECT_TRUE(TPCXGraphic::CanReadStream(stream));
    EXPECT_EQ(stream.Position(), 0);
    TReadOnlyMemoryStream header(file.data(), 128);
    EXPECT_FALSE(TPCXGraphic::CanReadStream(header));
    for (auto [at, value] : {std::pair{0, 12}, {1, 1}, {1, 6}, {2, 2}}) {
        Bytes bad = file;
        bad[size_t(at)] = uint8_t(value);
        TReadOnlyMemoryStream s(bad.data(), bad.size());
        EXPECT_FALSE(TPCXGraphic::CanReadStream(s)) << at << " = " << value;
    }

    // Planes of two bits, which no corpus file has for the damaged-file sweep.
    testfiles::LoadDamagedCopies<TPCXGraphic>(Pcx({.Bits = 2, .Planes = 3, .Width = 7, .Height = 2}, Bytes(12, 0x6C)), 3);
}

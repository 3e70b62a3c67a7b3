// Windows bitmap files, read and written, with hand-made files for the cases the corpus does
// not pin down.
#include <gtest/gtest.h>

#include "file_builder.h"
#include "test_support.h"

using namespace testfiles;

namespace {

const char* const Invalid = "Bitmap image is not valid";

std::vector<uint8_t> Save(TBitmap& bitmap) {
    TMemoryStream stream;
    bitmap.SaveToStream(stream);
    return stream.Bytes();
}

uint32_t U32At(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}

// A 13 x 7 bitmap (odd width, so rows need padding) with a different raw value at each pixel.
TBitmap Pattern(TPixelFormat format) {
    TBitmap b;
    b.SetPixelFormat(format);
    b.SetSize(13, 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; ++x) b.SetRawPixel(x, y, static_cast<uint32_t>((x * 37 + y * 101) * 2654435761u));
    return b;
}

void ExpectSamePixels(const TBitmap& a, const TBitmap& b, uint32_t mask = 0xFFFFFFFF) {
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) ASSERT_EQ(a.GetRawPixel(x, y) & mask, b.GetRawPixel(x, y) & mask) << x << "," << y;
}

}  // namespace

TEST(BitmapWriter, EveryFormatRoundTripsWithItsHeader) {
    struct Case {
        TPixelFormat Format;
        int Bits;
        uint32_t Compression;
        int PaletteEntries;
    };
    const Case cases[] = {{pf1bit, 1, 0, 2}, {pf4bit, 4, 0, 16}, {pf8bit, 8, 0, 256}, {pf15bit, 16, 0, 0},
                          {pf16bit, 16, 3, 0}, {pf24bit, 24, 0, 0}, {pf32bit, 32, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bits);
        TBitmap original = Pattern(c.Format);
        const std::vector<uint8_t> file = Save(original);
        const size_t masks = c.Compression == 3 ? 12 : 0;
        const uint32_t offset = static_cast<uint32_t>(54 + masks + 4 * c.PaletteEntries);
        const size_t stride = ((13 * c.Bits + 31) / 32) * 4;
        ASSERT_EQ(file.size(), offset + stride * 7);
        EXPECT_EQ(file[0], 'B');
        EXPECT_EQ(file[1], 'M');
        EXPECT_EQ(U32At(file, 2), file.size());
        EXPECT_EQ(U32At(file, 10), offset);
        EXPECT_EQ(U32At(file, 14), 40u);
        EXPECT_EQ(U32At(file, 18), 13u);
        EXPECT_EQ(U32At(file, 22), 7u) << "bottom-up";
        EXPECT_EQ(file[28], c.Bits);
        EXPECT_EQ(U32At(file, 30), c.Compression);
        EXPECT_EQ(U32At(file, 46), 0u) << "full palettes are not counted";
        if (c.Compression == 3) {
            EXPECT_EQ(U32At(file, 54), 0xF800u);
            EXPECT_EQ(U32At(file, 58), 0x07E0u);
            EXPECT_EQ(U32At(file, 62), 0x001Fu);
        }
        // Row 0 of the bitmap is the file's last row.
        EXPECT_EQ(std::vector<uint8_t>(file.end() - static_cast<std::ptrdiff_t>(stride), file.end()),
                  std::vector<uint8_t>(original.ScanLine(0), original.ScanLine(0) + stride));

        const TBitmap back = LoadBitmap(file);
        EXPECT_EQ(back.PixelFormat(), c.Format);
        EXPECT_EQ(back.Palette(), original.Palette());
        // The fourth byte of 32-bit pixels carries nothing in this header and reads back opaque.
        ExpectSamePixels(original, back, c.Format == pf32bit ? 0x00FFFFFF : 0xFFFFFFFF);
        if (c.Format == pf32bit) {
            EXPECT_EQ(back.GetPixel(3, 3).Alpha, 255);
        }
    }
}

TEST(BitmapWriter, ShortPaletteStaysShortAndDeviceFormatIs32Bit) {
    TBitmap indexed = Pattern(pf8bit);
    TPalette palette;
    for (int i = 0; i < 5; ++i) palette.Add(static_cast<uint8_t>(i * 50), 7, static_cast<uint8_t>(255 - i));
    indexed.SetPalette(palette);
    const std::vector<uint8_t> file = Save(indexed);
    EXPECT_EQ(U32At(file, 46), 5u);
    EXPECT_EQ(U32At(file, 10), 54u + 20u);
    const TBitmap back = LoadBitmap(file);
    EXPECT_EQ(back.Palette(), palette);
    ExpectSamePixels(indexed, back);

    TBitmap device;
    device.SetSize(3, 2);
    device.Fill(RGBColor(1, 2, 3));
    const TBitmap deviceBack = LoadBitmap(Save(device));
    EXPECT_EQ(deviceBack.PixelFormat(), pf32bit);
    EXPECT_EQ(deviceBack.GetPixel(2, 1), (TRGBQuad{3, 2, 1, 255}));
}

TEST(BitmapWriter, EmptyBitmapIsNotSaved) {
    TBitmap empty;
    TMemoryStream stream;
    EXPECT_THROW(empty.SaveToStream(stream), EInvalidGraphic);
}

TEST(BitmapWriter, SavingReplacesAnExistingFile) {
    testsupport::ScratchDir dir;
    const auto path = dir / "out.bmp";
    testsupport::WriteFile(path, std::vector<uint8_t>(5000, 0x55));
    TBitmap b = Pattern(pf24bit);
    b.SaveToFile(path.string());
    EXPECT_EQ(testsupport::ReadFile(path), Save(b));
}

TEST(BitmapReader, BottomUpTopDownCoreAndBareDib) {
    // 2 x 2, 24 bits: top row red, blue; bottom row green, white. Rows padded to 8 bytes.
    const std::vector<uint8_t> top = {0, 0, 255, 255, 0, 0, 0, 0}, bottom = {0, 255, 0, 255, 255, 255, 0, 0};
    auto rows = [&](bool topFirst) {
        std::vector<uint8_t> p = topFirst ? top : bottom;
        const std::vector<uint8_t>& second = topFirst ? bottom : top;
        p.insert(p.end(), second.begin(), second.end());
        return p;
    };
    const TBitmap up = LoadBitmap(BitmapFile(InfoHeader(2, 2, 24, 0), {}, rows(false)));
    const TBitmap down = LoadBitmap(BitmapFile(InfoHeader(2, -2, 24, 0), {}, rows(true)));
    Bytes core;
    core.U32(12).U16(2).U16(2).U16(1).U16(24);
    const TBitmap os21 = LoadBitmap(BitmapFile(core, {}, rows(false)));
    std::vector<uint8_t> bare = InfoHeader(2, 2, 24, 0).Data;
    const std::vector<uint8_t> pixels = rows(false);
    bare.insert(bare.end(), pixels.begin(), pixels.end());
    const TBitmap dib = LoadBitmap(bare);
    for (const TBitmap* b : {&up, &down, &os21, &dib}) {
        ASSERT_EQ(b->PixelFormat(), pf24bit);
        EXPECT_EQ(b->GetPixel(0, 0), (TRGBQuad{0, 0, 255, 255}));
        EXPECT_EQ(b->GetPixel(1, 0), (TRGBQuad{255, 0, 0, 255}));
        EXPECT_EQ(b->GetPixel(0, 1), (TRGBQuad{0, 255, 0, 255}));
        EXPECT_EQ(b->GetPixel(1, 1), (TRGBQuad{255, 255, 255, 255}));
    }
}

TEST(BitmapReader, PalettesOfEveryHeaderKind) {
    // Core headers have three-byte entries, OS/2 2.x headers four.
    Bytes core;
    core.U32(12).U16(3).U16(1).U16(1).U16(1);
    const TBitmap a = LoadBitmap(BitmapFile(core, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, {0xA0, 0, 0, 0}));
    ASSERT_EQ(a.PixelFormat(), pf1bit);
    ASSERT_EQ(a.Palette().Count(), 2);
    EXPECT_EQ(a.Palette()[1], (TPaletteEntry{0x60, 0x50, 0x40, 0}));
    EXPECT_EQ(a.GetRawPixel(0, 0), 1u);
    EXPECT_EQ(a.GetRawPixel(1, 0), 0u);
    EXPECT_EQ(a.GetRawPixel(2, 0), 1u);

    Bytes os2;
    os2.U32(16).U32(2).U32(1).U16(1).U16(4);
    const TBitmap b = LoadBitmap(BitmapFile(os2, std::vector<uint8_t>(64, 9), {0x3C, 0, 0, 0}));
    ASSERT_EQ(b.PixelFormat(), pf4bit);
    EXPECT_EQ(b.Palette().Count(), 16);
    EXPECT_EQ(b.GetRawPixel(0, 0), 3u);
    EXPECT_EQ(b.GetRawPixel(1, 0), 12u);

    const TBitmap c = LoadBitmap(BitmapFile(InfoHeader(1, 1, 8, 0, 3), Palette({0x112233, 0x445566, 0x778899}), {2, 0, 0, 0}));
    ASSERT_EQ(c.Palette().Count(), 3);
    EXPECT_EQ(c.GetPixel(0, 0), (TRGBQuad{0x99, 0x88, 0x77, 255}));
}

TEST(BitmapReader, BitFieldsKeepOrExpandTheDepth) {
    // 5-6-5 and 5-5-5 keep their words.
    Bytes masks565;
    masks565.U32(0xF800).U32(0x07E0).U32(0x001F);
    const TBitmap a = LoadBitmap(BitmapFile(InfoHeader(1, 1, 16, 3), masks565.Data, {0x34, 0x12, 0, 0}));
    EXPECT_EQ(a.PixelFormat(), pf16bit);
    EXPECT_EQ(a.GetRawPixel(0, 0), 0x1234u);
    const TBitmap b = LoadBitmap(BitmapFile(InfoHeader(1, 1, 16, 0), {}, {0x34, 0x12, 0, 0}));
    EXPECT_EQ(b.PixelFormat(), pf15bit);
    EXPECT_EQ(b.GetRawPixel(0, 0), 0x1234u);

    // 4-4-4 without alpha expands to 24 bits, scaled so that 15 becomes 255.
    Bytes masks444;
    masks444.U32(0x0F00).U32(0x00F0).U32(0x000F);
    const TBitmap c = LoadBitmap(BitmapFile(InfoHeader(1, 1, 16, 3), masks444.Data, {0x7F, 0x01, 0, 0}));
    EXPECT_EQ(c.PixelFormat(), pf24bit);
    EXPECT_EQ(c.GetPixel(0, 0), (TRGBQuad{255, 119, 17, 255}));

    // An alpha mask (in a 56-byte header) makes 32 bits; red in the top byte here.
    Bytes v3;
    v3.U32(56).U32(2).U32(1).U16(1).U16(32).U32(3).U32(0).U32(0).U32(0).U32(0).U32(0);
    v3.U32(0xFF000000).U32(0x00FF0000).U32(0x0000FF00).U32(0x000000FF);
    const TBitmap d = LoadBitmap(BitmapFile(v3, {}, {0x80, 0x30, 0x20, 0x10, 0x00, 0x03, 0x02, 0x01}));
    EXPECT_EQ(d.PixelFormat(), pf32bit);
    EXPECT_EQ(d.GetPixel(0, 0), (TRGBQuad{0x30, 0x20, 0x10, 0x80}));
    EXPECT_EQ(d.GetPixel(1, 0), (TRGBQuad{0x03, 0x02, 0x01, 0x00}));

    // An alpha channel that is zero everywhere is taken as opaque.
    const TBitmap e = LoadBitmap(BitmapFile(v3, {}, {0x00, 0x30, 0x20, 0x10, 0x00, 0x03, 0x02, 0x01}));
    EXPECT_EQ(e.GetPixel(0, 0).Alpha, 255);
    EXPECT_EQ(e.GetPixel(1, 0).Alpha, 255);

    // Plain 32 bits: the fourth byte is no alpha.
    const TBitmap f = LoadBitmap(BitmapFile(InfoHeader(1, 1, 32, 0), {}, {1, 2, 3, 4}));
    EXPECT_EQ(f.GetPixel(0, 0), (TRGBQuad{1, 2, 3, 255}));

    // Masks must fit the pixel, be one run of bits each and not overlap.
    for (std::vector<uint32_t> bad : {std::vector<uint32_t>{0xF800, 0x0FE0, 0x001F}, {0xF800, 0x07E0, 0x0015},
                                      {0x1F800, 0x07E0, 0x001F}}) {
        Bytes m;
        for (uint32_t v : bad) m.U32(v);
        EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(1, 1, 16, 3), m.Data, {0, 0, 0, 0})), Invalid);
    }
}

namespace {

std::vector<uint8_t> Rle8(int32_t width, int32_t height, std::vector<uint8_t> data) {
    return BitmapFile(InfoHeader(width, height, 8, 1, 4), Palette({0, 0x0000FF, 0x00FF00, 0xFF0000}), data);
}

std::vector<uint8_t> Rle4(int32_t width, int32_t height, std::vector<uint8_t> data) {
    return BitmapFile(InfoHeader(width, height, 4, 2), std::vector<uint8_t>(64, 0), data);
}

// The raw pixels top to bottom, each row left to right.
std::vector<uint32_t> Raw(const TBitmap& b) {
    std::vector<uint32_t> out;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) out.push_back(b.GetRawPixel(x, y));
    return out;
}

}  // namespace

TEST(BitmapReader, RunLength8) {
    // Bottom row: a run of 3 and an absolute run of 3 (padded); then a move up one row and
    // right two; the end of the bitmap leaves the rest at 0.
    const TBitmap b = LoadBitmap(Rle8(6, 3, {3, 1, 0, 3, 2, 3, 2, 0, 0, 0, 0, 2, 2, 1, 2, 3, 0, 1}));
    EXPECT_EQ(b.PixelFormat(), pf8bit);
    EXPECT_EQ(b.Palette().Count(), 4);
    EXPECT_EQ(Raw(b), (std::vector<uint32_t>{0, 0, 3, 3, 0, 0,  //
                                             0, 0, 0, 0, 0, 0,  //
                                             1, 1, 1, 2, 3, 2}));
    // The same data top-down.
    EXPECT_EQ(Raw(LoadBitmap(Rle8(6, -3, {3, 1, 0, 3, 2, 3, 2, 0, 0, 0, 0, 2, 2, 1, 2, 3, 0, 1}))),
              (std::vector<uint32_t>{1, 1, 1, 2, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0, 3, 3, 0, 0}));
}

TEST(BitmapReader, RunLength4) {
    // A run alternates its two nibbles; an absolute run starting at an odd pixel.
    const TBitmap b = LoadBitmap(Rle4(7, 1, {3, 0x12, 0, 3, 0x45, 0x60, 1, 0x70, 0, 1}));
    EXPECT_EQ(b.PixelFormat(), pf4bit);
    EXPECT_EQ(Raw(b), (std::vector<uint32_t>{1, 2, 1, 4, 5, 6, 7}));
}

TEST(BitmapReader, RunLengthEdges) {
    // Runs may cover the row's padding (a 6-pixel row is stored in 8 bytes); the excess is dropped.
    EXPECT_EQ(Raw(LoadBitmap(Rle8(6, 1, {8, 2, 0, 1}))), std::vector<uint32_t>(6, 2));
    EXPECT_EQ(LoadError<TBitmap>(Rle8(6, 1, {9, 2, 0, 1})), Invalid);
    EXPECT_EQ(LoadError<TBitmap>(Rle8(6, 1, {0, 9, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1})), Invalid);
    // A move just below the last row ends the image; further is outside.
    EXPECT_EQ(LoadError<TBitmap>(Rle8(2, 2, {2, 1, 0, 2, 0, 2})), "");
    EXPECT_EQ(LoadError<TBitmap>(Rle8(2, 2, {2, 1, 0, 2, 0, 3})), Invalid);
    EXPECT_EQ(LoadError<TBitmap>(Rle8(2, 2, {0, 2, 9, 0})), Invalid);
    // Without an end-of-bitmap marker the data must fill the last row.
    EXPECT_EQ(LoadError<TBitmap>(Rle8(2, 2, {2, 1, 0, 0, 2, 1})), "");
    EXPECT_EQ(LoadError<TBitmap>(Rle8(2, 2, {2, 1, 0, 0, 1, 1})), Invalid);
    // Data cut inside a command.
    EXPECT_EQ(LoadError<TBitmap>(Rle8(2, 2, {2, 1, 0})), Invalid);
    EXPECT_EQ(LoadError<TBitmap>(Rle8(4, 2, {0, 4, 1, 1})), Invalid);
    EXPECT_EQ(LoadError<TBitmap>(Rle8(2, 2, {0, 2, 1})), Invalid);
    // Run-length compression must match the depth.
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(2, 1, 8, 2), std::vector<uint8_t>(1024, 0), {0, 1})), Invalid);
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(2, 1, 4, 1), std::vector<uint8_t>(64, 0), {0, 1})), Invalid);
}

TEST(BitmapReader, MalformedHeadersAreRefused) {
    const std::vector<uint8_t> good = BitmapFile(InfoHeader(3, 2, 8, 0, 2), Palette({0, 0xFFFFFF}), std::vector<uint8_t>(8, 1));
    ASSERT_EQ(LoadError<TBitmap>(good), "");
    struct Patch {
        size_t At;
        uint32_t Value;
        const char* What;
    };
    const Patch patches[] = {
        {0, 0x4D42 + 0x2000, "magic"},      {14, 41, "header size"},         {18, 0, "width zero"},
        {18, 0xFFFFFFFD, "width negative"}, {22, 0, "height zero"},          {22, 0x80000000, "height minimum"},
        {28, 7, "depth"},                   {30, 9, "compression"},          {30, 3, "bit fields at 8 bits"},
        {46, 257, "colours used"},          {50, 300, "colours important"},  {10, 60, "pixels inside palette"},
        {10, 0, "pixel offset zero"},       {10, 5000, "pixels beyond file"}, {46, 200, "palette beyond pixels"},
    };
    for (const Patch& p : patches) {
        std::vector<uint8_t> bad = good;
        const size_t width = p.At == 0 ? 2 : p.At == 28 ? 2 : 4;
        for (size_t i = 0; i < width; ++i) bad[p.At + i] = static_cast<uint8_t>(p.Value >> (8 * i));
        EXPECT_EQ(LoadError<TBitmap>(bad), Invalid) << p.What;
    }
}

TEST(BitmapReader, EveryTruncationIsRefused) {
    const std::vector<uint8_t> good = BitmapFile(InfoHeader(3, 2, 8, 0, 2), Palette({0, 0xFFFFFF}), std::vector<uint8_t>(8, 1));
    // The last row's padding (one byte) may be missing; anything shorter is refused.
    for (size_t n = 0; n + 1 < good.size(); ++n)
        EXPECT_EQ(LoadError<TBitmap>(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n))), Invalid)
            << n;
    EXPECT_EQ(LoadError<TBitmap>(std::vector<uint8_t>(good.begin(), good.end() - 1)), "");
}

TEST(BitmapReader, AbsurdSizesAreRefusedBeforeAllocating) {
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(100000, 100000, 24, 0), {}, {1, 2, 3, 4})),
              "Image is too large (100000 x 100000 pixels).");
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(0x7FFFFFFF, 0x7FFFFFFF, 32, 0), {}, {1, 2, 3, 4})),
              "Image is too large (2147483647 x 2147483647 pixels).");
    EXPECT_EQ(LoadError<TBitmap>(Rle8(70000, 70000, {0, 1})), "Image is too large (70000 x 70000 pixels).");
    // Within the bound, but more than the file holds.
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(5000, 5000, 24, 0), {}, {1, 2, 3, 4})), Invalid);
}

TEST(BitmapReader, FailedLoadKeepsThePicture) {
    TBitmap b = Pattern(pf24bit);
    const TBitmap copy = b;
    const std::vector<uint8_t> bad = {'B', 'M', 1, 2, 3};
    TReadOnlyMemoryStream stream(bad.data(), bad.size());
    EXPECT_THROW(b.LoadFromStream(stream), EInvalidGraphic);
    ExpectSamePixels(copy, b);
    EXPECT_EQ(b.PixelFormat(), pf24bit);
}

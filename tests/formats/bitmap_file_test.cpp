// Windows bitmap files: the corpus against its reference pictures, hand-made files for the
// rules the corpus does not pin down, and writing in every pixel format.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>

#include "file_builder.h"
#include "test_support.h"

using namespace testfiles;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const char* const Invalid = "Bitmap image is not valid";

// Public files not checked by the plain rule (the suite's "corrupt" files are refused, the
// others match their reference exactly in colour, and in alpha where ours is 32-bit), and why.
enum Check { Refuse, Compare, Decode };
struct Deviation {
    Check How = Compare;
    const char* Why = "";
    bool Alpha = true;
    std::array<int, 4> Bits = {8, 8, 8, 8};  // compare only this many top bits of each channel
    int Tolerance = 0;
    const char* Twin = nullptr;  // the reference of a file holding the same picture
};
const char* const Shifted = "the reference widens narrow channels by shifting (4 bits: 15 becomes 240); we scale to 255";
const char* const ZeroAlpha = "alpha is zero everywhere, which we show opaque";
const char* const NoAlphaMask = "no alpha mask, yet the reference is fully transparent";
const std::map<std::string, Deviation> Deviations = {
    {"32bpp-0x0.bmp", {.How = Refuse, .Why = "no pixels, like the suite's corrupt width-zero and height-zero"}},
    {"32bpp-0x240.bmp", {.How = Refuse, .Why = "no pixels"}},
    {"32bpp-320x0.bmp", {.How = Refuse, .Why = "no pixels"}},
    {"emptyfile.bmp", {.How = Refuse, .Why = "empty"}},
    {"l2rgb_read.bmp", {.How = Refuse, .Why = "garbage header"}},
    {"pal2color.bmp", {.How = Refuse, .Why = "2 bits per pixel is no Windows depth"}},
    {"rgb24rle24.bmp", {.How = Refuse, .Why = "OS/2 RLE24 compression is not read"}},
    {"mmap_error.bmp", {.How = Refuse, .Why = "its 252-entry palette overlaps the pixels the file header points to"}},
    {"hopper_rle8_row_overflow.bmp",
     {.How = Refuse, .Why = "runs go far past their row; a run may cover the row's padding, no more"}},
    {"rle_overflow.bmp", {.How = Decode, .Why = "no reference; a run of 3 in a 2-pixel row stays in its 4 bytes"}},
    {"rle8-blank-160x120.bmp", {.How = Decode, .Why = "no reference; a lone end-of-bitmap marker, blank"}},
    {"8bpp-pixels-not-in-palette.bmp", {.How = Decode, .Why = "the reference gives pixels of equal index different colours"}},
    {"pal4rlecut.bmp", {.How = Decode, .Why = "the reference decoder loses its way at 4-bit delta moves (it gave up "
                                              "on rle4-delta-320x240); ours shows the intended picture"}},
    {"rle4-absolute-320x240.bmp",
     {.Why = "the reference misplaces absolute runs at odd pixels", .Twin = "rle4-encoded-320x240.bmp"}},
    {"V3_R5_G6_B5.bmp", {.Why = "no reference of its own", .Twin = "V3_R5_G6_B5_Top_Down.bmp"}},
    {"V3_X8_R8_G8_B8_Top_Down.bmp", {.Why = NoAlphaMask, .Alpha = false, .Twin = "V3_X8_R8_G8_B8.bmp"}},
    {"V3_X8_R8_G8_B8.bmp", {.Why = NoAlphaMask, .Alpha = false}},
    {"rgb32h52.bmp", {.Why = NoAlphaMask, .Alpha = false}},
    {"32bpp-101110-320x240.bmp", {.Why = "the reference maps full-scale 10 and 11 bits to 254; no alpha mask, "
                                         "yet transparent",
                                  .Alpha = false, .Tolerance = 1}},
    {"V3_A1_R5_G5_B5.bmp", {.Why = ZeroAlpha, .Alpha = false}},
    {"V3_A1_R5_G5_B5_Top_Down.bmp", {.Why = ZeroAlpha, .Alpha = false}},
    {"rgb32bf-abgr.bmp", {.Why = ZeroAlpha, .Alpha = false}},
    {"V3_A4_R4_G4_B4.bmp", {.Why = Shifted, .Alpha = false, .Bits = {4, 4, 4, 4}}},
    {"V3_A4_R4_G4_B4_Top_Down.bmp", {.Why = Shifted, .Alpha = false, .Bits = {4, 4, 4, 4}}},
    {"V3_X4_R4_G4_B4.bmp", {.Why = Shifted, .Bits = {4, 4, 4, 8}}},
    {"V3_X4_R4_G4_B4_Top_Down.bmp", {.Why = Shifted, .Bits = {4, 4, 4, 8}}},
    {"rgba16-1924.bmp", {.Why = "shifted 1-, 2- and 4-bit channels; a 9-bit one narrowed by no rule we found",
                         .Bits = {1, 8, 2, 4}, .Tolerance = 1}},
    {"rgba32-61754.bmp", {.Why = "shifted 4-bit alpha; a 17-bit green narrowed by no rule we found",
                          .Bits = {6, 8, 5, 4}, .Tolerance = 1}},
    {"V5_A1_R5_G5_B5.bmp", {.Why = "the reference floors 5-bit channels and ignores 16-bit alpha", .Alpha = false,
                            .Bits = {5, 5, 5, 8}}},
};

void ExpectRefused(const fs::path& file) {
    TBitmap bitmap;
    try {
        bitmap.LoadFromFile(file.string());
        ADD_FAILURE() << file << " decoded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), Invalid) << file;
    } catch (const EOutOfResources& e) {
        EXPECT_NE(std::string(e.what()).find("Image is too large"), std::string::npos) << file;
    }
}

// 5-5-5 and 5-6-5 bitmaps keep their words; the references disagree on widening such channels
// (some floor, some round), so both sides are compared at the stored depth.
void NarrowToStoredDepth(const TBitmap& b, RgbaImage& reference, RgbaImage& actual) {
    const bool six = b.PixelFormat() == pf16bit;
    for (size_t i = 0; i < actual.Pixels.size(); i += 4) {
        const uint32_t w = b.GetRawPixel(static_cast<int>(i / 4 % actual.Width), static_cast<int>(i / 4 / actual.Width));
        actual.Pixels[i] = static_cast<uint8_t>(w >> (six ? 11 : 10) & 0x1F);
        actual.Pixels[i + 1] = static_cast<uint8_t>(w >> 5 & (six ? 0x3F : 0x1F));
        actual.Pixels[i + 2] = static_cast<uint8_t>(w & 0x1F);
        reference.Pixels[i] >>= 3;
        reference.Pixels[i + 1] >>= six ? 2 : 3;
        reference.Pixels[i + 2] >>= 3;
    }
}

void ExpectMatches(const fs::path& file, const fs::path& reference, const Deviation& d = {}) {
    TBitmap b;
    try {
        b.LoadFromFile(file.string());
    } catch (const std::exception& e) {
        ADD_FAILURE() << file << ": " << e.what();
        return;
    }
    RgbaImage expected = ReadPng(reference), actual = ToRgba(b);
    ASSERT_TRUE(expected.Width == actual.Width && expected.Height == actual.Height) << file;
    if (b.PixelFormat() == pf15bit || b.PixelFormat() == pf16bit) NarrowToStoredDepth(b, expected, actual);
    for (size_t i = 0; i < actual.Pixels.size(); ++i) {
        const int shift = 8 - d.Bits[i % 4];
        expected.Pixels[i] = static_cast<uint8_t>(expected.Pixels[i] >> shift);
        actual.Pixels[i] = static_cast<uint8_t>(actual.Pixels[i] >> shift);
    }
    const Comparison c = testsupport::Compare(expected, actual, d.Alpha && b.PixelFormat() == pf32bit);
    EXPECT_LE(c.MaxDifference, d.Tolerance) << file << ": " << c.Describe();
}

}  // namespace

TEST(BitmapCorpus, PublicFilesMatchReferencesOrAreRefused) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "public";
    std::set<std::string> corrupt;
    for (const TsvRow& row : ReadTsv(dir / "MANIFEST.tsv"))
        if (Field(row, "note").find("bmptestsuite corrupt/ set") != std::string::npos) corrupt.insert(Field(row, "relative_path"));
    int checked = 0;
    for (const TsvRow& row : ReadTsv(dir / "REFS.tsv")) {
        const std::string rel = Field(row, "path");
        if (rel.rfind("bmp/", 0) != 0) continue;
        ++checked;
        const fs::path file = dir / rel;
        const auto found = Deviations.find(file.filename().string());
        const Deviation d = found == Deviations.end() ? Deviation{} : found->second;
        if (corrupt.count(rel) || d.How == Refuse) {
            ExpectRefused(file);
        } else if (d.How == Decode) {
            TBitmap b;
            EXPECT_NO_THROW(b.LoadFromFile(file.string())) << rel;
        } else if (d.Twin) {
            ExpectMatches(file, dir / "bmp" / (std::string(d.Twin) + ".ref.png"), d);
        } else {
            EXPECT_NE(Field(row, "decoder"), "failed") << "no expectation for " << rel;
            ExpectMatches(file, file.string() + ".ref.png", d);
        }
    }
    EXPECT_GT(checked, 190);
    ASSERT_GT(corrupt.size(), 40u);
}

TEST(BitmapCorpus, GeneratedFilesMatchReferences) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "synthetic";
    for (const TsvRow& row : ReadTsv(dir / "EXPECT.tsv"))
        if (Field(row, "format") == "bmp") ExpectMatches(dir / Field(row, "path"), (dir / Field(row, "path")).string() + ".ref.png");
}

TEST(BitmapReader, AlphaOnlyWhereTheHeaderHasIt) {
    // A 56-byte header with an alpha mask; red in the top byte.
    Bytes v3;
    v3.U32(56).U32(2).U32(1).U16(1).U16(32).U32(3).U32(0).U32(0).U32(0).U32(0).U32(0);
    v3.U32(0xFF000000).U32(0x00FF0000).U32(0x0000FF00).U32(0x000000FF);
    TBitmap a, zero, plain;
    LoadInto(a, BitmapFile(v3, {}, {0x80, 0x30, 0x20, 0x10, 0x00, 0x03, 0x02, 0x01}));
    EXPECT_EQ(a.GetPixel(0, 0), (TRGBQuad{0x30, 0x20, 0x10, 0x80}));
    EXPECT_EQ(a.GetPixel(1, 0), (TRGBQuad{0x03, 0x02, 0x01, 0x00}));
    LoadInto(zero, BitmapFile(v3, {}, {0, 0x30, 0x20, 0x10, 0, 3, 2, 1}));
    EXPECT_EQ(zero.GetPixel(1, 0).Alpha, 255) << "alpha zero everywhere is opaque";
    LoadDamagedCopies<TBitmap>(BitmapFile(v3, {}, {0x80, 0x30, 0x20, 0x10, 0x00, 0x03, 0x02, 0x01}), 102);
    LoadInto(plain, BitmapFile(InfoHeader(1, 1, 32, 0), {}, {1, 2, 3, 4}));
    EXPECT_EQ(plain.GetPixel(0, 0), (TRGBQuad{1, 2, 3, 255})) << "no mask, no alpha";
}

// The corpus covers moves, padding and missing markers; these are the limits at the ends.
TEST(BitmapReader, RunLengthLimits) {
    auto rle8 = [](int32_t w, std::vector<uint8_t> data) {
        return BitmapFile(InfoHeader(w, 2, 8, 1, 2), Palette({0, 0xFFFFFF}), data);
    };
    // A 3-pixel row is stored in 4 bytes: a run may cover that padding, no more.
    EXPECT_EQ(LoadError<TBitmap>(rle8(3, {4, 1, 0, 0, 4, 1, 0, 1})), "");
    EXPECT_EQ(LoadError<TBitmap>(rle8(3, {5, 1, 0, 1})), Invalid);
    EXPECT_EQ(LoadError<TBitmap>(rle8(3, {0, 5, 1, 1, 1, 1, 1, 0, 0, 1})), Invalid);
    // Cut anywhere before the last row is complete.
    const std::vector<uint8_t> whole = rle8(3, {3, 1, 0, 0, 0, 3, 1, 0, 1, 0, 0, 1});
    for (size_t n = 0; n < whole.size() - 3; ++n) EXPECT_EQ(LoadPrefixError<TBitmap>(whole, n), Invalid) << n;
    EXPECT_EQ(LoadPrefixError<TBitmap>(whole, whole.size() - 3), "");
    LoadDamagedCopies<TBitmap>(whole, 100);
    LoadDamagedCopies<TBitmap>(BitmapFile(InfoHeader(7, -2, 4, 2, 2), Palette({0, 0xFF}),
                                          {3, 0x12, 0, 3, 0x45, 0x60, 1, 0x70, 0, 0, 7, 0x11, 0, 1}), 101);
}

// Files other viewers show: a deep image's long palette is only a hint, an OS/2 palette may
// stop short where the pixels begin, and narrow bit fields reach full scale.
TEST(BitmapReader, PalettesOtherWritersLeaveAndNarrowFields) {
    const std::vector<uint8_t> hint(300 * 4, 0x55);
    TBitmap deep, bare, os2, fields;
    LoadInto(deep, BitmapFile(InfoHeader(1, 1, 24, 0, 300), hint, {1, 2, 3, 0}));
    EXPECT_EQ(deep.GetPixel(0, 0), (TRGBQuad{1, 2, 3, 255}));
    Bytes dib = InfoHeader(1, 1, 32, 0, 300);
    LoadInto(bare, dib.Raw(hint).Raw({4, 5, 6, 7}).Data);  // no file header: the hint is skipped
    EXPECT_EQ(bare.GetPixel(0, 0), (TRGBQuad{4, 5, 6, 255}));

    // An 8-bit core header with two 3-byte entries before the pixels.
    Bytes core;
    core.U32(12).U16(2).U16(1).U16(1).U16(8);
    LoadInto(os2, BitmapFile(core, {0, 0, 0xFF, 0xFF, 0, 0}, {1, 0, 0, 0}));
    EXPECT_EQ(os2.GetPixel(0, 0), (TRGBQuad{0xFF, 0, 0, 255}));  // blue, green, red, alpha
    EXPECT_EQ(os2.GetPixel(1, 0), (TRGBQuad{0, 0, 0xFF, 255}));
    // Windows headers promise their palette: the same gap is refused there.
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(2, 1, 8, 0), Palette({0xFF0000, 0xFF}), {1, 0, 0, 0})), Invalid);

    // 16-bit fields of 4 bits (and 1 and 2 bits): all ones read 255.
    Bytes v3 = InfoHeader(2, 1, 16, 3);
    LoadInto(fields, BitmapFile(v3, Bytes().U32(0x0F00).U32(0x00F0).U32(0x000F).Data, {0xFF, 0x0F, 0x00, 0x00}));
    EXPECT_EQ(fields.GetPixel(0, 0), (TRGBQuad{255, 255, 255, 255}));
    LoadInto(fields, BitmapFile(v3, Bytes().U32(0x8000).U32(0x6000).U32(0x0001).Data, {0x01, 0xE0, 0x00, 0x40}));
    EXPECT_EQ(fields.GetPixel(0, 0), (TRGBQuad{255, 255, 255, 255}));
    EXPECT_EQ(fields.GetPixel(1, 0), (TRGBQuad{0, 170, 0, 255}));
}

TEST(BitmapReader, TruncationsAndAbsurdSizesAreRefused) {
    const std::vector<uint8_t> good = BitmapFile(InfoHeader(3, 2, 8, 0, 2), Palette({0, 0xFFFFFF}), std::vector<uint8_t>(8, 1));
    // The last row's padding (one byte) may be missing; anything shorter is refused.
    for (size_t n = 0; n + 1 < good.size(); ++n) EXPECT_EQ(LoadPrefixError<TBitmap>(good, n), Invalid) << n;
    EXPECT_EQ(LoadPrefixError<TBitmap>(good, good.size() - 1), "");

    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(100000, 100000, 24, 0), {}, {1, 2, 3, 4})),
              "Image is too large (100000 x 100000 pixels).");
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(0x7FFFFFFF, -0x7FFFFFFF, 32, 0), {}, {1})),
              "Image is too large (2147483647 x 2147483647 pixels).");
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(70000, 70000, 8, 1), std::vector<uint8_t>(1024, 0), {0, 1})),
              "Image is too large (70000 x 70000 pixels).");
    // Within the bound, but more than the file holds: refused before allocating.
    EXPECT_EQ(LoadError<TBitmap>(BitmapFile(InfoHeader(5000, 5000, 24, 0), {}, {1, 2, 3, 4})), Invalid);
}

TEST(BitmapWriter, EveryFormatRoundTrips) {
    struct Case {
        TPixelFormat Format;
        uint8_t Bits, Compression;
        int Colors;  // a short palette stays short
    };
    for (const Case c : {Case{pf1bit, 1, 0, 2}, {pf4bit, 4, 0, 16}, {pf8bit, 8, 0, 5}, {pf15bit, 16, 0, 0},
                         {pf16bit, 16, 3, 0}, {pf24bit, 24, 0, 0}, {pf32bit, 32, 0, 0}}) {
        SCOPED_TRACE(c.Bits);
        TBitmap original;
        original.SetPixelFormat(c.Format);
        original.SetSize(13, 7);  // odd width: rows need padding
        if (c.Colors == 5) {
            TPalette palette;
            for (int i = 0; i < 5; ++i) palette.Add(static_cast<uint8_t>(i * 50), 7, 9);
            original.SetPalette(palette);
        }
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 13; ++x) original.SetRawPixel(x, y, (x * 37u + y * 101u) * 2654435761u);
        TMemoryStream stream;
        original.SaveToStream(stream);
        const std::vector<uint8_t>& file = stream.Bytes();
        const size_t palette = 4 * static_cast<size_t>(c.Colors), masks = c.Compression ? 12 : 0;
        ASSERT_EQ(file.size(), 54 + masks + palette + (13 * c.Bits + 31) / 32 * 4 * 7);
        EXPECT_EQ(file[28], c.Bits);
        EXPECT_EQ(file[30], c.Compression);
        EXPECT_EQ(file[10] | file[11] << 8, static_cast<int>(54 + masks + palette));
        EXPECT_EQ(file[46], c.Colors == 5 ? 5 : 0) << "colours used, when short";
        if (c.Compression) {
            EXPECT_EQ(std::vector<uint8_t>(&file[54], &file[66]), Bytes().U32(0xF800).U32(0x07E0).U32(0x001F).Data);
        }
        TBitmap back;
        LoadInto(back, file);
        EXPECT_EQ(back.PixelFormat(), c.Format);
        EXPECT_EQ(back.Palette(), original.Palette());
        // The fourth byte of 32-bit pixels means nothing in this header and reads back opaque.
        const uint32_t mask = c.Format == pf32bit ? 0x00FFFFFF : 0xFFFFFFFF;
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 13; ++x) ASSERT_EQ(back.GetRawPixel(x, y) & mask, original.GetRawPixel(x, y) & mask);
        LoadDamagedCopies<TBitmap>(file, c.Bits);
    }
    TBitmap empty;
    TMemoryStream stream;
    EXPECT_THROW(empty.SaveToStream(stream), EInvalidGraphic);

    // A palette longer than the depth can index is written cut to what the pixels reach, so
    // the file reads back.
    TBitmap mono;
    mono.SetPixelFormat(pf1bit);
    TPalette three;
    three.Add(10, 20, 30);
    three.Add(40, 50, 60);
    three.Add(70, 80, 90);
    mono.SetPalette(three);
    mono.SetSize(2, 1);
    mono.SetRawPixel(1, 0, 1);
    TMemoryStream monoFile;
    mono.SaveToStream(monoFile);
    TBitmap monoBack;
    LoadInto(monoBack, monoFile.Bytes());
    EXPECT_EQ(monoBack.Palette().Count(), 2);
    EXPECT_EQ(monoBack.GetPixel(1, 0), (TRGBQuad{60, 50, 40, 255}));
}

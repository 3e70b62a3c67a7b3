// Windows bitmaps of the corpus decode to their reference pictures, and broken files give a
// clear error.
//
// 5-5-5 and 5-6-5 images keep their 16-bit words; they are compared at that precision (the
// reference narrowed to 5 or 6 bits per channel), because the references disagree on how to
// widen such channels to 8 bits (some floor, some round) and the widening is not the reader's.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "bitmap.h"
#include "exceptions.h"
#include "test_support.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

// Files outside the suite's "corrupt" set that we refuse on purpose, and why.
const std::map<std::string, std::string> RefusedFiles = {
    {"bmp/32bpp-0x0.bmp", "no pixels: zero sizes are refused, as for the suite's width-zero and height-zero"},
    {"bmp/32bpp-0x240.bmp", "zero width"},
    {"bmp/32bpp-320x0.bmp", "zero height"},
    {"bmp/pal2color.bmp", "2 bits per pixel is not a Windows bitmap depth"},
    {"bmp/rgb24rle24.bmp", "OS/2 RLE24 compression is not read"},
    {"bmp/l2rgb_read.bmp", "garbage header"},
    {"bmp/mmap_error.bmp", "its 252-entry palette overlaps the pixel data the file header points to"},
    {"bmp/hopper_rle8_row_overflow.bmp",
     "hand-edited so that runs go far past the end of their row; a run may cover the row's padding, "
     "no more (the reference decoder drops any excess)"},
    {"bmp/emptyfile.bmp", "empty"},
};

// Files whose reference alpha channel is not compared, and why. RGB is still compared.
const std::map<std::string, std::string> AlphaNotCompared = {
    {"bmp/32bpp-101110-320x240.bmp", "no alpha mask, yet the reference is fully transparent"},
    {"bmp/V3_X8_R8_G8_B8.bmp", "no alpha mask, yet the reference is fully transparent"},
    {"bmp/rgb32h52.bmp", "no alpha mask, yet the reference is fully transparent"},
    {"bmp/V3_A1_R5_G5_B5.bmp", "alpha is zero everywhere, which we show opaque"},
    {"bmp/V3_A1_R5_G5_B5_Top_Down.bmp", "alpha is zero everywhere, which we show opaque"},
    {"bmp/V3_A4_R4_G4_B4.bmp", "alpha is zero everywhere, which we show opaque"},
    {"bmp/V3_A4_R4_G4_B4_Top_Down.bmp", "alpha is zero everywhere, which we show opaque"},
    {"bmp/rgb32bf-abgr.bmp", "alpha is zero everywhere, which we show opaque"},
    {"bmp/V5_A1_R5_G5_B5.bmp", "the reference decoder ignores alpha in 16-bit files"},
    {"bmp/V3_X8_R8_G8_B8_Top_Down.bmp", "compared with its twin's reference, which is fully transparent"},
};

// References that widen narrow channels differently from us (we scale to the full range, so
// that a channel's maximum becomes 255): compared at each channel's bit depth in the file (red,
// green, blue, alpha; 8 means full precision).
struct ChannelBits {
    int Bits[4];
    const char* Reason;
};
const std::map<std::string, ChannelBits> ComparedAtFileDepth = {
    {"bmp/V3_A4_R4_G4_B4.bmp", {{4, 4, 4, 4}, "the reference widens 4-bit channels by shifting (15 becomes 240)"}},
    {"bmp/V3_A4_R4_G4_B4_Top_Down.bmp", {{4, 4, 4, 4}, "as above"}},
    {"bmp/V3_X4_R4_G4_B4.bmp", {{4, 4, 4, 8}, "as above"}},
    {"bmp/V3_X4_R4_G4_B4_Top_Down.bmp", {{4, 4, 4, 8}, "as above"}},
    {"bmp/rgba16-1924.bmp", {{1, 8, 2, 4}, "the reference widens 1-, 2- and 4-bit channels by shifting"}},
    {"bmp/rgba32-61754.bmp", {{6, 8, 5, 4}, "the reference widens 4-bit alpha by shifting"}},
    {"bmp/V5_A1_R5_G5_B5.bmp", {{5, 5, 5, 8}, "the reference floors when widening 5-bit channels; we round"}},
};

// References that are off by a known amount, and why.
const std::map<std::string, std::pair<int, const char*>> Tolerances = {
    {"bmp/32bpp-101110-320x240.bmp", {1, "the reference maps full-scale 10- and 11-bit channels to 254"}},
    {"bmp/rgba16-1924.bmp", {1, "the reference narrows the 9-bit green channel by no rule we could find"}},
    {"bmp/rgba32-61754.bmp", {1, "the reference narrows the 17-bit green channel by no rule we could find"}},
};

// Files without a reference of their own that hold the same picture as another file.
const std::map<std::string, std::string> TwinReferences = {
    {"bmp/V3_R5_G6_B5.bmp", "bmp/V3_R5_G6_B5_Top_Down.bmp"},
    {"bmp/V3_X8_R8_G8_B8_Top_Down.bmp", "bmp/V3_X8_R8_G8_B8.bmp"},
    // The reference decoder misplaces absolute runs that start at an odd pixel.
    {"bmp/rle4-absolute-320x240.bmp", "bmp/rle4-encoded-320x240.bmp"},
};

// References that cannot be used at all; these files must decode, and some have tests of their own.
const std::map<std::string, std::string> ReferenceNotUsed = {
    {"bmp/8bpp-pixels-not-in-palette.bmp",
     "the reference gives pixels of equal index different colours, so it is no decode of the file"},
    {"bmp/pal4rlecut.bmp",
     "the reference decoder loses its way at the delta moves of 4-bit run-length data (it gave up on "
     "rle4-delta-320x240 altogether); ours shows the intended picture with the skipped pixels at index 0"},
};

// Files that both reference decoders gave up on but that we read, and why that is right.
const std::map<std::string, std::string> ReadWithoutReference = {
    {"bmp/rle8-blank-160x120.bmp", "a lone end-of-bitmap marker: a blank image"},
    {"bmp/rle_overflow.bmp", "an absolute run of 3 in a 2-pixel row stays within the row's 4 bytes; the "
                             "extra pixel is dropped"},
};

std::set<std::string> SuiteCorruptFiles(const fs::path& corpus) {
    std::set<std::string> out;
    for (const TsvRow& row : ReadTsv(corpus / "public" / "MANIFEST.tsv"))
        if (Field(row, "note").find("bmptestsuite corrupt/ set") != std::string::npos)
            out.insert(Field(row, "relative_path"));
    return out;
}

void ExpectRefused(const fs::path& file) {
    TBitmap bitmap;
    try {
        bitmap.LoadFromFile(file.string());
        ADD_FAILURE() << file << " decoded, but should have been refused";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Bitmap image is not valid") << file;
    } catch (const EOutOfResources& e) {
        EXPECT_NE(std::string(e.what()).find("Image is too large"), std::string::npos) << file;
    }
}

// Narrows a reference to the 5-5-5 or 5-6-5 precision of the bitmap, and the bitmap's pixels to
// their stored channel values, so that both can be compared exactly.
void NarrowToStoredPrecision(const TBitmap& bitmap, RgbaImage& reference, RgbaImage& actual) {
    const bool six = bitmap.PixelFormat() == pf16bit;
    for (int y = 0; y < actual.Height; ++y)
        for (int x = 0; x < actual.Width; ++x) {
            const uint32_t w = bitmap.GetRawPixel(x, y);
            uint8_t* a = &actual.Pixels[(static_cast<size_t>(y) * actual.Width + x) * 4];
            a[0] = static_cast<uint8_t>(six ? (w >> 11) & 0x1F : (w >> 10) & 0x1F);
            a[1] = static_cast<uint8_t>(six ? (w >> 5) & 0x3F : (w >> 5) & 0x1F);
            a[2] = static_cast<uint8_t>(w & 0x1F);
        }
    if (reference.Width != actual.Width || reference.Height != actual.Height) return;
    for (size_t i = 0; i < reference.Pixels.size(); i += 4) {
        reference.Pixels[i] >>= 3;
        reference.Pixels[i + 1] >>= six ? 2 : 3;
        reference.Pixels[i + 2] >>= 3;
    }
}

// Keeps only the top bits of each channel.
void NarrowChannels(RgbaImage& image, const int bits[4]) {
    for (size_t i = 0; i < image.Pixels.size(); ++i) {
        const int b = std::min(bits[i % 4], 8);
        image.Pixels[i] = static_cast<uint8_t>(image.Pixels[i] >> (8 - b));
    }
}

void ExpectMatchesReference(const fs::path& file, const fs::path& reference, bool compareAlpha, int tolerance = 0,
                            const int* channelBits = nullptr) {
    TBitmap bitmap;
    try {
        bitmap.LoadFromFile(file.string());
    } catch (const std::exception& e) {
        ADD_FAILURE() << file << ": " << e.what();
        return;
    }
    RgbaImage expected = ReadPng(reference);
    RgbaImage actual = ToRgba(bitmap);
    if (bitmap.PixelFormat() == pf15bit || bitmap.PixelFormat() == pf16bit)
        NarrowToStoredPrecision(bitmap, expected, actual);
    if (channelBits && expected.Width == actual.Width && expected.Height == actual.Height) {
        NarrowChannels(expected, channelBits);
        NarrowChannels(actual, channelBits);
    }
    const Comparison c = Compare(expected, actual, compareAlpha && bitmap.PixelFormat() == pf32bit);
    EXPECT_TRUE(c.SameSize && c.MaxDifference <= tolerance) << file << ": " << c.Describe();
}

}  // namespace

TEST(BitmapCorpus, PublicFilesDecodeToReferencesOrAreRefused) {
    REQUIRE_CORPUS();
    const fs::path corpus = CorpusDir();
    const std::set<std::string> corrupt = SuiteCorruptFiles(corpus);
    ASSERT_FALSE(corrupt.empty());
    int checked = 0;
    for (const TsvRow& row : ReadTsv(corpus / "public" / "REFS.tsv")) {
        const std::string rel = Field(row, "path");
        if (rel.rfind("bmp/", 0) != 0) continue;
        ++checked;
        const fs::path file = corpus / "public" / rel;
        SCOPED_TRACE(rel);
        const bool alpha = !AlphaNotCompared.count(rel);
        const int tolerance = Tolerances.count(rel) ? Tolerances.at(rel).first : 0;
        const int* bits = ComparedAtFileDepth.count(rel) ? ComparedAtFileDepth.at(rel).Bits : nullptr;
        if (corrupt.count(rel) || RefusedFiles.count(rel)) {
            ExpectRefused(file);
        } else if (ReferenceNotUsed.count(rel)) {
            TBitmap bitmap;
            EXPECT_NO_THROW(bitmap.LoadFromFile(file.string()));
        } else if (TwinReferences.count(rel)) {
            ExpectMatchesReference(file, (corpus / "public" / TwinReferences.at(rel)).string() + ".ref.png", alpha);
        } else if (Field(row, "decoder") != "failed") {
            ExpectMatchesReference(file, file.string() + ".ref.png", alpha, tolerance, bits);
        } else if (ReadWithoutReference.count(rel)) {
            TBitmap bitmap;
            EXPECT_NO_THROW(bitmap.LoadFromFile(file.string()));
        } else {
            ADD_FAILURE() << "no expectation for " << rel;
        }
    }
    EXPECT_GT(checked, 100);
}

TEST(BitmapCorpus, BlankRunLengthImageIsIndexZero) {
    REQUIRE_CORPUS();
    TBitmap bitmap;
    bitmap.LoadFromFile((CorpusDir() / "public" / "bmp" / "rle8-blank-160x120.bmp").string());
    ASSERT_EQ(bitmap.PixelFormat(), pf8bit);
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x) ASSERT_EQ(bitmap.GetRawPixel(x, y), 0u);
}

TEST(BitmapCorpus, IndicesBeyondAShortPaletteAreKept) {
    REQUIRE_CORPUS();
    const fs::path file = CorpusDir() / "public" / "bmp" / "8bpp-pixels-not-in-palette.bmp";
    TBitmap bitmap;
    bitmap.LoadFromFile(file.string());
    ASSERT_EQ(bitmap.PixelFormat(), pf8bit);
    EXPECT_EQ(bitmap.Palette().Count(), 2);
    // Bottom-up rows of 256 bytes (254 pixels and padding) after a 62-byte head.
    const std::vector<uint8_t> bytes = ReadFile(file);
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x)
            ASSERT_EQ(bitmap.GetRawPixel(x, y), bytes[62 + static_cast<size_t>(bitmap.Height() - 1 - y) * 256 + x]);
}

TEST(BitmapCorpus, GeneratedFilesDecodeToReferences) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "synthetic";
    int checked = 0;
    for (const TsvRow& row : ReadTsv(dir / "EXPECT.tsv")) {
        if (Field(row, "format") != "bmp") continue;
        ++checked;
        const std::string rel = Field(row, "path");
        SCOPED_TRACE(rel);
        ASSERT_EQ(Field(row, "expected_outcome"), "ok");
        ExpectMatchesReference(dir / rel, (dir / rel).string() + ".ref.png", true);
    }
    EXPECT_GT(checked, 0);
}

// The Targa reader against the corpus: every file with a reference decode matches it, the
// outcome table of the generated files holds, and the damaged files end cleanly.
//
// Where the reader's documented behaviour and a reference decoder part ways, the comparison
// follows the reader and says why:
// - The reader copies 15/16-bit pixels and 15/16-bit colour-map entries unchanged; the bitmap
//   widens 5-bit components its own way, a reference decoder another (v * 255 / 31, or with
//   the low bits clear). Such images are compared on the five significant bits.
// - The right-to-left bit (descriptor bit 4) is ignored: rows are taken as stored, so the
//   reference of such a file is compared mirrored.
// - Alpha is compared where the bitmap keeps it, that is for 32-bit results, whatever the
//   descriptor's attribute-bit count says. Bitmaps with palettes or 5-5-5 words carry no
//   alpha, so the alpha of 32-bit colour maps and the attribute bit of 16-bit pixels are not
//   compared.
// - A few references do not show what their file holds; the table below says which, and
//   what the file is compared with instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "exceptions.h"
#include "streams.h"
#include "targa.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

struct HeaderFacts {
    int ColorMapEntrySize = 0;
    int PixelDepth = 0;
    int ImageType = 0;
    bool RightToLeft = false;
    bool TopDown = false;
};

HeaderFacts FactsOf(const fs::path& file) {
    const auto bytes = ReadFile(file);
    HeaderFacts f;
    if (bytes.size() < 18) return f;
    f.ImageType = bytes[2];
    f.ColorMapEntrySize = bytes[1] == 1 ? bytes[7] : 0;
    f.PixelDepth = bytes[16];
    f.RightToLeft = (bytes[17] & 0x10) != 0;
    f.TopDown = (bytes[17] & 0x20) != 0;
    return f;
}

void KeepFiveBits(RgbaImage& image) {
    for (size_t i = 0; i < image.Pixels.size(); ++i)
        if (i % 4 != 3) image.Pixels[i] &= 0xF8;
}

void Mirror(RgbaImage& image) {
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width / 2; ++x)
            for (int ch = 0; ch < 4; ++ch)
                std::swap(image.Pixels[(size_t(y) * image.Width + x) * 4 + ch],
                          image.Pixels[(size_t(y) * image.Width + image.Width - 1 - x) * 4 + ch]);
}

struct ReplacedReference {
    const char* File;
    const char* Reference;      // the reference used instead, from the same folder
    bool OrientationIgnored;    // the reference shows the rows as stored, top row first
};

const ReplacedReference ReplacedReferences[] = {
    // The "b5" files hold one picture stored four ways. The reference decoder turned the
    // 15-bit colour map of one into grey levels and took the unused map of the other for
    // pixel data; the plain 16-bit file's reference shows the picture.
    {"b5-cmap.tga", "b5-noattrib.tga", false},
    {"b5-unused-cmap.tga", "b5-noattrib.tga", false},
    // These differ from top_left.tga in the descriptor byte only, yet share its reference:
    // the reference decoder ignored their row order. The bottom-up ones show upside down.
    {"bottom_left.tga", "top_left.tga", true},
    {"bottom_right.tga", "top_left.tga", true},
    {"top_right.tga", "top_left.tga", true},
};

void Flip(RgbaImage& image) {
    for (int y = 0; y < image.Height / 2; ++y)
        std::swap_ranges(image.Pixels.begin() + std::ptrdiff_t(y) * image.Width * 4,
                         image.Pixels.begin() + std::ptrdiff_t(y + 1) * image.Width * 4,
                         image.Pixels.begin() + std::ptrdiff_t(image.Height - 1 - y) * image.Width * 4);
}

std::unique_ptr<TTargaGraphic> Load(const fs::path& file) {
    auto graphic = std::make_unique<TTargaGraphic>();
    TFileStream stream(file.string(), TFileMode::fmOpenRead);
    graphic->LoadFromStream(stream);
    return graphic;
}

// Decodes the file and compares it with its reference under the rules above.
void ExpectMatchesReference(const fs::path& file) {
    SCOPED_TRACE(file.string());
    fs::path refPath = file.string() + ".ref.png";
    const ReplacedReference* replaced = nullptr;
    for (const auto& r : ReplacedReferences)
        if (file.filename() == r.File) replaced = &r;
    if (replaced) refPath = file.parent_path() / (std::string(replaced->Reference) + ".ref.png");
    ASSERT_TRUE(fs::exists(refPath));
    std::unique_ptr<TTargaGraphic> graphic;
    ASSERT_NO_THROW(graphic = Load(file));
    const HeaderFacts facts = FactsOf(file);

    RgbaImage reference = ReadPng(refPath);
    RgbaImage actual = ToRgba(*graphic);
    const bool fiveBitPixels = graphic->PixelFormat() == pf15bit;
    const bool fiveBitMap = graphic->PixelFormat() == pf8bit &&
                            (facts.ColorMapEntrySize == 15 || facts.ColorMapEntrySize == 16);
    if (fiveBitPixels || fiveBitMap) {
        KeepFiveBits(reference);
        KeepFiveBits(actual);
    }
    if (replaced && replaced->OrientationIgnored) {
        if (!facts.TopDown) Flip(reference);
    } else if (facts.RightToLeft) {
        Mirror(reference);
    }
    const Comparison c = Compare(reference, actual, graphic->PixelFormat() == pf32bit);
    EXPECT_TRUE(c.Exact()) << c.Describe();
}

}  // namespace

TEST(TargaCorpus, PublicFilesMatchTheirReferences) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "public" / "tga";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "no public Targa files in the corpus";
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const fs::path file = entry.path();
        if (file.extension() != ".tga" || !fs::exists(file.string() + ".ref.png")) continue;
        ExpectMatchesReference(file);
        ++compared;
    }
    EXPECT_GT(compared, 0);
}

TEST(TargaCorpus, GeneratedFilesHaveTheirExpectedOutcome) {
    REQUIRE_CORPUS();
    const fs::path table = CorpusDir() / "synthetic" / "EXPECT.tsv";
    if (!fs::exists(table)) GTEST_SKIP() << "no outcome table in the corpus";
    int checked = 0;
    for (const TsvRow& row : ReadTsv(table)) {
        if (Field(row, "format") != "tga") continue;
        const fs::path file = CorpusDir() / "synthetic" / Field(row, "path");
        const std::string outcome = Field(row, "expected_outcome");
        SCOPED_TRACE(file.string());
        if (!fs::exists(file)) continue;
        if (outcome == "error") {
            EXPECT_ANY_THROW(Load(file));
        } else if (outcome == "empty") {
            EXPECT_TRUE(Load(file)->Empty());
        } else {
            ExpectMatchesReference(file);
            const auto graphic = Load(file);
            EXPECT_EQ(graphic->Width(), std::stoi(Field(row, "width")));
            EXPECT_EQ(graphic->Height(), std::stoi(Field(row, "height")));
        }
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

TEST(TargaCorpus, DamagedPublicFilesEndCleanly) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "public" / "tga";
    // Header only: the ID field and colour map it announces are missing.
    const fs::path headerOnly = dir / "p_8.tga";
    // Run-length data that stops early: decoded as far as it goes, the rest stays black.
    const fs::path truncated = dir / "cross_scan_line_truncated.tga";
    if (!fs::exists(headerOnly) || !fs::exists(truncated)) GTEST_SKIP() << "damaged Targa files not in the corpus";
    try {
        Load(headerOnly);
        ADD_FAILURE() << "a header without its colour map loaded";
    } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Stream read error");
    }
    const auto graphic = Load(truncated);
    EXPECT_EQ(graphic->Width(), 64);
    EXPECT_EQ(graphic->Height(), 64);
}

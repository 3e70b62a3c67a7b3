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

#include <filesystem>
#include <memory>
#include <string>

#include "exceptions.h"
#include "streams.h"
#include "formats/targa.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

struct ReplacedReference {
    const char* File;
    const char* Reference;    // the reference used instead, from the same folder
    bool OrientationIgnored;  // the reference shows the rows as stored, top row first
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

// Moves every pixel (x, y) of the image to (x, H - 1 - y) when flipping, to (W - 1 - x, y)
// when mirroring, and keeps five bits of each colour component when asked.
RgbaImage Adjusted(const RgbaImage& in, bool flip, bool mirror, bool fiveBits) {
    RgbaImage out = in;
    for (int y = 0; y < in.Height; ++y)
        for (int x = 0; x < in.Width; ++x)
            for (int ch = 0; ch < 4; ++ch) {
                uint8_t v = in.At(mirror ? in.Width - 1 - x : x, flip ? in.Height - 1 - y : y)[ch];
                out.Pixels[(size_t(y) * in.Width + x) * 4 + ch] = uint8_t(fiveBits && ch < 3 ? v & 0xF8 : v);
            }
    return out;
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
    std::unique_ptr<TTargaGraphic> graphic;
    ASSERT_NO_THROW(graphic = Load(file));

    const auto header = ReadFile(file);
    const bool topDown = header[17] & 0x20, rightToLeft = header[17] & 0x10;
    const bool fiveBitMap = header[1] == 1 && (header[7] == 15 || header[7] == 16);
    const bool fiveBits = graphic->PixelFormat() == pf15bit || (graphic->PixelFormat() == pf8bit && fiveBitMap);
    const bool orientationIgnored = replaced && replaced->OrientationIgnored;
    const RgbaImage reference = Adjusted(ReadPng(refPath), orientationIgnored && !topDown,
                                         !orientationIgnored && rightToLeft, fiveBits);
    const RgbaImage actual = Adjusted(ToRgba(*graphic), false, false, fiveBits);
    const Comparison c = Compare(reference, actual, graphic->PixelFormat() == pf32bit);
    EXPECT_TRUE(c.Exact()) << c.Describe();
}

}  // namespace

// Files without a reference are the damaged ones: a header without the colour map it
// announces, run-length data that stops early. They load partly or raise a clean error.
TEST(TargaCorpus, PublicFilesMatchTheirReferencesOrEndCleanly) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "public" / "tga";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "no public Targa files in the corpus";
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const fs::path file = entry.path();
        if (file.extension() != ".tga") continue;
        if (fs::exists(file.string() + ".ref.png")) {
            ExpectMatchesReference(file);
            ++compared;
        } else {
            try {
                Load(file);
            } catch (const Exception& e) {
                EXPECT_STREQ(e.what(), "Stream read error") << file;
            }
        }
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

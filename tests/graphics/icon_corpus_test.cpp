// Icons of the corpus decode to their reference pictures; PNG-compressed entries are refused
// until the program reads PNG.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "exceptions.h"
#include "icon.h"
#include "test_support.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

// Icons whose largest, deepest entry is PNG-compressed: refused until the program reads PNG,
// then compared with their references like the others.
bool ChosenEntryIsPng(const std::string& name) {
    static const char* const png[] = {"hopper_draw.ico", "lenient-bpp.ico", "oiio.ico", "pillow.ico",
                                      "png-32bpp-alpha.ico", "png_8x8.ico", "png_l8.ico", "png_rgb8.ico",
                                      "im_multi_16_32_48_256.ico", "mixed_png256_dib32.ico", "png_only_48.ico"};
    for (const char* p : png)
        if (name == p) return true;
    return false;
}

// Files we refuse although a reference exists, and why.
const std::map<std::string, std::string> RefusedFiles = {
    {"decompression_bomb.ico", "its header claims 65535 x 32767 pixels that the file cannot hold; the "
                               "reference decoder used the directory's 16 x 16 instead"},
    {"no_cursors.cur", "a directory without entries"},
};

// Files whose reference transparency is not compared, and why; their colours are.
const std::map<std::string, std::string> AlphaNotCompared = {
    {"mask_1.cur", "the reference decoder ignores the AND mask of cursors"},
    {"mask_L.cur", "the reference decoder ignores the AND mask of cursors"},
    {"bmp_v5_with_icc.ico", "its colour profile overlaps the AND mask; the reference takes the mask from the "
                            "end of the entry, we take it from right after the colours, where it belongs"},
};

// Compares colour (also under the mask: the XOR colour stays) and, unless excused, alpha.
void ExpectMatches(const fs::path& file, const fs::path& reference, bool compareAlpha = true) {
    TIcon icon;
    try {
        icon.LoadFromFile(file.string());
    } catch (const std::exception& e) {
        ADD_FAILURE() << file << ": " << e.what();
        return;
    }
    RgbaImage expected = ReadPng(reference), actual = ToRgba(icon.Image());
    ASSERT_EQ(expected.Width, actual.Width) << file;
    ASSERT_EQ(expected.Height, actual.Height) << file;
    int64_t differing = 0;
    for (size_t i = 0; i < actual.Pixels.size(); i += 4) {
        for (int c = 0; c < (compareAlpha ? 4 : 3); ++c)
            if (actual.Pixels[i + c] != expected.Pixels[i + c]) {
                ++differing;
                break;
            }
    }
    EXPECT_EQ(differing, 0) << file;
}

void ExpectRefused(const fs::path& file) {
    TIcon icon;
    try {
        icon.LoadFromFile(file.string());
        ADD_FAILURE() << file << " decoded, but should have been refused";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Icon image is not valid") << file;
    }
}

}  // namespace

TEST(IconCorpus, PublicIconsDecodeToReferences) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "public" / "ico";
    int checked = 0;
    for (const auto& item : fs::directory_iterator(dir)) {
        const std::string name = item.path().filename().string();
        if (name.size() < 4 || name.rfind(".ref.png") == name.size() - 8) continue;
        ++checked;
        SCOPED_TRACE(name);
        if (RefusedFiles.count(name) || ChosenEntryIsPng(name)) {
            ExpectRefused(item.path());
            continue;
        }
        ExpectMatches(item.path(), item.path().string() + ".ref.png", !AlphaNotCompared.count(name));
    }
    EXPECT_GT(checked, 20);
}

TEST(IconCorpus, GeneratedIconsDecodeToReferences) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "synthetic";
    int checked = 0;
    for (const TsvRow& row : ReadTsv(dir / "EXPECT.tsv")) {
        if (Field(row, "format") != "ico") continue;
        ++checked;
        const std::string rel = Field(row, "path");
        SCOPED_TRACE(rel);
        const fs::path file = dir / rel;
        if (ChosenEntryIsPng(file.filename().string())) {
            ExpectRefused(file);
            continue;
        }
        ExpectMatches(file, file.string() + ".ref.png");
    }
    EXPECT_GT(checked, 0);
}

// The texture library against the corpus: every generated texture at every level against its
// reference decode, its info against the table, and the real-world textures opening cleanly.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "exceptions.h"
#include "host_texbridge.h"
#include "strutils.h"
#include "test_support.h"
#include "vtf_helper.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

struct LevelImage {
    int32_t Width = 0, Height = 0, BytesPerPixel = 0;
    RgbaImage Rgba;
};

// The current texture's level as the library returns it, widened to RGBA.
LevelImage GetLevel(int32_t level) {
    LevelImage out;
    uint8_t* buffer = nullptr;
    TextureGetImage(&out.Width, &out.Height, &out.BytesPerPixel, &buffer, level);
    if (!buffer) return out;
    out.Rgba.Width = out.Width;
    out.Rgba.Height = out.Height;
    const size_t n = size_t(out.Width) * size_t(out.Height);
    out.Rgba.Pixels.resize(n * 4);
    for (size_t i = 0; i < n; ++i)
        for (int ch = 0; ch < 4; ++ch)
            out.Rgba.Pixels[i * 4 + ch] = ch < out.BytesPerPixel ? buffer[i * out.BytesPerPixel + ch] : 255;
    TextureFreeBuffer(&buffer);
    return out;
}

bool HasTranslucentPixel(const RgbaImage& image) {
    for (size_t i = 3; i < image.Pixels.size(); i += 4)
        if (image.Pixels[i] != 255) return true;
    return false;
}

// The words of a description, without trailing punctuation.
std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        while (!w.empty() && (w.back() == ';' || w.back() == ',')) w.pop_back();
        words.push_back(w);
    }
    return words;
}

// The number next to a word, as in "7 mips" (offset -1) or "mips 7" (offset +1), else def.
long NumberBeside(const std::vector<std::string>& words, const std::string& word, int offset, long def) {
    for (size_t i = 0; i < words.size(); ++i) {
        const size_t j = i + size_t(offset);
        if (words[i] == word && j < words.size()) return std::stol(words[j], nullptr, 0);
    }
    return def;
}

int LevelSize(int n, int k) { return std::max(1, n >> k); }

}  // namespace

TEST(TexbridgeCorpus, SyntheticTexturesMatchInfoAndEveryLevelsReference) {
    REQUIRE_CORPUS();
    const fs::path root = CorpusDir() / "synthetic";
    int checked = 0;
    for (const TsvRow& row : ReadTsv(root / "EXPECT.tsv")) {
        if (Field(row, "format") != "vtf") continue;
        const fs::path file = root / Field(row, "path");
        const std::string variant = Field(row, "variant");
        SCOPED_TRACE(file.filename().string() + " (" + variant + ")");
        TTextureSession session(file.string());
        TextureInfo info;
        ReadTextureInfo(info);

        if (Field(row, "expected_outcome") == "error") {
            EXPECT_EQ(info.Width, 0);
            EXPECT_EQ(info.Mips, 0);
            EXPECT_EQ(GetLevel(0).BytesPerPixel, 0);
            EXPECT_THROW(TextureMipToBitmap(0), EInvalidGraphic);
            continue;
        }

        ASSERT_EQ(info.Width, std::stoi(Field(row, "width")));
        ASSERT_EQ(info.Height, std::stoi(Field(row, "height")));
        const auto words = Words(variant);
        EXPECT_EQ(info.Mips, NumberBeside(words, "mips", -1, -1));
        EXPECT_EQ(info.Frames, NumberBeside(words, "frames", -1, 1));
        EXPECT_EQ(info.Faces, NumberBeside(words, "faces", -1, 1));
        EXPECT_EQ(static_cast<uint32_t>(info.Flags), NumberBeside(words, "flags", +1, 0));

        for (int k = 0; k < info.Mips; ++k) {
            SCOPED_TRACE("level " + std::to_string(k));
            const RgbaImage ref = ReadPng(file.string() + ".mip" + std::to_string(k) + ".ref.png");
            const LevelImage got = GetLevel(k);
            ASSERT_EQ(got.Width, LevelSize(info.Width, k));
            ASSERT_EQ(got.Height, LevelSize(info.Height, k));
            // A translucent reference means the format carries alpha, which must come back too.
            if (HasTranslucentPixel(ref)) {
                EXPECT_EQ(got.BytesPerPixel, 4);
            }
            const Comparison c = Compare(ref, got.Rgba, got.BytesPerPixel == 4);
            EXPECT_TRUE(c.Exact()) << c.Describe();
        }

        // The bitmap the viewer shows carries the same colours.
        const RgbaImage ref0 = ReadPng(file.string() + ".mip0.ref.png");
        const Comparison c = Compare(ref0, ToRgba(*TextureMipToBitmap(0)), false);
        EXPECT_TRUE(c.Exact()) << c.Describe();
        ++checked;
    }
    EXPECT_GT(checked, 100);
}

// Real textures made by other programs have no reference decode; they must open with the
// properties their manifest gives and yield every level at its size.
TEST(TexbridgeCorpus, PublicTexturesOpenWithTheirManifestProperties) {
    REQUIRE_CORPUS();
    const fs::path root = CorpusDir() / "public";
    int checked = 0, referenced = 0;
    for (const TsvRow& row : ReadTsv(root / "MANIFEST.tsv")) {
        const std::string path = Field(row, "relative_path");
        if (!IsTexturePath(path)) continue;
        SCOPED_TRACE(path);
        TTextureSession session((root / path).string());
        TextureInfo info;
        ReadTextureInfo(info);
        // "VTF 7.2 A8 64x64 mips 7 frames 1 flags 0x2000; ..."
        const auto words = Words(Field(row, "note"));
        ASSERT_GE(words.size(), 4u);
        ASSERT_EQ(words[0], "VTF");
        EXPECT_EQ(std::to_string(info.Width) + "x" + std::to_string(info.Height), words[3]);
        EXPECT_EQ(info.Mips, NumberBeside(words, "mips", +1, -1));
        EXPECT_EQ(info.Frames, NumberBeside(words, "frames", +1, -1));
        EXPECT_EQ(static_cast<uint32_t>(info.Flags), NumberBeside(words, "flags", +1, -1));
        for (int k = 0; k < info.Mips; ++k) {
            const LevelImage got = GetLevel(k);
            EXPECT_EQ(got.Width, LevelSize(info.Width, k));
            EXPECT_EQ(got.Height, LevelSize(info.Height, k));
        }
        // Where a reference decode exists (the ARGB8888 samples, whose byte order the format's
        // name does not give), level 0 matches it, alpha included.
        const fs::path ref0 = root / (path + ".mip0.ref.png");
        if (fs::exists(ref0)) {
            const LevelImage got = GetLevel(0);
            const Comparison c = Compare(ReadPng(ref0), got.Rgba, got.BytesPerPixel == 4);
            EXPECT_TRUE(c.Exact()) << c.Describe();
            ++referenced;
        }
        ++checked;
    }
    EXPECT_GT(checked, 0);
    EXPECT_GE(referenced, 2);
}

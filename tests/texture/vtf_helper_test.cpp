// Texture levels as bitmaps, the thumbnail level choice, and the texture path test.
#include <gtest/gtest.h>

#include <cmath>

#include "exceptions.h"
#include "host_texbridge.h"
#include "strutils.h"
#include "test_support.h"
#include "vtf_builder.h"
#include "vtf_helper.h"

using namespace testsupport;
namespace vt = vtftest;

namespace {

std::string WriteTexture(const ScratchDir& dir, const vt::Recipe& s, const vt::Filler& fill = vt::PatternFill) {
    const auto path = dir / "t.vtf";
    WriteFile(path, vt::Build(s, fill));
    return path.string();
}

// The size a thumbnail box of 100 x 100 gives an image: unchanged when it fits, else the longer
// side becomes 100 and the other w x 100 / h, rounded half to even.
std::pair<int, int> ThumbnailSize(int w, int h) {
    if (w <= 100 && h <= 100) return {w, h};
    if (w > h) return {100, int(std::nearbyint(double(h) * 100 / w))};
    return {int(std::nearbyint(double(w) * 100 / h)), 100};
}

}  // namespace

TEST(VtfHelper, ThumbnailsOfLargeTexturesComeFromTheLevelNear128Pixels) {
    struct Case {
        uint32_t Width, Height, Mips, Format;
        int32_t Level, BitmapWidth, BitmapHeight, ThumbWidth, ThumbHeight;
    };
    const Case cases[] = {
        {512, 512, 10, vt::DXT1, 2, 128, 128, 100, 100},
        {64, 64, 7, vt::BGRA8888, 0, 64, 64, 64, 64},
        {256, 64, 9, vt::BGR888, 1, 128, 32, 100, 25},
        {1024, 1024, 11, vt::DXT5, 3, 128, 128, 100, 100},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Width) + " x " + std::to_string(c.Height));
        const std::string path =
            WriteTexture(dir, {.Width = c.Width, .Height = c.Height, .Format = c.Format, .Mips = c.Mips});
        EXPECT_EQ(ThumbnailMipLevel(ReadTextureFileInfo(path)), c.Level);
        std::unique_ptr<TBitmap> bitmap = LoadTextureForThumbnail(path);
        EXPECT_EQ(bitmap->Width(), c.BitmapWidth);
        EXPECT_EQ(bitmap->Height(), c.BitmapHeight);
        EXPECT_EQ(ThumbnailSize(bitmap->Width(), bitmap->Height()), std::make_pair(c.ThumbWidth, c.ThumbHeight));
    }
}

TEST(VtfHelper, ThumbnailLevelStaysInsideShortChains) {
    struct Case {
        int32_t Width, Height, Mips, Level;
    };
    const Case cases[] = {
        {1024, 1024, 4, 3},  // 1024..128: the smallest level
        {1024, 1024, 6, 3},  // 128 x 128 is there; 64 would not fill the box
        {200, 200, 2, 0},    // level 1 is 100 x 100, level 0 is the last one larger
        {4096, 16, 1, 0},    // a single level
        {100, 100, 7, 0},    // fits the box
        {2048, 2048, 9, 1},  // enough levels for the rule, though not a full chain
        {0, 0, 0, 0},        // a texture that failed to open
    };
    for (const Case& c : cases) {
        const TextureInfo info{.Width = c.Width, .Height = c.Height, .Mips = c.Mips};
        EXPECT_EQ(ThumbnailMipLevel(info), c.Level) << c.Width << " x " << c.Height << ", " << c.Mips << " levels";
    }
}

TEST(VtfHelper, LevelBecomesA24BitBitmapOfItsColours) {
    ScratchDir dir;
    const auto fill = [](const vt::ImageKey& k, std::vector<uint8_t>& image) {
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(k.Level * 100 + i);
    };
    for (uint32_t format : {vt::RGBA8888, vt::RGB888}) {
        const int bpp = format == vt::RGBA8888 ? 4 : 3;
        const std::string path = WriteTexture(dir, {.Width = 2, .Height = 2, .Format = format, .Mips = 2}, fill);
        std::unique_ptr<TBitmap> bitmap = LoadTextureLevel(path, 0);
        ASSERT_EQ(bitmap->PixelFormat(), pf24bit);
        ASSERT_EQ(bitmap->Width(), 2);
        ASSERT_EQ(bitmap->Height(), 2);
        const uint8_t last = uint8_t(3 * bpp);  // pixel (1, 1) starts at byte 3 x bpp
        EXPECT_EQ(bitmap->GetPixel(0, 0), (TRGBQuad{2, 1, 0, 255}));
        EXPECT_EQ(bitmap->GetPixel(1, 1), (TRGBQuad{uint8_t(last + 2), uint8_t(last + 1), last, 255}));
        bitmap = LoadTextureLevel(path, 5);  // clamped to level 1, 1 x 1
        ASSERT_EQ(bitmap->Width(), 1);
        EXPECT_EQ(bitmap->GetPixel(0, 0), (TRGBQuad{102, 101, 100, 255}));
    }
}

TEST(VtfHelper, NoImageRaisesAnError) {
    TextureClose();
    try {
        TextureMipToBitmap(0);
        FAIL() << "no error without a current texture";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), STextureUnreadable);
    }
    ScratchDir dir;
    const std::string path = WriteTexture(dir, {.Format = vt::P8});
    EXPECT_THROW(LoadTextureLevel(path, 0), EInvalidGraphic);
    EXPECT_THROW(LoadTextureForThumbnail(path), EInvalidGraphic);
    EXPECT_EQ(ReadTextureFileInfo(path).Width, 0);
    EXPECT_THROW(LoadTextureLevel((dir / "missing.vtf").string(), 0), EInvalidGraphic);
}

TEST(VtfHelper, TexturePathsEndInLowerCaseVtf) {
    EXPECT_TRUE(IsTexturePath("t.vtf"));
    EXPECT_TRUE(IsTexturePath("/a/b.c/texture.vtf"));
    EXPECT_TRUE(IsTexturePath("C:\\games\\wall.vtf"));
    EXPECT_FALSE(IsTexturePath("T.VTF"));
    EXPECT_FALSE(IsTexturePath("t.Vtf"));
    EXPECT_FALSE(IsTexturePath("t.vtf.bak"));
    EXPECT_FALSE(IsTexturePath("/textures.vtf/readme"));
    EXPECT_FALSE(IsTexturePath("vtf"));
    EXPECT_FALSE(IsTexturePath(""));
}

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

std::string WriteTexture(const ScratchDir& dir, const vt::Spec& s, const vt::Filler& fill = vt::PatternFill) {
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
        vt::Spec s;
        s.Width = c.Width;
        s.Height = c.Height;
        s.Mips = c.Mips;
        s.Format = c.Format;
        const std::string path = WriteTexture(dir, s);
        EXPECT_EQ(ThumbnailMipLevel(ReadTextureFileInfo(path)), c.Level);
        std::unique_ptr<TBitmap> bitmap = LoadTextureForThumbnail(path);
        EXPECT_EQ(bitmap->Width(), c.BitmapWidth);
        EXPECT_EQ(bitmap->Height(), c.BitmapHeight);
        EXPECT_EQ(ThumbnailSize(bitmap->Width(), bitmap->Height()), std::make_pair(c.ThumbWidth, c.ThumbHeight));
    }
}

TEST(VtfHelper, ThumbnailLevelStaysInsideShortChains) {
    struct Case {
        TextureInfo Info;
        int32_t Level;
    };
    auto info = [](int32_t w, int32_t h, int32_t mips) {
        TextureInfo i;
        i.Width = w;
        i.Height = h;
        i.Mips = mips;
        return i;
    };
    const Case cases[] = {
        {info(1024, 1024, 4), 3},   // 1024..128: the smallest level
        {info(1024, 1024, 6), 3},   // 128 x 128 is there; 64 would not fill the box
        {info(200, 200, 2), 0},     // level 1 is 100 x 100, level 0 is the last one larger
        {info(4096, 16, 1), 0},     // a single level
        {info(101, 101, 7), 0},
        {info(100, 100, 7), 0},     // fits the box: level 0
        {info(2048, 2048, 9), 1},   // enough levels for the rule, though not a full chain
        {info(0, 0, 0), 0},         // a texture that failed to open
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ThumbnailMipLevel(c.Info), c.Level)
            << c.Info.Width << " x " << c.Info.Height << ", " << c.Info.Mips << " levels";
    }
}

TEST(VtfHelper, LevelBecomesA24BitBitmapOfItsColours) {
    ScratchDir dir;
    vt::Spec s;
    s.Width = 2;
    s.Height = 2;
    s.Mips = 2;
    s.Format = vt::RGBA8888;
    const std::vector<uint8_t> level0 = {10, 20, 30, 0, 40, 50, 60, 128, 70, 80, 90, 255, 1, 2, 3, 4};
    const std::string path = WriteTexture(dir, s, [&](const vt::ImageKey& k, std::vector<uint8_t>& image) {
        if (k.Level == 0) image = level0;
        else image = {200, 201, 202, 203};
    });
    std::unique_ptr<TBitmap> bitmap = LoadTextureLevel(path, 0);
    ASSERT_EQ(bitmap->PixelFormat(), pf24bit);
    ASSERT_EQ(bitmap->Width(), 2);
    ASSERT_EQ(bitmap->Height(), 2);
    EXPECT_EQ(bitmap->GetPixel(0, 0), (TRGBQuad{30, 20, 10, 255}));
    EXPECT_EQ(bitmap->GetPixel(1, 0), (TRGBQuad{60, 50, 40, 255}));
    EXPECT_EQ(bitmap->GetPixel(0, 1), (TRGBQuad{90, 80, 70, 255}));
    EXPECT_EQ(bitmap->GetPixel(1, 1), (TRGBQuad{3, 2, 1, 255}));

    // Three bytes per pixel, and a level past the end clamped to the last.
    s.Format = vt::RGB888;
    const std::string rgb = WriteTexture(dir, s, [](const vt::ImageKey& k, std::vector<uint8_t>& image) {
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(k.Level * 100 + i);
    });
    bitmap = LoadTextureLevel(rgb, 5);
    ASSERT_EQ(bitmap->Width(), 1);
    EXPECT_EQ(bitmap->GetPixel(0, 0), (TRGBQuad{102, 101, 100, 255}));
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
    vt::Spec s;
    s.Format = vt::P8;
    const std::string path = WriteTexture(dir, s);
    EXPECT_THROW(LoadTextureLevel(path, 0), EInvalidGraphic);
    EXPECT_THROW(LoadTextureForThumbnail(path), EInvalidGraphic);
    EXPECT_EQ(ReadTextureFileInfo(path).Width, 0);
    EXPECT_THROW(LoadTextureLevel((dir / "missing.vtf").string(), 0), EInvalidGraphic);
}

TEST(VtfHelper, SessionClosesTheTextureAlsoWhenAnErrorPasses) {
    ScratchDir dir;
    const std::string path = WriteTexture(dir, vt::Spec{});
    TextureInfo info;
    try {
        TTextureSession session(path);
        ReadTextureInfo(info);
        throw std::runtime_error("interrupted");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(info.Width, 4);
    ReadTextureInfo(info);
    EXPECT_EQ(info.Width, 0);
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

#include <gtest/gtest.h>

#include "fake_images.h"
#include "maker_links.h"
#include "page_content.h"
#include "test_support.h"

using testsupport::ScratchDir;

namespace {

// Colour only: 24-bit pixels read back with an opaque alpha.
TRGBQuad Rgb(TRGBQuad q) {
    q.Alpha = 0;
    return q;
}

TEST(PageContent, MipItems) {
    EXPECT_EQ(MipItems(10), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
    EXPECT_TRUE(MipItems(0).empty());
    EXPECT_TRUE(MipItems(-4).empty());
    EXPECT_EQ(MipItems(1000).size(), 32u);
}

TEST(PageContent, FlagStates) {
    auto on = [](int32_t flags) {
        std::vector<std::string> names;
        auto states = TextureFlagStates(flags);
        for (int i = 0; i < TextureFlagCount; ++i)
            if (states[static_cast<size_t>(i)]) names.push_back(TextureFlagCaptions[static_cast<size_t>(i)]);
        return names;
    };
    EXPECT_EQ(on(2 | 8192), (std::vector<std::string>{"TRILINEAR", "EIGHTBITALPHA"}));
    EXPECT_EQ(on(2 | 8192 | static_cast<int32_t>(0xFE000000u)), (std::vector<std::string>{"TRILINEAR", "EIGHTBITALPHA"}));
    EXPECT_EQ(on(1 << 24), (std::vector<std::string>{"NICEFILTERED"}));
    EXPECT_EQ(on(1 << 14), (std::vector<std::string>{"ENVMAP"}));
    EXPECT_TRUE(on(0).empty());
}

TEST(PageContent, MipLevelFromCombo) {
    EXPECT_EQ(MipLevelFromCombo(3, "3", 10), 3);
    EXPECT_EQ(MipLevelFromCombo(-1, "7", 10), 7);    // typed
    EXPECT_EQ(MipLevelFromCombo(-1, "09", 10), 9);
    for (const char* typed : {"", "10", "-1", "abc", "3a", " 3", "+3", "99999999999"})
        EXPECT_FALSE(MipLevelFromCombo(-1, typed, 10).has_value()) << typed;
    EXPECT_FALSE(MipLevelFromCombo(-1, "0", 0).has_value());  // no texture shown yet
    EXPECT_FALSE(MipLevelFromCombo(12, "12", 10).has_value());
}

TEST(PageContent, InfoValues) {
    TInfoValues image = ImageInfoValues(640, 480);
    EXPECT_EQ(image.Dimensions, "640x480");
    EXPECT_EQ(image.FramesCount, "1");
    EXPECT_EQ(image.MipsCount, "1");
    EXPECT_EQ(image.FaceCount, "1");

    TextureInfo d{512, 256, 3, 10, 6, 0};
    TInfoValues texture = TextureInfoValues(d);
    EXPECT_EQ(texture.Dimensions, "512x256");
    EXPECT_EQ(texture.FramesCount, "3");
    EXPECT_EQ(texture.MipsCount, "10");
    EXPECT_EQ(texture.FaceCount, "6");
}

TEST(PageContent, ViewerImage) {
    RegisterFakeFormats();
    ScratchDir dir;
    WriteFakeImage(dir / "a.fake", 640, 480);
    WriteFakeImage(dir / "v.fvec", 30, 20);
    TViewerImage a = LoadViewerImage((dir / "a.fake").string());
    EXPECT_FALSE(a.IsTexture);
    EXPECT_EQ(a.Bitmap->Width(), 640);  // full size
    TViewerImage v = LoadViewerImage((dir / "v.fvec").string());
    EXPECT_EQ(v.Bitmap->PixelFormat(), pf24bit);
    EXPECT_EQ(Rgb(v.Bitmap->GetPixel(3, 2)), (TRGBQuad{7, 2, 3, 0}));
    EXPECT_THROW(LoadViewerImage((dir / "none.fake").string()), std::exception);
}

TEST(MakerLinks, ByTag) {
    EXPECT_EQ(MakerLinkFor(0).value_or(""), "https://pictolan.example.org/?content=projects&id=pictolan");
    EXPECT_EQ(MakerLinkFor(1).value_or(""), "mailto:feedback@pictolan.example.org?subject=Pictolan");
    EXPECT_FALSE(MakerLinkFor(2).has_value());
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "browser_list.h"
#include "fake_images.h"
#include "formats/jpeg_image.h"
#include "picture.h"
#include "test_support.h"
#include "thumbnail.h"
#include "vtf_builder.h"

using testsupport::ScratchDir;

namespace {

// Colour only: 24-bit pixels read back with an opaque alpha.
TRGBQuad Rgb(TRGBQuad q) {
    q.Alpha = 0;
    return q;
}

TBitmap Make(int w, int h, TPixelFormat pf = pf24bit) {
    TBitmap b;
    b.SetPixelFormat(pf);
    b.SetSize(w, h);
    return b;
}

struct Size {
    int W, H;
};

Size Fitted(int w, int h) {
    TBitmap target;
    FitThumbnail(Make(w, h), target);
    return {target.Width(), target.Height()};
}

TEST(FitThumbnail, Sizes) {
    struct Case {
        int w, h, W, H;
    } cases[] = {
        {64, 32, 64, 32},    {100, 100, 100, 100}, {101, 101, 100, 100}, {300, 200, 100, 67},
        {200, 300, 67, 100}, {200, 101, 100, 50},  // 50.5 rounds to even
        {200, 103, 100, 52},                       // 51.5 rounds to even
        {1000, 1, 100, 1},                         // never thinner than a pixel
        {100, 101, 99, 100},
    };
    for (const auto& c : cases) {
        Size s = Fitted(c.w, c.h);
        EXPECT_EQ(s.W, c.W) << c.w << "x" << c.h;
        EXPECT_EQ(s.H, c.H) << c.w << "x" << c.h;
    }
}

TEST(FitThumbnail, SmallImageIsCopiedWithItsFormatAndPalette) {
    TBitmap source = Make(64, 32, pf8bit);
    TPalette pal(2);
    pal[1] = TPaletteEntry{200, 100, 50, 0};
    source.SetPalette(pal);
    source.SetRawPixel(3, 4, 1);
    TBitmap target;
    FitThumbnail(source, target);
    EXPECT_EQ(target.PixelFormat(), pf8bit);
    EXPECT_EQ(target.Palette(), pal);
    EXPECT_EQ(target.GetRawPixel(3, 4), 1u);
}

TEST(FitThumbnail, LargeImageIsStretchedNearestNeighbourTo24Bits) {
    // Left half red, right half blue, in an indexed source: resolved through the palette.
    TBitmap source = Make(300, 200, pf8bit);
    TPalette pal(2);
    pal[0] = TPaletteEntry{255, 0, 0, 0};
    pal[1] = TPaletteEntry{0, 0, 255, 0};
    source.SetPalette(pal);
    for (int y = 0; y < 200; ++y)
        for (int x = 150; x < 300; ++x) source.SetRawPixel(x, y, 1);
    TBitmap target;
    FitThumbnail(source, target);
    ASSERT_EQ(target.PixelFormat(), pf24bit);
    ASSERT_EQ(target.Width(), 100);
    EXPECT_EQ(Rgb(target.GetPixel(49, 10)), (TRGBQuad{0, 0, 255, 0}));  // source column 147
    EXPECT_EQ(Rgb(target.GetPixel(50, 10)), (TRGBQuad{255, 0, 0, 0}));  // source column 150
}

class MakeThumbnailTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterFakeFormats(); }

    TFileEntry EntryFor(const std::string& name) {
        TFileEntry e;
        e.Name = name;
        e.FullPath = (dir / name).string();
        return e;
    }

    TThumbnailContext Context() {
        TThumbnailContext c;
        c.LoadedCount = &loaded;
        c.ProcessMessages = [this] { ++processed; };
        return c;
    }

    ScratchDir dir;
    int32_t loaded = 0;
    int processed = 0;
};

TEST_F(MakeThumbnailTest, ReaderPictureIsFittedAndCounted) {
    // A reader's bitmap, and a graphic that is no bitmap (drawn onto a 24-bit one first).
    WriteFakeImage(dir / "big.fake", 300, 200);
    WriteFakeImage(dir / "v.fvec", 40, 20);
    TFileEntry big = EntryFor("big.fake");
    MakeThumbnail(big, Context());
    ASSERT_TRUE(big.Loaded);
    EXPECT_EQ(big.Thumbnail->Width(), 100);
    EXPECT_EQ(big.Thumbnail->Height(), 67);
    EXPECT_EQ(big.Thumbnail->GetPixel(10, 0).Red, 30);  // source column 30
    TFileEntry vec = EntryFor("v.fvec");
    MakeThumbnail(vec, Context());
    ASSERT_TRUE(vec.Loaded);
    EXPECT_EQ(vec.Thumbnail->PixelFormat(), pf24bit);
    EXPECT_EQ(Rgb(vec.Thumbnail->GetPixel(5, 6)), (TRGBQuad{7, 6, 5, 0}));
    EXPECT_EQ(loaded, 2);
    EXPECT_EQ(processed, 0);
}

TEST_F(MakeThumbnailTest, FailuresLeaveTheEntryUnloadedAndProcessMessages) {
    WriteDamagedImage(dir / "bad.fake");
    for (const char* name : {"bad.fake", "missing.fake", "unknown.xyz", "folder.fake"}) {
        if (std::string(name) == "folder.fake") std::filesystem::create_directory(dir / name);
        TFileEntry e = EntryFor(name);
        processed = 0;
        MakeThumbnail(e, Context());
        EXPECT_FALSE(e.Loaded) << name;
        EXPECT_FALSE(e.Thumbnail) << name;
        EXPECT_EQ(processed, 1) << name;
    }
    EXPECT_EQ(loaded, 0);
}

TEST_F(MakeThumbnailTest, TexturesAreReadAtAboutOneHundredAndTwentyEightPixels) {
    struct Case {
        uint32_t w, h, mips;
        int thumbW, thumbH;
    } cases[] = {
        {512, 512, 10, 100, 100},  // level 2, 128 x 128
        {64, 64, 7, 64, 64},       // level 0, kept as it is
        {256, 64, 9, 100, 25},     // level 1, 128 x 32
    };
    for (const auto& c : cases) {
        vtftest::Recipe r;
        r.Width = c.w;
        r.Height = c.h;
        r.Mips = c.mips;
        r.Format = vtftest::BGR888;
        // Every level one flat colour, its number in red, so the level read can be told.
        auto fill = [](const vtftest::ImageKey& k, std::vector<uint8_t>& image) {
            for (size_t i = 0; i < image.size(); i += 3) image[i] = 0, image[i + 1] = 0, image[i + 2] = uint8_t(k.Level);
        };
        std::string name = std::to_string(c.w) + "x" + std::to_string(c.h) + ".vtf";
        testsupport::WriteFile(dir / name, vtftest::Build(r, fill));
        TFileEntry e = EntryFor(name);
        MakeThumbnail(e, Context());
        ASSERT_TRUE(e.Loaded) << name;
        EXPECT_EQ(e.Thumbnail->Width(), c.thumbW) << name;
        EXPECT_EQ(e.Thumbnail->Height(), c.thumbH) << name;
        const int level = c.w > 100 ? static_cast<int>(c.mips) - 8 : 0;
        EXPECT_EQ(e.Thumbnail->GetPixel(0, 0).Red, level) << name;
    }
    EXPECT_EQ(loaded, 3);

    // Damaged, upper-case and missing textures: no thumbnail.
    testsupport::WriteFile(dir / "bad.vtf", {'V', 'T', 'F', 0, 1, 2});
    testsupport::WriteFile(dir / "UP.VTF", vtftest::Build(vtftest::Recipe{}));
    for (const char* name : {"bad.vtf", "UP.VTF", "gone.vtf"}) {
        TFileEntry e = EntryFor(name);
        MakeThumbnail(e, Context());
        EXPECT_FALSE(e.Loaded) << name;
    }
    EXPECT_EQ(loaded, 3);
}

// Today's thumbnail of a JPEG image: decoded at full size, drawn onto a bitmap, fitted.
TBitmap FullSizeThumbnail(const std::string& path) {
    TPicture picture;
    picture.LoadFromFile(path);
    TBitmap drawn, thumbnail;
    drawn.Assign(*picture.Graphic());
    FitThumbnail(drawn, thumbnail);
    return thumbnail;
}

int MaxDifference(const TBitmap& a, const TBitmap& b) {
    int most = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const TRGBQuad p = a.GetPixel(x, y), q = b.GetPixel(x, y);
            most = std::max({most, std::abs(p.Red - q.Red), std::abs(p.Green - q.Green), std::abs(p.Blue - q.Blue)});
        }
    return most;
}

void WriteJpeg(const std::string& path, const TBitmap& picture) {
    TJPEGImage jpeg;
    jpeg.Assign(picture);
    jpeg.SaveToFile(path);
}

TEST(JpegThumbnail, DecodedAtTheSmallestScaleThatCoversTheThumbnail) {
    RegisterFakeFormats();
    ScratchDir dir;
    struct Case {
        int W, H;          // the image
        int DecodedW, DecodedH;
    } cases[] = {
        {2048, 1536, 256, 192},  // 1/8 gives more than 100 x 75
        {600, 400, 150, 100},    // 1/8 would give 75 x 50; 2/8 covers 100 x 67
        {301, 207, 113, 78},     // 3/8 covers 100 x 69
        {64, 48, 64, 48},        // fits the box: full size
    };
    for (const Case& c : cases) {
        const std::string file = (dir / (std::to_string(c.W) + ".jpg")).string();
        WriteJpeg(file, Make(c.W, c.H));
        TJPEGImage jpeg;
        jpeg.MinimumSize = [](int32_t w, int32_t h) { return ThumbnailSize(w, h, 100, 100); };
        jpeg.LoadFromFile(file);
        EXPECT_EQ(jpeg.Width(), c.DecodedW) << c.W;
        EXPECT_EQ(jpeg.Height(), c.DecodedH) << c.W;
        EXPECT_EQ(jpeg.FullWidth(), c.W);
        EXPECT_EQ(jpeg.FullHeight(), c.H);
    }
}

TEST(JpegThumbnail, ReducedDecodeDiffersFromTheFullSizePathByRoundingOnly) {
    RegisterFakeFormats();
    ScratchDir dir;
    // A smooth photo-sized picture, changing by at most 0.7 per pixel in any channel.
    TBitmap picture = Make(2048, 1536);
    for (int y = 0; y < 1536; ++y)
        for (int x = 0; x < 2048; ++x)
            picture.SetPixel(x, y, TRGBQuad{static_cast<uint8_t>(x / 8), static_cast<uint8_t>(y / 6),
                                            static_cast<uint8_t>(128 + 60 * std::sin(x / 200.0 + y / 150.0)), 0});
    const std::string smooth = (dir / "smooth.jpg").string();
    WriteJpeg(smooth, picture);
    const TBitmap full = FullSizeThumbnail(smooth);
    const std::unique_ptr<TBitmap> reduced = CreateThumbnail(smooth);
    ASSERT_EQ(reduced->Width(), 100);
    ASSERT_EQ(reduced->Height(), 75);
    ASSERT_EQ(full.Width(), 100);
    ASSERT_EQ(full.Height(), 75);
    // The full-size path takes one pixel of the block whose mean the reduced decode gives
    // (8 x 8, and 16 x 16 for the subsampled colour), at most 7.5 pixels from its centre: at
    // 0.7 per pixel that is 5.25, and the codec's rounding adds up to 2.
    EXPECT_LE(MaxDifference(full, *reduced), 7);

    // Corpus images, whatever their detail: the thumbnail has the full-size path's size.
    if (testsupport::CorpusDir().empty()) return;
    for (const char* folder : {"public/jpeg", "synthetic/jpeg"})
        for (const auto& item : std::filesystem::directory_iterator(testsupport::CorpusDir() / folder)) {
            if (item.path().extension() != ".jpg") continue;
            const TBitmap fullCorpus = FullSizeThumbnail(item.path().string());
            const std::unique_ptr<TBitmap> reducedCorpus = CreateThumbnail(item.path().string());
            EXPECT_EQ(reducedCorpus->Width(), fullCorpus.Width()) << item.path();
            EXPECT_EQ(reducedCorpus->Height(), fullCorpus.Height()) << item.path();
            EXPECT_EQ(reducedCorpus->PixelFormat(), fullCorpus.PixelFormat()) << item.path();
        }
}

}  // namespace

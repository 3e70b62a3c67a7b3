// Icons with hand-made files: entry choice, mask and alpha, drawing and broken files.
#include <gtest/gtest.h>

#include "file_builder.h"
#include "icon.h"

using namespace testfiles;

namespace {

const char* const Invalid = "Icon image is not valid";

struct Entry {
    int Width, Height, Bits;
    std::vector<uint8_t> Data;
};

// A DIB entry: header with the doubled height, palette, colour rows and mask rows (bottom-up).
Entry DibEntry(int w, int h, int bits, const std::vector<uint8_t>& palette, const std::vector<uint8_t>& colors,
               const std::vector<uint8_t>& mask) {
    Bytes b = InfoHeader(w, 2 * h, bits, 0, static_cast<uint32_t>(palette.size() / 4));
    b.Raw(palette).Raw(colors).Raw(mask);
    return Entry{w, h, bits, b.Data};
}

// An 8-bit entry of one colour (palette index 1), with an empty mask.
Entry Plain8(int w, int h, uint32_t rgb) {
    const size_t stride = (static_cast<size_t>(w) + 3) / 4 * 4, maskStride = (static_cast<size_t>(w) + 31) / 32 * 4;
    return DibEntry(w, h, 8, Palette({0, rgb}), std::vector<uint8_t>(stride * h, 1), std::vector<uint8_t>(maskStride * h, 0));
}

// The PNG signature and header chunk of a w x h RGBA image; nothing else.
Entry PngEntry(int w, int h) {
    Bytes b;
    b.Raw({137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R'});
    b.Raw({0, 0, static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w), 0, 0, static_cast<uint8_t>(h >> 8),
           static_cast<uint8_t>(h), 8, 6, 0, 0, 0, 1, 2, 3, 4});
    return Entry{w, h, 32, b.Data};
}

std::vector<uint8_t> IconFile(const std::vector<Entry>& entries, uint16_t type = 1) {
    Bytes f;
    f.U16(0).U16(type).U16(static_cast<uint32_t>(entries.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * entries.size());
    for (const Entry& e : entries) {
        f.U8(static_cast<uint32_t>(e.Width) & 0xFF).U8(static_cast<uint32_t>(e.Height) & 0xFF).U8(0).U8(0);
        f.U16(1).U16(static_cast<uint32_t>(e.Bits)).U32(static_cast<uint32_t>(e.Data.size())).U32(offset);
        offset += static_cast<uint32_t>(e.Data.size());
    }
    for (const Entry& e : entries) f.Raw(e.Data);
    return f.Data;
}

TIcon LoadIcon(const std::vector<uint8_t>& data) {
    TReadOnlyMemoryStream stream(data.data(), data.size());
    TIcon icon;
    icon.LoadFromStream(stream);
    return icon;
}

}  // namespace

TEST(Icon, MaskBecomesAlphaAndKeepsTheColours) {
    // 2 x 2, 1 bit: bottom row white, black; top row black, white. The mask hides the
    // bottom-left pixel. Each row is padded to 4 bytes.
    const Entry e = DibEntry(2, 2, 1, Palette({0x000000, 0xFFFFFF}), {0x80, 0, 0, 0, 0x40, 0, 0, 0},
                             {0x80, 0, 0, 0, 0x00, 0, 0, 0});
    const TIcon icon = LoadIcon(IconFile({e}));
    const TBitmap& image = icon.Image();
    ASSERT_EQ(image.PixelFormat(), pf32bit);
    ASSERT_EQ(icon.Width(), 2);
    ASSERT_EQ(icon.Height(), 2);
    EXPECT_EQ(image.GetPixel(0, 0), (TRGBQuad{0, 0, 0, 255}));
    EXPECT_EQ(image.GetPixel(1, 0), (TRGBQuad{255, 255, 255, 255}));
    EXPECT_EQ(image.GetPixel(0, 1), (TRGBQuad{255, 255, 255, 0}));
    EXPECT_EQ(image.GetPixel(1, 1), (TRGBQuad{0, 0, 0, 255}));
    // Cursors share the layout.
    EXPECT_EQ(LoadIcon(IconFile({e}, 2)).Image().GetPixel(0, 1).Alpha, 0);
}

TEST(Icon, ThirtyTwoBitEntriesUseTheirOwnAlpha) {
    // Two pixels with alpha 0x80 and 0; the mask claims the opposite and is ignored.
    const std::vector<uint8_t> colors = {10, 20, 30, 0x80, 40, 50, 60, 0};
    const Entry withAlpha = DibEntry(2, 1, 32, {}, colors, {0x80, 0, 0, 0});
    const TIcon first = LoadIcon(IconFile({withAlpha}));
    const TBitmap& a = first.Image();
    EXPECT_EQ(a.GetPixel(0, 0), (TRGBQuad{10, 20, 30, 0x80}));
    EXPECT_EQ(a.GetPixel(1, 0), (TRGBQuad{40, 50, 60, 0}));
    // With alpha of its own the mask may be missing.
    EXPECT_EQ(LoadError<TIcon>(IconFile({DibEntry(2, 1, 32, {}, colors, {})})), "");

    // Alpha zero everywhere: the mask decides.
    const Entry noAlpha = DibEntry(2, 1, 32, {}, {10, 20, 30, 0, 40, 50, 60, 0}, {0x40, 0, 0, 0});
    const TIcon second = LoadIcon(IconFile({noAlpha}));
    const TBitmap& b = second.Image();
    EXPECT_EQ(b.GetPixel(0, 0), (TRGBQuad{10, 20, 30, 255}));
    EXPECT_EQ(b.GetPixel(1, 0), (TRGBQuad{40, 50, 60, 0}));
    EXPECT_EQ(LoadError<TIcon>(IconFile({DibEntry(2, 1, 32, {}, {10, 20, 30, 0, 40, 50, 60, 0}, {})})), Invalid);
}

TEST(Icon, ChoosesTheLargestThenDeepestEntry) {
    Entry small32 = DibEntry(2, 2, 32, {}, std::vector<uint8_t>(16, 0xFF), std::vector<uint8_t>(8, 0));
    const Entry big8 = Plain8(3, 3, 0x0000FF);
    Entry big4 = DibEntry(3, 3, 4, Palette({0, 0x00FF00}), std::vector<uint8_t>(12, 0x11), std::vector<uint8_t>(12, 0));
    // The directory's sizes and depths are not trusted: these claim to be huge and deep.
    small32.Width = 0;
    big4.Bits = 32;
    const TIcon icon = LoadIcon(IconFile({small32, big8, big4}));
    const TBitmap& image = icon.Image();
    ASSERT_EQ(image.Width(), 3);
    EXPECT_EQ(image.GetPixel(1, 1), (TRGBQuad{255, 0, 0, 255}));
    // Of equal entries the last one wins.
    EXPECT_EQ(LoadIcon(IconFile({big8, Plain8(3, 3, 0x00FF00)})).Image().GetPixel(0, 0), (TRGBQuad{0, 255, 0, 255}));
}

TEST(Icon, PngEntriesAreRefusedOnlyWhenChosen) {
    EXPECT_EQ(LoadError<TIcon>(IconFile({Plain8(3, 3, 0xFF0000), PngEntry(16, 16)})), Invalid);
    EXPECT_EQ(LoadIcon(IconFile({PngEntry(2, 2), Plain8(3, 3, 0xFF0000)})).Width(), 3);
}

TEST(Icon, BrokenFilesAreRefused) {
    const std::vector<uint8_t> good = IconFile({Plain8(3, 2, 0xFF0000)});
    ASSERT_EQ(LoadError<TIcon>(good), "");
    auto patched = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        std::vector<uint8_t> bad = good;
        std::copy(bytes.begin(), bytes.end(), bad.begin() + static_cast<std::ptrdiff_t>(at));
        return bad;
    };
    EXPECT_EQ(LoadError<TIcon>(patched(0, {1})), Invalid) << "reserved";
    EXPECT_EQ(LoadError<TIcon>(patched(2, {3})), Invalid) << "type";
    EXPECT_EQ(LoadError<TIcon>(patched(4, {0})), Invalid) << "no entries";
    EXPECT_EQ(LoadError<TIcon>(patched(4, {9})), Invalid) << "directory beyond the file";
    EXPECT_EQ(LoadError<TIcon>(patched(18, {0xFF, 0xFF, 0, 0})), Invalid) << "entry beyond the file";
    EXPECT_EQ(LoadError<TIcon>(patched(18, {2, 0, 0, 0})), Invalid) << "entry inside the directory";
    EXPECT_EQ(LoadError<TIcon>(patched(22, {41})), Invalid) << "header size";
    EXPECT_EQ(LoadError<TIcon>(patched(22 + 16, {1})), Invalid) << "run-length compression";
    EXPECT_EQ(LoadError<TIcon>(patched(22 + 14, {7})), Invalid) << "depth";
    // Every truncation, including one that loses only part of the mask.
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_EQ(LoadError<TIcon>(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n))),
                  Invalid)
            << n;
}

TEST(Icon, AbsurdSizesAreRefused) {
    // 65535 x 65535 at 1 bit would fit the bitmap bound, but not the file.
    Entry bomb = Plain8(16, 16, 0);
    bomb.Data[4] = bomb.Data[5] = bomb.Data[8] = bomb.Data[9] = 0xFF;
    bomb.Data[14] = 1;
    EXPECT_EQ(LoadError<TIcon>(IconFile({bomb})), Invalid);
    bomb.Data[14] = 32;
    EXPECT_EQ(LoadError<TIcon>(IconFile({bomb})), "Image is too large (65535 x 32767 pixels).");
}

TEST(Icon, DrawBlendsByAlpha) {
    // One row: opaque red, transparent green, half-transparent blue.
    const TIcon icon = LoadIcon(IconFile({DibEntry(3, 1, 32, {}, {0, 0, 255, 255, 0, 255, 0, 0, 255, 0, 0, 128}, {})}));
    TBitmap target;
    target.SetPixelFormat(pf24bit);
    target.SetSize(4, 2);
    target.Fill(RGBColor(100, 100, 100));
    icon.Draw(target, 1, 1);
    EXPECT_EQ(target.GetPixel(0, 1), (TRGBQuad{100, 100, 100, 255}));
    EXPECT_EQ(target.GetPixel(1, 1), (TRGBQuad{0, 0, 255, 255}));
    EXPECT_EQ(target.GetPixel(2, 1), (TRGBQuad{100, 100, 100, 255}));
    // 255 * 128/255 + 100 * 127/255, rounded.
    EXPECT_EQ(target.GetPixel(3, 1), (TRGBQuad{178, 50, 50, 255}));
    EXPECT_EQ(target.GetPixel(1, 0), (TRGBQuad{100, 100, 100, 255}));

    // On a transparent 32-bit surface the colour stays and the alpha is the icon's.
    TBitmap clear;
    clear.SetPixelFormat(pf32bit);
    clear.SetSize(3, 1);
    icon.Draw(clear, 0, 0);
    EXPECT_EQ(clear.GetPixel(2, 0), (TRGBQuad{255, 0, 0, 128}));
    EXPECT_EQ(clear.GetPixel(1, 0), (TRGBQuad{0, 0, 0, 0}));

    // Clipped at every edge without harm.
    icon.Draw(target, -2, 0);
    EXPECT_EQ(target.GetPixel(0, 0), (TRGBQuad{178, 50, 50, 255}));
    icon.Draw(target, 3, 1);
    icon.Draw(target, 10, 10);
    icon.Draw(target, -10, -10);

    // A bitmap copy of an icon is the icon drawn on black.
    TBitmap copy;
    copy.Assign(icon);
    EXPECT_EQ(copy.PixelFormat(), pf24bit);
    EXPECT_EQ(copy.GetPixel(2, 0), (TRGBQuad{128, 0, 0, 255}));
}

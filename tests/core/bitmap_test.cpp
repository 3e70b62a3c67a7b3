#include <gtest/gtest.h>

#include "bitmap.h"
#include "exceptions.h"

TEST(Bitmap, RowsArePaddedToFourBytesAndZeroFilled) {
    struct Case {
        TPixelFormat Format;
        int Width;
        size_t Stride;
    } cases[] = {{pf1bit, 37, 8}, {pf4bit, 37, 20}, {pf8bit, 37, 40}, {pf15bit, 37, 76},
                 {pf16bit, 3, 8}, {pf24bit, 37, 112}, {pf32bit, 37, 148}, {pf24bit, 1, 4}};
    for (const auto& c : cases) {
        TBitmap b;
        b.SetPixelFormat(c.Format);
        b.SetSize(c.Width, 3);
        EXPECT_EQ(b.RowStride(), c.Stride) << int(c.Format);
        for (int y = 0; y < 3; ++y)
            for (size_t i = 0; i < b.RowStride(); ++i) ASSERT_EQ(b.ScanLine(y)[i], 0);
    }
}

TEST(Bitmap, RefusesSizesBeyondTheBoundBeforeAllocating) {
    TBitmap b;
    b.SetPixelFormat(pf32bit);
    try {
        b.SetSize(100000, 100000);
        FAIL();
    } catch (const EOutOfResources& e) {
        EXPECT_STREQ(e.what(), "Image is too large (100000 x 100000 pixels).");
    }
    EXPECT_EQ(b.Width(), 0);
    EXPECT_THROW(b.SetSize(0x7FFFFFFF, 0x7FFFFFFF), EOutOfResources);
    EXPECT_THROW(b.SetSize(-1, 5), EInvalidGraphic);
}

TEST(Bitmap, ReleaseImageLeavesAnEmptyBitmapWithoutFormat) {
    TBitmap b;
    b.SetPixelFormat(pf8bit);
    b.SetSize(4, 4);
    b.SetTransparent(true);
    b.ReleaseImage();
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.Height(), 0);
    EXPECT_EQ(b.PixelFormat(), pfDevice);
    EXPECT_FALSE(b.Transparent());
    EXPECT_TRUE(b.Empty());
}

TEST(Bitmap, PixelLayoutsMatchTheStoredBytes) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(2, 1);
    b.SetPixel(1, 0, TRGBQuad{1, 2, 3, 0});
    EXPECT_EQ(b.ScanLine(0)[3], 1);  // blue first
    EXPECT_EQ(b.ScanLine(0)[5], 3);

    TBitmap p;
    p.SetPixelFormat(pf4bit);
    p.SetSize(3, 1);
    p.SetRawPixel(0, 0, 0xA);
    p.SetRawPixel(1, 0, 0x5);
    p.SetRawPixel(2, 0, 0xF);
    EXPECT_EQ(p.ScanLine(0)[0], 0xA5);
    EXPECT_EQ(p.ScanLine(0)[1], 0xF0);

    TBitmap m;
    m.SetPixelFormat(pf1bit);
    m.SetSize(9, 1);
    m.SetRawPixel(0, 0, 1);
    m.SetRawPixel(8, 0, 1);
    EXPECT_EQ(m.ScanLine(0)[0], 0x80);
    EXPECT_EQ(m.ScanLine(0)[1], 0x80);
    EXPECT_EQ(m.GetPixel(0, 0), (TRGBQuad{255, 255, 255, 255}));

    TBitmap w;
    w.SetPixelFormat(pf15bit);
    w.SetSize(1, 1);
    w.SetRawPixel(0, 0, 0x7C00);  // pure red in 5-5-5
    EXPECT_EQ(w.GetPixel(0, 0), (TRGBQuad{0, 0, 255, 255}));
}

TEST(Bitmap, IndexBeyondThePaletteReadsBlack) {
    TBitmap b;
    b.SetPixelFormat(pf8bit);
    TPalette pal;
    pal.Add(10, 20, 30);
    b.SetPalette(pal);
    b.SetSize(2, 1);
    b.SetRawPixel(1, 0, 200);
    EXPECT_EQ(b.GetPixel(0, 0), (TRGBQuad{30, 20, 10, 255}));
    EXPECT_EQ(b.GetPixel(1, 0), (TRGBQuad{0, 0, 0, 255}));
}

TEST(Bitmap, ChangingFormatConvertsPixels) {
    TBitmap b;
    b.SetPixelFormat(pf4bit);
    TPalette pal;
    pal.Add(0, 0, 0);
    pal.Add(255, 0, 0);
    b.SetPalette(pal);
    b.SetSize(2, 2);
    b.SetRawPixel(1, 1, 1);
    b.SetPixelFormat(pf8bit);  // widening keeps indices and palette
    EXPECT_EQ(b.GetRawPixel(1, 1), 1u);
    EXPECT_EQ(b.Palette().Count(), 2);
    b.SetPixelFormat(pf24bit);
    EXPECT_EQ(b.GetPixel(1, 1), (TRGBQuad{0, 0, 255, 255}));
    EXPECT_THROW(b.SetPixelFormat(pfCustom), EInvalidGraphicOperation);

    // Narrowing below what the palette needs takes the narrower default palette and keeps
    // the colours as near as it has them; a palette that still fits is kept.
    TBitmap grey;
    grey.SetPixelFormat(pf8bit);
    TPalette ramp;
    for (int i = 0; i < 256; ++i) ramp.Add(static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i));
    grey.SetPalette(ramp);
    grey.SetSize(2, 1);
    grey.SetRawPixel(1, 0, 255);
    grey.SetPixelFormat(pf4bit);
    EXPECT_EQ(grey.Palette(), TBitmap::DefaultPalette(pf4bit));
    EXPECT_EQ(grey.GetPixel(0, 0), (TRGBQuad{0, 0, 0, 255}));
    EXPECT_EQ(grey.GetPixel(1, 0), (TRGBQuad{255, 255, 255, 255}));
    TBitmap two;
    two.SetPixelFormat(pf8bit);
    two.SetPalette(pal);
    two.SetSize(2, 1);
    two.SetRawPixel(1, 0, 1);
    two.SetPixelFormat(pf1bit);
    EXPECT_EQ(two.Palette(), pal);
    EXPECT_EQ(two.GetRawPixel(1, 0), 1u);

    // Resizing to no width or height leaves no pixels and raises nothing.
    two.SetSize(0, 4);
    EXPECT_EQ(two.Width(), 0);
    EXPECT_EQ(two.Height(), 4);
    two.SetSize(3, 3);
    EXPECT_EQ(two.GetRawPixel(2, 2), 0u);
}

TEST(Bitmap, CopyIsDeepAndDrawClips) {
    TBitmap a;
    a.SetPixelFormat(pf24bit);
    a.SetSize(2, 2);
    a.SetPixel(0, 0, TRGBQuad{9, 9, 9, 0});
    TBitmap b(a);
    a.SetPixel(0, 0, TRGBQuad{1, 1, 1, 0});
    EXPECT_EQ(b.GetPixel(0, 0).Blue, 9);

    TBitmap t;
    t.SetPixelFormat(pf32bit);
    t.SetSize(3, 3);
    b.Draw(t, 2, 2);  // only b's (0,0) lands inside
    EXPECT_EQ(t.GetPixel(2, 2).Blue, 9);
    b.Draw(t, -5, 0);  // entirely outside: nothing happens

    // A move hands the very pixels over and leaves an empty bitmap behind.
    const uint8_t* pixels = b.ScanLine(0);
    TBitmap m(std::move(b));
    EXPECT_EQ(m.ScanLine(0), pixels);
    EXPECT_EQ(m.GetPixel(0, 0).Blue, 9);
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.PixelFormat(), pfDevice);
    t = std::move(m);
    EXPECT_EQ(t.ScanLine(0), pixels);
    EXPECT_EQ(t.Width(), 2);
    EXPECT_EQ(t.PixelFormat(), pf24bit);
}

TEST(Bitmap, StretchCopyIsNearestNeighbourByIntegerDivision) {
    TBitmap s;
    s.SetPixelFormat(pf8bit);
    TPalette pal;
    for (int i = 0; i < 4; ++i) pal.Add(static_cast<uint8_t>(i * 10), 0, 0);
    s.SetPalette(pal);
    s.SetSize(4, 1);
    for (int i = 0; i < 4; ++i) s.SetRawPixel(i, 0, static_cast<uint32_t>(i));
    TBitmap t;
    t.SetPixelFormat(pf24bit);
    t.SetSize(3, 1);
    StretchCopy(s, t);
    // i * 4 / 3: 0, 1, 2
    EXPECT_EQ(t.GetPixel(0, 0).Red, 0);
    EXPECT_EQ(t.GetPixel(1, 0).Red, 10);
    EXPECT_EQ(t.GetPixel(2, 0).Red, 20);
}

namespace {
// A graphic that only draws one pixel, like a metafile that draws only its own ink.
class TInkDot : public TGraphic {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override { return Class; }
    void LoadFromStream(TStream&) override {}
    int32_t Width() const override { return 3; }
    int32_t Height() const override { return 2; }
    void Draw(TBitmap& target, int32_t x, int32_t y) const override { target.SetPixel(x + 1, y + 1, TRGBQuad{0, 0, 0, 0}); }
};
const TGraphicClass TInkDot::Class = {"TInkDot", [] { return std::unique_ptr<TGraphic>(new TInkDot); }};
}  // namespace

TEST(Bitmap, AssignFromAnotherGraphicDrawsOnWhite24Bit) {
    TBitmap b;
    b.Assign(TInkDot());
    EXPECT_EQ(b.PixelFormat(), pf24bit);
    EXPECT_EQ(b.Width(), 3);
    EXPECT_EQ(b.Height(), 2);
    EXPECT_EQ(b.GetPixel(0, 0), (TRGBQuad{255, 255, 255, 255}));
    EXPECT_EQ(b.GetPixel(2, 1), (TRGBQuad{255, 255, 255, 255}));
    EXPECT_EQ(b.GetPixel(1, 1), (TRGBQuad{0, 0, 0, 255}));
}

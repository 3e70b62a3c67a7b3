// Loading metafiles: kind by content, picture size from the headers, refused headers, and where
// and on what a metafile draws.
#include <gtest/gtest.h>

#include <random>

#include "exceptions.h"
#include "metafile_builder.h"
#include "test_support.h"

using namespace mftest;

namespace {

void ExpectInvalid(const std::vector<uint8_t>& bytes, const char* what) {
    try {
        Load(bytes);
        ADD_FAILURE() << what << ": loaded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Metafile is not valid") << what;
    }
}

}  // namespace

TEST(MetafileSize, PlaceableWmfFromBoundingBoxAt96PerInch) {
    struct Case {
        int16_t Left, Top, Right, Bottom;
        uint16_t Inch;
        int W, H;
    } cases[] = {
        {0, 0, 1440, 720, 1440, 96, 48},       // one inch by half an inch
        {-30, -30, 3066, 3094, 606, 490, 495},  // 3096 * 96 / 606 = 490.5-, 3124 * 96 / 606 = 494.9
        {0, 0, 1000, 1000, 1200, 80, 80},
        {0, 0, 25, 75, 96, 25, 75},
        {100, 100, 0, 0, 96, 100, 100},  // a flipped box keeps its size
        {0, 0, 5, 5, 1200, 1, 1},        // never below one pixel
        {0, 0, 1, 1, 1920, 1, 1},        // half a pixel rounds up
    };
    for (const Case& c : cases) {
        TMetafile m = Load(WmfBuilder(c.Right, c.Bottom, c.Inch, true, c.Left, c.Top).Bytes());
        EXPECT_FALSE(m.Enhanced());
        EXPECT_EQ(m.Width(), c.W) << c.Right - c.Left << " / " << c.Inch;
        EXPECT_EQ(m.Height(), c.H) << c.Bottom - c.Top << " / " << c.Inch;
    }
}

TEST(MetafileSize, PlainWmfFromWindowExtentScaledDownWhenHuge) {
    auto plain = [](int extX, int extY) {
        return Load(WmfBuilder(0, 0, 0, false).Rec(wSetWindowOrg, {5, 5}).Rec(wSetWindowExt, {extY, extX}).Bytes());
    };
    TMetafile a = plain(200, 150);
    EXPECT_EQ(a.Width(), 200);
    EXPECT_EQ(a.Height(), 150);
    TMetafile b = plain(-300, 120);
    EXPECT_EQ(b.Width(), 300);
    EXPECT_EQ(b.Height(), 120);
    TMetafile c = plain(20000, 10000);
    EXPECT_EQ(c.Width(), TMetafile::MaxPictureSide);
    EXPECT_EQ(c.Height(), TMetafile::MaxPictureSide / 2);
    ExpectInvalid(WmfBuilder(0, 0, 0, false).Box(wRectangle, 0, 0, 10, 10).Bytes(), "plain WMF without extent");
}

TEST(MetafileSize, EmfFromInclusiveFrameOrElseBounds) {
    // 2646 hundredths of a millimetre make 100 pixels at 96 per inch.
    TMetafile a = Load(EmfBuilder(10, 10).Frame(0, 0, 2645, 1322).Bytes());
    EXPECT_TRUE(a.Enhanced());
    EXPECT_EQ(a.Width(), 100);
    EXPECT_EQ(a.Height(), 50);
    TMetafile b = Load(EmfBuilder().Frame(1000, 1000, 1000 + 29699, 1000 + 20999).Bytes());
    EXPECT_EQ(b.Width(), 1123);  // 1122.5 rounds away from zero
    EXPECT_EQ(b.Height(), 794);
    // An empty frame falls back to the bounds, in reference-device pixels, edges inclusive.
    TMetafile c = Load(EmfBuilder().Bounds(10, 20, 59, 99).Bytes());
    EXPECT_EQ(c.Width(), 50);
    EXPECT_EQ(c.Height(), 80);
    ExpectInvalid(EmfBuilder().Bounds(10, 20, 5, 99).Bytes(), "empty frame and bounds");
    // A frame of 4 m by 2 m would be 15118 x 7559 pixels: scaled down on the longer side.
    TMetafile d = Load(EmfBuilder().Frame(0, 0, 399999, 199999).Bytes());
    EXPECT_EQ(d.Width(), TMetafile::MaxPictureSide);
    EXPECT_EQ(d.Height(), TMetafile::MaxPictureSide / 2);
}

TEST(MetafileLoad, RefusesHeadersThatDoNotHoldTogether) {
    ExpectInvalid({}, "empty");
    ExpectInvalid(std::vector<uint8_t>(40, 0), "zeros");
    ExpectInvalid(WmfBuilder(100, 100, 0).Bytes(), "zero units per inch");
    ExpectInvalid(WmfBuilder(0, 100, 96).Bytes(), "empty bounding box");
    std::vector<uint8_t> wmf = WmfBuilder().Bytes();
    wmf[22 + 2] = 10;  // header size in words must be 9
    ExpectInvalid(wmf, "WMF header size");
    std::vector<uint8_t> truncated = WmfBuilder().Bytes();
    truncated.resize(30);
    ExpectInvalid(truncated, "placeable header without WMF header");

    std::vector<uint8_t> emf = EmfBuilder().Bytes();
    std::vector<uint8_t> longer = emf;
    Set32(longer, 48, static_cast<uint32_t>(emf.size() + 4));  // claims bytes beyond the file
    ExpectInvalid(longer, "EMF size beyond the file");
    std::vector<uint8_t> shortHeader = emf;
    Set32(shortHeader, 4, 40);
    ExpectInvalid(shortHeader, "EMF header record too small");
    std::vector<uint8_t> noDevice = emf;
    Set32(noDevice, 80, 0);
    ExpectInvalid(noDevice, "EMF without millimetres");
    std::vector<uint8_t> signature = emf;
    signature[40] = 'X';
    ExpectInvalid(signature, "EMF signature");
}

TEST(MetafileLoad, FailedLoadKeepsThePreviousPicture) {
    TMetafile m = Load(WmfBuilder(50, 60).Bytes());
    std::vector<uint8_t> bad(40, 0);
    TReadOnlyMemoryStream s(bad.data(), bad.size());
    EXPECT_THROW(m.LoadFromStream(s), EInvalidGraphic);
    EXPECT_EQ(m.Width(), 50);
    EXPECT_EQ(m.Height(), 60);
}

TEST(MetafileLoad, KindComesFromTheContentNotTheName) {
    testsupport::ScratchDir dir;
    const auto emfAsWmf = dir / "drawing.wmf";
    testsupport::WriteFile(emfAsWmf, EmfBuilder(30, 20).Bytes());
    const auto wmfAsEmf = dir / "drawing.emf";
    testsupport::WriteFile(wmfAsEmf, WmfBuilder(40, 10).Bytes());
    TMetafile a, b;
    a.LoadFromFile(emfAsWmf.string());
    b.LoadFromFile(wmfAsEmf.string());
    EXPECT_TRUE(a.Enhanced());
    EXPECT_EQ(a.Width(), 30);
    EXPECT_FALSE(b.Enhanced());
    EXPECT_EQ(b.Width(), 40);
}

TEST(MetafileDraw, PaintsOnlyItsOwnRectangleAtTheGivenPlace) {
    // A rectangle drawn far past the picture's edges is cut at them.
    const TMetafile m = Load(WmfBuilder(20, 10).Brush(0, Red).Select(0).Box(wRectangle, -100, -100, 200, 200).Bytes());
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(40, 30);
    b.Fill(White);
    m.Draw(b, 5, 7);
    EXPECT_EQ(Count(b, Red), 20 * 10);
    EXPECT_EQ(At(b, 5, 7), Red);
    EXPECT_EQ(At(b, 10, 10), Red);
    EXPECT_EQ(At(b, 24, 16), Red);
    EXPECT_EQ(At(b, 4, 10), White);
    EXPECT_EQ(At(b, 25, 10), White);
    EXPECT_EQ(At(b, 10, 17), White);
    // Partly off the target: clipped, nothing else touched.
    TBitmap small;
    small.SetPixelFormat(pf24bit);
    small.SetSize(8, 8);
    small.Fill(White);
    m.Draw(small, -15, -5);
    EXPECT_EQ(Count(small, Red), 5 * 5);
    EXPECT_EQ(At(small, 4, 4), Red);
    EXPECT_EQ(At(small, 5, 4), White);
}

TEST(MetafileDraw, DrawsOntoEveryPixelFormat) {
    const TMetafile m = Load(WmfBuilder(8, 8).Brush(0, Blue).Select(0).Pen(5, 0, 0).Select(1).Box(wRectangle, 2, 2, 6, 6).Bytes());
    for (TPixelFormat pf : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        TBitmap b;
        b.SetPixelFormat(pf);
        b.SetSize(8, 8);
        b.Fill(White);
        m.Draw(b, 0, 0);
        const TRGBQuad in = b.GetPixel(3, 3), out = b.GetPixel(0, 0);
        EXPECT_LT(in.Red, 128) << int(pf);
        EXPECT_GE(out.Red, 128) << int(pf);
        // The two-colour and grey default palettes have no blue to offer.
        if (pf != pf1bit && pf != pf8bit) {
            EXPECT_GE(in.Blue, 128) << int(pf);
        }
        if (pf == pf32bit) {
            EXPECT_EQ(in.Alpha, 255);
        }
    }
    TBitmap empty;
    m.Draw(empty, 0, 0);  // nothing to draw on: nothing happens
}

TEST(MetafileDraw, MutatedFilesNeverCrashOrHang) {
    const std::vector<std::vector<uint8_t>> seeds = {
        WmfBuilder(64, 64)
            .Pen(0, 3, Red)
            .Select(0)
            .Brush(2, Blue, 3)
            .Select(1)
            .Rec(wPolygon, {3, 0, 0, 60, 10, 30, 60})
            .Box(wEllipse, 5, 5, 50, 40)
            .Rec(wPie, {0, 64, 32, 0, 60, 60, 0, 0})
            .Bytes(),
        EmfBuilder(64, 64)
            .Pen(1, 0, 4, Green)
            .Select(1)
            .Rec(eBeginPath, {})
            .Poly(ePolyline16, {{0, 0}, {60, 10}, {30, 60}})
            .Rec(eCloseFigure, {})
            .Rec(eEndPath, {})
            .Rec(eStrokeAndFillPath, {0, 0, 0, 0})
            .Box(eRectangle, 10, 10, 40, 40)
            .Bytes(),
    };
    std::mt19937 rng(1234);
    for (const auto& seed : seeds)
        for (int round = 0; round < 400; ++round) {
            std::vector<uint8_t> bytes = seed;
            const int flips = 1 + static_cast<int>(rng() % 6);
            for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
            if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
            try {
                TMetafile m = Load(bytes);
                TBitmap b;
                b.SetPixelFormat(pf24bit);
                b.SetSize(48, 48);
                m.Draw(b, 0, 0);
            } catch (const EInvalidGraphic&) {
            }
        }
}

TEST(MetafileDraw, EmfDrawnOutsideItsFrameShowsItsBounds) {
    // The records draw at y < 0 while the frame says 0..100: the bounds are put on the picture.
    const std::vector<uint8_t> bytes = EmfBuilder()
                                           .Frame(0, 0, 2645, 2645)
                                           .Bounds(0, -100, 99, -1)
                                           .Brush(1, 0, Red)
                                           .Select(1)
                                           .Select(StockNullPen)
                                           .Box(eRectangle, 0, -100, 50, -50)
                                           .Bytes();
    TBitmap b = Render(bytes);
    EXPECT_EQ(b.Width(), 100);
    EXPECT_NEAR(Count(b, Red), 50 * 50, 101);
    EXPECT_EQ(At(b, 25, 25), Red);
    EXPECT_EQ(At(b, 75, 75), White);
}

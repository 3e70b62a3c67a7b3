// WMF record families on small hand-built files. The default picture is 100 x 100 pixels with
// one logical unit to a pixel; lines sit on the pixel they name. Shapes given by a bounding
// rectangle leave out its right and bottom edge: without a pen, a rectangle (l, t, r, b) fills
// [l, r - 1) x [t, b - 1); with one, its outline runs on l, r - 1, t and b - 1.
#include <gtest/gtest.h>

#include "metafile_builder.h"

using namespace mftest;

namespace {

constexpr int PsNull = 5, BsSolid = 0, BsNull = 1, BsHatched = 2, HsCross = 4;

// A red brush in slot 0 and no pen in slot 1, both selected.
WmfBuilder RedNoPen() { return std::move(WmfBuilder().Brush(BsSolid, Red).Select(0).Pen(PsNull, 0, 0).Select(1)); }

std::vector<uint8_t> Dib2x2() {
    // Bottom row first: blue, green; then the top row: red, white. Rows padded to 8 bytes.
    std::vector<uint8_t> d = DibInfo(2, 2);
    for (uint8_t v : {255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0}) d.push_back(v);
    return d;
}

}  // namespace

TEST(WmfRecords, RectangleFillsWithTheBrushAndOutlinesWithThePen) {
    TBitmap b = Render(WmfBuilder().Brush(BsSolid, Red).Select(0).Box(wRectangle, 10, 10, 50, 50).Bytes());
    EXPECT_EQ(At(b, 30, 30), Red);
    EXPECT_EQ(At(b, 10, 30), Black);
    EXPECT_EQ(At(b, 30, 10), Black);
    EXPECT_EQ(At(b, 49, 30), Black);
    EXPECT_EQ(At(b, 30, 49), Black);
    EXPECT_EQ(At(b, 9, 30), White);
    EXPECT_EQ(At(b, 50, 30), White);
    EXPECT_EQ(Count(b, Red), 38 * 38);

    // A frame as large as the picture shows all four sides.
    TBitmap frame = Render(WmfBuilder().Brush(BsNull, 0).Select(0).Box(wRectangle, 0, 0, 100, 100).Bytes());
    EXPECT_EQ(At(frame, 99, 50), Black);
    EXPECT_EQ(At(frame, 50, 99), Black);
    EXPECT_EQ(Count(frame, Black), 4 * 99);

    TBitmap hollow = Render(WmfBuilder().Brush(BsNull, 0).Select(0).Pen(PsNull, 0, 0).Select(1).Box(wRectangle, 10, 10, 50, 50).Bytes());
    EXPECT_EQ(Count(hollow, White), 100 * 100);
}

TEST(WmfRecords, HatchedBrushesLeaveOrFillTheGapsByBackgroundMode) {
    auto hatched = [](int bkMode) {
        return Render(WmfBuilder()
                          .Rec(wSetBkMode, {bkMode})
                          .Rec(wSetBkColor, {Green & 0xFFFF, Green >> 16})
                          .Brush(BsHatched, Blue, HsCross)
                          .Select(0)
                          .Pen(PsNull, 0, 0)
                          .Select(1)
                          .Box(wRectangle, 0, 0, 41, 41)  // 40 x 40 pixels
                          .Bytes());
    };
    TBitmap transparent = hatched(1), opaque = hatched(2);
    // A cross hatch sets 15 of every 64 pixels.
    EXPECT_EQ(Count(transparent, Blue), 40 * 40 * 15 / 64);
    EXPECT_EQ(Count(transparent, Green), 0);
    EXPECT_EQ(Count(opaque, Blue), 40 * 40 * 15 / 64);
    EXPECT_EQ(Count(opaque, Green), 40 * 40 * 49 / 64);
}

TEST(WmfRecords, PolygonsFollowTheFillMode) {
    auto star = [](int mode) {
        return Render(RedNoPen()
                          .Rec(wSetPolyFillMode, {mode})
                          .Rec(wPolygon, {5, 50, 5, 79, 95, 2, 39, 98, 39, 21, 95})
                          .Bytes());
    };
    TBitmap alternate = star(1), winding = star(2);
    EXPECT_EQ(At(alternate, 50, 55), White);  // the pentagon in the middle is crossed twice
    EXPECT_EQ(At(winding, 50, 55), Red);
    EXPECT_EQ(At(alternate, 50, 15), Red);
    EXPECT_EQ(At(alternate, 50, 97), White);

    auto ring = [](int mode) {
        return Render(RedNoPen()
                          .Rec(wSetPolyFillMode, {mode})
                          .Rec(wPolyPolygon, {2, 4, 4, 10, 10, 90, 10, 90, 90, 10, 90, 30, 30, 70, 30, 70, 70, 30, 70})
                          .Bytes());
    };
    TBitmap hole = ring(1), full = ring(2);
    EXPECT_EQ(At(hole, 50, 50), White);
    EXPECT_EQ(At(hole, 20, 50), Red);
    EXPECT_EQ(At(full, 50, 50), Red);
    EXPECT_EQ(Count(hole, Red), 80 * 80 - 40 * 40);
}

TEST(WmfRecords, LinesAreHairlinesOrWidePens) {
    TBitmap thin = Render(WmfBuilder().Rec(wMoveTo, {20, 10}).Rec(wLineTo, {20, 90}).Bytes());
    EXPECT_EQ(Count(thin, Black), 80);  // the last point is left out
    EXPECT_EQ(At(thin, 10, 20), Black);
    EXPECT_EQ(At(thin, 89, 20), Black);
    EXPECT_EQ(At(thin, 90, 20), White);

    TBitmap wide = Render(WmfBuilder().Pen(0, 9, Blue).Select(0).Rec(wPolyline, {2, 10, 50, 90, 50}).Bytes());
    for (int y = 46; y <= 54; ++y) EXPECT_EQ(At(wide, 50, y), Blue) << y;
    EXPECT_EQ(At(wide, 50, 44), White);
    EXPECT_EQ(At(wide, 50, 56), White);

    // Pen widths scale with the mapping: an 8-unit pen at half scale is 4 pixels wide.
    TBitmap scaled = Render(WmfBuilder()
                                .Rec(wSetWindowExt, {200, 200})
                                .Pen(0, 8, Blue)
                                .Select(0)
                                .Rec(wPolyline, {2, 20, 100, 180, 100})
                                .Bytes());
    int rows = 0;
    for (int y = 40; y < 60; ++y) rows += At(scaled, 50, y) == Blue;
    EXPECT_EQ(rows, 4);
}

TEST(WmfRecords, EllipsesRoundRectsAndArcs) {
    TBitmap ellipse = Render(RedNoPen().Box(wEllipse, 10, 10, 90, 90).Bytes());
    EXPECT_EQ(At(ellipse, 50, 50), Red);
    EXPECT_EQ(At(ellipse, 15, 15), White);
    EXPECT_EQ(At(ellipse, 11, 50), Red);
    EXPECT_NEAR(Count(ellipse, Red), 3.14159 * 39.5 * 39.5, 60);

    TBitmap round = Render(RedNoPen().Rec(wRoundRect, {40, 40, 90, 90, 10, 10}).Bytes());
    EXPECT_EQ(At(round, 11, 11), White);
    EXPECT_EQ(At(round, 50, 11), Red);
    EXPECT_EQ(At(round, 11, 50), Red);

    // Start east, end north, counter-clockwise: the upper right quarter.
    TBitmap pie = Render(RedNoPen().Rec(wPie, {0, 50, 50, 100, 100, 100, 0, 0}).Bytes());
    EXPECT_EQ(At(pie, 75, 25), Red);
    EXPECT_EQ(At(pie, 25, 25), White);
    EXPECT_EQ(At(pie, 75, 75), White);
    EXPECT_NEAR(Count(pie, Red), 3.14159 * 50 * 50 / 4, 60);

    TBitmap chord = Render(RedNoPen().Rec(wChord, {0, 50, 50, 100, 100, 100, 0, 0}).Bytes());
    EXPECT_EQ(At(chord, 80, 20), Red);
    EXPECT_EQ(At(chord, 60, 40), White);

    TBitmap arc = Render(WmfBuilder().Rec(wArc, {0, 50, 50, 100, 100, 100, 0, 0}).Bytes());
    int outside = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            if (At(arc, x, y) == Black && (x < 49 || y > 51)) ++outside;
    EXPECT_EQ(outside, 0);
    EXPECT_GT(Count(arc, Black), 60);
    EXPECT_EQ(At(arc, 75, 25), White);
}

TEST(WmfRecords, WindowAndMappingModesPlaceTheDrawing) {
    // The window the file sets fills the picture.
    TBitmap window = Render(RedNoPen().Rec(wSetWindowExt, {1000, 1000}).Box(wRectangle, 0, 0, 500, 500).Bytes());
    EXPECT_EQ(Count(window, Red), 49 * 49);
    EXPECT_EQ(At(window, 48, 48), Red);
    EXPECT_EQ(At(window, 49, 48), White);

    TBitmap origin = Render(
        RedNoPen().Rec(wSetWindowOrg, {-100, -100}).Rec(wSetWindowExt, {200, 200}).Box(wRectangle, -100, -100, 0, 0).Bytes());
    EXPECT_EQ(Count(origin, Red), 49 * 49);
    EXPECT_EQ(At(origin, 0, 0), Red);

    // Isotropic keeps the aspect: the smaller scale wins.
    TBitmap iso = Render(
        RedNoPen().Rec(wSetMapMode, {7}).Rec(wSetWindowExt, {100, 200}).Box(wRectangle, 0, 0, 200, 100).Bytes());
    EXPECT_EQ(Count(iso, Red), 99 * 49);

    // Tenths of a millimetre with y up, at the placeable header's 96 units per inch.
    TBitmap metric = Render(RedNoPen().Rec(wSetMapMode, {2}).Box(wRectangle, 0, 0, 265, -265).Bytes());
    EXPECT_EQ(At(metric, 50, 50), Red);
    EXPECT_EQ(At(metric, 98, 98), Red);
    EXPECT_NEAR(Count(metric, Red), 100 * 100, 200);
}

TEST(WmfRecords, SavedStatesAndTheObjectTable) {
    TBitmap restored = Render(WmfBuilder()
                                  .Brush(BsSolid, Red)
                                  .Brush(BsSolid, Blue)
                                  .Select(0)
                                  .Rec(wSaveDC, {})
                                  .Select(1)
                                  .Rec(wRestoreDC, {-1})
                                  .Rec(wRestoreDC, {-5})  // nothing saved any more: ignored
                                  .Box(wRectangle, 10, 10, 20, 20)
                                  .Bytes());
    EXPECT_EQ(At(restored, 15, 15), Red);

    // A new object takes the lowest free slot.
    TBitmap slots = Render(WmfBuilder()
                               .Brush(BsSolid, Red)
                               .Brush(BsSolid, Green)
                               .Rec(wDeleteObject, {0})
                               .Brush(BsSolid, Blue)
                               .Select(0)
                               .Select(40)  // no such object: ignored
                               .Box(wRectangle, 10, 10, 20, 20)
                               .Bytes());
    EXPECT_EQ(At(slots, 15, 15), Blue);

    // A full table takes no more objects, and many creations stay cheap: the search for the
    // lowest free slot does not start over each time.
    WmfBuilder many;
    for (int i = 0; i < 70000; ++i) many.Brush(BsSolid, Red);
    many.Rec(wDeleteObject, {5}).Brush(BsSolid, Blue).Brush(BsSolid, Green).Select(5);  // green finds no slot
    TBitmap full = Render(many.Box(wRectangle, 10, 10, 20, 20).Bytes(65535));
    EXPECT_EQ(At(full, 15, 15), Blue);
}

TEST(WmfRecords, PaletteIndexColoursResolveThroughTheSelectedPalette) {
    constexpr int wCreatePalette = 0x00F7, wSelectPalette = 0x0234;
    constexpr TColor PaletteIndex1 = 0x01000001;
    auto drawn = [&](std::initializer_list<int> palette) {
        return Render(WmfBuilder()
                          .Rec(wCreatePalette, palette)
                          .Rec(wSelectPalette, {0})
                          .Brush(BsSolid, PaletteIndex1)
                          .Select(1)
                          .Pen(PsNull, 0, 0)
                          .Select(2)
                          .Box(wRectangle, 10, 10, 20, 20)
                          .Bytes());
    };
    // Entries are red, green, blue, flags: entry 1 is pure blue.
    EXPECT_EQ(At(drawn({0x0300, 2, 0x00FF, 0, 0, 0x00FF}), 15, 15), Blue);
    // An index past the palette's end is black; a palette claiming more entries than its
    // record holds ends the drawing before the square.
    EXPECT_EQ(At(drawn({0x0300, 1, 0x00FF, 0}), 15, 15), Black);
    EXPECT_EQ(At(drawn({0x0300, 9, 0x00FF, 0}), 15, 15), White);
}

TEST(WmfRecords, ClipRectanglesLimitTheDrawing) {
    TBitmap b = Render(RedNoPen()
                           .Rec(wIntersectClipRect, {100, 50, 0, 0})
                           .Rec(wExcludeClipRect, {40, 40, 20, 20})
                           .Box(wRectangle, 0, 0, 100, 100)
                           .Bytes());
    EXPECT_EQ(Count(b, Red), 50 * 99 - 20 * 20);
    EXPECT_EQ(At(b, 30, 30), White);
    EXPECT_EQ(At(b, 60, 30), White);

    TBitmap saved = Render(RedNoPen()
                               .Rec(wSaveDC, {})
                               .Rec(wIntersectClipRect, {10, 10, 0, 0})
                               .Rec(wRestoreDC, {-1})
                               .Box(wRectangle, 0, 0, 100, 100)
                               .Bytes());
    EXPECT_EQ(Count(saved, Red), 99 * 99);
}

TEST(WmfRecords, BitmapsStretchIntoTheirRectangle) {
    std::vector<uint8_t> stretchDib;
    for (int v : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 100, 100, 0, 0}) Put16(stretchDib, static_cast<uint16_t>(v));
    for (uint8_t v : Dib2x2()) stretchDib.push_back(v);
    TBitmap b = Render(WmfBuilder().Raw(wStretchDib, stretchDib).Bytes());
    EXPECT_EQ(At(b, 25, 25), Red);
    EXPECT_EQ(At(b, 75, 25), White);
    EXPECT_EQ(At(b, 25, 75), Blue);
    EXPECT_EQ(At(b, 75, 75), Green);

    // Source rows of a device-independent bitmap record count from the bottom; those of a
    // blit record from the top.
    std::vector<uint8_t> oneFromBottom;
    for (int v : {0x0020, 0x00CC, 0, 1, 1, 0, 0, 100, 100, 0, 0}) Put16(oneFromBottom, static_cast<uint16_t>(v));
    for (uint8_t v : Dib2x2()) oneFromBottom.push_back(v);
    EXPECT_EQ(Count(Render(WmfBuilder().Raw(wStretchDib, oneFromBottom).Bytes()), Blue), 100 * 100);
    std::vector<uint8_t> oneFromTop;
    for (int v : {0x0020, 0x00CC, 1, 1, 0, 0, 100, 100, 0, 0}) Put16(oneFromTop, static_cast<uint16_t>(v));
    for (uint8_t v : Dib2x2()) oneFromTop.push_back(v);
    EXPECT_EQ(Count(Render(WmfBuilder().Raw(wDibStretchBlt, oneFromTop).Bytes()), Red), 100 * 100);

    // Bits shorter than the header claims: the record draws nothing, the drawing goes on.
    std::vector<uint8_t> shortBits(stretchDib.begin(), stretchDib.end() - 6);
    TBitmap cut = Render(RedNoPen().Raw(wStretchDib, shortBits).Box(wRectangle, 0, 0, 10, 10).Bytes());
    EXPECT_EQ(Count(cut, Red), 9 * 9);
    EXPECT_EQ(Count(cut, White), 100 * 100 - 9 * 9);
}

TEST(WmfRecords, PixelAndRasterOperations) {
    TBitmap b = Render(WmfBuilder()
                           .Brush(BsSolid, Red)
                           .Select(0)
                           .Rec(wSetPixel, {Green & 0xFFFF, Green >> 16, 9, 7})
                           .Rec(wPatBlt, {0x0021, 0x00F0, 10, 10, 20, 20})  // brush
                           .Rec(wPatBlt, {0x0009, 0x0055, 10, 10, 40, 40})  // invert
                           .Rec(wPatBlt, {0x0042, 0x0000, 10, 10, 60, 60})  // black
                           .Bytes());
    EXPECT_EQ(At(b, 7, 9), Green);
    EXPECT_EQ(At(b, 25, 25), Red);
    EXPECT_EQ(At(b, 45, 45), Black);
    EXPECT_EQ(At(b, 65, 65), Black);
    EXPECT_EQ(Count(b, Black), 200);

    // Exclusive-or twice gives the background back.
    TBitmap xored = Render(RedNoPen()
                               .Rec(wSetRop2, {7})
                               .Box(wRectangle, 10, 10, 50, 50)
                               .Box(wRectangle, 30, 30, 70, 70)
                               .Box(wRectangle, 10, 10, 50, 50)
                               .Bytes());
    EXPECT_EQ(At(xored, 20, 20), White);
    EXPECT_EQ(At(xored, 60, 60), 0xFFFF00u);  // white ^ red
    EXPECT_EQ(Count(xored, 0xFFFF00u), 39 * 39);
}

TEST(WmfRecords, MalformedRecordsEndTheDrawing) {
    // Each file draws a red square, then a broken record, then a blue square.
    auto after = [](WmfBuilder& w) { return Render(w.Brush(BsSolid, Blue).Select(2).Box(wRectangle, 50, 50, 60, 60).Bytes()); };
    auto before = [] { return std::move(RedNoPen().Box(wRectangle, 0, 0, 10, 10)); };
    // A record that could never be stepped over, or one that claims more than the file holds,
    // makes the file invalid at load.
    for (uint32_t words : {0u, 2u, 100000u}) {
        WmfBuilder w = before();
        w.Sized(words, wRectangle, {20, 20, 10, 10});
        const std::vector<uint8_t> bytes = w.Brush(BsSolid, Blue).Select(2).Box(wRectangle, 50, 50, 60, 60).Bytes();
        EXPECT_EQ(LoadError(bytes), "Metafile is not valid") << words;
    }
    // A file that stops between records draws what it has.
    std::vector<uint8_t> cut = before().Box(wRectangle, 50, 50, 60, 60).Bytes(8, false);
    cut.resize(cut.size() - 14);
    EXPECT_EQ(Count(Render(cut), Red), 9 * 9);
    {
        WmfBuilder w = before();
        w.Rec(wPolygon, {3000, 0, 0, 10, 0, 10, 10});  // more points than the record holds
        TBitmap b = after(w);
        EXPECT_EQ(Count(b, Red), 9 * 9);
        EXPECT_EQ(Count(b, Blue), 0);
    }
    {
        WmfBuilder w = before();
        w.Rec(wRectangle, {20});  // too few parameters
        TBitmap b = after(w);
        EXPECT_EQ(Count(b, Blue), 0);
    }
    {
        WmfBuilder w = before();
        w.Rec(0x0999, {1, 2, 3});  // unknown: skipped
        TBitmap b = after(w);
        EXPECT_EQ(Count(b, Red), 9 * 9);
        EXPECT_EQ(Count(b, Blue), 9 * 9);
    }
    // Records after the end-of-file record are not played.
    std::vector<uint8_t> bytes = RedNoPen().Rec(0, {}).Box(wRectangle, 0, 0, 10, 10).Bytes();
    EXPECT_EQ(Count(Render(bytes), Red), 0);
}

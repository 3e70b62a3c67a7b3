// EMF record families on small hand-built files (100 x 100 pixels, one unit to a pixel unless
// a test maps otherwise), and the rasteriser's own bounds. Rectangles and ellipses leave out
// their right and bottom edge: without a pen, (l, t, r, b) fills [l, r - 1) x [t, b - 1).
#include <gtest/gtest.h>

#include <cstring>

#include "metafile_builder.h"
#include "metafile/metafile_raster.h"

using namespace mftest;

namespace {

uint32_t F(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// A red brush in slot 1, selected, and no pen.
EmfBuilder RedNoPen() { return std::move(EmfBuilder().Brush(1, 0, Red).Select(1).Select(StockNullPen)); }

std::vector<uint8_t> Dib2x2Bits() {
    // Bottom row first: blue, green; then the top row: red, white.
    return {255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0};
}

// The fixed part of a bitmap record followed by its header and bits.
std::vector<uint8_t> WithDib(std::vector<uint32_t> fields, const std::vector<uint8_t>& info,
                             const std::vector<uint8_t>& bits) {
    std::vector<uint8_t> p;
    for (uint32_t v : fields) Put32(p, v);
    p.insert(p.end(), info.begin(), info.end());
    p.insert(p.end(), bits.begin(), bits.end());
    return p;
}

}  // namespace

TEST(EmfRecords, ShapesWithPensBrushesAndStockObjects) {
    TBitmap b = Render(EmfBuilder()
                           .Brush(1, 0, Red)
                           .Select(1)
                           .Box(eRectangle, 10, 10, 50, 50)
                           .Select(StockBlackBrush)
                           .Select(StockNullPen)
                           .Box(eEllipse, 60, 60, 100, 100)
                           .Poly(ePolygon16, {{60, 0}, {100, 0}, {60, 40}})
                           .Bytes());
    EXPECT_EQ(At(b, 30, 30), Red);
    EXPECT_EQ(At(b, 10, 30), Black);  // default pen
    EXPECT_EQ(At(b, 80, 80), Black);
    EXPECT_EQ(At(b, 61, 61), White);
    EXPECT_EQ(At(b, 65, 5), Black);
    EXPECT_EQ(At(b, 95, 35), White);

    TBitmap lines = Render(EmfBuilder()
                               .Pen(1, 0, 0, Blue)
                               .Select(1)
                               .Poly(ePolyline, {{0, 10}, {50, 10}})
                               .Rec(eMoveTo, {0, 20})
                               .Rec(eLineTo, {30, 20})
                               .Bytes());
    EXPECT_EQ(Count(lines, Blue), 50 + 30);

    // Deleting the selected pen's object does not change what is selected.
    TBitmap deleted = Render(EmfBuilder().Pen(1, 0, 0, Blue).Select(1).Rec(eDeleteObject, {1}).Poly(ePolyline, {{0, 10}, {50, 10}}).Bytes());
    EXPECT_EQ(Count(deleted, Blue), 50);
}

TEST(EmfRecords, BeziersPassBetweenTheirControlPoints) {
    TBitmap b = Render(EmfBuilder().Poly(ePolyBezier, {{10, 50}, {10, 10}, {90, 10}, {90, 50}}).Bytes());
    // The middle of this curve is at (50, 20); nothing reaches the control points' line.
    EXPECT_EQ(At(b, 50, 20), Black);
    int above = 0;
    for (int y = 0; y < 19; ++y)
        for (int x = 0; x < 100; ++x) above += At(b, x, y) == Black;
    EXPECT_EQ(above, 0);
    EXPECT_EQ(At(b, 10, 49), Black);
    EXPECT_GT(Count(b, Black), 100);
}

TEST(EmfRecords, GeometricPensAreWideCosmeticOnesAreNot) {
    auto line = [](uint32_t style) {
        return Render(EmfBuilder()
                          .Rec(eExtCreatePen, {1, 0, 0, 0, 0, style, 10, 0, Blue, 0, 0})
                          .Select(1)
                          .Poly(ePolyline16, {{10, 50}, {90, 50}})
                          .Bytes());
    };
    TBitmap geometric = line(0x10000), cosmetic = line(0);
    int rows = 0;
    for (int y = 0; y < 100; ++y) rows += At(geometric, 50, y) == Blue;
    EXPECT_EQ(rows, 10);
    EXPECT_EQ(Count(cosmetic, Blue), 80);
}

TEST(EmfRecords, ShapesInAPathRunOneWay) {
    // A rectangle around an ellipse, filled by winding: both run the same way, so the middle
    // is covered twice and filled; by alternation it is a hole. Turning the arc direction
    // turns both.
    auto ring = [](uint32_t fillMode, uint32_t direction) {
        return Render(RedNoPen()
                          .Rec(eSetPolyFillMode, {fillMode})
                          .Rec(57, {direction})
                          .Rec(eBeginPath, {})
                          .Box(eRectangle, 0, 0, 100, 100)
                          .Box(eEllipse, 20, 20, 80, 80)
                          .Rec(eEndPath, {})
                          .Rec(eFillPath, {0, 0, 0, 0})
                          .Bytes());
    };
    EXPECT_EQ(At(ring(2, 1), 50, 50), Red);
    EXPECT_EQ(At(ring(2, 2), 50, 50), Red);
    EXPECT_EQ(At(ring(1, 1), 50, 50), White);
    EXPECT_EQ(At(ring(2, 1), 5, 5), Red);
}

TEST(EmfRecords, PathsFillStrokeAndClip) {
    auto triangle = [](EmfBuilder& e) -> EmfBuilder& {
        return e.Rec(eBeginPath, {})
            .Rec(eMoveTo, {10, 10})
            .Rec(eLineTo, {90, 10})
            .Rec(eLineTo, {50, 90})
            .Rec(eCloseFigure, {})
            .Rec(eEndPath, {});
    };
    EmfBuilder fill = RedNoPen();
    TBitmap filled = Render(triangle(fill).Rec(eFillPath, {0, 0, 0, 0}).Bytes());
    EXPECT_EQ(At(filled, 50, 40), Red);
    EXPECT_EQ(At(filled, 15, 80), White);
    EXPECT_NEAR(Count(filled, Red), 80 * 80 / 2, 80);

    // Shapes drawn while a path is open only add to it.
    EmfBuilder stroke = EmfBuilder().Pen(1, 0, 0, Blue).Select(1);
    stroke.Rec(eBeginPath, {}).Box(eRectangle, 20, 20, 80, 80).Rec(eEndPath, {});
    TBitmap outline = Render(stroke.Box(eRectangle, 0, 0, 5, 5).Rec(eStrokePath, {0, 0, 0, 0}).Bytes());
    EXPECT_EQ(At(outline, 20, 50), Blue);
    EXPECT_EQ(At(outline, 50, 50), White);
    EXPECT_EQ(At(outline, 2, 2), White);  // the brush of the rectangle outside the path
    EXPECT_EQ(At(outline, 0, 2), Blue);

    EmfBuilder clip = RedNoPen();
    TBitmap clipped = Render(triangle(clip).Rec(eSelectClipPath, {5}).Box(eRectangle, 0, 0, 100, 100).Bytes());
    EXPECT_EQ(Count(clipped, Red), Count(filled, Red));
    EXPECT_EQ(At(clipped, 15, 80), White);
}

TEST(EmfRecords, WorldTransformAndMappingModes) {
    TBitmap world = Render(RedNoPen()
                               .Rec(eSetWorldTransform, {F(2), 0, 0, F(2), F(10), 0})
                               .Box(eRectangle, 0, 0, 20, 20)
                               .Bytes());
    EXPECT_EQ(Count(world, Red), 39 * 39);
    EXPECT_EQ(At(world, 10, 0), Red);
    EXPECT_EQ(At(world, 9, 0), White);

    // Identity, then a translation multiplied in.
    TBitmap modified = Render(RedNoPen()
                                  .Rec(eSetWorldTransform, {F(2), 0, 0, F(2), 0, 0})
                                  .Rec(eModifyWorldTransform, {0, 0, 0, 0, 0, 0, 1})
                                  .Rec(eModifyWorldTransform, {F(1), 0, 0, F(1), F(50), F(50), 3})
                                  .Box(eRectangle, 0, 0, 10, 10)
                                  .Bytes());
    EXPECT_EQ(Count(modified, Red), 9 * 9);
    EXPECT_EQ(At(modified, 55, 55), Red);

    TBitmap aniso = Render(RedNoPen()
                               .Rec(eSetMapMode, {8})
                               .Rec(eSetWindowExt, {1000, 1000})
                               .Rec(eSetViewportExt, {100, 200})
                               .Box(eRectangle, 0, 0, 500, 500)
                               .Bytes());
    EXPECT_EQ(Count(aniso, Red), 49 * 99);

    // Tenths of a millimetre, y up, on a 96-per-inch reference device.
    TBitmap metric = Render(RedNoPen().Rec(eSetMapMode, {2}).Box(eRectangle, 0, 0, 132, -132).Bytes());
    EXPECT_NEAR(Count(metric, Red), 50 * 50, 101);
    EXPECT_EQ(At(metric, 25, 25), Red);

    // A picture whose frame is not at the origin: the frame is what fills it.
    TBitmap framed = Render(EmfBuilder(10, 10)
                                .Frame(2646, 2646, 2646 + 2645, 2646 + 2645)
                                .Bounds(100, 100, 149, 149)
                                .Brush(1, 0, Red)
                                .Select(1)
                                .Select(StockNullPen)
                                .Box(eRectangle, 100, 100, 150, 150)
                                .Bytes());
    EXPECT_EQ(framed.Width(), 100);
    EXPECT_NEAR(Count(framed, Red), 50 * 50, 101);
    EXPECT_EQ(At(framed, 25, 25), Red);
}

TEST(EmfRecords, ArcDirectionAndSavedStates) {
    TBitmap ccw = Render(RedNoPen().Rec(ePie, {0, 0, 100, 100, 100, 50, 50, 0}).Bytes());
    TBitmap cw = Render(RedNoPen().Rec(57, {2}).Rec(ePie, {0, 0, 100, 100, 100, 50, 50, 0}).Bytes());
    EXPECT_EQ(At(ccw, 75, 25), Red);
    EXPECT_EQ(At(ccw, 25, 75), White);
    EXPECT_EQ(At(cw, 75, 25), White);
    EXPECT_EQ(At(cw, 25, 75), Red);

    TBitmap restored = Render(RedNoPen()
                                  .Rec(eSaveDC, {})
                                  .Select(StockBlackBrush)
                                  .Rec(eIntersectClipRect, {0, 0, 10, 10})
                                  .Rec(eSaveDC, {})
                                  .Rec(eRestoreDC, {1})  // back to the first saved state
                                  .Box(eRectangle, 0, 0, 100, 100)
                                  .Bytes());
    EXPECT_EQ(Count(restored, Red), 99 * 99);
}

TEST(EmfRecords, BitmapRecords) {
    const std::vector<uint8_t> info = DibInfo(2, 2);
    // Stretch the whole 2 x 2 bitmap onto the picture.
    TBitmap b = Render(EmfBuilder()
                           .Raw(eStretchDIBits, WithDib({0, 0, 99, 99, 0, 0, 0, 0, 2, 2, 80, 40, 120, 16, 0, 0x00CC0020,
                                                         100, 100},
                                                        info, Dib2x2Bits()))
                           .Bytes());
    EXPECT_EQ(At(b, 25, 25), Red);
    EXPECT_EQ(At(b, 75, 25), White);
    EXPECT_EQ(At(b, 25, 75), Blue);
    EXPECT_EQ(At(b, 75, 75), Green);

    // Set to the device, a bitmap covers its own size in device pixels, whatever the mapping:
    // here a metric one with y pointing up.
    TBitmap toDevice = Render(EmfBuilder()
                                  .Rec(eSetMapMode, {3})
                                  .Raw(eSetDIBitsToDevice,
                                       WithDib({0, 0, 1, 1, 0, 0, 0, 0, 2, 2, 76, 40, 116, 16, 0, 0, 2}, info, Dib2x2Bits()))
                                  .Bytes());
    EXPECT_EQ(At(toDevice, 0, 0), Red);
    EXPECT_EQ(At(toDevice, 0, 1), Blue);
    EXPECT_EQ(At(toDevice, 1, 1), Green);
    EXPECT_EQ(Count(toDevice, White), 100 * 100 - 3);

    // Offsets that point outside the record: the record draws nothing and the drawing stops.
    TBitmap outside = Render(EmfBuilder()
                                 .Raw(eStretchDIBits, WithDib({0, 0, 99, 99, 0, 0, 0, 0, 2, 2, 80, 40, 4000, 16, 0,
                                                               0x00CC0020, 100, 100},
                                                              info, Dib2x2Bits()))
                                 .Brush(1, 0, Red)
                                 .Select(1)
                                 .Box(eRectangle, 0, 0, 10, 10)
                                 .Bytes());
    EXPECT_EQ(Count(outside, White), 100 * 100);

    // A blit without a bitmap paints the brush; alpha blending mixes a constant half.
    const uint32_t patCopy = 0x00F00021;
    TBitmap blit = Render(EmfBuilder()
                              .Brush(1, 0, Green)
                              .Select(1)
                              .Rec(eBitBlt, {0, 0, 0, 0, 10, 10, 20, 20, patCopy, 0, 0, F(1), 0, 0, F(1), 0, 0, 0, 0,
                                             0, 0, 0, 0})
                              .Bytes());
    EXPECT_EQ(Count(blit, Green), 400);
    EXPECT_EQ(At(blit, 15, 15), Green);

    std::vector<uint8_t> black(16, 0);
    TBitmap blend = Render(EmfBuilder()
                               .Raw(eAlphaBlend, WithDib({0, 0, 0, 0, 0, 0, 50, 50, 128u << 16, 0, 0, F(1), 0, 0, F(1),
                                                          0, 0, 0, 0, 108, 40, 148, 16, 2, 2},
                                                         info, black))
                               .Bytes());
    EXPECT_EQ(At(blend, 10, 10), RGBColor(127, 127, 127));
    EXPECT_EQ(At(blend, 60, 60), White);
}

TEST(EmfRecords, ClipRegionsAndGradients) {
    // One rectangle of region data, then a reset.
    const std::vector<uint32_t> region{48, 5, 32, 1, 1, 16, 0, 0, 50, 100, 0, 0, 50, 100};
    EmfBuilder e = RedNoPen();
    std::vector<uint8_t> p;
    for (uint32_t v : region) Put32(p, v);
    TBitmap clipped = Render(e.Raw(eExtSelectClipRgn, p).Box(eRectangle, 0, 0, 100, 100).Bytes());
    EXPECT_EQ(Count(clipped, Red), 50 * 99);
    TBitmap reset = Render(RedNoPen().Raw(eExtSelectClipRgn, p).Rec(eExtSelectClipRgn, {0, 5}).Box(eRectangle, 0, 0, 100, 100).Bytes());
    EXPECT_EQ(Count(reset, Red), 99 * 99);

    // Red on the left to blue on the right.
    TBitmap gradient = Render(EmfBuilder()
                                  .Rec(eGradientFill, {0, 0, 0, 0, 2, 1, 0, 0, 0, 0xFF00, 0, 100, 100, 0, 0xFF00, 0, 1})
                                  .Bytes());
    const TColor left = At(gradient, 0, 50), right = At(gradient, 99, 50), middle = At(gradient, 50, 50);
    EXPECT_GE(GetRValue(left), 250);
    EXPECT_LE(GetBValue(left), 5);
    EXPECT_GE(GetBValue(right), 250);
    EXPECT_NEAR(GetRValue(middle), 127, 3);
    EXPECT_NEAR(GetBValue(middle), 127, 3);
}

TEST(EmfRecords, MalformedRecordsEndTheDrawing) {
    // Each file draws a red square, then a broken record, then a blue square.
    auto check = [](EmfBuilder& e, bool blueExpected) {
        TBitmap b = Render(e.Brush(2, 0, Blue).Select(2).Box(eRectangle, 50, 50, 60, 60).Bytes());
        EXPECT_EQ(Count(b, Red), 9 * 9);
        EXPECT_EQ(Count(b, Blue), blueExpected ? 9 * 9 : 0);
    };
    auto before = [] { return std::move(RedNoPen().Box(eRectangle, 0, 0, 10, 10)); };
    // Record sizes that could never be stepped over or that run past the end: invalid at load.
    for (uint32_t size : {0u, 4u, 1u << 30}) {
        EmfBuilder e = before();
        const std::vector<uint8_t> bytes = e.Sized(eRectangle, size, {20, 20, 30, 30}).Bytes();
        EXPECT_EQ(LoadError(bytes), "Metafile is not valid") << size;
    }
    {
        EmfBuilder e = before();
        check(e.Rec(ePolygon, {0, 0, 0, 0, 0x10000000, 1, 1, 5, 5}), false);  // count beyond the record
    }
    {
        EmfBuilder e = before();
        check(e.Rec(ePolyPolygon, {0, 0, 0, 0, 2, 3, 3, 5, 0, 0, 1, 1, 2, 2}), false);  // parts beyond the total
    }
    {
        EmfBuilder e = before();
        check(e.Rec(eRectangle, {1}), false);  // too short for its fields
    }
    {
        EmfBuilder e = before();
        check(e.Rec(300, {1, 2, 3}).Rec(eSelectObject, {5000}), true);  // unknown and out of range: skipped
    }
    EmfBuilder e = RedNoPen().Rec(eEof, {0, 16, 20}).Box(eRectangle, 0, 0, 10, 10);
    EXPECT_EQ(Count(Render(e.Bytes()), Red), 0);
}

TEST(EmfRecords, AbsurdCoordinatesAndWidthsStayBounded) {
    TBitmap b = Render(EmfBuilder()
                           .Rec(eExtCreatePen, {1, 0, 0, 0, 0, 0x10000, 0x7FFFFFFF, 0, Blue, 0, 0})
                           .Select(1)
                           .Poly(ePolyline, {{-2000000000, -2000000000}, {2000000000, 2000000000}, {5, 2000000000}})
                           .Select(StockBlackPen)
                           .Poly(ePolygon, {{-2000000000, 0}, {2000000000, 5}, {0, 2000000000}})
                           .Rec(eSetWorldTransform, {F(1e30f), 0, 0, F(1e30f), 0, 0})
                           .Box(eEllipse, -1, -1, 1, 1)
                           .Rec(eArc, {0x80000000u, 0x80000000u, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0, 0, 0})
                           .Bytes());
    EXPECT_EQ(b.Width(), 100);

    // Curves and gradients under a huge scale: their point and strip counts stay in range.
    TBitmap scaled = Render(EmfBuilder()
                                .Rec(eSetWorldTransform, {F(1e30f), 0, 0, F(1e30f), 0, 0})
                                .Poly(ePolyBezier, {{0, 0}, {100, 0}, {0, 100}, {100, 100}})
                                .Rec(eGradientFill, {0, 0, 0, 0, 2, 1, 0, 0, 0, 0xFF00, 0, 100, 100, 0, 0xFF00, 0, 1})
                                .Bytes());
    EXPECT_EQ(scaled.Width(), 100);
}

TEST(EmfRecords, WorkOutsideThePictureIsCountedToo) {
    // Thousands of shapes wholly above the picture cost their edges: the drawing is cut
    // short before the last square, instead of running on for seconds.
    EmfBuilder e = RedNoPen();
    e.Brush(3, 0, Blue);
    for (int i = 0; i < 5000; ++i) e.Box(eEllipse, -30000, -30000, 30000, -20000);
    TBitmap b = Render(e.Select(3).Box(eRectangle, 10, 10, 20, 20).Bytes());
    EXPECT_EQ(Count(b, Blue), 0);

    // A path keeps at most its share of points, however many figures a file adds to it.
    EmfBuilder path = RedNoPen();
    path.Rec(eBeginPath, {});
    for (int i = 0; i < 3000; ++i) path.Box(eEllipse, 0, 0, 30000, 30000);
    TBitmap p = Render(path.Rec(eEndPath, {}).Rec(eFillPath, {0, 0, 0, 0}).Bytes());
    EXPECT_EQ(p.Width(), 100);
}

TEST(MetaRaster, StopsPaintingOnceItsWorkIsSpent) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(100, 100);
    TMetaRaster raster(b, TRect{0, 0, 100, 100}, 25000);
    TMetaPaint paint;
    paint.Color = Red;
    const std::vector<TPolygonF> square{{{0, 0}, {100, 0}, {100, 100}, {0, 100}}};
    raster.FillPolygons(square, false, paint);
    EXPECT_FALSE(raster.Exhausted());
    paint.Color = Blue;
    for (int i = 0; i < 10 && !raster.Exhausted(); ++i) raster.FillPolygons(square, false, paint);
    EXPECT_TRUE(raster.Exhausted());
    paint.Color = Green;
    raster.FillPolygons(square, false, paint);
    raster.StrokePolyline({{0, 50}, {100, 50}}, false, 1, paint);
    EXPECT_EQ(Count(b, Green), 0);
}

TEST(MetaRaster, RegionsStayDisjointAndBounded) {
    TMetaRegion r(TRect{0, 0, 100, 100});
    r.Subtract(TRect{20, 20, 40, 40});
    r.Subtract(TRect{30, 30, 60, 60});
    TMetaRegion other(TRect{50, 50, 120, 120});
    r.Unite(other);
    r.Xor(TMetaRegion(TRect{0, 0, 10, 10}));
    int64_t area = 0;
    for (const TRect& a : r.Rects()) area += int64_t{a.Width()} * a.Height();
    // 100*100 minus the two overlapping holes (400 + 900 - 100), plus what the square adds
    // (70*70 less the 2400 it shares), minus the xor'ed corner.
    EXPECT_EQ(area, 10000 - 1200 + 2500 - 100);
    for (int y = -1; y < 121; ++y)
        for (int x = -1; x < 121; ++x) {
            int hits = 0;
            for (const TRect& a : r.Rects()) hits += x >= a.Left && x < a.Right && y >= a.Top && y < a.Bottom;
            ASSERT_LE(hits, 1) << x << "," << y;
        }
    // Too many pieces: the region becomes its bounding box rather than growing without end.
    TMetaRegion comb(TRect{0, 0, 100000, 10});
    for (int x = 0; x < 100000; x += 10) comb.Subtract(TRect{x, 0, x + 5, 10});
    EXPECT_LE(comb.Rects().size(), TMetaRegion::MaxRects);

    // Intersecting two combs of more pieces than a region keeps clips less, never more: the
    // result still covers the far end of the true overlap.
    TMetaRegion rows, columns;
    for (int i = 0; i < 100; ++i) {
        rows.Add(TRect{0, 2 * i, 200, 2 * i + 1});
        columns.Add(TRect{2 * i, 0, 2 * i + 1, i == 99 ? 200 : 100});  // only the last reaches down
    }
    rows.Intersect(columns);  // 5,050 pieces in truth, the lowest in the last column
    EXPECT_LE(rows.Rects().size(), TMetaRegion::MaxRects);
    const TRect b = rows.Bounds();
    EXPECT_EQ(b.Right, 199);
    EXPECT_EQ(b.Bottom, 199);
}

TEST(EmfRecords, DashedPensRepeatTheirPatternAlongTheLine) {
    // Runs of ink and gaps along a line over row 50 with a corner at x = 50, which the pattern
    // runs through. Thin pens count pixels; wider ones count in pen widths, user styles in
    // logical units.
    auto ext = [](uint32_t style, uint32_t width, std::vector<uint32_t> entries = {}) {
        std::vector<uint8_t> p;
        for (uint32_t v : {1u, 0u, 0u, 0u, 0u, style, width, 0u, Blue, 0u, uint32_t(entries.size())}) Put32(p, v);
        for (uint32_t v : entries) Put32(p, v);
        return std::move(EmfBuilder().Raw(eExtCreatePen, p));
    };
    constexpr uint32_t Geometric = 0x10000, FlatEnds = 0x200;
    const struct {
        const char* Name;
        EmfBuilder Pen;
        std::vector<int> Runs;
    } cases[] = {
        {"dash", std::move(EmfBuilder().Pen(1, 1, 1, Blue)), {18, 6, 18, 6, 18}},
        {"dot", std::move(EmfBuilder().Pen(1, 2, 0, Blue)), {3, 3, 3, 3}},
        {"dash-dot", std::move(EmfBuilder().Pen(1, 3, 1, Blue)), {9, 6, 3, 6, 9, 6, 3}},
        {"dash-dot-dot", std::move(EmfBuilder().Pen(1, 4, 1, Blue)), {9, 3, 3, 3, 3, 3, 9}},
        {"alternate", ext(8, 1), {1, 1, 1, 1}},
        {"cosmetic user style", ext(7, 1, {4, 2}), {4, 2, 4, 2}},
        {"geometric dash, width 5", ext(Geometric | FlatEnds | 1, 5), {15, 5, 15, 5, 15}},
        {"plain dash, width 5", std::move(EmfBuilder().Pen(1, 1, 5, Blue)), {15, 5, 15, 5, 15}},
        {"geometric user style, width 3", ext(Geometric | FlatEnds | 7, 3, {4, 2}), {4, 2, 4, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EmfBuilder e = c.Pen;
        const TBitmap b = Render(e.Select(1).Poly(ePolyline16, {{0, 50}, {50, 50}, {99, 50}}).Bytes());
        std::vector<int> runs;
        bool ink = true;
        for (int x = 0, length = 0; x < 100 && runs.size() < c.Runs.size(); ++x) {
            if ((At(b, x, 50) == Blue) == ink) {
                ++length;
                continue;
            }
            runs.push_back(length);
            ink = !ink, length = 1;
        }
        EXPECT_EQ(runs, c.Runs);
    }
}

TEST(EmfRecords, TriangleGradientsRegionFramesAndMaskedBlits) {
    // Red, green and blue corners: each corner keeps its colour, the middle mixes all three.
    const TBitmap shaded = Render(EmfBuilder()
                                      .Rec(eGradientFill, {0, 0, 0, 0, 3, 1, 2, 0, 0, 0xFF00, 0, 99, 0, 0xFF000000u, 0,
                                                           0, 99, 0, 0xFF00, 0, 1, 2})
                                      .Bytes());
    EXPECT_GE(GetRValue(At(shaded, 1, 1)), 245);
    EXPECT_GE(GetGValue(At(shaded, 96, 1)), 240);
    EXPECT_GE(GetBValue(At(shaded, 1, 96)), 240);
    EXPECT_EQ(At(shaded, 90, 90), White);
    const TColor middle = At(shaded, 33, 33);
    for (uint8_t v : {GetRValue(middle), GetGValue(middle), GetBValue(middle)}) EXPECT_NEAR(v, 85, 6);

    // A frame 3 pixels wide inside the region's edge.
    const TBitmap framed = Render(EmfBuilder()
                                      .Brush(2, 0, Blue)
                                      .Rec(eFrameRgn, {0, 0, 0, 0, 48, 2, 3, 3, 32, 1, 1, 16, 10, 10, 60, 60, 10, 10, 60, 60})
                                      .Bytes());
    EXPECT_EQ(Count(framed, Blue), 50 * 50 - 44 * 44);
    EXPECT_EQ(At(framed, 12, 30), Blue);
    EXPECT_EQ(At(framed, 13, 30), White);

    // A red 2 x 2 bitmap through a mask whose top left pixel is black: there the background
    // operation keeps the destination. Scaled 25 times by the world transform.
    const std::vector<uint8_t> red{0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0};
    std::vector<uint8_t> mask = DibInfo(2, 2, 1, 2);
    for (uint8_t v : {0, 0, 0, 0, 255, 255, 255, 0, 0xC0, 0, 0, 0, 0x40, 0, 0, 0}) mask.push_back(v);
    std::vector<uint8_t> data = DibInfo(2, 2);
    data.insert(data.end(), red.begin(), red.end());
    data.insert(data.end(), mask.begin(), mask.end());
    const TBitmap masked = Render(EmfBuilder()
                                      .Rec(eSetWorldTransform, {F(25), 0, 0, F(25), 0, 0})
                                      .Raw(eMaskBlt, WithDib({0, 0, 0, 0, 0, 0, 2, 2, 0xAACC0020, 0, 0, F(1), 0, 0, F(1),
                                                              0, 0, 0, 0, 128, 40, 168, 16, 0, 0, 0, 184, 48, 232, 8},
                                                             data, {}))
                                      .Bytes());
    EXPECT_EQ(Count(masked, Red), 3 * 25 * 25);
    EXPECT_EQ(At(masked, 10, 10), White);

    // The same bitmap onto a parallelogram leaning right: 50 wide, 30 high.
    const TBitmap leaning = Render(EmfBuilder()
                                       .Raw(ePlgBlt, WithDib({0, 0, 0, 0, 10, 10, 60, 10, 30, 40, 0, 0, 2, 2, F(1), 0, 0,
                                                              F(1), 0, 0, 0, 0, 140, 40, 180, 16, 0, 0, 0, 0, 0, 0, 0},
                                                             DibInfo(2, 2), red))
                                       .Bytes());
    EXPECT_NEAR(Count(leaning, Red), 50 * 30, 40);
    EXPECT_EQ(At(leaning, 12, 38), White);
    EXPECT_EQ(At(leaning, 35, 38), Red);
}

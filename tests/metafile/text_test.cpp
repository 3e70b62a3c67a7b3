// Text records drawn into bitmaps. The checks look at where the ink falls (its box, the gaps
// between characters, the background), never at the shape of a glyph, so that any version of
// the installed fonts passes. Fonts are 20 pixels to the em unless a test says otherwise.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <thread>

#include "metafile/metafile_canvas.h"
#include "metafile/metafile_players.h"
#include "metafile_builder.h"

using namespace mftest;

namespace {

// The box around the pixels that pass `is` (by default, every pixel that is not white);
// Right and Bottom are exclusive.
struct Box {
    int Left = INT_MAX, Top = INT_MAX, Right = INT_MIN, Bottom = INT_MIN;
    bool Empty() const { return Left > Right; }
    double CentreX() const { return (Left + Right) / 2.0; }
};
Box Ink(const TBitmap& b, const std::function<bool(TColor)>& is = [](TColor c) { return c != White; }) {
    Box box;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            if (is(At(b, x, y))) {
                box.Left = std::min(box.Left, x), box.Right = std::max(box.Right, x + 1);
                box.Top = std::min(box.Top, y), box.Bottom = std::max(box.Bottom, y + 1);
            }
    return box;
}

// Left edges of the runs of ink along a row.
std::vector<int> RunStarts(const TBitmap& b, int y) {
    std::vector<int> starts;
    for (int x = 0; x < b.Width(); ++x)
        if (At(b, x, y) != White && (x == 0 || At(b, x - 1, y) == White)) starts.push_back(x);
    return starts;
}

bool HaveFonts() { return SystemFontSource().Find("", false, false) != nullptr; }
#define REQUIRE_FONTS() \
    if (!HaveFonts()) GTEST_SKIP() << "no fonts installed"

// An EMF with an Arial font of `height`, selected, and the text alignment given.
EmfBuilder EmfText(int width, int height, uint32_t align, int32_t fontHeight = -20, int32_t escapement = 0) {
    EmfBuilder e(width, height);
    e.Font(1, fontHeight, "Arial", escapement).Select(1).Rec(eSetTextAlign, {align});
    return e;
}

constexpr uint32_t Baseline = 24, Bottom = 8, Right = 2, Centre = 6, UpdateCp = 1;
constexpr uint32_t EtoOpaqueFlag = 2, EtoClippedFlag = 4;

}  // namespace

TEST(TextRecords, EveryKindDrawsAtItsReferencePointWithItsAdvances) {
    REQUIRE_FONTS();
    // "III" at (20, 60) on its baseline, characters 30 units apart where the record says so.
    auto small = [] {
        EmfBuilder e = EmfText(200, 100, Baseline);
        std::vector<uint8_t> p;
        for (uint32_t v : {20u, 60u, 3u, 0x100u, 1u, 0u, 0u}) Put32(p, v);
        for (char c : std::string("III")) Put16(p, static_cast<uint8_t>(c));
        return e.Raw(eSmallTextOut, p).Bytes();
    };
    auto wmf = [](bool ext) {
        WmfBuilder w(200, 100);
        w.Font(-20, "Arial").Select(0).Rec(wSetTextAlign, {Baseline});
        return w.Text(20, 60, "III", ext, 0, {}, ext ? std::vector<int>{30, 30, 30} : std::vector<int>{}).Bytes();
    };
    const std::vector<int32_t> dx{30, 30, 30}, noRect{0, 0, -1, -1};
    const struct {
        const char* Name;
        std::vector<uint8_t> Bytes;
        bool Spaced;
    } cases[] = {
        {"EXTTEXTOUTW", EmfText(200, 100, Baseline).Text(eExtTextOutW, 20, 60, "III", 0, noRect, dx).Bytes(), true},
        {"EXTTEXTOUTA", EmfText(200, 100, Baseline).Text(eExtTextOutA, 20, 60, "III", 0, noRect, dx).Bytes(), true},
        {"POLYTEXTOUTW", EmfText(200, 100, Baseline).Text(ePolyTextOutW, 20, 60, "III", 0, noRect, dx).Bytes(), true},
        {"SMALLTEXTOUT", small(), false},
        {"TEXTOUT", wmf(false), false},
        {"WMF EXTTEXTOUT", wmf(true), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TBitmap b = Render(c.Bytes);
        const Box ink = Ink(b);
        ASSERT_FALSE(ink.Empty());
        EXPECT_GE(ink.Left, 20);
        EXPECT_LE(ink.Left, 24);
        EXPECT_GE(ink.Bottom, 59);
        EXPECT_LE(ink.Bottom, 61);
        EXPECT_LE(ink.Top, 50);
        const std::vector<int> starts = RunStarts(b, 55);
        ASSERT_EQ(starts.size(), 3u);
        if (c.Spaced) {
            EXPECT_EQ(starts[1] - starts[0], 30);
            EXPECT_EQ(starts[2] - starts[1], 30);
        }
    }
}

TEST(TextRecords, AlignmentPlacesTheInkAroundTheReferencePoint) {
    REQUIRE_FONTS();
    // "HH" has no descender: on the baseline its ink ends there; at the bottom it stands a
    // descent above; at the top it hangs below the cell's top.
    for (uint32_t h : {0u, Right, Centre})
        for (uint32_t v : {0u, Baseline, Bottom}) {
            SCOPED_TRACE(testing::Message() << "horizontal " << h << ", vertical " << v);
            const Box ink = Ink(Render(EmfText(200, 120, h | v).Text(eExtTextOutW, 100, 60, "HH").Bytes()));
            ASSERT_FALSE(ink.Empty());
            const bool across = h == 0        ? ink.Left >= 100 && ink.Left <= 103
                                : h == Right ? ink.Right >= 97 && ink.Right <= 100
                                             : std::abs(ink.CentreX() - 100) <= 2;
            const bool upright = v == 0          ? ink.Top >= 60 && ink.Top <= 66
                                 : v == Baseline ? ink.Bottom >= 59 && ink.Bottom <= 61 && ink.Top < 50
                                                 : ink.Bottom >= 53 && ink.Bottom <= 58;
            EXPECT_TRUE(across && upright) << ink.Left << "," << ink.Top << " - " << ink.Right << "," << ink.Bottom;
        }
}

TEST(TextRecords, EscapementAndWorldTransformTurnTheString) {
    REQUIRE_FONTS();
    auto turned = [](int32_t escapement, bool world) {
        EmfBuilder e = EmfText(200, 200, Baseline, -20, escapement);
        // Logical x runs up the picture: (x, y) lands on (y, 200 - x).
        if (world) e.Rec(eSetWorldTransform, {0, 0xBF800000u, 0x3F800000u, 0, 0, 0x43480000u});
        return Ink(Render(e.Text(eExtTextOutW, 100, 100, "HHHH").Bytes()));
    };
    for (const Box& up : {turned(900, false), turned(0, true)}) {
        // Reading upwards from the reference point, the letters' tops to the left.
        EXPECT_TRUE(up.Bottom <= 101 && up.Bottom >= 90) << up.Bottom;
        EXPECT_LT(up.Top, 60);
        EXPECT_TRUE(up.Right <= 101 && up.Right >= 95) << up.Right;
        EXPECT_GT(up.Bottom - up.Top, 2 * (up.Right - up.Left));
    }
    const Box down = turned(2700, false);
    EXPECT_TRUE(down.Top >= 99 && down.Top <= 110) << down.Top;
    EXPECT_GT(down.Bottom, 140);
    EXPECT_TRUE(down.Left >= 99 && down.Left <= 105) << down.Left;
}

TEST(TextRecords, BackgroundOpaqueRectangleAndClipping) {
    REQUIRE_FONTS();
    auto green = [](TColor c) { return c == Green; };
    auto ink = [](TColor c) { return c != White && c != Green; };
    // An opaque background fills the string's cell, a little taller than the em.
    const TBitmap cell = Render(EmfText(200, 100, Baseline)
                                    .Rec(eSetBkMode, {2})
                                    .Rec(eSetBkColor, {Green})
                                    .Text(eExtTextOutW, 20, 60, "HH")
                                    .Bytes());
    const Box bk = Ink(cell, green), text = Ink(cell, ink);
    EXPECT_TRUE(bk.Left == 20 && bk.Top <= text.Top && bk.Bottom >= text.Bottom && bk.Right >= text.Right);
    EXPECT_TRUE(bk.Bottom - bk.Top >= 20 && bk.Bottom - bk.Top <= 26) << bk.Bottom - bk.Top;

    // The opaque rectangle fills even without a string (as pages clear their background).
    const TBitmap rect = Render(EmfText(100, 100, 0)
                                    .Rec(eSetBkColor, {Green})
                                    .Text(eExtTextOutW, 0, 0, "", EtoOpaqueFlag, {10, 10, 60, 40})
                                    .Bytes());
    EXPECT_EQ(Count(rect, Green), 50 * 30);

    // Clipped to its rectangle, then to the clip region.
    const TBitmap clipped = Render(EmfText(200, 100, Baseline)
                                       .Rec(eSetBkColor, {Green})
                                       .Text(eExtTextOutW, 20, 60, "HHHH", EtoOpaqueFlag | EtoClippedFlag, {25, 30, 45, 70})
                                       .Rec(eIntersectClipRect, {0, 0, 80, 100})
                                       .Text(eExtTextOutW, 60, 95, "HHHH")
                                       .Bytes());
    int inRect = 0, second = 0, beyond = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) {
            const TColor c = At(clipped, x, y);
            if (c == White || c == Green) continue;
            if (y < 71) (x >= 25 && x < 45 && y >= 30 ? inRect : beyond) += 1;
            else (x >= 60 && x < 80 ? second : beyond) += 1;
        }
    EXPECT_GT(inRect, 0);
    EXPECT_GT(second, 0);
    EXPECT_EQ(beyond, 0);
}

TEST(TextRecords, CurrentPositionUnderlineAndStrikeOut) {
    REQUIRE_FONTS();
    // Two strings drawn from the current position end where one of both would.
    const Box joined = Ink(Render(EmfText(200, 100, Baseline | UpdateCp)
                                      .Rec(eMoveTo, {20, 60})
                                      .Text(eExtTextOutW, 0, 0, "HH")
                                      .Text(eExtTextOutW, 0, 0, "HH")
                                      .Bytes()));
    const Box whole = Ink(Render(EmfText(200, 100, Baseline).Text(eExtTextOutW, 20, 60, "HHHH").Bytes()));
    EXPECT_EQ(joined.Left, whole.Left);
    EXPECT_NEAR(joined.Right, whole.Right, 1);

    // The lines run across the gap between the characters: below the baseline, and through
    // the middle.
    auto gapInked = [](uint8_t underline, uint8_t strikeOut, int y) {
        EmfBuilder e(200, 100);
        e.Font(1, -20, "Arial", 0, underline, strikeOut).Select(1).Rec(eSetTextAlign, {Baseline});
        const TBitmap b = Render(e.Text(eExtTextOutW, 20, 60, "I I", 0, {0, 0, -1, -1}, {20, 20, 20}).Bytes());
        return At(b, 30, y) != White;
    };
    EXPECT_FALSE(gapInked(0, 0, 62) || gapInked(0, 0, 55));
    bool below = false, middle = false;
    for (int y = 60; y < 66; ++y) below = below || gapInked(1, 0, y);
    for (int y = 50; y < 58; ++y) middle = middle || gapInked(0, 1, y);
    EXPECT_TRUE(below);
    EXPECT_TRUE(middle);
}

TEST(TextRecords, HostileStringsStayBounded) {
    REQUIRE_FONTS();
    // A font of a million pixels, a width and escapement of any size, glyph indices of a
    // face that is not installed, advances at the ends of the integer range.
    const std::vector<int32_t> noRect{0, 0, -1, -1};
    TBitmap huge = Render(EmfText(100, 100, Centre | Baseline, -1000000).Text(eExtTextOutW, 50, 50, "I").Bytes());
    EXPECT_LE(Count(huge, White), 100 * 50);
    for (int32_t height : {INT_MIN, INT_MAX, 1})
        EXPECT_EQ(Render(EmfText(100, 100, Centre, height, INT_MAX).Text(eExtTextOutW, 50, 50, "WW").Bytes()).Width(),
                  100);
    EXPECT_EQ(Render(EmfText(100, 100, Right)
                         .Text(eExtTextOutW, 50, 50, "ab", 0x10 | 0x2000, noRect, {INT_MIN, INT_MAX, INT_MAX, INT_MIN})
                         .Bytes())
                  .Width(),
              100);

    // Characters count against the drawing's work even where they fall outside the picture:
    // after a million of them, far off and turned, the rectangle that follows is not drawn.
    EmfBuilder e = EmfText(100, 100, 0, -20, 450);
    e.Text(eExtTextOutA, -100000, -100000, std::string(1000000, 'A'));
    const TBitmap spent = Render(e.Brush(2, 0, Red).Select(2).Box(eRectangle, 0, 0, 50, 50).Bytes());
    EXPECT_EQ(Count(spent, Red), 0);
}

TEST(TextRecords, WithoutAnyFontOnlyTheRectanglesFill) {
    struct NoFonts : TMetaFontSource {
        std::shared_ptr<const TFontFile> Find(const std::string&, bool, bool) override { return nullptr; }
    } none;
    const std::vector<uint8_t> bytes = EmfText(100, 100, 0)
                                           .Rec(eSetBkColor, {Green})
                                           .Rec(eSetBkMode, {2})
                                           .Text(eExtTextOutW, 10, 10, "HH", EtoOpaqueFlag, {0, 0, 20, 20})
                                           .Text(eExtTextOutW, 50, 50, "HH")
                                           .Brush(2, 0, Red)
                                           .Select(2)
                                           .Box(eRectangle, 60, 60, 71, 71)
                                           .Bytes();
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(100, 100);
    b.Fill(White);
    TMetaRaster raster(b, TRect{0, 0, 100, 100}, int64_t{1} << 24);
    TMetaCanvas canvas(raster, TAffine{}, 96 / 25.4, 96 / 25.4, none);
    PlayEmf(bytes.data(), bytes.size(), 16, canvas);
    // The opaque rectangle and the shape after the strings; no ink besides.
    EXPECT_EQ(Count(b, Green), 20 * 20);
    EXPECT_EQ(Count(b, Red), 9 * 9);
    EXPECT_EQ(Count(b, White), 100 * 100 - 400 - 81 - 40);
}

TEST(TextRecords, DrawingsOnSeveralThreadsAtOnceShareOnlyTheFontCache) {
    REQUIRE_FONTS();
    EmfBuilder e = EmfText(200, 100, Baseline);
    for (const char* face : {"Times New Roman", "Courier New", "Symbol", "No Such Face"})
        e.Font(2, -16, face).Select(2).Text(eExtTextOutW, 10, 90, "Sample text");
    const std::vector<uint8_t> bytes = e.Text(eExtTextOutW, 20, 40, "Sample text").Bytes();
    const TBitmap alone = Render(bytes);
    std::vector<TBitmap> drawn(4);
    std::vector<std::thread> threads;
    for (TBitmap& b : drawn) threads.emplace_back([&] { b = Render(bytes); });
    for (std::thread& t : threads) t.join();
    for (const TBitmap& b : drawn)
        for (int y = 0; y < 100; ++y) ASSERT_EQ(std::memcmp(b.ScanLine(y), alone.ScanLine(y), 200 * 3), 0) << y;
}

// The metafiles of the corpus: each loads at its stated size and draws its shapes in place and
// in their colours. There are no reference pictures for metafiles, so a few landmarks per file,
// checked by eye against the drawings, stand in for them.
#include <gtest/gtest.h>

#include <filesystem>

#include "exceptions.h"
#include "metafile_builder.h"
#include "test_support.h"

using namespace mftest;
namespace fs = std::filesystem;

namespace {

struct Landmark {
    int X, Y;
    TColor Color;
};

struct CorpusCase {
    const char* Path;
    int Width, Height;
    std::vector<Landmark> Landmarks;
};

TBitmap DrawFile(const fs::path& path, TMetafile& m) {
    m.LoadFromFile(path.string());
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(m.Width(), m.Height());
    b.Fill(White);
    m.Draw(b, 0, 0);
    return b;
}

}  // namespace

TEST(MetafileCorpus, DrawsAtTheStatedSizeWithShapesInPlace) {
    REQUIRE_CORPUS();
    const fs::path dir = testsupport::CorpusDir() / "public";
    const CorpusCase cases[] = {
        // Placeable: 3096 x 3124 units at 606 per inch; a dark red case around a cream dial.
        {"wmf/clock.wmf", 490, 495, {{245, 40, RGBColor(0x7A, 0, 0)}, {300, 200, RGBColor(0xFF, 0xFF, 0x9E)}, {5, 5, White}}},
        {"wmf/wizard.wmf", 490, 642, {{250, 500, RGBColor(0x99, 0x33, 0xCC)}, {200, 400, RGBColor(0x99, 0x66, 0x33)}, {5, 5, White}}},
        // A red disc with a thick black rim, partly beyond the bounding box.
        {"wmf/drawing.wmf", 110, 110, {{55, 55, Red}, {100, 100, Red}, {5, 5, White}, {20, 80, White}}},
        // Frame 29700 x 21000 hundredths of a millimetre; a pale yellow page with blue shapes.
        {"emf/test_libuemf_ref.emf", 1123, 794, {{5, 700, RGBColor(0xFF, 0xFF, 0xAD)}, {560, 300, RGBColor(0x3F, 0x7F, 0xFF)}}},
        {"emf/test-040.emf", 1123, 794, {{5, 700, RGBColor(0xFF, 0xFF, 0xAD)}, {560, 300, RGBColor(0x3F, 0x7F, 0xFF)}}},
        // A box plot: black box edge, white inside.
        {"emf/test-014.emf", 554, 663, {{74, 300, Black}, {300, 400, White}}},
        {"emf/test-005.emf", 623, 467, {}},
        {"emf/test-174.emf", 914, 657, {}},
        {"emf/EA-test-file-003.emf", 382, 529, {}},
    };
    for (const CorpusCase& c : cases) {
        SCOPED_TRACE(c.Path);
        TMetafile m;
        TBitmap b = DrawFile(dir / c.Path, m);
        EXPECT_EQ(m.Width(), c.Width);
        EXPECT_EQ(m.Height(), c.Height);
        for (const Landmark& l : c.Landmarks) EXPECT_EQ(At(b, l.X, l.Y), l.Color) << l.X << "," << l.Y;
        // Something is drawn, and not merely a fill of everything.
        const int white = Count(b, White);
        EXPECT_LT(white, b.Width() * b.Height());
        EXPECT_GT(Count(b, At(b, 0, b.Height() / 2)), 0);
    }
}

TEST(MetafileCorpus, EveryMetafileLoadsOrIsRefusedAndDrawsWithoutFault) {
    REQUIRE_CORPUS();
    int loaded = 0, refused = 0;
    for (const char* sub : {"public/wmf", "public/emf"}) {
        const fs::path dir = testsupport::CorpusDir() / sub;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            SCOPED_TRACE(name);
            const bool corrupt = name.rfind("bad_", 0) == 0;
            try {
                TMetafile m;
                TBitmap b = DrawFile(entry.path(), m);
                EXPECT_GT(m.Width(), 0);
                ++loaded;
                if (!corrupt) {
                    EXPECT_LT(Count(b, White), b.Width() * b.Height()) << "nothing drawn";
                }
            } catch (const EInvalidGraphic& e) {
                EXPECT_TRUE(corrupt) << e.what();
                EXPECT_STREQ(e.what(), "Metafile is not valid");
                ++refused;
            }
        }
    }
    EXPECT_GE(loaded, 20);
    EXPECT_GE(refused, 2);  // one header claims more bytes than the file has, one is no metafile
}

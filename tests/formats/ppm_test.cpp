#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file_builder.h"
#include "formats/ppm.h"
#include "streams.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testfiles::LoadError;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every pixel as the bitmap shows it: "rrggbb" for each, rows separated by "/".
std::string Shown(const TBitmap& b) {
    std::string s;
    char hex[8];
    for (int y = 0; y < b.Height(); ++y) {
        if (y) s += "/";
        for (int x = 0; x < b.Width(); ++x) {
            const TRGBQuad c = b.GetPixel(x, y);
            std::snprintf(hex, sizeof hex, "%02x%02x%02x", c.Red, c.Green, c.Blue);
            s += hex;
        }
    }
    return s;
}

}  // namespace

TEST(PortableMaps, VariantsHeadersAndSamples) {
    struct Case {
        const char* What;
        Bytes File;
        std::string Pixels;
    } cases[] = {
        {"P1: 1 is black", Text("P1\n3 1\n1 0 1\n"), "000000ffffff000000"},
        {"P1: digits without separators", Text("P1\n4 1\n0110"), "ffffff000000000000ffffff"},
        {"P2: a maximum of 15 keeps its values", Text("P2\n3 1\n15\n0 7 15\n"), "0000000707070f0f0f"},
        {"P2: text values above a maximum of 255 are scaled", Text("P2\n3 1\n1000\n500 1000 70000\n"),
         "7f7f7fffffffffffff"},
        {"P2: below it only the low 8 bits count", Text("P2\n1 1\n255\n300\n"), "2c2c2c"},
        {"P3: two comment lines before the width", Text("P3\n# one\n# two\n1 1 255 1 2 3\n"), "010203"},
        {"P3: the last value may end the file", Text("P3\n1 1\n255\n1 2 3"), "010203"},
        {"P3: header numbers on the magic's line", Text("P3 1 1 255 9 8 7\n"), "090807"},
        {"P4: most significant bit first", Join(Text("P4\n10 1\n"), {0x80, 0x40}),
         "000000" + std::string(8 * 6, 'f') + "000000"},
        {"P5: raw bytes", Join(Text("P5\n2 1\n255\n"), {9, 250}), "090909fafafa"},
        {"P5: two bytes a sample above 255", Join(Text("P5\n2 1\n65535\n"), {0x12, 0x34, 0xFF, 0xFF}), "121212ffffff"},
        {"P6: carriage return and line feed after the magic", Join(Text("P6\r\n1 1\r\n255\n"), {1, 2, 3}), "010203"},
        {"P6: two bytes a sample, scaled", Join(Text("P6 1 1 1000\n"), {0x01, 0xF4, 0x03, 0xE8, 0, 4}), "7fff01"},
        {"P7: no image, no error", Text("P7\n1 1\n255\n"), ""},
        {"P6: no rows, however wide", Text("P6 2000000000 0 65535\n"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TPPMGraphic g;
        testfiles::LoadInto(g, c.File);
        EXPECT_EQ(Shown(g), c.Pixels);
    }
}

TEST(PortableMaps, RowsInTheBitmap) {
    // Pixels 9 and 10 of a 10-pixel row fill the top two bits of its second byte.
    TPPMGraphic g;
    testfiles::LoadInto(g, Text("P1\n10 1\n0 0 0 0 0 0 0 1 1 1\n"));
    EXPECT_EQ(g.PixelFormat(), pf1bit);
    EXPECT_EQ(g.ScanLine(0)[0], 0x01);
    EXPECT_EQ(g.ScanLine(0)[1], 0xC0);

    // Long rows swap red and blue many pixels at a time, then pixel by pixel at the end.
    Bytes wide = Text("P6\n37 1\n255\n");
    for (int i = 0; i < 37 * 3; ++i) wide.push_back(static_cast<uint8_t>(i));
    testfiles::LoadInto(g, wide);
    for (int x = 0; x < 37; ++x)
        ASSERT_EQ(g.GetPixel(x, 0), (TRGBQuad{uint8_t(3 * x + 2), uint8_t(3 * x + 1), uint8_t(3 * x), 255})) << x;
}

TEST(PortableMaps, BadAndShortData) {
    const std::string readError = "Stream read error in PPM file.";
    struct Case {
        const char* What;
        Bytes File;
        std::string Message;
    } cases[] = {
        {"no magic", Text("X6\n1 1\n255\n"), "Cannot load image. Invalid or unexpected PBM, PGM or PPM image format."},
        {"no digit after P", Text("PA\n1 1\n"), "'A' is not a valid integer value"},
        {"nothing after P", Text("P\n1 1\n"), "'' is not a valid integer value"},
        {"header ends", Text("P2\n1 3\n"), readError},
        // The buffer is larger than the file: stale bytes must never stand in for pixels.
        {"raw data end a byte early", Join(Text("P5\n4 4\n255\n"), Bytes(15, 7)), readError},
        {"two-byte samples end early", Join(Text("P6\n1 1\n256\n"), Bytes(5, 7)), readError},
        {"text values end early", Text("P2\n2 2\n255\n1 2 3\n"), readError},
        {"a claim no data can fill", Text("P6\n30000 30000\n255\n\1\2\3"), readError},
        {"a sum beyond 32 bits", Text("P4\n99999999999 99999999999\n"), readError},
        {"empty", Bytes(), readError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        EXPECT_EQ(LoadError<TPPMGraphic>(c.File), c.Message);
    }
}

// The registry has no "pnm" extension; the file's content is a pixel map all the same.
TEST(PortableMaps, UnregisteredExtensionMatchesItsReference) {
    REQUIRE_CORPUS();
    const auto path = testsupport::CorpusDir() / "public" / "pnm" / "hopper.pnm";
    TPPMGraphic g;
    g.LoadFromFile(path.string());
    const testsupport::Comparison c =
        testsupport::Compare(testsupport::ReadPng(path.string() + ".ref.png"), testsupport::ToRgba(g), false);
    EXPECT_TRUE(c.Exact()) << c.Describe();
}

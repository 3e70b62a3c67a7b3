#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exceptions.h"
#include "file_builder.h"
#include "formats/cut.h"
#include "streams.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A cut file: width, height, reserved, then each row's packets behind a 2-byte count.
Bytes Cut(uint16_t width, uint16_t height, const std::vector<Bytes>& rows) {
    testfiles::Bytes b;
    b.U16(width).U16(height).U16(0);
    for (const Bytes& row : rows) b.U16(static_cast<uint32_t>(row.size())).Raw(row);
    return b.Data;
}

// A palette file declaring count entries, entry i holding (i, 255 - i, i ^ 0x55) in its low
// bytes and 0xEE in its high ones, laid out in 512-byte blocks as the format places them.
Bytes PaletteFile(int declared, int written, size_t blocks) {
    Bytes file(blocks * 512, 0);
    file[12] = static_cast<uint8_t>(declared - 1);
    file[13] = static_cast<uint8_t>((declared - 1) >> 8);
    size_t at = 40;
    for (int i = 0; i < written; ++i, at += 6) {
        if (at % 512 > 506) at += 512 - at % 512;
        if (at + 6 > file.size()) break;
        const uint8_t v[3] = {uint8_t(i), uint8_t(255 - i), uint8_t(i ^ 0x55)};
        for (int k = 0; k < 3; ++k) {
            file[at + 2 * k] = v[k];
            file[at + 2 * k + 1] = 0xEE;
        }
    }
    return file;
}

std::string Row(const TBitmap& b, int y) {
    std::string s;
    for (int x = 0; x < b.Width(); ++x) s += static_cast<char>('0' + b.GetRawPixel(x, y));
    return s;
}

}  // namespace

TEST(DrHalo, RowPacketsStayInTheirRowAndTheData) {
    struct Case {
        const char* What;
        Bytes Row;
        int Width;
        std::string Pixels;  // '.' untouched
        size_t Consumed;
    } cases[] = {
        {"run", {2, 0, 0x83, 7, 0}, 4, "777.", 5},
        {"copy", {2, 0, 0x03, 1, 2, 3, 0}, 3, "123", 7},
        {"runs beyond the row are cut, the packets read to the row's end", {9, 0, 0x85, 4, 0x02, 5, 6, 0}, 3, "444", 8},
        {"data end inside a copy", {2, 0, 0x05, 1, 2}, 5, "12...", 5},
        {"data end before a run's value", {2, 0, 0x81, 1, 0x83}, 3, "1..", 5},
        {"a count and nothing else", {2, 0}, 2, "..", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Bytes row(c.Pixels.size() + 4, 0xAA);  // four guard bytes past the row
        uint8_t* dest = row.data();
        const uint8_t* source = c.Row.data();
        TCUTRLEDecoder().Decode(source, dest, static_cast<int32_t>(c.Row.size()), c.Width);
        std::string got;
        for (uint8_t v : row) got += v == 0xAA ? '.' : static_cast<char>('0' + v);
        EXPECT_EQ(got, c.Pixels + "....");
        EXPECT_EQ(static_cast<size_t>(source - c.Row.data()), c.Consumed);
        EXPECT_EQ(dest, row.data());
    }
}

TEST(DrHalo, PaletteFileBesideTheImage) {
    testsupport::ScratchDir dir;
    const Bytes image = Cut(3, 2, {{0x83, 1, 0}, {0x01, 0, 0x01, 15, 0x01, 255, 0}});
    struct Case {
        const char* What;
        const char* PaletteName;
        Bytes Palette;
        int Count;
        std::string Error;
    } cases[] = {
        {"no palette file: grey levels", nullptr, {}, 256, ""},
        {"count field 15", "a.pal", PaletteFile(16, 16, 1), 16, ""},
        {"count field 255 over four blocks", "a.pal", PaletteFile(256, 256, 4), 256, ""},
        {"more than 256 declared", "a.pal", PaletteFile(300, 300, 4), 256, ""},
        {"a name in capitals", "a.PAL", PaletteFile(16, 16, 1), 16, ""},
        {"a block missing", "a.pal", PaletteFile(256, 256, 3), 0, "Stream read error"},
        {"shorter than a block", "a.pal", Bytes(100, 0), 0, "Stream read error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        std::filesystem::remove(dir / "a.pal");
        std::filesystem::remove(dir / "a.PAL");
        testsupport::WriteFile(dir / "a.cut", image);
        if (c.PaletteName) testsupport::WriteFile(dir / c.PaletteName, c.Palette);
        TCUTGraphic g;
        try {
            g.LoadFromFile((dir / "a.cut").string());
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.Error);
            continue;
        }
        ASSERT_EQ(c.Error, "");
        ASSERT_EQ(g.Palette().Count(), c.Count);
        for (int i = 0; i < c.Count; ++i) {
            const TPaletteEntry e = g.Palette()[i];
            const TPaletteEntry want = c.PaletteName ? TPaletteEntry{uint8_t(i), uint8_t(255 - i), uint8_t(i ^ 0x55), 0}
                                                     : TPaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), 0};
            ASSERT_EQ(e, want) << "entry " << i;
        }
        EXPECT_EQ(g.GetRawPixel(2, 0), 1u);
        EXPECT_EQ(g.GetRawPixel(2, 1), 255u);
        // The same object loading from a stream afterwards looks for no palette file.
        testfiles::LoadInto(g, image);
        EXPECT_EQ(g.Palette()[1], (TPaletteEntry{1, 1, 1, 0}));
    }
}

TEST(DrHalo, AnyDataIsAnImage) {
    const Bytes file = Cut(4, 3, {{0x84, 9, 0}});  // rows 1 and 2 are missing
    TReadOnlyMemoryStream stream(file.data(), file.size());
    EXPECT_FALSE(TCUTGraphic::CanReadStream(stream));
    TCUTGraphic g;
    testfiles::LoadInto(g, file);
    EXPECT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(Row(g, 0), std::string(4, char('0' + 9)));
    EXPECT_EQ(Row(g, 2), "0000");
    EXPECT_EQ(g.Properties.Compression, ckRLE);
    EXPECT_EQ(testfiles::LoadError<TCUTGraphic>({1, 0, 1}), "Stream read error");
}

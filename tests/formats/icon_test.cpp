// Icons: the corpus against its reference pictures, and hand-made files for entry choice,
// mask and alpha, drawing and broken files.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "file_builder.h"
#include "formats/icon.h"
#include "test_support.h"

using namespace testfiles;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const char* const Invalid = "Icon image is not valid";

// Corpus files that deviate from the plain rule (colour and alpha match the reference), and why.
const std::map<std::string, std::string> Refused = {
    {"decompression_bomb.ico", "its header claims 65535 x 32767 pixels the file cannot hold (the reference used "
                               "the directory's 16 x 16)"},
    {"no_cursors.cur", "a directory without entries"},
};
const std::map<std::string, std::string> AlphaNotCompared = {
    {"mask_1.cur", "the reference decoder ignores the AND mask of cursors"},
    {"mask_L.cur", "the reference decoder ignores the AND mask of cursors"},
    {"bmp_v5_with_icc.ico", "its colour profile overlaps the AND mask; the reference takes the mask from the end of "
                            "the entry, we take it from right after the colours"},
};

void Check(const fs::path& file) {
    const std::string name = file.filename().string();
    TIcon icon;
    if (Refused.count(name)) {
        EXPECT_THROW(icon.LoadFromFile(file.string()), EInvalidGraphic) << name;
        return;
    }
    ASSERT_NO_THROW(icon.LoadFromFile(file.string())) << name;
    // Colours under the mask are compared too: the image keeps them, with alpha 0.
    const Comparison c = testsupport::Compare(ReadPng(file.string() + ".ref.png"), ToRgba(icon.Image()),
                                              !AlphaNotCompared.count(name));
    EXPECT_TRUE(c.Exact()) << name << ": " << c.Describe();
}

struct Entry {
    int Width, Height, Bits;
    std::vector<uint8_t> Data;
};

// A DIB entry: header with the doubled height, palette, colour rows and mask rows (bottom-up).
Entry DibEntry(int w, int h, int bits, const std::vector<uint8_t>& palette, const std::vector<uint8_t>& colors,
               const std::vector<uint8_t>& mask) {
    return {w, h, bits, InfoHeader(w, 2 * h, bits, 0, static_cast<uint32_t>(palette.size() / 4)).Raw(palette).Raw(colors).Raw(mask).Data};
}

// A 3 x 3 entry of 8 bits in one colour, its mask empty.
Entry Plain8(uint32_t rgb) { return DibEntry(3, 3, 8, Palette({0, rgb}), std::vector<uint8_t>(12, 1), std::vector<uint8_t>(12, 0)); }

std::vector<uint8_t> IconFile(const std::vector<Entry>& entries) {
    Bytes f;
    f.U16(0).U16(1).U16(static_cast<uint32_t>(entries.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * entries.size());
    for (const Entry& e : entries) {
        f.U8(static_cast<uint32_t>(e.Width)).U8(static_cast<uint32_t>(e.Height)).U16(0).U16(1).U16(static_cast<uint32_t>(e.Bits));
        f.U32(static_cast<uint32_t>(e.Data.size())).U32(offset);
        offset += static_cast<uint32_t>(e.Data.size());
    }
    for (const Entry& e : entries) f.Raw(e.Data);
    return f.Data;
}

}  // namespace

TEST(IconCorpus, IconsMatchReferences) {
    REQUIRE_CORPUS();
    int checked = 0;
    for (const auto& item : fs::directory_iterator(CorpusDir() / "public" / "ico")) {
        if (item.path().extension() == ".png") continue;
        Check(item.path());
        ++checked;
    }
    for (const TsvRow& row : ReadTsv(CorpusDir() / "synthetic" / "EXPECT.tsv")) {
        if (Field(row, "format") != "ico") continue;
        Check(CorpusDir() / "synthetic" / Field(row, "path"));
        ++checked;
    }
    EXPECT_GT(checked, 50);
}

// The corpus covers entry choice, masks and alpha; these are the rules at their edges.
TEST(Icon, MaskAndPngRules) {
    // 32 bits with alpha of their own need no mask; with alpha zero everywhere the mask decides.
    const std::vector<uint8_t> colors = {10, 20, 30, 0x80, 40, 50, 60, 0};
    TIcon icon;
    LoadInto(icon, IconFile({DibEntry(2, 1, 32, {}, colors, {})}));
    EXPECT_EQ(icon.Image().GetPixel(0, 0), (TRGBQuad{10, 20, 30, 0x80}));
    std::vector<uint8_t> zero = colors;
    zero[3] = 0;
    EXPECT_EQ(LoadError<TIcon>(IconFile({DibEntry(2, 1, 32, {}, zero, {})})), Invalid);
    LoadInto(icon, IconFile({DibEntry(2, 1, 32, {}, zero, {0x40, 0, 0, 0})}));
    EXPECT_EQ(icon.Image().GetPixel(0, 0), (TRGBQuad{10, 20, 30, 255}));
    EXPECT_EQ(icon.Image().GetPixel(1, 0), (TRGBQuad{40, 50, 60, 0}));
    // A PNG entry is decoded only when it is chosen; this one ends inside its header chunk.
    Bytes png;
    png.Raw({137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 16, 0, 0, 0, 16, 8, 6, 0, 0, 0});
    EXPECT_EQ(LoadError<TIcon>(IconFile({Plain8(0xFF0000), Entry{16, 16, 32, png.Data}})), "Stream read error");
    png.Data[19] = png.Data[23] = 2;
    EXPECT_EQ(LoadError<TIcon>(IconFile({Entry{2, 2, 32, png.Data}, Plain8(0xFF0000)})), "");
}

TEST(Icon, BrokenEntriesArePassedOverAndBitFieldsUseTheMask) {
    // A larger entry of a depth no icon has, then a good one: the good one shows.
    Entry odd = Plain8(0x00FF00);
    odd.Data[14] = 7;
    odd.Width = odd.Height = 64;
    TIcon icon;
    LoadInto(icon, IconFile({odd, Plain8(0xFF0000)}));
    EXPECT_EQ(icon.Image().Width(), 3);
    EXPECT_EQ(icon.Image().GetPixel(1, 1), (TRGBQuad{0, 0, 255, 255}));
    EXPECT_EQ(LoadError<TIcon>(IconFile({odd})), Invalid);

    // 32-bit bit fields without an alpha mask store no alpha: the AND mask decides.
    Bytes bitfields = InfoHeader(2, 4, 32, 3);  // two rows of colours, two of mask
    bitfields.U32(0xFF000000).U32(0x00FF0000).U32(0x0000FF00);  // red, green, blue: not the usual places
    bitfields.Raw({0, 30, 20, 10, 0, 60, 50, 40, 0, 30, 20, 10, 0, 60, 50, 40});  // colours
    bitfields.Raw({0x40, 0, 0, 0, 0x40, 0, 0, 0});                                 // mask: right pixel
    LoadInto(icon, IconFile({Entry{2, 2, 32, bitfields.Data}}));
    EXPECT_EQ(icon.Image().GetPixel(0, 0), (TRGBQuad{30, 20, 10, 255}));
    EXPECT_EQ(icon.Image().GetPixel(1, 0), (TRGBQuad{60, 50, 40, 0}));
}

TEST(Icon, BrokenFilesAreRefused) {
    const std::vector<uint8_t> good = IconFile({Plain8(0xFF0000)});
    auto patched = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> bad = good;
        bad[at] = value;
        return LoadError<TIcon>(bad);
    };
    EXPECT_EQ(patched(0, 1), Invalid) << "reserved";
    EXPECT_EQ(patched(2, 3), Invalid) << "type";
    EXPECT_EQ(patched(4, 0), Invalid) << "no entries";
    EXPECT_EQ(patched(19, 0xFF), Invalid) << "entry beyond the file";
    EXPECT_EQ(patched(18, 2), Invalid) << "entry inside the directory";
    EXPECT_EQ(patched(22 + 16, 1), Invalid) << "run-length compression";
    for (size_t n = 0; n < good.size(); ++n) EXPECT_EQ(LoadPrefixError<TIcon>(good, n), Invalid) << n;
    LoadDamagedCopies<TIcon>(IconFile({Plain8(0xFF0000), DibEntry(2, 1, 32, {}, {1, 2, 3, 4, 5, 6, 7, 8}, {0, 0, 0, 0})}), 200);
    // 65535 x 32767: at 1 bit within the bitmap bound but not in the file; at 32 bits beyond it.
    std::vector<uint8_t> bomb = good;
    bomb[26] = bomb[27] = bomb[30] = bomb[31] = 0xFF;
    bomb[36] = 1;
    EXPECT_EQ(LoadError<TIcon>(bomb), Invalid);
    bomb[36] = 32;
    EXPECT_EQ(LoadError<TIcon>(bomb), "Image is too large (65535 x 32767 pixels).");
}

TEST(Icon, DrawBlendsByAlpha) {
    // Opaque red, transparent green, half-transparent blue.
    TIcon icon;
    LoadInto(icon, IconFile({DibEntry(3, 1, 32, {}, {0, 0, 255, 255, 0, 255, 0, 0, 255, 0, 0, 128}, {})}));
    TBitmap target;
    target.SetPixelFormat(pf24bit);
    target.SetSize(4, 2);
    target.Fill(RGBColor(100, 100, 100));
    icon.Draw(target, 1, 1);
    EXPECT_EQ(target.GetPixel(1, 1), (TRGBQuad{0, 0, 255, 255}));
    EXPECT_EQ(target.GetPixel(2, 1), (TRGBQuad{100, 100, 100, 255}));
    EXPECT_EQ(target.GetPixel(3, 1), (TRGBQuad{178, 50, 50, 255}));  // 255 * 128/255 + 100 * 127/255
    EXPECT_EQ(target.GetPixel(0, 1), (TRGBQuad{100, 100, 100, 255}));
    icon.Draw(target, -2, 0);  // clipped
    EXPECT_EQ(target.GetPixel(0, 0), (TRGBQuad{178, 50, 50, 255}));
    // On a transparent 32-bit surface the colour stays and the alpha is the icon's.
    TBitmap clear;
    clear.SetPixelFormat(pf32bit);
    clear.SetSize(3, 1);
    icon.Draw(clear, 0, 0);
    EXPECT_EQ(clear.GetPixel(2, 0), (TRGBQuad{255, 0, 0, 128}));
    EXPECT_EQ(clear.GetPixel(1, 0), (TRGBQuad{0, 0, 0, 0}));
}

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "exceptions.h"
#include "format_registry.h"
#include "picture.h"
#include "streams.h"
#include "formats/targa.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;

struct Layout {
    uint8_t Type = 2, Depth = 24;
    uint16_t Width = 1, Height = 1;
    uint8_t Descriptor = 0x20;
    uint16_t MapLength = 0, MapOrigin = 0;
    uint8_t EntrySize = 24;
    const char* Id = "";
};

// A Targa file: header, ID field, then the colour map and pixel bytes as given.
Bytes Targa(const Layout& l, const Bytes& mapAndPixels) {
    Bytes b = {uint8_t(std::strlen(l.Id)), uint8_t(l.MapLength ? 1 : 0), l.Type, uint8_t(l.MapOrigin),
               uint8_t(l.MapOrigin >> 8), uint8_t(l.MapLength), uint8_t(l.MapLength >> 8), l.EntrySize, 0, 0, 0, 0,
               uint8_t(l.Width), uint8_t(l.Width >> 8), uint8_t(l.Height), uint8_t(l.Height >> 8), l.Depth,
               l.Descriptor};
    b.insert(b.end(), l.Id, l.Id + std::strlen(l.Id));
    b.insert(b.end(), mapAndPixels.begin(), mapAndPixels.end());
    return b;
}

std::unique_ptr<TTargaGraphic> Load(const Bytes& file) {
    auto g = std::make_unique<TTargaGraphic>();
    TReadOnlyMemoryStream stream(file.data(), file.size());
    g->LoadFromStream(stream);
    return g;
}

std::string Row(const TBitmap& b, int y) {
    std::string s;
    for (int x = 0; x < b.Width(); ++x) s += char(b.GetRawPixel(x, y));
    return s;
}

}  // namespace

TEST(TargaRLE, PacketsRowsAndWhatEachRowConsumes) {
    struct Case {
        int Depth, Width;
        Bytes Packed;
        std::vector<std::string> Rows;  // untouched bytes read '.'
        std::vector<long> Consumed;
    } cases[] = {
        {8, 128, {0xFF, 'a'}, {std::string(128, 'a')}, {2}},            // 0xFF repeats 128 times
        {8, 2, {0x80, 'a', 0x00, 'b'}, {"ab"}, {4}},                     // 0x80 once, raw 0x00 one value
        {8, 3, {0x84, 'a', 0x00, 'b'}, {"aaa", "aab"}, {2, 2}},          // a run carried into the next row
        {8, 3, {0x03, 'a', 'b', 'c', 'd', 0x80, 'e'}, {"abc", "de."}, {4, 3}},  // raw carried, then data ends
        {8, 3, {0x00, 'a', 0x85}, {"a.."}, {2}},                         // a run without its value stays
        {24, 3, {0x81, 1, 2, 3, 0x00, 4, 5, 6}, {"\1\2\3\1\2\3\4\5\6"}, {8}},
        {15, 2, {0x01, 1, 2, 3}, {"\1\2.."}, {3}},                       // half a pixel is not copied
        {32, 1, {0x80, 1, 2, 3, 4}, {"\1\2\3\4"}, {5}},
        {7, 2, {0x81, 'a'}, {".."}, {0}},                                // no such depth: nothing
    };
    for (const Case& c : cases) {
        TTargaRLEDecoder decoder(c.Depth);
        decoder.BeginDecode();
        const uint8_t* source = c.Packed.data();
        for (size_t r = 0; r < c.Rows.size(); ++r) {
            std::string row(c.Rows[r].size() + 4, '.');  // four guard bytes past the row
            uint8_t* dest = reinterpret_cast<uint8_t*>(row.data());
            const uint8_t* before = source;
            decoder.Decode(source, dest, int32_t(c.Packed.data() + c.Packed.size() - source), c.Width);
            EXPECT_EQ(row, c.Rows[r] + "....") << "depth " << c.Depth << " row " << r;
            EXPECT_EQ(source - before, c.Consumed[r]) << "depth " << c.Depth << " row " << r;
            EXPECT_EQ(dest, reinterpret_cast<uint8_t*>(row.data()));
        }
    }
}

TEST(TargaRLE, EncoderPacketChoicesAndRoundTrips) {
    std::string twoHundred;
    for (int i = 0; i < 200; ++i) twoHundred += char(i);
    struct Case {
        int Depth;
        std::string Pixels, Packed;
    } cases[] = {
        {8, "abc", "\x01" "ab" "\x00" "c"s},  // no repeats: the last pixel gets a packet of its own
        {8, "aaaaa", "\x84" "a"},
        {8, "abccd", "\x01" "ab" "\x81" "c" "\x00" "d"s},
        {8, std::string(130, 'a'), "\xFF" "a" "\x81" "a"},
        {8, twoHundred, "\x7F" + twoHundred.substr(0, 128) + "\x46" + twoHundred.substr(128, 71) + '\0' + "\xC7"},
        {16, "\1\2\1\3", "\0\1\2\0\1\3"s},  // pixels equal only when every byte is
    };
    for (const Case& c : cases) {
        TTargaRLEDecoder coder(c.Depth);
        const int32_t count = int32_t(c.Pixels.size()) / coder.PixelSize();
        std::string out(c.Pixels.size() * 2, '?');
        int32_t stored = -1;
        coder.Encode(reinterpret_cast<const uint8_t*>(c.Pixels.data()), reinterpret_cast<uint8_t*>(out.data()), count,
                     stored);
        EXPECT_EQ(out.substr(0, size_t(stored)), c.Packed) << c.Pixels.substr(0, 8);
    }
    // Rows of short runs and noise come back unchanged; the output never needs more than
    // one header byte per pixel.
    std::mt19937 random(7);
    for (int depth : {8, 16, 24, 32})
        for (int width : {1, 2, 3, 127, 128, 129, 300}) {
            TTargaRLEDecoder coder(depth);
            const size_t p = size_t(coder.PixelSize());
            Bytes row(width * p);
            for (size_t i = 0; i < row.size(); ++i) row[i] = uint8_t(random() % 3 ? random() % 2 : i);
            Bytes packed(width * (p + 1)), back(row.size());
            int32_t stored = 0;
            coder.Encode(row.data(), packed.data(), width, stored);
            const uint8_t* source = packed.data();
            uint8_t* dest = back.data();
            coder.Decode(source, dest, stored, width);
            EXPECT_EQ(back, row) << depth << " bits, " << width << " pixels";
            EXPECT_EQ(source - packed.data(), stored);
        }
}

TEST(TargaReader, RowOrderPixelBytesAndProperties) {
    auto bottomUp = Load(Targa({.Type = 3, .Depth = 8, .Width = 2, .Height = 2, .Descriptor = 0}, {1, 2, 3, 4}));
    EXPECT_EQ(Row(*bottomUp, 0), "\3\4");
    EXPECT_EQ(Row(*bottomUp, 1), "\1\2");
    EXPECT_EQ(bottomUp->Palette().Count(), 256);
    auto topDown = Load(Targa({.Type = 3, .Depth = 8, .Width = 2, .Height = 2, .Descriptor = 0x20}, {1, 2, 3, 4}));
    EXPECT_EQ(Row(*topDown, 0), "\1\2");

    // 15-bit rows of width 10 take 20 bytes; words are copied as stored, bit 15 included,
    // which the bitmap then ignores.
    Bytes words;
    for (int i = 0; i < 20; ++i) words.insert(words.end(), {uint8_t(i * 13), uint8_t((i % 2 ? 0x80 : 0) | i)});
    auto fifteen = Load(Targa({.Depth = 15, .Width = 10, .Height = 2}, words));
    EXPECT_EQ(fifteen->PixelFormat(), pf15bit);
    EXPECT_EQ(fifteen->GetRawPixel(1, 1), 0x8B00u | (11 * 13));
    auto sixteen = Load(Targa({.Depth = 16}, {0x21, 0x84}));
    EXPECT_EQ(sixteen->GetPixel(0, 0), Load(Targa({.Depth = 16}, {0x21, 0x04}))->GetPixel(0, 0));

    // 32-bit pixels keep their alpha whatever the attribute-bit count says.
    for (uint8_t descriptor : {0x20, 0x28, 0x23}) {
        auto g = Load(Targa({.Type = 10, .Depth = 32, .Width = 2, .Descriptor = descriptor}, {0x81, 1, 2, 3, 4}));
        EXPECT_EQ(g->PixelFormat(), pf32bit);
        EXPECT_EQ(g->GetRawPixel(1, 0), 0x04030201u);
    }

    // Grey with alpha becomes blue, green, red, alpha.
    auto greyAlpha = Load(Targa({.Type = 11, .Depth = 16, .Width = 3}, {0x82, 0x40, 0x99}));
    EXPECT_EQ(greyAlpha->PixelFormat(), pf32bit);
    EXPECT_EQ(greyAlpha->GetRawPixel(2, 0), 0x99404040u);
}

TEST(TargaReader, ColourMapsAreReadOrPassedOverWhole) {
    Bytes map300;
    for (int i = 0; i < 300; ++i) map300.insert(map300.end(), {uint8_t(i), 0, 0});
    struct Case {
        const char* What;
        Layout L;
        Bytes Map;
        int PaletteCount, Entry;
        TPaletteEntry Expected;
    } cases[] = {
        {"24-bit, 2 entries", {.Type = 1, .Depth = 8, .MapLength = 2}, {1, 2, 3, 4, 5, 6}, 2, 1, {6, 5, 4, 0}},
        {"300 entries", {.Type = 1, .Depth = 8, .MapLength = 300}, map300, 256, 255, {0, 0, 255, 0}},
        {"from origin 3", {.Type = 1, .Depth = 8, .MapLength = 2, .MapOrigin = 3}, {1, 2, 3, 4, 5, 6}, 5, 3,
         {3, 2, 1, 0}},
        {"15-bit, bit 15 ignored", {.Type = 9, .Depth = 8, .MapLength = 1, .EntrySize = 15}, {0x1F, 0xFC}, 1, 0,
         {248, 0, 248, 0}},
        {"32-bit", {.Type = 1, .Depth = 8, .MapLength = 1, .EntrySize = 32}, {1, 2, 3, 4}, 1, 0, {3, 2, 1, 0}},
        {"8-bit entries as grey", {.Type = 1, .Depth = 8, .MapLength = 2, .EntrySize = 8}, {7, 9}, 2, 1, {9, 9, 9, 0}},
        {"20-bit entries in 3 bytes", {.Type = 1, .Depth = 8, .MapLength = 1, .EntrySize = 20}, {1, 2, 3}, 1, 0,
         {3, 2, 1, 0}},
        {"entries of no size", {.Type = 1, .Depth = 8, .MapLength = 9, .EntrySize = 0}, {}, 256, 200,
         {200, 200, 200, 0}},
        {"unused by grey", {.Type = 3, .Depth = 8, .MapLength = 2}, {1, 2, 3, 4, 5, 6}, 256, 6, {6, 6, 6, 0}},
        {"unused by true colour", {.Type = 2, .Depth = 8, .MapLength = 1}, {1, 2, 3}, 1, 0, {3, 2, 1, 0}},
    };
    for (const Case& c : cases) {
        Bytes data = c.Map;
        data.push_back(0x2A);  // the one pixel, found after the map only if the map was passed over whole
        if (c.L.Type == 9) data.insert(data.end() - 1, 0x00);
        auto g = Load(Targa(c.L, data));
        EXPECT_EQ(g->GetRawPixel(0, 0), 0x2Au) << c.What;
        EXPECT_EQ(g->Palette().Count(), c.PaletteCount) << c.What;
        EXPECT_EQ(g->Palette()[c.Entry], c.Expected) << c.What;
    }
}

TEST(TargaReader, StreamPositionProgressAndSignature) {
    // Rows 3 pixels wide inside a larger stream: the run crosses into the second row, and
    // the reader stops exactly after the last packet although its buffer read further.
    const Bytes file =
        Targa({.Type = 11, .Depth = 8, .Width = 3, .Height = 2, .Id = "id"}, {0x83, 'a', 0x01, 'b', 'c'});
    Bytes stream = {9, 9, 9};
    stream.insert(stream.end(), file.begin(), file.end());
    stream.insert(stream.end(), 50, 0x80);
    TReadOnlyMemoryStream s(stream.data(), stream.size());
    s.SetPosition(3);
    TTargaGraphic g;
    std::vector<std::string> events;
    g.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t percent, bool, const TRect& r, const std::string& m) {
        events.push_back(std::to_string(stage) + ":" + std::to_string(percent) + ":" + std::to_string(r.Top) + m);
    };
    g.LoadFromStream(s);
    EXPECT_EQ(s.Position(), int64_t(3 + file.size()));
    EXPECT_EQ(Row(g, 0), "aaa");
    EXPECT_EQ(Row(g, 1), "abc");
    EXPECT_EQ(events, (std::vector<std::string>{"0:0:0Preparing...", "2:0:0", "0:0:0Transfering...", "1:0:0",
                                                "1:50:1", "2:0:2"}));

    // The signature test: more than 18 bytes, known type, map type, entry size and depth.
    struct Sig {
        Layout L;
        size_t Extra;
        bool Expected;
    } sigs[] = {{{}, 1, true},           {{}, 0, false},       {{.EntrySize = 0}, 1, false},
                {{.Type = 12}, 1, false}, {{.Depth = 12}, 1, false}, {{.Type = 0, .EntrySize = 15}, 5, true}};
    for (const Sig& sig : sigs) {
        Bytes b = Targa(sig.L, Bytes(sig.Extra, 0));
        TReadOnlyMemoryStream m(b.data(), b.size());
        EXPECT_EQ(TTargaGraphic::CanReadStream(m), sig.Expected);
        EXPECT_EQ(m.Position(), 0);
    }
}

TEST(TargaReader, BadInputGivesClearErrors) {
    struct Case {
        Bytes File;
        const char* Message;
    } cases[] = {
        {Bytes(17, 0), "Stream read error"},
        {Targa({.Type = 1, .Depth = 8, .MapLength = 10}, Bytes(29, 0)), "Stream read error"},
        {Targa({.Width = 2, .Height = 2}, Bytes(11, 0)), "Stream read error"},
        {Targa({.Depth = 12}, Bytes(4, 0)), "Sample count per pixel does not correspond to the given color scheme."},
        {Targa({.Type = 32, .Depth = 8}, Bytes(4, 0)),
         "Cannot load image. The compression scheme is not supported for TGA files."},
        {Targa({.Type = 1, .Depth = 16, .MapLength = 1}, Bytes(5, 0)), "Invalid color format in TGA file."},
        // Sizes the data cannot fill are refused before anything is allocated.
        {Targa({.Type = 10, .Depth = 32, .Width = 16384, .Height = 16384}, {0xFF, 1, 2, 3, 4}), "Stream read error"},
        {Targa({.Type = 3, .Depth = 8, .Width = 65535, .Height = 65535}, Bytes(1000, 0)), "Stream read error"},
    };
    for (const Case& c : cases) {
        try {
            Load(c.File);
            ADD_FAILURE() << "loaded: " << c.Message;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
    }
    EXPECT_TRUE(Load(Targa({.Type = 0, .Width = 30000, .Height = 30000}, {}))->Empty());
    auto noWidth = Load(Targa({.Type = 2, .Depth = 24, .Width = 0, .Height = 5}, Bytes(10, 0)));
    EXPECT_EQ(noWidth->Width(), 0);
    EXPECT_EQ(noWidth->Height(), 5);
    auto cut = Load(Targa({.Type = 11, .Depth = 8, .Width = 4, .Height = 2, .Descriptor = 0}, {0x81, 'a', 0x83}));
    EXPECT_EQ(Row(*cut, 1), "aa\0\0"s);
    EXPECT_EQ(Row(*cut, 0), std::string(4, '\0'));
}

TEST(TargaWriter, EveryPixelFormatReadsBackTheSame) {
    std::mt19937 random(3);
    for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        TTargaGraphic image;
        image.SetPixelFormat(format);
        image.SetSize(37, 5);
        if (format <= pf8bit) {
            TPalette palette(1 << std::min(BitsPerPixelOf(format), 8));
            for (int i = 0; i < palette.Count(); ++i) palette[i] = {uint8_t(i), uint8_t(i * 7), uint8_t(255 - i), 0};
            image.SetPalette(palette);
        }
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 37; ++x) image.SetRawPixel(x, y, x < 9 ? 1 : uint32_t(random()));
        TMemoryStream out;
        image.SaveToStream(out);
        EXPECT_EQ(image.PixelFormat(), format);  // saving leaves the image as it was
        const Bytes& b = out.Bytes();
        ASSERT_GE(b.size(), 18u);
        EXPECT_EQ(b[2], format <= pf8bit ? 9 : 10);
        EXPECT_EQ(b[17], 0x20);
        auto back = Load(b);
        EXPECT_EQ(back->PixelFormat(), format <= pf8bit ? pf8bit : format == pf16bit ? pf15bit : format);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 37; ++x) {
                TRGBQuad want = image.GetPixel(x, y), got = back->GetPixel(x, y);
                if (format == pf16bit) want.Green = uint8_t((want.Green & 0xF8) | (want.Green >> 5));
                ASSERT_EQ(got, want) << "format " << int(format) << " at " << x << "," << y;
            }
    }
    TTargaGraphic empty;
    TMemoryStream nothing;
    empty.SaveToStream(nothing);
    EXPECT_EQ(nothing.Size(), 0);
    empty.SetPixelFormat(pf8bit);
    empty.SetSize(65536, 1);  // wider than the header can say
    EXPECT_THROW(empty.SaveToStream(nothing), EInvalidGraphic);
}

TEST(TargaWriter, TheRegistryOpensTargaFilesByEveryExtension) {
    testsupport::ScratchDir dir;
    TTargaGraphic image;
    image.SetPixelFormat(pf24bit);
    image.SetSize(3, 2);
    image.SetRawPixel(2, 1, 0x123456);
    image.SaveToFile((dir / "a.tga").string());
    InitializeFileFormats();
    for (const char* ext : {"win", "vst", "vda", "TGA", "icb"}) {
        std::filesystem::copy_file(dir / "a.tga", dir / (std::string("b.") + ext));
        TPicture picture;
        picture.LoadFromFile((dir / (std::string("b.") + ext)).string());
        EXPECT_EQ(&picture.Graphic()->ClassType(), &TTargaGraphic::Class) << ext;
        EXPECT_EQ(picture.Bitmap()->GetRawPixel(2, 1), 0x123456u) << ext;
    }
    FinalizeFileFormats();
    EXPECT_TRUE(TTargaGraphic::CanReadFile((dir / "a.tga").string()));
}

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exceptions.h"
#include "file_builder.h"
#include "formats/eps.h"
#include "formats/tiff.h"
#include "formats/tiff_decoders.h"
#include "streams.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testfiles::LoadError;

// Bits written as '0' and '1' (anything else is ignored), padded with 0 to whole bytes.
Bytes BitString(const std::string& bits) {
    Bytes out;
    int n = 0;
    for (char c : bits) {
        if (c != '0' && c != '1') continue;
        if (n % 8 == 0) out.push_back(0);
        if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
        ++n;
    }
    return out;
}

// A TIFF file: header, the strip data at offset 8, then one directory with the entries in
// the order given and the values that do not fit into their entries behind it.
struct TiffFile {
    struct Entry {
        uint16_t Tag, Type;
        std::vector<uint32_t> Values;  // RATIONAL: numerator, denominator pairs
    };
    bool Big = false;
    Bytes Data;
    std::vector<Entry> Entries;
    bool LoopsToItself = false;  // the directory names itself as the next one

    TiffFile& Add(uint16_t tag, uint16_t type, std::vector<uint32_t> values) {
        Entries.push_back({tag, type, std::move(values)});
        return *this;
    }
    Bytes Build() const {
        Bytes out;
        auto put = [&](Bytes& b, uint32_t v, int size) {
            for (int i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * (Big ? size - 1 - i : i))));
        };
        out = Big ? Bytes{'M', 'M'} : Bytes{'I', 'I'};
        put(out, 42, 2);
        const uint32_t directory = static_cast<uint32_t>((8 + Data.size() + 1) & ~size_t{1});
        put(out, directory, 4);
        out.insert(out.end(), Data.begin(), Data.end());
        out.resize(directory);
        Bytes tail;
        const uint32_t tailAt = directory + 2 + 12 * static_cast<uint32_t>(Entries.size()) + 4;
        put(out, static_cast<uint32_t>(Entries.size()), 2);
        for (const Entry& e : Entries) {
            const int size = e.Type == 3 ? 2 : e.Type == 1 ? 1 : 4;
            const uint32_t count = static_cast<uint32_t>(e.Type == 5 ? e.Values.size() / 2 : e.Values.size());
            Bytes values;
            for (uint32_t v : e.Values) put(values, v, size);
            put(out, e.Tag, 2);
            put(out, e.Type, 2);
            put(out, count, 4);
            if (values.size() <= 4) {
                values.resize(4);
                out.insert(out.end(), values.begin(), values.end());
            } else {
                put(out, tailAt + static_cast<uint32_t>(tail.size()), 4);
                tail.insert(tail.end(), values.begin(), values.end());
            }
        }
        put(out, LoopsToItself ? directory : 0, 4);
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    }
};

// An 8-bit image of the given photometric interpretation with its rows in one strip.
TiffFile Plain(uint32_t width, uint32_t height, uint32_t samples, const Bytes& pixels, uint32_t photometric = 1) {
    TiffFile f;
    f.Data = pixels;
    f.Add(256, 3, {width}).Add(257, 3, {height}).Add(258, 3, {8}).Add(262, 3, {photometric});
    f.Add(273, 4, {8}).Add(277, 3, {samples}).Add(279, 4, {static_cast<uint32_t>(pixels.size())});
    return f;
}

std::unique_ptr<TTIFFGraphic> Load(const Bytes& file) {
    auto g = std::make_unique<TTIFFGraphic>();
    testfiles::LoadInto(*g, file);
    return g;
}

std::vector<uint32_t> Pixels(const TBitmap& b) {
    std::vector<uint32_t> out;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) out.push_back(b.GetRawPixel(x, y));
    return out;
}

class ProbedTiff : public TTIFFGraphic {
public:
    using TTIFFGraphic::FloatValue;
    using TTIFFGraphic::IntegerValue;
};

}  // namespace

TEST(TIFFDecoders, RowsRunsBitOrderAndBufferEnds) {
    using Make = std::function<std::unique_ptr<TDecoder>()>;
    auto mh = [](int width, bool reversed = false, bool aligned = false) -> Make {
        return [=] { return std::make_unique<TCCITTMHDecoder>(0, reversed, aligned, width); };
    };
    auto g3 = [](int width) -> Make { return [=] { return std::make_unique<TCCITTFax3Decoder>(0, false, false, width); }; };
    auto thunder = [](int width) -> Make { return [=] { return std::make_unique<TThunderDecoder>(width); }; };
    const std::string eol = "000000000001";
    struct Case {
        const char* What;
        Make Decoder;
        Bytes Source;
        Bytes Expected;  // as many bytes as the target has
    } cases[] = {
        {"white 2, black 3, white 3; the next row starts on the next byte", mh(8),
         BitString("0111 10 1000 000000  00110101 000101"), {0x38, 0xFF}},
        {"make-up 1792 and terminating 5 give 1797 black pixels", mh(1800),
         BitString("00110101 00000001000 0011 1000"), [] {
             Bytes b(224, 0xFF);
             b.push_back(0xF8);
             return b;
         }()},
        {"a code that ends with the data counts", mh(8), {0x72}, {0x3F}},
        {"reversed bit order: 0x01 reads as 0x80", mh(2, true), {0xAC, 0x03}, {0xC0}},
        {"word alignment skips to the next 16-bit word", mh(8, false, true), {0x98, 0x00, 0x35, 0x14}, {0x00, 0xFF}},
        {"a run past the target stops at its end", mh(64), BitString("00110101 0000001111 0000110111"), {0xFF, 0xFF}},
        {"Group 3 rows after end-of-line codes, fill bits before them", g3(8),
         BitString(eol + "0111 10 1000 0000" + eol + "00110101 000101" + eol), {0x38, 0xFF}},
        {"Group 3: an invalid code ends its row", g3(8),
         BitString(eol + "0111 000000001" + eol + "00110101 000101"), {0x00, 0xFF}},
        {"ThunderScan raw 7, run of 3", thunder(4), {0xC7, 0x03}, {0x77, 0x77}},
        {"ThunderScan rows of odd width, each from a last pixel of 0", thunder(3), {0xC5, 0x02, 0x89, 0xC9},
         {0x55, 0x50, 0x12, 0x90}},
        {"ThunderScan runs stop at the row's end", thunder(2), {0xC1, 0x3F, 0xC2}, {0x11, 0x20}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        // Guard bytes after the target, and an exactly sized source copy.
        Bytes target(c.Expected.size() + 4, 0xEE);
        const std::unique_ptr<uint8_t[]> source(new uint8_t[c.Source.size()]);
        std::memcpy(source.get(), c.Source.data(), c.Source.size());
        const uint8_t* src = source.get();
        uint8_t* dst = target.data();
        c.Decoder()->Decode(src, dst, static_cast<int32_t>(c.Source.size()), static_cast<int32_t>(c.Expected.size()));
        EXPECT_EQ(Bytes(target.begin(), target.begin() + static_cast<long>(c.Expected.size())), c.Expected);
        EXPECT_EQ(Bytes(target.end() - 4, target.end()), Bytes(4, 0xEE));
        EXPECT_EQ(src, source.get());
        EXPECT_EQ(dst, target.data());
    }
}

TEST(TIFFPredictor, SampleBySample) {
    struct Case {
        const char* What;
        unsigned Bits, Samples, Width;
        bool Big;
        Bytes Row, Expected;
    } cases[] = {
        {"8 bits, 1 sample", 8, 1, 3, false, {1, 1, 1}, {1, 2, 3}},
        {"8 bits, 3 samples", 8, 3, 2, false, {1, 2, 3, 1, 1, 255}, {1, 2, 3, 2, 3, 2}},
        {"8 bits, 4 samples", 8, 4, 2, false, {1, 2, 3, 4, 1, 1, 1, 1}, {1, 2, 3, 4, 2, 3, 4, 5}},
        {"8 bits, 2 samples: two apart", 8, 2, 3, false, {10, 20, 1, 2, 1, 2}, {10, 20, 11, 22, 12, 24}},
        {"16 bits little-endian: the carry", 16, 1, 2, false, {0xFF, 0x00, 0x01, 0x00}, {0xFF, 0x00, 0x00, 0x01}},
        {"16 bits big-endian, 2 samples", 16, 2, 2, true, {0x00, 0xFF, 0x10, 0x00, 0x00, 0x01, 0x00, 0x01},
         {0x00, 0xFF, 0x10, 0x00, 0x01, 0x00, 0x10, 0x01}},
        {"4 bits: bytes, within the row", 4, 1, 4, false, {0x12, 0x34}, {0x12, 0x46}},
        {"one pixel stays", 8, 3, 1, false, {5, 6, 7}, {5, 6, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Bytes row = c.Row;
        UndoHorizontalDifferencing(row.data(), row.size(), c.Width, c.Bits, c.Samples, c.Big);
        EXPECT_EQ(row, c.Expected);
    }
}

TEST(TIFFReader, PropertiesFromTheDirectory) {
    TiffFile f = Plain(2, 3, 3, Bytes(18, 0), 6);
    f.Big = true;
    f.Add(530, 3, {2, 1}).Add(282, 5, {100, 1}).Add(296, 3, {3}).Add(278, 4, {0xFFFFFFFF});
    const Bytes file = f.Build();
    ProbedTiff g;
    TReadOnlyMemoryStream stream(file.data(), file.size());
    ASSERT_TRUE(g.ReadProperties(stream, 0));
    EXPECT_EQ(g.Properties.YCbCrSubSampling, (Bytes{2, 1}));
    EXPECT_FLOAT_EQ(g.Properties.XResolution, 254.0f);
    EXPECT_EQ(g.Properties.RowsPerStrip, (TCardinalArray{3}));
    EXPECT_EQ(g.Properties.Compression, ckNone) << "no Compression tag: uncompressed";
    EXPECT_TRUE(g.Properties.Options & imBigEndian);
    EXPECT_EQ(g.IntegerValue(530, 7), 0x00020001u) << "two values: the field itself";
    EXPECT_EQ(g.FloatValue(282, 9.0f), 100.0f);
    EXPECT_FALSE(g.ReadProperties(stream, 1)) << "there is no second directory";

    f.LoopsToItself = true;
    const Bytes looping = f.Build();
    TReadOnlyMemoryStream loopStream(looping.data(), looping.size());
    EXPECT_FALSE(g.ReadProperties(loopStream, 5));
}

TEST(TIFFReader, RefusedAndInvalidFiles) {
    const std::string invalid = "Cannot load image. Invalid or unexpected TIF/TIFF image format.";
    Bytes file = Plain(2, 2, 1, Bytes(4, 9)).Add(259, 3, {5}).Build();
    EXPECT_EQ(LoadError<TTIFFGraphic>(file), "Cannot load image. The compression scheme is not supported for TIF/TIFF files.");
    file = Plain(2, 2, 1, Bytes(4, 9)).Add(259, 3, {0}).Build();
    EXPECT_EQ(LoadError<TTIFFGraphic>(file), "Cannot load image. The compression scheme is not supported for TIF/TIFF files.");
    file = Plain(2, 2, 1, Bytes(4, 9)).Build();
    file[2] = 43;
    EXPECT_EQ(LoadError<TTIFFGraphic>(file), invalid);
    file = Plain(2, 2, 1, Bytes(4, 9)).Build();
    file.resize(file.size() - 20);  // the directory's entries run past the end
    EXPECT_EQ(LoadError<TTIFFGraphic>(file), invalid);
    // A colour scheme of more samples than the pixels have is never read past the row.
    EXPECT_EQ(LoadError<TTIFFGraphic>(Plain(2, 2, 1, Bytes(4, 9), 2).Build()), gesInvalidPixelScheme);
    EXPECT_EQ(LoadError<TTIFFGraphic>(Plain(2, 2, 3, Bytes(12, 9), 5).Build()), gesInvalidPixelScheme);
}

TEST(TIFFReader, RefusalComesBeforeAnyRowAndTilesLoadEmpty) {
    for (bool tiled : {false, true}) {
        TiffFile f = Plain(2, 2, 1, Bytes(4, 9));
        if (tiled)
            f.Add(322, 3, {16}).Add(323, 3, {16});
        else
            f.Add(259, 3, {4});
        TTIFFGraphic g;
        std::vector<TProgressStage> stages;
        g.OnProgress = [&](TGraphic*, TProgressStage s, uint8_t, bool, const TRect&, const std::string&) {
            stages.push_back(s);
        };
        const Bytes file = f.Build();
        TReadOnlyMemoryStream stream(file.data(), file.size());
        if (tiled) {
            g.LoadFromStream(stream);
            EXPECT_TRUE(g.Empty());
            EXPECT_EQ(stages, std::vector<TProgressStage>{psEnding});
        } else {
            EXPECT_THROW(g.LoadFromStream(stream), EInvalidGraphic);
            EXPECT_EQ(std::count(stages.begin(), stages.end(), psRunning), 0);
            EXPECT_EQ(stages.back(), psEnding);
        }
    }
}

TEST(TIFFReader, StripsRowsAndDamagedStrips) {
    // Three rows of three grey pixels in strips of two rows; the last strip has one.
    TiffFile f = Plain(3, 3, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    f.Entries[4].Values = {8, 14};
    f.Entries[6].Values = {6, 3};
    f.Add(278, 3, {2});
    EXPECT_EQ(Pixels(*Load(f.Build())), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));

    // Planar configuration 2 is read as interleaved samples all the same.
    EXPECT_EQ(Load(Plain(1, 1, 3, {10, 20, 30}, 2).Add(284, 3, {2}).Build())->GetPixel(0, 0),
              (TRGBQuad{30, 20, 10, 255}));

    // A strip past the end of the file leaves its rows; the others load.
    f.Entries[4].Values = {8, 5000};
    EXPECT_EQ(Pixels(*Load(f.Build())), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 0, 0, 0}));

    // PackBits strips, the second without a byte count: its row is left as it was.
    TiffFile p = Plain(2, 2, 1, {1, 7, 8, 0xFF, 4});
    p.Entries[4].Values = {8, 11};
    p.Entries[6].Values = {3};
    p.Add(259, 3, {32773}).Add(278, 3, {1});
    EXPECT_EQ(Pixels(*Load(p.Build())), (std::vector<uint32_t>{7, 8, 0, 0}));
}

TEST(TIFFReader, ColourLayouts) {
    // Fill order 2 reverses the bits of uncompressed bytes too.
    EXPECT_EQ(Pixels(*Load(Plain(2, 1, 1, {0x80, 0x01}).Add(266, 3, {2}).Build())),
              (std::vector<uint32_t>{0x01, 0x80}));
    // Grey with alpha shows the grey levels, at 8 bits and at 4.
    EXPECT_EQ(Pixels(*Load(Plain(2, 1, 2, {7, 255, 9, 0}).Add(338, 3, {2}).Build())),
              (std::vector<uint32_t>{7, 9}));
    TiffFile grey4 = Plain(2, 1, 2, {0x3F, 0x50});
    grey4.Entries[2].Values = {4, 4};
    EXPECT_EQ(Pixels(*Load(grey4.Add(338, 3, {2}).Build())), (std::vector<uint32_t>{3, 5}));
    // 12-bit grey narrowed to 8 bits.
    TiffFile grey12 = Plain(2, 1, 1, {0xFF, 0xF8, 0x00});
    grey12.Entries[2].Values = {12};
    const auto g12 = Load(grey12.Build());
    EXPECT_EQ(g12->PixelFormat(), pf8bit);
    EXPECT_EQ(Pixels(*g12), (std::vector<uint32_t>{255, 127}));
    // A colour map longer than the store: its first values are used.
    std::vector<uint32_t> map(3000, 0);
    map[1] = 0xFFFF;
    const auto indexed = Load(Plain(1, 1, 1, {1}, 3).Add(320, 3, map).Build());
    EXPECT_EQ(indexed->GetPixel(0, 0), (TRGBQuad{0, 0, 255, 255}));
}

TEST(TIFFReader, PredictorOnBigEndian16BitDeflate) {
    // 0x80FF, +1 (a carry into the high byte), +0x7F00 (wrapping to 0).
    const Bytes raw = {0x80, 0xFF, 0x00, 0x01, 0x7F, 0x00};
    uLongf size = compressBound(raw.size());
    Bytes packed(size);
    ASSERT_EQ(compress(packed.data(), &size, raw.data(), raw.size()), Z_OK);
    packed.resize(size);
    TiffFile f = Plain(3, 1, 1, packed);
    f.Big = true;
    f.Entries[2].Values = {16};
    const auto g = Load(f.Add(259, 3, {8}).Add(317, 3, {2}).Build());
    EXPECT_EQ(Pixels(*g), (std::vector<uint32_t>{128, 128, 0}));  // without the carry: 127
}

TEST(EPSReader, HeaderTestsAndThePreviewOffset) {
    const Bytes tiff = Plain(2, 1, 1, {40, 50}).Build();
    auto eps = [&](int32_t offset, int32_t length) {
        testfiles::Bytes b;
        b.U32(0xC6D3D0C5).U32(0).U32(0).U32(0).U32(0).U32(static_cast<uint32_t>(offset));
        b.U32(static_cast<uint32_t>(length)).U16(0xFFFF).U16(0);
        b.Raw(tiff);
        return b.Data;
    };
    auto canRead = [](const Bytes& file) {
        TReadOnlyMemoryStream stream(file.data(), file.size());
        return TEPSGraphic::CanReadStream(stream);
    };
    EXPECT_TRUE(canRead(eps(32, int32_t(tiff.size()))));
    EXPECT_FALSE(canRead(eps(32, 0)));
    EXPECT_FALSE(canRead(eps(30, int32_t(tiff.size()))));
    const Bytes text = {'%', '!', 'P', 'S', '-', 'A', 'd', 'o', 'b', 'e', '-', '3', '.', '0', ' ', 'E', 'P', 'S',
                        'F', '-', '3', '.', '0', '\n', '%', '%', 'E', 'O', 'F', '\n', '\n'};
    EXPECT_FALSE(canRead(text));
    EXPECT_EQ(LoadError<TEPSGraphic>(text), "Cannot load image. Invalid or unexpected EPS image format.");

    // Behind other bytes: the offset counts from the header's own position.
    Bytes file(5, 'x');
    const Bytes e = eps(32, int32_t(tiff.size()));
    file.insert(file.end(), e.begin(), e.end());
    TReadOnlyMemoryStream stream(file.data(), file.size());
    stream.SetPosition(5);
    TEPSGraphic g;
    g.LoadFromStream(stream);
    EXPECT_EQ(Pixels(g), (std::vector<uint32_t>{40, 50}));
}

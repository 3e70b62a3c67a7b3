#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "color_manager.h"
#include "exceptions.h"
#include "format_registry.h"
#include "formats/psd.h"
#include "picture.h"
#include "streams.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v >> 16);
    Put16(b, v);
}

struct Doc {
    uint16_t Mode = 3, Channels = 3, Depth = 8;
    int32_t Width = 2, Height = 1;
    Bytes ColorData = {};
    const char* Signature = "8BPS";
    uint16_t Version = 1;
};

Bytes Header(const Doc& d) {
    Bytes b(d.Signature, d.Signature + 4);
    Put16(b, d.Version);
    b.insert(b.end(), 6, 0);
    Put16(b, d.Channels);
    Put32(b, uint32_t(d.Height));
    Put32(b, uint32_t(d.Width));
    Put16(b, d.Depth);
    Put16(b, d.Mode);
    return b;
}

// A document: header, its colour-mode data, image resources and layers of a few bytes each
// (which must be passed over), the compression word and the image data as given.
Bytes Psd(const Doc& d, uint16_t compression, const Bytes& data) {
    Bytes b = Header(d);
    Put32(b, uint32_t(d.ColorData.size()));
    b.insert(b.end(), d.ColorData.begin(), d.ColorData.end());
    for (int section = 0; section < 2; ++section) {
        Put32(b, 3);
        b.insert(b.end(), {'x', 'y', 'z'});
    }
    Put16(b, compression);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// PackBits data of the rows given (channel after channel), each row packed as literal runs.
Bytes PackRows(const std::vector<Bytes>& rows) {
    Bytes counts, packed;
    for (const Bytes& row : rows) {
        const size_t before = packed.size();
        for (size_t at = 0; at < row.size(); at += 128) {
            const size_t n = std::min<size_t>(128, row.size() - at);
            packed.push_back(uint8_t(n - 1));
            packed.insert(packed.end(), row.begin() + long(at), row.begin() + long(at + n));
        }
        Put16(counts, uint32_t(packed.size() - before));
    }
    counts.insert(counts.end(), packed.begin(), packed.end());
    return counts;
}

std::unique_ptr<TPSDGraphic> Load(const Bytes& file) {
    auto g = std::make_unique<TPSDGraphic>();
    TReadOnlyMemoryStream stream(file.data(), file.size());
    g->LoadFromStream(stream);
    return g;
}

std::string LoadError(const Bytes& file) {
    try {
        Load(file);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

uint32_t Rgb(const TBitmap& b, int x, int y) {
    const TRGBQuad q = b.GetPixel(x, y);
    return uint32_t(q.Red) << 16 | uint32_t(q.Green) << 8 | q.Blue;
}

}  // namespace

TEST(PsdReader, EveryModeLoadsRawAndPackedAlike) {
    const Bytes palette = [] {
        Bytes p(800, 0);  // 32 bytes more than a palette: they are passed over
        p[1] = 0x11, p[256 + 1] = 0x22, p[512 + 1] = 0x33;
        return p;
    }();
    struct Case {
        const char* Name;
        Doc D;
        std::vector<Bytes> Rows;  // row by row, channel after channel
        TPixelFormat Format;
        uint32_t First, Second;  // 0xRRGGBB of pixels (0, 0) and (1, 0)
        uint8_t Alpha = 0;       // of pixel (0, 0), for 32-bit results
    } cases[] = {
        {"bitmap", {.Mode = 0, .Channels = 1, .Depth = 1, .Width = 9}, {{0x80, 0x00}}, pf1bit, 0x000000, 0xFFFFFF},
        {"grey", {.Mode = 1, .Channels = 1}, {{10, 200}}, pf8bit, 0x0A0A0A, 0xC8C8C8},
        {"grey 16", {.Mode = 1, .Channels = 1, .Depth = 16}, {{0x12, 0x34, 0xFF, 0xFF}}, pf8bit, 0x121212, 0xFFFFFF},
        {"grey and alpha", {.Mode = 1, .Channels = 2}, {{10, 200}, {0, 0}}, pf8bit, 0x0A0A0A, 0xC8C8C8},
        {"duotone", {.Mode = 8, .Channels = 1, .ColorData = Bytes(10, 7)}, {{10, 200}}, pf8bit, 0x0A0A0A, 0xC8C8C8},
        {"indexed", {.Mode = 2, .Channels = 1, .ColorData = palette}, {{1, 0}}, pf8bit, 0x112233, 0x000000},
        {"rgb", {}, {{1, 2}, {3, 4}, {5, 6}}, pf24bit, 0x010305, 0x020406},
        {"rgba", {.Channels = 4}, {{1, 2}, {3, 4}, {5, 6}, {7, 8}}, pf32bit, 0x010305, 0x020406, 7},
        {"rgb and a spot channel", {.Channels = 5}, {{1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 9}}, pf32bit, 0x010305,
         0x020406, 7},
        {"rgb 16", {.Depth = 16}, {{1, 1, 2, 2}, {3, 3, 4, 4}, {0xFF, 0xFF, 6, 6}}, pf24bit, 0x0103FF, 0x020406},
        {"cmyk", {.Mode = 4, .Channels = 4}, {{255, 0}, {255, 255}, {255, 255}, {255, 255}}, pf24bit, 0xFFFFFF,
         0x00FFFF},
        {"cmyk 16", {.Mode = 4, .Channels = 5, .Depth = 16},
         {{255, 255, 0, 0}, {255, 255, 255, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}, {0, 0, 0, 0}},
         pf24bit, 0xFFFFFF, 0x00FFFF},
        {"lab", {.Mode = 9}, {{255, 0}, {128, 128}, {128, 128}}, pf24bit, 0xFFFFFF, 0x000000},
        {"lab and alpha", {.Mode = 9, .Channels = 4}, {{255, 0}, {128, 128}, {128, 128}, {0, 0}}, pf24bit, 0xFFFFFF,
         0x000000},
        {"multichannel", {.Mode = 7}, {{1, 2}, {3, 4}, {5, 6}}, pf24bit, 0x010305, 0x020406},
        {"multichannel of one", {.Mode = 7, .Channels = 1}, {{10, 200}}, pf8bit, 0x0A0A0A, 0xC8C8C8},
        {"multichannel of two", {.Mode = 7, .Channels = 2}, {{10, 200}, {1, 1}}, pf8bit, 0x0A0A0A, 0xC8C8C8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Bytes raw;
        for (const Bytes& row : c.Rows) raw.insert(raw.end(), row.begin(), row.end());
        for (const Bytes& file : {Psd(c.D, 0, raw), Psd(c.D, 1, PackRows(c.Rows))}) {
            auto g = Load(file);
            EXPECT_EQ(g->PixelFormat(), c.Format);
            EXPECT_EQ(g->Width(), c.D.Width);
            EXPECT_EQ(Rgb(*g, 0, 0), c.First);
            EXPECT_EQ(Rgb(*g, 1, 0), c.Second);
            if (c.Format == pf32bit) {
                EXPECT_EQ(g->GetPixel(0, 0).Alpha, c.Alpha);
            }
        }
    }
    // Colour modes without a reader keep the size and read no pixels.
    auto unknown = Load(Psd({.Mode = 5, .Width = 3, .Height = 2}, 0, {}));
    EXPECT_EQ(unknown->Width(), 3);
    EXPECT_EQ(unknown->Height(), 2);
    EXPECT_EQ(Rgb(*unknown, 2, 1), 0u);
}

TEST(PsdReader, PackedRowsNeverReachPastTheirRowOrTheirData) {
    // Single channels: each row decodes from its own bytes, a run is cut at the row's end and
    // what a row does not produce stays as it was.
    const Doc grey{.Mode = 1, .Channels = 1, .Width = 4, .Height = 3};
    Bytes data;
    for (uint32_t count : {2, 2, 5}) Put16(data, count);
    data.insert(data.end(), {0xFE, 'a', 0x81, 'b', 0x02, 'c', 'd'});  // the last row's data ends early
    auto g = Load(Psd(grey, 1, data));
    auto row = [&](int y) { return std::string(reinterpret_cast<const char*>(g->ScanLine(y)), 4); };
    EXPECT_EQ(row(0), std::string("aaa\0", 4));
    EXPECT_EQ(row(1), "bbbb");
    EXPECT_EQ(row(2), std::string("cd\0\0", 4));

    // A bitmap-mode row is (width + 7) / 8 bytes, however far its run goes.
    Bytes bits;
    Put16(bits, 2);
    bits.insert(bits.end(), {0x81, 0xFF});
    auto mono = Load(Psd({.Mode = 0, .Channels = 1, .Depth = 1, .Width = 9}, 1, bits));
    EXPECT_EQ(mono->GetRawPixel(8, 0), 1u);
    EXPECT_EQ(mono->ScanLine(0)[2], 0);

    // So do the rows of colour channels: a damaged row does not shift the channels after it.
    Bytes rgb;
    for (uint32_t count : {3, 2, 2}) Put16(rgb, count);
    rgb.insert(rgb.end(), {0x02, 10, 20, 0xFF, 30, 0x00, 40});
    auto colour = Load(Psd({}, 1, rgb));
    EXPECT_EQ(Rgb(*colour, 0, 0), 0x0A1E28u);
    EXPECT_EQ(Rgb(*colour, 1, 0), 0x141E00u);
}

TEST(PsdReader, PropertiesSignatureProgressAndRegistry) {
    const Doc cmyk{.Mode = 4, .Channels = 5, .Depth = 16, .Width = 3, .Height = 2};
    const Bytes file = Psd(cmyk, 1, {});
    TPSDGraphic g;
    TReadOnlyMemoryStream s(file.data(), file.size());
    ASSERT_TRUE(g.ReadProperties(s, 0));
    EXPECT_EQ(s.Position(), int64_t(file.size()));
    const TImageProperties& p = g.Properties;
    EXPECT_EQ(p.Width, 3);
    EXPECT_EQ(p.Height, 2);
    EXPECT_EQ(p.PixelModel, pmCMYK);
    EXPECT_EQ(p.BitsPerSample, 16);
    EXPECT_EQ(p.SamplesPerPixel, 4);
    EXPECT_EQ(p.BitsPerPixel, 64);
    EXPECT_EQ(p.ChannelCount, 5);
    EXPECT_EQ(p.Options, imBigEndian);
    EXPECT_EQ(p.Compression, ckPackBits);

    // The signature test takes any letter case and wants version 1; loading wants "8BPS".
    struct Sig {
        Doc D;
        size_t Extra;
        bool Expected;
    } sigs[] = {{{}, 1, true}, {{}, 0, false}, {{.Signature = "8bps"}, 1, true}, {{.Version = 2}, 1, false}};
    for (const Sig& sig : sigs) {
        Bytes b = Header(sig.D);
        b.insert(b.end(), sig.Extra, 0);
        TReadOnlyMemoryStream m(b.data(), b.size());
        EXPECT_EQ(TPSDGraphic::CanReadStream(m), sig.Expected);
        EXPECT_EQ(m.Position(), 0);
    }
    EXPECT_EQ(LoadError(Psd({.Signature = "8bps"}, 0, Bytes(6, 0))),
              "Cannot load image. Invalid or unexpected PSD or PDD image format.");

    // A document inside a larger stream; the phases of a colour image.
    Bytes stream = {9, 9};
    const Bytes rgb = Psd({.Width = 1, .Height = 2}, 0, {1, 2, 3, 4, 5, 6});
    stream.insert(stream.end(), rgb.begin(), rgb.end());
    TReadOnlyMemoryStream m(stream.data(), stream.size());
    m.SetPosition(2);
    std::vector<std::string> events;
    g.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t percent, bool, const TRect& r, const std::string& t) {
        events.push_back(std::to_string(stage) + ":" + std::to_string(percent) + ":" + std::to_string(r.Top) + t);
    };
    g.LoadFromStream(m);
    EXPECT_EQ(Rgb(g, 0, 1), 0x020406u);
    EXPECT_EQ(events, (std::vector<std::string>{"0:0:0Preparing...", "2:0:0", "0:0:0Loading data...", "2:0:0",
                                                "0:0:0Transfering...", "1:0:0", "1:50:1", "2:0:2"}));
    // A failure still closes the phase it happens in.
    events.clear();
    const Bytes cut(rgb.begin(), rgb.end() - 1);
    TReadOnlyMemoryStream c(cut.data(), cut.size());
    EXPECT_THROW(g.LoadFromStream(c), EReadError);
    EXPECT_EQ(events.back(), "2:0:0");

    testsupport::ScratchDir dir;
    InitializeFileFormats();
    for (const char* name : {"a.psd", "b.PDD"}) {
        testsupport::WriteFile(dir / name, rgb);
        TPicture picture;
        picture.LoadFromFile((dir / name).string());
        EXPECT_EQ(&picture.Graphic()->ClassType(), &TPSDGraphic::Class);
        EXPECT_EQ(Rgb(*picture.Bitmap(), 0, 0), 0x010305u);
    }
    FinalizeFileFormats();
}

TEST(PsdReader, BadInputGivesClearErrors) {
    const Bytes rgbData(6, 1);
    struct Case {
        Bytes File;
        std::string Message;
    } cases[] = {
        {Bytes(25, 0), SReadError},
        {Psd({.Depth = 32}, 0, Bytes(24, 0)), gesInvalidSampleDepth},
        {Psd({.Mode = 1, .Channels = 1, .Depth = 12}, 0, Bytes(3, 0)), gesInvalidSampleDepth},
        {Psd({.Channels = 0}, 0, {}), gesInvalidPixelScheme},
        {Psd({.Mode = 4, .Channels = 3}, 0, rgbData), gesInvalidPixelScheme},
        {Psd({.Mode = 9, .Channels = 2}, 0, rgbData), gesInvalidPixelScheme},
        {Psd({.Channels = 2}, 0, rgbData), SInvalidPixelFormat},
        {Psd({.Channels = 1}, 0, rgbData), gesInvalidPixelScheme},
        {Psd({.Depth = 4}, 0, rgbData), gesConversionUnsupported},
        // Raw channels must all be there, also one that is not shown.
        {Psd({.Channels = 5}, 0, Bytes(9, 0)), SReadError},
        {Psd({.Mode = 1, .Channels = 1, .Height = 2}, 0, Bytes(3, 0)), SReadError},
        {Psd({.Height = 4}, 1, Bytes(23, 0)), SReadError},  // the row counts end early
        {Psd({.Width = -1}, 0, {}), Format(SInvalidImageSize, -1, 1)},
        // Sizes the data could never fill are refused before the pixels are worked on.
        {Psd({.Width = 4096, .Height = 4096}, 1, Bytes(4096 * 6 + 100, 0)), SReadError},
        {Psd({.Mode = 1, .Channels = 1, .Width = 1 << 24}, 1, {0x01, 0x00, 0x81, 0}), SReadError},
    };
    for (const Case& c : cases) EXPECT_EQ(LoadError(c.File), c.Message);

    // Colour-mode data that ends early.
    Bytes cut = Psd({.Mode = 2, .Channels = 1, .ColorData = Bytes(700, 0)}, 0, {});
    cut.resize(26 + 4 + 100);
    EXPECT_EQ(LoadError(cut), SReadError);
}

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "color_manager.h"
#include "exceptions.h"
#include "formats/psd.h"
#include "streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, uint32_t v, int bytes) {
    for (int s = 8 * (bytes - 1); s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
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
    Put(b, d.Version, 2);
    b.insert(b.end(), 6, 0);
    Put(b, d.Channels, 2);
    Put(b, uint32_t(d.Height), 4);
    Put(b, uint32_t(d.Width), 4);
    Put(b, d.Depth, 2);
    Put(b, d.Mode, 2);
    return b;
}

// Header, colour-mode data, image resources and layers (which must be passed over), the
// compression word and the image data as given.
Bytes Psd(const Doc& d, uint16_t compression, const Bytes& data) {
    Bytes b = Header(d);
    Put(b, uint32_t(d.ColorData.size()), 4);
    b.insert(b.end(), d.ColorData.begin(), d.ColorData.end());
    for (int section = 0; section < 2; ++section) b.insert(b.end(), {0, 0, 0, 3, 'x', 'y', 'z'});
    Put(b, compression, 2);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// PackBits data of the rows given, channel after channel, each row one literal run.
Bytes PackRows(const std::vector<Bytes>& rows) {
    Bytes counts, packed;
    for (const Bytes& row : rows) {
        Put(counts, uint32_t(row.size() + 1), 2);
        packed.push_back(uint8_t(row.size() - 1));
        packed.insert(packed.end(), row.begin(), row.end());
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
    Bytes palette(800, 0);  // 32 bytes more than a palette: they are passed over
    palette[1] = 0x11, palette[256 + 1] = 0x22, palette[512 + 1] = 0x33;
    struct Case {
        const char* Name;
        Doc D;
        std::vector<Bytes> Rows;  // channel after channel
        TPixelFormat Format;
        uint32_t First, Second;  // 0xRRGGBB of pixels (0, 0) and (1, 0)
    } cases[] = {
        {"bitmap", {.Mode = 0, .Channels = 1, .Depth = 1, .Width = 9}, {{0x80, 0x01}}, pf1bit, 0x000000, 0xFFFFFF},
        {"grey 16", {.Mode = 1, .Channels = 1, .Depth = 16}, {{0x12, 0x34, 0xFF, 0xFF}}, pf8bit, 0x121212, 0xFFFFFF},
        {"grey and alpha", {.Mode = 1, .Channels = 2}, {{10, 200}, {0, 0}}, pf8bit, 0x0A0A0A, 0xC8C8C8},
        {"duotone", {.Mode = 8, .Channels = 1, .ColorData = Bytes(10, 7)}, {{10, 200}}, pf8bit, 0x0A0A0A, 0xC8C8C8},
        {"indexed", {.Mode = 2, .Channels = 1, .ColorData = palette}, {{1, 0}}, pf8bit, 0x112233, 0x000000},
        {"rgb 16", {.Depth = 16}, {{1, 1, 2, 2}, {3, 3, 4, 4}, {0xFF, 0xFF, 6, 6}}, pf24bit, 0x0103FF, 0x020406},
        {"rgb and two more", {.Channels = 5}, {{1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 9}}, pf32bit, 0x010305, 0x020406},
        {"cmyk", {.Mode = 4, .Channels = 4}, {{255, 0}, {255, 255}, {255, 255}, {255, 255}}, pf24bit, 0xFFFFFF,
         0x00FFFF},
        {"lab and alpha", {.Mode = 9, .Channels = 4}, {{255, 0}, {128, 128}, {128, 128}, {0, 0}}, pf24bit, 0xFFFFFF,
         0x000000},
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
            EXPECT_EQ(Rgb(*g, 0, 0), c.First);
            EXPECT_EQ(Rgb(*g, 1, 0), c.Second);
        }
    }
    EXPECT_EQ(Load(Psd({.Channels = 4}, 0, {1, 2, 3, 4, 5, 6, 7, 8}))->GetPixel(1, 0).Alpha, 8);
    // Colour modes without a reader keep the size and read no pixels.
    auto unknown = Load(Psd({.Mode = 5, .Width = 3, .Height = 2}, 0, {}));
    EXPECT_EQ(unknown->Width(), 3);
    EXPECT_EQ(Rgb(*unknown, 2, 1), 0u);
}

TEST(PsdReader, PackedRowsNeverReachPastTheirRowOrTheirData) {
    // Each row decodes from its own bytes, a run is cut at the row's end and what a row does
    // not produce stays as it was.
    Bytes grey = {0, 2, 0, 2, 0, 5, 0xFE, 'a', 0x81, 'b', 0x02, 'c', 'd'};  // the last row ends early
    auto g = Load(Psd({.Mode = 1, .Channels = 1, .Width = 4, .Height = 3}, 1, grey));
    auto row = [&](int y) { return std::string(reinterpret_cast<const char*>(g->ScanLine(y)), 4); };
    EXPECT_EQ(row(0), std::string("aaa\0", 4));
    EXPECT_EQ(row(1), "bbbb");
    EXPECT_EQ(row(2), std::string("cd\0\0", 4));
    // A bitmap-mode row is (width + 7) / 8 bytes, however far its run goes.
    auto mono = Load(Psd({.Mode = 0, .Channels = 1, .Depth = 1, .Width = 9}, 1, {0, 2, 0x81, 0xFF}));
    EXPECT_EQ(mono->GetRawPixel(8, 0), 1u);
    EXPECT_EQ(mono->ScanLine(0)[2], 0);
    // A damaged row of a colour channel does not shift the channels after it.
    auto colour = Load(Psd({}, 1, {0, 3, 0, 2, 0, 2, 0x02, 10, 20, 0xFF, 30, 0x00, 40}));
    EXPECT_EQ(Rgb(*colour, 0, 0), 0x0A1E28u);
    EXPECT_EQ(Rgb(*colour, 1, 0), 0x141E00u);
}

TEST(PsdReader, PropertiesSignatureAndProgress) {
    const Bytes cmyk = Psd({.Mode = 4, .Channels = 5, .Depth = 16, .Width = 3, .Height = 2}, 1, {});
    TPSDGraphic g;
    TReadOnlyMemoryStream s(cmyk.data(), cmyk.size());
    ASSERT_TRUE(g.ReadProperties(s, 0));
    EXPECT_EQ(s.Position(), int64_t(cmyk.size()));
    const TImageProperties& p = g.Properties;
    EXPECT_EQ(std::vector<int>({p.Width, p.Height, p.PixelModel, p.BitsPerSample, p.SamplesPerPixel,
                                p.BitsPerPixel, p.ChannelCount, p.Options, p.Compression}),
              std::vector<int>({3, 2, pmCMYK, 16, 4, 64, 5, imBigEndian, ckPackBits}));

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

    // A document inside a larger stream; the phases of a colour image, also of a failing one.
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
    events.clear();
    TReadOnlyMemoryStream cut(rgb.data(), rgb.size() - 1);
    EXPECT_THROW(g.LoadFromStream(cut), EReadError);
    EXPECT_EQ(events, (std::vector<std::string>{"0:0:0Preparing...", "2:0:0", "0:0:0Loading data...", "2:0:0"}));
}

TEST(PsdReader, BadInputGivesClearErrors) {
    const Bytes six(6, 1);
    Bytes cutPalette = Psd({.Mode = 2, .Channels = 1, .ColorData = Bytes(700, 0)}, 0, {});
    cutPalette.resize(130);
    struct Case {
        Bytes File;
        std::string Message;
    } cases[] = {
        {Bytes(25, 0), SReadError},
        {cutPalette, SReadError},
        {Psd({.Depth = 32}, 0, Bytes(24, 0)), gesInvalidSampleDepth},
        {Psd({.Mode = 1, .Channels = 1, .Depth = 12}, 0, six), gesInvalidSampleDepth},
        {Psd({.Channels = 0}, 0, {}), gesInvalidPixelScheme},
        {Psd({.Channels = 1}, 0, six), gesInvalidPixelScheme},
        {Psd({.Channels = 2}, 0, six), SInvalidPixelFormat},
        {Psd({.Mode = 4, .Channels = 3}, 0, six), gesInvalidPixelScheme},
        {Psd({.Depth = 4}, 0, six), gesConversionUnsupported},
        {Psd({.Width = -1}, 0, {}), Format(SInvalidImageSize, -1, 1)},
        // Raw channels must all be there, also one that is not shown; so must the row counts.
        {Psd({.Channels = 5}, 0, Bytes(9, 0)), SReadError},
        {Psd({.Height = 4}, 1, Bytes(23, 0)), SReadError},
        // Sizes the data could never fill are refused before the pixels are worked on.
        {Psd({.Width = 4096, .Height = 4096}, 1, Bytes(4096 * 6 + 100, 0)), SReadError},
        {Psd({.Mode = 1, .Channels = 1, .Width = 1 << 24}, 1, {0x01, 0x00, 0x81, 0}), SReadError},
    };
    for (const Case& c : cases) EXPECT_EQ(LoadError(c.File), c.Message);
}

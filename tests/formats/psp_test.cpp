#include <gtest/gtest.h>

#include <zlib.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "exceptions.h"
#include "file_builder.h"
#include "formats/psp.h"
#include "streams.h"

namespace {

using testfiles::Bytes;
using Data = std::vector<uint8_t>;

struct Channel {
    uint16_t Type;
    Data Raw;                   // the rows as stored before compression
    int64_t Uncompressed = -1;  // the length the block states; -1: the raw size
};

struct Layer {
    uint8_t Type = 0;
    std::vector<Channel> Channels;
    bool InnerBlock = false;  // a block between the layer's two chunks, as newer files have
    uint16_t Missing = 0;     // channels counted that are not there
};

struct Psp {
    uint16_t Major = 5;
    uint32_t Width = 2, Height = 3;
    uint16_t Depth = 8, Compression = 0;
    double Resolution = 72;
    uint8_t Unit = 1;
    std::vector<uint32_t> Palette;  // 0xRRGGBB; no palette block when empty
    std::vector<std::vector<Layer>> Banks;
    bool CutLastChannel = false;  // the file ends halfway through the last channel's data
};

Data Packed(const Psp& f, const Data& raw) {
    Data out;
    if (f.Compression == 1) {
        for (uint8_t b : raw) out.insert(out.end(), {1, b});
    } else if (f.Compression == 2) {
        uLongf size = compressBound(uLong(raw.size()));
        out.resize(size);
        compress2(out.data(), &size, raw.data(), uLong(raw.size()), 9);
        out.resize(size);
    } else {
        out = raw;
    }
    return out;
}

Data Block(const Psp& f, uint16_t id, const Data& payload) {
    Bytes b;
    b.U8('~').U8('B').U8('K').U8(0).U16(id);
    if (f.Major == 3) b.U32(uint32_t(payload.size()));
    return b.U32(uint32_t(payload.size())).Raw(payload).Data;
}

Data Build(const Psp& f) {
    Bytes file;
    const std::string sig = "Paint Shop Pro Image File\n\x1a";
    file.Raw(Data(sig.begin(), sig.end())).Raw(Data(32 - sig.size(), 0)).U16(f.Major).U16(0);
    Bytes a;
    if (f.Major >= 4) a.U32(46);
    uint64_t res;
    std::memcpy(&res, &f.Resolution, 8);
    a.U32(f.Width).U32(f.Height).U32(uint32_t(res)).U32(uint32_t(res >> 32)).U8(f.Unit);
    a.U16(f.Compression).U16(f.Depth).U16(1).U32(256).U8(0).U32(0).U32(0).U16(1).U32(1);
    file.Raw(Block(f, 0, a.Data));
    if (!f.Palette.empty()) {
        Bytes p;
        if (f.Major >= 4) p.U32(8);
        p.U32(uint32_t(f.Palette.size()));
        for (uint32_t c : f.Palette) p.U8(c).U8(c >> 8).U8(c >> 16).U8(0);
        file.Raw(Block(f, 2, p.Data));
    }
    size_t lastPacked = 0;
    for (const std::vector<Layer>& layers : f.Banks) {
        Bytes bank;
        for (const Layer& layer : layers) {
            Bytes l;
            Data info(115, 0);
            info[0] = layer.Type;
            if (f.Major == 3) {
                l.Raw(Data(256, 'n')).Raw(info).U16(1).U16(uint16_t(layer.Channels.size() + layer.Missing));
            } else {
                l.U32(4 + 2 + 4 + 115 + 3).U16(4).Raw({'n', 'a', 'm', 'e'}).Raw(info).Raw({9, 9, 9});
                if (layer.InnerBlock) l.Raw(Block(f, 33, Data(20, 0)));
                l.U32(8).U16(1).U16(uint16_t(layer.Channels.size() + layer.Missing));
            }
            for (const Channel& c : layer.Channels) {
                const Data packed = Packed(f, c.Raw);
                Bytes ch;
                if (f.Major >= 4) ch.U32(16);
                ch.U32(uint32_t(packed.size())).U32(uint32_t(c.Uncompressed < 0 ? c.Raw.size() : c.Uncompressed));
                l.Raw(Block(f, 5, ch.U16(0).U16(c.Type).Raw(packed).Data));
                lastPacked = packed.size();
            }
            bank.Raw(Block(f, 4, l.Data));
        }
        file.Raw(Block(f, 3, bank.Data));
    }
    if (f.CutLastChannel) file.Data.resize(file.Data.size() - lastPacked / 2);
    return file.Data;
}

Psp Indexed(const std::vector<Channel>& channels, uint16_t compression = 0) {
    Psp f;
    f.Compression = compression;
    f.Banks = {{{0, channels}}};
    return f;
}

// Every pixel's raw value, rows top to bottom (indices, or 0xAARRGGBB at 32 bits).
std::vector<uint32_t> Pixels(const TBitmap& b) {
    std::vector<uint32_t> out;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) out.push_back(b.GetRawPixel(x, y));
    return out;
}

}  // namespace

TEST(PSPRunLength, PacketsStopAtTheEndOfInputAndOutput) {
    struct Case {
        Data Packed;
        int32_t OutputSize;
        std::string Expected;  // untouched bytes read '.'
    } cases[] = {
        {{0x85, 0x10}, 8, "\x10\x10\x10\x10\x10..."},
        {{0x80, 'x', 0x00, 0x02, 'a', 'b'}, 4, "ab.."},   // empty run, empty literal
        {{0x90, 'x', 0x01, 'y'}, 4, "xxxx"},              // a run past the end stops there
        {{0x05, 'a', 'b', 'c', 'd', 'e'}, 3, "abc"},      // so does a literal
        {{0x04, 'a', 'b'}, 4, "ab.."},                    // a literal the input cuts short
        {{0x01, 'a', 0x85}, 4, "a..."},                   // a run without its byte
    };
    for (const Case& c : cases) {
        std::string out(c.OutputSize + 2, '.');
        const uint8_t* source = c.Packed.data();
        uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
        TPSPRLEDecoder decoder;
        decoder.Decode(source, dest, int32_t(c.Packed.size()), c.OutputSize);
        EXPECT_EQ(out, c.Expected + "..") << c.Expected;
        EXPECT_EQ(source, c.Packed.data());
        EXPECT_EQ(dest, reinterpret_cast<uint8_t*>(out.data()));
    }
}

TEST(PSPGraphic, SignatureAndProperties) {
    Psp f;
    f.Depth = 24;
    f.Unit = 2;  // per centimetre
    f.Resolution = 100;
    f.Compression = 3;
    Data file = Build(f);
    for (size_t i = 0; i < 25; ++i) file[i] = uint8_t(std::toupper(file[i]));
    std::fill(file.begin() + 25, file.begin() + 32, 0xEE);
    TReadOnlyMemoryStream stream(file.data(), file.size()), exact(file.data(), 36), oneMore(file.data(), 37);
    EXPECT_FALSE(TPSPGraphic::CanReadStream(exact));
    EXPECT_TRUE(TPSPGraphic::CanReadStream(oneMore));
    TPSPGraphic g;
    ASSERT_TRUE(g.ReadProperties(stream, 0));
    EXPECT_EQ(stream.Position(), 36 + 10 + 46);  // the end of the attributes block
    EXPECT_EQ(g.Properties.Version, 5u);
    EXPECT_FLOAT_EQ(g.Properties.XResolution, 254);
    EXPECT_FLOAT_EQ(g.Properties.YResolution, 254);
    EXPECT_EQ(g.Properties.BitsPerPixel, 24);
    EXPECT_EQ(g.Properties.Compression, ckUnknown);
    file[32] = 2;  // version 2
    EXPECT_FALSE(TPSPGraphic::CanReadStream(oneMore));
}

TEST(PSPGraphic, FourChannelsGiveAThirtyTwoBitBitmapWithTheCompositeAsAlpha) {
    Psp f;
    f.Depth = 24;
    f.Width = f.Height = 1;
    f.Compression = 1;
    f.Banks = {{{0, {{1, {0x10}}, {2, {0x20}}, {3, {0x30}}, {0, {0x80}}}}}};
    TPSPGraphic g;
    std::vector<std::string> phases;
    g.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t, bool, const TRect&, const std::string& m) {
        if (stage == psStarting) phases.push_back(m);
    };
    ASSERT_NO_THROW(testfiles::LoadInto(g, Build(f)));
    EXPECT_EQ(g.PixelFormat(), pf32bit);
    EXPECT_EQ(Pixels(g), std::vector<uint32_t>{0x80102030});
    EXPECT_EQ(phases, (std::vector<std::string>{"Preparing...", "Loading data...", "Transfering..."}));
}

TEST(PSPGraphic, RefusedFilesGiveTheirMessages) {
    auto with = [](auto change) {
        Psp f = Indexed({{0, {1, 2, 3, 4, 5, 6}}});
        change(f);
        return Build(f);
    };
    EXPECT_EQ(testfiles::LoadError<TPSPGraphic>(with([](Psp& f) { f.Major = 2; })), Format(gesInvalidImage, "PSP"));
    for (uint16_t depth : {16, 264})  // 264 has 8 in its low byte
        EXPECT_EQ(testfiles::LoadError<TPSPGraphic>(with([&](Psp& f) { f.Depth = depth; })),
                  Format(gesInvalidColorFormat, "PSP"));
    EXPECT_EQ(testfiles::LoadError<TPSPGraphic>(with([](Psp& f) { f.Compression = 3; })),
              Format(gesUnsupportedFeature, gesCompression, "PSP"));
    // A size that the rest of the file cannot fill one channel of, even deflated.
    EXPECT_EQ(testfiles::LoadError<TPSPGraphic>(with([](Psp& f) { f.Width = f.Height = 20000; })), SReadError);
    EXPECT_EQ(testfiles::LoadPrefixError<TPSPGraphic>(with([](Psp&) {}), 60), SReadError);  // in the attributes
}

// Layouts the format's writers do not make, or that damage leaves: each loads what it holds.
TEST(PSPGraphic, DamagedLayoutsLoadWhatTheyHold) {
    const Data rows = {1, 2, 3, 4, 5, 6};  // three rows of two pixels
    const std::vector<uint32_t> all = {1, 2, 3, 4, 5, 6};
    struct Case {
        const char* What;
        std::vector<Channel> Channels;
        std::vector<uint32_t> Pixels;
        bool Cut = false;  // where deflate data is cut, what is left of it is zlib's matter
    } cases[] = {
        {"a channel of a kind not kept comes first", {{9, Data(9, 9)}, {0, rows}}, all},
        {"a grey layer's mask after its composite channel", {{0, rows}, {0, Data(6, 0xFF)}}, all},
        {"a channel shorter than the image", {{0, {1, 2, 3}}}, {1, 2, 3, 0, 0, 0}},
        {"a channel longer than the image", {{0, {1, 2, 3, 4, 5, 6, 7, 8}}}, all},
        {"a channel stating more than it holds", {{0, rows, 1000}}, all},
        {"a channel stating less than it holds", {{0, rows, 2}}, {1, 2, 0, 0, 0, 0}},
        {"a file that ends in a channel's data, before the next", {{5, {}}, {0, rows}}, {1, 2, 3, 0, 0, 0}, true},
    };
    for (const Case& c : cases)
        for (uint16_t compression : {0, 1, 2}) {
            Psp f = Indexed(c.Channels, compression);
            f.Banks[0][0].Missing = c.Cut;
            f.CutLastChannel = c.Cut;
            TPSPGraphic g;
            ASSERT_NO_THROW(testfiles::LoadInto(g, Build(f))) << c.What;
            if (compression != 2 || !c.Cut) {
                EXPECT_EQ(Pixels(g), c.Pixels) << c.What << ", compression " << compression;
            }
        }
}

TEST(PSPGraphic, PalettesLayersAndBanksBeyondTheFirst) {
    Psp f;
    f.Width = f.Height = 1;
    for (uint32_t i = 0; i < 300; ++i) f.Palette.push_back(i < 256 ? i : 0xFFFFFF);
    // A layer of type 2 is passed over; the next has a block inside it; later ones are not shown.
    f.Banks = {{{2, {{0, {1}}}}, {0, {{0, {255}}}, true}, {0, {{0, {7}}}}}, {{0, {{0, {3}}}}}};
    TPSPGraphic g;
    ASSERT_NO_THROW(testfiles::LoadInto(g, Build(f)));
    EXPECT_EQ(Pixels(g), std::vector<uint32_t>{255});
    EXPECT_EQ(g.Palette().Count(), 256);
    EXPECT_EQ(g.Palette()[255], (TPaletteEntry{0, 0, 255, 0}));
    // Version 3 takes only layers of type 0.
    f.Major = 3;
    f.Banks = {{{1, {{0, {1}}}}, {0, {{0, {9}}}}}};
    ASSERT_NO_THROW(testfiles::LoadInto(g, Build(f)));
    EXPECT_EQ(Pixels(g), std::vector<uint32_t>{9});
}

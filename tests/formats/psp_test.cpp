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
    Data Raw;                      // the rows as stored before compression
    int64_t Uncompressed = -1;     // the length the block states; -1: the raw size
    bool Truncate = false;         // the file ends halfway through this channel's data
};

struct Layer {
    uint8_t Type = 0;
    std::vector<Channel> Channels;
    bool InnerBlock = false;  // a block between the layer's two chunks, as newer files have
};

struct Psp {
    uint16_t Major = 5;
    uint32_t Width = 1, Height = 1;
    uint16_t Depth = 8, Compression = 0;
    bool Grey = false;
    double Resolution = 72;
    uint8_t Unit = 1;
    std::vector<uint32_t> Palette;  // 0xRRGGBB; no palette block when empty
    std::vector<Layer> Layers;
    std::vector<Layer> SecondBank;  // a second layer bank when not empty
};

Data RunLength(const Data& raw) {
    Data out;
    for (size_t i = 0; i < raw.size();) {
        size_t run = 1;
        while (i + run < raw.size() && run < 127 && raw[i + run] == raw[i]) ++run;
        if (run >= 2) {
            out.insert(out.end(), {uint8_t(128 + run), raw[i]});
            i += run;
        } else {
            out.insert(out.end(), {1, raw[i]});
            ++i;
        }
    }
    return out;
}

Data Deflated(const Data& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    Data out(size);
    compress2(out.data(), &size, raw.data(), uLong(raw.size()), 9);
    out.resize(size);
    return out;
}

Bytes Block(const Psp& f, uint16_t id, const Data& payload) {
    Bytes b;
    b.U8('~').U8('B').U8('K').U8(0).U16(id);
    if (f.Major == 3) b.U32(uint32_t(payload.size()));
    return b.U32(uint32_t(payload.size())).Raw(payload);
}

// A file of the given layout; with truncate set, it ends halfway through that channel's data.
Data Build(const Psp& f) {
    Bytes file;
    const char sig[] = "Paint Shop Pro Image File\n\x1a";
    file.Raw(Data(sig, sig + sizeof sig - 1)).Raw(Data(32 - (sizeof sig - 1), 0)).U16(f.Major).U16(0);

    Bytes a;
    if (f.Major >= 4) a.U32(46);
    uint64_t res;
    std::memcpy(&res, &f.Resolution, 8);
    a.U32(f.Width).U32(f.Height).U32(uint32_t(res)).U32(uint32_t(res >> 32)).U8(f.Unit);
    a.U16(f.Compression).U16(f.Depth).U16(1).U32(256).U8(f.Grey).U32(0).U32(0).U16(1).U32(1);
    file.Raw(Block(f, 0, a.Data).Data);

    if (!f.Palette.empty()) {
        Bytes p;
        if (f.Major >= 4) p.U32(8);
        p.U32(uint32_t(f.Palette.size()));
        for (uint32_t c : f.Palette) p.U8(c).U8(c >> 8).U8(c >> 16).U8(0);
        file.Raw(Block(f, 2, p.Data).Data);
    }

    size_t cutAt = 0;
    for (const std::vector<Layer>* layers : {&f.Layers, &f.SecondBank}) {
    if (layers->empty()) continue;
    Bytes bank;
    for (const Layer& layer : *layers) {
        Bytes l;
        if (f.Major == 3) {
            Data info(115, 0);
            info[0] = layer.Type;
            l.Raw(Data(256, 'n')).Raw(info).U16(1).U16(uint16_t(layer.Channels.size()));
        } else {
            Data info(115, 0);
            info[0] = layer.Type;
            l.U32(4 + 2 + 4 + 115 + 3).U16(4).Raw({'n', 'a', 'm', 'e'}).Raw(info).Raw({9, 9, 9});
            if (layer.InnerBlock) l.Raw(Block(f, 33, Data(20, 0)).Data);
            l.U32(8).U16(1).U16(uint16_t(layer.Channels.size()));
        }
        for (const Channel& c : layer.Channels) {
            const Data packed = f.Compression == 1 ? RunLength(c.Raw) : f.Compression == 2 ? Deflated(c.Raw) : c.Raw;
            Bytes ch;
            if (f.Major >= 4) ch.U32(16);
            ch.U32(uint32_t(packed.size())).U32(uint32_t(c.Uncompressed < 0 ? c.Raw.size() : c.Uncompressed));
            ch.U16(0).U16(c.Type);
            if (c.Truncate) cutAt = file.Data.size() + bank.Data.size() + l.Data.size() + (f.Major == 3 ? 14 : 10) * 3 +
                                    ch.Data.size() + packed.size() / 2;
            l.Raw(Block(f, 5, ch.Raw(packed).Data).Data);
        }
        bank.Raw(Block(f, 4, l.Data).Data);
    }
    file.Raw(Block(f, 3, bank.Data).Data);
    }
    if (cutAt) file.Data.resize(cutAt);
    return file.Data;
}

std::string Load(TPSPGraphic& g, const Data& file) {
    TReadOnlyMemoryStream stream(file.data(), file.size());
    try {
        g.LoadFromStream(stream);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

// The raw pixels of row y as numbers (indices, or 0xRRGGBB / 0xAARRGGBB from 24/32 bits).
std::vector<uint32_t> Row(const TBitmap& b, int y) {
    std::vector<uint32_t> out;
    for (int x = 0; x < b.Width(); ++x) out.push_back(b.GetRawPixel(x, y));
    return out;
}

// Packs indices of the depth into a stored row of rowSize bytes, most significant bits first.
Data PackRow(const std::vector<uint8_t>& indices, int depth, size_t rowSize) {
    Data row(rowSize, 0);
    for (size_t x = 0; x < indices.size(); ++x) {
        const size_t bit = x * depth;
        row[bit / 8] |= uint8_t(indices[x] << (8 - depth - bit % 8));
    }
    return row;
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
    f.Unit = 2;
    f.Resolution = 100;
    f.Compression = 3;
    Data file = Build(f);
    for (size_t i = 0; i < 25; ++i) file[i] = uint8_t(std::toupper(file[i]));
    std::fill(file.begin() + 25, file.begin() + 32, 0xEE);
    Data shifted = {1, 2, 3};
    shifted.insert(shifted.end(), file.begin(), file.end());
    TReadOnlyMemoryStream stream(shifted.data(), shifted.size());
    stream.SetPosition(3);
    EXPECT_TRUE(TPSPGraphic::CanReadStream(stream));
    EXPECT_EQ(stream.Position(), 3);

    TPSPGraphic g;
    ASSERT_TRUE(g.ReadProperties(stream, 0));
    EXPECT_EQ(stream.Position(), 3 + 36 + 10 + 46);  // at the end of the attributes block
    EXPECT_EQ(g.Properties.Version, 5u);
    EXPECT_FLOAT_EQ(g.Properties.XResolution, 254);
    EXPECT_FLOAT_EQ(g.Properties.YResolution, 254);
    EXPECT_EQ(g.Properties.PixelModel, pmRGB);
    EXPECT_EQ(g.Properties.BitsPerPixel, 24);
    EXPECT_EQ(g.Properties.Compression, ckUnknown);

    Data old = file;
    old[32] = 2;  // version 2
    TReadOnlyMemoryStream oldStream(old.data(), old.size());
    EXPECT_FALSE(TPSPGraphic::CanReadStream(oldStream));
    TReadOnlyMemoryStream exact(file.data(), 36);
    EXPECT_FALSE(TPSPGraphic::CanReadStream(exact));
    TReadOnlyMemoryStream oneMore(file.data(), 37);
    EXPECT_TRUE(TPSPGraphic::CanReadStream(oneMore));
}

TEST(PSPGraphic, EveryDepthAndCompressionInBothLayouts) {
    // Width 10: a 4-bit row takes 6 bytes, a 1-bit row 2.
    const uint32_t width = 10, height = 3;
    for (uint16_t major : {3, 5})
        for (uint16_t compression : {0, 1, 2})
            for (uint16_t depth : {1, 4, 8, 24}) {
                SCOPED_TRACE("version " + std::to_string(major) + " compression " + std::to_string(compression) +
                             " depth " + std::to_string(depth));
                Psp f;
                f.Major = major;
                f.Compression = compression;
                f.Depth = depth;
                f.Width = width;
                f.Height = height;
                f.Palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
                Layer layer;
                std::vector<std::vector<uint32_t>> expected;
                if (depth == 24) {
                    Channel planes[3] = {{1, {}}, {2, {}}, {3, {}}};
                    for (uint32_t y = 0; y < height; ++y) {
                        expected.emplace_back();
                        for (uint32_t x = 0; x < width; ++x) {
                            const uint8_t r = uint8_t(x * 20), g = uint8_t(y * 50), b = uint8_t(x < 5 ? 7 : 200);
                            planes[0].Raw.push_back(r);
                            planes[1].Raw.push_back(g);
                            planes[2].Raw.push_back(b);
                            expected.back().push_back(uint32_t(r) << 16 | g << 8 | b);
                        }
                    }
                    layer.Channels.assign(planes, planes + 3);
                } else {
                    const size_t rowSize = depth == 1 ? (width + 7) / 8 : depth == 4 ? width / 2 + 1 : width;
                    Channel composite{0, {}};
                    for (uint32_t y = 0; y < height; ++y) {
                        std::vector<uint8_t> indices;
                        for (uint32_t x = 0; x < width; ++x) indices.push_back(uint8_t((x + y) % (depth == 1 ? 2 : 4)));
                        const Data row = PackRow(indices, depth, rowSize);
                        composite.Raw.insert(composite.Raw.end(), row.begin(), row.end());
                        expected.emplace_back(indices.begin(), indices.end());
                    }
                    layer.Channels = {composite};
                }
                f.Layers = {layer};
                TPSPGraphic g;
                ASSERT_EQ(Load(g, Build(f)), "");
                EXPECT_EQ(g.PixelFormat(), depth == 1 ? pf1bit : depth == 4 ? pf4bit : depth == 8 ? pf8bit : pf24bit);
                for (uint32_t y = 0; y < height; ++y) EXPECT_EQ(Row(g, int(y)), expected[y]) << "row " << y;
                if (depth == 4 || depth == 8) {
                    EXPECT_EQ(g.GetPixel(2, 0).Green, 255);  // palette entry 2
                }
            }
}

TEST(PSPGraphic, FourChannelsGiveAThirtyTwoBitBitmapWithTheCompositeAsAlpha) {
    Psp f;
    f.Depth = 24;
    f.Width = 2;
    f.Compression = 1;
    f.Layers = {{0, {{1, {0x10, 0x11}}, {2, {0x20, 0x21}}, {3, {0x30, 0x31}}, {0, {0xFF, 0x80}}}}};
    TPSPGraphic g;
    std::vector<std::string> phases;
    g.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t, bool, const TRect&, const std::string& m) {
        if (stage == psStarting) phases.push_back(m);
    };
    ASSERT_EQ(Load(g, Build(f)), "");
    EXPECT_EQ(g.PixelFormat(), pf32bit);
    EXPECT_EQ(Row(g, 0), (std::vector<uint32_t>{0xFF102030, 0x80112131}));
    EXPECT_EQ(phases, (std::vector<std::string>{"Preparing...", "Loading data...", "Transfering..."}));
}

TEST(PSPGraphic, RefusedFilesGiveTheirMessages) {
    Psp good;
    good.Layers = {{0, {{0, {7}}}}};
    struct Case {
        const char* What;
        Psp File;
        std::string Message;
    } cases[] = {
        {"version 2", [&] { Psp f = good; f.Major = 2; return f; }(), Format(gesInvalidImage, "PSP")},
        {"depth 16", [&] { Psp f = good; f.Depth = 16; return f; }(), Format(gesInvalidColorFormat, "PSP")},
        {"depth 264, 8 in its low byte", [&] { Psp f = good; f.Depth = 264; return f; }(),
         Format(gesInvalidColorFormat, "PSP")},
        {"compression 3", [&] { Psp f = good; f.Compression = 3; return f; }(),
         Format(gesUnsupportedFeature, gesCompression, "PSP")},
        {"a size the rest of the file cannot fill",
         [&] { Psp f = good; f.Width = f.Height = 20000; f.Compression = 2; return f; }(), SReadError},
    };
    for (const Case& c : cases) {
        TPSPGraphic g;
        EXPECT_EQ(Load(g, Build(c.File)), c.Message) << c.What;
    }
    TPSPGraphic g;
    const Data file = Build(good);
    EXPECT_EQ(Load(g, Data(file.begin(), file.begin() + 60)), SReadError);  // inside the attributes
}

// Layouts the format's writers do not make, or that damage leaves: each loads what it holds.
TEST(PSPGraphic, DamagedLayoutsLoadWhatTheyHold) {
    const Data rows = {1, 2, 3, 4, 5, 6};  // three rows of two pixels
    auto indexed = [&](std::vector<Channel> channels) {
        Psp f;
        f.Width = 2;
        f.Height = 3;
        f.Layers = {{0, channels}};
        return f;
    };
    struct Case {
        const char* What;
        Psp File;
        std::vector<uint32_t> Pixels;  // all rows, top to bottom
        bool DeflatedToo = true;       // where deflate data is cut, what is left of it is zlib's matter
    } cases[] = {
        {"a channel of a kind the reader does not keep comes first",
         indexed({{9, {9, 9, 9, 9, 9, 9, 9, 9, 9}}, {0, rows}}), {1, 2, 3, 4, 5, 6}},
        {"a grey layer's mask after its composite channel", indexed({{0, rows}, {0, {0xFF, 0xFF, 0xFF}}}),
         {1, 2, 3, 4, 5, 6}},
        {"a channel shorter than the image", indexed({{0, {1, 2, 3}}}), {1, 2, 3, 0, 0, 0}},
        {"a channel whose data the file cuts short", indexed({{0, rows, -1, true}, {1, rows}}), {1, 2, 3, 0, 0, 0}, false},
        {"a channel longer than the image", indexed({{0, {1, 2, 3, 4, 5, 6, 7, 8}}}), {1, 2, 3, 4, 5, 6}},
        {"a channel stating more than it holds", indexed({{0, rows, 1000}}), {1, 2, 3, 4, 5, 6}},
        {"a channel stating less than it holds", indexed({{0, rows, 2}}), {1, 2, 0, 0, 0, 0}},
    };
    for (Case& c : cases)
        for (uint16_t compression : {0, 1, 2}) {
            c.File.Compression = compression;
            TPSPGraphic g;
            ASSERT_EQ(Load(g, Build(c.File)), "") << c.What;
            std::vector<uint32_t> pixels;
            for (int y = 0; y < g.Height(); ++y)
                for (uint32_t v : Row(g, y)) pixels.push_back(v);
            if (compression != 2 || c.DeflatedToo) {
                EXPECT_EQ(pixels, c.Pixels) << c.What << ", compression " << compression;
            }
        }
}

TEST(PSPGraphic, PalettesLayersAndBanksBeyondTheFirst) {
    Psp f;
    f.Width = 1;
    for (uint32_t i = 0; i < 300; ++i) f.Palette.push_back(i < 256 ? i : 0xFFFFFF);
    f.Layers = {{2, {{0, {1}}}}, {0, {{0, {255}}}, true}, {0, {{0, {7}}}}};  // a layer passed over first
    f.SecondBank = {{0, {{0, {3}}}}};
    TPSPGraphic g;
    ASSERT_EQ(Load(g, Build(f)), "");
    EXPECT_EQ(g.GetRawPixel(0, 0), 255u);  // the first layer taken, found past the block inside it
    EXPECT_EQ(g.Palette().Count(), 256);
    EXPECT_EQ(g.Palette()[255], (TPaletteEntry{0, 0, 255, 0}));
    // Version 3 takes only layers of type 0.
    f.Major = 3;
    f.Layers = {{1, {{0, {1}}}}, {0, {{0, {9}}}}};
    ASSERT_EQ(Load(g, Build(f)), "");
    EXPECT_EQ(g.GetRawPixel(0, 0), 9u);
}

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "color_manager.h"
#include "exceptions.h"
#include "file_builder.h"
#include "formats/rla.h"
#include "sgi_rla_files.h"
#include "streams.h"

namespace {

using sgirlafiles::Bytes;
using sgirlafiles::RLAFile;
using sgirlafiles::RLALayout;
using testfiles::LoadError;

uint8_t Value(int c, int y, int x) { return static_cast<uint8_t>(17 + c * 60 + y * 9 + (x / 2) * 5); }

// Stored rows whose samples have Value(c, y, x) as their top 8 bits; wider samples carry the
// column in their low bits and are stored as byte planes, the most significant first.
std::vector<std::vector<Bytes>> Rows(int w, int h, int channels, int bits = 8) {
    std::vector<std::vector<Bytes>> rows(static_cast<size_t>(h));
    for (int y = 0; y < h; ++y)
        for (int c = 0; c < channels; ++c) {
            Bytes high, low;
            for (int x = 0; x < w; ++x) {
                const int s = bits > 8 ? Value(c, y, x) << (bits - 8) | (x & ((1 << (bits - 8)) - 1)) : Value(c, y, x);
                high.push_back(static_cast<uint8_t>(bits > 8 ? s >> 8 : s));
                low.push_back(static_cast<uint8_t>(s));
            }
            if (bits > 8) high.insert(high.end(), low.begin(), low.end());
            rows[static_cast<size_t>(y)].push_back(high);
        }
    return rows;
}

std::unique_ptr<TRLAGraphic> Load(const Bytes& file) {
    auto rla = std::make_unique<TRLAGraphic>();
    testfiles::LoadInto(*rla, file);
    return rla;
}

}  // namespace

TEST(RLADecoder, CountsRepeatOrCopyWithinTheOutputAndTheInput) {
    struct Case {
        int Room;
        Bytes Packed;
        std::string Out;  // the room and two guard bytes; untouched bytes read '.'
        long Consumed;
    } cases[] = {
        {3, {0x02, 0x40}, "@@@..", 2},
        {2, {0xFE, 1, 2}, "\1\2..", 3},
        {4, {0x00, 'a', 0xFF, 'b', 0x01, 'c'}, "abcc..", 6},
        {3, {0x7F, 'a'}, "aaa..", 2},            // a run cut at the end of the room
        {2, {0xFD, 'a', 'b', 'c'}, "ab..", 3},   // a literal cut there
        {5, {0xFC, 'a', 'b'}, "ab.....", 3},     // a literal the input ends in
        {3, {0x00, 'a', 0x05}, "a....", 3},      // a run without its byte
        {0, {0x00, 'a'}, "..", 0},
    };
    for (const Case& c : cases) {
        TRLADecoder decoder;
        std::string out(c.Out.size(), '.');
        const uint8_t* source = c.Packed.data();
        uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
        decoder.Decode(source, dest, int32_t(c.Packed.size()), c.Room);
        EXPECT_EQ(out, c.Out);
        EXPECT_EQ(source - c.Packed.data(), c.Consumed) << c.Out;
        EXPECT_EQ(dest - reinterpret_cast<uint8_t*>(out.data()), long(c.Out.find_last_not_of('.') + 1)) << c.Out;
    }
}

TEST(RLAReader, WindowRowOrderMatteAndChannelDepths) {
    struct Case {
        const char* Name;
        RLALayout Layout;
        int Width, Height;
        bool BottomUp;
    } cases[] = {
        {"bottom-up, left 10", {.Left = 10, .Right = 14, .Bottom = 0, .Top = 2}, 5, 3, true},
        {"top-down", {.Right = 3, .Bottom = 1, .Top = 0}, 4, 2, false},
        {"matte", {.Right = 6, .Top = 2, .Mattes = 1}, 7, 3, true},
        {"upper-case type", {.Right = 2, .Top = 1, .Type = "RGB"}, 3, 2, true},
        {"16-bit with matte", {.Right = 8, .Top = 1, .Mattes = 1, .Bits = 16}, 9, 2, true},
        {"10-bit", {.Right = 4, .Top = 3, .Bits = 10}, 5, 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const bool matte = c.Layout.Mattes == 1;
        const int channels = matte ? 4 : 3;
        auto rla = Load(RLAFile(c.Layout, Rows(c.Width, c.Height, channels, c.Layout.Bits)));
        const TImageProperties& p = rla->Properties;
        EXPECT_EQ(p.Options, imBigEndian);
        EXPECT_EQ(p.Compression, ckRLE);
        EXPECT_EQ(p.BottomUp, c.BottomUp);
        EXPECT_EQ(p.SamplesPerPixel, channels);
        EXPECT_EQ(p.PixelModel, matte ? pmRGBA : pmRGB);
        EXPECT_EQ(rla->PixelFormat(), matte ? pf32bit : pf24bit);
        ASSERT_EQ(rla->Width(), c.Width);
        ASSERT_EQ(rla->Height(), c.Height);
        for (int y = 0; y < c.Height; ++y)
            for (int x = 0; x < c.Width; ++x)
                EXPECT_EQ(rla->GetPixel(x, c.BottomUp ? c.Height - 1 - y : y),
                          (TRGBQuad{Value(2, y, x), Value(1, y, x), Value(0, y, x),
                                    matte ? Value(3, y, x) : uint8_t(255)}));
    }
}

TEST(RLAReader, GammaTextSwitchesCorrectionOnOnlyForANumberOtherThanOne) {
    struct Case {
        const char* Text;
        float Gamma;
        bool Applied;
    } cases[] = {{"2.2", 2.2f, true}, {"", 1, false}, {"abc", 1, false}, {" 1.0 ", 1, false},
                 {"1e0", 1, false},   {"2.2x", 1, false}, {"+1.8", 1.8f, true},
                 {"0.0", 1, false},   {"-2", 1, false}};  // unknown gammas: no correction
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        auto rla = Load(RLAFile({.Right = 3, .Gamma = c.Text}, Rows(4, 1, 3)));
        EXPECT_FLOAT_EQ(rla->Properties.Gamma, c.Gamma);
        EXPECT_EQ((rla->Properties.Options & imUseGamma) != 0, c.Applied);
        const double exponent = c.Applied ? 1.0 / (c.Gamma * 2.2) : 1.0;
        for (int x = 0; x < 4; ++x)
            EXPECT_NEAR(rla->GetPixel(x, 0).Green, std::pow(Value(1, 0, x) / 255.0, exponent) * 255, 0.51);
    }
}

TEST(RLAReader, RefusalsDamageAndSignature) {
    auto error = [](RLALayout l) { return LoadError<TRLAGraphic>(RLAFile(l, Rows(4, 2, 4))); };
    EXPECT_EQ(error({.Right = 3, .Top = 1, .Type = "abc"}), gesConversionUnsupported);
    EXPECT_EQ(error({.Right = 3, .Top = 1, .Colors = 2}), gesInvalidPixelScheme);
    EXPECT_EQ(error({.Right = 3, .Top = 1, .Mattes = 2}), gesInvalidPixelScheme);
    EXPECT_EQ(error({.Right = 3, .Top = 1, .Bits = 32}), gesInvalidSampleDepth);
    // "xyz" is not read: no error, and nothing to show.
    EXPECT_TRUE(Load(RLAFile({.Right = 3, .Top = 1, .Type = "xyz"}, Rows(4, 2, 3)))->Empty());

    // The header, the offset table and every channel's count must be there.
    const RLALayout plain{.Right = 3, .Top = 1};
    const Bytes file = RLAFile(plain, Rows(4, 2, 3));
    for (size_t cut : {size_t(739), size_t(740 + 7), size_t(740 + 8 + 1)})
        EXPECT_EQ(testfiles::LoadPrefixError<TRLAGraphic>(file, cut), SReadError) << cut;

    // A channel shorter than the row leaves the rest black, not the row before.
    auto rows = Rows(4, 2, 3);
    rows[1][0].resize(1);
    auto shortRed = Load(RLAFile(plain, rows));
    EXPECT_EQ(shortRed->GetPixel(0, 0), (TRGBQuad{Value(2, 1, 0), Value(1, 1, 0), Value(0, 1, 0), 255}));
    EXPECT_EQ(shortRed->GetPixel(3, 0), (TRGBQuad{Value(2, 1, 3), Value(1, 1, 3), 0, 255}));

    // More than the header must remain; the revision and the channel type decide.
    for (const auto& [layout, size, accepted] :
         {std::tuple{plain, size_t(741), true}, {plain, size_t(740), false}, {{.Type = "XyZ"}, size_t(741), true},
          {{.Type = "rgba"}, size_t(741), false}, {{.Revision = 0}, size_t(741), false}}) {
        const Bytes data = RLAFile(layout, Rows(4, 1, 3));
        TReadOnlyMemoryStream stream(data.data(), size);
        EXPECT_EQ(TRLAGraphic::CanReadStream(stream), accepted) << layout.Type << " " << size;
        EXPECT_EQ(stream.Position(), 0);
    }
}

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "color_manager.h"
#include "exceptions.h"
#include "file_builder.h"
#include "formats/sgi.h"
#include "sgi_rla_files.h"
#include "streams.h"

namespace {

using sgirlafiles::Bytes;
using sgirlafiles::SGIFile;
using sgirlafiles::SGILayout;
using testfiles::LoadError;

// Samples with runs and literals alike; 16-bit samples have a zero low byte at times, where
// narrowing by the high byte and by v / 257 part.
uint16_t Sample(int c, int y, int x, int bps) {
    const int v = ((x / 2) * 37 + y * 71 + c * 53) % 256;
    return static_cast<uint16_t>(bps == 1 ? v : v << 8 | (x % 3 ? 0x80 : 0));
}

std::vector<uint16_t> Samples(const SGILayout& l) {
    std::vector<uint16_t> s;
    for (int c = 0; c < l.Channels; ++c)
        for (int y = 0; y < l.Height; ++y)
            for (int x = 0; x < l.Width; ++x) s.push_back(Sample(c, y, x, l.BytesPerSample));
    return s;
}

}  // namespace

TEST(SGIRLE, PacketsAreBoundedByTheRowAndTheInput) {
    struct Case {
        int Bits, Samples;
        Bytes Packed;
        std::string Row;  // the row and two guard samples; untouched bytes read '.'
        long Consumed;
    } cases[] = {
        {8, 5, {0x83, 'a', 'b', 'c', 0x02, 'd', 0x00}, "abcdd..", 6},
        {8, 4, {0x02, 'a', 0x00, 'z'}, "aa....", 3},             // a zero count ends the row
        {8, 2, {0x80, 'a'}, "....", 1},                          // so does a literal of none
        {8, 3, {0x7F, 'a'}, "aaa..", 2},                         // a run cut at the row's end
        {8, 2, {0x85, 'a', 'b', 'c', 'd', 'e'}, "ab..", 3},      // a literal cut there
        {8, 5, {0x85, 'a', 'b'}, "ab.....", 3},                  // a literal the input ends in
        {8, 3, {0x01, 'q', 0x03}, "q....", 3},                   // a run without its value
        {16, 3, {0, 0x82, 1, 2, 3, 4, 0x12, 0x01, 5, 6, 0, 0}, "\1\2\3\4\5\6....", 10},
        {16, 2, {0x7F, 0x02, 'x', 'y'}, "xyxy....", 4},         // only the count's low byte counts
        {16, 2, {0, 0x82, 1, 2, 3}, "\1\2......", 4},            // half a sample is not copied
        {24, 2, {0x02, 'a'}, "..........", 0},                    // no such sample size: nothing
    };
    for (const Case& c : cases) {
        TSGIRLEDecoder decoder(c.Bits);
        std::string row(c.Row.size(), '.');
        const uint8_t* source = c.Packed.data();
        uint8_t* dest = reinterpret_cast<uint8_t*>(row.data());
        decoder.Decode(source, dest, int32_t(c.Packed.size()), c.Samples);
        EXPECT_EQ(row, c.Row) << c.Bits << " bits, " << c.Row;
        EXPECT_EQ(source - c.Packed.data(), c.Consumed) << c.Row;
        EXPECT_EQ(dest - reinterpret_cast<uint8_t*>(row.data()), long(c.Row.find_last_not_of('.') + 1)) << c.Row;
    }
}

TEST(SGIReader, EveryLayoutLoadsBottomUpFromWhereTheStreamStands) {
    for (int channels = 1; channels <= 4; ++channels)
        for (int bps : {1, 2})
            for (int variant = 0; variant < 3; ++variant) {
                const SGILayout l{.Width = 9, .Height = 3, .Channels = channels, .BytesPerSample = bps,
                                  .RunLength = variant == 2, .Storage = uint8_t(variant == 1 ? 2 : 0)};
                SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(bps) + " bytes, variant " +
                             std::to_string(variant));
                // Offsets count from where the file starts, not from the stream's start.
                Bytes data = {'j', 'u', 'n', 'k'};
                const Bytes file = SGIFile(l, Samples(l));
                data.insert(data.end(), file.begin(), file.end());
                TReadOnlyMemoryStream stream(data.data(), data.size());
                stream.SetPosition(4);
                TSGIGraphic sgi;
                sgi.LoadFromStream(stream);

                const TImageProperties& p = sgi.Properties;
                EXPECT_EQ(p.Options, imBigEndian);
                EXPECT_EQ(p.BitsPerSample, bps * 8);
                EXPECT_EQ(p.SamplesPerPixel, channels);
                EXPECT_EQ(p.PixelModel, channels == 3 ? pmRGB : channels == 4 ? pmRGBA : pmIndexed);
                EXPECT_EQ(p.Compression, variant == 2 ? ckRLE : ckNone);
                EXPECT_EQ(sgi.PixelFormat(), channels == 3 ? pf24bit : channels == 4 ? pf32bit : pf8bit);
                ASSERT_EQ(sgi.Width(), 9);
                ASSERT_EQ(sgi.Height(), 3);
                // Colour goes through the colour manager (v / 257); grey keeps the high byte and
                // shows through a grey ramp.
                auto narrow = [&](int c, int y, int x) {
                    const int v = Sample(c, y, x, bps);
                    return uint8_t(bps == 1 ? v : channels >= 3 ? v / 257 : v >> 8);
                };
                for (int y = 0; y < 3; ++y)
                    for (int x = 0; x < 9; ++x) {
                        const uint8_t r = narrow(0, y, x);
                        const uint8_t a = channels == 4 ? narrow(3, y, x) : uint8_t(255);
                        const TRGBQuad expected = channels < 3 ? TRGBQuad{r, r, r, 255}
                                                               : TRGBQuad{narrow(2, y, x), narrow(1, y, x), r, a};
                        EXPECT_EQ(sgi.GetPixel(x, 2 - y), expected) << x << "," << y;
                    }
            }
}

TEST(SGIReader, DataThatEndsEarlyOrRunsAwayLeavesOnlyItsOwnPixelsBlack) {
    // Plain grey rows cut in the second stored row: the first row is whole, the second has
    // what arrived, the third stays black.
    const SGILayout grey{.Width = 4, .Height = 3};
    Bytes cut = SGIFile(grey, Samples(grey));
    cut.resize(512 + 6);
    TSGIGraphic a;
    testfiles::LoadInto(a, cut);
    EXPECT_EQ(a.GetRawPixel(3, 2), unsigned(Sample(0, 0, 3, 1)));
    EXPECT_EQ(a.GetRawPixel(1, 1), unsigned(Sample(0, 1, 1, 1)));
    EXPECT_EQ(a.GetRawPixel(2, 1), 0u);
    EXPECT_EQ(a.GetRawPixel(0, 0), 0u);

    // Run-length colour rows: the red data of stored row 1 lies past the end, and the packets
    // of stored row 0's green run on past its width into nothing.
    const SGILayout rgb{.Width = 4, .Height = 2, .Channels = 3, .RunLength = true};
    Bytes file = SGIFile(rgb, std::vector<uint16_t>(24, 0x40));
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) file[at + i] = uint8_t(v >> (24 - 8 * i));
    };
    put32(512 + 4 * 1, 0x00FFFFFF);       // offset of red, stored row 1
    put32(512 + 24 + 4 * 2, 0xFFFFFFFF);  // length of green, stored row 0
    file.insert(file.end(), {0x7F, 0x20, 0x7F, 0x20});
    put32(512 + 4 * 2, uint32_t(file.size() - 4));  // green, stored row 0: two runs of 127
    TSGIGraphic b;
    testfiles::LoadInto(b, file);
    EXPECT_EQ(b.GetPixel(3, 1), (TRGBQuad{0x40, 0x20, 0x40, 255}));
    EXPECT_EQ(b.GetPixel(0, 0), (TRGBQuad{0x40, 0x40, 0, 255}));  // red missing, not row 0's
}

TEST(SGIReader, RefusalsSignatureAndProgress) {
    const SGILayout rgb{.Width = 2, .Height = 2, .Channels = 3};
    const Bytes good = SGIFile(rgb, Samples(rgb));
    auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes file = good;
        std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
        return file;
    };
    Bytes shortTable =
        SGIFile({.Width = 2, .Height = 300, .Channels = 3, .RunLength = true}, std::vector<uint16_t>(1800));
    shortTable.resize(512 + 900 * 8 - 1);
    EXPECT_EQ(LoadError<TSGIGraphic>(with(0, {0x01, 0xDB})), Format(gesInvalidImage, "sgi, bw or rgb(a)"));
    EXPECT_EQ(LoadError<TSGIGraphic>(Bytes(good.begin(), good.begin() + 511)), SReadError);
    EXPECT_EQ(LoadError<TSGIGraphic>(shortTable), SReadError);
    EXPECT_EQ(LoadError<TSGIGraphic>(with(3, {3})), gesInvalidSampleDepth);
    EXPECT_EQ(LoadError<TSGIGraphic>(with(11, {5})), gesInvalidPixelScheme);
    EXPECT_EQ(LoadError<TSGIGraphic>(with(6, {0xFF, 0xFF, 0xFF, 0xFF, 0, 4})),
              Format(SImageTooLarge, 65535, 65535));

    // More than the header must remain; the sample size and the dimension decide.
    for (const auto& [file, size, accepted] :
         {std::tuple{good, good.size(), true}, {good, size_t(512), false}, {with(3, {3}), good.size(), false},
          {with(5, {4}), good.size(), false}}) {
        TReadOnlyMemoryStream stream(file.data(), size);
        EXPECT_EQ(TSGIGraphic::CanReadStream(stream), accepted) << size << " " << int(file[3]) << int(file[5]);
        EXPECT_EQ(stream.Position(), 0);
    }

    // Both phases end at 100 percent, the last also when the load fails.
    auto phases = [](const Bytes& data) {
        std::string log;
        TSGIGraphic sgi;
        sgi.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t percent, bool, const TRect&,
                             const std::string& message) {
            log += "SRE"[stage] + std::to_string(percent) + message + " ";
        };
        try {
            testfiles::LoadInto(sgi, data);
        } catch (const Exception&) {
            log += "failed";
        }
        return log;
    };
    EXPECT_EQ(phases(good), "S0Preparing... E100 S0Transfering... R0 R50 E100 ");
    EXPECT_EQ(phases(with(3, {3})), "S0Preparing... E100 failed");
}

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "color_manager.h"
#include "exceptions.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Description {
    TPixelModel Source, Target;
    int SourceBits = 8, TargetBits = 8;
    TConversionFlags SourceFlags = 0, TargetFlags = 0;
};

void Describe(TColorManager& cm, const Description& d) {
    cm.SetSourceModel(d.Source);
    cm.SetTargetModel(d.Target);
    cm.SetSourceSampleBits(d.SourceBits);
    cm.SetTargetSampleBits(d.TargetBits);
    cm.SetSourceFlags(d.SourceFlags);
    cm.SetTargetFlags(d.TargetFlags);
}

// Converts one row into a copy of target and answers it.
Bytes Convert(TColorManager& cm, std::initializer_list<const void*> sources, int32_t count, Bytes target,
              uint8_t mask = 0xFF) {
    cm.ConvertLine(sources, target.data(), count, mask);
    return target;
}

// 16-bit samples as the host stores them, and back.
Bytes Words(std::initializer_list<uint16_t> values) {
    Bytes bytes(values.size() * 2);
    std::memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
}
std::vector<uint16_t> AsWords(const Bytes& bytes) {
    std::vector<uint16_t> words(bytes.size() / 2);
    std::memcpy(words.data(), bytes.data(), words.size() * 2);
    return words;
}

template <class Fn>
std::string MessageOf(Fn&& fn) {
    try {
        fn();
    } catch (const EColorConversionError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

// --- description and selection -------------------------------------------------------------------

TEST(ColorManagerDescription, RangesAndBitmapFormats) {
    TColorManager cm;
    EXPECT_EQ(MessageOf([&] { cm.SetSourceSampleBits(0); }), gesInvalidSampleDepth);
    // A 16-bit field value of a file must not wrap into a valid depth.
    EXPECT_EQ(MessageOf([&] { cm.SetTargetSampleBits(264); }), gesInvalidSampleDepth);
    EXPECT_EQ(MessageOf([&] { cm.SetTargetSampleCount(5); }), gesInvalidPixelScheme);
    EXPECT_EQ(MessageOf([&] { cm.SetSourceSampleCount(0); }), gesInvalidPixelScheme);

    struct Case {
        int Count, Bits;
        TPixelFormat Format;
    } cases[] = {{1, 1, pf1bit},   {1, 2, pf4bit},   {1, 5, pfCustom}, {1, 16, pf8bit}, {3, 5, pf15bit},
                 {3, 16, pf24bit}, {4, 8, pf32bit}, {4, 4, pfCustom}, {2, 8, pfCustom}};
    for (const auto& c : cases) {
        cm.SetTargetSampleCount(c.Count);
        cm.SetTargetSampleBits(c.Bits);
        EXPECT_EQ(cm.TargetBitmapFormat(), c.Format) << c.Count << " x " << c.Bits;
    }
}

TEST(ColorManagerSelection, UnsupportedCombinationsRaiseAtTheFirstRow) {
    const uint8_t src[8] = {};
    struct Case {
        Description D;
        const char* Message;
    } cases[] = {
        {{pmIndexed, pmBGR}, gesIndexedNotSupported},
        {{pmRGB, pmGray}, gesIndexedNotSupported},
        {{pmGray, pmGrayAlpha}, gesIndexedNotSupported},  // a gray-alpha target is not indexed
        {{pmCMY, pmBGR}, gesConversionUnsupported},
        {{pmCMYK, pmGrayAlpha}, gesConversionUnsupported},
        {{pmGray, pmGray, 16, 4}, gesConversionUnsupported},
    };
    for (const auto& c : cases) {
        TColorManager cm;
        Describe(cm, c.D);  // describing raises nothing
        Bytes target(8, 0);
        EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, target.data(), 1, 0xFF); }), c.Message);
        EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, target.data(), 1, 0xFF); }), c.Message);  // still
        EXPECT_EQ(target, Bytes(8, 0));
    }
}

TEST(ColorManagerSelection, TooFewPlanesForTheSchemeAreRefused) {
    TColorManager cm;
    Describe(cm, {pmRGBA, pmBGRA});
    const uint8_t r[2] = {}, g[2] = {}, b[2] = {};
    uint8_t dst[8] = {};
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({r, g, b}, dst, 2, 0xFF); }), gesInvalidPixelScheme);
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({r, nullptr, b, g}, dst, 2, 0xFF); }), gesInvalidPixelScheme);
}

// --- the pixel mask ------------------------------------------------------------------------------

TEST(ColorManagerMask, CountZeroAndSparseMasks) {
    TColorManager cm;
    Describe(cm, {pmRGB, pmBGR});
    const uint8_t src[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(Convert(cm, {src}, 0, Bytes(6, 0xEE)), Bytes(6, 0xEE));

    // 0x80: only target pixels 0, 8 and 16 of 17 are written, from source pixels 0, 1 and 2.
    Bytes expected(17 * 3, 0xEE);
    for (size_t s = 0; s < 3; ++s) {
        expected[s * 24] = src[s * 3 + 2];
        expected[s * 24 + 1] = src[s * 3 + 1];
        expected[s * 24 + 2] = src[s * 3];
    }
    EXPECT_EQ(Convert(cm, {src}, 17, Bytes(17 * 3, 0xEE), 0x80), expected);

    // Packed pixels: skipped ones keep their target bits.
    Describe(cm, {pmIndexed, pmIndexed, 1, 1});
    const uint8_t ones[1] = {0xFF}, zeros[1] = {0};
    EXPECT_EQ(Convert(cm, {ones}, 16, Bytes(2, 0), 0x55), (Bytes{0x55, 0x55}));
    EXPECT_EQ(Convert(cm, {zeros}, 8, Bytes(1, 0xFF), 0x88), (Bytes{0x77}));
}

// --- the RGB family ------------------------------------------------------------------------------

TEST(ColorManagerRGB, ExchangesRedAndBlueOnEveryRowLength) {
    // Rows of every length up to 13 run both the multi-pixel words and the single pixels.
    struct Case {
        TPixelModel Source, Target;
        size_t SourceSamples, TargetSamples;
    } cases[] = {{pmRGB, pmBGR, 3, 3}, {pmRGBA, pmBGRA, 4, 4}, {pmBGRA, pmRGB, 4, 3}, {pmBGR, pmRGBA, 3, 4}};
    for (const auto& c : cases)
        for (size_t n = 1; n <= 13; ++n) {
            Bytes src(n * c.SourceSamples), expected(n * c.TargetSamples + 1, 0x5A);
            for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + 1);
            for (size_t i = 0; i < n; ++i) {
                for (size_t k = 0; k < 3; ++k) expected[i * c.TargetSamples + k] = src[i * c.SourceSamples + 2 - k];
                if (c.SourceSamples == 4 && c.TargetSamples == 4) expected[i * 4 + 3] = src[i * 4 + 3];
            }
            TColorManager cm;
            Describe(cm, {c.Source, c.Target});
            EXPECT_EQ(Convert(cm, {src.data()}, static_cast<int32_t>(n), Bytes(expected.size(), 0x5A)), expected)
                << n << " pixels";
        }
}

TEST(ColorManagerRGB, AlphaIsDroppedKeptOrLeftAlone) {
    const uint8_t rgba[8] = {10, 20, 30, 40, 50, 60, 70, 80}, rgb[6] = {10, 20, 30, 50, 60, 70};
    TColorManager cm;
    Describe(cm, {pmRGBA, pmBGR});
    EXPECT_EQ(Convert(cm, {rgba}, 2, Bytes(6)), (Bytes{30, 20, 10, 70, 60, 50}));
    Describe(cm, {pmRGBA, pmBGRA});
    EXPECT_EQ(Convert(cm, {rgba}, 2, Bytes(8)), (Bytes{30, 20, 10, 40, 70, 60, 50, 80}));
    Describe(cm, {pmRGB, pmBGRA});
    EXPECT_EQ(Convert(cm, {rgb}, 2, Bytes{0, 0, 0, 0xAA, 0, 0, 0, 0xBB}), (Bytes{30, 20, 10, 0xAA, 70, 60, 50, 0xBB}));

    // Planar rows, through the fast loop and, masked, through the general one.
    const uint8_t r[2] = {1, 2}, g[2] = {3, 4}, b[2] = {5, 6}, a[2] = {7, 8};
    Describe(cm, {pmRGBA, pmRGBA});
    EXPECT_EQ(Convert(cm, {r, g, b, a}, 2, Bytes(8)), (Bytes{1, 3, 5, 7, 2, 4, 6, 8}));
    Describe(cm, {pmRGB, pmBGRA});
    EXPECT_EQ(Convert(cm, {r, g, b}, 2, Bytes(8, 0xAA)), (Bytes{5, 3, 1, 0xAA, 6, 4, 2, 0xAA}));
    EXPECT_EQ(Convert(cm, {r, g, b}, 2, Bytes(8, 0xAA), 0x40), (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 5, 3, 1, 0xAA}));
}

TEST(ColorManagerRGB, SixteenBitSamplesNarrowByTruncationAndWidenBack) {
    TColorManager cm;
    Describe(cm, {pmRGB, pmRGB, 16, 8});
    auto words = Words({0xFFFF, 0x0101, 0x0100});
    EXPECT_EQ(Convert(cm, {words.data()}, 1, Bytes(3)), (Bytes{255, 1, 0}));

    // Stored bytes 00 FF are 0x00FF once swapped: 0. FF 00 gives 0xFF00: 254.
    Describe(cm, {pmRGB, pmRGB, 16, 8, cfSwapBytes});
    const uint8_t stored[6] = {0x00, 0xFF, 0xFF, 0x00, 0x01, 0x01};
    EXPECT_EQ(Convert(cm, {stored}, 1, Bytes(3)), (Bytes{0, 254, 1}));

    // Alpha narrows too, at an odd address, on the fast path and on the masked one.
    Describe(cm, {pmRGBA, pmBGRA, 16, 8, cfSwapBytes});
    const uint8_t row[9] = {0xCC, 0x12, 0x34, 0x80, 0x00, 0xFF, 0xFF, 0x01, 0x01};
    const Bytes pixel{255, 0x8000 / 257, 0x1234 / 257, 1};
    EXPECT_EQ(Convert(cm, {row + 1}, 1, Bytes(4)), pixel);
    Bytes masked = Convert(cm, {row + 1}, 2, Bytes(8), 0x40);
    EXPECT_EQ(Bytes(masked.begin() + 4, masked.end()), pixel);

    Describe(cm, {pmBGR, pmRGB, 8, 16});
    const uint8_t bytes[3] = {0x01, 0x80, 0xFF};
    EXPECT_EQ(AsWords(Convert(cm, {bytes}, 1, Bytes(6))), (std::vector<uint16_t>{0xFFFF, 0x8080, 0x0101}));
    Describe(cm, {pmRGBA, pmRGBA, 16, 16, cfSwapBytes});
    auto four = Words({0x1234, 0x5678, 0x9ABC, 0xDEF0});
    EXPECT_EQ(AsWords(Convert(cm, {four.data()}, 1, Bytes(8))),
              (std::vector<uint16_t>{0x3412, 0x7856, 0xBC9A, 0xF0DE}));
}

TEST(ColorManagerRGB, GammaAppliesToColourNotToAlpha) {
    TColorManager cm;
    // round((v / 255)^(1 / 2.2) * 255) for the default gamma pair: 64 -> 136, 128 -> 186, 200 -> 228
    Describe(cm, {pmRGBA, pmBGRA, 8, 8, 0, cfGamma});
    const uint8_t src[4] = {64, 128, 200, 128};
    EXPECT_EQ(Convert(cm, {src}, 1, Bytes(4)), (Bytes{228, 186, 136, 128}));
    // 16-bit samples are narrowed first, then corrected.
    Describe(cm, {pmRGB, pmRGB, 16, 8, 0, cfGamma});
    auto words = Words({64 * 257, 128 * 257, 200 * 257});
    EXPECT_EQ(Convert(cm, {words.data()}, 1, Bytes(3)), (Bytes{136, 186, 228}));
}

// --- indexed and gray ----------------------------------------------------------------------------

TEST(ColorManagerPacked, RescalesAndCopies) {
    TColorManager cm;
    // 2-bit indices 0..3 become 0, 5, 10, 15; the unused low nibble of the last byte is kept.
    Describe(cm, {pmIndexed, pmIndexed, 2, 4});
    const uint8_t two[2] = {0x1B, 0xC0};
    EXPECT_EQ(Convert(cm, {two}, 5, Bytes{0, 0, 0x0F}), (Bytes{0x05, 0xAF, 0xFF}));
    // 8-bit gray to 1 bit: only 255 sets the bit.
    Describe(cm, {pmGray, pmGray, 8, 1});
    const uint8_t gray[9] = {255, 254, 0, 255, 255, 128, 255, 0, 255};
    EXPECT_EQ(Convert(cm, {gray}, 9, Bytes(2)), (Bytes{0x9A, 0x80}));
    // Samples crossing byte boundaries: 3 bits to 8.
    Describe(cm, {pmGray, pmGray, 3, 8});
    const uint8_t three[2] = {0x29, 0xC0};  // 001 010 011 100
    EXPECT_EQ(Convert(cm, {three}, 4, Bytes(4)), (Bytes{255 / 7, 2 * 255 / 7, 3 * 255 / 7, 4 * 255 / 7}));
    // Equal depths copy whole bytes and no more.
    Describe(cm, {pmIndexed, pmIndexed, 4, 4});
    const uint8_t nibbles[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(Convert(cm, {nibbles}, 5, Bytes{0, 0, 0, 0xEE}), (Bytes{0x12, 0x34, 0x56, 0xEE}));
}

TEST(ColorManagerPacked, SixteenBitIndices) {
    TColorManager cm;
    auto words = Words({0xFFFF, 0x0101, 0x0100});
    Describe(cm, {pmIndexed, pmIndexed, 16, 8});
    EXPECT_EQ(Convert(cm, {words.data()}, 3, Bytes(3)), (Bytes{255, 1, 0}));
    Describe(cm, {pmIndexed, pmIndexed, 16, 4});
    EXPECT_EQ(Convert(cm, {words.data()}, 3, Bytes(2)), (Bytes{0xF0, 0x00}));
    Describe(cm, {pmIndexed, pmIndexed, 16, 16, cfSwapBytes});
    EXPECT_EQ(AsWords(Convert(cm, {words.data()}, 3, Bytes(6))), (std::vector<uint16_t>{0xFFFF, 0x0101, 0x0001}));
    // 3-bit 1 is 65535 / 7 = 9362 (0x2492), stored swapped.
    Describe(cm, {pmIndexed, pmIndexed, 3, 16, cfSwapBytes});
    const uint8_t packed[1] = {0x3C};  // 001 111
    EXPECT_EQ(AsWords(Convert(cm, {packed}, 2, Bytes(4))), (std::vector<uint16_t>{0x9224, 0xFFFF}));
}

TEST(ColorManagerGray, NarrowsWidensAndSkipsAlpha) {
    TColorManager cm;
    auto words = Words({0xFFFF, 0x0101, 0x0100});
    Describe(cm, {pmGray, pmGray, 16, 8});
    EXPECT_EQ(Convert(cm, {words.data()}, 3, Bytes(3)), (Bytes{255, 1, 0}));
    Describe(cm, {pmGray, pmGray, 16, 8, cfSwapBytes});
    const uint8_t stored[4] = {0x00, 0xFF, 0xFF, 0x00};
    EXPECT_EQ(Convert(cm, {stored}, 2, Bytes(2)), (Bytes{0, 254}));
    Describe(cm, {pmGray, pmGray, 8, 16});
    const uint8_t bytes[2] = {0x80, 0xFF};
    EXPECT_EQ(AsWords(Convert(cm, {bytes}, 2, Bytes(4))), (std::vector<uint16_t>{0x8080, 0xFFFF}));

    // Interleaved, the alpha sample is passed over; planar, the gray plane has one sample per pixel.
    Describe(cm, {pmGrayAlpha, pmIndexed});
    const uint8_t ga[6] = {10, 200, 20, 201, 30, 202}, plane[3] = {40, 50, 60}, alpha[3] = {1, 2, 3};
    EXPECT_EQ(Convert(cm, {ga}, 3, Bytes(3)), (Bytes{10, 20, 30}));
    EXPECT_EQ(Convert(cm, {plane, alpha}, 3, Bytes(3)), (Bytes{40, 50, 60}));
}

// --- CMYK, L*a*b*, YCbCr ---------------------------------------------------------------------------

TEST(ColorManagerCMYK, ConvertsByTheInkFormulas) {
    TColorManager cm;
    // C 100, M 50, Y 0, K 20: red 255 - (100 + 20 - 2000 / 255) = 142, green 188, blue 235.
    Describe(cm, {pmCMYK, pmBGR});
    const uint8_t cmyk[8] = {100, 50, 0, 20, 0, 0, 0, 255};
    EXPECT_EQ(Convert(cm, {cmyk}, 2, Bytes(6)), (Bytes{235, 188, 142, 0, 0, 0}));
    // Four planes, RGB order, a target alpha left alone.
    const uint8_t c[1] = {100}, m[1] = {50}, y[1] = {0}, k[1] = {20};
    Describe(cm, {pmCMYK, pmRGBA});
    EXPECT_EQ(Convert(cm, {c, m, y, k}, 1, Bytes{0, 0, 0, 0x77}), (Bytes{142, 188, 235, 0x77}));

    // 16 bits, X 32768 and K 16384: t = 8192; 255 - 40960 * 255 / 65535 = 96 at 8 bits,
    // 65535 - 32768 - 16384 + 8192 = 24575 at 16 bits. Y 0 gives 255 - 63 and 65535 - 16384.
    auto words = Words({32768, 32768, 0, 16384});
    Describe(cm, {pmCMYK, pmBGR, 16, 8});
    EXPECT_EQ(Convert(cm, {words.data()}, 1, Bytes(3)), (Bytes{192, 96, 96}));
    Describe(cm, {pmCMYK, pmBGR, 16, 16});
    EXPECT_EQ(AsWords(Convert(cm, {words.data()}, 1, Bytes(6))), (std::vector<uint16_t>{49151, 24575, 24575}));
}

TEST(ColorManagerLab, ConvertsByTheCIEFormulas) {
    TColorManager cm;
    struct Case {
        TConversionFlags Flags;
        uint8_t L, A, B;
        Bytes BGR;
    } cases[] = {
        {0, 50, 0, 0, {47, 47, 47}},                                   // neutral
        {cfLabOffsetChroma, 60, 148, 98, {141, 62, 80}},               // a* 20, b* -30
        {0, 5, 10, static_cast<uint8_t>(-10), {3, 1, 2}},              // the linear part below L* 8
        {cfLabByteScale, 255, 0, 0, {255, 255, 255}},                  // L* 100
        {cfLabByteScale, 200, static_cast<uint8_t>(-40), 60, {21, 166, 83}},
    };
    for (const auto& c : cases) {
        Describe(cm, {pmCIELab, pmBGR, 8, 8, c.Flags});
        const uint8_t src[3] = {c.L, c.A, c.B};
        EXPECT_EQ(Convert(cm, {src}, 1, Bytes(3)), c.BGR) << int(c.L) << " " << int(c.A) << " " << int(c.B);
    }
    // Planar, RGB order.
    Describe(cm, {pmCIELab, pmRGB, 8, 8, cfLabOffsetChroma});
    const uint8_t l[1] = {60}, a[1] = {148}, b[1] = {98};
    EXPECT_EQ(Convert(cm, {l, a, b}, 1, Bytes(3)), (Bytes{80, 62, 141}));
    // 16-bit samples at 8-bit precision; signed chroma in units of 1/256.
    Describe(cm, {pmCIELab, pmBGR, 16, 16});
    auto words = Words({60 * 257, 20 * 256, static_cast<uint16_t>(-30 * 256)});
    EXPECT_EQ(AsWords(Convert(cm, {words.data()}, 1, Bytes(6))),
              (std::vector<uint16_t>{141 * 257, 62 * 257, 80 * 257}));
}

TEST(ColorManagerYCC, ConvertsThroughTheWeightTables) {
    TColorManager cm;
    // Default weights: a = 1.402, b = 0.714136, c = 1.772, d = 0.344136.
    // Y 100, Cb 150, Cr 90: blue 100 + 39, green 100 - 8 + 27, red 100 - 53; red saturates.
    Describe(cm, {pmYCbCr, pmBGR});
    const uint8_t src[6] = {100, 150, 90, 250, 128, 255};
    EXPECT_EQ(Convert(cm, {src}, 2, Bytes(6)), (Bytes{139, 119, 47, 250, 159, 255}));
    // PhotoYCC centres chroma at 156 (C1) and 137 (C2); new weights rebuild the tables.
    Describe(cm, {pmPhotoYCC, pmRGB});
    const uint8_t ycc[3] = {100, 178, 99};
    EXPECT_EQ(Convert(cm, {ycc}, 1, Bytes(3)), (Bytes{47, 119, 139}));
    cm.SetYCbCrWeights({0.2125f, 0.7154f, 0.0721f}, 1, 1);
    EXPECT_EQ(Convert(cm, {ycc}, 1, Bytes(3)), (Bytes{40, 114, 141}));
    // 16-bit samples into 8 bits are narrowed first.
    Describe(cm, {pmPhotoYCC, pmRGB, 16, 8});
    auto words = Words({100 * 257, 178 * 257, 99 * 257});
    EXPECT_EQ(Convert(cm, {words.data()}, 1, Bytes(3)), (Bytes{40, 114, 141}));
}

TEST(ColorManagerYCC, SixteenBitResultsAndFileWeightsStayInRange) {
    TColorManager cm;
    // Neutral chroma gives Y * 1.3584; a bright Y saturates instead of wrapping; blue of the
    // third pixel is 2.2179 * 25443 and its negative red is 0.
    Describe(cm, {pmPhotoYCC, pmBGR, 16, 16});
    auto words = Words({30000, 40092, 35209, 60000, 40092, 35209, 0, 65535, 0});
    auto out = AsWords(Convert(cm, {words.data()}, 3, Bytes(18)));
    EXPECT_EQ(out[0], 40752);
    EXPECT_EQ(out[3], 65535);
    EXPECT_EQ(out[6], 56430);
    EXPECT_EQ(out[8], 0);
    Describe(cm, {pmYCbCr, pmBGR, 16, 16});
    auto centred = Words({30000, 32768, 32768});
    EXPECT_EQ(AsWords(Convert(cm, {centred.data()}, 1, Bytes(6))), (std::vector<uint16_t>{30000, 30000, 30000}));

    // A zero green weight from a file divides by zero; the tables stay finite.
    Describe(cm, {pmYCbCr, pmBGR});
    cm.SetYCbCrWeights({0.3f, 0.0f, 0.1f}, 1, 1);
    const uint8_t src[6] = {100, 128, 128, 100, 0, 255};
    EXPECT_EQ(Convert(cm, {src}, 2, Bytes(6))[1], 100);
}

TEST(ColorManagerYCC, SubsamplingIsChecked) {
    TColorManager cm;
    EXPECT_EQ(MessageOf([&] { cm.SetYCbCrWeights({0.2f}, 2, 4); }), gesVerticalSubSamplingError);
    EXPECT_EQ(MessageOf([&] { cm.SetYCbCrWeights({}, 3, 1); }), gesInvalidSubSampling);
    EXPECT_EQ(MessageOf([&] { cm.SetYCbCrWeights({}, 2, 3); }), gesInvalidSubSampling);
    // The weight given before the failed check is kept; the others are untouched.
    EXPECT_FLOAT_EQ(cm.YCbCrCoefficients()[0], 0.2f);
    EXPECT_FLOAT_EQ(cm.YCbCrCoefficients()[1], 0.587f);
    EXPECT_EQ(cm.HorizontalSubsampling(), 1);
    cm.SetYCbCrWeights({0.1f, 0.2f, 0.3f, 0.4f}, 4, 2);
    EXPECT_FLOAT_EQ(cm.YCbCrCoefficients()[2], 0.3f);
    EXPECT_EQ(cm.VerticalSubsampling(), 2);
}

// --- gamma and palettes ----------------------------------------------------------------------------

TEST(ColorManagerGamma, TableFollowsTheGammaPairAndStaysInBounds) {
    TColorManager cm;
    EXPECT_EQ(cm.GammaTable()[1], 21);
    EXPECT_EQ(cm.GammaTable()[128], 186);
    EXPECT_EQ(cm.GammaTable()[255], 255);
    cm.SetGammaPair(0.5f, 2.2f);
    EXPECT_EQ(cm.GammaTable()[64], 73);
    cm.SetGammaPair(0.0f, -1.0f);  // fall back to 1.0 and 2.2
    EXPECT_FLOAT_EQ(cm.ScreenGamma(), 2.2f);
    EXPECT_EQ(cm.GammaTable()[128], 186);
    // Every user looks the table up with 8-bit values, so it spans 0..255 at any depth: the
    // pair 1 and 1 is the identity also with 4 bits in and out (it was scaled to 0..15).
    for (int bits : {4, 16}) {
        cm.SetSourceSampleBits(4);
        cm.SetTargetSampleBits(bits);
        cm.SetGammaPair(1.0f, 1.0f);
        for (int v : {15, 17, 200, 255}) EXPECT_EQ(cm.GammaTable()[v], v) << bits << " bits";
    }
    cm.SetTargetSampleBits(4);
    cm.SetTargetFlags(cfGamma);
    const uint8_t colour[3] = {200, 100, 10};
    EXPECT_EQ(cm.BuildColorPalette({colour}, rpInterleaved8, 1, false)[0], (TPaletteEntry{200, 100, 10, 0}));
    cm.SetTargetSampleCount(1);
    EXPECT_EQ(cm.BuildGrayPalette(false)[2].Red, 34);
}

TEST(ColorManagerPalette, GrayRamps) {
    TColorManager cm;
    cm.SetTargetSampleCount(1);
    cm.SetTargetSampleBits(1);
    TPalette black = cm.BuildGrayPalette(false), white = cm.BuildGrayPalette(true);
    ASSERT_EQ(black.Count(), 2);
    EXPECT_EQ(black[0], (TPaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(black[1], (TPaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(white[0], (TPaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(white[1], (TPaletteEntry{0, 0, 0, 0}));
    // 2 and 3 bits are shown at 4 bits, the depth of their bitmap: 16 levels, step 17.
    for (int bits : {2, 3}) {
        cm.SetTargetSampleBits(bits);
        TPalette ramp = cm.BuildGrayPalette(false);
        ASSERT_EQ(ramp.Count(), 16);
        EXPECT_EQ(ramp[10].Green, 170);
    }
    cm.SetTargetSampleBits(16);  // bits times samples stop at 8
    cm.SetTargetSampleCount(3);
    EXPECT_EQ(cm.BuildGrayPalette(false).Count(), 256);
    cm.SetTargetFlags(cfGamma);
    EXPECT_EQ(cm.BuildGrayPalette(false)[128].Red, 186);
}

TEST(ColorManagerPalette, ReadsEveryRawLayout) {
    TColorManager cm;
    const uint8_t rgb[6] = {1, 2, 3, 4, 5, 6}, bgrx[8] = {1, 2, 3, 99, 4, 5, 6, 99};
    EXPECT_EQ(cm.BuildColorPalette({rgb}, rpInterleaved8, 2, false)[1], (TPaletteEntry{4, 5, 6, 0}));
    EXPECT_EQ(cm.BuildColorPalette({rgb}, rpInterleaved8, 2, true)[0], (TPaletteEntry{3, 2, 1, 0}));
    EXPECT_EQ(cm.BuildColorPalette({bgrx}, rpInterleaved8x4, 2, true)[1], (TPaletteEntry{6, 5, 4, 0}));
    const uint8_t r[2] = {10, 11}, g[2] = {20, 21}, b[2] = {30, 31};
    for (auto layout : {rpPlanar8, rpPlanar8b})  // planes ignore the order flag
        EXPECT_EQ(cm.BuildColorPalette({r, g, b}, layout, 2, true)[1], (TPaletteEntry{11, 21, 31, 0}));

    // 16-bit values are swapped when asked, then narrowed.
    cm.SetSourceFlags(cfSwapBytes);
    const uint8_t wide[8] = {0xFF, 0xFF, 0x01, 0x01, 0x01, 0x00, 0xAA, 0xAA};
    EXPECT_EQ(cm.BuildColorPalette({wide}, rpInterleaved16, 1, false)[0], (TPaletteEntry{255, 1, 0, 0}));
    EXPECT_EQ(cm.BuildColorPalette({wide}, rpInterleaved16x4, 1, true)[0], (TPaletteEntry{0, 1, 255, 0}));
    const uint8_t wr[2] = {0xFF, 0x00}, wg[2] = {0x80, 0x00}, wb[2] = {0x00, 0x01};
    for (auto layout : {rpPlanar16, rpPlanar16b})
        EXPECT_EQ(cm.BuildColorPalette({wr, wg, wb}, layout, 1, false)[0], (TPaletteEntry{254, 127, 0, 0}));

    cm.SetTargetFlags(cfGamma);
    const uint8_t mid[3] = {128, 0, 255};
    EXPECT_EQ(cm.BuildColorPalette({mid}, rpInterleaved8, 1, false)[0], (TPaletteEntry{186, 0, 255, 0}));
    EXPECT_EQ(MessageOf([&] { cm.BuildColorPalette({r, g}, rpPlanar8, 2, false); }), gesInvalidPixelScheme);
}

// A one-sample target of 2 or 3 bits gets a 4-bit bitmap: the rows must be written at 4 bits
// and every pixel must show, through the palette, the entry its source index names.
TEST(ColorManagerPalette, ShallowIndexedTargetsAgreeWithTheirBitmap) {
    for (int bits : {2, 3}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        TColorManager cm;
        Describe(cm, {pmIndexed, pmIndexed, bits, bits});
        cm.SetSourceSampleCount(1);
        cm.SetTargetSampleCount(1);
        ASSERT_EQ(cm.TargetBitmapFormat(), pf4bit);
        const int count = 1 << bits;
        Bytes colours(static_cast<size_t>(count) * 3);
        for (size_t i = 0; i < colours.size(); ++i) colours[i] = static_cast<uint8_t>(30 * (i / 3) + i % 3);
        TPalette palette = cm.BuildColorPalette({colours.data()}, rpInterleaved8, count, false);
        // Indices 0, 1, ... packed at the source depth, most significant bit first.
        Bytes source(4, 0);
        for (int i = 0; i < count; ++i)
            for (int b = 0; b < bits; ++b)
                if ((i >> (bits - 1 - b)) & 1) source[(i * bits + b) / 8] |= uint8_t(0x80 >> ((i * bits + b) % 8));
        Bytes row(4, 0);
        cm.ConvertLine({source.data()}, row.data(), count, 0xFF);
        for (int i = 0; i < count; ++i) {
            const int pixel = (row[static_cast<size_t>(i / 2)] >> (i % 2 ? 0 : 4)) & 0x0F;
            EXPECT_EQ(palette[pixel].Red, 30 * i) << "index " << i;
        }
    }
}

TEST(ColorManagerPalette, CountsAndDepthRespread) {
    TColorManager cm;
    Bytes many(300 * 3);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i / 3);
    EXPECT_EQ(cm.BuildColorPalette({many.data()}, rpInterleaved8, 300, false).Count(), 256);

    // 2-bit indices shown at 4 bits: the rows scale index v to v * 5, which shows entry v.
    cm.SetSourceSampleBits(2);
    cm.SetTargetSampleBits(4);
    TPalette up = cm.BuildColorPalette({many.data()}, rpInterleaved8, 4, false);
    ASSERT_EQ(up.Count(), 16);
    EXPECT_EQ(up[0].Red, 0);
    EXPECT_EQ(up[5].Red, 1);
    EXPECT_EQ(up[15].Red, 3);
    // 8-bit indices shown at 4 bits: index j shows entry j * 17.
    cm.SetSourceSampleBits(8);
    TPalette down = cm.BuildColorPalette({many.data()}, rpInterleaved8, 256, false);
    ASSERT_EQ(down.Count(), 16);
    EXPECT_EQ(down[1].Red, 17);
    // Entries that the data does not supply read black.
    cm.SetSourceSampleBits(4);
    cm.SetTargetSampleBits(8);
    TPalette sparse = cm.BuildColorPalette({many.data()}, rpInterleaved8, 2, false);
    EXPECT_EQ(sparse[17].Red, 1);
    EXPECT_EQ(sparse[255], (TPaletteEntry{0, 0, 0, 0}));
    // Sources deeper than 8 bits are not respread: nothing exists beyond 256 entries.
    cm.SetSourceSampleBits(16);
    EXPECT_EQ(cm.BuildColorPalette({many.data()}, rpInterleaved8, 256, false)[200].Red, 200);
}

// --- bounds ----------------------------------------------------------------------------------------

// Every description, mask and row length runs on heap buffers of exactly the size the layouts
// need, so that a sanitizer build reports any read or write beyond them.
TEST(ColorManagerBounds, EveryConverterStaysInsideExactBuffers) {
    const int samplesOf[] = {1, 1, 1, 2, 3, 4, 3, 4, 3, 4, 3, 3, 3};  // by TPixelModel
    const int depths[] = {1, 2, 3, 4, 8, 12, 16};
    size_t converted = 0;
    auto sweep = [&](const Description& d, bool planar) {
        TColorManager cm;
        Describe(cm, d);
        const size_t sourceSamples = static_cast<size_t>(samplesOf[d.Source]);
        const size_t planeCount = planar && sourceSamples > 1 ? sourceSamples : 1;
        const size_t samplesPerPlane = planeCount > 1 ? 1 : sourceSamples;
        for (uint8_t mask : {0xFF, 0x80, 0x55})
            for (size_t count : {1, 7, 8, 9, 17}) {
                size_t selected = 0;
                for (size_t i = 0; i < count; ++i) selected += (mask >> (7 - i % 8)) & 1;
                if (selected == 0) continue;
                std::vector<Bytes> planes(planeCount);
                std::vector<const void*> pointers;
                for (auto& p : planes) {
                    p.assign((selected * samplesPerPlane * static_cast<size_t>(d.SourceBits) + 7) / 8, 0xA5);
                    pointers.push_back(p.data());
                }
                Bytes target((count * static_cast<size_t>(samplesOf[d.Target] * d.TargetBits) + 7) / 8);
                try {
                    cm.ConvertLine(pointers, target.data(), static_cast<int32_t>(count), mask);
                } catch (const EColorConversionError&) {
                    return;  // the description has no converter
                }
                ++converted;
            }
    };
    for (int sm = pmUnknown; sm <= pmPhotoYCC; ++sm)
        for (int tm = pmUnknown; tm <= pmPhotoYCC; ++tm)
            for (int sb : depths)
                for (int tb : depths)
                    for (bool planar : {false, true})
                        sweep({static_cast<TPixelModel>(sm), static_cast<TPixelModel>(tm), sb, tb,
                               cfSwapBytes | cfLabOffsetChroma, cfGamma},
                              planar);
    EXPECT_GT(converted, 10000u);
}

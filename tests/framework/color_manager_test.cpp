#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "color_manager.h"
#include "exceptions.h"

namespace {

struct Description {
    TPixelModel Source, Target;
    int SourceBits = 8, TargetBits = 8;
    int SourceCount = 3, TargetCount = 3;
    TConversionFlags SourceFlags = 0, TargetFlags = 0;
};

void Describe(TColorManager& cm, const Description& d) {
    cm.SetSourceModel(d.Source);
    cm.SetTargetModel(d.Target);
    cm.SetSourceSampleBits(d.SourceBits);
    cm.SetTargetSampleBits(d.TargetBits);
    cm.SetSourceSampleCount(d.SourceCount);
    cm.SetTargetSampleCount(d.TargetCount);
    cm.SetSourceFlags(d.SourceFlags);
    cm.SetTargetFlags(d.TargetFlags);
}

// 16-bit samples as the host stores them.
std::vector<uint8_t> Words(std::initializer_list<uint16_t> values) {
    std::vector<uint8_t> bytes(values.size() * 2);
    size_t i = 0;
    for (uint16_t v : values) {
        std::memcpy(&bytes[i], &v, 2);
        i += 2;
    }
    return bytes;
}

uint16_t WordAt(const std::vector<uint8_t>& bytes, size_t index) {
    uint16_t v;
    std::memcpy(&v, &bytes[index * 2], 2);
    return v;
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

TEST(ColorManagerDescription, RejectsDepthsAndCountsOutsideTheirRanges) {
    TColorManager cm;
    EXPECT_EQ(MessageOf([&] { cm.SetSourceSampleBits(0); }), gesInvalidSampleDepth);
    EXPECT_EQ(MessageOf([&] { cm.SetTargetSampleBits(17); }), gesInvalidSampleDepth);
    // A 16-bit field value of a file must not wrap into a valid depth.
    EXPECT_EQ(MessageOf([&] { cm.SetSourceSampleBits(264); }), gesInvalidSampleDepth);
    EXPECT_EQ(MessageOf([&] { cm.SetSourceSampleCount(0); }), gesInvalidPixelScheme);
    EXPECT_EQ(MessageOf([&] { cm.SetTargetSampleCount(5); }), gesInvalidPixelScheme);
    EXPECT_EQ(cm.SourceSampleBits(), 8);
    EXPECT_EQ(cm.TargetSampleCount(), 3);
    cm.SetSourceSampleBits(5);  // every depth from 1 to 16 is accepted
    EXPECT_EQ(cm.SourceSampleBits(), 5);
}

TEST(ColorManagerDescription, ChangedTracksTheDescriptionOnly) {
    TColorManager cm;
    EXPECT_TRUE(cm.Changed());
    uint8_t src[3] = {1, 2, 3}, dst[3] = {};
    cm.ConvertLine({src}, dst, 1, 0xFF);
    EXPECT_FALSE(cm.Changed());
    cm.SetTargetModel(pmBGR);  // same value
    cm.SetSourceSampleBits(8);
    cm.SetSourceFlags(cfSwapBytes);
    EXPECT_FALSE(cm.Changed());
    cm.SetTargetModel(pmRGB);
    EXPECT_TRUE(cm.Changed());
}

TEST(ColorManagerDescription, TargetBitmapFormatFollowsSamplesAndDepth) {
    struct Case {
        int Count, Bits;
        TPixelFormat Format;
    } cases[] = {{1, 1, pf1bit},  {1, 2, pf4bit},  {1, 4, pf4bit},   {1, 5, pfCustom}, {1, 7, pfCustom},
                 {1, 8, pf8bit},  {1, 16, pf8bit}, {3, 1, pf15bit},  {3, 5, pf15bit},  {3, 8, pf24bit},
                 {3, 16, pf24bit}, {4, 8, pf32bit}, {4, 4, pfCustom}, {2, 8, pfCustom}};
    TColorManager cm;
    for (const auto& c : cases) {
        cm.SetTargetSampleCount(c.Count);
        cm.SetTargetSampleBits(c.Bits);
        EXPECT_EQ(cm.TargetBitmapFormat(), c.Format) << c.Count << " x " << c.Bits;
    }
}

TEST(ColorManagerSelection, UnsupportedCombinationsRaiseAtTheFirstRowNotBefore) {
    uint8_t src[8] = {}, dst[8] = {};
    TColorManager cm;
    Describe(cm, {pmIndexed, pmBGR, 8, 8, 1, 3});  // no raise while describing
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesIndexedNotSupported);
    // Still raising on the next row: nothing was chosen.
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesIndexedNotSupported);

    Describe(cm, {pmRGB, pmGray, 8, 8, 3, 1});
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesIndexedNotSupported);
    // A gray-with-alpha target counts as non-indexed.
    Describe(cm, {pmGray, pmGrayAlpha, 8, 8, 1, 2});
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesIndexedNotSupported);

    Describe(cm, {pmCMY, pmBGR});
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesConversionUnsupported);
    Describe(cm, {pmUnknown, pmBGR});
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesConversionUnsupported);
    Describe(cm, {pmGray, pmGray, 16, 4, 1, 1});
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesConversionUnsupported);
    Describe(cm, {pmGrayAlpha, pmGray, 4, 8, 2, 1});
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesConversionUnsupported);
    Describe(cm, {pmCMYK, pmGrayAlpha, 8, 8, 4, 2});
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({src}, dst, 1, 0xFF); }), gesConversionUnsupported);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 8), std::vector<uint8_t>(8, 0));
}

TEST(ColorManagerSelection, AlphaBitFollowsTheSchemes) {
    TColorManager cm;
    Describe(cm, {pmRGBA, pmBGR, 8, 8, 4, 3, cfSwapBytes, cfAlphaChannel | cfGamma});
    uint8_t src[4] = {}, dst[3] = {};
    cm.ConvertLine({src}, dst, 1, 0xFF);
    EXPECT_EQ(cm.SourceFlags(), cfSwapBytes | cfAlphaChannel);
    EXPECT_EQ(cm.TargetFlags(), cfGamma);
}

TEST(ColorManagerSelection, TooFewPlanesForTheSchemeAreRefused) {
    TColorManager cm;
    Describe(cm, {pmRGBA, pmBGRA, 8, 8, 4, 4});
    uint8_t r[2] = {}, g[2] = {}, b[2] = {}, dst[8] = {};
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({r, g, b}, dst, 2, 0xFF); }), gesInvalidPixelScheme);
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({r, nullptr, b}, dst, 2, 0xFF); }), gesInvalidPixelScheme);
    Describe(cm, {pmYCbCr, pmBGR});
    EXPECT_EQ(MessageOf([&] { cm.ConvertLine({r, g}, dst, 2, 0xFF); }), gesInvalidPixelScheme);
}

// --- the pixel mask ------------------------------------------------------------------------------

TEST(ColorManagerMask, CountZeroWritesNothing) {
    const Description cases[] = {{pmRGB, pmBGR}, {pmIndexed, pmIndexed, 8, 8, 1, 1}, {pmCMYK, pmBGR, 8, 8, 4, 3}};
    for (const auto& d : cases) {
        TColorManager cm;
        Describe(cm, d);
        uint8_t src[16] = {9, 9, 9, 9}, dst[16];
        std::memset(dst, 0xAB, sizeof dst);
        cm.ConvertLine({src}, dst, 0, 0xFF);
        for (uint8_t b : dst) EXPECT_EQ(b, 0xAB);
    }
}

TEST(ColorManagerMask, SelectedPixelsTakeConsecutiveSourcePixels) {
    // 0x80: only target pixels 0, 8 and 16 of 17 are written, from source pixels 0, 1, 2.
    TColorManager cm;
    Describe(cm, {pmRGB, pmBGR});
    const uint8_t src[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<uint8_t> dst(17 * 3, 0xEE);
    cm.ConvertLine({src}, dst.data(), 17, 0x80);
    for (size_t i = 0; i < 17; ++i) {
        const uint8_t* p = &dst[i * 3];
        if (i % 8 == 0) {
            size_t s = i / 8;
            EXPECT_EQ(p[0], src[s * 3 + 2]);
            EXPECT_EQ(p[1], src[s * 3 + 1]);
            EXPECT_EQ(p[2], src[s * 3]);
        } else {
            EXPECT_EQ(p[0], 0xEE) << i;
            EXPECT_EQ(p[2], 0xEE) << i;
        }
    }

    // The same with packed 1-bit data: skipped pixels keep their target bits.
    Describe(cm, {pmIndexed, pmIndexed, 1, 1, 1, 1});
    const uint8_t bits[1] = {0xFF};
    uint8_t packed[2] = {0x00, 0x00};
    cm.ConvertLine({bits}, packed, 16, 0x55);  // pixels 1, 3, 5, 7 of each eight
    EXPECT_EQ(packed[0], 0x55);
    EXPECT_EQ(packed[1], 0x55);
    uint8_t kept[1] = {0xFF};
    const uint8_t zeros[1] = {0};
    cm.ConvertLine({zeros}, kept, 8, 0x88);
    EXPECT_EQ(kept[0], 0x77);
}

// --- the RGB family ------------------------------------------------------------------------------

TEST(ColorManagerRGB, ExchangesRedAndBlueOnEveryRowLength) {
    // Rows of every length up to 13 run both the multi-pixel words and the single pixels.
    struct Case {
        TPixelModel Source, Target;
        size_t SourceSamples, TargetSamples;
    } cases[] = {{pmRGB, pmBGR, 3, 3}, {pmRGBA, pmBGRA, 4, 4}, {pmBGRA, pmRGB, 4, 3}, {pmBGR, pmRGBA, 3, 4}};
    for (const auto& c : cases)
        for (int32_t count = 1; count <= 13; ++count) {
            const size_t n = static_cast<size_t>(count);
            std::vector<uint8_t> src(n * c.SourceSamples), dst(n * c.TargetSamples + 1, 0x5A);
            for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + 1);
            TColorManager cm;
            Describe(cm, {c.Source, c.Target, 8, 8, static_cast<int>(c.SourceSamples),
                          static_cast<int>(c.TargetSamples)});
            cm.ConvertLine({src.data()}, dst.data(), count, 0xFF);
            for (size_t i = 0; i < n; ++i) {
                const uint8_t* in = &src[i * c.SourceSamples];
                const uint8_t* out = &dst[i * c.TargetSamples];
                EXPECT_EQ(out[0], in[2]);
                EXPECT_EQ(out[1], in[1]);
                EXPECT_EQ(out[2], in[0]);
                if (c.TargetSamples == 4) {
                    EXPECT_EQ(out[3], c.SourceSamples == 4 ? in[3] : 0x5A);
                }
            }
            EXPECT_EQ(dst.back(), 0x5A) << "wrote past " << count << " pixels";
        }
}

TEST(ColorManagerRGB, AlphaIsDroppedKeptOrLeftAlone) {
    const uint8_t rgba[8] = {10, 20, 30, 40, 50, 60, 70, 80};
    const uint8_t rgb[6] = {10, 20, 30, 50, 60, 70};
    TColorManager cm;

    Describe(cm, {pmRGBA, pmBGR, 8, 8, 4, 3});
    uint8_t dropped[6] = {};
    cm.ConvertLine({rgba}, dropped, 2, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(dropped, dropped + 6), (std::vector<uint8_t>{30, 20, 10, 70, 60, 50}));

    Describe(cm, {pmRGBA, pmBGRA, 8, 8, 4, 4});
    uint8_t kept[8] = {};
    cm.ConvertLine({rgba}, kept, 2, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(kept, kept + 8), (std::vector<uint8_t>{30, 20, 10, 40, 70, 60, 50, 80}));

    Describe(cm, {pmRGB, pmBGRA, 8, 8, 3, 4});
    uint8_t left[8] = {0, 0, 0, 0xAA, 0, 0, 0, 0xBB};
    cm.ConvertLine({rgb}, left, 2, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(left, left + 8), (std::vector<uint8_t>{30, 20, 10, 0xAA, 70, 60, 50, 0xBB}));

    // Planar, with and without the alpha plane, and keeping the order.
    const uint8_t r[2] = {1, 2}, g[2] = {3, 4}, b[2] = {5, 6}, a[2] = {7, 8};
    Describe(cm, {pmRGBA, pmRGBA, 8, 8, 4, 4});
    uint8_t planar[8] = {};
    cm.ConvertLine({r, g, b, a}, planar, 2, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(planar, planar + 8), (std::vector<uint8_t>{1, 3, 5, 7, 2, 4, 6, 8}));
    Describe(cm, {pmRGB, pmBGRA, 8, 8, 3, 4});
    uint8_t planarLeft[8] = {0, 0, 0, 0xAA, 0, 0, 0, 0xBB};
    cm.ConvertLine({r, g, b}, planarLeft, 2, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(planarLeft, planarLeft + 8), (std::vector<uint8_t>{5, 3, 1, 0xAA, 6, 4, 2, 0xBB}));
    // Masked planar rows go through the general path and must agree.
    uint8_t masked[8] = {0, 0, 0, 0xAA, 0, 0, 0, 0xBB};
    cm.ConvertLine({r, g, b}, masked, 2, 0x40);
    EXPECT_EQ(std::vector<uint8_t>(masked, masked + 8), (std::vector<uint8_t>{0, 0, 0, 0xAA, 5, 3, 1, 0xBB}));
}

TEST(ColorManagerRGB, SixteenBitSamplesNarrowByTruncation) {
    TColorManager cm;
    Describe(cm, {pmRGB, pmBGR, 16, 8, 3, 3});
    auto src = Words({0xFFFF, 0x0101, 0x0100});
    uint8_t dst[3] = {};
    cm.ConvertLine({src.data()}, dst, 1, 0xFF);
    EXPECT_EQ(dst[2], 255);
    EXPECT_EQ(dst[1], 1);
    EXPECT_EQ(dst[0], 0);

    // Stored bytes 00 FF read as 0x00FF once swapped: 0. FF 00 gives 0xFF00: 254.
    Describe(cm, {pmRGB, pmRGB, 16, 8, 3, 3, cfSwapBytes});
    const uint8_t stored[6] = {0x00, 0xFF, 0xFF, 0x00, 0x01, 0x01};
    cm.ConvertLine({stored}, dst, 1, 0xFF);
    EXPECT_EQ(dst[0], 0);
    EXPECT_EQ(dst[1], 254);
    EXPECT_EQ(dst[2], 1);

    // Alpha narrows too, through the masked path as well as the fast one, from an odd address.
    Describe(cm, {pmRGBA, pmBGRA, 16, 8, 4, 4, cfSwapBytes});
    const uint8_t row[9] = {0xCC, 0x12, 0x34, 0x80, 0x00, 0xFF, 0xFF, 0x01, 0x01};
    uint8_t fast[4] = {}, masked[8] = {};
    cm.ConvertLine({row + 1}, fast, 1, 0xFF);
    cm.ConvertLine({row + 1}, masked, 2, 0x40);
    const std::vector<uint8_t> expected{255, 0x8000 / 257, 0x1234 / 257, 1};
    EXPECT_EQ(std::vector<uint8_t>(fast, fast + 4), expected);
    EXPECT_EQ(std::vector<uint8_t>(masked + 4, masked + 8), expected);
}

TEST(ColorManagerRGB, WidensAndCopiesSixteenBitTargets) {
    TColorManager cm;
    Describe(cm, {pmBGR, pmRGB, 8, 16, 3, 3});
    const uint8_t src[3] = {0x01, 0x80, 0xFF};
    std::vector<uint8_t> dst(6);
    cm.ConvertLine({src}, dst.data(), 1, 0xFF);
    EXPECT_EQ(WordAt(dst, 0), 0xFFFF);
    EXPECT_EQ(WordAt(dst, 1), 0x8080);
    EXPECT_EQ(WordAt(dst, 2), 0x0101);

    Describe(cm, {pmRGBA, pmRGBA, 16, 16, 4, 4, cfSwapBytes});
    auto words = Words({0x1234, 0x5678, 0x9ABC, 0xDEF0});
    std::vector<uint8_t> out(8);
    cm.ConvertLine({words.data()}, out.data(), 1, 0xFF);
    EXPECT_EQ(WordAt(out, 0), 0x3412);
    EXPECT_EQ(WordAt(out, 3), 0xF0DE);
}

TEST(ColorManagerRGB, GammaAppliesToColourNotToAlpha) {
    TColorManager cm;
    Describe(cm, {pmRGBA, pmBGRA, 8, 8, 4, 4, 0, cfGamma});
    const uint8_t src[4] = {64, 128, 200, 128};
    uint8_t dst[4] = {};
    cm.ConvertLine({src}, dst, 1, 0xFF);
    // round((v / 255)^(1 / 2.2) * 255) for the default gamma pair
    EXPECT_EQ(dst[2], 136);
    EXPECT_EQ(dst[1], 186);
    EXPECT_EQ(dst[0], 228);
    EXPECT_EQ(dst[3], 128);

    // 16-bit samples are narrowed first, then corrected.
    Describe(cm, {pmRGB, pmRGB, 16, 8, 3, 3, 0, cfGamma});
    auto words = Words({64 * 257, 128 * 257, 200 * 257});
    uint8_t narrowed[3] = {};
    cm.ConvertLine({words.data()}, narrowed, 1, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(narrowed, narrowed + 3), (std::vector<uint8_t>{136, 186, 228}));
}

TEST(ColorManagerRGB, OtherDepthsLeaveTheRowUnchanged) {
    TColorManager cm;
    Describe(cm, {pmRGB, pmBGR, 5, 5, 3, 3});
    const uint8_t src[4] = {1, 2, 3, 4};
    uint8_t dst[4] = {7, 7, 7, 7};
    cm.ConvertLine({src}, dst, 1, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 4), std::vector<uint8_t>(4, 7));
}

// --- indexed and gray ----------------------------------------------------------------------------

TEST(ColorManagerPacked, RescalesBetweenDepths) {
    TColorManager cm;
    // 2-bit indices 0..3 become 0, 5, 10, 15 at 4 bits.
    Describe(cm, {pmIndexed, pmIndexed, 2, 4, 1, 1});
    const uint8_t two[2] = {0x1B, 0xC0};  // 0 1 2 3 | 3
    uint8_t four[3] = {0, 0, 0x0F};
    cm.ConvertLine({two}, four, 5, 0xFF);
    EXPECT_EQ(four[0], 0x05);
    EXPECT_EQ(four[1], 0xAF);
    EXPECT_EQ(four[2], 0xFF);  // the last pixel's high nibble; the unused low nibble is kept

    // Down: 8-bit gray to 1 bit keeps only 255 as a set bit.
    Describe(cm, {pmGray, pmGray, 8, 1, 1, 1});
    const uint8_t gray[9] = {255, 254, 0, 255, 255, 128, 255, 0, 255};
    uint8_t bits[2] = {0, 0};
    cm.ConvertLine({gray}, bits, 9, 0xFF);
    EXPECT_EQ(bits[0], 0x9A);
    EXPECT_EQ(bits[1], 0x80);

    // Depths that are not powers of two: 3 bits to 8 bits, samples crossing byte boundaries.
    Describe(cm, {pmGray, pmGray, 3, 8, 1, 1});
    const uint8_t three[2] = {0x29, 0xC0};  // 001 010 011 100
    uint8_t eight[4] = {};
    cm.ConvertLine({three}, eight, 4, 0xFF);
    EXPECT_EQ(eight[0], 1 * 255 / 7);
    EXPECT_EQ(eight[1], 2 * 255 / 7);
    EXPECT_EQ(eight[2], 3 * 255 / 7);
    EXPECT_EQ(eight[3], 4 * 255 / 7);
}

TEST(ColorManagerPacked, EqualDepthsCopyWholeBytesAndNoMore) {
    TColorManager cm;
    Describe(cm, {pmIndexed, pmIndexed, 4, 4, 1, 1});
    const uint8_t src[4] = {0x12, 0x34, 0x56, 0x78};
    uint8_t dst[4] = {0, 0, 0, 0xEE};
    cm.ConvertLine({src}, dst, 5, 0xFF);  // three bytes
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0xEE}));

    Describe(cm, {pmIndexed, pmIndexed, 8, 8, 1, 1});
    uint8_t masked[4] = {9, 9, 9, 9};
    cm.ConvertLine({src}, masked, 4, 0x50);  // pixels 1 and 3
    EXPECT_EQ(std::vector<uint8_t>(masked, masked + 4), (std::vector<uint8_t>{9, 0x12, 9, 0x34}));
}

TEST(ColorManagerPacked, SixteenBitIndices) {
    TColorManager cm;
    Describe(cm, {pmIndexed, pmIndexed, 16, 8, 1, 1});
    auto src = Words({0xFFFF, 0x0101, 0x0100});
    uint8_t dst[3] = {};
    cm.ConvertLine({src.data()}, dst, 3, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{255, 1, 0}));

    Describe(cm, {pmIndexed, pmIndexed, 16, 4, 1, 1});
    uint8_t nibbles[2] = {};
    cm.ConvertLine({src.data()}, nibbles, 3, 0xFF);
    EXPECT_EQ(nibbles[0], 0xF0);  // 0x0101 * 15 / 65535 = 0
    EXPECT_EQ(nibbles[1], 0x00);

    // 3-bit 1 is 65535 / 7 = 9362 (0x2492), stored swapped.
    Describe(cm, {pmIndexed, pmIndexed, 3, 16, 1, 1, cfSwapBytes});
    const uint8_t packed[1] = {0x3C};  // 001 111 00
    std::vector<uint8_t> wide(4);
    cm.ConvertLine({packed}, wide.data(), 2, 0xFF);
    EXPECT_EQ(WordAt(wide, 0), 0x9224);
    EXPECT_EQ(WordAt(wide, 1), 0xFFFF);

    Describe(cm, {pmIndexed, pmIndexed, 16, 16, 1, 1, cfSwapBytes});
    std::vector<uint8_t> swapped(6);
    cm.ConvertLine({src.data()}, swapped.data(), 3, 0xFF);
    EXPECT_EQ(WordAt(swapped, 2), 0x0001);
}

TEST(ColorManagerGray, NarrowsWidensAndSkipsAlpha) {
    TColorManager cm;
    Describe(cm, {pmGray, pmGray, 16, 8, 1, 1});
    auto src = Words({0xFFFF, 0x0101, 0x0100});
    uint8_t dst[3] = {};
    cm.ConvertLine({src.data()}, dst, 3, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{255, 1, 0}));

    Describe(cm, {pmGray, pmGray, 16, 8, 1, 1, cfSwapBytes});
    const uint8_t stored[4] = {0x00, 0xFF, 0xFF, 0x00};
    cm.ConvertLine({stored}, dst, 2, 0xFF);
    EXPECT_EQ(dst[0], 0);
    EXPECT_EQ(dst[1], 254);

    Describe(cm, {pmGray, pmGray, 8, 16, 1, 1});
    const uint8_t bytes[2] = {0x80, 0xFF};
    std::vector<uint8_t> wide(4);
    cm.ConvertLine({bytes}, wide.data(), 2, 0xFF);
    EXPECT_EQ(WordAt(wide, 0), 0x8080);
    EXPECT_EQ(WordAt(wide, 1), 0xFFFF);

    // Gray with alpha: interleaved, the alpha sample is passed over; planar, the gray plane
    // has one sample per pixel.
    Describe(cm, {pmGrayAlpha, pmIndexed, 8, 8, 2, 1});
    const uint8_t ga[6] = {10, 200, 20, 201, 30, 202};
    uint8_t gray[3] = {};
    cm.ConvertLine({ga}, gray, 3, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(gray, gray + 3), (std::vector<uint8_t>{10, 20, 30}));
    const uint8_t plane[3] = {40, 50, 60}, alpha[3] = {1, 2, 3};
    cm.ConvertLine({plane, alpha}, gray, 3, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(gray, gray + 3), (std::vector<uint8_t>{40, 50, 60}));

    Describe(cm, {pmGrayAlpha, pmGray, 16, 8, 2, 1, cfSwapBytes});
    const uint8_t ga16[8] = {0xFF, 0xFF, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00};
    cm.ConvertLine({ga16}, gray, 2, 0xFF);
    EXPECT_EQ(gray[0], 255);
    EXPECT_EQ(gray[1], 1);
}

// --- CMYK, L*a*b*, YCbCr ---------------------------------------------------------------------------

TEST(ColorManagerCMYK, ConvertsByTheInkFormulas) {
    TColorManager cm;
    Describe(cm, {pmCMYK, pmBGR, 8, 8, 4, 3});
    // C 100, M 50, Y 0, K 20: red 255 - (100 + 20 - 2000 / 255) = 142, green 188, blue 235.
    const uint8_t cmyk[8] = {100, 50, 0, 20, 0, 0, 0, 255};
    uint8_t bgr[6] = {};
    cm.ConvertLine({cmyk}, bgr, 2, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(bgr, bgr + 6), (std::vector<uint8_t>{235, 188, 142, 0, 0, 0}));

    // Four planes give the same; RGB order and a target alpha that is left alone.
    const uint8_t c[1] = {100}, m[1] = {50}, y[1] = {0}, k[1] = {20};
    Describe(cm, {pmCMYK, pmRGBA, 8, 8, 4, 4});
    uint8_t rgba[4] = {0, 0, 0, 0x77};
    cm.ConvertLine({c, m, y, k}, rgba, 1, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(rgba, rgba + 4), (std::vector<uint8_t>{142, 188, 235, 0x77}));

    // 16 bits: X 32768, K 16384: t = 8192; 255 - (40960 * 255 / 65535) = 96 at 8 bits,
    // 65535 - 32768 - 16384 + 8192 = 24575 at 16 bits.
    auto words = Words({32768, 32768, 0, 16384});
    Describe(cm, {pmCMYK, pmBGR, 16, 8, 4, 3});
    cm.ConvertLine({words.data()}, bgr, 1, 0xFF);
    EXPECT_EQ(bgr[2], 96);
    EXPECT_EQ(bgr[0], 255 - (16384 * 255 / 65535));
    Describe(cm, {pmCMYK, pmBGR, 16, 16, 4, 3});
    std::vector<uint8_t> wide(6);
    cm.ConvertLine({words.data()}, wide.data(), 1, 0xFF);
    EXPECT_EQ(WordAt(wide, 2), 24575);
    EXPECT_EQ(WordAt(wide, 0), 65535 - 16384);

    // An 8-bit source into a 16-bit target is widened.
    Describe(cm, {pmCMYK, pmBGR, 8, 16, 4, 3});
    cm.ConvertLine({cmyk}, wide.data(), 1, 0xFF);
    EXPECT_EQ(WordAt(wide, 0), 235 * 257);
}

TEST(ColorManagerLab, ConvertsByTheCIEFormulas) {
    TColorManager cm;
    struct Case {
        TConversionFlags Flags;
        uint8_t L, A, B;
        uint8_t Blue, Green, Red;
    } cases[] = {
        {0, 50, 0, 0, 47, 47, 47},                                    // neutral
        {cfLabOffsetChroma, 60, 148, 98, 141, 62, 80},                // a* 20, b* -30
        {0, 5, 10, static_cast<uint8_t>(-10), 3, 1, 2},               // the linear part below L* 8
        {cfLabByteScale, 255, 0, 0, 255, 255, 255},                   // L* 100
        {cfLabByteScale, 200, static_cast<uint8_t>(-40), 60, 21, 166, 83},
    };
    for (const auto& c : cases) {
        Describe(cm, {pmCIELab, pmBGR, 8, 8, 3, 3, c.Flags});
        const uint8_t src[3] = {c.L, c.A, c.B};
        uint8_t dst[3] = {};
        cm.ConvertLine({src}, dst, 1, 0xFF);
        EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{c.Blue, c.Green, c.Red}))
            << int(c.L) << " " << int(c.A) << " " << int(c.B);
    }
    // RGB order and planar data.
    Describe(cm, {pmCIELab, pmRGB, 8, 8, 3, 3, cfLabOffsetChroma});
    const uint8_t l[1] = {60}, a[1] = {148}, b[1] = {98};
    uint8_t rgb[3] = {};
    cm.ConvertLine({l, a, b}, rgb, 1, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 3), (std::vector<uint8_t>{80, 62, 141}));
}

TEST(ColorManagerLab, SixteenBitSamplesAreTakenAtEightBitPrecision) {
    TColorManager cm;
    Describe(cm, {pmCIELab, pmBGR, 16, 8, 3, 3, cfLabOffsetChroma});
    auto src = Words({60 * 257, 148 * 257, 98 * 257});
    uint8_t dst[3] = {};
    cm.ConvertLine({src.data()}, dst, 1, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{141, 62, 80}));
    // Signed chroma in units of 1/256: 20 * 256 and -30 * 256.
    Describe(cm, {pmCIELab, pmBGR, 16, 16, 3, 3});
    auto signedSrc = Words({60 * 257, 20 * 256, static_cast<uint16_t>(-30 * 256)});
    std::vector<uint8_t> wide(6);
    cm.ConvertLine({signedSrc.data()}, wide.data(), 1, 0xFF);
    EXPECT_EQ(WordAt(wide, 0), 141 * 257);
    EXPECT_EQ(WordAt(wide, 2), 80 * 257);
}

TEST(ColorManagerYCC, ConvertsThroughTheWeightTables) {
    TColorManager cm;
    // Default weights: a = 1.402, b = 0.714136, c = 1.772, d = 0.344136.
    // Y 100, Cb 150, Cr 90: blue 100 + 39, green 100 - 8 + 27, red 100 - 53.
    Describe(cm, {pmYCbCr, pmBGR});
    const uint8_t src[6] = {100, 150, 90, 250, 128, 255};
    uint8_t dst[6] = {};
    cm.ConvertLine({src}, dst, 2, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 6), (std::vector<uint8_t>{139, 119, 47, 250, 159, 255}));

    // PhotoYCC centres chroma at 156 (C1) and 137 (C2).
    Describe(cm, {pmPhotoYCC, pmRGB});
    const uint8_t ycc[3] = {100, 178, 99};
    cm.ConvertLine({ycc}, dst, 1, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{47, 119, 139}));
    cm.SetYCbCrWeights({0.2125f, 0.7154f, 0.0721f}, 1, 1);
    cm.ConvertLine({ycc}, dst, 1, 0xFF);  // the tables follow the new weights
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{40, 114, 141}));

    // 16-bit samples into 8 bits are narrowed first; planar works the same.
    Describe(cm, {pmYCbCr, pmBGR, 16, 8, 3, 3, cfSwapBytes});
    cm.SetYCbCrWeights({0.299f, 0.587f, 0.114f}, 1, 1);
    const uint8_t y16[2] = {100, 100}, cb16[2] = {150, 150}, cr16[2] = {90, 90};
    cm.ConvertLine({y16, cb16, cr16}, dst, 1, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 3), (std::vector<uint8_t>{139, 119, 47}));
}

TEST(ColorManagerYCC, SixteenBitPhotoYCCStaysInRange) {
    TColorManager cm;
    Describe(cm, {pmPhotoYCC, pmBGR, 16, 16, 3, 3});
    // Neutral chroma: every component is Y * 1.3584; a bright Y saturates instead of wrapping.
    auto src = Words({30000, 40092, 35209, 60000, 40092, 35209, 0, 65535, 0});
    std::vector<uint8_t> dst(18);
    cm.ConvertLine({src.data()}, dst.data(), 3, 0xFF);
    EXPECT_EQ(WordAt(dst, 0), 40752);
    EXPECT_EQ(WordAt(dst, 2), 40752);
    EXPECT_EQ(WordAt(dst, 3), 65535);
    EXPECT_EQ(WordAt(dst, 6), 56430);  // 2.2179 * 25443, rounded
    EXPECT_EQ(WordAt(dst, 8), 0);      // negative red is 0

    Describe(cm, {pmYCbCr, pmBGR, 16, 16, 3, 3});
    auto centred = Words({30000, 32768, 32768});
    cm.ConvertLine({centred.data()}, dst.data(), 1, 0xFF);
    EXPECT_EQ(WordAt(dst, 0), 30000);
    EXPECT_EQ(WordAt(dst, 1), 30000);
}

TEST(ColorManagerYCC, WeightsFromAFileCannotBreakTheTables) {
    TColorManager cm;
    Describe(cm, {pmYCbCr, pmBGR});
    cm.SetYCbCrWeights({0.3f, 0.0f, 0.1f}, 1, 1);  // a zero green weight divides by zero
    const uint8_t src[6] = {100, 128, 128, 100, 0, 255};
    uint8_t dst[6] = {};
    cm.ConvertLine({src}, dst, 2, 0xFF);
    EXPECT_EQ(dst[1], 100);  // neutral chroma adds nothing
}

TEST(ColorManagerYCC, SubsamplingIsChecked) {
    TColorManager cm;
    EXPECT_EQ(MessageOf([&] { cm.SetYCbCrWeights({0.2f}, 2, 4); }), gesVerticalSubSamplingError);
    EXPECT_EQ(MessageOf([&] { cm.SetYCbCrWeights({}, 3, 1); }), gesInvalidSubSampling);
    EXPECT_EQ(MessageOf([&] { cm.SetYCbCrWeights({}, 2, 3); }), gesInvalidSubSampling);
    EXPECT_EQ(MessageOf([&] { cm.SetYCbCrWeights({}, 3, 8); }), gesInvalidSubSampling);  // horizontal first
    // The weight given before the failed check is kept; the others are untouched.
    EXPECT_FLOAT_EQ(cm.YCbCrCoefficients()[0], 0.2f);
    EXPECT_FLOAT_EQ(cm.YCbCrCoefficients()[1], 0.587f);
    EXPECT_EQ(cm.HorizontalSubsampling(), 1);
    cm.SetYCbCrWeights({0.1f, 0.2f, 0.3f, 0.4f}, 4, 2);
    EXPECT_FLOAT_EQ(cm.YCbCrCoefficients()[2], 0.3f);
    EXPECT_EQ(cm.HorizontalSubsampling(), 4);
    EXPECT_EQ(cm.VerticalSubsampling(), 2);
}

// --- gamma and palettes ----------------------------------------------------------------------------

TEST(ColorManagerGamma, TableFollowsTheGammaPair) {
    TColorManager cm;
    EXPECT_EQ(cm.GammaTable()[0], 0);
    EXPECT_EQ(cm.GammaTable()[1], 21);
    EXPECT_EQ(cm.GammaTable()[128], 186);
    EXPECT_EQ(cm.GammaTable()[255], 255);
    cm.SetGammaPair(0.5f, 2.2f);
    EXPECT_EQ(cm.GammaTable()[64], 73);
    EXPECT_EQ(cm.GammaTable()[200], 204);
    cm.SetGammaPair(0.0f, -1.0f);  // fall back to 1.0 and 2.2
    EXPECT_FLOAT_EQ(cm.ImageGamma(), 1.0f);
    EXPECT_FLOAT_EQ(cm.ScreenGamma(), 2.2f);
    EXPECT_EQ(cm.GammaTable()[128], 186);
    cm.SetGammaPair(1.0f / 2.2f, 2.2f);
    EXPECT_EQ(cm.GammaTable()[100], 100);
}

TEST(ColorManagerGamma, ShallowDepthsBuildASmallerRange) {
    TColorManager cm;
    // Sources below 8 bits with a 16-bit target would ask for 65536 entries; the table holds 256.
    cm.SetSourceSampleBits(4);
    cm.SetTargetSampleBits(16);
    cm.SetGammaPair(1.0f, 1.0f);
    EXPECT_EQ(cm.GammaTable()[200], 200);
    // 4-bit on both sides: 16 levels of 0..15.
    cm.SetTargetSampleBits(4);
    cm.SetGammaPair(1.0f, 1.0f);
    EXPECT_EQ(cm.GammaTable()[15], 15);
    EXPECT_EQ(cm.GammaTable()[7], 7);
}

TEST(ColorManagerPalette, GrayRampsForEveryDepth) {
    TColorManager cm;
    cm.SetTargetSampleCount(1);
    cm.SetTargetSampleBits(1);
    TPalette black = cm.BuildGrayPalette(false), white = cm.BuildGrayPalette(true);
    ASSERT_EQ(black.Count(), 2);
    EXPECT_EQ(black[0], (TPaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(black[1], (TPaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(white[0], (TPaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(white[1], (TPaletteEntry{0, 0, 0, 0}));

    cm.SetTargetSampleBits(2);
    TPalette two = cm.BuildGrayPalette(false);
    ASSERT_EQ(two.Count(), 4);
    EXPECT_EQ(two[1].Red, 85);
    EXPECT_EQ(two[2].Green, 170);
    cm.SetTargetSampleBits(4);
    EXPECT_EQ(cm.BuildGrayPalette(true)[1].Blue, 255 - 17);
    cm.SetTargetSampleBits(3);
    EXPECT_EQ(cm.BuildGrayPalette(false)[7].Red, 252);  // step 255 / 7 = 36
    // Bits times samples stop at 8.
    cm.SetTargetSampleBits(16);
    cm.SetTargetSampleCount(3);
    TPalette full = cm.BuildGrayPalette(false);
    ASSERT_EQ(full.Count(), 256);
    EXPECT_EQ(full[200].Red, 200);

    cm.SetTargetFlags(cfGamma);
    EXPECT_EQ(cm.BuildGrayPalette(false)[128].Red, 186);
}

TEST(ColorManagerPalette, ReadsEveryRawLayout) {
    TColorManager cm;
    cm.SetSourceSampleBits(8);
    cm.SetTargetSampleBits(8);
    const uint8_t rgb[6] = {1, 2, 3, 4, 5, 6};
    TPalette p = cm.BuildColorPalette({rgb}, rpInterleaved8, 2, false);
    ASSERT_EQ(p.Count(), 2);
    EXPECT_EQ(p[1], (TPaletteEntry{4, 5, 6, 0}));
    p = cm.BuildColorPalette({rgb}, rpInterleaved8, 2, true);
    EXPECT_EQ(p[0], (TPaletteEntry{3, 2, 1, 0}));

    const uint8_t bgrx[8] = {1, 2, 3, 99, 4, 5, 6, 99};
    p = cm.BuildColorPalette({bgrx}, rpInterleaved8x4, 2, true);
    EXPECT_EQ(p[1], (TPaletteEntry{6, 5, 4, 0}));

    const uint8_t r[2] = {10, 11}, g[2] = {20, 21}, b[2] = {30, 31};
    for (auto layout : {rpPlanar8, rpPlanar8b}) {
        p = cm.BuildColorPalette({r, g, b}, layout, 2, true);  // planes ignore the order flag
        EXPECT_EQ(p[1], (TPaletteEntry{11, 21, 31, 0}));
    }

    // 16-bit values are swapped when asked, then narrowed.
    cm.SetSourceFlags(cfSwapBytes);
    const uint8_t wide[8] = {0xFF, 0xFF, 0x01, 0x01, 0x01, 0x00, 0xAA, 0xAA};
    p = cm.BuildColorPalette({wide}, rpInterleaved16, 1, false);
    EXPECT_EQ(p[0], (TPaletteEntry{255, 1, 0, 0}));
    p = cm.BuildColorPalette({wide}, rpInterleaved16x4, 1, true);
    EXPECT_EQ(p[0], (TPaletteEntry{0, 1, 255, 0}));
    const uint8_t wr[2] = {0xFF, 0x00}, wg[2] = {0x80, 0x00}, wb[2] = {0x00, 0x01};
    for (auto layout : {rpPlanar16, rpPlanar16b}) {
        p = cm.BuildColorPalette({wr, wg, wb}, layout, 1, false);
        EXPECT_EQ(p[0], (TPaletteEntry{0xFF00 / 257, 0x8000 / 257, 0, 0}));
    }

    cm.SetTargetFlags(cfGamma);
    const uint8_t mid[3] = {128, 0, 255};
    p = cm.BuildColorPalette({mid}, rpInterleaved8, 1, false);
    EXPECT_EQ(p[0], (TPaletteEntry{186, 0, 255, 0}));

    EXPECT_EQ(MessageOf([&] { cm.BuildColorPalette({r, g}, rpPlanar8, 2, false); }), gesInvalidPixelScheme);
}

TEST(ColorManagerPalette, CountsAndDepthRespread) {
    TColorManager cm;
    std::vector<uint8_t> many(300 * 3);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i / 3);
    EXPECT_EQ(cm.BuildColorPalette({many.data()}, rpInterleaved8, 300, false).Count(), 256);
    EXPECT_EQ(cm.BuildColorPalette({many.data()}, rpInterleaved8, 0, false).Count(), 0);

    // 2-bit indices shown at 4 bits: index j shows entry j * 3 / 15, as the rows were scaled.
    cm.SetSourceSampleBits(2);
    cm.SetTargetSampleBits(4);
    TPalette up = cm.BuildColorPalette({many.data()}, rpInterleaved8, 4, false);
    ASSERT_EQ(up.Count(), 16);
    EXPECT_EQ(up[0].Red, 0);
    EXPECT_EQ(up[4].Red, 0);
    EXPECT_EQ(up[5].Red, 1);
    EXPECT_EQ(up[10].Red, 2);
    EXPECT_EQ(up[15].Red, 3);

    // 8-bit indices shown at 4 bits: index j shows entry j * 17.
    cm.SetSourceSampleBits(8);
    TPalette down = cm.BuildColorPalette({many.data()}, rpInterleaved8, 256, false);
    ASSERT_EQ(down.Count(), 16);
    EXPECT_EQ(down[1].Red, 17);
    EXPECT_EQ(down[15].Red, 255);

    // Entries that the data does not supply read black.
    cm.SetSourceSampleBits(4);
    cm.SetTargetSampleBits(8);
    TPalette sparse = cm.BuildColorPalette({many.data()}, rpInterleaved8, 2, false);
    ASSERT_EQ(sparse.Count(), 256);
    EXPECT_EQ(sparse[17].Red, 1);
    EXPECT_EQ(sparse[255], (TPaletteEntry{0, 0, 0, 0}));

    // Sources deeper than 8 bits are not respread: there is nothing to look up beyond 256.
    cm.SetSourceSampleBits(16);
    cm.SetTargetSampleBits(8);
    TPalette deep = cm.BuildColorPalette({many.data()}, rpInterleaved8, 256, false);
    ASSERT_EQ(deep.Count(), 256);
    EXPECT_EQ(deep[200].Red, 200);
}

// --- bounds ----------------------------------------------------------------------------------------

// Every description, mask and row length runs on heap buffers of exactly the size the layouts
// need, so that a sanitizer build reports any read or write beyond them.
TEST(ColorManagerBounds, EveryConverterStaysInsideExactBuffers) {
    const int samplesOf[] = {1, 1, 1, 2, 3, 4, 3, 4, 3, 4, 3, 3, 3};  // by TPixelModel
    const int depths[] = {1, 2, 3, 4, 8, 12, 16};
    const uint8_t masks[] = {0xFF, 0x80, 0x55};
    const uint32_t counts[] = {1, 7, 8, 9, 17};
    size_t converted = 0;

    // Runs one description over every mask and length; false when it has no converter.
    auto sweep = [&](const Description& d, bool planar) {
        TColorManager cm;
        Describe(cm, d);
        const size_t sourceSamples = static_cast<size_t>(samplesOf[d.Source]);
        const size_t targetSamples = static_cast<size_t>(samplesOf[d.Target]);
        const size_t planeCount = planar && sourceSamples > 1 ? sourceSamples : 1;
        const size_t samplesPerPlane = planeCount > 1 ? 1 : sourceSamples;
        for (uint8_t mask : masks)
            for (uint32_t count : counts) {
                size_t selected = 0;
                for (uint32_t i = 0; i < count; ++i) selected += (mask >> (7 - i % 8)) & 1;
                if (selected == 0) continue;
                std::vector<std::vector<uint8_t>> planes(planeCount);
                std::vector<const void*> pointers;
                for (auto& p : planes) {
                    p.assign((selected * samplesPerPlane * static_cast<size_t>(d.SourceBits) + 7) / 8, 0xA5);
                    pointers.push_back(p.data());
                }
                std::vector<uint8_t> target((count * targetSamples * static_cast<size_t>(d.TargetBits) + 7) / 8);
                try {
                    cm.ConvertLine(pointers, target.data(), static_cast<int32_t>(count), mask);
                } catch (const EColorConversionError&) {
                    return;
                }
                ++converted;
            }
    };
    for (int sm = pmUnknown; sm <= pmPhotoYCC; ++sm)
        for (int tm = pmUnknown; tm <= pmPhotoYCC; ++tm)
            for (int sb : depths)
                for (int tb : depths)
                    for (bool planar : {false, true})
                        sweep({static_cast<TPixelModel>(sm), static_cast<TPixelModel>(tm), sb, tb, 1, 1,
                               cfSwapBytes | cfLabOffsetChroma, cfGamma},
                              planar);
    EXPECT_GT(converted, 10000u);
}

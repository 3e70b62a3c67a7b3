#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "decoders.h"
#include "exceptions.h"
#include "image_graphic.h"

namespace {

struct PackBitsResult {
    std::string Output;  // the whole target buffer, untouched bytes as '.'
    bool PointersKept = false;
};

PackBitsResult UnpackBits(const std::vector<uint8_t>& packed, int32_t inputSize, int32_t outputSize,
                          size_t room = 12) {
    std::string out(room, '.');
    const uint8_t* source = packed.data();
    uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
    const uint8_t* sourceBefore = source;
    uint8_t* destBefore = dest;
    TPackbitsRLEDecoder decoder;
    decoder.BeginDecode();
    decoder.Decode(source, dest, inputSize, outputSize);
    decoder.EndDecode();
    return {out, source == sourceBefore && dest == destBefore};
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> v;
    for (int x : values) v.push_back(static_cast<uint8_t>(x));
    return v;
}

std::vector<uint8_t> Deflate(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress(out.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size())),
              Z_OK);
    out.resize(size);
    return out;
}

std::string LongText() {
    std::string s;
    for (int i = 0; i < 2000; ++i) s += "row " + std::to_string(i * 7919 % 1000) + ";";
    return s;
}

}  // namespace

TEST(PackBits, LiteralsAndRuns) {
    // 2: three literals; -2: the next byte three times; 0: one literal.
    auto r = UnpackBits(Bytes({2, 'a', 'b', 'c', -2, 'z', 0, 'q'}), 8, 7);
    EXPECT_EQ(r.Output, "abczzzq.....");
    EXPECT_TRUE(r.PointersKept);
}

TEST(PackBits, OutputSizeCutsRunsAndLiterals) {
    EXPECT_EQ(UnpackBits(Bytes({-127, 'x'}), 2, 5).Output, "xxxxx.......");
    EXPECT_EQ(UnpackBits(Bytes({5, '1', '2', '3', '4', '5', '6'}), 7, 3).Output, "123.........");
    EXPECT_EQ(UnpackBits(Bytes({1, 'a', 'b', -3, 'c'}), 5, 0).Output, "............");
}

TEST(PackBits, MinusOneTwentyEightIsSkipped) {
    EXPECT_EQ(UnpackBits(Bytes({-128, 0, 'q', -128, -1, 'r'}), 6, 10).Output, "qrr.........");
}

TEST(PackBits, InputEndsInsideARunOrLiteral) {
    // A literal of six announced, two present: only those two are copied.
    EXPECT_EQ(UnpackBits(Bytes({5, 'a', 'b', 'c', 'd'}), 3, 10).Output, "ab..........");
    // A run whose byte lies beyond the input writes nothing rather than reading past it.
    EXPECT_EQ(UnpackBits(Bytes({0, 'a', -4, 'Z'}), 3, 10).Output, "a...........");
    // Negative sizes do nothing.
    EXPECT_EQ(UnpackBits(Bytes({0, 'a'}), -1, 10).Output, "............");
    EXPECT_EQ(UnpackBits(Bytes({0, 'a'}), 2, -5).Output, "............");
}

TEST(DecoderBase, EncodeStoresNothing) {
    TPackbitsRLEDecoder decoder;
    uint8_t in[4] = {1, 2, 3, 4}, out[8] = {};
    int32_t stored = 77;
    decoder.Encode(in, out, 4, stored);
    EXPECT_EQ(stored, 0);
    EXPECT_THROW(DecoderError(gesLZ77Error), EGraphicCompression);
}

TEST(LZ77, InflatesAWholeStreamAndAdvancesBothPointers) {
    const std::string text = LongText();
    auto packed = Deflate(text);
    std::string out(text.size() + 10, '\0');

    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, false);
    decoder.BeginDecode();
    const uint8_t* source = packed.data();
    uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
    decoder.Decode(source, dest, static_cast<int32_t>(packed.size()), static_cast<int32_t>(out.size()));
    EXPECT_EQ(decoder.LastStatus(), Z_STREAM_END);
    EXPECT_EQ(source, packed.data() + packed.size());
    EXPECT_EQ(dest, reinterpret_cast<uint8_t*>(out.data()) + text.size());
    EXPECT_EQ(decoder.AvailableInput(), 0u);
    EXPECT_EQ(decoder.AvailableOutput(), 10u);
    EXPECT_EQ(out.substr(0, text.size()), text);
    decoder.EndDecode();
}

TEST(LZ77, RowByRowFromChunkedInput) {
    // As an image reader drives it: input arrives in pieces, output is taken a row at a time.
    const std::string text = LongText();
    auto packed = Deflate(text);
    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, false);
    decoder.BeginDecode();
    std::string out;
    size_t fed = 0;
    const size_t chunk = 97, rowBytes = 61;
    const uint8_t* source = packed.data();
    int32_t available = 0;
    while (decoder.LastStatus() == Z_OK) {
        if (available == 0) {
            if (fed >= packed.size()) break;
            available = static_cast<int32_t>(std::min(chunk, packed.size() - fed));
            fed += static_cast<size_t>(available);
        }
        std::string row(rowBytes, '\0');
        uint8_t* dest = reinterpret_cast<uint8_t*>(row.data());
        decoder.Decode(source, dest, available, static_cast<int32_t>(rowBytes));
        available = static_cast<int32_t>(decoder.AvailableInput());
        out += row.substr(0, static_cast<size_t>(dest - reinterpret_cast<uint8_t*>(row.data())));
    }
    EXPECT_EQ(decoder.LastStatus(), Z_STREAM_END);
    EXPECT_EQ(out, text);
}

TEST(LZ77, NothingHappensAfterTheEndOrAnError) {
    auto packed = Deflate("short");
    std::vector<uint8_t> out(32, 0xAA);
    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, false);
    decoder.BeginDecode();
    const uint8_t* source = packed.data();
    uint8_t* dest = out.data();
    decoder.Decode(source, dest, static_cast<int32_t>(packed.size()), 32);
    ASSERT_EQ(decoder.LastStatus(), Z_STREAM_END);

    // Fed again, the decoder stays at the end and moves nothing.
    const uint8_t* again = packed.data();
    uint8_t* more = out.data() + 5;
    decoder.Decode(again, more, static_cast<int32_t>(packed.size()), 27);
    EXPECT_EQ(decoder.LastStatus(), Z_STREAM_END);
    EXPECT_EQ(again, packed.data());
    EXPECT_EQ(more, out.data() + 5);
    EXPECT_EQ(out[5], 0xAA);

    // Corrupt data fails, and the failure sticks.
    std::vector<uint8_t> bad = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    TLZ77Decoder broken(Z_PARTIAL_FLUSH, false);
    broken.BeginDecode();
    const uint8_t* b = bad.data();
    uint8_t* d = out.data();
    broken.Decode(b, d, static_cast<int32_t>(bad.size()), 32);
    const int32_t failure = broken.LastStatus();
    EXPECT_LT(failure, 0);
    const uint8_t* good = packed.data();
    broken.Decode(good, d, static_cast<int32_t>(packed.size()), 32);
    EXPECT_EQ(broken.LastStatus(), failure);
    EXPECT_EQ(good, packed.data());
    // Released normally even after the failure.
    EXPECT_NO_THROW(broken.EndDecode());
    EXPECT_NO_THROW(broken.EndDecode());
}

TEST(LZ77, ResetEachCallDecodesIndependentStreams) {
    auto first = Deflate("first strip");
    auto second = Deflate("second strip");
    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, true);
    decoder.BeginDecode();
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> strips = {{first, "first strip"},
                                                                              {second, "second strip"}};
    for (const auto& [packed, text] : strips) {
        std::string out(text.size(), '\0');
        const uint8_t* source = packed.data();
        uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
        decoder.Decode(source, dest, static_cast<int32_t>(packed.size()), static_cast<int32_t>(out.size()));
        EXPECT_EQ(decoder.LastStatus(), Z_STREAM_END);
        EXPECT_EQ(out, text);
    }
    decoder.EndDecode();
}

TEST(LZ77, FinishModeAndMisuseAreSafe) {
    const std::string text = LongText();
    auto packed = Deflate(text);
    std::string out(text.size(), '\0');
    TLZ77Decoder finisher(Z_FINISH, false);
    finisher.BeginDecode();
    const uint8_t* source = packed.data();
    uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
    finisher.Decode(source, dest, static_cast<int32_t>(packed.size()), static_cast<int32_t>(out.size()));
    EXPECT_EQ(finisher.LastStatus(), Z_STREAM_END);
    EXPECT_EQ(out, text);

    // Decoding before BeginDecode reports an error instead of touching zlib.
    TLZ77Decoder early(Z_PARTIAL_FLUSH, false);
    source = packed.data();
    dest = reinterpret_cast<uint8_t*>(out.data());
    early.Decode(source, dest, static_cast<int32_t>(packed.size()), 10);
    EXPECT_LT(early.LastStatus(), 0);
    EXPECT_EQ(source, packed.data());

    // A decoder abandoned mid-stream (a reader that raised) frees zlib's state on its own;
    // a leak checker would report it otherwise.
    {
        TLZ77Decoder abandoned(Z_PARTIAL_FLUSH, false);
        abandoned.BeginDecode();
        source = packed.data();
        dest = reinterpret_cast<uint8_t*>(out.data());
        abandoned.Decode(source, dest, 40, 10);
        abandoned.BeginDecode();  // starting over releases the first state too
    }
}

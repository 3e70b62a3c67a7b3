#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "decoders.h"
#include "exceptions.h"
#include "image_graphic.h"

namespace {

std::vector<uint8_t> Deflate(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::vector<uint8_t> out(size);
    compress(out.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()));
    out.resize(size);
    return out;
}

std::string LongText() {
    std::string s;
    for (int i = 0; i < 2000; ++i) s += "row " + std::to_string(i * 7919 % 1000) + ";";
    return s;
}

// One Decode call; answers what reached the output and moves the caller's pointers.
struct Inflation {
    const uint8_t* Source;
    std::string Output;
    size_t Produced = 0;
    void Run(TLZ77Decoder& decoder, int32_t inputSize) {
        uint8_t* begin = reinterpret_cast<uint8_t*>(Output.data());
        uint8_t* dest = begin;
        decoder.Decode(Source, dest, inputSize, static_cast<int32_t>(Output.size()));
        Produced = static_cast<size_t>(dest - begin);
    }
};

}  // namespace

TEST(PackBits, RunsLiteralsAndTheirLimits) {
    struct Case {
        std::vector<int> Packed;
        int32_t InputSize, OutputSize;
        std::string Expected;  // ten bytes of target, untouched ones '.'
    } cases[] = {
        {{2, 'a', 'b', 'c', -2, 'z', 0, 'q'}, 8, 7, "abczzzq..."},  // literals and a run
        {{-127, 'x'}, 2, 5, "xxxxx....."},                          // a run cut at the output size
        {{5, '1', '2', '3', '4', '5', '6'}, 7, 3, "123......."},    // a literal cut there too
        {{-128, 0, 'q', -128, -1, 'r'}, 6, 10, "qrr......."},       // -128 is skipped
        {{5, 'a', 'b', 'c', 'd'}, 3, 10, "ab........"},             // the input ends in a literal
        {{0, 'a', -4, 'Z'}, 3, 10, "a........."},                   // ... or before a run's byte
        {{0, 'a'}, -1, 10, ".........."},
        {{0, 'a'}, 2, -5, ".........."},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> packed(c.Packed.begin(), c.Packed.end());
        std::string out(10, '.');
        const uint8_t* source = packed.data();
        uint8_t* dest = reinterpret_cast<uint8_t*>(out.data());
        TPackbitsRLEDecoder decoder;
        decoder.Decode(source, dest, c.InputSize, c.OutputSize);
        EXPECT_EQ(out, c.Expected);
        EXPECT_EQ(source, packed.data());  // neither side is advanced for the caller
        EXPECT_EQ(dest, reinterpret_cast<uint8_t*>(out.data()));
    }
    int32_t stored = 77;
    uint8_t in[2] = {}, out[4] = {};
    TPackbitsRLEDecoder().Encode(in, out, 2, stored);
    EXPECT_EQ(stored, 0);
    EXPECT_THROW(DecoderError(gesLZ77Error), EGraphicCompression);
}

TEST(LZ77, InflatesAndThenStaysAtTheEnd) {
    const std::string text = LongText();
    auto packed = Deflate(text);
    TLZ77Decoder decoder(Z_PARTIAL_FLUSH, false);
    decoder.BeginDecode();
    Inflation step{packed.data(), std::string(text.size() + 10, '\0')};
    step.Run(decoder, static_cast<int32_t>(packed.size()));
    EXPECT_EQ(decoder.LastStatus(), Z_STREAM_END);
    EXPECT_EQ(step.Source, packed.data() + packed.size());
    EXPECT_EQ(step.Output.substr(0, step.Produced), text);
    EXPECT_EQ(decoder.AvailableInput(), 0u);
    EXPECT_EQ(decoder.AvailableOutput(), 10u);

    // Fed again, nothing moves and the end is still reported.
    Inflation again{packed.data(), std::string(16, '.')};
    again.Run(decoder, static_cast<int32_t>(packed.size()));
    EXPECT_EQ(decoder.LastStatus(), Z_STREAM_END);
    EXPECT_EQ(again.Source, packed.data());
    EXPECT_EQ(again.Produced, 0u);
    EXPECT_EQ(again.Output, std::string(16, '.'));
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
    int32_t available = 0;
    Inflation row{packed.data(), std::string(61, '\0')};
    while (decoder.LastStatus() == Z_OK) {
        if (available == 0) {
            if (fed >= packed.size()) break;
            available = static_cast<int32_t>(std::min<size_t>(97, packed.size() - fed));
            fed += static_cast<size_t>(available);
        }
        row.Run(decoder, available);
        available = static_cast<int32_t>(decoder.AvailableInput());
        out += row.Output.substr(0, row.Produced);
    }
    EXPECT_EQ(decoder.LastStatus(), Z_STREAM_END);
    EXPECT_EQ(out, text);
}

TEST(LZ77, ErrorsStickUnlessEachCallResets) {
    const auto good = Deflate("first strip");
    const std::vector<uint8_t> bad = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    TLZ77Decoder sticky(Z_PARTIAL_FLUSH, false);
    sticky.BeginDecode();
    Inflation step{bad.data(), std::string(32, '\0')};
    step.Run(sticky, static_cast<int32_t>(bad.size()));
    const int32_t failure = sticky.LastStatus();
    EXPECT_LT(failure, 0);
    step.Source = good.data();
    step.Run(sticky, static_cast<int32_t>(good.size()));
    EXPECT_EQ(sticky.LastStatus(), failure);
    EXPECT_EQ(step.Produced, 0u);
    EXPECT_NO_THROW(sticky.EndDecode());
    EXPECT_NO_THROW(sticky.EndDecode());

    // Each strip of a TIFF file is a stream of its own.
    TLZ77Decoder strips(Z_PARTIAL_FLUSH, true);
    strips.BeginDecode();
    for (const auto* data : {&bad, &good, &good}) {
        Inflation s{data->data(), std::string(11, '\0')};
        s.Run(strips, static_cast<int32_t>(data->size()));
        if (data == &good) {
            EXPECT_EQ(strips.LastStatus(), Z_STREAM_END);
            EXPECT_EQ(s.Output, "first strip");
        }
    }
    strips.EndDecode();
}

TEST(LZ77, FinishModeAndMisuse) {
    const std::string text = LongText();
    auto packed = Deflate(text);
    TLZ77Decoder finisher(Z_FINISH, false);
    finisher.BeginDecode();
    Inflation whole{packed.data(), std::string(text.size(), '\0')};
    whole.Run(finisher, static_cast<int32_t>(packed.size()));
    EXPECT_EQ(finisher.LastStatus(), Z_STREAM_END);
    EXPECT_EQ(whole.Output, text);

    // Decoding before BeginDecode reports an error instead of touching zlib.
    TLZ77Decoder early(Z_PARTIAL_FLUSH, false);
    Inflation none{packed.data(), std::string(10, '\0')};
    none.Run(early, static_cast<int32_t>(packed.size()));
    EXPECT_LT(early.LastStatus(), 0);
    EXPECT_EQ(none.Source, packed.data());

    // A decoder abandoned mid-stream (a reader that raised) frees zlib's state on its own,
    // as does starting over; a leak checker reports it otherwise.
    TLZ77Decoder abandoned(Z_PARTIAL_FLUSH, false);
    abandoned.BeginDecode();
    Inflation part{packed.data(), std::string(10, '\0')};
    part.Run(abandoned, 40);
    abandoned.BeginDecode();
    part.Run(abandoned, 40);
}

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "exceptions.h"
#include "image_graphic.h"
#include "streams.h"
#include "test_support.h"

namespace {

// A made-up format shaped like a real reader: "PTST", width and height (16-bit little-endian),
// gamma times ten (0 = none), a version byte, then 8-bit gray rows.
class TTestGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    static constexpr int64_t HeaderSize = 10;

    static bool CanReadStream(TStream& stream) {
        char signature[4];
        return PeekSignature(stream, HeaderSize, signature, 4) && std::memcmp(signature, "PTST", 4) == 0;
    }
    static bool CanReadFile(const std::string& fileName) {
        return TImageGraphic::CanReadFile(fileName, &TTestGraphic::CanReadStream);
    }

    bool ReadProperties(TStream& stream, uint32_t imageIndex) override {
        TImageGraphic::ReadProperties(stream, imageIndex);
        uint8_t h[HeaderSize];
        if (stream.Read(h, HeaderSize) != HeaderSize || std::memcmp(h, "PTST", 4) != 0) return false;
        Properties.Width = h[4] | (h[5] << 8);
        Properties.Height = h[6] | (h[7] << 8);
        if (h[8] != 0) {
            Properties.Gamma = h[8] / 10.0f;
            Properties.Options |= imUseGamma;
            Properties.RowsPerStrip = {1, 2, 3};
        }
        Properties.Version = h[9];
        Properties.PixelModel = pmGray;
        return true;
    }

    void LoadFromStream(TStream& stream) override {
        ReleaseImage();
        StartOffset = static_cast<uint32_t>(stream.Position());
        if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, "PTST");
        ColorConverter.SetSourceModel(pmGray);
        ColorConverter.SetTargetModel(pmGray);
        ColorConverter.SetTargetSampleCount(1);
        SetPixelFormat(ColorConverter.TargetBitmapFormat());
        SetPalette(ColorConverter.BuildGrayPalette(false));
        SetSize(Properties.Width, Properties.Height);
        ProgressArea = TRect{0, 0, Properties.Width, 1};
        StartProgress(gesTransfering);
        std::vector<uint8_t> row(static_cast<size_t>(Properties.Width));
        for (int32_t y = 0; y < Properties.Height; ++y) {
            stream.ReadBuffer(row.data(), static_cast<int64_t>(row.size()));
            ColorConverter.ConvertLine({row.data()}, ScanLine(y), Properties.Width, 0xFF);
            RowProgress(y, Properties.Height);
        }
        EndProgress();
    }

    uint32_t LoadStartOffset() const { return StartOffset; }
};

const TGraphicClass TTestGraphic::Class = {
    "TTestGraphic", [] { return std::unique_ptr<TGraphic>(new TTestGraphic); }, &TTestGraphic::CanReadStream};

std::vector<uint8_t> TestFile(uint8_t width, uint8_t height, uint8_t gammaTimesTen, uint8_t version = 1) {
    std::vector<uint8_t> f = {'P', 'T', 'S', 'T', width, 0, height, 0, gammaTimesTen, version};
    for (int i = 0; i < width * height; ++i) f.push_back(static_cast<uint8_t>(i * 10));
    return f;
}

// Counts the bytes read, to prove that a test with too little data reads nothing.
class TCountingStream : public TReadOnlyMemoryStream {
public:
    using TReadOnlyMemoryStream::TReadOnlyMemoryStream;
    int64_t Read(void* buffer, int64_t count) override {
        int64_t n = TReadOnlyMemoryStream::Read(buffer, count);
        BytesRead += n;
        return n;
    }
    int64_t BytesRead = 0;
};

}  // namespace

TEST(ImageGraphicSignature, TestsFromThePositionAndLeavesItThere) {
    std::vector<uint8_t> data = {'x', 'y', 'z'};
    auto file = TestFile(2, 2, 0);
    data.insert(data.end(), file.begin(), file.end());
    TMemoryStream stream(data.data(), data.size());
    for (int64_t position : {3, 0, 4, 1000}) {
        stream.SetPosition(position);
        EXPECT_EQ(TTestGraphic::CanReadStream(stream), position == 3);
        EXPECT_EQ(stream.Position(), position);
    }
    EXPECT_FALSE(TImageGraphic::CanReadStream(stream));

    // Exactly the minimum is rejected without reading; one byte more is enough.
    TCountingStream exact(file.data(), TTestGraphic::HeaderSize);
    EXPECT_FALSE(TTestGraphic::CanReadStream(exact));
    EXPECT_EQ(exact.BytesRead, 0);
    TCountingStream oneMore(file.data(), TTestGraphic::HeaderSize + 1);
    EXPECT_TRUE(TTestGraphic::CanReadStream(oneMore));
    EXPECT_EQ(oneMore.Position(), 0);
}

TEST(ImageGraphicSignature, CanReadFileOpensTestsAndCloses) {
    testsupport::ScratchDir dir;
    const std::string good = (dir / "good.tst").string(), bad = (dir / "bad.tst").string();
    testsupport::WriteFile(good, TestFile(3, 2, 0));
    testsupport::WriteFile(bad, std::vector<uint8_t>(64, 'Q'));
    EXPECT_TRUE(TTestGraphic::CanReadFile(good));
    EXPECT_FALSE(TTestGraphic::CanReadFile(bad));
    EXPECT_TRUE(TImageGraphic::CanReadFile(good, TTestGraphic::Class));
    EXPECT_FALSE(TImageGraphic::CanReadFile(good, TBitmap::Class));  // a class without a test
    EXPECT_THROW(TTestGraphic::CanReadFile((dir / "missing.tst").string()), EFOpenError);

    // A test that raises still gets its file closed: more rounds than descriptors would last.
    auto raising = [](TStream&) -> bool { throw EReadError(SReadError); };
    for (int i = 0; i < 2000; ++i) ASSERT_THROW(TImageGraphic::CanReadFile(good, raising), EReadError);
}

TEST(ImageGraphicProperties, ReadPropertiesStartsFromACleanRecord) {
    TTestGraphic g;
    auto first = TestFile(4, 3, 25, 7), second = TestFile(2, 2, 0, 0);
    TMemoryStream a(first.data(), first.size()), b(second.data(), second.size());
    g.LoadFromStream(a);
    EXPECT_FLOAT_EQ(g.Properties.Gamma, 2.5f);
    EXPECT_EQ(g.Properties.RowsPerStrip.size(), 3u);

    ASSERT_TRUE(g.ReadProperties(b, 0));
    EXPECT_FLOAT_EQ(g.Properties.Gamma, 1.0f);
    EXPECT_EQ(g.Properties.Options, 0);
    EXPECT_EQ(g.Properties.Version, 0u);
    EXPECT_TRUE(g.Properties.RowsPerStrip.empty());

    // The base alone clears everything and answers false.
    g.Properties.TileWidth = 64;
    g.Properties.YCbCrSubSampling = {2, 2};
    EXPECT_FALSE(g.TImageGraphic::ReadProperties(b, 0));
    EXPECT_EQ(g.Properties.TileWidth, 0u);
    EXPECT_TRUE(g.Properties.YCbCrSubSampling.empty());
    EXPECT_EQ(g.Properties.Width, 0);
}

TEST(ImageGraphicProperties, AssignTakesPropertiesFromReadersOnly) {
    TTestGraphic source, copy;
    auto file = TestFile(3, 2, 20, 9);
    TMemoryStream s(file.data(), file.size());
    source.LoadFromStream(s);
    copy.Assign(source);
    EXPECT_EQ(copy.Properties.Version, 9u);
    EXPECT_EQ(copy.Properties.RowsPerStrip, (TCardinalArray{1, 2, 3}));
    EXPECT_EQ(copy.GetRawPixel(2, 1), 50u);
    copy.Properties.RowsPerStrip[0] = 99;  // the copy's arrays are its own
    EXPECT_EQ(source.Properties.RowsPerStrip[0], 1u);

    TBitmap plain;
    plain.SetPixelFormat(pf24bit);
    plain.SetSize(5, 4);
    copy.Assign(plain);
    EXPECT_EQ(copy.Width(), 5);
    EXPECT_EQ(copy.PixelFormat(), pf24bit);
    EXPECT_EQ(copy.Properties.Version, 9u);
}

TEST(ImageGraphicLoading, ReportsOnePhaseWithARunningEventPerRow) {
    std::vector<uint8_t> data(7, 0);  // the image starts 7 bytes into the stream
    auto file = TestFile(5, 3, 0);
    data.insert(data.end(), file.begin(), file.end());
    TMemoryStream stream(data.data(), data.size());
    stream.SetPosition(7);

    std::vector<std::string> events;
    TTestGraphic g;
    g.OnProgress = [&](TGraphic* sender, TProgressStage stage, uint8_t percent, bool redraw, const TRect& r,
                       const std::string& message) {
        EXPECT_EQ(sender, &g);
        events.push_back(Format("%d %d %d %d-%d %s", stage, percent, redraw, r.Top, r.Bottom, message.c_str()));
    };
    g.LoadFromStream(stream);
    EXPECT_EQ(g.LoadStartOffset(), 7u);
    EXPECT_EQ(g.GetRawPixel(4, 2), 140u);
    // Percentages y * 100 / 3 rounded; the area moves down after each row.
    EXPECT_EQ(events, (std::vector<std::string>{"0 0 0 0-1 Transfering...", "1 0 1 0-1 ", "1 33 1 1-2 ",
                                                "1 67 1 2-3 ", "2 0 0 3-4 "}));
}

TEST(ImageGraphicLoading, ErrorsCarryTheReadersTexts) {
    std::vector<uint8_t> junk(32, 'J');
    TMemoryStream stream(junk.data(), junk.size());
    TTestGraphic g;
    try {
        g.LoadFromStream(stream);
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. Invalid or unexpected PTST image format.");
    }
    EXPECT_TRUE(g.Empty());
    auto file = TestFile(4, 4, 0);
    TMemoryStream cut(file.data(), file.size() - 1);  // the stream's own error for a short file
    EXPECT_THROW(g.LoadFromStream(cut), EReadError);

    try {
        GraphicErrorFmt(gesUnsupportedFeature, gesCompression, "PNG");
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. The compression scheme is not supported for PNG files.");
    }
    EXPECT_THROW(GraphicError(gesUnknownCriticalChunk), EInvalidGraphic);
}

TEST(ImageGraphicHelpers, ByteSwapsWorkInPlaceAtAnyAddress) {
    uint8_t bytes[9] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8};
    ByteSwap16Array(bytes + 1, 3);
    ByteSwap32Array(bytes + 1, 2);
    ByteSwap16Array(bytes, 0);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 9), (std::vector<uint8_t>{0xEE, 3, 4, 1, 2, 8, 7, 5, 6}));
    static_assert(ByteSwap32(0x11223344u) == 0x44332211u);
}

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
        uint8_t header[HeaderSize];
        if (stream.Read(header, HeaderSize) != HeaderSize || std::memcmp(header, "PTST", 4) != 0) return false;
        Properties.Width = header[4] | (header[5] << 8);
        Properties.Height = header[6] | (header[7] << 8);
        if (header[8] != 0) {
            Properties.Gamma = header[8] / 10.0f;
            Properties.Options |= imUseGamma;
            Properties.RowsPerStrip = {1, 2, 3};
        }
        Properties.Version = header[9];
        Properties.PixelModel = pmGray;
        Properties.BitsPerSample = 8;
        Properties.SamplesPerPixel = 1;
        Properties.BitsPerPixel = 8;
        Properties.Compression = ckNone;
        return true;
    }

    void LoadFromStream(TStream& stream) override {
        ReleaseImage();
        StartOffset = static_cast<uint32_t>(stream.Position());
        if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, "PTST");
        ColorConverter.SetSourceModel(pmGray);
        ColorConverter.SetTargetModel(pmGray);
        ColorConverter.SetSourceSampleCount(1);
        ColorConverter.SetTargetSampleCount(1);
        ColorConverter.SetSourceSampleBits(8);
        ColorConverter.SetTargetSampleBits(8);
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

    TRect CurrentProgressArea() const { return ProgressArea; }
    uint32_t LoadStartOffset() const { return StartOffset; }
};

const TGraphicClass TTestGraphic::Class = {
    "TTestGraphic", [] { return std::unique_ptr<TGraphic>(new TTestGraphic); }, &TTestGraphic::CanReadStream};

std::vector<uint8_t> TestFile(uint16_t width, uint16_t height, uint8_t gammaTimesTen, uint8_t version = 1) {
    std::vector<uint8_t> f = {'P', 'T', 'S', 'T', static_cast<uint8_t>(width), static_cast<uint8_t>(width >> 8),
                              static_cast<uint8_t>(height), static_cast<uint8_t>(height >> 8), gammaTimesTen, version};
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

TEST(ImageGraphicSignature, CanReadStreamTestsFromThePositionAndLeavesItThere) {
    std::vector<uint8_t> data = {'x', 'y', 'z'};
    auto file = TestFile(2, 2, 0);
    data.insert(data.end(), file.begin(), file.end());
    TMemoryStream stream(data.data(), data.size());

    stream.SetPosition(3);
    EXPECT_TRUE(TTestGraphic::CanReadStream(stream));
    EXPECT_EQ(stream.Position(), 3);
    stream.SetPosition(0);
    EXPECT_FALSE(TTestGraphic::CanReadStream(stream));
    EXPECT_EQ(stream.Position(), 0);
    stream.SetPosition(4);
    EXPECT_FALSE(TTestGraphic::CanReadStream(stream));
    EXPECT_EQ(stream.Position(), 4);
    stream.SetPosition(1000);  // past the end
    EXPECT_FALSE(TTestGraphic::CanReadStream(stream));
    EXPECT_EQ(stream.Position(), 1000);

    EXPECT_FALSE(TImageGraphic::CanReadStream(stream));
}

TEST(ImageGraphicSignature, ExactlyTheMinimumIsRejectedWithoutReading) {
    auto file = TestFile(1, 1, 0);  // header and one pixel
    TCountingStream exact(file.data(), static_cast<size_t>(TTestGraphic::HeaderSize));
    EXPECT_FALSE(TTestGraphic::CanReadStream(exact));
    EXPECT_EQ(exact.BytesRead, 0);
    TCountingStream oneMore(file.data(), static_cast<size_t>(TTestGraphic::HeaderSize) + 1);
    EXPECT_TRUE(TTestGraphic::CanReadStream(oneMore));
    EXPECT_EQ(oneMore.Position(), 0);
}

TEST(ImageGraphicSignature, CanReadFileOpensTestsAndCloses) {
    testsupport::ScratchDir dir;
    testsupport::WriteFile(dir / "good.tst", TestFile(3, 2, 0));
    testsupport::WriteFile(dir / "bad.tst", std::vector<uint8_t>(64, 'Q'));
    EXPECT_TRUE(TTestGraphic::CanReadFile((dir / "good.tst").string()));
    EXPECT_FALSE(TTestGraphic::CanReadFile((dir / "bad.tst").string()));
    EXPECT_TRUE(TImageGraphic::CanReadFile((dir / "good.tst").string(), TTestGraphic::Class));
    EXPECT_FALSE(TImageGraphic::CanReadFile((dir / "good.tst").string(), TBitmap::Class));  // no test
    EXPECT_THROW(TTestGraphic::CanReadFile((dir / "missing.tst").string()), EFOpenError);

    // A test that raises still gets its file closed; the error reaches the caller.
    auto raising = [](TStream&) -> bool { throw EReadError(SReadError); };
    for (int i = 0; i < 2000; ++i)  // more than the usual descriptor limit would allow leaked
        ASSERT_THROW(TImageGraphic::CanReadFile((dir / "good.tst").string(), raising), EReadError);
}

TEST(ImageGraphicProperties, ReadPropertiesStartsFromACleanRecord) {
    TTestGraphic g;
    auto first = TestFile(4, 3, 25, 7);
    TMemoryStream a(first.data(), first.size());
    g.LoadFromStream(a);
    EXPECT_FLOAT_EQ(g.Properties.Gamma, 2.5f);
    EXPECT_EQ(g.Properties.Version, 7u);
    EXPECT_EQ(g.Properties.RowsPerStrip.size(), 3u);

    auto second = TestFile(2, 2, 0, 0);
    TMemoryStream b(second.data(), second.size());
    ASSERT_TRUE(g.ReadProperties(b, 0));
    EXPECT_FLOAT_EQ(g.Properties.Gamma, 1.0f);
    EXPECT_EQ(g.Properties.Options, 0);
    EXPECT_EQ(g.Properties.Version, 0u);
    EXPECT_TRUE(g.Properties.RowsPerStrip.empty());
    EXPECT_EQ(g.Properties.Width, 2);

    // The base alone clears everything and answers false.
    g.Properties.TileWidth = 64;
    g.Properties.YCbCrSubSampling = {2, 2};
    EXPECT_FALSE(g.TImageGraphic::ReadProperties(b, 0));
    EXPECT_EQ(g.Properties.TileWidth, 0u);
    EXPECT_TRUE(g.Properties.YCbCrSubSampling.empty());
    EXPECT_FLOAT_EQ(g.Properties.Gamma, 1.0f);
}

TEST(ImageGraphicProperties, AssignTakesPropertiesFromReadersOnly) {
    TTestGraphic source;
    auto file = TestFile(3, 2, 20, 9);
    TMemoryStream s(file.data(), file.size());
    source.LoadFromStream(s);

    TTestGraphic copy;
    copy.Assign(source);
    EXPECT_EQ(copy.Properties.Version, 9u);
    EXPECT_FLOAT_EQ(copy.Properties.Gamma, 2.0f);
    EXPECT_EQ(copy.Properties.RowsPerStrip, (TCardinalArray{1, 2, 3}));
    EXPECT_EQ(copy.Width(), 3);
    EXPECT_EQ(copy.GetRawPixel(2, 1), 50u);
    // The arrays are the copy's own.
    copy.Properties.RowsPerStrip[0] = 99;
    EXPECT_EQ(source.Properties.RowsPerStrip[0], 1u);

    TBitmap plain;
    plain.SetPixelFormat(pf24bit);
    plain.SetSize(5, 4);
    copy.Assign(plain);
    EXPECT_EQ(copy.Width(), 5);
    EXPECT_EQ(copy.PixelFormat(), pf24bit);
    EXPECT_EQ(copy.Properties.Version, 9u);
    EXPECT_EQ(copy.Properties.Width, 3);
}

TEST(ImageGraphicLoading, ReportsOnePhaseWithARunningRowPerRow) {
    auto file = TestFile(5, 3, 0);
    std::vector<uint8_t> data(7, 0);  // the image starts 7 bytes into the stream
    data.insert(data.end(), file.begin(), file.end());
    TMemoryStream stream(data.data(), data.size());
    stream.SetPosition(7);

    struct Event {
        TProgressStage Stage;
        int Percent;
        bool Redraw;
        TRect Area;
        std::string Message;
    };
    std::vector<Event> events;
    TTestGraphic g;
    g.OnProgress = [&](TGraphic* sender, TProgressStage stage, uint8_t percent, bool redraw, const TRect& r,
                       const std::string& message) {
        EXPECT_EQ(sender, &g);
        events.push_back({stage, percent, redraw, r, message});
    };
    g.LoadFromStream(stream);
    EXPECT_EQ(g.LoadStartOffset(), 7u);
    EXPECT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(g.GetRawPixel(4, 2), 140u);

    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].Stage, psStarting);
    EXPECT_EQ(events[0].Message, "Transfering...");
    EXPECT_FALSE(events[0].Redraw);
    EXPECT_EQ(events[0].Area, (TRect{0, 0, 5, 1}));
    const int percents[3] = {0, 33, 67};  // y * 100 / 3, rounded
    for (int y = 0; y < 3; ++y) {
        const Event& e = events[static_cast<size_t>(y) + 1];
        EXPECT_EQ(e.Stage, psRunning);
        EXPECT_EQ(e.Percent, percents[y]);
        EXPECT_TRUE(e.Redraw);
        EXPECT_EQ(e.Area, (TRect{0, y, 5, y + 1}));
        EXPECT_TRUE(e.Message.empty());
    }
    EXPECT_EQ(events[4].Stage, psEnding);
    EXPECT_EQ(events[4].Area, (TRect{0, 3, 5, 4}));
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

    // A short file fails with the stream's own error.
    auto file = TestFile(4, 4, 0);
    file.resize(file.size() - 1);
    TMemoryStream cut(file.data(), file.size());
    EXPECT_THROW(g.LoadFromStream(cut), EReadError);

    try {
        GraphicErrorFmt(gesUnsupportedFeature, gesCompression, "PNG");
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. The compression scheme is not supported for PNG files.");
    }
    try {
        GraphicErrorFmt("%s: %d", "rows", 12);
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "rows: 12");
    }
    EXPECT_THROW(GraphicError(gesUnknownCriticalChunk), EInvalidGraphic);
}

TEST(ImageGraphicHelpers, ByteSwapsWorkInPlaceAtAnyAddress) {
    uint8_t bytes[9] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8};
    ByteSwap16Array(bytes + 1, 3);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 9), (std::vector<uint8_t>{0xEE, 2, 1, 4, 3, 6, 5, 7, 8}));
    ByteSwap32Array(bytes + 1, 2);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 9), (std::vector<uint8_t>{0xEE, 3, 4, 1, 2, 8, 7, 5, 6}));
    ByteSwap16Array(bytes, 0);
    ByteSwap32Array(bytes, 0);
    EXPECT_EQ(bytes[0], 0xEE);
    static_assert(ByteSwap32(0x11223344u) == 0x44332211u);
}

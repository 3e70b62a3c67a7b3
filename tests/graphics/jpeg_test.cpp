// JPEG images: decoding matches libjpeg's own decode, saving writes baseline colour JFIF at
// quality 90, and broken files give a clear error.
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

#include "exceptions.h"
#include "jpeg_image.h"
#include "streams.h"
#include "test_support.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

// libjpeg's default decode of a file: its own output colour space and components.
struct PlainDecode {
    bool Ok = false;
    int Width = 0, Height = 0, Components = 0;
    bool Adobe = false;
    std::vector<uint8_t> Pixels;
};

struct PlainError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
};

extern "C" void PlainErrorExit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<PlainError*>(cinfo->err)->Jump, 1); }
extern "C" void PlainSilence(j_common_ptr, int) {}

bool DecodePlainInto(const std::vector<uint8_t>* data, PlainDecode* out) {
    jpeg_decompress_struct cinfo;
    PlainError err;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.Manager);
    err.Manager.error_exit = PlainErrorExit;
    err.Manager.emit_message = PlainSilence;
    if (setjmp(err.Jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data->data(), static_cast<unsigned long>(data->size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    out->Width = static_cast<int>(cinfo.output_width);
    out->Height = static_cast<int>(cinfo.output_height);
    out->Components = cinfo.output_components;
    out->Adobe = cinfo.saw_Adobe_marker;
    out->Pixels.resize(static_cast<size_t>(out->Width) * out->Height * out->Components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out->Pixels.data() + static_cast<size_t>(cinfo.output_scanline) * out->Width * out->Components;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_destroy_decompress(&cinfo);
    return true;
}

PlainDecode DecodePlain(const std::vector<uint8_t>& data) {
    PlainDecode out;
    out.Ok = DecodePlainInto(&data, &out);
    return out;
}

// The colour libjpeg's decode stands for: grey repeated, inverted CMYK multiplied out.
TRGBQuad PlainColor(const PlainDecode& d, int x, int y) {
    const uint8_t* p = &d.Pixels[(static_cast<size_t>(y) * d.Width + x) * d.Components];
    if (d.Components == 1) return TRGBQuad{p[0], p[0], p[0], 255};
    if (d.Components == 3) return TRGBQuad{p[2], p[1], p[0], 255};
    auto ink = [&](int c) { return d.Adobe ? p[c] : 255 - p[c]; };
    auto mul = [&](int c) { return static_cast<uint8_t>((ink(c) * ink(3) + 127) / 255); };
    return TRGBQuad{mul(2), mul(1), mul(0), 255};
}

std::vector<uint8_t> Save(TJPEGImage& jpeg) {
    TMemoryStream stream;
    jpeg.SaveToStream(stream);
    return stream.Bytes();
}

TBitmap Gradient(int w, int h) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.SetPixel(x, y, TRGBQuad{static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 4), static_cast<uint8_t>(128), 255});
    return b;
}

std::vector<uint8_t> GradientJpeg(bool progressive = false) {
    TJPEGImage jpeg;
    jpeg.Assign(Gradient(48, 40));
    jpeg.ProgressiveEncoding = progressive;
    return Save(jpeg);
}

// Offset of the first marker of that kind (the byte after 0xFF), or npos.
size_t FindMarker(const std::vector<uint8_t>& data, uint8_t marker, size_t from = 2) {
    for (size_t i = from; i + 1 < data.size(); ++i)
        if (data[i] == 0xFF && data[i + 1] == marker) return i + 1;
    return std::string::npos;
}

std::string LoadError(const std::vector<uint8_t>& data) {
    TJPEGImage jpeg;
    TReadOnlyMemoryStream stream(data.data(), data.size());
    try {
        jpeg.LoadFromStream(stream);
    } catch (const EInvalidGraphic& e) {
        return e.what();
    }
    return "";
}

void ExpectSameAsLibjpeg(const fs::path& file) {
    const std::vector<uint8_t> data = ReadFile(file);
    const PlainDecode plain = DecodePlain(data);
    ASSERT_TRUE(plain.Ok) << file;
    TJPEGImage jpeg;
    jpeg.LoadFromFile(file.string());
    const TBitmap& b = jpeg.Bitmap();
    ASSERT_EQ(b.PixelFormat(), pf24bit);
    ASSERT_EQ(b.Width(), plain.Width);
    ASSERT_EQ(b.Height(), plain.Height);
    int64_t differing = 0;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            if (!(b.GetPixel(x, y) == PlainColor(plain, x, y))) ++differing;
    EXPECT_EQ(differing, 0) << file;
}

}  // namespace

TEST(JpegImage, CorpusFilesDecodeAsLibjpegDecodesThem) {
    REQUIRE_CORPUS();
    int checked = 0;
    for (const char* folder : {"public/jpeg", "synthetic/jpeg"})
        for (const auto& item : fs::directory_iterator(CorpusDir() / folder)) {
            const std::string name = item.path().filename().string();
            if (item.path().extension() != ".jpg") continue;
            SCOPED_TRACE(name);
            ++checked;
            // truncated_jpeg.jpg lacks only the last byte of its end marker: the image is whole.
            ExpectSameAsLibjpeg(item.path());
        }
    EXPECT_GT(checked, 40);
}

// An independent check of the CMYK conversion: the generated files have no black ink, so the
// reference decoder's colours are exact.
TEST(JpegImage, InvertedCmykMatchesReferences) {
    REQUIRE_CORPUS();
    const fs::path dir = CorpusDir() / "synthetic" / "jpeg";
    for (const char* name : {"cmyk_k0_37x23.jpg", "cmyk_k0_301x207.jpg"}) {
        TJPEGImage jpeg;
        jpeg.LoadFromFile((dir / name).string());
        const Comparison c = Compare(ReadPng(dir / (std::string(name) + ".ref.png")), ToRgba(jpeg.Bitmap()), false);
        EXPECT_TRUE(c.Exact()) << name << ": " << c.Describe();
    }
}

TEST(JpegImage, SavesBaselineColourJfifAtQuality90) {
    const std::vector<uint8_t> data = GradientJpeg();
    ASSERT_GT(data.size(), 20u);
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(data[1], 0xD8);
    EXPECT_EQ(data[2], 0xFF);
    EXPECT_EQ(data[3], 0xE0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[6]), 5), std::string("JFIF\0", 5));

    const size_t sof = FindMarker(data, 0xC0);  // baseline; a progressive file has 0xC2
    ASSERT_NE(sof, std::string::npos);
    EXPECT_EQ(FindMarker(data, 0xC2), std::string::npos);
    EXPECT_EQ(data[sof + 8], 3) << "components";

    // The luminance table is the standard one scaled for quality 90 (a factor of 20 %).
    static const int standard[64] = {16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40,
                                     26, 24, 22, 22, 24, 49, 35, 37, 29, 40, 58, 51, 61, 60, 57, 51,
                                     56, 55, 64, 72, 92, 78, 64, 68, 87, 69, 55, 56, 80, 109, 81, 87,
                                     95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
    const size_t dqt = FindMarker(data, 0xDB);
    ASSERT_NE(dqt, std::string::npos);
    ASSERT_EQ(data[dqt + 3], 0) << "8-bit table 0";
    // The file stores the table in zigzag order; the standard table above is in zigzag order too.
    for (int i = 0; i < 64; ++i) EXPECT_EQ(data[dqt + 4 + i], (standard[i] * 20 + 50) / 100) << i;

    TJPEGImage back;
    TReadOnlyMemoryStream stream(data.data(), data.size());
    back.LoadFromStream(stream);
    const Comparison c = Compare(ToRgba(Gradient(48, 40)), ToRgba(back.Bitmap()), false);
    EXPECT_TRUE(c.SameSize);
    EXPECT_LE(c.MaxDifference, 12) << c.Describe();
}

TEST(JpegImage, SavingHonoursProgressiveAndGreyscale) {
    EXPECT_NE(FindMarker(GradientJpeg(true), 0xC2), std::string::npos);
    TJPEGImage jpeg;
    jpeg.Assign(Gradient(16, 16));
    jpeg.Grayscale = true;
    const std::vector<uint8_t> data = Save(jpeg);
    const size_t sof = FindMarker(data, 0xC0);
    ASSERT_NE(sof, std::string::npos);
    EXPECT_EQ(data[sof + 8], 1);
}

TEST(JpegImage, SavesAnyPixelFormatAndReplacesAnExistingFile) {
    ScratchDir dir;
    const fs::path file = dir / "out.jpg";
    WriteFile(file, std::vector<uint8_t>(100000, 0xAB));
    TBitmap indexed;
    indexed.SetPixelFormat(pf8bit);
    indexed.SetSize(20, 10);
    TPalette palette;
    palette.Add(0, 0, 0);
    palette.Add(200, 10, 10);
    indexed.SetPalette(palette);
    indexed.Fill(RGBColor(200, 10, 10));
    TJPEGImage jpeg;
    jpeg.Assign(indexed);
    jpeg.SaveToFile(file.string());
    const std::vector<uint8_t> written = ReadFile(file);
    EXPECT_LT(written.size(), 100000u);
    EXPECT_EQ(written, Save(jpeg));
    TJPEGImage back;
    back.LoadFromFile(file.string());
    const TRGBQuad c = back.Bitmap().GetPixel(10, 5);
    EXPECT_NEAR(c.Red, 200, 4);
    EXPECT_NEAR(c.Green, 10, 4);
    EXPECT_NEAR(c.Blue, 10, 4);
}

TEST(JpegImage, SavingAnEmptyImageIsAnError) {
    TJPEGImage jpeg;
    TMemoryStream stream;
    EXPECT_THROW(jpeg.SaveToStream(stream), EInvalidGraphic);
}

TEST(JpegImage, BrokenFilesGiveLibjpegsMessage) {
    EXPECT_FALSE(LoadError({}).empty());
    EXPECT_EQ(LoadError({'G', 'I', 'F', '8', '9', 'a', 0, 0}), "Not a JPEG file: starts with 0x47 0x49");

    const std::vector<uint8_t> good = GradientJpeg();
    for (size_t cut : {size_t{3}, size_t{40}}) {
        const std::vector<uint8_t> truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(LoadError(truncated).empty()) << "cut at " << cut;
    }
    for (size_t cut : {good.size() / 2, good.size() - 40}) {
        const std::vector<uint8_t> truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(LoadError(truncated), "Premature end of JPEG file") << "cut at " << cut;
    }
    // Only the end marker missing: the image is complete.
    const std::vector<uint8_t> noEnd(good.begin(), good.end() - 2);
    EXPECT_EQ(LoadError(noEnd), "");

    const std::vector<uint8_t> progressive = GradientJpeg(true);
    const std::vector<uint8_t> cut(progressive.begin(), progressive.begin() + static_cast<std::ptrdiff_t>(progressive.size() / 2));
    EXPECT_EQ(LoadError(cut), "Premature end of JPEG file");
}

TEST(JpegImage, AbsurdSizeIsRefusedBeforeDecoding) {
    std::vector<uint8_t> data = GradientJpeg();
    const size_t sof = FindMarker(data, 0xC0);
    ASSERT_NE(sof, std::string::npos);
    // Height and width follow the marker, its length and the sample precision.
    for (size_t at : {sof + 4, sof + 6}) {
        data[at] = 0xFF;
        data[at + 1] = 0xD0;  // 65488
    }
    TJPEGImage jpeg;
    TReadOnlyMemoryStream stream(data.data(), data.size());
    try {
        jpeg.LoadFromStream(stream);
        FAIL() << "decoded";
    } catch (const EOutOfResources& e) {
        EXPECT_STREQ(e.what(), "Image is too large (65488 x 65488 pixels).");
    }
}

TEST(JpegImage, EndlessScansAreRefused) {
    // A progressive file whose first scan (DC coefficients, which any repeat decodes alike) is
    // repeated again and again.
    const std::vector<uint8_t> data = GradientJpeg(true);
    const size_t sos = FindMarker(data, 0xDA);
    ASSERT_NE(sos, std::string::npos);
    const size_t begin = sos - 1;
    size_t end = sos + 1 + ((data[sos + 1] << 8) | data[sos + 2]);
    // The scan's data runs up to the next marker that is neither a stuffed zero nor a restart.
    while (end + 1 < data.size() && !(data[end] == 0xFF && data[end + 1] != 0 && (data[end + 1] & 0xF8) != 0xD0)) ++end;
    std::vector<uint8_t> endless(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(end));
    for (int i = 0; i < 1100; ++i)
        endless.insert(endless.end(), data.begin() + static_cast<std::ptrdiff_t>(begin), data.begin() + static_cast<std::ptrdiff_t>(end));
    endless.insert(endless.end(), data.begin() + static_cast<std::ptrdiff_t>(end), data.end());
    EXPECT_EQ(LoadError(endless), "JPEG image has more than 1000 scans");
    // A few repeats are harmless.
    std::vector<uint8_t> some(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(end));
    for (int i = 0; i < 5; ++i)
        some.insert(some.end(), data.begin() + static_cast<std::ptrdiff_t>(begin), data.begin() + static_cast<std::ptrdiff_t>(end));
    some.insert(some.end(), data.begin() + static_cast<std::ptrdiff_t>(end), data.end());
    EXPECT_EQ(LoadError(some), "");
}

TEST(JpegImage, FailedLoadKeepsNoHalfImage) {
    TJPEGImage jpeg;
    const std::vector<uint8_t> good = GradientJpeg();
    TReadOnlyMemoryStream first(good.data(), good.size());
    jpeg.LoadFromStream(first);
    ASSERT_EQ(jpeg.Width(), 48);
    // A bad header leaves the image as it was.
    const std::vector<uint8_t> junk = {1, 2, 3, 4};
    TReadOnlyMemoryStream second(junk.data(), junk.size());
    EXPECT_THROW(jpeg.LoadFromStream(second), EInvalidGraphic);
    EXPECT_EQ(jpeg.Width(), 48);
}

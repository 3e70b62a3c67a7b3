// JPEG images: decoding matches libjpeg's own decode, saving writes baseline colour JFIF at
// quality 90, and broken files give a clear error.
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <csetjmp>
#include <cstring>

#include "file_builder.h"
#include "formats/jpeg_image.h"
#include "test_support.h"

using namespace testfiles;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// libjpeg's default decode: its own output colour space (RGB, grey or CMYK).
struct PlainDecode {
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

bool DecodePlain(const std::vector<uint8_t>* data, PlainDecode* out) {
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

// The colour a plain decode stands for: grey repeated; CMYK inks (stored inverted under an
// Adobe marker) multiplied out.
TRGBQuad PlainColor(const PlainDecode& d, size_t pixel) {
    const uint8_t* p = &d.Pixels[pixel * d.Components];
    if (d.Components == 1) return TRGBQuad{p[0], p[0], p[0], 255};
    if (d.Components == 3) return TRGBQuad{p[2], p[1], p[0], 255};
    auto light = [&](int c) { return d.Adobe ? p[c] : 255 - p[c]; };
    auto mul = [&](int c) { return static_cast<uint8_t>((light(c) * light(3) + 127) / 255); };
    return TRGBQuad{mul(2), mul(1), mul(0), 255};
}

std::vector<uint8_t> Saved(TJPEGImage& jpeg) {
    TMemoryStream stream;
    jpeg.SaveToStream(stream);
    return stream.Bytes();
}

TBitmap Gradient() {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(48, 40);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x) b.SetPixel(x, y, TRGBQuad{static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 4), 128, 255});
    return b;
}

std::vector<uint8_t> GradientJpeg(bool progressive = false) {
    TJPEGImage jpeg;
    jpeg.Assign(Gradient());
    jpeg.ProgressiveEncoding = progressive;
    return Saved(jpeg);
}

// Offset of the byte after the first 0xFF of that marker, or npos.
size_t FindMarker(const std::vector<uint8_t>& data, uint8_t marker, size_t from = 2) {
    for (size_t i = from; i + 1 < data.size(); ++i)
        if (data[i] == 0xFF && data[i + 1] == marker) return i + 1;
    return std::string::npos;
}

std::vector<uint8_t> Cut(const std::vector<uint8_t>& data, size_t from, size_t to) {
    return std::vector<uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace

TEST(JpegImage, CorpusFilesDecodeAsLibjpegDecodesThem) {
    REQUIRE_CORPUS();
    int checked = 0;
    for (const char* folder : {"public/jpeg", "synthetic/jpeg"})
        for (const auto& item : fs::directory_iterator(CorpusDir() / folder)) {
            if (item.path().extension() != ".jpg") continue;
            // truncated_jpeg.jpg lacks only the last byte of its end marker: the image is whole.
            const std::vector<uint8_t> data = ReadFile(item.path());
            PlainDecode plain;
            ASSERT_TRUE(DecodePlain(&data, &plain)) << item.path();
            TJPEGImage jpeg;
            jpeg.LoadFromFile(item.path().string());
            const TBitmap& b = jpeg.Bitmap();
            ASSERT_EQ(b.PixelFormat(), pf24bit);
            ASSERT_TRUE(b.Width() == plain.Width && b.Height() == plain.Height) << item.path();
            int64_t differing = 0;
            for (int y = 0; y < b.Height(); ++y)
                for (int x = 0; x < b.Width(); ++x) differing += !(b.GetPixel(x, y) == PlainColor(plain, static_cast<size_t>(y) * b.Width() + x));
            EXPECT_EQ(differing, 0) << item.path();
            ++checked;
        }
    EXPECT_GT(checked, 40);
    // An independent check of the CMYK conversion: without black ink the references are exact.
    TJPEGImage cmyk;
    const fs::path file = CorpusDir() / "synthetic" / "jpeg" / "cmyk_k0_301x207.jpg";
    cmyk.LoadFromFile(file.string());
    EXPECT_TRUE(testsupport::Compare(ReadPng(file.string() + ".ref.png"), ToRgba(cmyk.Bitmap()), false).Exact());
}

TEST(JpegImage, SavesBaselineColourJfifAtQuality90) {
    const std::vector<uint8_t> data = GradientJpeg();
    ASSERT_GT(data.size(), 200u);
    EXPECT_EQ(Cut(data, 0, 4), (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0}));
    EXPECT_EQ(Cut(data, 6, 11), (std::vector<uint8_t>{'J', 'F', 'I', 'F', 0}));
    const size_t sof = FindMarker(data, 0xC0);  // baseline; progressive would be 0xC2
    ASSERT_NE(sof, std::string::npos);
    EXPECT_EQ(data[sof + 8], 3) << "colour";
    EXPECT_NE(FindMarker(GradientJpeg(true), 0xC2), std::string::npos);
    TBitmap wide = Gradient();
    wide.SetPixelFormat(pf32bit);
    TJPEGImage fromWide;
    fromWide.Assign(wide);
    EXPECT_EQ(Saved(fromWide), data) << "any pixel format saves as its colours";

    // The luminance table is the standard one (zigzag order, as stored) scaled for quality 90.
    static const int standard[64] = {16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40,
                                     26, 24, 22, 22, 24, 49, 35, 37, 29, 40, 58, 51, 61, 60, 57, 51,
                                     56, 55, 64, 72, 92, 78, 64, 68, 87, 69, 55, 56, 80, 109, 81, 87,
                                     95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
    const size_t dqt = FindMarker(data, 0xDB);
    ASSERT_NE(dqt, std::string::npos);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(data[dqt + 4 + i], (standard[i] * 20 + 50) / 100) << i;

    TJPEGImage back;
    LoadInto(back, data);
    const Comparison c = testsupport::Compare(ToRgba(Gradient()), ToRgba(back.Bitmap()), false);
    EXPECT_TRUE(c.SameSize && c.MaxDifference <= 12) << c.Describe();
}

TEST(JpegImage, LargeOutputGrowsItsBufferAndReadsBack) {
    // Noise compresses badly: several hundred kilobytes, well past the first output buffer.
    TBitmap noise;
    noise.SetPixelFormat(pf24bit);
    noise.SetSize(600, 500);
    uint32_t state = 12345;
    for (int y = 0; y < noise.Height(); ++y) {
        uint8_t* row = noise.ScanLine(y);
        for (size_t i = 0; i < noise.RowStride(); ++i) row[i] = static_cast<uint8_t>((state = state * 1664525 + 1013904223) >> 24);
    }
    TJPEGImage jpeg;
    jpeg.Assign(noise);
    const std::vector<uint8_t> data = Saved(jpeg);
    ASSERT_GT(data.size(), 256u * 1024);
    EXPECT_EQ(Cut(data, data.size() - 2, data.size()), (std::vector<uint8_t>{0xFF, 0xD9}));
    TJPEGImage back;
    LoadInto(back, data);
    EXPECT_EQ(back.Width(), 600);
    EXPECT_EQ(back.Height(), 500);
}

TEST(JpegImage, SavingReplacesAnExistingFile) {
    ScratchDir dir;
    const fs::path file = dir / "out.jpg";
    WriteFile(file, std::vector<uint8_t>(100000, 0xAB));
    TJPEGImage jpeg;
    jpeg.Assign(Gradient());
    jpeg.SaveToFile(file.string());
    EXPECT_EQ(ReadFile(file), Saved(jpeg));

    // A graphic that cannot be saved leaves the file as it was.
    TBitmap empty;
    EXPECT_THROW(empty.SaveToFile(file.string()), EInvalidGraphic);
    EXPECT_EQ(ReadFile(file), Saved(jpeg));
}

TEST(JpegImage, BrokenFilesGiveLibjpegsMessage) {
    EXPECT_NE(LoadError<TJPEGImage>({}), "");
    EXPECT_EQ(LoadError<TJPEGImage>({'G', 'I', 'F', '8', '9', 'a'}), "Not a JPEG file: starts with 0x47 0x49");
    for (bool progressive : {false, true}) {
        const std::vector<uint8_t> good = GradientJpeg(progressive);
        EXPECT_NE(LoadPrefixError<TJPEGImage>(good, 40), "");
        // libjpeg alone would fill the rest with grey and report success.
        EXPECT_EQ(LoadPrefixError<TJPEGImage>(good, good.size() / 2), "Premature end of JPEG file");
        EXPECT_EQ(LoadPrefixError<TJPEGImage>(good, good.size() - 40), "Premature end of JPEG file");
        EXPECT_EQ(LoadPrefixError<TJPEGImage>(good, good.size() - 2), "") << "only the end marker missing";
        if (progressive) {
            // Cut just before a later scan: every scan that is there is whole.
            size_t sos = 0;
            for (int n = 0; n < 4; ++n) sos = FindMarker(good, 0xDA, sos + 1);
            ASSERT_NE(sos, std::string::npos);
            EXPECT_EQ(LoadPrefixError<TJPEGImage>(good, sos - 1), "Premature end of JPEG file");
        }
    }
    LoadDamagedCopies<TJPEGImage>(GradientJpeg(false), 300);
    LoadDamagedCopies<TJPEGImage>(GradientJpeg(true), 301);
}

TEST(JpegImage, AbsurdSizesAndEndlessScansAreRefused) {
    std::vector<uint8_t> huge = GradientJpeg();
    const size_t sof = FindMarker(huge, 0xC0);
    huge[sof + 4] = huge[sof + 6] = 0xFF;  // 65488 x 65488
    huge[sof + 5] = huge[sof + 7] = 0xD0;
    EXPECT_EQ(LoadError<TJPEGImage>(huge), "Image is too large (65488 x 65488 pixels).");

    // A progressive file whose first scan (DC coefficients, decoded alike however often) is
    // repeated: a few times is harmless, a thousand times is refused.
    const std::vector<uint8_t> data = GradientJpeg(true);
    const size_t begin = FindMarker(data, 0xDA) - 1;
    size_t end = begin + 2 + ((data[begin + 2] << 8) | data[begin + 3]);
    while (!(data[end] == 0xFF && data[end + 1] != 0 && (data[end + 1] & 0xF8) != 0xD0)) ++end;
    for (int repeats : {5, 1100}) {
        std::vector<uint8_t> file = Cut(data, 0, end);
        for (int i = 0; i < repeats; ++i) file.insert(file.end(), data.begin() + static_cast<std::ptrdiff_t>(begin), data.begin() + static_cast<std::ptrdiff_t>(end));
        file.insert(file.end(), data.begin() + static_cast<std::ptrdiff_t>(end), data.end());
        EXPECT_EQ(LoadError<TJPEGImage>(file), repeats < 1000 ? "" : "JPEG image has more than 1000 scans");
    }
}

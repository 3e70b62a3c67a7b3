// The PNG reader against the corpus: every file of the PNG test suite and every generated
// variant decodes to its reference, and every deliberately corrupt file fails with one of the
// reader's messages.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "formats/png_graphic.h"
#include "streams.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// The expected picture where a reference does not show what our reader documents: the raw
// samples as libpng decodes them, narrowed like ours (v / 257), with the file's gamma for a
// display of 2.2 applied to the colour channels.
//
// Why: the references of files whose gAMA is 1.0 or more carry the correction twice (a grey
// of 119 in a palette under gAMA 1.0 shows 219 there instead of 180), and the generated file
// with gAMA 1.0 is referenced with its raw samples on purpose. Files with smaller gammas
// match their references exactly, which checks the same rule against the reference tool.
RgbaImage DecodeWithDisplayGamma(const fs::path& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) throw std::runtime_error("cannot open " + path.string());
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    RgbaImage out;
    std::vector<uint8_t> raw;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw std::runtime_error("libpng cannot decode " + path.string());
    }
    png_init_io(png, file.get());
    png_read_info(png, info);
    double fileGamma = 1.0;
    png_get_gAMA(png, info, &fileGamma);
    png_set_palette_to_rgb(png);
    png_set_expand_gray_1_2_4_to_8(png);
    png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out.Width = static_cast<int>(png_get_image_width(png, info));
    out.Height = static_cast<int>(png_get_image_height(png, info));
    const int channels = png_get_channels(png, info), depth = png_get_bit_depth(png, info);
    const size_t stride = png_get_rowbytes(png, info);
    raw.resize(stride * static_cast<size_t>(out.Height));
    for (int y = 0; y < out.Height; ++y) rows.push_back(raw.data() + stride * static_cast<size_t>(y));
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);

    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(std::lround(std::pow(i / 255.0, 1 / (fileGamma * 2.2)) * 255));
    out.Pixels.resize(static_cast<size_t>(out.Width) * static_cast<size_t>(out.Height) * 4);
    const size_t bytes = static_cast<size_t>(depth / 8);
    for (size_t i = 0, n = out.Pixels.size() / 4; i < n; ++i) {
        const size_t row = i / static_cast<size_t>(out.Width), column = i % static_cast<size_t>(out.Width);
        const uint8_t* p = rows[row] + column * static_cast<size_t>(channels) * bytes;
        for (int c = 0; c < 4; ++c) {
            uint8_t v = 255;
            if (c < channels) v = bytes == 2 ? static_cast<uint8_t>(((p[2 * c] << 8) | p[2 * c + 1]) / 257) : p[c];
            out.Pixels[i * 4 + static_cast<size_t>(c)] = c < 3 ? table[v] : v;
        }
    }
    return out;
}

// Decodes a file; the message of the error it raised, or empty.
std::string LoadFile(const fs::path& path, TPNGGraphic& graphic) {
    try {
        TFileStream stream(path.string(), TFileMode::fmOpenRead);
        graphic.LoadFromStream(stream);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// Checks one valid file against its reference. 16-bit samples are narrowed by truncation
// (v / 257) where the references round or take the high byte, so with 16-bit samples ours
// may be one below the reference, never above. Alpha counts only in 32-bit results.
void ExpectMatchesReference(const fs::path& path) {
    SCOPED_TRACE(path.filename().string());
    TPNGGraphic graphic;
    ASSERT_EQ(LoadFile(path, graphic), "");
    const bool gammaTwice = (graphic.Properties.Options & imUseGamma) && graphic.Properties.Gamma >= 1.0f;
    const RgbaImage expected = gammaTwice ? DecodeWithDisplayGamma(path) : ReadPng(path.string() + ".ref.png");
    const RgbaImage actual = ToRgba(graphic);
    ASSERT_EQ(expected.Width, actual.Width);
    ASSERT_EQ(expected.Height, actual.Height);
    const bool truncates = graphic.Properties.BitsPerSample == 16 && !gammaTwice;
    const int channels = graphic.PixelFormat() == pf32bit ? 4 : 3;
    int64_t wrong = 0;
    for (size_t i = 0; i < actual.Pixels.size(); i += 4)
        for (int c = 0; c < channels; ++c) {
            const int e = expected.Pixels[i + static_cast<size_t>(c)], a = actual.Pixels[i + static_cast<size_t>(c)];
            if (a != e && !(truncates && a == e - 1)) ++wrong;
        }
    EXPECT_EQ(wrong, 0) << "samples differing from the expected picture";
}

bool IsReference(const fs::path& p) { return p.filename().string().find(".ref.") != std::string::npos; }

}  // namespace

TEST(PngCorpus, TestSuiteDecodesToItsReferences) {
    REQUIRE_CORPUS();
    int checked = 0;
    for (const auto& e : fs::directory_iterator(CorpusDir() / "public" / "png")) {
        const fs::path& p = e.path();
        if (p.extension() != ".png" || IsReference(p) || p.filename().string()[0] == 'x') continue;
        ExpectMatchesReference(p);
        ++checked;
    }
    EXPECT_GT(checked, 150);
}

TEST(PngCorpus, CorruptSuiteFilesFailWithTheirMessages) {
    REQUIRE_CORPUS();
    const std::string invalid = "Cannot load image. Invalid or unexpected PNG image format.";
    const std::string crc = "Cannot load image. CRC error found in PNG file.";
    const std::string color = "Invalid color format in PNG file.";
    const std::map<std::string, std::string> expected = {
        {"xc1n0g08.png", color},   {"xc9n2c08.png", color},   {"xcrn0g04.png", invalid}, {"xcsn0g01.png", crc},
        {"xd0n2c08.png", color},   {"xd3n2c08.png", color},   {"xd9n2c08.png", color},
        {"xdtn0g01.png", invalid},  // no image data at all
        {"xhdn0g08.png", crc},     {"xlfn0g04.png", invalid}, {"xs1n0g01.png", invalid}, {"xs2n0g01.png", invalid},
        {"xs4n0g01.png", invalid}, {"xs7n0g01.png", invalid},
    };
    int checked = 0;
    for (const auto& e : fs::directory_iterator(CorpusDir() / "public" / "png")) {
        const std::string name = e.path().filename().string();
        if (name[0] != 'x' || IsReference(e.path())) continue;
        TPNGGraphic graphic;
        const std::string error = LoadFile(e.path(), graphic);
        auto known = expected.find(name);
        if (known != expected.end())
            EXPECT_EQ(error, known->second) << name;
        else
            EXPECT_NE(error, "") << name << " loaded";
        ++checked;
    }
    EXPECT_GE(checked, static_cast<int>(expected.size()));
}

TEST(PngCorpus, GeneratedVariantsMatchTheirReferences) {
    REQUIRE_CORPUS();
    int checked = 0;
    for (const TsvRow& row : ReadTsv(CorpusDir() / "synthetic" / "EXPECT.tsv")) {
        if (Field(row, "format") != "png") continue;
        const fs::path path = CorpusDir() / "synthetic" / Field(row, "path");
        const std::string outcome = Field(row, "expected_outcome");
        if (outcome == "ok") {
            ExpectMatchesReference(path);
        } else {
            TPNGGraphic graphic;
            EXPECT_NE(LoadFile(path, graphic), "") << path.filename() << " should fail";
        }
        ++checked;
    }
    EXPECT_GT(checked, 100);
}

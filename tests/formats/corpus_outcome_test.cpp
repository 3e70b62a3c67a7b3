// The readers against the corpus outcome tables: every file of a format folder, generated and
// public, is loaded as the viewer loads it and must reach the outcome its table row gives.
//
//   ok     the file loads and matches its reference exactly, or near it: the largest channel
//          difference is at most 2 or the PSNR is at least 40 dB. An image without alpha is
//          also compared with the reference drawn over white, as a viewer shows transparency,
//          and a second reference (".ref2.png", where two decoders disagree) counts as well.
//   error  the load raises one of the program's exceptions.
//   empty  the load raises, or gives no pixels, or a single colour.
//   loads  the file has no independent reference: it must load.
//   any    the file is damaged or its references disagree: anything but a crash.
//
// A reader whose documented behaviour parts from a reference, or from the outcome its table
// row gives, lists the file in Departures with the reason; such a file must still load, but
// its pixels are not compared. A departure whose extension the registry does not know is not
// checked at all: the browser never lists it (its reader's own tests load it).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bitmap.h"
#include "exceptions.h"
#include "format_registry.h"
#include "picture.h"
#include "strutils.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// The corpus folders whose readers are checked here, one per format.
// (The platform's own formats, Targa and PNG have corpus tests of their own.)
const std::vector<const char*> Folders = {
    "pcx",
    "psp",
    "psd",
    "rla",
    "sgi",
    "cel", "cut", "pcd", "pnm",
    "eps",
    "tiff",
};

struct Departure {
    const char* Path;  // "synthetic/..." or "public/...", then the path of the outcome table
    const char* Why;
};

const std::vector<Departure> Departures = {
    {"public/pcx/ccbug_463951.pcx",
     "the palette block is an exact grey ramp (entry i is i, i, i); the reference shows every level but black "
     "7 darker and its blue 1 off, a colour adjustment of the decoder that made it"},
    {"public/pcx/mono.pcx",
     "one-bit images show 0 as black; the reference shows the picture inverted, its \"100%\" patch white, "
     "where the same picture's 256-colour file (ccbug_463951.pcx) and its reference show it black"},
    // Photoshop. The reference decoder shows another picture than the merged image: rows shifted
    // and channels mixed (53alphas); every row shifted by the second channel (mch2-8bits, whose
    // merged image equals the reference of its one-channel sibling mch1-8bits exactly).
    {"public/psd/53alphas.psd", "the reference is not the merged image"},
    {"public/psd/mch2-8bits.psd", "the reference shifts every row"},
    // The colour manager's L*a*b* conversion gives linear RGB; the references apply the sRGB
    // curve on top, so midtones differ by up to a third.
    {"public/psd/4x4_8bit_lab.psd", "L*a*b* converted without the sRGB curve"},
    {"public/psd/4x4_16bit_lab.psd", "L*a*b* converted without the sRGB curve"},
    {"public/psd/laba_8bit.psd", "L*a*b* converted without the sRGB curve"},
    {"public/psd/laba_16bit.psd", "L*a*b* converted without the sRGB curve"},
    {"public/psd/stroke-color-descriptors-lab.psd", "L*a*b* converted without the sRGB curve"},
    {"synthetic/rla/rgb_gamma22_64x64.rla",
     "the header's gamma 2.2 is applied against the display's 2.2 (exponent 1 / (2.2 x 2.2)); the reference "
     "shows the raw samples"},
    // Photo-CD: the colour manager's 8-bit PhotoYCC conversion (luminance as stored, weights
    // 0.2125, 0.7154, 0.0721) and the reader's chrominance interpolation are the program's
    // own; both references come from decoders that convert otherwise. The pixels match an
    // independent implementation of the program's rule exactly (pcd_test checks the rules).
    {"synthetic/pcd/pcd_landscape_301x207_src.pcd", "PhotoYCC converted by the program's own rule"},
    {"synthetic/pcd/pcd_landscape_768x512_768x512_src.pcd", "PhotoYCC converted by the program's own rule"},
    {"synthetic/pcd/pcd_portrait_207x301_src.pcd", "PhotoYCC converted by the program's own rule"},
    {"public/pcd/hopper.pcd", "PhotoYCC converted by the program's own rule"},
    // The registry has no "pnm" extension: the browser never lists the file (ppm_test loads
    // it through the portable-map reader and compares it with its reference).
    {"public/pnm/hopper.pnm", "extension not registered"},
    // The binary header puts the TIFF preview right after itself (offset 30). The signature
    // test would not take such a file, but loading does not ask it: the preview is shown, and
    // it matches its reference exactly.
    {"public/eps/1.eps", "preview at offset 30 is loaded"},
    {"public/eps/1_boundingbox_after_imagedata.eps", "preview at offset 30 is loaded"},
    {"public/eps/1_second_imagedata.eps", "preview at offset 30 is loaded"},
    {"public/eps/binary_preview_map.eps", "preview at offset 30 is loaded"},
    // L*a*b* goes through the colour manager's fixed matrix to RGB without a transfer curve:
    // mid-tones come out darker than in an sRGB rendering.
    {"synthetic/tiff/lab8_none_37x23.tif", "L*a*b* without sRGB curve"},
    {"synthetic/tiff/lab8_packbits_37x23.tif", "L*a*b* without sRGB curve"},
    {"synthetic/tiff/lab8_none_100x75.tif", "L*a*b* without sRGB curve"},
    {"synthetic/tiff/lab8_packbits_100x75.tif", "L*a*b* without sRGB curve"},
    {"synthetic/tiff/lab8_deflate_100x75.tif", "L*a*b* without sRGB curve"},
    {"synthetic/tiff/lab8_deflate_pred2_100x75.tif", "L*a*b* without sRGB curve"},
    {"synthetic/tiff/lab8_none_301x207.tif", "L*a*b* without sRGB curve"},
    {"synthetic/tiff/lab8_packbits_301x207.tif", "L*a*b* without sRGB curve"},
    {"public/tiff/hopper.Lab.tif", "L*a*b* without sRGB curve"},
    {"public/tiff/lab-green.tif", "L*a*b* without sRGB curve"},
    {"public/tiff/lab-red.tif", "L*a*b* without sRGB curve"},
    // Associated alpha (extra sample 1) is kept as stored, with premultiplied colours; the
    // reference divides them by alpha.
    {"public/tiff/hpredict_packbits.tiff", "premultiplied colours kept"},
};

const char* DepartureFor(const std::string& path) {
    for (const Departure& d : Departures)
        if (path == d.Path) return d.Why;
    return nullptr;
}

struct Outcome {
    bool Loaded = false;
    std::string Error;
    TBitmap Shown;
};

Outcome LoadAsViewer(const fs::path& file) {
    Outcome out;
    try {
        TPicture picture;
        picture.LoadFromFile(file.string());
        out.Shown.Assign(*picture.Graphic());
        out.Loaded = true;
    } catch (const Exception& e) {
        out.Error = e.Message();
    }
    return out;
}

// Largest channel difference and PSNR over red, green and blue; false when the sizes differ.
bool Measure(const RgbaImage& ref, const RgbaImage& actual, int& maxDiff, double& psnr) {
    if (ref.Width != actual.Width || ref.Height != actual.Height) return false;
    maxDiff = 0;
    double squares = 0;
    size_t n = static_cast<size_t>(ref.Width) * ref.Height;
    for (size_t i = 0; i < n; ++i)
        for (int ch = 0; ch < 3; ++ch) {
            int d = std::abs(int(ref.Pixels[i * 4 + ch]) - int(actual.Pixels[i * 4 + ch]));
            maxDiff = std::max(maxDiff, d);
            squares += double(d) * d;
        }
    double mse = n ? squares / (n * 3.0) : 0.0;
    psnr = mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
    return true;
}

RgbaImage OverWhite(RgbaImage image) {
    for (size_t i = 0; i + 3 < image.Pixels.size(); i += 4) {
        int a = image.Pixels[i + 3];
        for (int ch = 0; ch < 3; ++ch)
            image.Pixels[i + ch] = uint8_t((image.Pixels[i + ch] * a + 255 * (255 - a) + 127) / 255);
        image.Pixels[i + 3] = 255;
    }
    return image;
}

// "" when the bitmap matches one of the file's references under the rule above, else why not.
std::string MatchReferences(const fs::path& file, const TBitmap& shown) {
    RgbaImage actual = ToRgba(shown);
    bool hasAlpha = shown.PixelFormat() == pf32bit;
    std::string best = "no reference";
    auto consider = [&](const RgbaImage& ref) {
        int maxDiff = 0;
        double psnr = 0;
        if (!Measure(ref, actual, maxDiff, psnr)) {
            best = "size " + std::to_string(actual.Width) + "x" + std::to_string(actual.Height) + ", reference " +
                   std::to_string(ref.Width) + "x" + std::to_string(ref.Height);
            return false;
        }
        if (maxDiff <= 2 || psnr >= 40.0) return true;
        best = "largest difference " + std::to_string(maxDiff) + ", PSNR " + std::to_string(psnr);
        return false;
    };
    fs::path refPath = file.string() + ".ref.png";
    if (fs::exists(refPath)) {
        RgbaImage ref = ReadPng(refPath);
        if (consider(ref)) return "";
        if (!hasAlpha && consider(OverWhite(ref))) return "";
    }
    fs::path ref2Path = file.string() + ".ref2.png";
    if (fs::exists(ref2Path) && consider(ReadPng(ref2Path))) return "";
    return best;
}

bool SingleColour(const TBitmap& bitmap) {
    if (bitmap.Width() == 0 || bitmap.Height() == 0) return true;
    RgbaImage image = ToRgba(bitmap);
    for (size_t i = 4; i < image.Pixels.size(); i += 4)
        if (std::memcmp(&image.Pixels[i], &image.Pixels[0], 3) != 0) return false;
    return true;
}

class CorpusOutcome : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() { InitializeFileFormats(); }
    static void TearDownTestSuite() { FinalizeFileFormats(); }
};

TEST_P(CorpusOutcome, EveryFileReachesItsExpectedOutcome) {
    REQUIRE_CORPUS();
    const std::string folder = GetParam();
    int checked = 0;
    for (const char* set : {"synthetic", "public"}) {
        fs::path root = CorpusDir() / set;
        for (const TsvRow& row : ReadTsv(root / "EXPECT.tsv")) {
            std::string path = Field(row, "path");
            if (path.compare(0, folder.size() + 1, folder + "/") != 0) continue;
            std::string expected = Field(row, "expected_outcome");
            SCOPED_TRACE(std::string(set) + "/" + path + " (expected " + expected + ")");
            Outcome got = LoadAsViewer(root / path);
            ++checked;
            if (expected == "any") continue;
            if (const char* why = DepartureFor(std::string(set) + "/" + path)) {
                if (TPicture::FindGraphicClass(ExtractFileExt(path).substr(1)) != nullptr) {
                    EXPECT_TRUE(got.Loaded) << why << ": " << got.Error;
                }
                continue;
            }
            if (expected == "error") {
                EXPECT_FALSE(got.Loaded) << "loaded " << got.Shown.Width() << "x" << got.Shown.Height();
            } else if (expected == "empty") {
                EXPECT_TRUE(!got.Loaded || SingleColour(got.Shown)) << "loaded a picture";
            } else if (expected == "loads") {
                EXPECT_TRUE(got.Loaded) << got.Error;
            } else if (expected == "ok") {
                if (!got.Loaded)
                    ADD_FAILURE() << got.Error;
                else
                    EXPECT_EQ(MatchReferences(root / path, got.Shown), "");
            } else {
                ADD_FAILURE() << "unknown outcome";
            }
        }
    }
    EXPECT_GT(checked, 0) << "no rows for " << folder;
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusOutcome);
INSTANTIATE_TEST_SUITE_P(Readers, CorpusOutcome, ::testing::ValuesIn(Folders),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace

// The texture library on textures built in the test: layout of versions, frames, faces and
// slices, level clamping, pixel formats, and damaged files.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "host_texbridge.h"
#include "strutils.h"
#include "test_support.h"
#include "vtf_builder.h"

using namespace testsupport;
namespace vt = vtftest;

namespace {

struct Image {
    int32_t Width = 0, Height = 0, BytesPerPixel = 0;
    std::vector<uint8_t> Pixels;
};

Image GetImage(int32_t level) {
    Image out;
    uint8_t* buffer = nullptr;
    TextureGetImage(&out.Width, &out.Height, &out.BytesPerPixel, &buffer, level);
    if (buffer) out.Pixels.assign(buffer, buffer + size_t(out.Width) * out.Height * out.BytesPerPixel);
    TextureFreeBuffer(&buffer);
    return out;
}

TextureInfo Info() {
    TextureInfo info;
    ReadTextureInfo(info);
    return info;
}

// The stored bytes of one image, which an RGBA8888 texture returns unchanged.
std::vector<uint8_t> Stored(const vt::Spec& s, uint32_t level, uint32_t frame = 0, uint32_t face = 0,
                            uint32_t slice = 0) {
    std::vector<uint8_t> image(vt::ImageSize(s.Format, vt::Level(s.Width, level), vt::Level(s.Height, level)));
    vt::PatternFill({level, frame, face, slice}, image);
    return image;
}

class Texbridge : public ::testing::Test {
protected:
    void TearDown() override { TextureClose(); }

    std::string Write(const std::vector<uint8_t>& bytes, const std::string& name = "t.vtf") {
        const auto path = Dir / name;
        WriteFile(path, bytes);
        return path.string();
    }
    bool Open(const std::vector<uint8_t>& bytes) { return TextureOpen(EscapeBackslashes(Write(bytes)).c_str()) == 1; }

    static void ExpectNoTexture() {
        TextureInfo info = Info();
        EXPECT_EQ(info.Width, 0);
        EXPECT_EQ(info.Height, 0);
        EXPECT_EQ(info.Frames, 0);
        EXPECT_EQ(info.Mips, 0);
        EXPECT_EQ(info.Faces, 0);
        EXPECT_EQ(info.Flags, 0);
        Image image = GetImage(0);
        EXPECT_EQ(image.Width, 0);
        EXPECT_EQ(image.BytesPerPixel, 0);
        EXPECT_TRUE(image.Pixels.empty());
    }

    ScratchDir Dir;
};

}  // namespace

TEST_F(Texbridge, EveryVersionFindsItsImageData) {
    for (uint32_t minor = 0; minor <= 5; ++minor)
        for (bool lowRes : {true, false}) {
            SCOPED_TRACE("7." + std::to_string(minor) + (lowRes ? " with" : " without") + " low-res image");
            vt::Spec s;
            s.Minor = minor;
            s.Width = 8;
            s.Height = 4;
            s.Mips = 4;
            s.Format = vt::RGBA8888;
            s.Flags = 0x2002;
            s.LowRes = lowRes;
            s.HeaderPadding = 24;
            ASSERT_TRUE(Open(vt::Build(s)));
            TextureInfo info = Info();
            EXPECT_EQ(info.Width, 8);
            EXPECT_EQ(info.Height, 4);
            EXPECT_EQ(info.Frames, 1);
            EXPECT_EQ(info.Mips, 4);
            EXPECT_EQ(info.Faces, 1);
            EXPECT_EQ(info.Flags, 0x2002);
            for (uint32_t k = 0; k < 4; ++k) {
                Image image = GetImage(int32_t(k));
                EXPECT_EQ(image.Width, int32_t(vt::Level(8, k)));
                EXPECT_EQ(image.Height, int32_t(vt::Level(4, k)));
                EXPECT_EQ(image.BytesPerPixel, 4);
                EXPECT_EQ(image.Pixels, Stored(s, k)) << "level " << k;
            }
        }
}

TEST_F(Texbridge, ImageIsFrameZeroFaceZeroSliceZeroOfTheLevel) {
    struct Case {
        const char* Name;
        uint32_t Minor, Frames, FirstFrame, Flags, Depth;
        int32_t Faces;
    };
    const Case cases[] = {
        {"3 frames", 2, 3, 0, 0, 1, 1},
        {"cube map", 2, 1, 0, vt::FlagEnvMap, 1, 6},
        {"cube map with sphere face before 7.5", 1, 1, 0xFFFF, vt::FlagEnvMap, 1, 7},
        {"cube map with sphere face marker in 7.5", 5, 1, 0xFFFF, vt::FlagEnvMap, 1, 6},
        {"2 frames of 6 faces", 4, 2, 0, vt::FlagEnvMap, 1, 6},
        {"volume of depth 4", 2, 1, 0, 0, 4, 1},
        {"volume of depth 4 with 2 frames", 3, 2, 0, 0, 4, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        vt::Spec s;
        s.Minor = c.Minor;
        s.Width = s.Height = 8;
        s.Mips = 4;
        s.Format = vt::RGBA8888;
        s.Frames = c.Frames;
        s.FirstFrame = c.FirstFrame;
        s.Flags = c.Flags;
        s.Depth = c.Depth;
        ASSERT_TRUE(Open(vt::Build(s)));
        EXPECT_EQ(Info().Faces, c.Faces);
        EXPECT_EQ(Info().Frames, int32_t(c.Frames));
        for (uint32_t k = 0; k < 4; ++k) EXPECT_EQ(GetImage(int32_t(k)).Pixels, Stored(s, k)) << "level " << k;
    }
}

TEST_F(Texbridge, LevelsOutsideTheChainAreClamped) {
    vt::Spec s;
    s.Width = s.Height = 8;
    s.Mips = 3;
    s.Format = vt::RGBA8888;
    ASSERT_TRUE(Open(vt::Build(s)));
    for (int32_t level : {-1, -100, INT_MIN}) {
        Image image = GetImage(level);
        EXPECT_EQ(image.Width, 8) << level;
        EXPECT_EQ(image.Pixels, Stored(s, 0)) << level;
    }
    for (int32_t level : {3, 100, INT_MAX}) {
        Image image = GetImage(level);
        EXPECT_EQ(image.Width, 2) << level;
        EXPECT_EQ(image.Pixels, Stored(s, 2)) << level;
    }
}

TEST_F(Texbridge, FailedOpenLeavesNoCurrentTexture) {
    ExpectNoTexture();
    vt::Spec s;
    ASSERT_TRUE(Open(vt::Build(s)));
    EXPECT_EQ(TextureOpen((Dir / "missing.vtf").c_str()), 0);
    ExpectNoTexture();

    ASSERT_TRUE(Open(vt::Build(s)));
    EXPECT_EQ(TextureOpen(Dir.Path().c_str()), 0);  // a folder
    ExpectNoTexture();
    EXPECT_EQ(TextureOpen(nullptr), 0);
    ExpectNoTexture();

    ASSERT_TRUE(Open(vt::Build(s)));
    EXPECT_EQ(TextureClose(), 1);
    ExpectNoTexture();
    EXPECT_EQ(TextureClose(), 0);
}

TEST_F(Texbridge, EscapedBackslashesInThePathAreUndone) {
    const std::string path = Write(vt::Build(vt::Spec{}), "back\\slash\\\\double.vtf");
    EXPECT_EQ(TextureOpen(EscapeBackslashes(path).c_str()), 1);
    EXPECT_EQ(Info().Width, 4);
}

TEST_F(Texbridge, NullArgumentsAreRefusedWithoutWriting) {
    ASSERT_TRUE(Open(vt::Build(vt::Spec{})));
    int32_t w = -1, h = -1, bpp = -1;
    uint8_t* buffer = nullptr;
    EXPECT_EQ(TextureGetImage(nullptr, &h, &bpp, &buffer, 0), 0);
    EXPECT_EQ(TextureGetImage(&w, &h, &bpp, nullptr, 0), 0);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(TextureGetInfo(nullptr, &h, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(TextureFreeBuffer(nullptr), 0);
    EXPECT_EQ(TextureFreeBuffer(&buffer), 1);
}

// One stored image of a format and the pixels the library must make of it, worked out by hand
// from the format's description.
struct PixelCase {
    const char* Name;
    uint32_t Format;
    uint32_t Width, Height;
    std::vector<uint8_t> Stored;
    int32_t BytesPerPixel;
    std::vector<uint8_t> Expected;  // the first pixels of the result
};

TEST_F(Texbridge, PixelFormatsWidenAsDescribed) {
    // The colour block 0x001F (blue), 0xF800 (red), indices 0, 1, 2, 3 in the first row: c0 < c1,
    // so DXT1 uses three colours and transparent black, while DXT3 and DXT5 keep four colours.
    const std::vector<uint8_t> colour = {0x1F, 0x00, 0x00, 0xF8, 0xE4, 0, 0, 0};
    auto withAlpha = [&](std::vector<uint8_t> alpha) {
        alpha.insert(alpha.end(), colour.begin(), colour.end());
        return alpha;
    };
    const PixelCase cases[] = {
        {"RGB565 red in the low bits", vt::RGB565, 2, 1, {0x1F, 0x00, 0x00, 0xF8}, 3, {255, 0, 0, 0, 0, 255}},
        {"RGB565 green widening", vt::RGB565, 1, 1, {0x20, 0x00}, 3, {0, 4, 0}},
        {"BGR565 red in the high bits", vt::BGR565, 2, 1, {0x1F, 0x00, 0x00, 0xF8}, 3, {0, 0, 255, 255, 0, 0}},
        {"BGRA5551 alpha bit", vt::BGRA5551, 2, 1, {0x01, 0xFC, 0x01, 0x7C}, 4, {255, 0, 8, 255, 255, 0, 8, 0}},
        {"BGRA4444", vt::BGRA4444, 1, 1, {0x01, 0x2F}, 4, {255, 0, 17, 34}},
        {"ABGR8888", 1, 1, 1, {1, 2, 3, 4}, 4, {4, 3, 2, 1}},
        {"ARGB8888", 11, 1, 1, {1, 2, 3, 4}, 4, {2, 3, 4, 1}},
        {"BGRX8888 drops the fourth byte", 16, 1, 1, {1, 2, 3, 4}, 3, {3, 2, 1}},
        {"I8", vt::I8, 1, 1, {77}, 3, {77, 77, 77}},
        {"IA88", vt::IA88, 1, 1, {10, 200}, 4, {10, 10, 10, 200}},
        {"A8 is alpha over black", vt::A8, 1, 1, {128}, 4, {0, 0, 0, 128}},
        {"UV88", vt::UV88, 1, 1, {1, 2}, 3, {1, 2, 0}},
        {"bluescreen marks pure blue transparent", vt::RGB888_BLUESCREEN, 2, 1, {0, 0, 255, 0, 0, 254}, 4,
         {0, 0, 255, 0, 0, 0, 254, 255}},
        {"BGR bluescreen", 10, 1, 1, {255, 0, 0}, 4, {0, 0, 255, 0}},
        {"16-bit integers show their high byte", vt::RGBA16161616, 1, 1, {0xAB, 0x12, 0xFF, 0x00, 0, 0x80, 1, 0xFF},
         4, {0x12, 0x00, 0x80, 0xFF}},
        {"half floats clamp to 0..1", vt::RGBA16161616F, 2, 1,
         {0x00, 0x3C, 0x00, 0xBC, 0x00, 0x38, 0x00, 0x7C, 0x00, 0x7E, 0x00, 0x40, 0x01, 0x00, 0x00, 0x00}, 4,
         {255, 0, 128, 255, 0, 255, 0, 0}},
        {"DXT1 three-colour block", vt::DXT1, 4, 4, colour, 3, {0, 0, 255, 255, 0, 0, 127, 0, 127, 0, 0, 0}},
        {"DXT1 one-bit alpha", vt::DXT1_ONEBITALPHA, 4, 4, colour, 4,
         {0, 0, 255, 255, 255, 0, 0, 255, 127, 0, 127, 255, 0, 0, 0, 0}},
        {"DXT3 always four colours", vt::DXT3, 4, 4, withAlpha({0x1F, 0, 0, 0, 0, 0, 0, 0}), 4,
         {0, 0, 255, 255, 255, 0, 0, 17, 85, 0, 170, 0, 170, 0, 85, 0}},
        // a0 > a1: six steps; indices 0, 1, 2, 7 in the first row.
        {"DXT5 eight alpha values", vt::DXT5, 4, 4, withAlpha({200, 100, 0x88, 0x0E, 0, 0, 0, 0}), 4,
         {0, 0, 255, 200, 255, 0, 0, 100, 85, 0, 170, 185, 170, 0, 85, 114}},
        // a0 <= a1: four steps, then 0 and 255; indices 2, 5, 6, 7.
        {"DXT5 six alpha values", vt::DXT5, 4, 4, withAlpha({100, 200, 0xAA, 0x0F, 0, 0, 0, 0}), 4,
         {0, 0, 255, 120, 255, 0, 0, 180, 85, 0, 170, 0, 170, 0, 85, 255}},
    };
    for (const PixelCase& c : cases) {
        SCOPED_TRACE(c.Name);
        vt::Spec s;
        s.Format = c.Format;
        s.Width = c.Width;
        s.Height = c.Height;
        ASSERT_EQ(c.Stored.size(), vt::ImageSize(c.Format, c.Width, c.Height));
        ASSERT_TRUE(Open(vt::Build(s, [&](const vt::ImageKey&, std::vector<uint8_t>& image) { image = c.Stored; })));
        Image image = GetImage(0);
        EXPECT_EQ(image.BytesPerPixel, c.BytesPerPixel);
        ASSERT_GE(image.Pixels.size(), c.Expected.size());
        EXPECT_EQ(std::vector<uint8_t>(image.Pixels.begin(), image.Pixels.begin() + c.Expected.size()), c.Expected);
    }
}

TEST_F(Texbridge, BlocksAtTheEdgesAreCutToTheLevel) {
    // 6 x 5 pixels: 2 x 2 blocks, each of one solid colour (index 0 of a distinct endpoint).
    const uint8_t endpoints[4][2] = {{0x00, 0xF8}, {0xE0, 0x07}, {0x1F, 0x00}, {0xFF, 0xFF}};
    vt::Spec s;
    s.Format = vt::DXT1;
    s.Width = 6;
    s.Height = 5;
    s.Mips = 3;
    ASSERT_TRUE(Open(vt::Build(s, [&](const vt::ImageKey&, std::vector<uint8_t>& image) {
        for (size_t b = 0; b < image.size() / 8; ++b) {
            std::fill(image.begin() + b * 8, image.begin() + b * 8 + 8, 0);
            image[b * 8] = endpoints[b % 4][0];
            image[b * 8 + 1] = endpoints[b % 4][1];
        }
    })));
    Image image = GetImage(0);
    ASSERT_EQ(image.Width, 6);
    ASSERT_EQ(image.Height, 5);
    auto at = [&](int x, int y) {
        const uint8_t* p = &image.Pixels[(size_t(y) * 6 + x) * 3];
        return std::vector<uint8_t>(p, p + 3);
    };
    EXPECT_EQ(at(3, 3), (std::vector<uint8_t>{255, 0, 0}));
    EXPECT_EQ(at(4, 0), (std::vector<uint8_t>{0, 255, 0}));
    EXPECT_EQ(at(5, 3), (std::vector<uint8_t>{0, 255, 0}));
    EXPECT_EQ(at(0, 4), (std::vector<uint8_t>{0, 0, 255}));
    EXPECT_EQ(at(5, 4), (std::vector<uint8_t>{255, 255, 255}));
    Image smallest = GetImage(2);  // 1 x 1 from a whole block
    EXPECT_EQ(smallest.Width, 1);
    EXPECT_EQ(smallest.Pixels, (std::vector<uint8_t>{255, 0, 0}));
}

TEST_F(Texbridge, TruncatedTexturesFailToOpen) {
    vt::Spec dxt;
    dxt.Format = vt::DXT5;
    dxt.Width = dxt.Height = 16;
    dxt.Mips = 5;
    dxt.Flags = vt::FlagEnvMap;
    vt::Spec resources;
    resources.Minor = 4;
    resources.Width = 8;
    resources.Height = 4;
    resources.Mips = 4;
    resources.Frames = 2;
    for (const vt::Spec& s : {dxt, resources}) {
        const std::vector<uint8_t> whole = vt::Build(s);
        for (size_t length = 0; length < whole.size(); ++length) {
            EXPECT_FALSE(Open({whole.begin(), whole.begin() + ptrdiff_t(length)})) << "length " << length;
            if (HasFailure()) break;
        }
        ExpectNoTexture();
        EXPECT_TRUE(Open(whole));
    }
}

TEST_F(Texbridge, DamagedHeadersFailToOpen) {
    struct Damage {
        const char* Name;
        uint32_t Minor;
        std::function<void(std::vector<uint8_t>&)> Apply;
    };
    const uint32_t bad = 0xFFFFFFFF;
    const Damage cases[] = {
        {"signature", 2, [](auto& v) { v[3] = ' '; }},
        {"major version 6", 2, [](auto& v) { vt::Put32(v, 4, 6); }},
        {"minor version 6", 5, [](auto& v) { vt::Put32(v, 8, 6); }},
        {"header smaller than its fields", 1, [](auto& v) { vt::Put32(v, 12, 60); }},
        {"7.3 header smaller than the resource table", 3, [](auto& v) { vt::Put32(v, 12, 72); }},
        {"header beyond the file", 2, [bad](auto& v) { vt::Put32(v, 12, bad); }},
        {"zero width", 2, [](auto& v) { vt::Put16(v, 16, 0); }},
        {"zero height", 4, [](auto& v) { vt::Put16(v, 18, 0); }},
        {"zero frames", 2, [](auto& v) { vt::Put16(v, 24, 0); }},
        {"zero mips", 2, [](auto& v) { v[56] = 0; }},
        {"P8 has no palette", 2, [](auto& v) { vt::Put32(v, 52, vt::P8); }},
        {"unknown format", 2, [](auto& v) { vt::Put32(v, 52, 27); }},
        {"format -1", 4, [bad](auto& v) { vt::Put32(v, 52, bad); }},
        {"unknown low-res format", 2, [](auto& v) { vt::Put32(v, 57, 99); }},
        {"more levels than stored", 2, [](auto& v) { v[56] = 3; }},
        {"more frames than stored", 5, [](auto& v) { vt::Put16(v, 24, 2); }},
        {"cube map flag without the faces", 2, [](auto& v) { v[21] |= 0x40; }},
        {"depth beyond the data", 3, [](auto& v) { vt::Put16(v, 63, 2); }},
        {"huge claims", 2,
         [](auto& v) {
             vt::Put16(v, 16, 0xFFFF);
             vt::Put16(v, 18, 0xFFFF);
             vt::Put16(v, 24, 0xFFFF);
             vt::Put16(v, 63, 0xFFFF);
             v[56] = 255;
             vt::Put32(v, 52, vt::RGBA16161616);
         }},
        {"resource count beyond the file", 4, [](auto& v) { vt::Put32(v, 68, 0x10000000); }},
        {"resource count of -1", 4, [bad](auto& v) { vt::Put32(v, 68, bad); }},
        {"no image resource", 4, [](auto& v) { v[88] = 0x31; }},
        {"image resource marked inline", 3, [](auto& v) { v[91] = 2; }},
        {"image offset beyond the file", 5, [bad](auto& v) { vt::Put32(v, 92, bad); }},
        {"image offset one too far", 4, [](auto& v) { vt::Put32(v, 92, v[92] + 1u); }},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.Name);
        vt::Spec s;
        s.Minor = d.Minor;
        s.Width = s.Height = 4;
        s.Mips = 2;
        std::vector<uint8_t> v = vt::Build(s);
        ASSERT_TRUE(Open(v));
        d.Apply(v);
        EXPECT_FALSE(Open(v));
        ExpectNoTexture();
    }
}

// Random damage to valid textures: whatever opens must yield its levels at their sizes, and
// nothing may crash or read outside the file (the sanitizer build checks the latter).
TEST_F(Texbridge, RandomlyDamagedTexturesNeverBreakTheLibrary) {
    std::vector<std::vector<uint8_t>> bases;
    {
        vt::Spec s;
        s.Format = vt::DXT5;
        s.Width = 16;
        s.Height = 8;
        s.Mips = 5;
        s.Flags = vt::FlagEnvMap;
        bases.push_back(vt::Build(s));
        s.Minor = 5;
        s.Format = vt::BGRA8888;
        s.Flags = 0;
        s.Frames = 3;
        bases.push_back(vt::Build(s));
        s.Minor = 3;
        s.Format = vt::DXT1;
        s.Depth = 4;
        s.Frames = 1;
        bases.push_back(vt::Build(s));
    }
    std::mt19937 rng(20240611);
    int opened = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> v = bases[size_t(round) % bases.size()];
        const int flips = 1 + int(rng() % 4);
        for (int i = 0; i < flips; ++i) {
            // Mostly the header and resource table, where damage changes the layout.
            const size_t at = rng() % 4 ? rng() % std::min<size_t>(v.size(), 100) : rng() % v.size();
            v[at] = static_cast<uint8_t>(rng());
        }
        if (rng() % 8 == 0) v.resize(rng() % v.size());
        if (!Open(v)) continue;
        ++opened;
        const TextureInfo info = Info();
        ASSERT_GT(info.Width, 0);
        ASSERT_GT(info.Height, 0);
        ASSERT_GT(info.Mips, 0);
        for (int32_t k = 0; k < std::min(info.Mips, 20); ++k) {
            Image image = GetImage(k);
            if (image.Pixels.empty()) continue;
            ASSERT_EQ(image.Width, std::max(1, info.Width >> k));
            ASSERT_EQ(image.Height, std::max(1, info.Height >> k));
            ASSERT_TRUE(image.BytesPerPixel == 3 || image.BytesPerPixel == 4);
        }
    }
    EXPECT_GT(opened, 100);  // the damage leaves many files readable, so decoding is exercised
}

// The texture library on textures built in the test: where each version keeps its images,
// level clamping, failed opens, and damaged files.
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

// Frame 0, face 0, slice 0 of a level as stored, which an RGBA8888 texture returns unchanged.
std::vector<uint8_t> Stored(const vt::Recipe& s, uint32_t level) {
    std::vector<uint8_t> image(vt::ImageSize(s.Format, vt::Level(s.Width, level), vt::Level(s.Height, level)));
    vt::PatternFill({level, 0, 0, 0}, image);
    return image;
}

class Texbridge : public ::testing::Test {
protected:
    void TearDown() override { TextureClose(); }

    std::string Write(const std::vector<uint8_t>& bytes, const std::string& name = "t.vtf") {
        WriteFile(Dir / name, bytes);
        return (Dir / name).string();
    }
    bool Open(const std::vector<uint8_t>& bytes) { return TextureOpen(EscapeBackslashes(Write(bytes)).c_str()) == 1; }

    static void ExpectNoTexture() {
        const TextureInfo info = Info();
        EXPECT_EQ(info.Width | info.Height | info.Frames | info.Mips | info.Faces | info.Flags, 0);
        const Image image = GetImage(0);
        EXPECT_EQ(image.Width | image.Height | image.BytesPerPixel, 0);
    }

    ScratchDir Dir;
};

}  // namespace

TEST_F(Texbridge, EveryVersionFindsItsLevelsAndClampsOthers) {
    for (uint32_t minor = 0; minor <= 5; ++minor)
        for (bool lowRes : {true, false}) {
            SCOPED_TRACE("7." + std::to_string(minor) + (lowRes ? " with" : " without") + " low-res image");
            const vt::Recipe s{.Minor = minor, .Width = 8, .Height = 4, .Format = vt::RGBA8888, .Flags = 0x2002,
                             .Frames = 2, .Mips = 4, .LowRes = lowRes, .HeaderPadding = 24};
            ASSERT_TRUE(Open(vt::Build(s)));
            const TextureInfo info = Info();
            EXPECT_EQ(info.Width, 8);
            EXPECT_EQ(info.Height, 4);
            EXPECT_EQ(info.Frames, 2);
            EXPECT_EQ(info.Mips, 4);
            EXPECT_EQ(info.Faces, 1);
            EXPECT_EQ(info.Flags, 0x2002);
            for (int32_t k = 0; k < 4; ++k) {
                const Image image = GetImage(k);
                EXPECT_EQ(image.Width, int32_t(vt::Level(8, k)));
                EXPECT_EQ(image.Height, int32_t(vt::Level(4, k)));
                EXPECT_EQ(image.BytesPerPixel, 4);
                EXPECT_EQ(image.Pixels, Stored(s, k)) << "level " << k;
            }
            for (int32_t level : {-1, INT_MIN}) EXPECT_EQ(GetImage(level).Pixels, Stored(s, 0)) << level;
            for (int32_t level : {4, INT_MAX}) EXPECT_EQ(GetImage(level).Pixels, Stored(s, 3)) << level;
        }
}

TEST_F(Texbridge, FailedOpenLeavesNoCurrentTexture) {
    ExpectNoTexture();
    for (const std::string& path : {(Dir / "missing.vtf").string(), Dir.Path().string()}) {
        ASSERT_TRUE(Open(vt::Build({})));
        EXPECT_EQ(TextureOpen(path.c_str()), 0);
        ExpectNoTexture();
    }
    EXPECT_EQ(TextureOpen(nullptr), 0);
    ASSERT_TRUE(Open(vt::Build({})));
    EXPECT_EQ(TextureClose(), 1);
    ExpectNoTexture();

    // Backslashes are legal in file names here; the doubling is undone.
    const std::string path = Write(vt::Build({}), "back\\slash\\\\double.vtf");
    EXPECT_EQ(TextureOpen(EscapeBackslashes(path).c_str()), 1);
}

TEST_F(Texbridge, TruncatedTexturesFailToOpen) {
    const vt::Recipe cube{.Width = 16, .Height = 16, .Format = vt::DXT5, .Flags = vt::FlagEnvMap, .Mips = 5};
    const vt::Recipe frames{.Minor = 4, .Width = 8, .Height = 4, .Frames = 2, .Mips = 4};
    for (const vt::Recipe& s : {cube, frames}) {
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
    const Damage cases[] = {
        {"signature", 2, [](auto& v) { v[3] = ' '; }},
        {"major version 6", 2, [](auto& v) { vt::Put32(v, 4, 6); }},
        {"minor version 6", 5, [](auto& v) { vt::Put32(v, 8, 6); }},
        {"header smaller than its fields", 1, [](auto& v) { vt::Put32(v, 12, 60); }},
        {"7.3 header smaller than the resource table", 3, [](auto& v) { vt::Put32(v, 12, 72); }},
        {"header beyond the file", 2, [](auto& v) { vt::Put32(v, 12, 0xFFFFFFFF); }},
        {"zero width", 2, [](auto& v) { vt::Put16(v, 16, 0); }},
        {"zero frames", 2, [](auto& v) { vt::Put16(v, 24, 0); }},
        {"zero mips", 2, [](auto& v) { v[56] = 0; }},
        {"P8 has no palette", 2, [](auto& v) { vt::Put32(v, 52, vt::P8); }},
        {"unknown format", 4, [](auto& v) { vt::Put32(v, 52, 27); }},
        {"unknown low-res format", 2, [](auto& v) { vt::Put32(v, 57, 99); }},
        {"more levels than stored", 2, [](auto& v) { v[56] = 3; }},
        {"more frames than stored", 5, [](auto& v) { vt::Put16(v, 24, 2); }},
        {"cube map flag without the faces", 2, [](auto& v) { v[21] |= 0x40; }},
        {"depth beyond the data", 3, [](auto& v) { vt::Put16(v, 63, 2); }},
        {"sizes whose product overflows", 2,
         [](auto& v) {
             for (size_t at : {16, 18, 24, 63}) vt::Put16(v, at, 0xFFFF);
             v[56] = 255;
             vt::Put32(v, 52, vt::RGBA16161616);
         }},
        {"resource count beyond the file", 4, [](auto& v) { vt::Put32(v, 68, 0xFFFFFFFF); }},
        {"no image resource", 4, [](auto& v) { v[88] = 0x31; }},
        {"image resource marked inline", 3, [](auto& v) { v[91] = 2; }},
        {"image offset one too far", 4, [](auto& v) { vt::Put32(v, 92, v[92] + 1u); }},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.Name);
        std::vector<uint8_t> v = vt::Build({.Minor = d.Minor, .Mips = 2});
        ASSERT_TRUE(Open(v));
        d.Apply(v);
        EXPECT_FALSE(Open(v));
        ExpectNoTexture();
    }
}

// Random damage to valid textures: whatever opens must yield its levels at their sizes, and
// nothing may crash or read outside the file (the sanitizer build checks the latter).
TEST_F(Texbridge, RandomlyDamagedTexturesNeverBreakTheLibrary) {
    const std::vector<uint8_t> bases[] = {
        vt::Build({.Width = 16, .Height = 8, .Format = vt::DXT5, .Flags = vt::FlagEnvMap, .Mips = 5}),
        vt::Build({.Minor = 5, .Width = 16, .Height = 8, .Frames = 3, .Mips = 5}),
        vt::Build({.Minor = 3, .Width = 16, .Height = 8, .Depth = 4, .Format = vt::DXT1, .Mips = 5}),
    };
    std::mt19937 rng(20240611);
    int opened = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> v = bases[round % 3];
        for (int flips = 1 + int(rng() % 4); flips > 0; --flips) {
            // Mostly the header and resource table, where damage changes the layout.
            const size_t at = rng() % 4 ? rng() % 100 : rng() % v.size();
            v[at] = static_cast<uint8_t>(rng());
        }
        if (rng() % 8 == 0) v.resize(rng() % v.size());
        if (!Open(v)) continue;
        ++opened;
        const TextureInfo info = Info();
        ASSERT_TRUE(info.Width > 0 && info.Height > 0 && info.Mips > 0);
        for (int32_t k = 0; k < std::min(info.Mips, 20); ++k) {
            const Image image = GetImage(k);
            if (image.Pixels.empty()) continue;
            ASSERT_EQ(image.Width, std::max(1, info.Width >> k));
            ASSERT_EQ(image.Height, std::max(1, info.Height >> k));
            ASSERT_TRUE(image.BytesPerPixel == 3 || image.BytesPerPixel == 4);
        }
    }
    EXPECT_GT(opened, 100);  // enough survive to exercise decoding too
}

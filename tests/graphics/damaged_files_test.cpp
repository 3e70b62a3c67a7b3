// Randomly damaged bitmap, icon and JPEG files load or fail with the program's own error,
// never anything else. Run under the sanitizers this also catches reads and writes out of
// bounds. The damage is seeded, so every run tries the same files.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "file_builder.h"
#include "icon.h"
#include "jpeg_image.h"

using namespace testfiles;

namespace {

std::vector<uint8_t> SaveBitmap(TPixelFormat format, int w, int h) {
    TBitmap b;
    b.SetPixelFormat(format);
    b.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.SetRawPixel(x, y, static_cast<uint32_t>(x * 7 + y * 13));
    TMemoryStream s;
    b.SaveToStream(s);
    return s.Bytes();
}

std::vector<uint8_t> SaveJpeg(bool progressive) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(24, 17);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 24; ++x) b.SetPixel(x, y, TRGBQuad{static_cast<uint8_t>(x * 9), static_cast<uint8_t>(y * 13), 77, 255});
    TJPEGImage jpeg;
    jpeg.Assign(b);
    jpeg.ProgressiveEncoding = progressive;
    TMemoryStream s;
    jpeg.SaveToStream(s);
    return s.Bytes();
}

std::vector<uint8_t> SampleIcon() {
    // A 1-bit 4 x 2 entry and a 32-bit 3 x 3 entry.
    Bytes small = InfoHeader(4, 4, 1, 0);
    small.Raw(Palette({0, 0xFFFFFF})).Raw({0x50, 0, 0, 0, 0xA0, 0, 0, 0, 0x30, 0, 0, 0, 0xC0, 0, 0, 0});
    Bytes big = InfoHeader(3, 6, 32, 0);
    for (int i = 0; i < 9; ++i) big.U32(0x80000000u | static_cast<uint32_t>(i * 0x010203));
    big.Raw(std::vector<uint8_t>(12, 0x40));
    Bytes f;
    f.U16(0).U16(1).U16(2);
    f.U8(4).U8(2).U8(2).U8(0).U16(1).U16(1).U32(static_cast<uint32_t>(small.Size())).U32(38);
    f.U8(3).U8(3).U8(0).U8(0).U16(1).U16(32).U32(static_cast<uint32_t>(big.Size())).U32(static_cast<uint32_t>(38 + small.Size()));
    f.Raw(small.Data).Raw(big.Data);
    return f.Data;
}

std::vector<uint8_t> Damage(std::vector<uint8_t> data, std::mt19937& rng) {
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits && !data.empty(); ++i) {
        const size_t at = rng() % data.size();
        switch (rng() % 6) {
            case 0: data[at] = static_cast<uint8_t>(rng()); break;
            case 1: data[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
            case 2: data[at] = (rng() % 2) ? 0xFF : 0x00; break;
            case 3: data.resize(at); break;
            case 4: data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng())); break;
            default: data.erase(data.begin() + static_cast<std::ptrdiff_t>(at)); break;
        }
    }
    return data;
}

template <class Graphic>
void LoadDamaged(const std::vector<uint8_t>& seed, int count, uint32_t salt) {
    std::mt19937 rng(12345 + salt);
    int loaded = 0, refused = 0;
    for (int i = 0; i < count; ++i) {
        const std::vector<uint8_t> damaged = Damage(seed, rng);
        TReadOnlyMemoryStream stream(damaged.data(), damaged.size());
        Graphic graphic;
        try {
            graphic.LoadFromStream(stream);
            ++loaded;
        } catch (const Exception& e) {
            ASSERT_FALSE(e.Message().empty());
            ++refused;
        }
    }
    EXPECT_EQ(loaded + refused, count);
}

}  // namespace

TEST(DamagedFiles, Bitmaps) {
    uint32_t salt = 0;
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit})
        LoadDamaged<TBitmap>(SaveBitmap(f, 7, 5), 400, ++salt);
    const std::vector<uint8_t> rle8 = BitmapFile(InfoHeader(6, 3, 8, 1, 2), Palette({0, 0xFF}),
                                                 {3, 1, 0, 3, 1, 0, 1, 0, 0, 0, 0, 2, 2, 1, 2, 1, 0, 1});
    const std::vector<uint8_t> rle4 = BitmapFile(InfoHeader(7, 2, 4, 2, 2), Palette({0, 0xFF}),
                                                 {3, 0x12, 0, 3, 0x45, 0x60, 1, 0x70, 0, 0, 7, 0x11, 0, 1});
    LoadDamaged<TBitmap>(rle8, 1000, ++salt);
    LoadDamaged<TBitmap>(rle4, 1000, ++salt);
    Bytes v5;
    v5.U32(124).U32(3).U32(static_cast<uint32_t>(-2)).U16(1).U16(16).U32(3);
    for (int i = 0; i < 5; ++i) v5.U32(0);
    v5.U32(0x0F00).U32(0x00F0).U32(0x000F).U32(0xF000);
    v5.Raw(std::vector<uint8_t>(124 - 56, 0));
    LoadDamaged<TBitmap>(BitmapFile(v5, {}, std::vector<uint8_t>(16, 0x5A)), 1000, ++salt);
}

TEST(DamagedFiles, Icons) { LoadDamaged<TIcon>(SampleIcon(), 3000, 100); }

TEST(DamagedFiles, Jpegs) {
    LoadDamaged<TJPEGImage>(SaveJpeg(false), 1000, 200);
    LoadDamaged<TJPEGImage>(SaveJpeg(true), 1000, 201);
}

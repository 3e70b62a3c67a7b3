// Throughput of the platform graphic classes: bitmap files read and written, JPEG decoded and
// encoded, a large icon read. Images are made in memory, so no files are needed.
#include <benchmark/benchmark.h>

#include <vector>

#include "bitmap.h"
#include "formats/icon.h"
#include "formats/jpeg_image.h"
#include "streams.h"

namespace {

constexpr int Side = 2048;

TBitmap Picture(TPixelFormat format, int w, int h) {
    TBitmap b;
    b.SetPixelFormat(format);
    b.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.SetPixel(x, y, TRGBQuad{static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>((x ^ y) * 3), 255});
    return b;
}

std::vector<uint8_t> Saved(TGraphic& g) {
    TMemoryStream s;
    g.SaveToStream(s);
    return s.Bytes();
}

template <class Graphic>
void Load(benchmark::State& state, const std::vector<uint8_t>& data, int64_t pixels) {
    for (auto _ : state) {
        TReadOnlyMemoryStream s(data.data(), data.size());
        Graphic g;
        g.LoadFromStream(s);
        benchmark::DoNotOptimize(g.Width());
    }
    state.SetItemsProcessed(state.iterations() * pixels);
}

// Rows of runs of 16 pixels each, ended by end-of-line markers.
std::vector<uint8_t> RunLength8File(int w, int h) {
    std::vector<uint8_t> d = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 4, 0, 0, 40, 0, 0, 0};
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto u16 = [&](uint32_t v) {
        d.push_back(static_cast<uint8_t>(v));
        d.push_back(static_cast<uint8_t>(v >> 8));
    };
    u32(static_cast<uint32_t>(w));
    u32(static_cast<uint32_t>(h));
    u16(1);
    u16(8);
    u32(1);
    for (int i = 0; i < 5; ++i) u32(0);
    for (int i = 0; i < 256; ++i) u32(static_cast<uint32_t>(i * 0x010101));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; x += 16) {
            d.push_back(16);
            d.push_back(static_cast<uint8_t>(x / 16 + y));
        }
        d.push_back(0);
        d.push_back(0);
    }
    d.push_back(0);
    d.push_back(1);
    return d;
}

void BM_LoadBitmap24(benchmark::State& state) {
    TBitmap b = Picture(pf24bit, Side, Side);
    Load<TBitmap>(state, Saved(b), int64_t{Side} * Side);
}
BENCHMARK(BM_LoadBitmap24)->Unit(benchmark::kMillisecond);

void BM_LoadBitmap8RunLength(benchmark::State& state) { Load<TBitmap>(state, RunLength8File(Side, Side), int64_t{Side} * Side); }
BENCHMARK(BM_LoadBitmap8RunLength)->Unit(benchmark::kMillisecond);

void BM_LoadBitmap16Expanded(benchmark::State& state) {
    // 5-6-5 words relabelled as 4-4-4 with 4 bits of alpha, so that every pixel is expanded.
    TBitmap b = Picture(pf16bit, Side, Side);
    std::vector<uint8_t> d = Saved(b);
    const uint32_t masks[3] = {0x0F00, 0x00F0, 0x000F};
    for (int m = 0; m < 3; ++m)
        for (int i = 0; i < 4; ++i) d[54 + 4 * m + i] = static_cast<uint8_t>(masks[m] >> (8 * i));
    Load<TBitmap>(state, d, int64_t{Side} * Side);
}
BENCHMARK(BM_LoadBitmap16Expanded)->Unit(benchmark::kMillisecond);

void BM_SaveBitmap24(benchmark::State& state) {
    TBitmap b = Picture(pf24bit, Side, Side);
    for (auto _ : state) {
        TMemoryStream s;
        b.SaveToStream(s);
        benchmark::DoNotOptimize(s.Size());
    }
    state.SetItemsProcessed(state.iterations() * Side * Side);
}
BENCHMARK(BM_SaveBitmap24)->Unit(benchmark::kMillisecond);

void BM_LoadJpeg(benchmark::State& state) {
    TJPEGImage jpeg;
    jpeg.Assign(Picture(pf24bit, Side, Side));
    jpeg.ProgressiveEncoding = state.range(0) != 0;
    Load<TJPEGImage>(state, Saved(jpeg), int64_t{Side} * Side);
}
BENCHMARK(BM_LoadJpeg)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_SaveJpeg(benchmark::State& state) {
    TJPEGImage jpeg;
    jpeg.Assign(Picture(pf24bit, Side, Side));
    for (auto _ : state) benchmark::DoNotOptimize(Saved(jpeg).size());
    state.SetItemsProcessed(state.iterations() * Side * Side);
}
BENCHMARK(BM_SaveJpeg)->Unit(benchmark::kMillisecond);

void BM_LoadIcon256(benchmark::State& state) {
    // One 256 x 256 entry of 32 bits with its mask.
    TBitmap b = Picture(pf32bit, 256, 256);
    std::vector<uint8_t> dib = Saved(b);
    dib.erase(dib.begin(), dib.begin() + 14);
    dib[8] = 0;  // the header's height counts the mask too: 512
    dib[9] = 2;
    dib.insert(dib.end(), 256 * 32, 0);
    std::vector<uint8_t> d = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 32, 0};
    const uint32_t size = static_cast<uint32_t>(dib.size());
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(size >> (8 * i)));
    d.insert(d.end(), {22, 0, 0, 0});
    d.insert(d.end(), dib.begin(), dib.end());
    Load<TIcon>(state, d, 256 * 256);
}
BENCHMARK(BM_LoadIcon256)->Unit(benchmark::kMillisecond);

}  // namespace

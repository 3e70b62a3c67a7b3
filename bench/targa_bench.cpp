// Targa speed: the two large corpus files loaded from memory, and a 1600 x 1600 true-colour
// image written. Reported in megapixels per second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "streams.h"
#include "formats/targa.h"

namespace fs = std::filesystem;

namespace {

fs::path Corpus() { return fs::path(PICTOLAN_SOURCE_DIR) / ".." / "shared" / "corpus" / "synthetic" / "large"; }

void CountPixels(benchmark::State& state, const TBitmap& b) {
    state.counters["MPix/s"] = benchmark::Counter(double(b.Width()) * b.Height() * double(state.iterations()) / 1e6,
                                                  benchmark::Counter::kIsRate);
}

void BM_Load(benchmark::State& state, const char* name) {
    std::ifstream in(Corpus() / name, std::ios::binary);
    if (!in) {
        state.SkipWithError("corpus not found");
        return;
    }
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TTargaGraphic g;
    for (auto _ : state) {
        TReadOnlyMemoryStream stream(file.data(), file.size());
        g.LoadFromStream(stream);
        benchmark::DoNotOptimize(g.ScanLine(0));
    }
    CountPixels(state, g);
}

// Runs of 1 to 16 pixels of a few colours, as in drawn pictures.
void BM_Save(benchmark::State& state) {
    TTargaGraphic g;
    g.SetPixelFormat(pf24bit);
    g.SetSize(1600, 1600);
    for (int y = 0; y < g.Height(); ++y)
        for (int x = 0; x < g.Width(); ++x)
            g.SetRawPixel(x, y, uint32_t((x / (1 + (x + y) % 16)) * 0x10101 % 0xFFFFFF));
    for (auto _ : state) {
        TMemoryStream out;
        g.SaveToStream(out);
        benchmark::DoNotOptimize(out.Memory());
    }
    CountPixels(state, g);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Load, raw_grey8_2048, "tga_raw_grey8_2048x2048.tga")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, rle_rgb24_1600, "tga_rle_rgb24_1600x1600.tga")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

// Metafile drawing speed: corpus drawings replayed at their own size (shapes, bitmaps and text),
// and a hand-built picture of many overlapping shapes at 1024 x 1024. Reported in megapixels per second of picture.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "bitmap.h"
#include "metafile/metafile.h"
#include "metafile_builder.h"

namespace fs = std::filesystem;
using namespace mftest;

namespace {

fs::path Corpus() { return fs::path(PICTOLAN_SOURCE_DIR) / ".." / "shared" / "corpus" / "public"; }

void DrawAtOwnSize(benchmark::State& state, const TMetafile& m) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(m.Width(), m.Height());
    for (auto _ : state) {
        b.Fill(White);
        m.Draw(b, 0, 0);
        benchmark::DoNotOptimize(b.ScanLine(0));
    }
    state.counters["MPix/s"] = benchmark::Counter(double(m.Width()) * m.Height() * double(state.iterations()) / 1e6,
                                                  benchmark::Counter::kIsRate);
}

void BM_CorpusFile(benchmark::State& state, const char* name) {
    const fs::path path = Corpus() / name;
    if (!fs::exists(path)) {
        state.SkipWithError("corpus not found");
        return;
    }
    TMetafile m;
    m.LoadFromFile(path.string());
    DrawAtOwnSize(state, m);
}

// 400 overlapping ellipses, polygons and wide lines on a 1024 x 1024 placeable picture.
void BM_ManyShapes(benchmark::State& state) {
    WmfBuilder w(1024, 1024);
    w.Pen(0, 5, Blue).Select(0);
    for (int i = 0; i < 100; ++i) {
        const int x = (i * 97) % 900, y = (i * 61) % 900;
        w.Brush(0, RGBColor(uint8_t(i * 5), uint8_t(255 - i), 128)).Select(1);
        w.Box(wEllipse, x, y, x + 120, y + 90);
        w.Rec(wPolygon, {4, x, y, x + 100, y + 20, x + 60, y + 110, x - 10, y + 70});
        w.Rec(wPolyline, {3, x, y + 100, x + 50, y, x + 100, y + 100});
        w.Box(wRectangle, x + 10, y + 10, x + 60, y + 40);
        w.Rec(wDeleteObject, {1});
    }
    DrawAtOwnSize(state, Load(w.Bytes()));
}

}  // namespace

BENCHMARK_CAPTURE(BM_CorpusFile, clock_wmf, "wmf/clock.wmf")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CorpusFile, test_libuemf_ref_emf, "emf/test_libuemf_ref.emf")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CorpusFile, test_069_emf, "emf/test-069.emf")->Unit(benchmark::kMillisecond);
// A chart whose labels are most of its drawing.
BENCHMARK_CAPTURE(BM_CorpusFile, test_005_emf, "emf/test-005.emf")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManyShapes)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

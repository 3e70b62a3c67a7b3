// Row conversion speed of the colour manager on 4096-pixel rows, in megapixels per second.
// ConvertLine runs once per row of every image a reader loads, so these are the readers' floor.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "color_manager.h"

namespace {

constexpr int32_t RowPixels = 4096;

struct Setup {
    TPixelModel SourceModel, TargetModel;
    int SourceBits, TargetBits, SourceCount, TargetCount;
    TConversionFlags SourceFlags = 0, TargetFlags = 0;
};

std::vector<uint8_t> PatternRow(size_t bytes) {
    std::vector<uint8_t> row(bytes);
    uint32_t v = 12345;
    for (auto& b : row) {
        v = v * 1103515245u + 12345u;
        b = static_cast<uint8_t>(v >> 16);
    }
    return row;
}

void RunRow(benchmark::State& state, const Setup& s, size_t planes = 1, uint8_t mask = 0xFF) {
    TColorManager cm;
    cm.SetSourceModel(s.SourceModel);
    cm.SetTargetModel(s.TargetModel);
    cm.SetSourceSampleBits(s.SourceBits);
    cm.SetTargetSampleBits(s.TargetBits);
    cm.SetSourceSampleCount(s.SourceCount);
    cm.SetTargetSampleCount(s.TargetCount);
    cm.SetSourceFlags(s.SourceFlags);
    cm.SetTargetFlags(s.TargetFlags);

    const size_t sourceBytes = (size_t{RowPixels} * s.SourceBits * (planes > 1 ? 1 : s.SourceCount) + 7) / 8;
    std::vector<std::vector<uint8_t>> source;
    std::vector<const void*> pointers;
    for (size_t p = 0; p < planes; ++p) source.push_back(PatternRow(sourceBytes));
    for (auto& p : source) pointers.push_back(p.data());
    std::vector<uint8_t> target(size_t{RowPixels} * 8 + 16);

    for (auto _ : state) {
        cm.ConvertLine(pointers, target.data(), RowPixels, mask);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.counters["MP/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * RowPixels / 1e6, benchmark::Counter::kIsRate);
}

void BM_RGB8ToBGR8(benchmark::State& state) { RunRow(state, {pmRGB, pmBGR, 8, 8, 3, 3}); }
void BM_RGBA8ToBGRA8(benchmark::State& state) { RunRow(state, {pmRGBA, pmBGRA, 8, 8, 4, 4}); }
void BM_BGR8ToBGR8(benchmark::State& state) { RunRow(state, {pmBGR, pmBGR, 8, 8, 3, 3}); }
void BM_RGB8ToBGR8Gamma(benchmark::State& state) { RunRow(state, {pmRGB, pmBGR, 8, 8, 3, 3, 0, cfGamma}); }
void BM_RGB8ToBGR8Planar(benchmark::State& state) { RunRow(state, {pmRGB, pmBGR, 8, 8, 3, 3}, 3); }
void BM_RGB8ToBGR8Interlaced(benchmark::State& state) { RunRow(state, {pmRGB, pmBGR, 8, 8, 3, 3}, 1, 0x55); }
void BM_RGB16ToBGR8Swapped(benchmark::State& state) { RunRow(state, {pmRGB, pmBGR, 16, 8, 3, 3, cfSwapBytes}); }
void BM_RGBA16ToBGRA8Swapped(benchmark::State& state) {
    RunRow(state, {pmRGBA, pmBGRA, 16, 8, 4, 4, cfSwapBytes});
}
void BM_Indexed8Copy(benchmark::State& state) { RunRow(state, {pmIndexed, pmIndexed, 8, 8, 1, 1}); }
void BM_Indexed1Copy(benchmark::State& state) { RunRow(state, {pmIndexed, pmIndexed, 1, 1, 1, 1}); }
void BM_Indexed2To4(benchmark::State& state) { RunRow(state, {pmIndexed, pmIndexed, 2, 4, 1, 1}); }
void BM_Gray8Copy(benchmark::State& state) { RunRow(state, {pmGray, pmGray, 8, 8, 1, 1}); }
void BM_Gray16To8Swapped(benchmark::State& state) { RunRow(state, {pmGray, pmGray, 16, 8, 1, 1, cfSwapBytes}); }
void BM_GrayAlpha8ToGray8(benchmark::State& state) { RunRow(state, {pmGrayAlpha, pmIndexed, 8, 8, 1, 1}); }
void BM_CMYK8ToBGR8(benchmark::State& state) { RunRow(state, {pmCMYK, pmBGR, 8, 8, 4, 3}); }
void BM_YCbCr8ToBGR8(benchmark::State& state) { RunRow(state, {pmYCbCr, pmBGR, 8, 8, 3, 3}); }
void BM_Lab8ToBGR8(benchmark::State& state) { RunRow(state, {pmCIELab, pmBGR, 8, 8, 3, 3}); }

}  // namespace

BENCHMARK(BM_RGB8ToBGR8);
BENCHMARK(BM_RGBA8ToBGRA8);
BENCHMARK(BM_BGR8ToBGR8);
BENCHMARK(BM_RGB8ToBGR8Gamma);
BENCHMARK(BM_RGB8ToBGR8Planar);
BENCHMARK(BM_RGB8ToBGR8Interlaced);
BENCHMARK(BM_RGB16ToBGR8Swapped);
BENCHMARK(BM_RGBA16ToBGRA8Swapped);
BENCHMARK(BM_Indexed8Copy);
BENCHMARK(BM_Indexed1Copy);
BENCHMARK(BM_Indexed2To4);
BENCHMARK(BM_Gray8Copy);
BENCHMARK(BM_Gray16To8Swapped);
BENCHMARK(BM_GrayAlpha8ToGray8);
BENCHMARK(BM_CMYK8ToBGR8);
BENCHMARK(BM_YCbCr8ToBGR8);
BENCHMARK(BM_Lab8ToBGR8);

BENCHMARK_MAIN();

// Wavefront RLA decoding speed: a 2048 x 2048 RGB file (run-length, as every RLA file is)
// written here.
#include <benchmark/benchmark.h>

#include "formats/rla.h"
#include "memory_load.h"
#include "sgi_rla_files.h"
#include "streams.h"

namespace {

constexpr int Side = 2048;

const sgirlafiles::Bytes& RunLengthRGB() {
    static const sgirlafiles::Bytes file = [] {
        std::vector<std::vector<sgirlafiles::Bytes>> rows(Side);
        for (int y = 0; y < Side; ++y)
            for (int c = 0; c < 3; ++c) {
                sgirlafiles::Bytes channel(Side);
                for (int x = 0; x < Side; ++x) channel[size_t(x)] = sgirlafiles::BenchmarkSample(c, x, y);
                rows[size_t(y)].push_back(std::move(channel));
            }
        return sgirlafiles::RLAFile({.Right = Side - 1, .Top = Side - 1}, rows);
    }();
    return file;
}

void BM_RLARunLengthRGB(benchmark::State& state) {
    readerbench::Load<TRLAGraphic>(state, RunLengthRGB());
}
BENCHMARK(BM_RLARunLengthRGB)->Unit(benchmark::kMillisecond);

}  // namespace

// SGI decoding speed: a 2048 x 2048 run-length RGB file written here.
#include <benchmark/benchmark.h>

#include "formats/sgi.h"
#include "memory_load.h"
#include "sgi_rla_files.h"
#include "streams.h"

namespace {

constexpr int Side = 2048;

const sgirlafiles::Bytes& RunLengthRGB() {
    static const sgirlafiles::Bytes file = [] {
        std::vector<uint16_t> samples;
        samples.reserve(size_t{3} * Side * Side);
        for (int c = 0; c < 3; ++c)
            for (int y = 0; y < Side; ++y)
                for (int x = 0; x < Side; ++x) samples.push_back(sgirlafiles::BenchmarkSample(c, x, y));
        return sgirlafiles::SGIFile({.Width = Side, .Height = Side, .Channels = 3, .RunLength = true}, samples);
    }();
    return file;
}

void BM_SGIRunLengthRGB(benchmark::State& state) {
    readerbench::Load<TSGIGraphic>(state, RunLengthRGB());
}
BENCHMARK(BM_SGIRunLengthRGB)->Unit(benchmark::kMillisecond);

}  // namespace

// The readers' benchmark program: every source of this folder registers its own benchmarks
// (files it writes in memory, decoded by our reader, with a megapixels-per-second counter).
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();

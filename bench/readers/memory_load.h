// What the readers' benchmarks share: loading a file held in memory into a reader, timed,
// with a megapixels-per-second counter.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "streams.h"

namespace readerbench {

using Bytes = std::vector<uint8_t>;

// A small deterministic noise source, so that every run decodes the same file.
struct TNoise {
    uint32_t State = 1;
    uint32_t Next() { return State = State * 1664525u + 1013904223u; }
};

// The file a benchmark names, written once on first use.
inline const Bytes& Written(const std::string& name, const std::function<Bytes()>& write) {
    static std::map<std::string, Bytes> files;
    auto it = files.find(name);
    if (it == files.end()) it = files.emplace(name, write()).first;
    return it->second;
}

template <class Reader>
void Load(benchmark::State& state, const Bytes& file) {
    Reader reader;
    for (auto _ : state) {
        TReadOnlyMemoryStream stream(file.data(), file.size());
        reader.LoadFromStream(stream);
        benchmark::DoNotOptimize(reader.ScanLine(0));
    }
    state.counters["MPix/s"] = benchmark::Counter(
        double(reader.Width()) * reader.Height() * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

}  // namespace readerbench

// A Dr. Halo image of 2048 x 2048 pixels written here, runs and copies mixed as in drawings.
#include <algorithm>

#include "formats/cut.h"
#include "memory_load.h"

namespace {

using readerbench::Bytes;

Bytes CutImage() {
    const int size = 2048;
    Bytes file = {uint8_t(size), uint8_t(size >> 8), uint8_t(size), uint8_t(size >> 8), 0, 0};
    readerbench::TNoise noise;
    Bytes row;
    for (int y = 0; y < size; ++y) {
        row.clear();
        for (int x = 0; x < size;) {
            const uint32_t r = noise.Next();
            const int n = std::min<int>(1 + (r >> 8) % 40, size - x);
            if (r & 0x80000000u) {
                row.push_back(uint8_t(0x80 | n));
                row.push_back(uint8_t(r >> 16));
            } else {
                row.push_back(uint8_t(n));
                for (int k = 0; k < n; ++k) row.push_back(uint8_t(noise.Next() >> 24));
            }
            x += n;
        }
        row.push_back(0);
        file.push_back(uint8_t(row.size()));
        file.push_back(uint8_t(row.size() >> 8));
        file.insert(file.end(), row.begin(), row.end());
    }
    return file;
}

void BM_Cut(benchmark::State& state) { readerbench::Load<TCUTGraphic>(state, readerbench::Written("cut", CutImage)); }

}  // namespace

BENCHMARK(BM_Cut)->Name("BM_Cut/2048")->Unit(benchmark::kMillisecond);

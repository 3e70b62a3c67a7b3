// An Autodesk cel of 2048 x 2048 pixels written here.
#include "formats/autodesk.h"
#include "memory_load.h"

namespace {

using readerbench::Bytes;

Bytes Cel() {
    const int size = 2048;
    Bytes file(800, 0);
    file[0] = 0x19;
    file[1] = 0x91;
    file[2] = file[4] = uint8_t(size);
    file[3] = file[5] = uint8_t(size >> 8);
    file[10] = 8;
    readerbench::TNoise noise;
    for (size_t i = 32; i < 800; ++i) file[i] = uint8_t(noise.Next() >> 26);
    for (int i = 0; i < size * size; ++i) file.push_back(uint8_t(noise.Next() >> 24));
    return file;
}

void BM_Cel(benchmark::State& state) { readerbench::Load<TAutodeskGraphic>(state, readerbench::Written("cel", Cel)); }

}  // namespace

BENCHMARK(BM_Cel)->Name("BM_Cel/2048")->Unit(benchmark::kMillisecond);

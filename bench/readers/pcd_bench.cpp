// A Photo-CD image pack written here; the reader always loads its Base image, 768 x 512.
#include <cstring>

#include "formats/pcd.h"
#include "memory_load.h"

namespace {

using readerbench::Bytes;

Bytes ImagePack() {
    Bytes file(96 * 2048 + 768 * 512 * 3 / 2, 0);
    std::memcpy(file.data() + 2048, "PCD_IPI", 7);
    readerbench::TNoise noise;
    for (size_t i = 96 * 2048; i < file.size(); ++i) file[i] = uint8_t(noise.Next() >> 24);
    return file;
}

void BM_PhotoCD(benchmark::State& state, int orientation) {
    Bytes file = readerbench::Written("pcd", ImagePack);
    file[3586] = static_cast<uint8_t>(orientation);
    readerbench::Load<TPCDGraphic>(state, file);
}

}  // namespace

BENCHMARK_CAPTURE(BM_PhotoCD, base_768x512, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PhotoCD, base_turned, 1)->Unit(benchmark::kMillisecond);

// PCX speed: 2048 x 2048 run-length files written here, one of three 8-bit planes and one of
// 256 colours with its palette block, decoded from memory. Megapixels per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "streams.h"
#include "formats/pcx.h"
#include "memory_load.h"

namespace {

constexpr int Side = 2048;

void Put16(std::vector<uint8_t>& out, int v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// Runs of equal bytes up to 63 long become a count and the byte; single bytes below 0xC0 stand
// for themselves. Each scan line (all its planes) is packed on its own, as writers do.
void PackLine(const uint8_t* line, size_t size, std::vector<uint8_t>& out) {
    for (size_t i = 0; i < size;) {
        size_t n = 1;
        while (i + n < size && n < 63 && line[i + n] == line[i]) ++n;
        if (n > 1 || line[i] >= 0xC0) out.push_back(static_cast<uint8_t>(0xC0 | n));
        out.push_back(line[i]);
        i += n;
    }
}

// Runs of 1 to 16 pixels of a few values, and noise, as in drawn and scanned pictures.
uint8_t Sample(int x, int y, int plane) {
    const int run = 1 + (x / 64 + y) % 16;
    return static_cast<uint8_t>(((x / run) * 37 + y * 11 + plane * 85) ^ ((x + y) % 7 == 0 ? x : 0));
}

std::vector<uint8_t> WritePcx(int planes) {
    std::vector<uint8_t> file(128, 0);
    file[0] = 10;
    file[1] = 5;
    file[2] = 1;
    file[3] = 8;
    file[8] = file[10] = static_cast<uint8_t>((Side - 1) & 0xFF);
    file[9] = file[11] = static_cast<uint8_t>((Side - 1) >> 8);
    file[65] = static_cast<uint8_t>(planes);
    file.resize(66);
    Put16(file, Side);
    Put16(file, 1);
    file.resize(128, 0);
    std::vector<uint8_t> line(static_cast<size_t>(Side) * planes);
    for (int y = 0; y < Side; ++y) {
        for (int p = 0; p < planes; ++p)
            for (int x = 0; x < Side; ++x) line[static_cast<size_t>(p) * Side + x] = Sample(x, y, p);
        PackLine(line.data(), line.size(), file);
    }
    if (planes == 1) {
        file.push_back(12);
        for (int i = 0; i < 256; ++i) file.insert(file.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
    }
    return file;
}

void BM_PcxLoad(benchmark::State& state, int planes) {
    const std::vector<uint8_t> file = WritePcx(planes);
    readerbench::Load<TPCXGraphic>(state, file);
    state.counters["packed MB"] = double(file.size()) / 1e6;
}

}  // namespace

BENCHMARK_CAPTURE(BM_PcxLoad, rle_rgb24_2048, 3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PcxLoad, rle_pal8_2048, 1)->Unit(benchmark::kMillisecond);

// Paint Shop Pro speed: a 2048 x 2048 RGB image written in memory as a version 5 file, its
// channels stored plainly and run-length encoded, loaded in megapixels per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/psp.h"
#include "memory_load.h"
#include "streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t Side = 2048;

void Put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v);
    Put16(b, v >> 16);
}

void PutBlock(Bytes& file, uint16_t id, const Bytes& payload) {
    file.insert(file.end(), {'~', 'B', 'K', 0});
    Put16(file, id);
    Put32(file, uint32_t(payload.size()));
    file.insert(file.end(), payload.begin(), payload.end());
}

// Rows of runs of one to sixteen bytes, as drawn pictures have, coded as the format's packets.
Bytes Channel(int which, bool runLength) {
    Bytes raw;
    raw.reserve(size_t{Side} * Side);
    for (uint32_t y = 0; y < Side; ++y)
        for (uint32_t x = 0; x < Side; ++x) raw.push_back(uint8_t((x / (1 + y % 16)) * (which + 3) * 37 + y));
    if (!runLength) return raw;
    Bytes packed;
    for (size_t i = 0; i < raw.size();) {
        size_t run = 1;
        while (i + run < raw.size() && run < 127 && raw[i + run] == raw[i]) ++run;
        if (run > 1) {
            packed.insert(packed.end(), {uint8_t(128 + run), raw[i]});
            i += run;
            continue;
        }
        size_t literal = 1;
        while (i + literal < raw.size() && literal < 127 && raw[i + literal] != raw[i + literal - 1]) ++literal;
        packed.push_back(uint8_t(literal));
        packed.insert(packed.end(), raw.begin() + std::ptrdiff_t(i), raw.begin() + std::ptrdiff_t(i + literal));
        i += literal;
    }
    return packed;
}

Bytes File(bool runLength) {
    Bytes file(32, 0);
    std::memcpy(file.data(), "Paint Shop Pro Image File\n\x1a", 27);
    Put16(file, 5);
    Put16(file, 0);
    Bytes attributes;
    Put32(attributes, 46);
    Put32(attributes, Side);
    Put32(attributes, Side);
    attributes.resize(attributes.size() + 9, 0);  // resolution and its unit
    Put16(attributes, runLength ? 1 : 0);
    Put16(attributes, 24);
    attributes.resize(4 + 42, 0);
    PutBlock(file, 0, attributes);

    Bytes layer;
    Put32(layer, 4 + 2 + 115);
    Put16(layer, 0);
    layer.resize(layer.size() + 115, 0);  // layer type 0, a raster layer
    Put32(layer, 8);
    Put16(layer, 1);
    Put16(layer, 3);
    for (int c = 1; c <= 3; ++c) {
        const Bytes data = Channel(c, runLength);
        Bytes channel;
        Put32(channel, 16);
        Put32(channel, uint32_t(data.size()));
        Put32(channel, Side * Side);
        Put16(channel, 0);
        Put16(channel, uint32_t(c));
        channel.insert(channel.end(), data.begin(), data.end());
        PutBlock(layer, 5, channel);
    }
    Bytes bank;
    PutBlock(bank, 4, layer);
    PutBlock(file, 3, bank);
    return file;
}

void BM_Load(benchmark::State& state, bool runLength) {
    const Bytes file = File(runLength);
    readerbench::Load<TPSPGraphic>(state, file);
    state.counters["file_MB"] = double(file.size()) / 1e6;
}

}  // namespace

BENCHMARK_CAPTURE(BM_Load, psp_raw_rgb24_2048, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, psp_rle_rgb24_2048, true)->Unit(benchmark::kMillisecond);

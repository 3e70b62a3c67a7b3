// Portable maps of 2048 x 2048 pixels written here: raw pixel maps of one and two bytes a
// sample, a raw grey map and a text pixel map.
#include <string>

#include "formats/ppm.h"
#include "memory_load.h"

namespace {

using readerbench::Bytes;

Bytes PortableMap(const char* magic, int channels, int maximum, bool text) {
    const int size = 2048;
    std::string header = std::string(magic) + "\n2048 2048\n" + std::to_string(maximum) + "\n";
    Bytes file(header.begin(), header.end());
    readerbench::TNoise noise;
    std::string value;
    for (int i = 0; i < size * size * channels; ++i) {
        const uint32_t v = (noise.Next() >> 8) % (uint32_t(maximum) + 1);
        if (text) {
            value = std::to_string(v) + ((i + 1) % 16 ? " " : "\n");
            file.insert(file.end(), value.begin(), value.end());
        } else {
            if (maximum > 255) file.push_back(static_cast<uint8_t>(v >> 8));
            file.push_back(static_cast<uint8_t>(v));
        }
    }
    return file;
}

void BM_PortableMap(benchmark::State& state, const char* magic, int channels, int maximum, bool text) {
    const Bytes& file = readerbench::Written(std::string(magic) + std::to_string(maximum) + (text ? "t" : "r"),
                                             [&] { return PortableMap(magic, channels, maximum, text); });
    readerbench::Load<TPPMGraphic>(state, file);
}

}  // namespace

BENCHMARK_CAPTURE(BM_PortableMap, P6_2048, "P6", 3, 255, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PortableMap, P6_16bit_2048, "P6", 3, 65535, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PortableMap, P5_2048, "P5", 1, 255, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PortableMap, P3_text_2048, "P3", 3, 255, true)->Unit(benchmark::kMillisecond);

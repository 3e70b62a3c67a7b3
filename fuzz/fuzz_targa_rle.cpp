// Targa run-length rows: the first byte chooses the colour depth, the second and third the
// row width; the rest is packet data decoded row after row, packets running on across rows
// as writers let them. The encoder gets the decoded rows back, into a buffer of its stated
// worst case.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/targa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    static const int Depths[] = {8, 15, 16, 24, 32, 0, 1, 12};
    const int depth = Depths[data[0] & 7];
    const int32_t width = (data[1] | (data[2] << 8)) & 0x1FFF;
    TTargaRLEDecoder decoder(depth);
    TTargaRLEDecoder encoder(depth);
    const size_t pixelSize = static_cast<size_t>(decoder.PixelSize());
    // Exactly sized, so that a step past either end is caught.
    std::vector<uint8_t> input(data + 3, data + size);
    std::vector<uint8_t> row(static_cast<size_t>(width) * pixelSize);
    std::vector<uint8_t> packed(static_cast<size_t>(width) * (pixelSize + 1));
    decoder.BeginDecode();
    const uint8_t* source = input.data();
    const uint8_t* const end = input.data() + input.size();
    int stalls = 0;
    for (int64_t pixels = 0; source < end && pixels < (1 << 20) && stalls < 2; pixels += width + 1) {
        const uint8_t* before = source;
        uint8_t* dest = row.data();
        decoder.Decode(source, dest, static_cast<int32_t>(end - source), width);
        if (source < before || source > end || dest != row.data()) __builtin_trap();
        stalls = source == before ? stalls + 1 : 0;
        int32_t stored = -1;
        encoder.Encode(row.data(), packed.data(), width, stored);
        if (stored < 0 || static_cast<size_t>(stored) > packed.size()) __builtin_trap();
    }
    decoder.EndDecode();
    return 0;
}

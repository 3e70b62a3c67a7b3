// The strip decoders of TIFF's fax and ThunderScan compressions. The first byte chooses the
// decoder (bits 0-1: modified Huffman, word-aligned modified Huffman, Group 3, ThunderScan)
// and the bit order (bit 2: reversed); the next two give the row width, the two after them
// the size of the target. The rest is the strip's data. No decoder may step outside either
// buffer, nor advance the caller's pointers.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/tiff_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const int kind = data[0] & 3;
    const bool reversed = (data[0] & 4) != 0;
    const int32_t width = ((data[1] | (data[2] << 8)) & 0x3FFF) + 1;
    const int32_t outputSize = data[3] | (data[4] << 8);
    std::unique_ptr<TDecoder> decoder;
    switch (kind) {
        case 0: decoder = std::make_unique<TCCITTMHDecoder>(0, reversed, false, width); break;
        case 1: decoder = std::make_unique<TCCITTMHDecoder>(0, reversed, true, width); break;
        case 2: decoder = std::make_unique<TCCITTFax3Decoder>(4, reversed, false, width); break;
        default: decoder = std::make_unique<TThunderDecoder>(width); break;
    }
    // Exactly sized copies, so that a step past either end is caught.
    const std::vector<uint8_t> input(data + 5, data + size);
    std::unique_ptr<uint8_t[]> output(new uint8_t[static_cast<size_t>(outputSize)]);
    const uint8_t* source = input.data();
    uint8_t* dest = output.get();
    decoder->BeginDecode();
    decoder->Decode(source, dest, static_cast<int32_t>(input.size()), outputSize);
    decoder->EndDecode();
    if (source != input.data() || dest != output.get()) __builtin_trap();
    return 0;
}
